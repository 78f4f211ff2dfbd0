// Which engine stitches a run.
//
// Principle of operation. The user may name an engine (--engine gl|cpu), and
// then gets that one or a clear failure. Otherwise the choice follows where
// OpenGL would run: on a GPU, the GL engine; on a software rasterizer
// (llvmpipe and the like) or nowhere, the CPU engine, which does the same
// work faster on the processor. Where no GPU device node exists, the CPU
// engine is tried first and no GL context is made at all; software GL stays
// only as the last resort. The engines are made through EngineMakers, so
// that tests can stand in for either and for the device probe. The reason
// for the choice is kept for the run's summary line.
#include <dirent.h>

#include <cctype>
#include <cstring>

#include "Engine.h"

namespace stitcher {

namespace {

bool hasEntry(const char* folder, std::initializer_list<const char*> prefixes) {
    DIR* dir = ::opendir(folder);
    if (!dir) return false;
    bool found = false;
    while (struct dirent* d = ::readdir(dir))
        for (const char* p : prefixes) found = found || std::strncmp(d->d_name, p, std::strlen(p)) == 0;
    ::closedir(dir);
    return found;
}

}  // namespace

bool gpuDevicePresent() { return hasEntry("/dev/dri", {"card", "renderD"}) || hasEntry("/dev", {"nvidia"}); }

bool isSoftwareRasterizer(const std::string& glRenderer) {
    std::string lower;
    for (char c : glRenderer) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* name : {"llvmpipe", "softpipe", "swrast"})
        if (lower.find(name) != std::string::npos) return true;
    return false;
}

Status chooseEngine(EngineKind wanted, const EngineSpec& params, EngineChoice& choice, const EngineMakers& make) {
    choice = EngineChoice();
    std::unique_ptr<Engine> gl;
    Status glStatus, cpuStatus;

    if (wanted == EngineKind::Cpu) {
        cpuStatus = make.cpu(params, choice.engine);
        if (!cpuStatus.ok()) return Status(kExitDisplay, "the CPU engine cannot run: " + cpuStatus.message());
        choice.why = "asked for with --engine cpu";
        return Status();
    }

    if (wanted == EngineKind::Gl) {
        glStatus = make.gl(params, choice.engine);
        if (!glStatus.ok())
            return Status(kExitDisplay, "the GL engine cannot run: no OpenGL 3.3 context, neither through a display "
                                        "nor through EGL (" + glStatus.message() +
                                        ").\n  Choose --engine cpu, which needs neither");
        choice.why = "asked for with --engine gl; OpenGL renderer: " + choice.engine->device();
        return Status();
    }

    // Auto: GL where a GPU runs it. Where OpenGL would run on the processor,
    // or not at all, the CPU engine does the same work faster; software GL
    // stays only as the last resort.
    bool cpuTried = false;
    if (!make.gpuPresent()) {
        cpuTried = true;
        cpuStatus = make.cpu(params, choice.engine);
        if (cpuStatus.ok()) {
            choice.why = "no GPU device (/dev/dri, /dev/nvidia*): OpenGL could only run on a software rasterizer";
            return Status();
        }
    }
    glStatus = make.gl(params, gl);
    const std::string glRenderer = gl ? gl->device() : std::string();
    if (gl && !isSoftwareRasterizer(glRenderer)) {
        choice.engine = std::move(gl);
        choice.why = "OpenGL runs on the GPU (" + glRenderer + ")";
        return Status();
    }
    if (!cpuTried) {
        cpuStatus = make.cpu(params, choice.engine);
        if (cpuStatus.ok()) {
            choice.why = gl ? "OpenGL runs on a software rasterizer (" + glRenderer + ")"
                            : "no OpenGL 3.3 context can be had (" + glStatus.message() + ")";
            return Status();  // the GL engine made only to look at the driver ends here
        }
    }
    if (gl) {
        choice.engine = std::move(gl);
        choice.why = "OpenGL runs on a software rasterizer (" + glRenderer + ") but the CPU engine cannot run (" +
                     cpuStatus.message() + ")";
        return Status();
    }
    return Status(kExitDisplay, "no stitching engine can run: no OpenGL 3.3 context (" + glStatus.message() +
                                    "), and the CPU engine cannot run (" + cpuStatus.message() + ")");
}

}  // namespace stitcher
