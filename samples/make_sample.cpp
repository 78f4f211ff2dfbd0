// make_sample: synthesises a dual-fisheye MP4 clip from an equirectangular
// photograph, as a two-lens camera with the given calibration would record it.
//
//   make_sample [options] <photo> <out.mp4>
//
// The clip carries H.264 video, an AAC tone (unless --no-audio) and a text
// track whose one sample is a 192-byte calibration record (unless --no-record),
// so the clip's calibration is found the way a camera's is.
//
// Geometry: the stitcher's output column px (of W) shows longitude
// lambda0 - (px + 0.5) * 360 / W with lambda0 = 180 + blend / 2 in lens 0's
// frame, the first output row is the +z pole. The photo is laid out the same
// way, so a correct stitch of frame k reproduces the photo scaled to the
// output size and shifted right by k * yawStep degrees.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libswscale/swscale.h>
}

namespace {

const char* kDefaultOffset =
    "2_713.649_713.933_708.05_-2.65_-1.599_-0.358_712.403_2165.5_727.583_177.35_-180.54_0.176_2880_1440_516";

[[noreturn]] void fail(const std::string& msg) {
    std::fprintf(stderr, "make_sample: %s\n", msg.c_str());
    std::exit(1);
}

std::string averr(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

// ---- lens model (same polynomials as the renderer) ----

struct Lens {
    double radius, cx, cy, yaw, pitch, roll;
    int type;
    double fov() const { return type == 2 ? 210.0 : type == 5 ? 220.0 : 236.0; }
    double blend() const { return type == 2 ? 25.0 : 30.0; }
    double map(double t) const {
        if (type == 5) return 0.0169 * t - 3.77e-5 * t * t + 6.883e-7 * std::pow(t, 3) - 4.166e-9 * std::pow(t, 4);
        if (type == 2) return 0.0192 * t - 7.897e-6 * t * t - 1.045e-7 * std::pow(t, 3) - 2.494e-9 * std::pow(t, 4);
        return 0.0183 * t + 8.474e-6 * t * t - 5.955e-7 * std::pow(t, 3) + 1.014e-9 * std::pow(t, 4) + 0.0007;
    }
};

struct Calibration {
    Lens lens[2];
    int imageWidth = 0, imageHeight = 0;
    unsigned lensCode = 516;
};

Calibration parseOffset(const std::string& text) {
    std::vector<double> f;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, '_')) {
        char* end = nullptr;
        double v = std::strtod(item.c_str(), &end);
        if (item.empty() || *end) fail("bad offset field '" + item + "'");
        f.push_back(v);
    }
    if (f.size() < 15 || f[0] != 2) fail("offset needs 2 lenses and at least 15 fields");
    Calibration c;
    c.lensCode = f.size() > 15 ? static_cast<unsigned>(f[15]) : 260;
    for (int b = 0; b < 2; ++b) {
        Lens& l = c.lens[b];
        l.radius = f[1 + 6 * b];
        l.cx = f[2 + 6 * b];
        l.cy = f[3 + 6 * b];
        l.yaw = f[4 + 6 * b];
        l.pitch = f[5 + 6 * b];
        l.roll = f[6 + 6 * b];
        l.type = static_cast<int>(c.lensCode & 255);
    }
    c.imageWidth = static_cast<int>(f[13]);
    c.imageHeight = static_cast<int>(f[14]);
    return c;
}

void put32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// Calibration record (192 bytes) as a camera stores it at the end of a text
// sample; values in thousandths.
std::string makeRecord(const Calibration& c) {
    std::string r(192, '\0');
    r[16] = static_cast<char>(c.imageWidth & 0xff);
    r[17] = static_cast<char>(c.imageWidth >> 8);
    r[18] = static_cast<char>(c.imageHeight & 0xff);
    r[19] = static_cast<char>(c.imageHeight >> 8);
    put32(r, 20, c.lensCode);
    r[24] = 2;
    for (int b = 0; b < 2; ++b) {
        const Lens& l = c.lens[b];
        const double v[6] = {l.radius, l.cx, l.cy, l.yaw, l.pitch, l.roll};
        for (int k = 0; k < 6; ++k)
            put32(r, 32 + 32 * b + 4 * k, static_cast<uint32_t>(static_cast<int32_t>(std::lround(v[k] * 1000.0))));
    }
    return r;
}

// The text that the clip reader makes of that record (two decimals).
std::string recordText(const Calibration& c) {
    std::string s = "2";
    char buf[64];
    for (int b = 0; b < 2; ++b) {
        const Lens& l = c.lens[b];
        const double v[6] = {l.radius, l.cx, l.cy, l.yaw, l.pitch, l.roll};
        for (double x : v) {
            float milli = static_cast<float>(static_cast<int32_t>(std::lround(x * 1000.0)));
            std::snprintf(buf, sizeof buf, "_%.2f", static_cast<double>(milli) / 1000.0);
            s += buf;
        }
    }
    std::snprintf(buf, sizeof buf, "_%d_%d_%u", c.imageWidth, c.imageHeight, c.lensCode);
    return s + buf;
}

// ---- picture loading ----

void loadPicture(const std::string& path, int& w, int& h, std::vector<uint8_t>& rgb) {
    AVFormatContext* fmt = nullptr;
    int rc = avformat_open_input(&fmt, path.c_str(), nullptr, nullptr);
    if (rc < 0) fail("cannot open " + path + ": " + averr(rc));
    avformat_find_stream_info(fmt, nullptr);
    int si = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (si < 0) fail(path + " holds no picture");
    const AVCodec* dec = avcodec_find_decoder(fmt->streams[si]->codecpar->codec_id);
    AVCodecContext* ctx = avcodec_alloc_context3(dec);
    avcodec_parameters_to_context(ctx, fmt->streams[si]->codecpar);
    if (avcodec_open2(ctx, dec, nullptr) < 0) fail("cannot decode " + path);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    bool got = false;
    while (!got && av_read_frame(fmt, pkt) >= 0) {
        if (pkt->stream_index == si && avcodec_send_packet(ctx, pkt) >= 0)
            got = avcodec_receive_frame(ctx, frame) >= 0;
        av_packet_unref(pkt);
    }
    if (!got) {
        avcodec_send_packet(ctx, nullptr);
        got = avcodec_receive_frame(ctx, frame) >= 0;
    }
    if (!got) fail("no picture decoded from " + path);
    w = frame->width;
    h = frame->height;
    rgb.assign(static_cast<size_t>(w) * h * 3, 0);
    SwsContext* sws = sws_getContext(w, h, static_cast<AVPixelFormat>(frame->format), w, h, AV_PIX_FMT_RGB24,
                                     SWS_BICUBIC, nullptr, nullptr, nullptr);
    uint8_t* dst[1] = {rgb.data()};
    int stride[1] = {w * 3};
    sws_scale(sws, frame->data, frame->linesize, 0, h, dst, stride);
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    avformat_close_input(&fmt);
}

// ---- synthesis ----

struct Options {
    std::string photo, out, offset = kDefaultOffset, comment;
    int width = 1920, height = 960, frames = 90, gop = 30, crf = 23, supersample = 2;
    AVRational fps{30, 1};
    double yawStep = 0.25;  // degrees of camera turn per frame
    bool audio = true, record = true;
    std::string preset = "medium";
};

// Photo coordinates (column, row, at yaw 0) of every subsample of the fisheye
// frame; NaN column where the subsample lies outside both image circles.
std::vector<float> buildLookup(const Options& o, const Calibration& cal, int photoW, int photoH) {
    const int ss = o.supersample;
    std::vector<float> lut(static_cast<size_t>(o.width) * o.height * ss * ss * 2);
    const double deg = M_PI / 180.0;
    const double lambda0 = M_PI + cal.lens[0].blend() * 0.5 * deg;
    double rot[2][3][3];
    std::vector<double> inv[2];  // map value -> off-axis angle, by table
    for (int b = 0; b < 2; ++b) {
        const Lens& l = cal.lens[b];
        // M = Ry(90 + pitch) * Rz(yaw) * Rx(roll); the lens frame is M * world.
        auto mul = [](const double a[3][3], const double c[3][3], double r[3][3]) {
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) r[i][j] = a[i][0] * c[0][j] + a[i][1] * c[1][j] + a[i][2] * c[2][j];
        };
        double p = (90.0 + l.pitch) * deg, y = l.yaw * deg, r = l.roll * deg;
        double ry[3][3] = {{std::cos(p), 0, std::sin(p)}, {0, 1, 0}, {-std::sin(p), 0, std::cos(p)}};
        double rz[3][3] = {{std::cos(y), -std::sin(y), 0}, {std::sin(y), std::cos(y), 0}, {0, 0, 1}};
        double rx[3][3] = {{1, 0, 0}, {0, std::cos(r), -std::sin(r)}, {0, std::sin(r), std::cos(r)}};
        double t[3][3];
        mul(ry, rz, t);
        mul(t, rx, rot[b]);
        const int n = 8192;
        inv[b].resize(n + 1);
        double half = l.fov() / 2, top = l.map(half);
        // map() rises monotonically up to half the field of view: invert by bisection.
        for (int i = 0; i <= n; ++i) {
            double target = top * i / n, lo = 0, hi = half;
            for (int it = 0; it < 50; ++it) {
                double mid = 0.5 * (lo + hi);
                (l.map(mid) < target ? lo : hi) = mid;
            }
            inv[b][i] = 0.5 * (lo + hi);
        }
    }
    const double sx = static_cast<double>(cal.imageWidth) / o.width;
    const double sy = static_cast<double>(cal.imageHeight) / o.height;
    size_t k = 0;
    for (int t = 0; t < o.height; ++t)
        for (int s = 0; s < o.width; ++s)
            for (int a = 0; a < ss; ++a)
                for (int c = 0; c < ss; ++c, k += 2) {
                    double px = (s + (c + 0.5) / ss) * sx, py = (t + (a + 0.5) / ss) * sy;
                    int b = -1;
                    double dx = 0, dy = 0, dist = 0;
                    for (int cand = 0; cand < 2 && b < 0; ++cand) {
                        const Lens& l = cal.lens[cand];
                        dx = px - l.cx;
                        dy = py - l.cy;
                        dist = std::sqrt(dx * dx + dy * dy);
                        if (dist <= l.radius) b = cand;
                    }
                    if (b < 0) {
                        lut[k] = NAN;
                        lut[k + 1] = 0;
                        continue;
                    }
                    double f = dist / cal.lens[b].radius * (inv[b].size() - 1);
                    size_t i0 = std::min(static_cast<size_t>(f), inv[b].size() - 2);
                    double theta = (inv[b][i0] + (f - i0) * (inv[b][i0 + 1] - inv[b][i0])) * deg;
                    double alpha = std::atan2(dy, dx);
                    double v[3] = {std::sin(theta) * std::cos(alpha), std::sin(theta) * std::sin(alpha), std::cos(theta)};
                    double d[3];
                    for (int i = 0; i < 3; ++i)  // world = M^T * lens
                        d[i] = rot[b][0][i] * v[0] + rot[b][1][i] * v[1] + rot[b][2][i] * v[2];
                    double phi = std::atan2(d[1], d[0]) - (b == 1 ? M_PI : 0.0);
                    double polar = std::acos(std::max(-1.0, std::min(1.0, d[2])));
                    double col = (lambda0 - phi) / (2 * M_PI) * photoW - 0.5;
                    col = std::fmod(col, static_cast<double>(photoW));
                    if (col < 0) col += photoW;
                    lut[k] = static_cast<float>(col);
                    lut[k + 1] = static_cast<float>(polar / M_PI * photoH - 0.5);
                }
    return lut;
}

void renderFrame(const Options& o, const std::vector<float>& lut, const std::vector<uint8_t>& photo, int pw, int ph,
                 double shiftCols, std::vector<uint8_t>& rgb) {
    const int ss = o.supersample;
    const float norm = 1.0f / (ss * ss);
    rgb.resize(static_cast<size_t>(o.width) * o.height * 3);
    size_t k = 0;
    for (size_t p = 0; p < static_cast<size_t>(o.width) * o.height; ++p) {
        float acc[3] = {0, 0, 0};
        for (int q = 0; q < ss * ss; ++q, k += 2) {
            float col = lut[k];
            if (std::isnan(col)) continue;
            double x = col - shiftCols;
            x -= std::floor(x / pw) * pw;
            double y = std::max(0.0, std::min(static_cast<double>(ph - 1), static_cast<double>(lut[k + 1])));
            int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
            int x1 = (x0 + 1) % pw, y1 = std::min(y0 + 1, ph - 1);
            x0 %= pw;
            float fx = static_cast<float>(x - std::floor(x)), fy = static_cast<float>(y - y0);
            const uint8_t* a = &photo[(static_cast<size_t>(y0) * pw + x0) * 3];
            const uint8_t* b = &photo[(static_cast<size_t>(y0) * pw + x1) * 3];
            const uint8_t* c = &photo[(static_cast<size_t>(y1) * pw + x0) * 3];
            const uint8_t* d = &photo[(static_cast<size_t>(y1) * pw + x1) * 3];
            for (int ch = 0; ch < 3; ++ch)
                acc[ch] += (a[ch] * (1 - fx) + b[ch] * fx) * (1 - fy) + (c[ch] * (1 - fx) + d[ch] * fx) * fy;
        }
        for (int ch = 0; ch < 3; ++ch) rgb[p * 3 + ch] = static_cast<uint8_t>(std::lround(std::min(255.0f, acc[ch] * norm)));
    }
}

// ---- writing ----

// Gives the subtitle track of an MP4 file the handler type "text", the one a
// camera's text track carries (the muxer writes "sbtl").
void markTextTrack(const std::string& path) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    auto be32 = [&](size_t at) {
        return (static_cast<uint32_t>(static_cast<uint8_t>(data[at])) << 24) |
               (static_cast<uint32_t>(static_cast<uint8_t>(data[at + 1])) << 16) |
               (static_cast<uint32_t>(static_cast<uint8_t>(data[at + 2])) << 8) | static_cast<uint8_t>(data[at + 3]);
    };
    bool done = false;
    // Walks moov/trak/mdia down to hdlr.
    std::vector<std::pair<size_t, size_t>> stack{{0, data.size()}};
    while (!stack.empty() && !done) {
        auto [pos, end] = stack.back();
        stack.pop_back();
        while (pos + 8 <= end) {
            uint64_t size = be32(pos);
            std::string type = data.substr(pos + 4, 4);
            size_t header = 8;
            if (size == 1 && pos + 16 <= end) {
                size = (static_cast<uint64_t>(be32(pos + 8)) << 32) | be32(pos + 12);
                header = 16;
            } else if (size == 0) {
                size = end - pos;
            }
            if (size < header || pos + size > end) break;
            if (type == "moov" || type == "trak" || type == "mdia") {
                stack.push_back({pos + header, pos + size});
            } else if (type == "hdlr" && size >= header + 12 && data.compare(pos + header + 8, 4, "sbtl") == 0) {
                data.replace(pos + header + 8, 4, "text");
                done = true;
            }
            pos += size;
        }
    }
    if (!done) fail("no subtitle track found in " + path);
    f.seekp(0);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!f) fail("cannot rewrite " + path);
}

struct Writer {
    AVFormatContext* fmt = nullptr;
    AVCodecContext* venc = nullptr;
    AVCodecContext* aenc = nullptr;
    AVStream* vst = nullptr;
    AVStream* ast = nullptr;
    AVStream* tst = nullptr;
    AVPacket* pkt = av_packet_alloc();

    void drain(AVCodecContext* enc, AVStream* st) {
        while (true) {
            int rc = avcodec_receive_packet(enc, pkt);
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
            if (rc < 0) fail("encoder: " + averr(rc));
            av_packet_rescale_ts(pkt, enc->time_base, st->time_base);
            pkt->stream_index = st->index;
            rc = av_interleaved_write_frame(fmt, pkt);
            if (rc < 0) fail("write: " + averr(rc));
        }
    }
};

void writeClip(const Options& o, const Calibration& cal, const std::vector<float>& lut,
               const std::vector<uint8_t>& photo, int pw, int ph) {
    std::string tmp = o.out + ".tmp.mp4";
    Writer w;
    int rc = avformat_alloc_output_context2(&w.fmt, nullptr, "mp4", tmp.c_str());
    if (rc < 0) fail("mp4 muxer: " + averr(rc));

    const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
    if (!x264) fail("libx264 encoder missing");
    w.venc = avcodec_alloc_context3(x264);
    w.venc->width = o.width;
    w.venc->height = o.height;
    w.venc->pix_fmt = AV_PIX_FMT_YUV420P;
    w.venc->time_base = av_inv_q(o.fps);
    w.venc->framerate = o.fps;
    w.venc->gop_size = o.gop;
    w.venc->keyint_min = o.gop;
    w.venc->max_b_frames = 0;
    w.venc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(w.venc->priv_data, "preset", o.preset.c_str(), 0);
    av_opt_set(w.venc->priv_data, "crf", std::to_string(o.crf).c_str(), 0);
    av_opt_set(w.venc->priv_data, "x264-params", "scenecut=0:open-gop=0", 0);
    if ((rc = avcodec_open2(w.venc, x264, nullptr)) < 0) fail("libx264: " + averr(rc));
    w.vst = avformat_new_stream(w.fmt, nullptr);
    avcodec_parameters_from_context(w.vst->codecpar, w.venc);
    w.vst->time_base = w.venc->time_base;
    w.vst->avg_frame_rate = o.fps;

    if (o.audio) {
        const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
        w.aenc = avcodec_alloc_context3(aac);
        w.aenc->sample_rate = 48000;
        w.aenc->sample_fmt = AV_SAMPLE_FMT_FLTP;
        av_channel_layout_default(&w.aenc->ch_layout, 2);
        w.aenc->bit_rate = 96000;
        w.aenc->time_base = AVRational{1, 48000};
        w.aenc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if ((rc = avcodec_open2(w.aenc, aac, nullptr)) < 0) fail("aac: " + averr(rc));
        w.ast = avformat_new_stream(w.fmt, nullptr);
        avcodec_parameters_from_context(w.ast->codecpar, w.aenc);
        w.ast->time_base = w.aenc->time_base;
    }
    if (o.record) {
        // Extradata of a plain timed-text entry, taken from the encoder.
        const AVCodec* mt = avcodec_find_encoder(AV_CODEC_ID_MOV_TEXT);
        AVCodecContext* tc = avcodec_alloc_context3(mt);
        tc->time_base = AVRational{1, 1000};
        tc->subtitle_header = reinterpret_cast<uint8_t*>(av_strdup(""));
        tc->subtitle_header_size = 0;
        if (avcodec_open2(tc, mt, nullptr) < 0) fail("mov_text encoder");
        w.tst = avformat_new_stream(w.fmt, nullptr);
        avcodec_parameters_from_context(w.tst->codecpar, tc);
        w.tst->time_base = AVRational{1, 1000};
        avcodec_free_context(&tc);
    }
    if (!o.comment.empty()) av_dict_set(&w.fmt->metadata, "comment", o.comment.c_str(), 0);
    av_dict_set(&w.fmt->metadata, "encoder", "make_sample", 0);

    if ((rc = avio_open(&w.fmt->pb, tmp.c_str(), AVIO_FLAG_WRITE)) < 0) fail("cannot write " + tmp + ": " + averr(rc));
    if ((rc = avformat_write_header(w.fmt, nullptr)) < 0) fail("header: " + averr(rc));

    if (w.tst) {
        std::string rec = makeRecord(cal);
        AVPacket* p = av_packet_alloc();
        av_new_packet(p, static_cast<int>(rec.size()));
        std::memcpy(p->data, rec.data(), rec.size());
        p->pts = p->dts = 0;
        p->duration = av_rescale_q(o.frames, av_inv_q(o.fps), AVRational{1, 1000});
        p->stream_index = w.tst->index;
        p->flags |= AV_PKT_FLAG_KEY;
        if ((rc = av_interleaved_write_frame(w.fmt, p)) < 0) fail("text sample: " + averr(rc));
        av_packet_free(&p);
    }

    SwsContext* sws = sws_getContext(o.width, o.height, AV_PIX_FMT_RGB24, o.width, o.height, AV_PIX_FMT_YUV420P,
                                     SWS_BICUBIC, nullptr, nullptr, nullptr);
    AVFrame* vf = av_frame_alloc();
    vf->format = AV_PIX_FMT_YUV420P;
    vf->width = o.width;
    vf->height = o.height;
    av_frame_get_buffer(vf, 0);
    AVFrame* af = nullptr;
    int64_t audioPts = 0;
    const int64_t audioTotal = av_rescale_q(o.frames, av_inv_q(o.fps), AVRational{1, 48000});
    if (w.aenc) {
        af = av_frame_alloc();
        af->format = AV_SAMPLE_FMT_FLTP;
        af->sample_rate = 48000;
        av_channel_layout_copy(&af->ch_layout, &w.aenc->ch_layout);
        af->nb_samples = w.aenc->frame_size;
        av_frame_get_buffer(af, 0);
    }
    std::vector<uint8_t> rgb;
    for (int k = 0; k < o.frames; ++k) {
        renderFrame(o, lut, photo, pw, ph, k * o.yawStep / 360.0 * pw, rgb);
        av_frame_make_writable(vf);
        const uint8_t* src[1] = {rgb.data()};
        int stride[1] = {o.width * 3};
        sws_scale(sws, src, stride, 0, o.height, vf->data, vf->linesize);
        vf->pts = k;
        if ((rc = avcodec_send_frame(w.venc, vf)) < 0) fail("encode: " + averr(rc));
        w.drain(w.venc, w.vst);
        // Audio up to the end of this frame: a soft two-tone chord, panned.
        int64_t until = av_rescale_q(k + 1, av_inv_q(o.fps), AVRational{1, 48000});
        while (w.aenc && audioPts < std::min(until, audioTotal)) {
            av_frame_make_writable(af);
            int n = static_cast<int>(std::min<int64_t>(w.aenc->frame_size, audioTotal - audioPts));
            af->nb_samples = n;
            auto* l = reinterpret_cast<float*>(af->data[0]);
            auto* r = reinterpret_cast<float*>(af->data[1]);
            for (int i = 0; i < n; ++i) {
                double t = static_cast<double>(audioPts + i) / 48000.0;
                double env = std::min(1.0, std::min(t, static_cast<double>(audioTotal) / 48000.0 - t) / 0.2);
                double pan = 0.5 + 0.4 * std::sin(2 * M_PI * 0.33 * t);
                double s = 0.25 * env * (std::sin(2 * M_PI * 440.0 * t) + 0.6 * std::sin(2 * M_PI * 659.25 * t));
                l[i] = static_cast<float>(s * (1 - pan));
                r[i] = static_cast<float>(s * pan);
            }
            af->pts = audioPts;
            audioPts += n;
            if ((rc = avcodec_send_frame(w.aenc, af)) < 0) fail("aac encode: " + averr(rc));
            w.drain(w.aenc, w.ast);
        }
    }
    avcodec_send_frame(w.venc, nullptr);
    w.drain(w.venc, w.vst);
    if (w.aenc) {
        avcodec_send_frame(w.aenc, nullptr);
        w.drain(w.aenc, w.ast);
    }
    if ((rc = av_write_trailer(w.fmt)) < 0) fail("trailer: " + averr(rc));
    avio_closep(&w.fmt->pb);
    sws_freeContext(sws);
    av_frame_free(&vf);
    av_frame_free(&af);
    av_packet_free(&w.pkt);
    avcodec_free_context(&w.venc);
    avcodec_free_context(&w.aenc);
    avformat_free_context(w.fmt);
    if (o.record) markTextTrack(tmp);
    if (std::rename(tmp.c_str(), o.out.c_str()) != 0) fail("cannot rename " + tmp + " to " + o.out);
}

void usage() {
    std::fprintf(stderr,
                 "usage: make_sample [options] <photo> <out.mp4>\n"
                 "  --size WxH        fisheye frame size (default 1920x960)\n"
                 "  --frames N        number of frames (default 90)\n"
                 "  --fps R           frame rate, e.g. 30 or 30000/1001 (default 30)\n"
                 "  --gop N           key frame interval (default 30)\n"
                 "  --crf N           x264 quality (default 23)\n"
                 "  --preset NAME     x264 preset (default medium)\n"
                 "  --yaw-step DEG    camera turn per frame in degrees (default 0.25)\n"
                 "  --offset TEXT     calibration (default: the default offset string)\n"
                 "  --supersample N   subsamples per pixel side (default 2)\n"
                 "  --comment TEXT    comment tag\n"
                 "  --no-audio        no audio track\n"
                 "  --no-record       no text track with the calibration record\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::vector<std::string> pos;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) usage();
            return argv[++i];
        };
        if (a == "--size") {
            if (std::sscanf(next().c_str(), "%dx%d", &o.width, &o.height) != 2) usage();
        } else if (a == "--frames") {
            o.frames = std::atoi(next().c_str());
        } else if (a == "--fps") {
            if (av_parse_video_rate(&o.fps, next().c_str()) < 0) usage();
        } else if (a == "--gop") {
            o.gop = std::atoi(next().c_str());
        } else if (a == "--crf") {
            o.crf = std::atoi(next().c_str());
        } else if (a == "--preset") {
            o.preset = next();
        } else if (a == "--yaw-step") {
            o.yawStep = std::atof(next().c_str());
        } else if (a == "--offset") {
            o.offset = next();
        } else if (a == "--supersample") {
            o.supersample = std::max(1, std::atoi(next().c_str()));
        } else if (a == "--comment") {
            o.comment = next();
        } else if (a == "--no-audio") {
            o.audio = false;
        } else if (a == "--no-record") {
            o.record = false;
        } else if (!a.empty() && a[0] == '-') {
            usage();
        } else {
            pos.push_back(a);
        }
    }
    if (pos.size() != 2 || o.width <= 0 || o.height <= 0 || o.width % 2 || o.height % 2 || o.frames < 3 || o.gop < 1)
        usage();
    o.photo = pos[0];
    o.out = pos[1];
    av_log_set_level(AV_LOG_ERROR);

    Calibration cal = parseOffset(o.offset);
    // Synthesise with what the reader will hand out: the record's text when
    // there is a record, the default calibration otherwise.
    if (o.record) cal = parseOffset(recordText(cal));
    int pw = 0, ph = 0;
    std::vector<uint8_t> photo;
    loadPicture(o.photo, pw, ph, photo);
    std::vector<float> lut = buildLookup(o, cal, pw, ph);
    writeClip(o, cal, lut, photo, pw, ph);
    std::printf("%s: %dx%d, %d frames at %d/%d fps, calibration %s\n", o.out.c_str(), o.width, o.height, o.frames,
                o.fps.num, o.fps.den, o.record ? recordText(cal).c_str() : "none (reader default)");
    return 0;
}
