#include "SettingRules.h"

namespace stitcher {
namespace rules {

const std::vector<const char*>& layouts() {
    static const std::vector<const char*> words = {"stitch", "stereo"};
    return words;
}

const std::vector<const char*>& codecs() {
    static const std::vector<const char*> words = {"h264", "hevc"};
    return words;
}

const std::vector<const char*>& engines() {
    static const std::vector<const char*> words = {"auto", "gl", "cpu"};
    return words;
}

const std::vector<const char*>& projections() {
    static const std::vector<const char*> words = {"equirect", "flat", "planet"};
    return words;
}

const std::vector<const char*>& presets() {
    // x264 and x265 name the same ten.
    static const std::vector<const char*> words = {"ultrafast", "superfast", "veryfast", "faster", "fast",
                                                   "medium",    "slow",      "slower",   "veryslow", "placebo"};
    return words;
}

int wordIndex(const std::vector<const char*>& words, const std::string& text) {
    for (size_t i = 0; i < words.size(); ++i)
        if (text == words[i]) return static_cast<int>(i);
    return -1;
}

std::string otherThan(const std::vector<const char*>& words) {
    if (words.size() == 2) return std::string("neither ") + words[0] + " nor " + words[1];
    std::string s = "none of ";
    for (size_t i = 0; i < words.size(); ++i)
        s += std::string(i == 0 ? "" : i + 1 == words.size() ? " and " : ", ") + words[i];
    return s;
}

std::string sizeProblem(long long height) {
    // Both codecs take only even picture sides (4:2:0).
    return height % 2 ? "the panorama height must be even" : "";
}

}  // namespace rules
}  // namespace stitcher
