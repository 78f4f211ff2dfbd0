// stitcher: turns a dual-fisheye clip into a 360 panorama video or pictures.
// This file holds the command line, the signals and the exit code (the
// run's Status, its message printed here); Run.cpp runs the mode the options
// name and shows the way of the data through the stages.
#include <signal.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <atomic>
#include <cstdio>

#include "Console.h"
#include "Options.h"
#include "Run.h"

using namespace stitcher;

namespace {

std::atomic<bool> g_interrupted{false};
std::atomic<int> g_signal{0};  // the first signal that stopped the run

void onSignal(int sig) {
    int none = 0;
    g_signal.compare_exchange_strong(none, sig);
    g_interrupted = true;
}

const char* signalName(int sig) {
    switch (sig) {
        case SIGHUP: return "SIGHUP";
        case SIGQUIT: return "SIGQUIT";
        case SIGTERM: return "SIGTERM";
        default: return "SIGINT";
    }
}

}  // namespace

int main(int argc, char** argv) {
#ifdef __linux__
    // No transparent huge pages for this process. The video encoder asks for
    // them on every large buffer, and a huge page is cleared whole, 2 MiB at
    // a time, on its first touch: on virtual machines that cost about a
    // sixth of a run's CPU time, far more than the small pages' faults and
    // the TLB misses they spare. A host process (the frei0r filter's) keeps
    // its own policy; only the tool sets this.
    ::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
#endif
    Options opt;
    Status st = parseOptions(argc, argv, opt);
    if (opt.help) {
        std::fputs(usageText(), stdout);
        if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return kExitOk;
        std::perror("stitcher: error: cannot write to standard output");
        return kExitOutput;
    }
    if (!st.ok()) {
        console::error(st);
        std::fputs("Run 'stitcher --help' for the options.\n", stderr);
        return st.code();
    }
    // Each of these stops the run the same way: its files are removed, and
    // the exit code is 128 + the signal's number (130 for SIGINT). SIGQUIT
    // so leaves no core dump either. A SIGHUP or SIGQUIT that the caller
    // ignores stays ignored (nohup; a shell's background job).
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction was {};
        if (sig != SIGINT && sig != SIGTERM && ::sigaction(sig, nullptr, &was) == 0 && was.sa_handler == SIG_IGN)
            continue;
        ::sigaction(sig, &sa, nullptr);
    }
    ::signal(SIGPIPE, SIG_IGN);
    for (const std::string& w : opt.warnings) console::warn("%s", w.c_str());
    console::routeLibraryMessages(opt.verbose);
    console::quietFfmpeg(opt.verbose);
    st = runStitcher(opt, g_interrupted);
    if (!st.ok() && st.code() != kExitInterrupted) console::error(st);
    console::endLibraryMessages();
    if (st.code() != kExitInterrupted) return st.code();
    const int sig = g_signal.load();
    if (sig == SIGINT || sig == 0)
        console::error("interrupted; nothing was written");
    else
        console::error("interrupted by %s; nothing was written", signalName(sig));
    return 128 + (sig ? sig : SIGINT);
}
