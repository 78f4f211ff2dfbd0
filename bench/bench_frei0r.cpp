// The frei0r filter inside FFmpeg against FFmpeg's own v360 filter, in one
// run: the whole command, decoding included,
//   ffmpeg -i sample.mp4 -vf frei0r=dualfisheye360 -f null -
//   ffmpeg -i sample.mp4 -vf v360=input=dfisheye:output=e:... -f null -
// at the clip's own size (the panorama of the same size), taking turns, the
// best of `runs` runs each: wall and CPU seconds (user + system of the
// command) and their ratios; the decoding alone beside them. Then the first
// frame of each against the truth, the photograph the sample was
// synthesised from (its frame 1 stitched is the photograph itself), as PSNR.
// v360 gets the options the stitcher benchmarks give it (two 236-degree
// circles side by side) and roll=-90, which levels its horizon: the sample's
// lens images lie on their sides.
//
//   bench_frei0r [runs] [clip]
#include <sys/resource.h>
#include <sys/time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchShell.h"

using bench::capture;
using bench::quote;

namespace {

double childCpu() {
    rusage u;
    getrusage(RUSAGE_CHILDREN, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec * 1e-6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec * 1e-6;
}

struct Time {
    double wall = 1e30, cpu = 1e30;
};

bool timeOnce(const std::string& cmd, Time& best) {
    const double cpu0 = childCpu();
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = std::system(cmd.c_str());
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = childCpu() - cpu0;
    if (rc != 0) {
        std::fprintf(stderr, "failed (%d): %s\n", rc, cmd.c_str());
        return false;
    }
    if (wall < best.wall) best.wall = wall;
    if (cpu < best.cpu) best.cpu = cpu;
    return true;
}

double psnr(const std::string& a, const std::string& b) {
    if (a.size() != b.size() || a.empty()) return -1;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<unsigned char>(a[i]) - static_cast<unsigned char>(b[i]);
        sum += d * d;
    }
    return sum == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 * a.size() / sum);
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::string clip = argc > 2 ? argv[2] : std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4";
    const std::string photo = std::string(DFS_SOURCE_DIR) + "/samples/city_world.png";
    setenv("FREI0R_PATH", DFS_FREI0R_DIR, 1);

    int w = 0, h = 0;
    const std::string size = capture("ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0 " +
                                     quote(clip));
    if (std::sscanf(size.c_str(), "%d,%d", &w, &h) != 2 || w <= 0 || h <= 0) {
        std::fprintf(stderr, "cannot read the size of %s\n", clip.c_str());
        return 1;
    }
    const std::string ours = "frei0r=dualfisheye360";
    const std::string theirs = "v360=input=dfisheye:output=e:ih_fov=236:iv_fov=236:roll=-90:w=" + std::to_string(w) +
                               ":h=" + std::to_string(h);
    const std::string ff = "ffmpeg -nostdin -hide_banner -loglevel error -i " + quote(clip);
    const std::string oursCmd = ff + " -vf " + ours + " -f null - 2>/dev/null";
    const std::string theirsCmd = ff + " -vf " + theirs + " -f null -";
    const std::string decodeCmd = ff + " -f null -";

    Time a, b, d;
    for (int r = 0; r < runs; ++r)
        if (!timeOnce(oursCmd, a) || !timeOnce(theirsCmd, b) || !timeOnce(decodeCmd, d)) return 1;

    std::printf("clip %s, %dx%d panorama, best of %d runs, whole ffmpeg command\n", clip.c_str(), w, h, runs);
    std::printf("  %-24s %9s %9s\n", "", "wall s", "CPU s");
    std::printf("  %-24s %9.3f %9.3f\n", "frei0r dualfisheye360", a.wall, a.cpu);
    std::printf("  %-24s %9.3f %9.3f\n", "v360", b.wall, b.cpu);
    std::printf("  %-24s %9.3f %9.3f\n", "decoding alone", d.wall, d.cpu);
    std::printf("  ratio v360 / frei0r: wall %.2fx, CPU %.2fx (target wall >= 1.5x)\n", b.wall / a.wall, b.cpu / a.cpu);

    const std::string one = " -frames:v 1 -f rawvideo -pix_fmt rgb24 - 2>/dev/null";
    const std::string truth = capture("ffmpeg -nostdin -loglevel error -i " + quote(photo) + " -vf scale=" +
                                      std::to_string(w) + ":" + std::to_string(h) + ":flags=bicubic" + one);
    const double q1 = psnr(capture(ff + " -vf " + ours + one), truth);
    const double q2 = psnr(capture(ff + " -vf " + theirs + one), truth);
    std::printf("frame 1 against the truth (the photograph at %dx%d): frei0r %.2f dB, v360 %.2f dB\n", w, h, q1, q2);
    return 0;
}
