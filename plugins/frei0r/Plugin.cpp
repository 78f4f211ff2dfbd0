// The frei0r entry points of dualfisheye360.so. Nothing is thrown out of
// them; the libraries' messages go to standard error, never to standard
// output (a host may be writing the video there).
// frei0r.h declares C functions without saying so to C++.
extern "C" {
#include <frei0r.h>
}

#include <cstdio>
#include <exception>
#include <mutex>
#include <new>
#include <string>

#include "StitchFilter.h"
#include "libdec_internal.h"

#define DFS_F0R_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The reader's log is optional: that its folder is missing (as it mostly is
// outside a desktop session) is not said on every run of every host.
void libraryLine(int level, const std::string& line) {
    if (level != libdec::kMessageLog) dfsfrei0r::say(line);
}

// The reader's messages to standard error, once; from f0r_init, and from
// f0r_construct for a host that skips it.
void routeMessages() {
    static std::once_flag once;
    std::call_once(once, [] { libdec::SetMessageSink(libraryLine); });
}

void failed(const char* where, const std::exception* e) {
    try {
        dfsfrei0r::say(std::string(where) + " failed: " + (e ? e->what() : "unknown error"));
    } catch (...) {
    }
}

int paramType(dfsfrei0r::ParamType t) {
    switch (t) {
        case dfsfrei0r::ParamType::Bool: return F0R_PARAM_BOOL;
        case dfsfrei0r::ParamType::Double: return F0R_PARAM_DOUBLE;
        case dfsfrei0r::ParamType::String: break;
    }
    return F0R_PARAM_STRING;
}

}  // namespace

DFS_F0R_EXPORT int f0r_init() {
    try {
        routeMessages();
        return 1;
    } catch (const std::exception& e) {
        failed("initialisation", &e);
    } catch (...) {
        failed("initialisation", nullptr);
    }
    return 0;
}

DFS_F0R_EXPORT void f0r_deinit() {}

DFS_F0R_EXPORT void f0r_get_plugin_info(f0r_plugin_info_t* info) {
    if (!info) return;
    info->name = "dualfisheye360";
    info->author = "dualfisheye-stitch";
    info->plugin_type = F0R_PLUGIN_TYPE_FILTER;
    // Either byte order works (the colour bytes are treated alike); RGBA is
    // what MLT gives every frei0r filter.
    info->color_model = F0R_COLOR_MODEL_RGBA8888;
    info->frei0r_version = FREI0R_MAJOR_VERSION;
    info->major_version = 1;
    info->minor_version = 1;  // 1: projection, fov, seam and baseline
    info->num_params = dfsfrei0r::kParamCount;
    info->explanation =
        "Stitches dual-fisheye frames into the equirectangular 360 panorama of the same size, or a flat or "
        "little-planet view of it that fills the frame";
}

DFS_F0R_EXPORT void f0r_get_param_info(f0r_param_info_t* info, int index) {
    if (!info || index < 0 || index >= dfsfrei0r::kParamCount) return;
    const dfsfrei0r::ParamInfo& p = dfsfrei0r::paramInfo(index);
    info->name = p.name;
    info->type = paramType(p.type);
    info->explanation = p.explanation;
}

DFS_F0R_EXPORT f0r_instance_t f0r_construct(unsigned int width, unsigned int height) {
    try {
        routeMessages();
        return new dfsfrei0r::StitchFilter(width, height);
    } catch (const std::exception& e) {
        failed("making an instance", &e);
    } catch (...) {
        failed("making an instance", nullptr);
    }
    return nullptr;
}

DFS_F0R_EXPORT void f0r_destruct(f0r_instance_t instance) {
    try {
        delete static_cast<dfsfrei0r::StitchFilter*>(instance);
    } catch (...) {
        failed("closing an instance", nullptr);
    }
}

DFS_F0R_EXPORT void f0r_set_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
    if (!instance) return;
    try {
        static_cast<dfsfrei0r::StitchFilter*>(instance)->setParam(index, param);
    } catch (const std::exception& e) {
        failed("setting a parameter", &e);
    } catch (...) {
        failed("setting a parameter", nullptr);
    }
}

DFS_F0R_EXPORT void f0r_get_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
    if (!instance) return;
    try {
        static_cast<dfsfrei0r::StitchFilter*>(instance)->getParam(index, param);
    } catch (const std::exception& e) {
        failed("reading a parameter", &e);
    } catch (...) {
        failed("reading a parameter", nullptr);
    }
}

DFS_F0R_EXPORT void f0r_update(f0r_instance_t instance, double /*time*/, const uint32_t* inframe, uint32_t* outframe) {
    if (!instance) return;
    try {
        static_cast<dfsfrei0r::StitchFilter*>(instance)->update(inframe, outframe);
    } catch (const std::exception& e) {
        failed("a frame", &e);
    } catch (...) {
        failed("a frame", nullptr);
    }
}

DFS_F0R_EXPORT void f0r_update2(f0r_instance_t instance, double time, const uint32_t* inframe1,
                                const uint32_t* /*inframe2*/, const uint32_t* /*inframe3*/, uint32_t* outframe) {
    f0r_update(instance, time, inframe1, outframe);
}
