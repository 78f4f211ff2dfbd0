#include "Console.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "libdec.h"

namespace stitcher {
namespace console {

namespace {

FILE* g_out = stdout;
// Our own copy of standard error: while the GL engine starts, standard error
// itself is caught for a moment (see GlEngine.cpp), and a warning that the
// reader's thread gives meanwhile must still reach the terminal.
FILE* g_err = stderr;
bool g_verbose = false;
// Messages and the progress line share standard error: a message that comes
// while the progress line is open starts on a line of its own.
std::mutex g_stderr;
bool g_progressOpen = false;

// A stream on a copy of descriptor `fd`, or null.
FILE* copyOf(int fd, bool unbuffered) {
    const int copy = ::dup(fd);
    if (copy < 0) return nullptr;
    ::fcntl(copy, F_SETFD, FD_CLOEXEC);
    FILE* f = ::fdopen(copy, "w");
    if (!f) {
        ::close(copy);
        return nullptr;
    }
    if (unbuffered) std::setvbuf(f, nullptr, _IONBF, 0);
    return f;
}

void closeProgressLine() {
    if (g_progressOpen) std::fputc('\n', g_err);
    g_progressOpen = false;
}

void vsay(const char* prefix, const char* fmt, va_list ap) {
    std::lock_guard<std::mutex> lock(g_stderr);
    closeProgressLine();
    std::fputs(prefix, g_err);
    std::vfprintf(g_err, fmt, ap);
    std::fputc('\n', g_err);
}

void toDevNull(int fd) {
    int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devnull >= 0) {
        ::dup2(devnull, fd);
        ::close(devnull);
    }
}

// The libraries' standard output while verbose: a pipe whose lines a thread
// of ours shows as the libraries' messages.
std::thread g_libraryReader;

void showLibraryLine(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) return;
    std::lock_guard<std::mutex> lock(g_stderr);
    closeProgressLine();
    std::fprintf(g_err, "stitcher: library: %s\n", line.c_str());
}

void readLibraryLines(int fd) {
    using Clock = std::chrono::steady_clock;
    std::string pending;
    Clock::time_point since;  // when `pending` began
    char buf[4096];
    for (;;) {
        // Some of their messages end without a line end: text that stays
        // unfinished for a moment, or that has gathered for a while, is
        // shown as it is.
        if (!pending.empty()) {
            struct pollfd p = {fd, POLLIN, 0};
            const bool old = Clock::now() - since > std::chrono::milliseconds(50);
            const int ready = old ? 0 : ::poll(&p, 1, 5);
            if (ready < 0 && errno == EINTR) continue;
            if (ready == 0) {
                showLibraryLine(pending);
                pending.clear();
                continue;
            }
        }
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (pending.empty()) since = Clock::now();
        pending.append(buf, static_cast<size_t>(n));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            showLibraryLine(pending.substr(0, end));
            pending.erase(0, end + 1);
            since = Clock::now();
        }
    }
    showLibraryLine(pending);
    ::close(fd);
}

void routeLibraryOutput() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    if (::dup2(fds[1], 1) < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    ::close(fds[1]);
    // Every message reaches the pipe when it is printed, not at exit.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    try {
        g_libraryReader = std::thread(readLibraryLines, fds[0]);
    } catch (const std::exception&) {
        // Nobody would read the pipe: their messages go where ours go.
        ::dup2(::fileno(g_err), 1);
        ::close(fds[0]);
    }
}

}  // namespace

void silenceLibraryOutput(bool verbose) {
    g_verbose = verbose;
    std::fflush(stdout);
    if (FILE* f = copyOf(1, false)) g_out = f;
    if (FILE* f = copyOf(2, true)) g_err = f;
    if (verbose)
        routeLibraryOutput();
    else
        toDevNull(1);
}

void endLibraryOutput() {
    if (!g_libraryReader.joinable()) return;
    std::fflush(stdout);
    toDevNull(1);  // the pipe's last writer: its reader reaches the end
    g_libraryReader.join();
}

FILE* out() { return g_out; }

Status finishOut() {
    FILE* o = g_out;
    errno = 0;
    bool lost = std::fflush(o) != 0 || std::ferror(o);
    int err = errno;
    if (o != stdout) {
        if (std::fclose(o) != 0 && !lost) {
            lost = true;
            err = errno;
        }
        g_out = stdout;
    }
    if (!lost) return Status();
    return Status(kExitOutput, std::string("cannot write to standard output: ") + std::strerror(err ? err : EIO));
}
bool verbose() { return g_verbose; }

void quietFfmpeg(bool verbose) {
    // The clip reader keeps its decoder's messages in its own log and hands
    // every other message to FFmpeg's default printer, which honours this level.
    av_log_set_level(verbose ? AV_LOG_INFO : AV_LOG_ERROR);
}

void error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsay("stitcher: error: ", fmt, ap);
    va_end(ap);
}

void warn(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsay("stitcher: warning: ", fmt, ap);
    va_end(ap);
}

void note(const char* fmt, ...) {
    if (!g_verbose) return;
    va_list ap;
    va_start(ap, fmt);
    vsay("stitcher: ", fmt, ap);
    va_end(ap);
}

void error(const Status& s) { error("%s", s.message().c_str()); }

void say(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsay("stitcher: ", fmt, ap);
    va_end(ap);
}

void summary(const Summary& s) {
    if (!s.damaged.empty())
        warn("frame%s %s could not be decoded; each shows the last good picture before it (the first good one at "
             "the start)",
             s.damaged.size() == 1 ? "" : "s", frameRanges(s.damaged).c_str());
    say("%lld frame%s %dx%d %s in %.2f s (%.1f fps) with the %s engine -> %s", s.frames, s.frames == 1 ? "" : "s",
        s.width, s.height, s.stereo ? "stereo" : "360", s.seconds, s.seconds > 0 ? s.frames / s.seconds : 0.0,
        s.engine.c_str(), s.output.c_str());
}

std::string formatDuration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
    long s = std::lround(seconds);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

std::string frameRanges(const std::vector<long long>& frames) {
    std::string text;
    for (size_t i = 0; i < frames.size();) {
        size_t j = i;
        while (j + 1 < frames.size() && frames[j + 1] == frames[j] + 1) ++j;
        if (!text.empty()) text += ", ";
        text += std::to_string(frames[i]);
        if (j > i) text += "-" + std::to_string(frames[j]);
        i = j + 1;
    }
    return text;
}

Progress::Progress(long long total)
    : total_(total), tty_(::isatty(2)), start_(Clock::now()), last_(start_ - std::chrono::seconds(1)) {}

void Progress::frameDone() {
    ++done_;
    if (!tty_) return;
    auto now = Clock::now();
    if (now - last_ < std::chrono::milliseconds(200) && done_ != total_) return;
    last_ = now;
    std::lock_guard<std::mutex> lock(g_stderr);
    double secs = std::chrono::duration<double>(now - start_).count();
    double fps = secs > 0 ? done_ / secs : 0;
    std::fprintf(g_err, "\rframe %lld of %lld  %.1f fps  ETA %s   ", done_, total_, fps,
                 formatDuration(fps > 0 ? (total_ - done_) / fps : 0).c_str());
    std::fflush(g_err);
    g_progressOpen = true;
}

void Progress::end() {
    std::lock_guard<std::mutex> lock(g_stderr);
    closeProgressLine();
}

double Progress::seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

}  // namespace console
}  // namespace stitcher
