// stitcher: turns a dual-fisheye clip into a 360 panorama video or pictures.
// This file holds the command line and the signals; the stages of a run are
// in core/ (Run.cpp shows the way of the data).
#include <signal.h>

#include <atomic>
#include <cstdio>

#include "Console.h"
#include "Options.h"
#include "Run.h"

using namespace stitcher;

namespace {

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
