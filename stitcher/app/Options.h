// Command line of the stitcher.
#pragma once

#include <string>

#include "Engine.h"
#include "Status.h"

namespace stitcher {

enum class OutputKind { None, Video, Sequence, Picture };

struct Options {
    std::string input;
    std::string output;
    OutputKind kind = OutputKind::None;
    bool help = false;
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
    bool hevc = false;     // --codec hevc: the video in HEVC (x265), not H.264 (x264)
    int crf = 20;
    std::string preset = "medium";
    EngineKind engine = EngineKind::Auto;
    bool colorMatch = true;         // match exposure and colour between the lenses
    bool calibrate = false;         // --calibrate: refine the clip's calibration and print it
    bool refineCalibration = false; // refine the calibration before stitching
    int threads = 0;       // engine worker threads; 0: all cores
};

// Parses argv into `opt`; kExitUsage with the reason for a bad command line.
// After -h/--help, opt.help is set and nothing else need be looked at.
Status parseOptions(int argc, char** argv, Options& opt);

const char* usageText();

}  // namespace stitcher
