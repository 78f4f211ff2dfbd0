// Keeps Mesa's software driver mapped until the process ends. The driver is
// unloaded when the last X display closes; leak reports about its internal
// allocations would then point into an unknown module and escape the
// driver suppressions in tests/lsan.supp.
#pragma once

#include <dlfcn.h>

namespace gltest {
inline void* const kDriverPin = [] {
    const char* const paths[] = {"/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so",
                                 "/usr/lib/aarch64-linux-gnu/dri/swrast_dri.so", "swrast_dri.so"};
    for (const char* p : paths)
        if (void* h = dlopen(p, RTLD_NOW | RTLD_GLOBAL)) return h;
    return static_cast<void*>(nullptr);
}();
}  // namespace gltest
