// Decoding speed of a clip session on a large dual-fisheye-sized clip:
// sequential frames through PRDGetVideoFrame against the ffmpeg command
// (single decoding thread), and the mean cost of random frame requests as a
// multiple of one sequential frame.
//
//   bench_decode [clip.mp4]   (default: made with the ffmpeg command in /tmp)
#include <sys/stat.h>

#include <chrono>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "libdec.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double TimeCommand(const std::string& cmd) {
    auto t0 = Clock::now();
    int rc = std::system(cmd.c_str());
    auto t1 = Clock::now();
    if (rc != 0) std::fprintf(stderr, "command failed (%d): %s\n", rc, cmd.c_str());
    return Seconds(t0, t1);
}

}  // namespace

int main(int argc, char** argv) {
    std::string clip = argc > 1 ? argv[1] : "/tmp/bench_decode_2880x1440_gop30.mp4";
    struct stat st;
    if (argc <= 1 && ::stat(clip.c_str(), &st) != 0) {
        std::printf("making %s ...\n", clip.c_str());
        std::string cmd =
            "ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i testsrc2=size=2880x1440:rate=30:duration=3 "
            "-c:v libx264 -g 30 -keyint_min 30 -sc_threshold 0 -pix_fmt yuv420p '" + clip + "'";
        if (std::system(cmd.c_str()) != 0) return 1;
    }
    void* h = PRDOpen(clip.c_str());
    if (!h) {
        std::fprintf(stderr, "cannot open %s\n", clip.c_str());
        return 1;
    }
    _MediaInfo info{};
    PRDGetMediaInfo(h, info);
    const unsigned int frames = info.frames;
    std::printf("clip %s: %ux%u, %u frames, %.2f fps\n", clip.c_str(), info.width, info.height, frames, info.fps);

    // Sequential: best of three passes (the later ones on fresh sessions).
    double seq = 1e30;
    for (int pass = 0; pass < 3; ++pass) {
        void* s = pass == 0 ? h : PRDOpen(clip.c_str());
        auto t0 = Clock::now();
        for (unsigned int f = 1; f <= frames; ++f) {
            unsigned char* out = nullptr;
            if (PRDGetVideoFrame(s, f, out) != 0 || !out) {
                std::fprintf(stderr, "frame %u failed\n", f);
                return 1;
            }
        }
        seq = std::min(seq, Seconds(t0, Clock::now()));
        if (s != h) PRDClose(s);
    }
    const double perFrame = seq / frames;

    // The ffmpeg command pays for its process start-up, probing and filter
    // set-up once; its cost per frame is also taken from the difference
    // between a whole run and a run over the first half of the frames.
    const std::string ff = "ffmpeg -hide_banner -loglevel error -nostdin -threads 1 -i '" + clip + "'";
    const unsigned int half = frames / 2;
    double ffmpeg = 1e30, ffHalf = 1e30, ffmpegOneFilterThread = 1e30;
    for (int pass = 0; pass < 3; ++pass) {
        ffmpeg = std::min(ffmpeg, TimeCommand(ff + " -pix_fmt bgr24 -f null -"));
        ffHalf = std::min(ffHalf, TimeCommand(ff + " -frames:v " + std::to_string(half) + " -pix_fmt bgr24 -f null -"));
        ffmpegOneFilterThread = std::min(ffmpegOneFilterThread,
                                         TimeCommand(ff + " -filter_threads 1 -pix_fmt bgr24 -f null -"));
    }
    const double ffPerFrame = (ffmpeg - ffHalf) / (frames - half);

    // Random requests on the session left at the end of the track.
    std::mt19937 rng(1);
    std::uniform_int_distribution<unsigned int> pick(1, frames);
    const int kRequests = 200;
    auto t0 = Clock::now();
    for (int i = 0; i < kRequests; ++i) {
        unsigned char* out = nullptr;
        unsigned int f = pick(rng);
        if (PRDGetVideoFrame(h, f, out) != 0 || !out) {
            std::fprintf(stderr, "random frame %u failed\n", f);
            return 1;
        }
    }
    const double perRandom = Seconds(t0, Clock::now()) / kRequests;
    PRDClose(h);

    std::printf("sequential via PRDGetVideoFrame: %.3f s (%.2f ms/frame, %.1f fps)\n", seq, perFrame * 1e3,
                frames / seq);
    std::printf("ffmpeg -threads 1 -i clip -pix_fmt bgr24 -f null -: %.3f s; first %u frames only: %.3f s\n", ffmpeg,
                half, ffHalf);
    std::printf("  same with -filter_threads 1: %.3f s\n", ffmpegOneFilterThread);
    std::printf("sequential throughput vs ffmpeg: %.2fx (whole command), %.2fx (per frame: %.2f ms against ours)\n",
                ffmpeg / seq, ffPerFrame / perFrame, ffPerFrame * 1e3);
    std::printf("  vs ffmpeg with one filter thread: %.2fx (whole command)\n", ffmpegOneFilterThread / seq);
    std::printf("random request: mean %.2f ms = %.2f sequential frames (target <= 0.6 x GOP)\n", perRandom * 1e3,
                perRandom / perFrame);
    return 0;
}
