#include "CpuEngine.h"

#include <cmath>
#include <exception>
#include <new>
#include <vector>

#include "FrameLevels.h"
#include "SampleKernel.h"
#include "SampleTable.h"
#include "WorkerPool.h"

namespace stitcher {

struct CpuEngine::State {
    EngineSpec params;
    std::unique_ptr<WorkerPool> pool;
    SampleTable table;
    HugePageVector<uint8_t> levels;
    LensGains gains;
};

CpuEngine::CpuEngine(std::unique_ptr<State> state) : state_(std::move(state)) {}

CpuEngine::~CpuEngine() = default;

std::unique_ptr<CpuEngine> CpuEngine::create(const EngineSpec& params, std::string& error) {
    try {
        std::unique_ptr<State> state(new State);
        state->params = params;
        state->pool.reset(new WorkerPool(params.threads));
        if (!buildSampleTable(params, *state->pool, &state->table, &error)) return nullptr;
        state->levels.assign(state->table.levelBytes, 0);
        return std::unique_ptr<CpuEngine>(new CpuEngine(std::move(state)));
    } catch (const std::bad_alloc&) {
        error = "not enough memory for the CPU engine's tables";
    } catch (const std::exception& e) {
        error = std::string("CPU engine set-up failed: ") + e.what();
    }
    return nullptr;
}

bool CpuEngine::stitch(uint8_t* frame, uint8_t* out) {
    if (!frame || !out) return false;
    State& s = *state_;
    if (!s.levels.empty()) makeFrameLevels(s.table, frame, s.levels.data(), *s.pool);
    const uint8_t* levels = s.levels.data();
    s.pool->run(s.table.bands.size(),
                [&s, frame, levels, out](size_t b) { sampleBand(s.table, s.table.bands[b], frame, levels, s.gains, out); });
    return true;
}

void CpuEngine::setGains(const float gains[2][3]) {
    LensGains g;
    for (int lens = 0; lens < 2; ++lens)
        for (int c = 0; c < 3; ++c) {
            const float v = gains ? gains[lens][c] : 1.0f;
            g.q[lens][c] = gainFactor(std::isfinite(v) ? v : 1.0f);
        }
    state_->gains = g;
}

int CpuEngine::threads() const { return state_->pool->threads(); }

const EngineSpec& CpuEngine::params() const { return state_->params; }

size_t CpuEngine::tableBytes() const {
    return state_->table.tapCount() * sizeof(SampleTap) + state_->levels.size();
}

std::unique_ptr<Engine> makeCpuEngine(const EngineSpec& params, std::string& error) {
    return CpuEngine::create(params, error);
}

}  // namespace stitcher
