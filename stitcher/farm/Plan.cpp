#include "Plan.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "ClipCalibration.h"
#include "ClipHash.h"
#include "LensFalloff.h"
#include "Mp4Patch.h"
#include "SettingRules.h"

namespace stitcher {

namespace {

const char* kFormat = "stitcher plan";
const int kVersion = 1;
// The same bounds as the options that a plan's fields stand for.
const long long kMaxFrames = rules::kFrameMax;
const long long kMaxSegments = rules::kSegmentsMax;

JsonValue num(double v) { return JsonValue::number(v); }
JsonValue str(const std::string& s) { return JsonValue::string(s); }

std::string toHex(const std::vector<uint8_t>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

bool fromHex(const std::string& s, std::vector<uint8_t>& bytes) {
    if (s.size() % 2) return false;
    bytes.clear();
    auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    for (size_t i = 0; i < s.size(); i += 2) {
        const int hi = digit(s[i]), lo = digit(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

// A step's changed seam cells as hex: per cell its index (4 digits) and its
// value's float bits (8 digits), exact and compact (a long clip's plan holds
// many of them).
std::string seamCellsHex(const std::vector<std::pair<int, float>>& cells) {
    std::string s;
    char one[16];
    for (const auto& c : cells) {
        uint32_t bits;
        std::memcpy(&bits, &c.second, sizeof bits);
        std::snprintf(one, sizeof one, "%04x%08x", static_cast<unsigned>(c.first) & 0xffffu, bits);
        s += one;
    }
    return s;
}

// The cells of seamCellsHex(): what is wrong with them, or empty. Cells
// increase and are fewer than `cells`; values are finite, at most `most` across.
std::string seamCellsFromHex(const std::string& text, int cells, double most, std::vector<std::pair<int, float>>& out) {
    std::vector<uint8_t> bytes;
    if (text.empty() || text.size() % 12 || !fromHex(text, bytes)) return "its cells are not hex, 12 digits a cell";
    out.clear();
    for (size_t i = 0; i < bytes.size(); i += 6) {
        const int cell = bytes[i] << 8 | bytes[i + 1];
        const uint32_t bits = static_cast<uint32_t>(bytes[i + 2]) << 24 | static_cast<uint32_t>(bytes[i + 3]) << 16 |
                              static_cast<uint32_t>(bytes[i + 4]) << 8 | bytes[i + 5];
        float v;
        std::memcpy(&v, &bits, sizeof v);
        if (cell >= cells || (!out.empty() && cell <= out.back().first))
            return "a cell out of order or beyond " + std::to_string(cells);
        // No shift reaches beyond the panorama's width.
        if (!(std::fabs(v) <= most)) return "a disparity out of range";
        out.push_back({cell, v});
    }
    return std::string();
}

// Reads the plan's members, remembering the first problem.
class PlanFields {
public:
    explicit PlanFields(const JsonValue& root) : root_(root) {}
    const Status& status() const { return status_; }

    void fail(const std::string& what) {
        if (status_.ok()) status_ = Status(kExitPlan, what);
    }
    const JsonValue& member(const JsonValue& in, const std::string& name, JsonValue::Kind kind, const std::string& where) {
        const JsonValue& v = in[name];
        if (v.kind() != kind) fail("\"" + where + name + "\" is missing or not of its kind");
        return v;
    }
    bool boolean(const JsonValue& in, const std::string& name, const std::string& where = "") {
        return member(in, name, JsonValue::Kind::Bool, where).asBool();
    }
    std::string text(const JsonValue& in, const std::string& name, const std::string& where = "") {
        return member(in, name, JsonValue::Kind::String, where).asString();
    }
    double real(const JsonValue& in, const std::string& name, const std::string& where = "") {
        const double v = member(in, name, JsonValue::Kind::Number, where).asNumber();
        if (!std::isfinite(v)) fail("\"" + where + name + "\" is not a finite number");
        return v;
    }
    // One of `words`, as the option that the field stands for takes it.
    std::string word(const JsonValue& in, const std::string& name, const std::vector<const char*>& words,
                     const std::string& where = "") {
        const std::string v = text(in, name, where);
        if (status_.ok() && rules::wordIndex(words, v) < 0)
            fail("\"" + where + name + "\" '" + v + "' is " + rules::otherThan(words));
        return v;
    }
    long long whole(const JsonValue& in, const std::string& name, long long lo, long long hi,
                    const std::string& where = "") {
        const double v = real(in, name, where);
        if (!status_.ok()) return lo;
        if (v != std::floor(v) || v < static_cast<double>(lo) || v > static_cast<double>(hi)) {
            fail("\"" + where + name + "\" is not a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
            return lo;
        }
        return static_cast<long long>(v);
    }

private:
    const JsonValue& root_;
    Status status_;
};

}  // namespace

const PlanColumn* Plan::column(const std::string& name) const {
    auto it = frames.find(name);
    return it == frames.end() ? nullptr : &it->second;
}

std::vector<PlanSegment> splitRange(long long first, long long count, int n) {
    std::vector<PlanSegment> out;
    if (n < 1 || count < n) return out;
    for (int k = 0; k < n; ++k) {
        const long long from = count * k / n, to = count * (k + 1) / n;
        out.push_back(PlanSegment{first + from, to - from});
    }
    return out;
}

std::string planToJson(const Plan& p) {
    JsonValue root = JsonValue::object();
    root.set("format", str(kFormat));
    root.set("version", num(kVersion));
    JsonValue& clip = root.set("clip", JsonValue::object());
    clip.set("path", str(p.clipPath));
    clip.set("hash", str(p.clipHash));
    clip.set("frames", num(static_cast<double>(p.clipFrames)));
    JsonValue& cal = root.set("calibration", JsonValue::object());
    cal.set("offset", str(p.offset));
    cal.set("refined", JsonValue::boolean(p.refined));
    JsonValue& range = root.set("range", JsonValue::object());
    range.set("first", num(static_cast<double>(p.first)));
    range.set("count", num(static_cast<double>(p.count)));
    JsonValue& out = root.set("output", JsonValue::object());
    out.set("size", num(p.size));
    out.set("layout", str(p.stereo ? "stereo" : "stitch"));
    JsonValue& view = out.set("view", JsonValue::object());
    view.set("yaw", num(p.yaw));
    view.set("pitch", num(p.pitch));
    view.set("roll", num(p.roll));
    JsonValue& projection = out.set("projection", JsonValue::object());
    projection.set("kind", str(p.projection));
    projection.set("width", num(p.viewWidth));
    projection.set("height", num(p.viewHeight));
    projection.set("fov", num(p.fov));
    out.set("codec", str(p.hevc ? "hevc" : "h264"));
    out.set("crf", num(p.crf));
    out.set("preset", str(p.preset));
    out.set("engine", str(p.engine));
    JsonValue& fps = out.set("fps", JsonValue::array());
    fps.push(num(p.fpsNum));
    fps.push(num(p.fpsDen));
    out.set("timescale", num(p.timescale));
    JsonValue& sound = out.set("audio", JsonValue::object());
    sound.set("on", JsonValue::boolean(p.audio));
    sound.set("rate", num(p.audioRate));
    sound.set("channels", num(p.audioChannels));
    sound.set("spatial", str(toHex(p.spatialAudio)));
    root.set("colorMatch", JsonValue::boolean(p.colorMatch));
    root.set("metadata", JsonValue::boolean(p.metadata));
    root.set("falloff", str(p.falloff));
    JsonValue& seam = root.set("seam", JsonValue::object());
    seam.set("mode", str(p.seam));
    seam.set("distance", num(p.seamDistanceM));
    seam.set("baseline", num(p.baselineMm));
    seam.set("cells", num(p.seamCells));
    JsonValue& steps = seam.set("steps", JsonValue::array());
    for (const PlanSeamStep& step : p.seamSteps) {
        JsonValue& a = steps.push(JsonValue::array());
        a.push(num(static_cast<double>(step.frame)));
        a.push(str(seamCellsHex(step.cells)));
    }
    JsonValue& segs = root.set("segments", JsonValue::array());
    for (const PlanSegment& s : p.segments) {
        JsonValue& seg = segs.push(JsonValue::array());
        seg.push(num(static_cast<double>(s.first)));
        seg.push(num(static_cast<double>(s.count)));
    }
    JsonValue& frames = root.set("frames", JsonValue::object());
    for (const auto& c : p.frames) {
        JsonValue& col = frames.set(c.first, JsonValue::object());
        col.set("width", num(c.second.width));
        JsonValue& values = col.set("values", JsonValue::array());
        for (double v : c.second.values) values.push(num(v));
    }
    return writeJson(root);
}

Status planFromJson(const std::string& text, Plan& plan) {
    JsonValue root;
    const Status parsed = parseJson(text, root);
    if (!parsed.ok()) return Status(kExitPlan, "not a plan: " + parsed.message());
    if (root.kind() != JsonValue::Kind::Object || root["format"].asString() != kFormat)
        return Status(kExitPlan, "not a stitcher plan");
    if (root["version"].asNumber(-1) != kVersion)
        return Status(kExitPlan, "a plan of another version (this stitcher reads version " + std::to_string(kVersion) + ")");
    Plan p;
    PlanFields r(root);
    const JsonValue& clip = r.member(root, "clip", JsonValue::Kind::Object, "");
    p.clipPath = r.text(clip, "path", "clip.");
    p.clipHash = r.text(clip, "hash", "clip.");
    if (r.status().ok() && (p.clipHash.size() != 32 || p.clipHash.find_first_not_of("0123456789abcdef") != std::string::npos))
        r.fail("\"clip.hash\" is not a content hash (32 hex digits)");
    p.clipFrames = r.whole(clip, "frames", 1, kMaxFrames, "clip.");
    const JsonValue& cal = r.member(root, "calibration", JsonValue::Kind::Object, "");
    p.offset = r.text(cal, "offset", "calibration.");
    if (r.status().ok()) {
        LensRig used;
        const Status st = parseCalibration(p.offset, used);
        if (!st.ok()) r.fail("\"calibration.offset\" cannot be used: " + st.message());
    }
    p.refined = r.boolean(cal, "refined", "calibration.");
    const JsonValue& range = r.member(root, "range", JsonValue::Kind::Object, "");
    p.first = r.whole(range, "first", 1, kMaxFrames, "range.");
    p.count = r.whole(range, "count", 1, kMaxFrames, "range.");
    if (r.status().ok() && p.first + p.count - 1 > p.clipFrames) r.fail("the range lies beyond the clip's frames");
    const JsonValue& out = r.member(root, "output", JsonValue::Kind::Object, "");
    p.size = static_cast<int>(r.whole(out, "size", rules::kSizeMin, rules::kSizeMax, "output."));
    if (r.status().ok() && !rules::sizeProblem(p.size).empty())
        r.fail("\"output.size\" " + std::to_string(p.size) + ": " + rules::sizeProblem(p.size));
    p.stereo = r.word(out, "layout", rules::layouts(), "output.") == "stereo";
    const JsonValue& view = r.member(out, "view", JsonValue::Kind::Object, "output.");
    p.yaw = r.real(view, "yaw", "output.view.");
    p.pitch = r.real(view, "pitch", "output.view.");
    p.roll = r.real(view, "roll", "output.view.");
    // Absent from plans of the panorama made before pictures could be reframed.
    if (!out["projection"].isNull()) {
        const JsonValue& pr = r.member(out, "projection", JsonValue::Kind::Object, "output.");
        p.projection = r.word(pr, "kind", rules::projections(), "output.projection.");
        const bool view = p.projection != "equirect";
        const long long lo = view ? rules::kViewSideMin : 0, hi = view ? rules::kViewSideMax : 0;
        p.viewWidth = static_cast<int>(r.whole(pr, "width", lo, hi, "output.projection."));
        p.viewHeight = static_cast<int>(r.whole(pr, "height", lo, hi, "output.projection."));
        if (r.status().ok() && (p.viewWidth % 2 || p.viewHeight % 2))
            r.fail("\"output.projection\" width and height are not even");
        p.fov = r.real(pr, "fov", "output.projection.");
        if (r.status().ok() && !(p.fov > 0 && p.fov < rules::kFovMax))
            r.fail("\"output.projection.fov\" is not more than 0 and less than 180 degrees");
        if (r.status().ok() && view && p.stereo)
            r.fail("\"output.projection.kind\" " + p.projection + " is not a stereo layout's");
    }
    p.hevc = r.word(out, "codec", rules::codecs(), "output.") == "hevc";
    p.crf = static_cast<int>(r.whole(out, "crf", rules::kCrfMin, rules::kCrfMax, "output."));
    p.preset = r.word(out, "preset", rules::presets(), "output.");
    p.engine = r.word(out, "engine", rules::engines(), "output.");
    const JsonValue& fps = r.member(out, "fps", JsonValue::Kind::Array, "output.");
    if (r.status().ok() && (fps.items().size() != 2 || fps.items()[0].asNumber() < 1 || fps.items()[1].asNumber() < 1 ||
                            fps.items()[0].asNumber() > 1e9 || fps.items()[1].asNumber() > 1e9 ||
                            fps.items()[0].asNumber() != std::floor(fps.items()[0].asNumber()) ||
                            fps.items()[1].asNumber() != std::floor(fps.items()[1].asNumber())))
        r.fail("\"output.fps\" is not two positive whole numbers");
    if (r.status().ok()) {
        p.fpsNum = static_cast<int>(fps.items()[0].asNumber());
        p.fpsDen = static_cast<int>(fps.items()[1].asNumber());
    }
    p.timescale = static_cast<int>(r.whole(out, "timescale", 1, 0x7fffffff, "output."));
    const JsonValue& sound = r.member(out, "audio", JsonValue::Kind::Object, "output.");
    p.audio = r.boolean(sound, "on", "output.audio.");
    p.audioRate = static_cast<int>(r.whole(sound, "rate", 0, 768000, "output.audio."));
    p.audioChannels = static_cast<int>(r.whole(sound, "channels", 0, 8, "output.audio."));
    if (r.status().ok() && p.audio && (p.audioRate < 1 || p.audioChannels < 1)) r.fail("the sound has no rate or no channels");
    if (r.status().ok() && !fromHex(r.text(sound, "spatial", "output.audio."), p.spatialAudio))
        r.fail("\"output.audio.spatial\" is not hex digits");
    // The box is written into the video as it is: it must be one, for the sound's channels.
    if (r.status().ok() && !p.spatialAudio.empty() &&
        (!p.audio || spatialAudioChannels(p.spatialAudio) != static_cast<uint32_t>(p.audioChannels)))
        r.fail("\"output.audio.spatial\" is not a spatial-sound box for the plan's sound");
    p.colorMatch = r.boolean(root, "colorMatch");
    p.metadata = root["metadata"].asBool(false);  // absent from plans that carry none
    p.falloff = r.text(root, "falloff");
    // Absent from plans made before the seams could be lined up: far.
    const JsonValue* seamSteps = nullptr;
    if (!root["seam"].isNull()) {
        const JsonValue& seam = r.member(root, "seam", JsonValue::Kind::Object, "");
        p.seam = r.word(seam, "mode", {"far", "auto", "fixed"}, "seam.");
        p.seamDistanceM = r.real(seam, "distance", "seam.");
        if (r.status().ok() && (p.seam == "fixed" ? !(p.seamDistanceM >= rules::kSeamDistanceMin &&
                                                      p.seamDistanceM <= rules::kSeamDistanceMax)
                                                  : p.seamDistanceM != 0))
            r.fail("\"seam.distance\" is not from 0.1 to 1000 metres with \"fixed\", or 0 without");
        p.baselineMm = r.real(seam, "baseline", "seam.");
        if (r.status().ok() && !(p.baselineMm >= rules::kBaselineMin && p.baselineMm <= rules::kBaselineMax))
            r.fail("\"seam.baseline\" is not from 1 to 200 millimetres");
        // The tracker's cells for the panorama's size: a plan of another size is refused.
        const long long cells = p.seam == "auto" ? SeamTracker::cellsFor(p.size) : 0;
        p.seamCells = static_cast<int>(r.whole(seam, "cells", cells, cells, "seam."));
        seamSteps = &r.member(seam, "steps", JsonValue::Kind::Array, "seam.");
        if (r.status().ok() && p.seam != "far" && (p.stereo || p.engine == "gl"))
            r.fail("\"seam.mode\" " + p.seam + " lines up the seams of the cpu engine's stitch layout, which this plan does not make");
    }
    if (!r.status().ok()) return r.status();
    if (!p.falloff.empty()) {
        LensFalloff f;
        const Status st = parseFalloff(p.falloff, f);
        if (!st.ok()) return Status(kExitPlan, "\"falloff\": " + st.message());
        // As --falloff: undone with the colour matching, so only where it runs.
        if (!p.colorMatch) return Status(kExitPlan, "\"falloff\" is given, but \"colorMatch\" is off");
    }

    const JsonValue& segs = r.member(root, "segments", JsonValue::Kind::Array, "");
    if (!r.status().ok()) return r.status();
    if (segs.items().empty() || segs.items().size() > static_cast<size_t>(kMaxSegments))
        return Status(kExitPlan, "the plan names no segments, or too many");
    long long next = p.first;
    for (const JsonValue& s : segs.items()) {
        if (s.kind() != JsonValue::Kind::Array || s.items().size() != 2 || s.items()[0].asNumber() != next ||
            s.items()[1].asNumber() < 1 || s.items()[1].asNumber() != std::floor(s.items()[1].asNumber()) ||
            s.items()[1].asNumber() > static_cast<double>(p.first + p.count - next))
            return Status(kExitPlan, "segment " + std::to_string(p.segments.size() + 1) +
                                         " does not continue the one before it within the range");
        p.segments.push_back(PlanSegment{next, static_cast<long long>(s.items()[1].asNumber())});
        next += p.segments.back().count;
    }
    if (next != p.first + p.count) return Status(kExitPlan, "the segments do not cover the range");

    const JsonValue& frames = r.member(root, "frames", JsonValue::Kind::Object, "");
    if (!r.status().ok()) return r.status();
    for (const auto& m : frames.members()) {
        const std::string where = "frames." + m.first + ".";
        PlanColumn c;
        c.width = static_cast<int>(r.whole(m.second, "width", 1, 64, where));
        const JsonValue& values = r.member(m.second, "values", JsonValue::Kind::Array, where);
        if (!r.status().ok()) return r.status();
        if (values.items().size() != static_cast<size_t>(p.count) * c.width)
            return Status(kExitPlan, "\"" + where + "values\" does not hold " + std::to_string(c.width) +
                                         " numbers for each of the " + std::to_string(p.count) + " frames");
        c.values.reserve(values.items().size());
        for (const JsonValue& v : values.items()) {
            if (v.kind() != JsonValue::Kind::Number) return Status(kExitPlan, "\"" + where + "values\" holds a non-number");
            c.values.push_back(v.asNumber());
        }
        p.frames[m.first] = std::move(c);
    }
    // The columns every task uses.
    for (const char* name : {"pts", "duration"}) {
        const PlanColumn* c = p.column(name);
        if (!c || c->width != 1) return Status(kExitPlan, std::string("the plan has no frame column \"") + name + "\"");
        for (double v : c->values)
            if (v != std::floor(v) || v < 0 || v > 9.0e15)
                return Status(kExitPlan, std::string("frame column \"") + name + "\" holds a time that is not a whole number");
    }
    const PlanColumn& pts = *p.column("pts");
    for (long long i = 1; i < p.count; ++i)
        if (pts.at(i) <= pts.at(i - 1)) return Status(kExitPlan, "the frames' times do not increase");
    if (p.colorMatch) {
        const PlanColumn* g = p.column("gains");
        if (!g || g->width != 6) return Status(kExitPlan, "the plan matches colour but has no frame column \"gains\"");
        for (double v : g->values)
            if (!(v > 0 && v < 16)) return Status(kExitPlan, "frame column \"gains\" holds a gain out of range");
    }
    // A stabilised plan's view rotation per frame (a 3 x 3 matrix, row by row).
    if (const PlanColumn* v = p.column("view")) {
        if (p.stereo)
            return Status(kExitPlan, "frame column \"view\" turns the stitch layout's view; \"output.layout\" is stereo");
        if (v->width != 9) return Status(kExitPlan, "frame column \"view\" does not hold 9 numbers a frame");
        for (size_t i = 0; i < v->values.size(); i += 9) {
            double m[3][3], worst = 0;
            for (int k = 0; k < 9; ++k) m[k / 3][k % 3] = v->values[i + k];
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b) {
                    const double dot = m[a][0] * m[b][0] + m[a][1] * m[b][1] + m[a][2] * m[b][2];
                    worst = std::max(worst, std::fabs(dot - (a == b ? 1.0 : 0.0)));
                }
            if (!(worst < 1e-6)) return Status(kExitPlan, "frame column \"view\" holds a matrix that is not a rotation");
        }
    }
    // A keyframed camera's field of view per frame, for a flat or planet picture turned per frame.
    if (const PlanColumn* fov = p.column("fov")) {
        if (p.projection == "equirect" || !p.column("view"))
            return Status(kExitPlan, "frame column \"fov\" is for a flat or planet picture with a \"view\" column");
        if (fov->width != 1) return Status(kExitPlan, "frame column \"fov\" does not hold 1 number a frame");
        for (double v : fov->values)
            if (!(v > 0 && v < rules::kFovMax)) return Status(kExitPlan, "frame column \"fov\" holds a field of view out of range");
    }
    if (seamSteps) {
        if (seamSteps->items().size() > static_cast<size_t>(p.count) || (p.seam != "auto" && !seamSteps->items().empty()))
            return Status(kExitPlan, "\"seam.steps\" holds more steps than frames, or steps without \"auto\"");
        long long frame = -1;
        for (const JsonValue& step : seamSteps->items()) {
            const std::string which = "\"seam.steps\" " + std::to_string(p.seamSteps.size() + 1);
            const std::vector<JsonValue>& n = step.items();
            if (step.kind() != JsonValue::Kind::Array || n.size() != 2 || n[0].kind() != JsonValue::Kind::Number ||
                n[1].kind() != JsonValue::Kind::String)
                return Status(kExitPlan, which + " is not a frame and its cells in hex");
            const double at = n[0].asNumber();
            if (at != std::floor(at) || at <= static_cast<double>(frame) || at >= static_cast<double>(p.count))
                return Status(kExitPlan, which + ": its frame does not follow the step before within the range");
            PlanSeamStep s;
            s.frame = frame = static_cast<long long>(at);
            const std::string problem = seamCellsFromHex(n[1].asString(), p.seamCells, 2.0 * p.size, s.cells);
            if (!problem.empty()) return Status(kExitPlan, which + ": " + problem);
            p.seamSteps.push_back(std::move(s));
        }
    }
    p.id = contentHashOf(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    plan = std::move(p);
    return Status();
}

Status readPlan(const std::string& path, Plan& plan) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return Status(kExitPlan, "cannot read the plan " + path + ": " + std::strerror(errno));
    std::string text;
    char buf[65536];
    size_t n;
    const size_t limit = JsonLimits().maxText;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() <= limit) text.append(buf, n);
    const bool failed = std::ferror(f);
    std::fclose(f);
    if (failed) return Status(kExitPlan, "cannot read the plan " + path);
    Status st = planFromJson(text, plan);
    if (!st.ok()) return Status(kExitPlan, "the plan " + path + " cannot be used: " + st.message());
    return st;
}

std::string segmentTag(const Plan& plan, int k) {
    const PlanSegment& s = plan.segments[static_cast<size_t>(k - 1)];
    return "stitcher segment " + std::to_string(k) + "/" + std::to_string(plan.segments.size()) + " of plan " + plan.id +
           ", frames " + std::to_string(s.first) + "+" + std::to_string(s.count);
}

bool parseSegmentTag(const std::string& text, SegmentTag& tag) {
    char id[40] = {0};
    int k = 0, n = 0;
    long long first = 0, count = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "stitcher segment %d/%d of plan %32[0-9a-f], frames %lld+%lld%n", &k, &n, id, &first,
                    &count, &used) != 5 ||
        static_cast<size_t>(used) != text.size() || k < 1 || k > n)
        return false;
    tag.planId = id;
    tag.k = k;
    tag.n = n;
    tag.first = first;
    tag.count = count;
    return true;
}

const ColorGains& PlannedGains::gainsFor(long long frame, const uint8_t*) {
    const long long i = frame - first_;
    if (i >= 0 && static_cast<size_t>(i + 1) * 6 <= gains_.values.size())
        for (int lens = 0; lens < 2; ++lens)
            for (int c = 0; c < 3; ++c) current_.gain[lens][c] = static_cast<float>(gains_.at(i, lens * 3 + c));
    return current_;
}

SeamSettings planSeamSettings(const Plan& plan, int threads) {
    SeamSettings s;
    s.baselineMm = plan.baselineMm;
    s.distanceM = plan.seam == "fixed" ? plan.seamDistanceM : 0.0;
    s.threads = threads;
    return s;
}

const SeamShift& PlannedSeams::shiftFor(long long frame, const uint8_t*) {
    const long long i = frame - plan_.first;
    if (i < at_ || state_.empty()) {
        state_.assign(static_cast<size_t>(tracker_.cells()), 0.0f);
        next_ = 0;
    }
    at_ = i;
    while (next_ < plan_.seamSteps.size() && plan_.seamSteps[next_].frame <= i) {
        for (const auto& c : plan_.seamSteps[next_].cells)
            if (static_cast<size_t>(c.first) < state_.size()) state_[static_cast<size_t>(c.first)] = c.second;
        ++next_;
    }
    return tracker_.setState(state_);
}

Status writePlan(const Plan& plan, const std::string& path, const std::string& name) {
    const std::string text = planToJson(plan);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return Status(kExitOutput, "cannot write " + name + ": " + std::strerror(errno));
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) return Status(kExitOutput, "cannot write " + name + ": " + std::strerror(errno));
    return Status();
}

Status checkPlanClip(const Plan& plan, const std::string& path) {
    std::string hash;
    Status st = clipContentHash(path, hash);
    if (!st.ok()) return st;
    if (hash != plan.clipHash)
        return Status(kExitPlan, path + " is not the clip the plan was made for (" + plan.clipPath +
                                     "): their contents differ");
    return Status();
}

}  // namespace stitcher
