// The farm's cost on one machine: a plan, then its 2 segments rendered at
// once (one engine thread each), then the join, against one whole run of the
// same clip with the same engine threads in total (2). Prints each step (wall
// and CPU time: the CPU time holds where the machine is shared), the
// overhead of planning and joining against the whole run (the aim: at most
// a tenth), and the time the clip would take on N machines, projected from
// the measured per-segment rate.
//
//   bench_farm [--clip PATH] [--size N] [--preset NAME] [--runs R]
//
// Default: the bundled sample clip at its default size, preset veryfast, best of 1 run.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// Runs argv (output to the log) and returns its wall time, its CPU time
// (user + system) in `cpu`; exits on failure.
double timed(const std::vector<std::string>& args, const std::string& log, double* cpu = nullptr) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const double t0 = now();
    pid_t pid = 0;
    int status = -1;
    struct rusage ru {};
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) == 0) wait4(pid, &status, 0, &ru);
    if (cpu) *cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
    posix_spawn_file_actions_destroy(&fa);
    const double t = now() - t0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench_farm: %s failed; see %s\n", args[0].c_str(), log.c_str());
        std::exit(1);
    }
    return t;
}

long long framesOf(const std::string& path) {
    const std::string cmd = "ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 '" + path + "'";
    long long n = 0;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        if (std::fscanf(p, "%lld", &n) != 1) n = 0;
        pclose(p);
    }
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    std::string clip = std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4", size, preset = "veryfast";
    int runs = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--clip") clip = argv[i + 1];
        else if (a == "--size") size = argv[i + 1];
        else if (a == "--preset") preset = argv[i + 1];
        else if (a == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
        else {
            std::fprintf(stderr, "usage: bench_farm [--clip PATH] [--size N] [--preset NAME] [--runs R]\n");
            return 2;
        }
    }
    char tmpl[] = "/tmp/bench_farm.XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl, log = dir + "/log", st = STITCHER_PATH;
    std::vector<std::string> settings = {"--engine", "cpu", "--preset", preset, "-y"};
    if (!size.empty()) settings.insert(settings.end(), {"--size", size});
    auto with = [&](std::vector<std::string> a) {
        std::vector<std::string> v = {st};
        v.insert(v.end(), a.begin(), a.end());
        return v;
    };
    const long long frames = framesOf(clip);
    std::printf("clip %s, %lld frames, preset %s, %u cores; best of %d\n", clip.c_str(), frames, preset.c_str(),
                std::thread::hardware_concurrency(), runs);

    // Best wall time and best CPU time (user + system) of each step.
    struct Step {
        double wall = 1e30, cpu = 1e30;
        void take(double w, double c) {
            wall = std::min(wall, w);
            cpu = std::min(cpu, c);
        }
    } whole, plan, pair, join, seg[2];
    for (int r = 0; r < runs; ++r) {
        double c = 0;
        auto w = with(settings);
        w.insert(w.end(), {"--threads", "2", clip, dir + "/whole.mp4"});
        double t = timed(w, log, &c);
        whole.take(t, c);

        auto p = with(settings);
        p.insert(p.end(), {"--plan-out", dir + "/plan.json", "--segments", "2", clip});
        t = timed(p, log, &c);
        plan.take(t, c);
        double ts[2] = {0, 0}, cs[2] = {0, 0};
        const double t0 = now();
        std::vector<std::thread> tasks;
        for (int k = 0; k < 2; ++k)
            tasks.emplace_back([&, k] {
                ts[k] = timed(with({"-y", "--engine", "cpu", "--threads", "1", "--plan", dir + "/plan.json", "--segment",
                                    std::to_string(k + 1) + "/2", clip, dir + "/seg" + std::to_string(k + 1) + ".mp4"}),
                              log, &cs[k]);
            });
        for (auto& task : tasks) task.join();
        pair.take(now() - t0, cs[0] + cs[1]);
        for (int k = 0; k < 2; ++k) seg[k].take(ts[k], cs[k]);
        t = timed(with({"-y", "--join", dir + "/joined.mp4", "--plan", dir + "/plan.json", dir + "/seg1.mp4",
                        dir + "/seg2.mp4"}),
                  log, &c);
        join.take(t, c);
    }
    const double farm = plan.wall + pair.wall + join.wall, farmCpu = plan.cpu + pair.cpu + join.cpu;
    std::printf("%-34s %9s %9s\n", "", "wall", "CPU");
    std::printf("%-34s %8.2fs %8.2fs\n", "whole run (2 engine threads)", whole.wall, whole.cpu);
    std::printf("%-34s %8.2fs %8.2fs\n", "plan", plan.wall, plan.cpu);
    std::printf("%-34s %8.2fs %8.2fs  (segments %.2f s and %.2f s wall)\n", "2 segments at once (1 thread each)",
                pair.wall, pair.cpu, seg[0].wall, seg[1].wall);
    std::printf("%-34s %8.2fs %8.2fs\n", "join", join.wall, join.cpu);
    std::printf("%-34s %8.2fs %8.2fs  (%.2fx / %.2fx the whole run)\n", "farm on this machine", farm, farmCpu,
                farm / whole.wall, farmCpu / whole.cpu);
    std::printf("overhead of planning and joining: %.1f%% of the whole run's wall time, %.1f%% of its CPU time "
                "(aim: at most 10%%)\n",
                100.0 * (plan.wall + join.wall) / whole.wall, 100.0 * (plan.cpu + join.cpu) / whole.cpu);
    // One segment task per machine: a machine renders frames at the rate a
    // task rendered its own here; plan and join run once.
    const double perFrame = (seg[0].wall + seg[1].wall) / std::max(1LL, frames);
    std::printf("projected on N machines like one task's share here (plan + frames/N at %.3f s per frame + join):\n",
                perFrame);
    for (int n : {1, 2, 4, 8, 16, 32}) {
        const double total = plan.wall + perFrame * frames / n + join.wall;
        std::printf("  N = %2d: %8.2f s  (%.2fx the whole run here)\n", n, total, total / whole.wall);
    }
    std::string rm = "rm -rf '" + dir + "'";
    return std::system(rm.c_str()) == 0 ? 0 : 1;
}
