// The built-in calibration text as the system documents it, for tests to feed
// and to compare with. Product code keeps its own constant (DEFAULT_OFFSET);
// a test checks that the two agree.
#pragma once

#include <string>

namespace testutil {

inline constexpr char kDefaultOffset[] =
    "2_713.649_713.933_708.05_-2.65_-1.599_-0.358_712.403_2165.5_727.583_177.35_-180.54_0.176_2880_1440_516";

// The same without its last field, the lens code: the 15 fields the renderer needs.
inline std::string defaultOffsetWithoutCode() {
    const std::string text = kDefaultOffset;
    return text.substr(0, text.rfind('_'));
}

}  // namespace testutil
