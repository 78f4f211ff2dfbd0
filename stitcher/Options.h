// Command line of the stitcher.
#pragma once

#include <string>

namespace stitcher {

// Exit codes, also listed by --help.
enum ExitCode {
    kExitOk = 0,
    kExitFailed = 1,      // decoding, rendering or encoding failed on the way
    kExitUsage = 2,       // bad command line
    kExitInput = 3,       // clip missing, unreadable or without video
    kExitOffset = 4,      // calibration unusable
    kExitOutput = 5,      // output exists (no -y) or cannot be written
    kExitDisplay = 6,     // no display / no OpenGL 3.3 context
    kExitInterrupted = 130,
};

enum class OutputKind { None, Video, Sequence, Picture };

struct Options {
    std::string input;
    std::string output;
    OutputKind kind = OutputKind::None;
    bool info = false;
    bool overwrite = false;
    bool verbose = false;
    bool audio = true;
    bool stereo = false;
    int size = 0;          // panorama height; 0: from the calibration
    long long start = 1;   // first frame, counted from 1
    long long count = 0;   // 0: to the end of the clip
    long long frame = 0;   // --frame N: one picture of frame N
    double yaw = 0, pitch = 0, roll = 0;  // degrees
    std::string offset;    // calibration override
    bool haveOffset = false;
    int crf = 20;
    std::string preset = "medium";
};

// Parses argv into `opt`. Returns true to go on; false with `exitCode` set
// (kExitOk after --help, kExitUsage with `error` for a bad command line).
bool parseOptions(int argc, char** argv, Options& opt, int& exitCode, std::string& error);

const char* usageText();

}  // namespace stitcher
