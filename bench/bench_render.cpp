// Frame cost of the stitch stage against FFmpeg's v360 filter doing the same
// dual-fisheye to equirectangular conversion (bilinear), at two output sizes,
// on one 2880 x 1440 frame: the CPU engine and v360 each on one thread and on
// all threads (wall seconds per frame, and the ratio), with the GL renderer
// beside them. Run under an X display for the GL figures (xvfb-run -a with
// LIBGL_ALWAYS_SOFTWARE=1 for llvmpipe); without one they are left out.
//
//   bench_render [frames] [repetitions]
#include <GL/glew.h>
#include <GLFW/glfw3.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "CpuEngine.h"
#include "DualSpherecastNew.h"

namespace {

const char* const kOffset =
    "2_713.649_713.933_708.05_-2.65_-1.599_-0.358_712.403_2165.5_727.583_177.35_-180.54_0.176_2880_1440_516";
const int kFrameW = 2880, kFrameH = 1440;

double cpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

double wallSeconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

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

double childCpuSeconds() {
    rusage u;
    getrusage(RUSAGE_CHILDREN, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec * 1e-6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec * 1e-6;
}

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

// stitch() per frame of the CPU engine on `threads` threads (0: all cores):
// the best of `reps` runs of `frames` frames.
Result timeCpuEngine(int size, int threads, const std::vector<uint8_t>& frame, int frames, int reps, double* setup) {
    stitcher::EngineSpec spec;
    spec.offset = kOffset;
    spec.size = size;
    spec.frameWidth = kFrameW;
    spec.frameHeight = kFrameH;
    spec.threads = threads;
    std::string error;
    std::unique_ptr<stitcher::CpuEngine> engine;
    {
        QuietStdout quiet;  // the calibration model echoes its text
        const double s0 = wallSeconds();
        engine = stitcher::CpuEngine::create(spec, error);
        *setup = wallSeconds() - s0;
    }
    Result best;
    if (!engine) {
        fprintf(stderr, "CPU engine: %s\n", error.c_str());
        return best;
    }
    std::vector<uint8_t> out(spec.outBytes());
    engine->stitch(frame.data(), out.data());  // warm-up
    for (int rep = 0; rep < reps; ++rep) {
        const double c0 = cpuSeconds(), w0 = wallSeconds();
        for (int i = 0; i < frames; ++i) engine->stitch(frame.data(), out.data());
        const double cpu = (cpuSeconds() - c0) / frames, wall = (wallSeconds() - w0) / frames;
        if (rep == 0 || cpu < best.cpu) best.cpu = cpu;
        if (rep == 0 || wall < best.wall) best.wall = wall;
    }
    return best;
}

// CPU time of an ffmpeg run over `count` copies of the frame, filtering on
// `threads` threads (0: ffmpeg's default, all cores).
double ffmpegCpu(const std::string& raw, const std::string& filter, int count, int threads, double* wall) {
    const std::string threading =
        threads > 0 ? " -filter_threads " + std::to_string(threads) + " -threads " + std::to_string(threads) : "";
    const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error" + threading +
                            " -f rawvideo -pix_fmt bgr24 -s " +
                            std::to_string(kFrameW) + "x" + std::to_string(kFrameH) + " -stream_loop " +
                            std::to_string(count - 1) + " -i " + raw + " -vf " + filter +
                            " -f rawvideo -pix_fmt bgr24 -y /dev/null";
    const double c0 = childCpuSeconds(), w0 = wallSeconds();
    if (std::system(cmd.c_str()) != 0) {
        fprintf(stderr, "ffmpeg failed: %s\n", cmd.c_str());
        return -1;
    }
    *wall = wallSeconds() - w0;
    return childCpuSeconds() - c0;
}

// Per-frame cost of the filter: the difference of a long and a short run
// removes start-up and the filter's one-time map building; the same
// difference without the filter removes reading and writing the frames.
Result v360PerFrame(const std::string& raw, int w, int h, int frames, int threads, int reps) {
    const std::string v360 = "v360=input=dfisheye:output=e:interp=linear:ih_fov=236:iv_fov=236:w=" +
                             std::to_string(w) + ":h=" + std::to_string(h);
    const std::string copy = "scale=" + std::to_string(w) + ":" + std::to_string(h) + ":flags=neighbor";
    // Each run the best of `reps`: other load on the machine only ever adds time.
    auto best = [&](const std::string& filter, int count, double* wall) {
        double cpu = 0;
        for (int rep = 0; rep < reps; ++rep) {
            double w1 = 0;
            const double c1 = ffmpegCpu(raw, filter, count, threads, &w1);
            if (rep == 0 || c1 < cpu) cpu = c1;
            if (rep == 0 || w1 < *wall) *wall = w1;
        }
        return cpu;
    };
    double wl = 0, ws = 0, cl = 0, cs = 0;
    const double longRun = best(v360, frames + 2, &wl);
    const double shortRun = best(v360, 2, &ws);
    const double copyLong = best(copy, frames + 2, &cl);
    const double copyShort = best(copy, 2, &cs);
    Result r;
    r.cpu = ((longRun - shortRun) - (copyLong - copyShort)) / frames;
    r.wall = ((wl - ws) - (cl - cs)) / frames;
    if (r.cpu < 0) r.cpu = (longRun - shortRun) / frames;
    if (r.wall < 0) r.wall = (wl - ws) / frames;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 20;
    const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    std::vector<uint8_t> frame = makeFrame();
    char raw[] = "/tmp/bench_render_XXXXXX";
    const int fd = mkstemp(raw);
    if (fd < 0 || write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) {
        fprintf(stderr, "cannot write the frame file\n");
        return 1;
    }
    close(fd);

    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    printf("frame %dx%d, %d frames per measurement, best of %d; %ld CPUs; seconds per frame\n", kFrameW, kFrameH,
           frames, reps, cores);
    int status = 0;
    for (int size : {960, 1920}) {
        Phases ph;
        const Result gl = timeRenderer(size, frame, frames, &ph);
        printf("\n%dx%d out\n", 2 * size, size);
        printf("  %-12s %12s %12s %12s %12s %10s %10s\n", "threads", "engine wall", "engine cpu", "v360 wall",
               "v360 cpu", "ratio wall", "ratio cpu");
        for (int threads : {1, 0}) {
            double setup = 0;
            const Result cpu = timeCpuEngine(size, threads, frame, frames, reps, &setup);
            const Result ff = v360PerFrame(raw, 2 * size, size, frames, threads, reps);
            if (cpu.wall <= 0 || ff.wall <= 0) status = 1;
            const std::string label = threads == 1 ? "1" : "all (" + std::to_string(cores) + ")";
            printf("  %-12s %12.4f %12.4f %12.4f %12.4f %9.2fx %9.2fx   (engine set-up %.2f s)\n", label.c_str(),
                   cpu.wall, cpu.cpu, ff.wall, ff.cpu, cpu.wall > 0 ? ff.wall / cpu.wall : 0.0,
                   cpu.cpu > 0 ? ff.cpu / cpu.cpu : 0.0, setup);
        }
        if (gl.wall > 0) {
            printf("  %-12s %12.4f %12.4f   (the GL renderer; llvmpipe without a GPU)\n", "gl", gl.wall, gl.cpu);
            printf("  gl phases (wall s, pipeline drained after each): upload %.4f mipmaps %.4f pass1 %.4f pass2 %.4f "
                   "read-back %.4f\n  (pass1 sampling without mipmaps would take %.4f)\n",
                   ph.upload, ph.mipmaps, ph.pass1, ph.pass2, ph.readBack, ph.pass1Bilinear);
        }
    }
    unlink(raw);
    return status;
}
