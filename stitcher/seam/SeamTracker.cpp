#include "SeamTracker.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Angles.h"

namespace stitcher {

namespace {

// Shifts are faded out from this latitude to kLatitudeLimit.
constexpr double kFadeFrom = 60.0;
// A histogram of the disparities found, for the report: 0.01 degree steps.
constexpr int kHistogramSteps = 3000;
constexpr double kHistogramStep = 0.01;

double latitudeOf(int row, int height) { return 90.0 - 180.0 * (row + 0.5) / height; }

// 1 up to kFadeFrom degrees of latitude, 0 from kLatitudeLimit on.
float latitudeWeight(int row, int height) {
    const double lat = std::fabs(latitudeOf(row, height));
    return static_cast<float>(std::min(1.0, std::max(0.0, (kLatitudeLimit - lat) / (kLatitudeLimit - kFadeFrom))));
}

// NCC of l(i + s/2) against r(i - s/2) over i in [i0, i1), every `step`;
// the callers keep i +- s/2 within the lists.
float correlation(const std::vector<float>& l, const std::vector<float>& r, int i0, int i1, float s, int step) {
    // Every read of a list falls the same fraction between two entries.
    const float hl = 0.5f * s, hr = -0.5f * s;
    const int kl = static_cast<int>(std::floor(hl)), kr = static_cast<int>(std::floor(hr));
    const float fl = hl - static_cast<float>(kl), fr = hr - static_cast<float>(kr);
    const int last = static_cast<int>(l.size()) - 2;
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    int n = 0;
    // Reads clamped to the lists (toward their ends), one by one.
    const auto clamped = [&](int from, int to) {
        for (int i = from; i < to; i += step, ++n) {
            const int il = std::min(std::max(i + kl, 0), last), ir = std::min(std::max(i + kr, 0), last);
            const float a = l[static_cast<size_t>(il)] + (l[static_cast<size_t>(il) + 1] - l[static_cast<size_t>(il)]) * fl - 128.0f;
            const float b = r[static_cast<size_t>(ir)] + (r[static_cast<size_t>(ir) + 1] - r[static_cast<size_t>(ir)]) * fr - 128.0f;
            sa += a;
            sb += b;
            saa += static_cast<double>(a) * a;
            sbb += static_cast<double>(b) * b;
            sab += static_cast<double>(a) * b;
        }
    };
    // The samples i0, i0 + step, ... whose reads need no clamping: [from, to).
    const int lowest = -std::min(kl, kr), highest = last - std::max(kl, kr);
    const int from = lowest <= i0 ? i0 : i0 + (lowest - i0 + step - 1) / step * step;
    const int to = std::max(from, std::min(i1, highest + 1));
    clamped(i0, std::min(from, i1));
    if (from < to) {
        // Four sums side by side, in floats over runs short enough to hold
        // their precision, gathered in doubles; the levels taken from
        // mid-grey (which the correlation ignores), so that the squares stay small.
        const float* pl = l.data() + kl;
        const float* pr = r.data() + kr;
        int i = from;
        while (i < to) {
            const int end = std::min(to, i + 64 * step);
            float a4[4] = {0, 0, 0, 0}, b4[4] = {0, 0, 0, 0}, aa4[4] = {0, 0, 0, 0}, bb4[4] = {0, 0, 0, 0}, ab4[4] = {0, 0, 0, 0};
            for (; i + 3 * step < end; i += 4 * step)
                for (int k = 0; k < 4; ++k) {
                    const int j = i + k * step;
                    const float a = pl[j] + (pl[j + 1] - pl[j]) * fl - 128.0f;
                    const float b = pr[j] + (pr[j + 1] - pr[j]) * fr - 128.0f;
                    a4[k] += a, b4[k] += b, aa4[k] += a * a, bb4[k] += b * b, ab4[k] += a * b;
                }
            for (; i < end; i += step) {
                const float a = pl[i] + (pl[i + 1] - pl[i]) * fl - 128.0f;
                const float b = pr[i] + (pr[i + 1] - pr[i]) * fr - 128.0f;
                a4[0] += a, b4[0] += b, aa4[0] += a * a, bb4[0] += b * b, ab4[0] += a * b;
            }
            for (int k = 0; k < 4; ++k) sa += a4[k], sb += b4[k], saa += aa4[k], sbb += bb4[k], sab += ab4[k];
        }
        n += (to - from + step - 1) / step;
        clamped(from + (to - from + step - 1) / step * step, i1);
    }
    if (n < 4) return -1.0f;
    const double va = saa - sa * sa / n, vb = sbb - sb * sb / n;
    if (!(va > 1e-9) || !(vb > 1e-9)) return -1.0f;
    return static_cast<float>((sab - sa * sb / n) / std::sqrt(va * vb));
}

}  // namespace

int SeamTracker::marginFor(const DualFisheyeModel& /*model*/, int size, const SeamSettings& settings) {
    const double nearest = settings.distanceM > 0 ? settings.distanceM : settings.nearestM;
    const double radians = settings.baselineMm / 1000.0 / std::max(0.05, nearest);
    const double atHorizon = radians / (kPi / size);  // output columns: 2 * size per turn
    // Toward kLatitudeLimit a column spans cos(latitude) of the arc.
    const double most = atHorizon / std::cos(kLatitudeLimit * kPi / 180.0);
    return static_cast<int>(std::ceil(std::min(most, 3.0 * atHorizon) / 2.0)) + 2;
}

SeamTracker::SeamTracker(const DualFisheyeModel& model, int size, int frameWidth, int frameHeight,
                         const SeamSettings& settings)
    : settings_(settings),
      bands_(model, size, frameWidth, frameHeight, marginFor(model, size, settings)),
      frameWidth_(frameWidth),
      frameHeight_(frameHeight) {
    settings_.texelBytes = settings.texelBytes == 4 ? 4 : 3;
    const int H = bands_.height();
    binRows_ = std::max(1, (H + kGridRows - 1) / kGridRows);
    bins_ = (H + binRows_ - 1) / binRows_;
    unit_ = std::max(1.0f, static_cast<float>(H) / kGridRows);
    const double radians = settings.baselineMm / 1000.0 / std::max(0.05, settings.distanceM > 0 ? settings.distanceM : settings.nearestM);
    const float cap = static_cast<float>(2 * (bands_.margin() - 2));
    maxShift_.assign(static_cast<size_t>(bins_), 0.0f);
    for (int k = 0; k < bins_; ++k) {
        const int row = std::min(H - 1, k * binRows_ + binRows_ / 2);
        if (latitudeWeight(row, H) > 0) maxShift_[static_cast<size_t>(k)] = std::min(cap, static_cast<float>(radians / bands_.arcPerColumn(row)));
    }
    shift_.windows = kWindows;
    for (int b = 0; b < 2; ++b) {
        shift_.shift[b].assign(static_cast<size_t>(H) * kWindows, 0.0f);
        state_[b].assign(static_cast<size_t>(bins_) * kWindows, 0.0f);
    }
    found_.assign(kHistogramSteps, 0.0f);
    if (!(settings.distanceM > 0)) planReads();
    pool_.reset(new WorkerPool(settings.threads));
    signals_.resize(static_cast<size_t>(pool_->threads()));
    if (settings.distanceM > 0 && settings.baselineMm > 0) {
        // A fixed distance: the same shift every frame.
        for (int b = 0; b < 2; ++b)
            for (int row = 0; row < H; ++row)
                for (int w = 0; w < kWindows; ++w)
                    shift_.shift[b][static_cast<size_t>(row) * kWindows + w] =
                        std::min(cap, static_cast<float>(radians / bands_.arcPerColumn(row))) * latitudeWeight(row, H);
    }
}

void SeamTracker::planReads() {
    const int H = bands_.height(), m = bands_.margin();
    const size_t texel = static_cast<size_t>(settings_.texelBytes);
    const size_t stride = static_cast<size_t>(frameWidth_) * texel;
    // A grid column's reads: up to 2 points across its unit_ output columns
    // and 2 rows of the bin, each a bilinear read of 2 x 2 texels: a grid
    // column spans several frame pixels on large frames, and a read at one
    // point of each would alias the frame's fine texture. (Covering every
    // frame pixel under it costs twice as much again and lines up the
    // seams no better.)
    const float footprint = std::max(1.0f, bands_.density());
    const auto reads = [](float frameSpan) {
        return std::min(2, std::max(1, static_cast<int>(std::ceil(frameSpan / 2.0f - 0.25f))));
    };
    const int taps = reads(unit_ * footprint);
    const int rowsRead = std::min(binRows_, reads(static_cast<float>(binRows_) * footprint));
    for (int b = 0; b < 2; ++b) {
        reads_[b].assign(static_cast<size_t>(bins_), BinReads());
        gridCount_[b] = 0;
        const int c0 = bands_.begin(b), c1 = bands_.end(b);
        const int n = c1 - c0 + 2 * m;
        if (c1 <= c0 || frameWidth_ < 2 || frameHeight_ < 2) continue;
        gridCount_[b] = static_cast<int>(std::floor(gridOf(n - 1))) + 1;
        for (int bin = 0; bin < bins_; ++bin) {
            const float most = maxShift_[static_cast<size_t>(bin)] / unit_;
            if (!(most > 0.5f)) continue;
            BinReads& plan = reads_[b][static_cast<size_t>(bin)];
            const int r0 = bin * binRows_, r1 = std::min(H, r0 + binRows_);
            // Only as far beyond the band as half its largest shift reaches.
            const float reach = std::min(gridOf(m), std::ceil(most / 2.0f) + 2.0f);
            plan.first = std::max(0, static_cast<int>(std::floor(gridOf(m) - reach)));
            plan.count = std::min(gridCount_[b], static_cast<int>(std::floor(gridOf(n - m - 1) + reach)) + 1) - plan.first;
            const int rows = std::min(rowsRead, r1 - r0);
            for (int k = 0; k < rows; ++k)
                for (int t = 0; t < taps; ++t, ++plan.rows) {
                    const int row = r0 + (2 * k + 1) * (r1 - r0) / (2 * rows);
                    for (int side = 0; side < 2; ++side)
                        for (int i = plan.first; i < plan.first + plan.count; ++i) {
                            float x, y, r;
                            const float col = (static_cast<float>(i) + (t + 0.5f) / static_cast<float>(taps)) * unit_ - 0.5f;
                            bands_.lensPoint(b, side, row, static_cast<float>(c0 - m) + col, &x, &y, &r);
                            // The bilinear read of sampleFrameSum(), clamped at the frame's edges.
                            const float fx = std::min(std::max(x - 0.5f, 0.0f), static_cast<float>(frameWidth_ - 1));
                            const float fy = std::min(std::max(y - 0.5f, 0.0f), static_cast<float>(frameHeight_ - 1));
                            const int x0 = std::min(static_cast<int>(fx), frameWidth_ - 2);
                            const int y0 = std::min(static_cast<int>(fy), frameHeight_ - 2);
                            const double ax = fx - x0, ay = fy - y0;
                            Read rd;
                            rd.offset = static_cast<uint32_t>(static_cast<size_t>(y0) * stride + static_cast<size_t>(x0) * texel);
                            const double w[4] = {(1 - ax) * (1 - ay), ax * (1 - ay), (1 - ax) * ay, ax * ay};
                            for (int q = 0; q < 4; ++q) rd.w[q] = static_cast<uint16_t>(std::lround(w[q] * 65535.0));
                            plan.reads.push_back(rd);
                        }
                }
        }
    }
}

void SeamTracker::measureBin(const uint8_t* frame, int b, int bin, Signals& sig, float* value, float* confidence) const {
    for (int w = 0; w < kWindows; ++w) value[w] = confidence[w] = 0.0f;
    const float most = maxShift_[static_cast<size_t>(bin)] / unit_;
    if (!(most > 0.5f) || bands_.end(b) <= bands_.begin(b)) return;
    const BinReads& plan = reads_[b][static_cast<size_t>(bin)];
    if (plan.rows == 0) return;
    const int H = bands_.height(), m = bands_.margin();
    const int c0 = bands_.begin(b), c1 = bands_.end(b);
    const int n = gridCount_[b];
    const int r0 = bin * binRows_, r1 = std::min(H, r0 + binRows_);
    sig.left.assign(static_cast<size_t>(n), 0.0f);
    sig.right.assign(static_cast<size_t>(n), 0.0f);
    const size_t texel = static_cast<size_t>(settings_.texelBytes);
    const size_t stride = static_cast<size_t>(frameWidth_) * texel;
    const Read* rd = plan.reads.data();
    // Each read's B + G + R, the rows' mean of a third of it.
    const float scale = 1.0f / (3.0f * 65535.0f * static_cast<float>(plan.rows));
    for (int row = 0; row < plan.rows; ++row)
        for (int side = 0; side < 2; ++side) {
            float* line = (side == 0 ? sig.left : sig.right).data() + plan.first;
            for (int i = 0; i < plan.count; ++i, ++rd) {
                const uint8_t* p = frame + rd->offset;
                const uint8_t* q = p + stride;
                const uint8_t* p1 = p + texel;
                const uint8_t* q1 = q + texel;
                const uint32_t sum = (p[0] + p[1] + p[2]) * uint32_t{rd->w[0]} + (p1[0] + p1[1] + p1[2]) * uint32_t{rd->w[1]} +
                                     (q[0] + q[1] + q[2]) * uint32_t{rd->w[2]} + (q1[0] + q1[1] + q1[2]) * uint32_t{rd->w[3]};
                line[i] += static_cast<float>(sum) * scale;
            }
        }
    // Window w is centred at (w + 1) / (kWindows + 1) of the band, 2 / (kWindows + 1) wide.
    const float width = static_cast<float>(c1 - c0);
    // Too few frame pixels under a window (toward the poles, where the
    // columns close in, on small frames) and chance matches abound.
    const double pixels = width * 2.0 / (kWindows + 1) * bands_.density() *
                          bands_.arcPerColumn((r0 + r1) / 2) / bands_.arcPerColumn(H / 2);
    if (pixels < 14.0) return;
    for (int w = 0; w < kWindows; ++w) {
        const float centre = width * static_cast<float>(w + 1) / (kWindows + 1);
        const float half = width / (kWindows + 1);
        const int i0 = std::max(0, static_cast<int>(gridOf(static_cast<float>(m) + centre - half)));
        const int i1 = std::min(n, static_cast<int>(std::ceil(gridOf(static_cast<float>(m) + centre + half))));
        searchWindow(sig, i0, i1, most, &value[w], &confidence[w]);
    }
}

void SeamTracker::searchWindow(const Signals& sig, int i0, int i1, float most, float* value, float* confidence) {
    *value = *confidence = 0.0f;
    // Flat or clipped: nothing to measure there.
    for (const std::vector<float>* line : {&sig.left, &sig.right}) {
        double s = 0, ss = 0;
        int clipped = 0;
        for (int i = i0; i < i1; ++i) {
            const double v = (*line)[static_cast<size_t>(i)];
            s += v;
            ss += v * v;
            clipped += v >= 250.0 || v <= 4.0;
        }
        const double count = i1 - i0;
        const double var = ss / count - (s / count) * (s / count);
        if (var < 9.0 || clipped > 0.4 * count) return;
    }
    // Coarse: every k-th shift and sample; then fine near the best.
    const float least = -0.25f * most;
    const int k = std::max(1, static_cast<int>(most / 12.0f));
    float best = -2.0f, bestShift = 0.0f;
    std::vector<std::pair<float, float>> coarse;
    for (float s = least; s <= most; s += static_cast<float>(k)) {
        const float c = correlation(sig.left, sig.right, i0, i1, s, k);
        coarse.push_back({s, c});
        if (c > best) best = c, bestShift = s;
    }
    // The best must stand out from every shift a few columns off: where
    // another does nearly as well, the match is chance (noise) or a
    // repeating pattern.
    for (const auto& sc : coarse)
        if (std::fabs(sc.first - bestShift) > std::max(3.0f, 3.0f * k) && sc.second > best - 0.08f) return;
    // Fine: from the best, steps of half as many columns each time down to
    // half a column, each time to the better of the two either side where it
    // does better; each shift's correlation worked out once.
    float tried[32][2];
    int triedCount = 0;
    // A coarse search of every shift and sample has worked out some already.
    if (k == 1)
        for (const auto& sc : coarse)
            if (triedCount < 32) tried[triedCount][0] = sc.first, tried[triedCount][1] = sc.second, ++triedCount;
    const auto at = [&](float s) {
        for (int t = 0; t < triedCount; ++t)
            if (tried[t][0] == s) return tried[t][1];
        const float c = correlation(sig.left, sig.right, i0, i1, s, 1);
        if (triedCount < 32) tried[triedCount][0] = s, tried[triedCount][1] = c, ++triedCount;
        return c;
    };
    const float lo = std::max(least, bestShift - k), hi = std::min(most, bestShift + k);
    float fineShift = bestShift, fine = at(bestShift);
    for (float step = static_cast<float>(std::max(1, k / 2)); step >= 0.5f; step *= 0.5f) {
        const float from = fineShift;
        for (const float s : {from - step, from + step})
            if (s >= lo - 1e-4f && s <= hi + 1e-4f) {
                const float c = at(s);
                if (c > fine) fine = c, fineShift = s;
            }
    }
    // Between half columns: the vertex of the parabola through the best and its neighbours.
    const float cm = at(fineShift - 0.5f);
    const float cp = at(fineShift + 0.5f);
    const float curve = cm + cp - 2.0f * fine;
    if (curve < -1e-6f) fineShift += std::max(-0.5f, std::min(0.5f, 0.25f * (cm - cp) / curve));
    if (fine < 0.6f) return;
    // The far field where it does as well.
    const float atZero = at(0.0f);
    *value = atZero >= fine - 0.01f ? 0.0f : std::max(least, std::min(most, fineShift));
    *confidence = std::min(1.0f, (fine - 0.6f) / 0.3f + 0.1f);
}

int SeamTracker::cellsFor(int size) {
    const int binRows = std::max(1, (size + kGridRows - 1) / kGridRows);
    return 2 * ((size + binRows - 1) / binRows) * kWindows;
}

const SeamShift& SeamTracker::measure(const uint8_t* frame) {
    if (!measures() || !frame) return shift_;
    measureFrame(frame, frame_);
    return advance(frame_);
}

void SeamTracker::measureFrame(const uint8_t* frame, SeamFrame& out) {
    const int K = kWindows;
    const size_t cells = static_cast<size_t>(bins_) * K;
    out.near.clear();
    out.confident.assign((2 * cells + 63) / 64, 0);
    out.measured = out.fellBack = 0;
    if (!measures() || !frame) return;
    value_.resize(2 * cells);
    confidence_.resize(2 * cells);
    pool_->run(2 * static_cast<size_t>(bins_), [&](size_t i) {
        const int b = static_cast<int>(i / static_cast<size_t>(bins_)), k = static_cast<int>(i % static_cast<size_t>(bins_));
        measureBin(frame, b, k, signals_[static_cast<size_t>(pool_->threadIndex())], &value_[i * K], &confidence_[i * K]);
    });
    for (int b = 0; b < 2; ++b) {
        const float* value = &value_[static_cast<size_t>(b) * cells];
        const float* conf = &confidence_[static_cast<size_t>(b) * cells];
        for (int k = 0; k < bins_; ++k) {
            if (maxShift_[static_cast<size_t>(k)] > 0.5f)
                for (int w = 0; w < K; ++w) {
                    ++out.measured;
                    out.fellBack += conf[static_cast<size_t>(k) * K + w] <= 0.0f;
                }
        }
        for (size_t i = 0; i < cells; ++i)
            if (conf[i] > 0) out.confident[(b * cells + i) / 64] |= uint64_t(1) << ((b * cells + i) % 64);
        // Along the band: the confidence-weighted median of each bin and its
        // neighbours, of its own window and, at half weight, the others.
        const int reach = 3;
        for (int k = 0; k < bins_; ++k)
            for (int w = 0; w < K; ++w) {
                std::vector<std::pair<float, float>> near;
                float total = 0, own = 0;
                for (int j = std::max(0, k - reach); j <= std::min(bins_ - 1, k + reach); ++j)
                    for (int v = 0; v < K; ++v) {
                        const size_t i = static_cast<size_t>(j) * K + v;
                        if (conf[i] <= 0) continue;
                        const float weight = conf[i] * (v == w ? 1.0f : 0.25f);
                        near.push_back({value[i], weight});
                        total += weight;
                        if (v == w) own += weight;
                    }
                float m = 0.0f;
                if (own >= 0.5f) {
                    std::sort(near.begin(), near.end());
                    float run = 0;
                    for (const auto& p : near) {
                        run += p.second;
                        if (run >= total / 2) {
                            m = p.first;
                            break;
                        }
                    }
                    // Kept only where a good part of the neighbourhood (two fifths
                    // of its weight, three cells) agrees with it: a surface's shift
                    // runs on along the seam, chance matches do not. Asking for
                    // most of it left near things at the far field's shift where
                    // the neighbours see something else (the ground beside a pole).
                    float agree = 0;
                    int agreeing = 0;
                    for (const auto& p : near)
                        if (std::fabs(p.first - m) <= std::max(1.0f, 0.15f * std::fabs(m))) {
                            agree += p.second;
                            ++agreeing;
                        }
                    if (agree < 0.4f * total || agree < 2.0f || agreeing < 3) m = 0.0f;
                }
                if (m != 0.0f) out.near.push_back({static_cast<uint32_t>(b * cells + static_cast<size_t>(k) * K + w), m * unit_});
            }
    }
}

const SeamShift& SeamTracker::advance(const SeamFrame& frame) {
    if (!measures()) return shift_;
    const int H = bands_.height(), K = kWindows;
    const size_t cells = static_cast<size_t>(bins_) * K;
    median_.assign(2 * cells, 0.0f);
    for (const auto& c : frame.near)
        if (c.first < median_.size()) median_[c.first] = c.second;
    binsMeasured_ += frame.measured;
    binsFellBack_ += frame.fellBack;
    for (int b = 0; b < 2; ++b) {
        // Over time: held through changes below a third of a grid column
        // (the noise of the measure), slow for small changes, quick for
        // large ones (a thing that comes or goes): beyond half a grid
        // column, or an output column where that is more.
        for (size_t i = 0; i < cells; ++i) {
            float& s = state_[b][i];
            const size_t at = b * cells + i;
            const float target = median_[at];
            if (!started_ || !settings_.overTime) {
                s = target;
            } else {
                const float d = target - s;
                if (std::fabs(d) > std::max(1.0f, 0.5f * unit_)) s += 0.8f * d;
                else if (std::fabs(d) > 0.3f * unit_) s += 0.2f * d;
            }
            const bool confident = at / 64 < frame.confident.size() && (frame.confident[at / 64] >> (at % 64) & 1);
            if (confident && s >= 0.5f * unit_) {
                const int row = std::min(H - 1, static_cast<int>(i / K) * binRows_ + binRows_ / 2);
                const int step = static_cast<int>(degrees(row, s) / kHistogramStep);
                found_[static_cast<size_t>(std::min(kHistogramSteps - 1, std::max(0, step)))] += 1.0f;
            }
        }
    }
    shiftFromState();
    started_ = true;
    return shift_;
}

std::vector<float> SeamTracker::state() const {
    std::vector<float> cells(state_[0]);
    cells.insert(cells.end(), state_[1].begin(), state_[1].end());
    return cells;
}

const SeamShift& SeamTracker::setState(const std::vector<float>& cells) {
    const size_t half = state_[0].size();
    if (cells.size() != 2 * half) return shift_;
    for (int b = 0; b < 2; ++b) std::copy(cells.begin() + b * half, cells.begin() + (b + 1) * half, state_[b].begin());
    shiftFromState();
    started_ = true;
    return shift_;
}

void SeamTracker::shiftFromState() {
    const int H = bands_.height(), K = kWindows;
    for (int b = 0; b < 2; ++b) {
        // Per row, between the bins' centres; shifts below a third of a grid
        // column are the far field's, and up to 0.7 of one they fade in.
        std::vector<float>& rows = shift_.shift[b];
        for (int row = 0; row < H; ++row) {
            const float t = (static_cast<float>(row) + 0.5f) / static_cast<float>(binRows_) - 0.5f;
            const int k0 = std::max(0, std::min(bins_ - 1, static_cast<int>(std::floor(t))));
            const int k1 = std::min(bins_ - 1, k0 + 1);
            const float f = std::max(0.0f, std::min(1.0f, t - static_cast<float>(k0)));
            for (int w = 0; w < K; ++w) {
                float v = state_[b][static_cast<size_t>(k0) * K + w] * (1 - f) + state_[b][static_cast<size_t>(k1) * K + w] * f;
                v *= std::min(1.0f, std::max(0.0f, (std::fabs(v) / unit_ - 0.3f) / 0.4f));
                rows[static_cast<size_t>(row) * K + w] = v * latitudeWeight(row, H);
            }
        }
    }
}

double SeamTracker::degrees(int row, double pixels) const { return pixels * bands_.arcPerColumn(row) * 180.0 / kPi; }

double SeamTracker::distanceM(double deg) const {
    return deg > 0 ? settings_.baselineMm / 1000.0 / (deg * kPi / 180.0) : INFINITY;
}

double SeamTracker::fallbackShare() const {
    return binsMeasured_ > 0 ? static_cast<double>(binsFellBack_) / static_cast<double>(binsMeasured_) : 0.0;
}

std::string SeamTracker::report() const {
    char line[400];
    if (settings_.distanceM > 0) {
        const double deg = settings_.baselineMm / 1000.0 / settings_.distanceM * 180.0 / kPi;
        std::snprintf(line, sizeof line, "seam: fixed at %.2f m (%.2f degrees of disparity with a %.0f mm baseline)",
                      settings_.distanceM, deg, settings_.baselineMm);
        return line;
    }
    double total = 0;
    for (float c : found_) total += c;
    const int share = static_cast<int>(std::lround(100.0 * fallbackShare()));
    if (total <= 0) {
        if (binsMeasured_ > 0 && fallbackShare() > 0.5)
            std::snprintf(line, sizeof line,
                          "seam: %d%% of the seams had nothing to align (flat, clipped, or lenses that disagree); "
                          "the far-field seam is kept", share);
        else
            std::snprintf(line, sizeof line, "seam: nothing nearer than the far field at the seams; the far-field seam is kept");
        return line;
    }
    int lo = -1, hi = 0, med = 0;
    double run = 0;
    for (int i = 0; i < kHistogramSteps; ++i) {
        if (found_[static_cast<size_t>(i)] <= 0) continue;
        if (lo < 0) lo = i;
        hi = i;
        if (run < total / 2 && run + found_[static_cast<size_t>(i)] >= total / 2) med = i;
        run += found_[static_cast<size_t>(i)];
    }
    const auto deg = [](int i) { return (i + 0.5) * kHistogramStep; };
    std::snprintf(line, sizeof line,
                  "seam: disparity of near things at the seams: median %.2f degrees (%.2f m), range %.2f to %.2f degrees "
                  "(%.2f to %.2f m); %d%% of the seams had nothing to align and keep the far field",
                  deg(med), distanceM(deg(med)), deg(lo), deg(hi), distanceM(deg(hi)), distanceM(deg(lo)), share);
    return line;
}

}  // namespace stitcher
