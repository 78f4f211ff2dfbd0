// Outcome of a step: an exit code and, on failure, the message for the user.
//
// The one way the stitcher's stages report a failure. They return a Status
// and never print: the command line decides what the user sees. A step that
// makes something hands it out through its last parameter, which it sets
// only when it succeeds:
//
//     std::unique_ptr<Engine> engine;
//     Status st = makeCpuEngine(params, engine);
#pragma once

#include <string>
#include <utility>

namespace stitcher {

// Exit codes, also listed by --help.
enum ExitCode {
    kExitOk = 0,
    kExitFailed = 1,      // decoding, stitching or encoding failed on the way
    kExitUsage = 2,       // bad command line
    kExitInput = 3,       // clip missing, unreadable, without video or not two lens images
    kExitOffset = 4,      // calibration unusable
    kExitOutput = 5,      // output exists (no -y) or cannot be written
    kExitDisplay = 6,     // no stitching engine can run (no OpenGL 3.3 context)
    kExitPlan = 7,        // a farm plan or segment that cannot be used: unreadable, for another clip, not of the plan
    kExitInterrupted = 130,  // SIGINT; the other signals that stop a run give 128 + their number
};

class Status {
public:
    Status() = default;
    Status(int code, std::string message) : code_(code), message_(std::move(message)) {}

    bool ok() const { return code_ == kExitOk; }
    int code() const { return code_; }
    const std::string& message() const { return message_; }

private:
    int code_ = kExitOk;
    std::string message_;
};

}  // namespace stitcher
