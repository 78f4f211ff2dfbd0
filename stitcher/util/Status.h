// Outcome of a step: an exit code and, on failure, the message for the user.
//
// How the stitcher's stages below the command line report a failure: they
// return a Status and never print; the command line decides what the user
// sees and which exit code the program ends with. Where a stage's work can
// run out of resources and throw, guarded() below makes the exception a
// Status like any other failure. A step that makes something hands it out
// through its last parameter, which it sets only when it succeeds:
//
//     std::unique_ptr<Engine> engine;
//     Status st = makeCpuEngine(params, engine);
#pragma once

#include <exception>
#include <new>
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

// A step that threw for want of resources (memory, a thread that cannot
// start): kExitFailed with the exception's own words.
inline Status outOfResources(const std::exception& e) {
    return Status(kExitFailed, std::string("out of resources: ") + e.what());
}

// Runs `step`, which returns a Status, and gives what it returns; an
// exception it lets out becomes outOfResources() instead of ending the
// program.
template <class Step>
Status guarded(Step&& step) {
    try {
        return step();
    } catch (const std::exception& e) {
        return outOfResources(e);
    }
}

// The same for a step that says itself what it ran short of memory for:
// std::bad_alloc becomes what `outOfMemory()` returns (a Status); other
// exceptions pass on to the caller.
template <class Step, class OutOfMemory>
Status guarded(Step&& step, OutOfMemory&& outOfMemory) {
    try {
        return step();
    } catch (const std::bad_alloc&) {
        return outOfMemory();
    }
}

}  // namespace stitcher
