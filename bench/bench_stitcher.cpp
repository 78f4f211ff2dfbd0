// Stitching a clip to a 360 video: the stitcher against the ffmpeg command's
// v360 filter, same clip, same output size, same x264 and AAC settings, in one
// run. Prints wall and CPU seconds of each and the throughput ratio.
//
//   bench_stitcher [clip] [panorama height] [frames] [preset]
//
// Defaults: the bundled sample, the stitcher's default size for it (1040),
// all frames, preset medium. The stitcher needs a display (xvfb-run -a).
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Timing {
    double wall = 0, cpu = 0;
    int status = -1;
};

// Runs argv with its output to /dev/null (standard error to `errFile` when
// given); wall clock and the child's user+system CPU.
Timing timeCommand(const std::vector<std::string>& args, const std::string& errFile = "/dev/null") {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
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
    t.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    posix_spawn_file_actions_destroy(&fa);
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    std::string clip = argc > 1 ? argv[1] : std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4";
    int size = argc > 2 ? std::atoi(argv[2]) : 1040;
    int frames = argc > 3 ? std::atoi(argv[3]) : 0;
    std::string preset = argc > 4 ? argv[4] : "medium";
    const std::string crf = "20";
    std::string stitcher = STITCHER_PATH;
    char dirTemplate[] = "/tmp/bench_stitcher_XXXXXX";
    std::string dir = mkdtemp(dirTemplate) ? dirTemplate : "/tmp";

    std::vector<std::string> ours = {stitcher, "-v", "-y", "--size", std::to_string(size), "--crf", crf, "--preset", preset};
    if (frames > 0) ours.insert(ours.end(), {"--frames", std::to_string(frames)});
    ours.insert(ours.end(), {clip, dir + "/stitcher.mp4"});

    // The two lens images side by side, each a 236-degree circle: v360's dfisheye.
    char filter[256];
    std::snprintf(filter, sizeof filter, "v360=input=dfisheye:output=e:ih_fov=236:iv_fov=236:w=%d:h=%d", 2 * size,
                  size);
    std::vector<std::string> theirs = {"ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-i", clip};
    if (frames > 0) theirs.insert(theirs.end(), {"-frames:v", std::to_string(frames)});
    theirs.insert(theirs.end(), {"-vf", filter, "-c:v", "libx264", "-crf", crf, "-preset", preset, "-pix_fmt",
                                 "yuv420p", "-c:a", "aac", "-movflags", "+faststart", dir + "/ffmpeg.mp4"});

    std::printf("clip %s, panorama %dx%d, %s frames, x264 crf %s preset %s, AAC audio\n", clip.c_str(), 2 * size, size,
                frames > 0 ? std::to_string(frames).c_str() : "all", crf.c_str(), preset.c_str());
    Timing a = timeCommand(ours, dir + "/stitcher.log");
    Timing b = timeCommand(theirs);
    if (a.status != 0 || b.status != 0) {
        std::fprintf(stderr, "a command failed: stitcher %d, ffmpeg %d (the stitcher needs a display: xvfb-run -a)\n",
                     a.status, b.status);
        return 1;
    }
    std::printf("%-10s %8s %8s\n", "", "wall s", "CPU s");
    std::printf("%-10s %8.2f %8.2f\n", "stitcher", a.wall, a.cpu);
    std::printf("%-10s %8.2f %8.2f\n", "ffmpeg", b.wall, b.cpu);
    std::printf("throughput ratio (ffmpeg wall / stitcher wall): %.2f; CPU ratio (ffmpeg / stitcher): %.2f\n",
                b.wall / a.wall, b.cpu / a.cpu);
    // The stitcher's own account of where its time went.
    if (FILE* log = std::fopen((dir + "/stitcher.log").c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, log))
            if (std::strstr(line, "busy seconds")) std::fputs(line, stdout);
        std::fclose(log);
    }
    std::remove((dir + "/stitcher.log").c_str());
    std::remove((dir + "/stitcher.mp4").c_str());
    std::remove((dir + "/ffmpeg.mp4").c_str());
    rmdir(dir.c_str());
    return 0;
}
