// Frame cost of the stitch stage against FFmpeg's v360 filter doing the same
// dual-fisheye to equirectangular conversion (bilinear), at two output sizes,
// on one 2880 x 1440 BGR frame: the CPU engine and v360 (a filter graph in
// this process, BGR in and out, so with the conversions to and from its
// planar format) each on one thread and on all threads, timed in turns, the
// best of a few runs each; wall and CPU seconds per frame and their ratios.
// The GL renderer's figure is printed beside them when there is an X display
// (xvfb-run -a with LIBGL_ALWAYS_SOFTWARE=1 for llvmpipe).
//
//   bench_render [frames] [repetitions]
#include <GL/glew.h>
#include <GLFW/glfw3.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "CpuEngine.h"
#include "DualSpherecastNew.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

namespace {

const char* const kOffset =
    "2_713.649_713.933_708.05_-2.65_-1.599_-0.358_712.403_2165.5_727.583_177.35_-180.54_0.176_2880_1440_516";
const int kFrameW = 2880, kFrameH = 1440;

using bench::cpuSeconds;
using bench::wallSeconds;

// Standard output to /dev/null for a while: the renderer and the calibration
// model print progress (through both C and C++ streams).
class QuietStdout {
public:
    QuietStdout() {
        fflush(stdout);
        std::cout.flush();
        saved_ = dup(1);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            close(null);
        }
    }
    ~QuietStdout() {
        fflush(stdout);
        std::cout.flush();
        if (saved_ >= 0) {
            dup2(saved_, 1);
            close(saved_);
        }
    }

private:
    int saved_ = -1;
};

// Two textured discs on black, like a dual-fisheye frame.
std::vector<uint8_t> makeFrame() {
    std::vector<uint8_t> f(static_cast<size_t>(kFrameW) * kFrameH * 3, 0);
    const double cx[2] = {713.933, 2165.5}, cy[2] = {708.05, 727.583};
    for (int y = 0; y < kFrameH; ++y)
        for (int x = 0; x < kFrameW; ++x) {
            const int lens = x < kFrameW / 2 ? 0 : 1;
            const double dx = x - cx[lens], dy = y - cy[lens];
            if (dx * dx + dy * dy > 713.0 * 713.0) continue;
            uint8_t* p = &f[(static_cast<size_t>(y) * kFrameW + x) * 3];
            p[0] = static_cast<uint8_t>(x * 3 + y);
            p[1] = static_cast<uint8_t>((x / 16 + y / 16) % 2 ? 200 : 40);
            p[2] = static_cast<uint8_t>(y * 2 - x);
        }
    return f;
}

struct Phases {
    double upload = 0, mipmaps = 0, pass1 = 0, pass2 = 0, readBack = 0;
    double pass1Bilinear = 0;  // pass 1 sampling level 0 only, for comparison
};

// Per-phase wall time with the pipeline drained after each phase.
Phases timePhases(DualSpherecastNew& r, std::vector<uint8_t>& frame, std::vector<uint8_t>& out, int frames) {
    Phases p;
    for (int i = 0; i < frames; ++i) {
        double t = wallSeconds(), u;
        glBindTexture(GL_TEXTURE_2D, r.textureID);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, kFrameW, kFrameH, 0, GL_BGR, GL_UNSIGNED_BYTE, frame.data());
        glFinish();
        u = wallSeconds(); p.upload += u - t; t = u;
        glGenerateMipmap(GL_TEXTURE_2D);
        glFinish();
        u = wallSeconds(); p.mipmaps += u - t; t = u;
        r.render();
        glFinish();
        u = wallSeconds(); p.pass1 += u - t; t = u;
        r.renderFromFrameBuffer();
        glFinish();
        u = wallSeconds(); p.pass2 += u - t; t = u;
        glBindFramebuffer(GL_READ_FRAMEBUFFER, r.renderFrameBufferID);
        glReadBuffer(GL_COLOR_ATTACHMENT0);
        glPixelStorei(GL_PACK_ALIGNMENT, 4);
        glReadPixels(0, 0, r.width, r.height, GL_BGR, GL_UNSIGNED_BYTE, out.data());
        u = wallSeconds(); p.readBack += u - t;
    }
    p.upload /= frames; p.mipmaps /= frames; p.pass1 /= frames; p.pass2 /= frames; p.readBack /= frames;
    // How much of pass 1 the trilinear (mip-mapped) sampling costs.
    glBindTexture(GL_TEXTURE_2D, r.textureID);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    const double t = wallSeconds();
    for (int i = 0; i < frames; ++i) {
        r.render();
        glFinish();
    }
    p.pass1Bilinear = (wallSeconds() - t) / frames;
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
    return p;
}

struct Result {
    double cpu = 0, wall = 0;
};

// setData + render per frame, through the renderer's own calls.
Result timeRenderer(int size, std::vector<uint8_t>& frame, int frames, Phases* phases) {
    QuietStdout quiet;
    DualSpherecastNew r(kOffset, size, kFrameW, kFrameH, DualSpherecastNew::Stitch);
    Result res;
    if (r.initOpenGL(0, nullptr) == 0) {
        const size_t stride = (static_cast<size_t>(r.width) * 3 + 3) & ~static_cast<size_t>(3);
        std::vector<uint8_t> out(stride * r.height);
        for (int i = 0; i < 2; ++i) {  // warm-up: shader variants are compiled on first use
            r.setData(frame.data());
            r.render(out.data());
        }
        const double c0 = cpuSeconds(), w0 = wallSeconds();
        for (int i = 0; i < frames; ++i) {
            r.setData(frame.data());
            r.render(out.data());
        }
        res.cpu = (cpuSeconds() - c0) / frames;
        res.wall = (wallSeconds() - w0) / frames;
        *phases = timePhases(r, frame, out, frames);
    }
    if (res.cpu == 0) fprintf(stderr, "renderer initialisation failed (needs an X display)\n");
    r.deInitOpenGL();
    return res;
}

// Best per-frame times over repeated runs: other load on the machine only
// ever adds time.
struct Best {
    Result r;
    bool any = false;
    void add(double cpu, double wall) {
        r.cpu = any ? std::min(r.cpu, cpu) : cpu;
        r.wall = any ? std::min(r.wall, wall) : wall;
        any = true;
    }
};

template <class Step>
void timeRun(int frames, Best* best, Step step) {
    const double c0 = cpuSeconds(), w0 = wallSeconds();
    for (int i = 0; i < frames; ++i) step();
    best->add((cpuSeconds() - c0) / frames, (wallSeconds() - w0) / frames);
}

std::unique_ptr<stitcher::CpuEngine> makeEngine(int size, int threads, double* setup) {
    stitcher::EngineSpec params;
    params.useCalibration(kOffset);
    params.size = size;
    params.frameWidth = kFrameW;
    params.frameHeight = kFrameH;
    params.threads = threads;
    const double s0 = wallSeconds();
    std::unique_ptr<stitcher::CpuEngine> engine;
    const stitcher::Status made = stitcher::CpuEngine::create(params, engine);
    *setup = wallSeconds() - s0;
    if (!made.ok()) fprintf(stderr, "CPU engine: %s\n", made.message().c_str());
    return engine;
}

// FFmpeg's v360 as a filter graph: BGR frames in, BGR frames out.
class V360 {
public:
    V360(int width, int height, int threads, const std::vector<uint8_t>& frame) {
        graph_ = avfilter_graph_alloc();
        in_ = av_frame_alloc();
        out_ = av_frame_alloc();
        if (!graph_ || !in_ || !out_) return;
        graph_->nb_threads = threads;  // 0: one per core
        char args[160];
        snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=1/25:pixel_aspect=1/1", kFrameW, kFrameH,
                 static_cast<int>(AV_PIX_FMT_BGR24));
        if (avfilter_graph_create_filter(&source_, avfilter_get_by_name("buffer"), "in", args, nullptr, graph_) < 0 ||
            avfilter_graph_create_filter(&sink_, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr,
                                         graph_) < 0)
            return;
        const AVPixelFormat formats[] = {AV_PIX_FMT_BGR24, AV_PIX_FMT_NONE};
        av_opt_set_int_list(sink_, "pix_fmts", formats, AV_PIX_FMT_NONE, AV_OPT_SEARCH_CHILDREN);
        AVFilterInOut* outputs = avfilter_inout_alloc();
        AVFilterInOut* inputs = avfilter_inout_alloc();
        outputs->name = av_strdup("in");
        outputs->filter_ctx = source_;
        inputs->name = av_strdup("out");
        inputs->filter_ctx = sink_;
        const std::string filter = "v360=input=dfisheye:output=e:interp=linear:ih_fov=236:iv_fov=236:w=" +
                                   std::to_string(width) + ":h=" + std::to_string(height);
        const bool parsed = avfilter_graph_parse_ptr(graph_, filter.c_str(), &inputs, &outputs, nullptr) >= 0;
        avfilter_inout_free(&inputs);
        avfilter_inout_free(&outputs);
        if (!parsed || avfilter_graph_config(graph_, nullptr) < 0) return;
        in_->format = AV_PIX_FMT_BGR24;
        in_->width = kFrameW;
        in_->height = kFrameH;
        if (av_frame_get_buffer(in_, 0) < 0) return;
        for (int y = 0; y < kFrameH; ++y)
            std::copy_n(&frame[static_cast<size_t>(y) * kFrameW * 3], kFrameW * 3, in_->data[0] + y * in_->linesize[0]);
        ok_ = step();  // the first frame builds the filter's map
    }
    ~V360() {
        av_frame_free(&in_);
        av_frame_free(&out_);
        avfilter_graph_free(&graph_);
    }
    bool ok() const { return ok_; }
    // One frame through the graph.
    bool step() {
        in_->pts = pts_++;
        if (av_buffersrc_add_frame_flags(source_, in_, AV_BUFFERSRC_FLAG_KEEP_REF) < 0) return false;
        bool got = false;
        while (av_buffersink_get_frame(sink_, out_) >= 0) {
            got = true;
            av_frame_unref(out_);
        }
        return got;
    }

private:
    AVFilterGraph* graph_ = nullptr;
    AVFilterContext* source_ = nullptr;
    AVFilterContext* sink_ = nullptr;
    AVFrame* in_ = nullptr;
    AVFrame* out_ = nullptr;
    int64_t pts_ = 0;
    bool ok_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 20;
    const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    std::vector<uint8_t> frame = makeFrame();
    av_log_set_level(AV_LOG_ERROR);
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    printf("frame %dx%d, %d frames per run, best of %d runs; %ld CPUs; seconds per frame\n", kFrameW, kFrameH,
           frames, reps, cores);
    int status = 0;
    for (int size : {960, 1920}) {
        printf("\n%dx%d out\n", 2 * size, size);
        printf("  %-12s %12s %12s %12s %12s %10s %10s\n", "threads", "engine wall", "engine cpu", "v360 wall",
               "v360 cpu", "ratio wall", "ratio cpu");
        for (int threads : {1, 0}) {
            double setup = 0;
            std::unique_ptr<stitcher::CpuEngine> engine = makeEngine(size, threads, &setup);
            V360 v360(2 * size, size, threads, frame);
            if (!engine || !v360.ok()) {
                fprintf(stderr, "cannot time %s\n", engine ? "v360" : "the CPU engine");
                status = 1;
                continue;
            }
            std::vector<uint8_t> out(engine->params().outBytes());
            engine->stitch(frame.data(), out.data());  // warm-up
            Best ours, theirs, gained;
            for (int rep = 0; rep < reps; ++rep) {  // in turns, so that both see the same machine
                timeRun(frames, &ours, [&] { engine->stitch(frame.data(), out.data()); });
                timeRun(frames, &theirs, [&] { v360.step(); });
            }
            if (threads == 1) {  // colour matching's per-lens gains
                const float gains[2][3] = {{1.1f, 1.0f, 0.95f}, {0.9f, 1.05f, 1.0f}};
                engine->setGains(gains);
                for (int rep = 0; rep < reps; ++rep)
                    timeRun(frames, &gained, [&] { engine->stitch(frame.data(), out.data()); });
            }
            const std::string label = threads == 1 ? "1" : "all (" + std::to_string(cores) + ")";
            printf("  %-12s %12.4f %12.4f %12.4f %12.4f %9.2fx %9.2fx   (engine set-up %.2f s, tables %.0f MB)\n",
                   label.c_str(), ours.r.wall, ours.r.cpu, theirs.r.wall, theirs.r.cpu, theirs.r.wall / ours.r.wall,
                   theirs.r.cpu / ours.r.cpu, setup, engine->tableBytes() / 1e6);
            if (gained.any)
                printf("  %-12s %12.4f %12.4f   (engine with per-lens gains)\n", "1, gains", gained.r.wall,
                       gained.r.cpu);
        }
        Phases ph;
        const Result gl = timeRenderer(size, frame, frames, &ph);
        if (gl.wall > 0) {
            printf("  %-12s %12.4f %12.4f   (the GL renderer; llvmpipe without a GPU)\n", "gl", gl.wall, gl.cpu);
            printf("  gl phases (wall s, pipeline drained after each): upload %.4f mipmaps %.4f pass1 %.4f pass2 %.4f "
                   "read-back %.4f\n  (pass1 sampling without mipmaps would take %.4f)\n",
                   ph.upload, ph.mipmaps, ph.pass1, ph.pass2, ph.readBack, ph.pass1Bilinear);
        }
    }
    return status;
}
