#include "GreyPanorama.h"

#include <algorithm>

#include "CpuEngine.h"

namespace stitcher {

Status GreyPanorama::create(const EngineSpec& clip, int rows, int threads, const std::string& purpose,
                            std::unique_ptr<GreyPanorama>& out) {
    return guarded([&]() -> Status {
        std::unique_ptr<GreyPanorama> p(new GreyPanorama);
        EngineSpec params = clip;
        params.size = std::max(32, rows / 16 * 16);
        params.layout = Layout::Stitch;
        params.perFrameRotation = false;
        params.view = ViewShape();
        params.threads = threads;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) params.rotation[i][j] = i == j ? 1.0f : 0.0f;
        Status st = CpuEngine::create(params, p->engine_);
        if (!st.ok()) return st;
        p->stitched_.assign(params.outBytes(), 0);
        p->grey_.assign(static_cast<size_t>(params.outWidth()) * params.outHeight(), 0.0f);
        out = std::move(p);
        return Status();
    }, [&] { return Status(kExitFailed, "not enough memory " + purpose); });
}

GreyPanorama::~GreyPanorama() = default;

const EngineSpec& GreyPanorama::params() const { return engine_->params(); }

const float* GreyPanorama::grey(const uint8_t* bgr, int* w, int* h) {
    const EngineSpec& params = engine_->params();
    if (!engine_->stitch(const_cast<uint8_t*>(bgr), stitched_.data()).ok()) return nullptr;
    *w = params.outWidth(), *h = params.outHeight();
    const size_t stride = params.outStride();
    for (int y = 0; y < *h; ++y) {
        const uint8_t* row = stitched_.data() + stride * y;
        float* g = &grey_[static_cast<size_t>(y) * *w];
        for (int x = 0; x < *w; ++x) g[x] = 0.25f * (row[3 * x] + 2.0f * row[3 * x + 1] + row[3 * x + 2]);
    }
    return grey_.data();
}

}  // namespace stitcher
