// stitcher: turns a dual-fisheye clip into a 360 panorama video or pictures.
// This file holds the command line and the signals; the stages of a run are
// in core/ (Run.cpp shows the way of the data).
#include <dlfcn.h>
#include <signal.h>

#include <atomic>
#include <cstdio>

#include "Console.h"
#include "Options.h"
#include "Run.h"

using namespace stitcher;

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define STITCHER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define STITCHER_ASAN 1
#endif
#endif
#ifdef STITCHER_ASAN
// Sanitizer builds: Mesa's software driver is unloaded when the display
// closes, and leak reports about its allocations would then name no module
// (and escape the driver suppressions). Keep it mapped until exit.
void* const g_driverPin = [] {
    for (const char* p : {"/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so", "/usr/lib/aarch64-linux-gnu/dri/swrast_dri.so"})
        if (void* h = ::dlopen(p, RTLD_NOW | RTLD_GLOBAL)) return h;
    return static_cast<void*>(nullptr);
}();
#endif

std::atomic<bool> g_interrupted{false};

void onSignal(int) { g_interrupted = true; }

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    Status st = parseOptions(argc, argv, opt);
    if (opt.help) {
        std::fputs(usageText(), stdout);
        return kExitOk;
    }
    if (!st.ok()) {
        console::error(st);
        std::fputs("Run 'stitcher --help' for the options.\n", stderr);
        return st.code();
    }
    console::silenceLibraryOutput(opt.verbose);
    console::quietFfmpeg(opt.verbose);
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return runStitcher(opt, g_interrupted);
}
