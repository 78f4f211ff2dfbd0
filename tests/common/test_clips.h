// Test clips made at test time with the ffmpeg command, cached in the build
// folder so that every test program (and every parallel ctest process) shares
// them. Creation goes through a temporary name and an atomic rename.
#pragma once

#include <cstdint>
#include <string>

namespace testutil {

// Folder that holds generated clips (created on demand).
std::string clipDir();

// Returns the path of clip `name` (e.g. "gop30_bframes.mp4"), creating it
// first by running: ffmpeg -hide_banner -loglevel error -y <ffmpegArgs> <tmp>
// when it does not exist yet. Fails the calling test (ADD_FAILURE) and returns
// an empty string when ffmpeg fails.
std::string makeClip(const std::string& name, const std::string& ffmpegArgs);

// Runs a shell command; returns its exit status (-1 when it could not start).
int runCommand(const std::string& cmd);

// Runs a shell command and returns its standard output.
std::string captureCommand(const std::string& cmd, int* status = nullptr);

// A fresh empty temporary folder, removed with its contents when the test
// program ends normally.
std::string makeTempDir(const std::string& prefix);

// A copy of `clip` in a fresh temporary folder with the bytes [offset, offset
// + size) damaged: zeroed, or overwritten with a fixed pattern of other bytes.
// Its path; empty (with a test failure) when it cannot be written.
std::string damagedCopy(const std::string& clip, uint64_t offset, uint64_t size, bool zeros = true);

// Whole file as bytes; empty when it cannot be read.
std::string readFile(const std::string& path);
bool writeFile(const std::string& path, const std::string& data);

// `s` as one shell word (in single quotes).
std::string quote(const std::string& s);

// For commands that run a built program which may take an OpenGL context:
// in sanitizer builds "LD_PRELOAD=<Mesa's software driver> ". The driver is
// unloaded when its display closes, and leak reports about its allocations
// would then name no module (and escape the driver suppressions); preloaded,
// it stays mapped until the program exits. Elsewhere empty.
std::string driverPin();

// What a run of the built stitcher gave.
struct StitcherRun {
    int code = -1;
    std::string out, err;
};

// Runs the built stitcher on the CPU engine, without a display, with `args`
// (shell words) in folder `dir`; standard output is caught unless `args`
// sends it elsewhere.
StitcherRun runStitcher(const std::string& args, const std::string& dir = ".");

}  // namespace testutil
