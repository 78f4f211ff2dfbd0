// Command line of the stitcher.
#pragma once

#include <string>
#include <vector>

#include "Engine.h"
#include "Status.h"
#include "ViewPath.h"

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
    // The output's projection; flat and planet take --size WxH (viewWidth x
    // viewHeight, 0: the projection's default) and --fov.
    Projection projection = Projection::Equirect;
    int viewWidth = 0, viewHeight = 0;
    double fov = 100.0;
    std::string camera;  // --camera: the keyframed virtual camera's file
    long long start = 1;   // first frame, counted from 1
    long long count = 0;   // 0: to the end of the clip
    long long frame = 0;   // --frame N: one picture of frame N
    double yaw = 0, pitch = 0, roll = 0;  // degrees
    // Not an option: the clip's display turn (0 or 180 degrees) that the
    // view undoes, set once the clip is open.
    int displayTurn = 0;
    std::string offset;    // calibration override
    bool haveOffset = false;
    bool hevc = false;     // --codec hevc: the video in HEVC (x265), not H.264 (x264)
    bool prores = false;   // --codec prores: ProRes 422 HQ (10-bit 4:2:2), a master for editors
    int bitDepth = 8;      // --bit-depth: 10 with HEVC (Main10)
    bool jpeg = false;     // the pictures are JPEGs (a .jpg or .jpeg name)
    int quality = 90;      // --quality: the JPEGs'
    int crf = 20;
    std::string preset = "medium";
    EngineKind engine = EngineKind::Auto;
    bool colorMatch = true;         // match exposure and colour between the lenses
    LensFalloff falloff;            // --falloff: each lens's fall-off, instead of measuring it
    bool haveFalloff = false;
    bool calibrate = false;         // --calibrate: refine the clip's calibration and print it
    bool refineCalibration = false; // refine the calibration before stitching
    int threads = 0;       // engine worker threads; 0: all cores
    // One clip over many machines.
    std::string planOut;   // --plan-out FILE: decide over the whole clip, write the plan
    int segments = 0;      // --segments N: how many segments the plan makes
    std::string plan;      // --plan FILE: render from it (--segment) or join by it (--join)
    int segment = 0, segmentOf = 0;  // --segment K/N
    bool join = false;     // --join OUT: the output is `output`, the segments `parts`
    std::string clip;      // --clip PATH: the clip's sound for the join, where it is not at the plan's path
    std::vector<std::string> parts;  // the segments to join
    std::vector<std::string> given;  // the options on the command line, as spelt
    std::vector<std::string> warnings;  // options this run leaves aside, and why: said before it starts
    StabilizeMode stabilize = StabilizeMode::Off;
    bool level = false;          // --level: world-up from the footage kept up
    double smoothSeconds = 1.0;  // --smooth: how long a turn must last to be kept
    std::string motionIn;        // --motion: the view corrections from this file instead of measuring
    std::string motionPlot;      // --motion-plot: measured and smoothed yaw, pitch, roll drawn as a PNG
    std::string motionOut;       // --motion-out: the measured motion, path and corrections written here
    // The seams (--seam, --baseline): near things lined up across the
    // cross-fade bands, measured per frame (auto) or at a fixed distance.
    bool seamAuto = false;
    double seamDistanceM = 0;    // --seam <dist>m; 0: auto or far
    double baselineMm = 30;      // --baseline: between the lenses' optical centres
};

// What an option's value is read as; the parser refuses, with the option's
// name, a value that is not one.
enum class ValueKind {
    None,   // a flag: takes no value
    Whole,  // a whole number from `lo` to `hi`
    Angle,  // a finite number of degrees
    Word,   // one of `words`
    Text,   // any text
    End,    // "--": the end of the options
};

// A value as read; the field its kind fills.
struct OptionValue {
    long long whole = 0;
    double angle = 0;
    int word = 0;       // index into the option's words
    std::string text;   // the value as given (every kind with a value)
};

// One option of the command line: how it is spelt, what its value is, what
// --help says of it and what it sets. The usage text and the parser are both
// made from the table of these.
struct OptionSpec {
    const char* names;   // the spellings shown, ", " between: "-v, --verbose"
    const char* alias;   // one more spelling that is accepted but not shown, or null
    ValueKind kind;
    const char* value;   // the value's name in the usage text ("N", "DEG"), or null
    const char* help;    // the usage text's line; "\n" starts a continuation
    long long lo, hi;                   // Whole
    std::vector<const char*> words;     // Word
    // Puts the value into the options; kExitUsage with the reason where the
    // value is of its kind but cannot be used. Null for End.
    Status (*set)(Options& opt, const OptionValue& value);
};

// Every option, in the order --help lists them.
const std::vector<OptionSpec>& optionTable();

// Parses argv into `opt`; kExitUsage with the reason for a bad command line.
// After -h/--help, opt.help is set and nothing else need be looked at.
Status parseOptions(int argc, char** argv, Options& opt);

const char* usageText();

}  // namespace stitcher
