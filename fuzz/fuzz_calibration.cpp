// Calibration model and stitch meshes on arbitrary offset text: no crash, no
// undefined behaviour, a failed parse changes nothing, meshes from a readable
// calibration have the grid's shape, and a calibration passed as usable gives
// finite texture coordinates on both lenses.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "DualFisheyeModel.h"
#include "FisheyePlane.h"
#include "calibration/Calibration.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The model echoes every text on standard output.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

namespace {
bool sameLens(const FisheyeLens& a, const FisheyeLens& b) {
    return std::memcmp(&a, &b, sizeof(FisheyeLens)) == 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    DualFisheyeModel model(nullptr);
    const DualFisheyeModel before = model;
    const bool ok = model.parseOffset(text.c_str());
    if (!ok && (!sameLens(model.lens0, before.lens0) || !sameLens(model.lens1, before.lens1))) std::abort();
    if (ok && (model.lens0.type != model.lens1.type || model.lens0.type < 0 || model.lens0.type > 255)) std::abort();

    const int angle = size ? static_cast<int>(data[0] % 7) * 60 : 0;
    const FisheyePlane plane(model.lens1, 24, 6, 4, 0.0f, 0.0f, angle);
    if (plane.vertices.size() != 7u * 5u * 3u || plane.uvs.size() != plane.vertices.size() ||
        plane.indices.size() != 6u * 6u * 4u)
        std::abort();
    for (unsigned int k : plane.indices)
        if (k >= 35u) std::abort();

    const calibration::Reading usable = calibration::checkUsable(text.c_str());
    if (usable.verdict.isOk() != usable.verdict.reason().empty()) std::abort();
    if (usable.verdict) {
        if (!ok) std::abort();  // usable implies readable by the renderer
        for (const FisheyeLens* lens : {&model.lens0, &model.lens1}) {
            const FisheyePlane p(*lens, 24, 6, 4, 0.0f, 0.0f, angle);
            for (float f : p.uvs)
                if (!std::isfinite(f)) std::abort();
        }
    }
    return 0;
}
