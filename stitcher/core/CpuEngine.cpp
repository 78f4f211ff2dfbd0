#include "Engine.h"

namespace stitcher {

std::unique_ptr<Engine> makeCpuEngine(const EngineSpec&, std::string& error) {
    error = "the CPU engine is not built";
    return nullptr;
}

}  // namespace stitcher
