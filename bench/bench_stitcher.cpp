// The whole stitcher on a clip against the ffmpeg command, in one run: for
// each x264 preset, the stitcher (engine of choice, default cpu), ffmpeg's
// v360 filter (same clip, output size, x264 and AAC settings), and the
// encoder limit: the same settings encoding the already-stitched frames.
// Prints wall and CPU seconds of each (the best of --runs runs, the three
// commands taking turns so that all see the same machine), the throughput
// ratio against ffmpeg and the distance to the limit. With --memory it also compares the peak
// resident memory of a 1800-frame run with that of a 90-frame run. With
// --large it stitches a 5.7K clip (5760 x 2880, 60 frames, synthesised from
// the sample photograph once and kept in the build folder) at 4096 x 2048, the
// largest default size of an H.264 video. The median wall times of the runs
// are printed beside the best, with the median CPU seconds (which hold
// better than wall time on a machine shared with other work). With
// --baseline B another build of the stitcher takes its turn with the same
// arguments in every round, and its median wall and CPU times and ours over
// its are printed: two versions measured back to back. With --reframe fixed
// or --reframe moving, both make a 1920 x 1080 flat view (fov 100) instead
// of the panorama: ours straight from the lenses, ffmpeg's v360 from the
// dual fisheye to flat; "moving" turns the view on every frame, ours by a
// --camera file, ffmpeg's by a sendcmd command per frame. With --falloff T
// the stitcher is given the lenses' fall-off (as --calibrate prints it), as
// a user of a calibrated camera gives it, instead of measuring it from the
// clip before the first frame: what that measure costs shows beside a run
// without the option.
//
//   bench_stitcher [--clip C | --large] [--size N] [--frames N] [--presets a,b] [--engine E] [--runs N] [--memory]
//                  [--baseline STITCHER] [--reframe fixed|moving] [--falloff T]
//
// Defaults: the bundled sample, the stitcher's default size for it (1040),
// all frames, presets medium and veryfast, the CPU engine, 5 runs. The GL engine
// needs a display (xvfb-run -a).
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Timing {
    double wall = 0, cpu = 0;
    long peakKiB = 0;
    int status = -1;
    std::vector<double> walls, cpus;  // of every successful run
    static double middle(std::vector<double> w) {
        std::sort(w.begin(), w.end());
        if (w.empty()) return 0;
        return w.size() % 2 ? w[w.size() / 2] : (w[w.size() / 2 - 1] + w[w.size() / 2]) / 2;
    }
    double median() const { return middle(walls); }
    double medianCpu() const { return middle(cpus); }
};

// The best wall and CPU times of successful runs; other load on the
// machine only ever adds time.
void keepBest(Timing* best, const Timing& t) {
    if (t.status == 0) best->walls.push_back(t.wall), best->cpus.push_back(t.cpu);
    if (t.status != 0) {
        best->status = t.status > 0 ? t.status : 128;  // killed, or could not start
        return;
    }
    const bool first = best->wall == 0;
    best->wall = first ? t.wall : std::min(best->wall, t.wall);
    best->cpu = first ? t.cpu : std::min(best->cpu, t.cpu);
    if (best->status == -1) best->status = 0;
}

// Runs argv with standard output to `outFile` and standard error to
// `errFile`; wall clock, the child's user+system CPU and its peak memory.
Timing timeCommand(const std::vector<std::string>& args, const std::string& errFile = "/dev/null",
                   const std::string& outFile = "/dev/null") {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    Timing t;
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&fa);
        return t;
    }
    int status = 0;
    struct rusage ru {};
    wait4(pid, &status, 0, &ru);
    t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    t.cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
    t.peakKiB = ru.ru_maxrss;
    t.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    posix_spawn_file_actions_destroy(&fa);
    return t;
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    size_t at = 0;
    while (at <= text.size()) {
        size_t comma = text.find(',', at);
        if (comma == std::string::npos) comma = text.size();
        if (comma > at) items.push_back(text.substr(at, comma - at));
        at = comma + 1;
    }
    return items;
}

// The frame rate of a file's video, as ffprobe gives it ("30/1").
std::string frameRate(const std::string& path) {
    std::string cmd = "ffprobe -v error -select_streams v:0 -show_entries stream=r_frame_rate -of default=nw=1:nk=1 '" + path + "'";
    std::string rate;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[64] = {0};
        if (std::fgets(buf, sizeof buf, p)) rate = buf;
        pclose(p);
    }
    while (!rate.empty() && (rate.back() == '\n' || rate.back() == '\r')) rate.pop_back();
    return rate.empty() ? "30" : rate;
}

void printLog(const std::string& path, const char* key) {
    if (FILE* log = std::fopen(path.c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, log))
            if (!key || std::strstr(line, key)) std::fputs(line, stdout);
        std::fclose(log);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string clip = std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4";
    int size = 1040, frames = 0, runs = 5;
    std::string baseline, reframe, falloff;
    std::string presets = "medium,veryfast", engine = "cpu";
    bool memory = false, large = false, sizeGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--clip") clip = value();
        else if (a == "--size") size = std::atoi(value().c_str()), sizeGiven = true;
        else if (a == "--large") large = true;
        else if (a == "--frames") frames = std::atoi(value().c_str());
        else if (a == "--presets") presets = value();
        else if (a == "--engine") engine = value();
        else if (a == "--runs") runs = std::max(1, std::atoi(value().c_str()));
        else if (a == "--memory") memory = true;
        else if (a == "--baseline") baseline = value();
        else if (a == "--reframe") reframe = value();
        else if (a == "--falloff") falloff = value();
        else {
            std::fprintf(stderr,
                         "usage: bench_stitcher [--clip C | --large] [--size N] [--frames N] [--presets a,b] [--engine E] [--runs N] "
                         "[--memory] [--baseline STITCHER] [--reframe fixed|moving] [--falloff T]\n");
            return 2;
        }
    }
    if (large) {
        clip = std::string(DFS_BINARY_DIR) + "/bench/large_5760x2880.mp4";
        if (!sizeGiven) size = 2048;
        struct stat st;
        if (::stat(clip.c_str(), &st) != 0) {
            std::printf("making %s (once)...\n", clip.c_str());
            std::fflush(stdout);
            const std::string part = clip + ".part.mp4";
            Timing made = timeCommand({MAKE_SAMPLE_PATH, "--size", "5760x2880", "--frames", "60", "--supersample", "1",
                                       "--preset", "veryfast", "--crf", "23",
                                       std::string(DFS_SOURCE_DIR) + "/samples/city_world.png", part});
            if (made.status != 0 || std::rename(part.c_str(), clip.c_str()) != 0) {
                std::fprintf(stderr, "cannot make %s\n", clip.c_str());
                return 1;
            }
        }
    }
    if (!reframe.empty() && reframe != "fixed" && reframe != "moving") {
        std::fprintf(stderr, "--reframe: fixed or moving\n");
        return 2;
    }
    if (size < 16 || size % 2) {
        std::fprintf(stderr, "--size: an even height of 16 or more\n");
        return 2;
    }
    const std::string crf = "20", stitcher = STITCHER_PATH;
    char dirTemplate[] = "/tmp/bench_stitcher_XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dirTemplate;
    std::string width = std::to_string(2 * size), height = std::to_string(size);
    std::vector<std::string> range;
    if (frames > 0) range = {"--frames", std::to_string(frames)};

    // A flat view: where the panorama's middle looks, turned by yaw 30 and
    // pitch 10 (fixed), or panned from yaw -60 to 60 over the clip (moving).
    std::vector<std::string> view;
    std::string viewFilter;
    if (!reframe.empty()) {
        width = "1920", height = "1080";
        const double fov = 100, vfov = 2 * std::atan(std::tan(fov * M_PI / 360) * 1080 / 1920) * 180 / M_PI;
        char f[160];
        std::snprintf(f, sizeof f, "v360=input=dfisheye:output=flat:ih_fov=236:iv_fov=236:h_fov=%g:v_fov=%.4f:w=1920:h=1080",
                      fov, vfov);
        viewFilter = f;
        if (reframe == "fixed") {
            view = {"--projection", "flat", "--size", "1920x1080", "--fov", "100", "--yaw", "30", "--pitch", "10"};
            viewFilter += ":yaw=30:pitch=10";
        } else {
            const int n = frames > 0 ? frames : 90;
            const double rate = 30, last = (n - 1) / rate;
            std::FILE* cam = std::fopen((dir + "/camera.csv").c_str(), "w");
            std::FILE* cmd = std::fopen((dir + "/commands.txt").c_str(), "w");
            if (!cam || !cmd) {
                std::fprintf(stderr, "cannot write in %s\n", dir.c_str());
                return 1;
            }
            std::fprintf(cam, "time,yaw,pitch,roll,fov,ease\n0,-60,0,0,100,linear\n%.6f,60,0,0,100,linear\n", last);
            for (int k = 0; k < n; ++k) std::fprintf(cmd, "%.6f v360 yaw %.4f;\n", k / rate, -60 + 120.0 * k / (n - 1));
            std::fclose(cam);
            std::fclose(cmd);
            view = {"--projection", "flat", "--size", "1920x1080", "--camera", dir + "/camera.csv"};
            viewFilter = "sendcmd=f=" + dir + "/commands.txt," + viewFilter + ":yaw=-60";
        }
    }

    const std::string what = (reframe.empty() ? "panorama" : "flat view (" + reframe + " camera)") +
                             (falloff.empty() ? "" : ", fall-off given (" + falloff + ")");
    std::printf("clip %s, %s %sx%s, %s frames, x264 crf %s, AAC audio, %s engine; best of %d runs\n", clip.c_str(),
                what.c_str(), width.c_str(), height.c_str(), frames > 0 ? std::to_string(frames).c_str() : "all", crf.c_str(),
                engine.c_str(), runs);
    std::printf("%-10s %18s %18s %18s %10s %9s\n", "preset", "stitcher wall/CPU", "ffmpeg v360", "encode limit",
                "vs ffmpeg", "vs limit");
    int failed = 0;
    for (const std::string& preset : splitList(presets)) {
        std::vector<std::string> ours = {stitcher, "-v", "-y", "--engine", engine, "--crf", crf, "--preset", preset};
        if (view.empty())
            ours.insert(ours.end(), {"--size", height});
        else
            ours.insert(ours.end(), view.begin(), view.end());
        if (!falloff.empty()) ours.insert(ours.end(), {"--falloff", falloff});
        ours.insert(ours.end(), range.begin(), range.end());
        ours.insert(ours.end(), {clip, dir + "/stitcher.mp4"});

        // The two lens images side by side, each a 236-degree circle: v360's dfisheye.
        std::string filter = view.empty() ? "v360=input=dfisheye:output=e:ih_fov=236:iv_fov=236:w=" + width + ":h=" + height
                                          : viewFilter;
        std::vector<std::string> theirs = {"ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-i", clip};
        if (frames > 0) theirs.insert(theirs.end(), {"-frames:v", std::to_string(frames)});
        theirs.insert(theirs.end(), {"-vf", filter, "-c:v", "libx264", "-crf", crf, "-preset", preset, "-pix_fmt",
                                     "yuv420p", "-c:a", "aac", "-movflags", "+faststart", dir + "/ffmpeg.mp4"});

        // The limit: the stitcher's own frames, decoded beforehand (not timed),
        // encoded with the same settings together with the clip's sound.
        const std::vector<std::string> limit = {
            "ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "rawvideo", "-pix_fmt", "bgr24", "-s",
            width + "x" + height, "-framerate", "RATE", "-i", dir + "/stitched.bgr", "-i", clip, "-map", "0:v", "-map",
            "1:a?", "-shortest", "-c:v", "libx264", "-crf", crf, "-preset", preset, "-pix_fmt", "yuv420p", "-c:a", "aac",
            "-movflags", "+faststart", dir + "/limit.mp4"};
        std::vector<std::string> before = ours;
        if (!baseline.empty()) {
            before[0] = baseline;
            before.back() = dir + "/baseline.mp4";
        }
        Timing a, b, c, unpack, base;
        for (int run = 0; run < runs && a.status <= 0 && b.status <= 0 && c.status <= 0 && unpack.status <= 0; ++run) {
            keepBest(&a, timeCommand(ours, dir + "/stitcher.log"));
            if (!baseline.empty()) keepBest(&base, timeCommand(before, dir + "/baseline.log"));
            keepBest(&b, timeCommand(theirs));
            if (run == 0 && a.status == 0) {
                unpack = timeCommand({"ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-i", dir + "/stitcher.mp4", "-f",
                                      "rawvideo", "-pix_fmt", "bgr24", dir + "/stitched.bgr"});
            }
            if (unpack.status != 0) break;
            std::vector<std::string> args = limit;
            std::replace(args.begin(), args.end(), std::string("RATE"), frameRate(dir + "/stitcher.mp4"));
            keepBest(&c, timeCommand(args, dir + "/limit.log"));
        }
        std::remove((dir + "/stitched.bgr").c_str());
        if (a.status != 0 || b.status != 0 || unpack.status != 0 || c.status != 0) {
            std::fprintf(stderr, "%s: a command failed: stitcher %d, ffmpeg %d, limit %d/%d\n", preset.c_str(), a.status,
                         b.status, unpack.status, c.status);
            printLog(dir + "/stitcher.log", "error");
            printLog(dir + "/limit.log", nullptr);
            ++failed;
            continue;
        }
        std::printf("%-10s %8.2f/%6.2f s %8.2f/%6.2f s %8.2f/%6.2f s %9.2fx %+8.1f%%\n", preset.c_str(), a.wall, a.cpu,
                    b.wall, b.cpu, c.wall, c.cpu, b.wall / a.wall, 100 * (a.wall / c.wall - 1));
        std::printf("%-10s median wall of %zu runs: %.2f s, %.2f s, %.2f s; %.2fx; vs limit %+.1f%%\n", "", a.walls.size(),
                    a.median(), b.median(), c.median(), b.median() / a.median(), 100 * (a.median() / c.median() - 1));
        std::printf("%-10s median CPU: %.2f s, %.2f s, %.2f s; %.2fx; vs limit %+.1f%%\n", "", a.medianCpu(),
                    b.medianCpu(), c.medianCpu(), b.medianCpu() / a.medianCpu(), 100 * (a.medianCpu() / c.medianCpu() - 1));
        if (!baseline.empty() && base.status == 0)
            std::printf("%-10s baseline median wall/CPU %.2f/%.2f s (vs ffmpeg %.2fx, vs limit %+.1f%%); ours/baseline: "
                        "wall %.3f, CPU %.3f\n",
                        "", base.median(), base.medianCpu(), b.median() / base.median(),
                        100 * (base.median() / c.median() - 1), a.median() / base.median(), a.medianCpu() / base.medianCpu());
        else if (!baseline.empty())
            std::printf("%-10s baseline failed (%d)\n", "", base.status);
        printLog(dir + "/stitcher.log", "busy seconds");
        printLog(dir + "/stitcher.log", "engine:");
    }

    if (memory && !failed) {
        // The same clip twenty times over: 20x the frames, the same settings.
        Timing loop = timeCommand({"ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-stream_loop", "19", "-i", clip,
                                   "-map", "0", "-c", "copy", dir + "/long.mp4"});
        std::vector<std::string> common = {stitcher, "-y", "--engine", engine, "--size", "512", "--preset", "ultrafast"};
        std::vector<std::string> shortRun = common, longRun = common;
        shortRun.insert(shortRun.end(), {"--frames", "90", clip, dir + "/short.mp4"});
        longRun.insert(longRun.end(), {dir + "/long.mp4", dir + "/long_out.mp4"});
        Timing s = timeCommand(shortRun, dir + "/short.log");
        Timing l = loop.status == 0 ? timeCommand(longRun, dir + "/long.log") : Timing();
        if (s.status != 0 || l.status != 0) {
            std::fprintf(stderr, "memory: a command failed: 90 frames %d, long run %d\n", s.status, l.status);
            printLog(dir + "/long.log", "error");
            ++failed;
        } else {
            std::printf("peak resident memory: 90 frames %.1f MiB, 20 times as many %.1f MiB (%+.1f%%)\n",
                        s.peakKiB / 1024.0, l.peakKiB / 1024.0, 100.0 * (static_cast<double>(l.peakKiB) / s.peakKiB - 1));
            printLog(dir + "/long.log", " frames ");
        }
        for (const char* f : {"/long.mp4", "/short.mp4", "/long_out.mp4", "/short.log", "/long.log"})
            std::remove((dir + f).c_str());
    }
    for (const char* f : {"/stitcher.log", "/stitcher.mp4", "/ffmpeg.mp4", "/limit.mp4", "/limit.log", "/baseline.mp4",
                          "/baseline.log", "/camera.csv", "/commands.txt"})
        std::remove((dir + f).c_str());
    rmdir(dir.c_str());
    return failed ? 1 : 0;
}
