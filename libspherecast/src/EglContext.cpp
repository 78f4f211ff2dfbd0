#include "EglContext.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "SharedReferences.h"

namespace eglcontext {
namespace {
SharedReferences gReferences;
EGLDisplay gDisplay = EGL_NO_DISPLAY;  // set while references are held

// Whether `name` is a whole word of the space-separated list.
bool hasExtension(const char* list, const char* name) {
    if (!list) return false;
    const size_t length = std::strlen(name);
    for (const char* p = list; (p = std::strstr(p, name)) != nullptr; p += length)
        if ((p == list || p[-1] == ' ') && (p[length] == ' ' || p[length] == '\0')) return true;
    return false;
}

std::string errorText(const char* step) {
    char text[96];
    std::snprintf(text, sizeof text, "%s failed (egl error 0x%04x)", step, static_cast<unsigned>(eglGetError()));
    return text;
}

// Displays to try, best first: hardware devices, the surfaceless platform,
// software devices. None of them is initialised yet.
std::vector<EGLDisplay> candidateDisplays() {
    const char* client = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    std::vector<EGLDisplay> hardware, software;
    auto queryDevices = reinterpret_cast<PFNEGLQUERYDEVICESEXTPROC>(eglGetProcAddress("eglQueryDevicesEXT"));
    auto queryDeviceString =
        reinterpret_cast<PFNEGLQUERYDEVICESTRINGEXTPROC>(eglGetProcAddress("eglQueryDeviceStringEXT"));
    EGLint count = 0;
    if (hasExtension(client, "EGL_EXT_platform_device") && queryDevices && queryDeviceString &&
        queryDevices(0, nullptr, &count) && count > 0) {
        std::vector<EGLDeviceEXT> devices(static_cast<size_t>(count));
        if (!queryDevices(count, devices.data(), &count)) count = 0;
        for (EGLint i = 0; i < count; ++i) {
            const EGLDisplay display = eglGetPlatformDisplay(EGL_PLATFORM_DEVICE_EXT, devices[i], nullptr);
            if (display == EGL_NO_DISPLAY) continue;
            const bool isSoftware =
                hasExtension(queryDeviceString(devices[i], EGL_EXTENSIONS), "EGL_MESA_device_software");
            (isSoftware ? software : hardware).push_back(display);
        }
    }
    std::vector<EGLDisplay> order = hardware;
    if (hasExtension(client, "EGL_MESA_platform_surfaceless")) {
        const EGLDisplay display = eglGetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
        if (display != EGL_NO_DISPLAY) order.push_back(display);
    }
    order.insert(order.end(), software.begin(), software.end());
    return order;
}

// An OpenGL 3.3 core context on an initialised display, or none.
EGLContext createCoreContext(EGLDisplay display, std::string* reason) {
    const char* extensions = eglQueryString(display, EGL_EXTENSIONS);
    if (!hasExtension(extensions, "EGL_KHR_surfaceless_context")) {
        *reason = "the display cannot make a context current without a surface";
        return EGL_NO_CONTEXT;
    }
    // The bound API is per thread: bind it for every context.
    if (!eglBindAPI(EGL_OPENGL_API)) {
        *reason = errorText("binding the OpenGL API");
        return EGL_NO_CONTEXT;
    }
    EGLConfig config = EGL_NO_CONFIG_KHR;
    if (!hasExtension(extensions, "EGL_KHR_no_config_context")) {
        // Any config that renders OpenGL: nothing is ever drawn to a surface.
        const EGLint wanted[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_SURFACE_TYPE, 0, EGL_NONE};
        EGLint found = 0;
        if (!eglChooseConfig(display, wanted, &config, 1, &found) || found < 1) {
            *reason = "no OpenGL config";
            return EGL_NO_CONTEXT;
        }
    }
    const EGLint attributes[] = {EGL_CONTEXT_MAJOR_VERSION,
                                 3,
                                 EGL_CONTEXT_MINOR_VERSION,
                                 3,
                                 EGL_CONTEXT_OPENGL_PROFILE_MASK,
                                 EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT,
                                 EGL_CONTEXT_OPENGL_FORWARD_COMPATIBLE,
                                 EGL_TRUE,
                                 EGL_NONE};
    const EGLContext context = eglCreateContext(display, config, EGL_NO_CONTEXT, attributes);
    if (context == EGL_NO_CONTEXT) *reason = errorText("creating an OpenGL 3.3 core context");
    return context;
}

// Opens the first candidate display that gives an OpenGL 3.3 core context.
bool openDisplay(std::string* reason) {
    std::string why = "no EGL display";
    for (const EGLDisplay display : candidateDisplays()) {
        if (!eglInitialize(display, nullptr, nullptr)) {
            why = errorText("initialising a display");
            continue;
        }
        // A display that initialises may still offer no desktop GL 3.3.
        const EGLContext probe = createCoreContext(display, &why);
        if (probe != EGL_NO_CONTEXT) {
            eglDestroyContext(display, probe);
            gDisplay = display;
            return true;
        }
        eglTerminate(display);
    }
    if (reason) *reason = why;
    return false;
}
}  // namespace

bool acquire(std::string* reason) {
    return gReferences.acquire([reason] { return openDisplay(reason); });
}

void release() {
    gReferences.release([] {
        eglTerminate(gDisplay);
        gDisplay = EGL_NO_DISPLAY;
    });
}

int references() { return gReferences.count(); }

Context createContext(std::string* reason) {
    return gReferences.withCount([reason](int held) -> Context {
        std::string why = "no EGL display held";
        const EGLContext context = held > 0 ? createCoreContext(gDisplay, &why) : EGL_NO_CONTEXT;
        if (context != EGL_NO_CONTEXT) return context;
        if (reason) *reason = why;
        return nullptr;
    });
}

void destroyContext(Context context) {
    if (!context) return;
    gReferences.withCount([context](int held) {
        if (held > 0) eglDestroyContext(gDisplay, static_cast<EGLContext>(context));
    });
}

bool makeCurrent(Context context) {
    // The display cannot change while the caller's context holds a reference.
    return context && eglMakeCurrent(gDisplay, EGL_NO_SURFACE, EGL_NO_SURFACE, static_cast<EGLContext>(context));
}

Context currentContext() {
    const EGLContext context = eglGetCurrentContext();
    return context == EGL_NO_CONTEXT ? nullptr : context;
}

Binding currentBinding() {
    Binding binding;
    binding.context = currentContext();
    if (binding.context) {
        binding.display = eglGetCurrentDisplay();
        binding.draw = eglGetCurrentSurface(EGL_DRAW);
        binding.read = eglGetCurrentSurface(EGL_READ);
    }
    return binding;
}

void restore(const Binding& binding) {
    if (binding.context) {
        eglMakeCurrent(static_cast<EGLDisplay>(binding.display), static_cast<EGLSurface>(binding.draw),
                       static_cast<EGLSurface>(binding.read), static_cast<EGLContext>(binding.context));
        return;
    }
    const EGLDisplay display = eglGetCurrentDisplay();
    if (display != EGL_NO_DISPLAY) eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
}

}  // namespace eglcontext
