// Exported clip-session functions. Nothing thrown inside may reach the host:
// every entry point catches everything and reports failure.
#include "libdec.h"

#include "control/CControl.h"
#include "log/MyLog.h"

namespace {

CControl* Session(void* handle) { return static_cast<CControl*>(handle); }

}  // namespace

void* PRDOpen(const char* path) {
    CControl* session = nullptr;
    try {
        session = new CControl();
        if (session->Init(path) == 0) return session;
    } catch (...) {
    }
    try {
        delete session;
    } catch (...) {
    }
    return nullptr;
}

void PRDClose(void* handle) {
    try {
        delete Session(handle);
    } catch (...) {
    }
}

int PRDGetMediaInfo(void* handle, _MediaInfo& info) {
    if (handle == nullptr) return 1;
    try {
        return Session(handle)->GetMediaInfo(info);
    } catch (...) {
        return 1;
    }
}

int PRDGetOffset(void* handle, char*& offset) {
    if (handle == nullptr) return 1;
    try {
        return Session(handle)->GetOffset(offset);
    } catch (...) {
        return 1;
    }
}

int PRDGetVideoComment(void* handle, char*& comment) {
    if (handle == nullptr) return 1;
    try {
        comment = Session(handle)->GetComment();
        return 0;
    } catch (...) {
        return 1;
    }
}

int PRDGetVideoFrame(void* handle, long long frame, unsigned char*& out) {
    if (handle == nullptr) return 1;
    try {
        return Session(handle)->GetVideoFrame(frame, out);
    } catch (...) {
        LOGE("GetVideoFrame failed on frame %lld", frame);
        return 1;
    }
}

int PRDGetAudioSample(void* handle, long long start, long long req, unsigned char*& out) {
    if (handle == nullptr) return 1;
    try {
        return Session(handle)->GetAudioFrame(start, req, out);
    } catch (...) {
        LOGE("GetAudioFrame failed start:%lld req:%lld", start, req);
        return 1;
    }
}
