#include "Console.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "libdec.h"
#include "libdec_internal.h"
#include "spherecast_internal.h"

namespace stitcher {
namespace console {

namespace {

FILE* g_out = stdout;
FILE* g_err = stderr;
bool g_verbose = false;
// Messages and the progress line share standard error: a message that comes
// while the progress line is open starts on a line of its own.
std::mutex g_stderr;
bool g_progressOpen = false;

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

// A message of the libraries, shown when verbose as theirs.
void showLibraryLine(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) return;
    std::lock_guard<std::mutex> lock(g_stderr);
    closeProgressLine();
    std::fprintf(g_err, "stitcher: library: %s\n", line.c_str());
}

void dropLibraryLine(int, const std::string&) {}

// FFmpeg's messages about our own encoders and muxers ("[libx264 @ ...]",
// "[mp4 @ ...]"), at the level quietFfmpeg sets, marked as the libraries'
// lines are. FFmpeg may hand a line over in pieces: they are gathered.
std::mutex g_ffmpegMutex;
std::string g_ffmpegLine;
int g_ffmpegPrefix = 1;

void printFfmpeg(void* context, int level, const char* fmt, va_list args) {
    if (level > av_log_get_level()) return;
    char text[1024];
    std::lock_guard<std::mutex> lock(g_ffmpegMutex);
    if (av_log_format_line2(context, level, fmt, args, text, sizeof text, &g_ffmpegPrefix) < 0) return;
    g_ffmpegLine += text;
    for (size_t end; (end = g_ffmpegLine.find('\n')) != std::string::npos;) {
        showLibraryLine(g_ffmpegLine.substr(0, end));
        g_ffmpegLine.erase(0, end + 1);
    }
}

}  // namespace

void routeLibraryMessages(bool verbose) {
    g_verbose = verbose;
    if (verbose) {
        auto show = [](int, const std::string& line) { showLibraryLine(line); };
        libdec::SetMessageSink(show);
        spherecast::SetMessageSink(show);
    } else {
        libdec::SetMessageSink(dropLibraryLine);
        spherecast::SetMessageSink(dropLibraryLine);
    }
}

void endLibraryMessages() {
    libdec::SetMessageSink(dropLibraryLine);
    spherecast::SetMessageSink(dropLibraryLine);
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
    // every other message to printFfmpeg, which honours this level.
    av_log_set_level(verbose ? AV_LOG_INFO : AV_LOG_ERROR);
    libdec::SetFfmpegPrinter(printFfmpeg);
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

Status nothingWritten(const Status& st) {
    if (st.code() == kExitInterrupted) return st;
    return Status(st.code(), st.message() + "; nothing was written");
}

Status interruptedRun() { return Status(kExitInterrupted, "interrupted"); }

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
        s.width, s.height, s.kind ? s.kind : s.stereo ? "stereo" : "360", s.seconds, s.seconds > 0 ? s.frames / s.seconds : 0.0,
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

Progress::Progress(long long total, std::string label, const char* what, bool rated)
    : total_(total), what_(what), tty_(::isatty(2)), rated_(rated), label_(std::move(label)), start_(Clock::now()), last_(start_) {
    if (tty_) last_ -= std::chrono::seconds(1);
}

void Progress::frameDone() {
    ++done_;
    if (!tty_) {
        if (label_.empty()) return;
        auto now = Clock::now();
        if (now - last_ < std::chrono::seconds(10) && done_ != total_) return;
        last_ = now;
        const double secs = std::chrono::duration<double>(now - start_).count();
        if (rated_)
            say("%s: %s %lld of %lld, %.1f fps", label_.c_str(), what_, done_, total_, secs > 0 ? done_ / secs : 0.0);
        else
            say("%s: %s %lld of %lld", label_.c_str(), what_, done_, total_);
        return;
    }
    auto now = Clock::now();
    if (now - last_ < std::chrono::milliseconds(200) && done_ != total_) return;
    last_ = now;
    std::lock_guard<std::mutex> lock(g_stderr);
    double secs = std::chrono::duration<double>(now - start_).count();
    double fps = secs > 0 ? done_ / secs : 0;
    if (rated_)
        std::fprintf(g_err, "\r%s %lld of %lld  %.1f fps  ETA %s   ", what_, done_, total_, fps,
                     formatDuration(fps > 0 ? (total_ - done_) / fps : 0).c_str());
    else
        std::fprintf(g_err, "\r%s %lld of %lld   ", what_, done_, total_);
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
