// make_sample: synthesises a dual-fisheye MP4 clip from an equirectangular
// photograph, as a two-lens camera with the given calibration would record it.
//
//   make_sample [options] <photo> <out.mp4>
//
// The clip carries H.264 video, an AAC tone (unless --no-audio) and a text
// track whose one sample is a 192-byte calibration record (unless --no-record),
// so the clip's calibration is found the way a camera's is.
//
// Geometry: the frames are made by the test synthesiser (FisheyeSynth), which
// inverts the renderer's own lens model and stitch layout: the photo is laid
// out as the stitched panorama, so a correct stitch of frame k reproduces the
// photo scaled to the output size and shifted right by k * yawStep degrees.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
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

#include "FisheyeSynth.h"
#include "calibration/Calibration.h"

namespace {

using calibration::Calibration;
using testutil::BgrImage;

// Output size at which the synthesiser places the lens images: large enough
// that the layout's rounding to whole pixels is far below a pixel of any
// panorama stitched from the clip.
const int kGeometrySize = 4096;

[[noreturn]] void fail(const std::string& msg) {
    std::fprintf(stderr, "make_sample: %s\n", msg.c_str());
    std::exit(1);
}

std::string averr(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

// The calibration of `text`, refused unless it can be stitched.
Calibration usableCalibration(const std::string& text) {
    const calibration::Reading r = calibration::checkUsable(text.c_str());
    if (!r.verdict) fail("calibration '" + text + "' cannot be used: " + r.verdict.reason());
    return r.calibration;
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
    put32(r, 20, static_cast<uint32_t>(c.lensCode));
    r[24] = 2;
    for (int b = 0; b < 2; ++b) {
        const calibration::Lens& l = c.lens[b];
        const double v[6] = {l.radius, l.centerX, l.centerY, l.yaw, l.pitch, l.roll};
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
        const calibration::Lens& l = c.lens[b];
        const double v[6] = {l.radius, l.centerX, l.centerY, l.yaw, l.pitch, l.roll};
        for (double x : v) {
            float milli = static_cast<float>(static_cast<int32_t>(std::lround(x * 1000.0)));
            std::snprintf(buf, sizeof buf, "_%.2f", static_cast<double>(milli) / 1000.0);
            s += buf;
        }
    }
    std::snprintf(buf, sizeof buf, "_%d_%d_%u", c.imageWidth, c.imageHeight, static_cast<unsigned>(c.lensCode));
    return s + buf;
}

// ---- picture loading ----

BgrImage loadPicture(const std::string& path) {
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
    const int w = frame->width, h = frame->height;
    BgrImage picture(w, h);
    SwsContext* sws = sws_getContext(w, h, static_cast<AVPixelFormat>(frame->format), w, h, AV_PIX_FMT_BGR24,
                                     SWS_BICUBIC, nullptr, nullptr, nullptr);
    uint8_t* dst[1] = {picture.data.data()};
    int stride[1] = {w * 3};
    sws_scale(sws, frame->data, frame->linesize, 0, h, dst, stride);
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    avformat_close_input(&fmt);
    return picture;
}

// ---- synthesis ----

struct Options {
    std::string photo, out, offset = DEFAULT_OFFSET, comment;
    std::string recordOffset;  // record this calibration instead (for clips that carry a bad one)
    double tint[3] = {1.0, 1.0, 1.0};  // lens 1 metered apart: its B, G, R scaled by these
    double vignette[4] = {0, 0, 0, 0};  // per lens a, b: darkened by 1 + a r^2 + b r^4 toward the rim
    int width = 1920, height = 960, frames = 90, gop = 30, crf = 23, supersample = 2;
    AVRational fps{30, 1};
    double yawStep = 0.25;  // degrees of camera turn per frame
    bool audio = true, record = true;
    std::string preset = "medium";
};

// Lens 1 (the right half of the frame) as a lens that meters on its own
// would record it.
void tintSecondLens(const Options& o, BgrImage& bgr) {
    if (o.tint[0] == 1.0 && o.tint[1] == 1.0 && o.tint[2] == 1.0) return;
    for (int y = 0; y < bgr.height; ++y)
        for (int x = bgr.width / 2; x < bgr.width; ++x)
            for (int c = 0; c < 3; ++c) {
                uint8_t& v = bgr.at(x, y)[c];
                v = static_cast<uint8_t>(std::min(255L, std::lround(v * o.tint[c])));
            }
}

// Each lens's fall-off toward its rim, 1 + a r^2 + b r^4 at r radii from the
// centre of its image circle, per frame pixel (1 outside both circles).
std::vector<float> rimFalloff(const Options& o, const Calibration& cal) {
    std::vector<float> v;
    if (o.vignette[0] == 0 && o.vignette[1] == 0 && o.vignette[2] == 0 && o.vignette[3] == 0) return v;
    v.assign(static_cast<size_t>(o.width) * o.height, 1.0f);
    for (int y = 0; y < o.height; ++y)
        for (int x = 0; x < o.width; ++x)
            for (int b = 0; b < 2; ++b) {
                const calibration::Lens& l = cal.lens[b];
                const double r = std::hypot((x + 0.5) * cal.imageWidth / o.width - l.centerX,
                                            (y + 0.5) * cal.imageHeight / o.height - l.centerY) / l.radius;
                if (r > 1.02) continue;
                const double q = std::min(r, 1.0) * std::min(r, 1.0);
                v[static_cast<size_t>(y) * o.width + x] =
                    static_cast<float>(1.0 + o.vignette[2 * b] * q + o.vignette[2 * b + 1] * q * q);
            }
    return v;
}

void darkenRims(const std::vector<float>& falloff, BgrImage& bgr) {
    for (size_t i = 0; i < falloff.size(); ++i)
        for (int c = 0; c < 3; ++c) {
            uint8_t& v = bgr.data[i * 3 + c];
            v = static_cast<uint8_t>(std::min(255L, std::lround(v * falloff[i])));
        }
}

// What the record carries: the picture's calibration, or the one given with
// --record-offset as the renderer would read it, whether usable or not.
Calibration recorded(const Options& o, const Calibration& picture) {
    if (o.recordOffset.empty()) return picture;
    const calibration::Reading r = calibration::readForRenderer(o.recordOffset.c_str());
    if (!r.verdict) fail("record calibration '" + o.recordOffset + "' cannot be read: " + r.verdict.reason());
    return r.calibration;
}

// The geometry of the dual-fisheye frames of `offset`. The calibration
// model echoes the text it reads: keep that off our output.
std::unique_ptr<testutil::StitchGeometry> frameGeometry(const std::string& offset) {
    std::streambuf* const echo = std::cout.rdbuf(nullptr);
    std::unique_ptr<testutil::StitchGeometry> g(new testutil::StitchGeometry(offset, kGeometrySize));
    std::cout.rdbuf(echo);
    std::cout.clear();
    if (!g->ok()) fail(g->error());
    return g;
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

void writeClip(const Options& o, const Calibration& cal, const testutil::StitchGeometry& geometry,
               const BgrImage& photo) {
    const testutil::StitchGeometry::FrameMap map = geometry.frameMap(o.width, o.height, o.supersample);
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
    // The scaler below makes BT.601 limited-range YUV: say so, or players
    // read a picture of 720 lines or more as BT.709.
    w.venc->colorspace = AVCOL_SPC_SMPTE170M;
    w.venc->color_range = AVCOL_RANGE_MPEG;
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
        std::string rec = makeRecord(recorded(o, cal));
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

    SwsContext* sws = sws_getContext(o.width, o.height, AV_PIX_FMT_BGR24, o.width, o.height, AV_PIX_FMT_YUV420P,
                                     SWS_BICUBIC, nullptr, nullptr, nullptr);
    AVFrame* vf = av_frame_alloc();
    vf->format = AV_PIX_FMT_YUV420P;
    vf->colorspace = AVCOL_SPC_SMPTE170M;
    vf->color_range = AVCOL_RANGE_MPEG;
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
    const std::vector<float> falloff = rimFalloff(o, cal);
    for (int k = 0; k < o.frames; ++k) {
        BgrImage bgr = geometry.synthesise(photo, map, k * o.yawStep);
        darkenRims(falloff, bgr);
        tintSecondLens(o, bgr);
        av_frame_make_writable(vf);
        const uint8_t* src[1] = {bgr.data.data()};
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
                 "  --supersample N   subsamples per pixel side, 1 to 16 (default 2)\n"
                 "  --comment TEXT    comment tag\n"
                 "  --record-offset TEXT  record this calibration, usable or not, in place of the picture's\n"
                 "  --tint B,G,R      scale lens 1's channels (a lens that meters apart from the other)\n"
                 "  --vignette A0,B0,A1,B1  darken each lens toward its rim by 1 + A r^2 + B r^4\n"
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
            o.supersample = std::max(1, std::min(16, std::atoi(next().c_str())));
        } else if (a == "--vignette") {
            if (std::sscanf(next().c_str(), "%lf,%lf,%lf,%lf", &o.vignette[0], &o.vignette[1], &o.vignette[2],
                            &o.vignette[3]) != 4)
                usage();
        } else if (a == "--tint") {
            if (std::sscanf(next().c_str(), "%lf,%lf,%lf", &o.tint[0], &o.tint[1], &o.tint[2]) != 3) usage();
        } else if (a == "--record-offset") {
            o.recordOffset = next();
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

    // Synthesise with what the reader will hand out: the record's text (two
    // decimals) when there is a record.
    std::string text = o.offset;
    Calibration cal = usableCalibration(text);
    if (o.record) {
        text = recordText(cal);
        cal = usableCalibration(text);
    }
    const BgrImage photo = loadPicture(o.photo);
    writeClip(o, cal, *frameGeometry(text), photo);
    std::printf("%s: %dx%d, %d frames at %d/%d fps, calibration %s\n", o.out.c_str(), o.width, o.height, o.frames,
                o.fps.num, o.fps.den, o.record ? recordText(cal).c_str() : "none (reader default)");
    return 0;
}
