// How a stage tells of a problem that does not stop it. Stages never print:
// their caller decides where the text goes (the command line shows it as a
// warning). An empty one drops the text.
#pragma once

#include <functional>
#include <string>

namespace stitcher {

using Warn = std::function<void(const std::string& message)>;

}  // namespace stitcher
