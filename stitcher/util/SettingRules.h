// The rules that a run's settings keep to, wherever they come from: the
// command line reads its values through these, and a plan's fields are
// checked with them when it is read, so that a plan cannot hold a setting
// that the command line would refuse.
#pragma once

#include <string>
#include <vector>

namespace stitcher {
namespace rules {

// Whole-number ranges.
constexpr long long kSizeMin = 16, kSizeMax = 4096;  // panorama height (even)
constexpr long long kCrfMin = 0, kCrfMax = 51;
constexpr long long kFrameMax = 0xffffffffLL;        // frame numbers and counts, from 1
constexpr long long kSegmentsMax = 10000;
constexpr long long kThreadsMax = 1024;
constexpr double kSmoothMin = 0.1, kSmoothMax = 30;  // seconds
constexpr double kSeamDistanceMin = 0.1, kSeamDistanceMax = 1000;  // metres
constexpr double kBaselineMin = 1, kBaselineMax = 200;             // millimetres
constexpr long long kViewSideMin = 16, kViewSideMax = 8192;       // a flat or planet picture's sides (even)
constexpr double kFovMax = 180;                                   // degrees; a field of view is more than 0, less than this

// The words a setting takes.
// (Functions, not globals: the option table is itself made at start-up.)
const std::vector<const char*>& layouts();  // stitch, stereo
const std::vector<const char*>& codecs();   // h264, hevc
const std::vector<const char*>& engines();  // auto, gl, cpu
const std::vector<const char*>& presets();  // the encoders' speed presets, fastest first
const std::vector<const char*>& projections();  // equirect, flat, planet

// The index of `text` among `words`, or -1.
int wordIndex(const std::vector<const char*>& words, const std::string& text);
// "neither a nor b", "none of a, b and c": what a word that is not one of them is.
std::string otherThan(const std::vector<const char*>& words);

// Why a panorama height in range cannot be used; empty where it can.
std::string sizeProblem(long long height);

}  // namespace rules
}  // namespace stitcher
