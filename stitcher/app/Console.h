// What the user sees: messages, the progress line and the summary.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "Status.h"

namespace stitcher {
namespace console {

// The libraries' messages (their progress and log lines) come to us instead
// of their standard output: when verbose each is shown on standard error as
// "stitcher: library: ...", otherwise dropped. Standard output carries only
// our own output (out()).
void routeLibraryMessages(bool verbose);
// After the run: whatever the libraries say is dropped.
void endLibraryMessages();
FILE* out();
// Flushes and closes out(): kExitOutput where anything written to it was lost.
Status finishOut();
bool verbose();

// Level at which FFmpeg's own messages (the encoders') reach standard error.
void quietFfmpeg(bool verbose);

void error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void warn(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Only when verbose.
void note(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// The message of a failed status, as an error.
void error(const Status& s);
// A failure after which the run's files were removed, said so (a run
// that was interrupted as it is: the caller names the signal).
Status nothingWritten(const Status& st);
// A run that a signal stopped.
Status interruptedRun();

// Always shown: "stitcher: <message>".
void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// What a finished run did.
struct Summary {
    long long frames = 0;
    int width = 0, height = 0;
    bool stereo = false;
    const char* kind = nullptr;  // what the picture is where not a 360 panorama or a stereo pair (flat, planet)
    double seconds = 0;
    std::string engine, output;
    std::vector<long long> damaged;  // frames that could not be decoded
};
// The damaged frames (when any) and the one-line account of the run.
void summary(const Summary& s);

// "1:05" or "1:02:03".
std::string formatDuration(double seconds);
// Frame numbers as ranges: "6-8, 12".
std::string frameRanges(const std::vector<long long>& frames);

// "frame n of N  fps  ETA" on a terminal, at most five times a second.
// With a `label` (a farm task's), where standard error is no terminal (a
// scheduler's log), a line "stitcher: <label>: frame n of N ..." every ten
// seconds and at the last frame.
class Progress {
public:
    // `what` starts the line: "frame" (n of N) unless told. Without `rated`
    // the frames cost next to nothing (nothing is measured): no rate and no
    // time left are shown.
    explicit Progress(long long total, std::string label = std::string(), const char* what = "frame",
                      bool rated = true);
    void frameDone();
    // Ends the line (when one was shown).
    void end();
    double seconds() const;

private:
    using Clock = std::chrono::steady_clock;
    long long total_, done_ = 0;
    const char* what_;
    bool tty_, rated_;
    std::string label_;
    Clock::time_point start_, last_;
};

}  // namespace console
}  // namespace stitcher
