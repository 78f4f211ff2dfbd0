// The stitcher as a program among others: signals, a full standard output or
// disk, names that look like options or hold a % or name one file twice, what
// -v prints, and the message for a clip in another container.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "test_clips.h"

extern char** environ;

namespace {

using testutil::quote;

const std::string kStitcher = std::string(DFS_BINARY_DIR) + "/stitcher/stitcher";
const std::string kSample = std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4";

using Result = testutil::StitcherRun;
Result stitch(const std::string& args, const std::string& dir = ".") { return testutil::runStitcher(args, dir); }

std::vector<std::string> listDir(const std::string& dir) {
    std::string out = testutil::captureCommand("ls -A " + quote(dir));
    std::vector<std::string> names;
    for (size_t at = 0, nl; at < out.size(); at = nl + 1) {
        nl = out.find('\n', at);
        if (nl == std::string::npos) nl = out.size();
        if (nl > at) names.push_back(out.substr(at, nl - at));
    }
    return names;
}

bool hasPart(const std::string& dir) {
    for (const auto& n : listDir(dir))
        if (n.size() > 5 && n.compare(n.size() - 5, 5, ".part") == 0) return true;
    return false;
}

// A stitcher started straight from here, the four stopping signals at their
// defaults except those in `ignored`.
class Background {
public:
    Background(const std::vector<std::string>& args, const std::vector<int>& ignored = {})
        : err_(testutil::makeTempDir("app_bg") + "/err") {
        std::vector<char*> argv{const_cast<char*>(kStitcher.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t reset;
        sigemptyset(&reset);
        for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) sigaddset(&reset, sig);
        for (int sig : ignored) sigdelset(&reset, sig);
        posix_spawnattr_setsigdefault(&attr, &reset);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        // An ignored signal stays ignored across exec: ignore it here meanwhile.
        std::vector<struct sigaction> saved(ignored.size());
        struct sigaction ign {};
        ign.sa_handler = SIG_IGN;
        for (size_t i = 0; i < ignored.size(); ++i) ::sigaction(ignored[i], &ign, &saved[i]);
        if (::posix_spawn(&pid_, kStitcher.c_str(), &files, &attr, argv.data(), environ) != 0) pid_ = -1;
        for (size_t i = 0; i < ignored.size(); ++i) ::sigaction(ignored[i], &saved[i], nullptr);
        posix_spawn_file_actions_destroy(&files);
        posix_spawnattr_destroy(&attr);
    }
    ~Background() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }
    // Until `done` holds or the run ends, for at most two minutes.
    template <class Done>
    bool waitFor(Done done) {
        for (int i = 0; i < 6000; ++i) {
            if (done()) return true;
            if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // The wait status, and the run's standard error.
    int wait(std::string& err) {
        if (pid_ > 0 && ::waitpid(pid_, &status_, 0) == pid_) pid_ = -1;
        err = testutil::readFile(err_);
        return status_;
    }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string err_;
};

std::string smallClip() {
    std::string path = testutil::clipDir() + "/app_small.mp4";
    if (::access(path.c_str(), R_OK) == 0) return path;
    std::string tmp = path + ".tmp" + std::to_string(::getpid()) + ".mp4";
    int rc = testutil::runCommand(quote(std::string(DFS_BINARY_DIR) + "/samples/make_sample") +
                                  " --size 640x320 --frames 8 --gop 4 --no-audio " +
                                  quote(std::string(DFS_SOURCE_DIR) + "/samples/city_world.png") + " " + quote(tmp) +
                                  " >/dev/null");
    if (rc != 0 || std::rename(tmp.c_str(), path.c_str()) != 0) {
        ADD_FAILURE() << "make_sample failed (" << rc << ")";
        return std::string();
    }
    return path;
}

// ---- signals ----

class AppSignals : public ::testing::TestWithParam<int> {};

// Each stopping signal removes the run's file, says so, and exits (no core
// dump) with 128 + its number.
TEST_P(AppSignals, StopTheRunAndLeaveNothing) {
    const int sig = GetParam();
    const std::string dir = testutil::makeTempDir("app_sig");
    Background job({"--engine", "cpu", "--preset", "veryslow", kSample, dir + "/out.mp4"});
    ASSERT_GT(job.pid(), 0);
    ASSERT_TRUE(job.waitFor([&] { return hasPart(dir); })) << "the run ended before it wrote anything";
    ::kill(job.pid(), sig);
    std::string err;
    const int status = job.wait(err);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0) << ": " << err;
    EXPECT_EQ(WEXITSTATUS(status), 128 + sig) << err;
    const std::string said = sig == SIGINT ? "stitcher: error: interrupted; nothing was written"
                                           : std::string("stitcher: error: interrupted by SIG") +
                                                 (sig == SIGHUP ? "HUP" : sig == SIGQUIT ? "QUIT" : "TERM") +
                                                 "; nothing was written";
    EXPECT_NE(err.find(said), std::string::npos) << err;
    EXPECT_TRUE(listDir(dir).empty()) << listDir(dir).size() << " files left";
}

INSTANTIATE_TEST_SUITE_P(Stopping, AppSignals, ::testing::Values(SIGHUP, SIGQUIT, SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& i) { return std::string(sigabbrev_np(i.param)); });

// Started to ignore hang-ups (nohup), the run goes on through one.
TEST(AppSignalsIgnored, HangUpIgnoredByTheCallerStaysIgnored) {
    const std::string dir = testutil::makeTempDir("app_nohup");
    Background job({"--engine", "cpu", "--size", "256", "--preset", "veryslow", kSample, dir + "/out.mp4"}, {SIGHUP});
    ASSERT_GT(job.pid(), 0);
    ASSERT_TRUE(job.waitFor([&] { return hasPart(dir); })) << "the run ended before it wrote anything";
    ::kill(job.pid(), SIGHUP);
    std::string err;
    const int status = job.wait(err);
    ASSERT_TRUE(WIFEXITED(status)) << err;
    EXPECT_EQ(WEXITSTATUS(status), 0) << err;
    EXPECT_EQ(listDir(dir), std::vector<std::string>{"out.mp4"});
}

// ---- what cannot be written ----

// A script reading --info, --calibrate or --help learns that their text was lost.
TEST(AppOutput, FullStandardOutputFailsInfoCalibrateAndHelp) {
    const std::string clip = smallClip();
    ASSERT_FALSE(clip.empty());
    for (const char* run : {"--info ", "--calibrate ", "--help "}) {
        Result r = stitch(std::string(run) + quote(clip) + " >/dev/full");
        EXPECT_EQ(r.code, 5) << run << r.err;
        EXPECT_NE(r.err.find("stitcher: error: cannot write to standard output: No space left on device"),
                  std::string::npos)
            << run << r.err;
    }
}

// A disk that fills up: the output cannot be written (5), for a video as for
// pictures, and the message names it.
TEST(AppOutput, FullDiskIsAnOutputError) {
    const std::string dir = testutil::makeTempDir("app_full");
    if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
    struct Unmount {
        std::string dir;
        ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
    } unmount{dir};
    for (const std::string& name : {dir + "/out.mp4", dir + "/f%03d.png"}) {
        Result r = stitch("--size 512 --no-audio --preset ultrafast " + quote(kSample) + " " + quote(name));
        const std::string shown = name.find('%') != std::string::npos ? dir + "/f001.png" : name;
        EXPECT_EQ(r.code, 5) << name << ": " << r.err;
        EXPECT_NE(r.err.find("cannot write " + shown + ": No space left on device; nothing was written"),
                  std::string::npos)
            << r.err;
        EXPECT_TRUE(listDir(dir).empty()) << name << ": " << listDir(dir).size() << " files left";
    }
}

// ---- names ----

// After "--" a clip may begin with "-"; "%%" in a single output is a "%".
TEST(AppNames, DoubleDashEndsTheOptionsAndDoublePercentIsAPercent) {
    const std::string dir = testutil::makeTempDir("app_names");
    ASSERT_EQ(::symlink(kSample.c_str(), (dir + "/-x.mp4").c_str()), 0);
    Result r = stitch("--size 32 --frame 2 -- -x.mp4 '100%%.png'", dir);
    EXPECT_EQ(r.code, 0) << r.err;
    Result v = stitch("--size 32 --frames 2 --preset ultrafast -- -x.mp4 'a%%b.mp4'", dir);
    EXPECT_EQ(v.code, 0) << v.err;
    EXPECT_EQ(listDir(dir), (std::vector<std::string>{"-x.mp4", "100%.png", "a%b.mp4"}));
}

// The output named again as the motion file: refused as a bad command line
// before any work, and with -y the existing file is left as it was.
TEST(AppNames, OutputNamedTwiceIsRefusedBeforeAnyWork) {
    const std::string dir = testutil::makeTempDir("app_twice");
    ASSERT_TRUE(testutil::writeFile(dir + "/out.mp4", "old"));
    Result r = stitch("-y --size 32 --stabilize smooth --motion-out ./out.mp4 " + quote(kSample) + " out.mp4", dir);
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_NE(r.err.find("stitcher: error: the output out.mp4 and --motion-out ./out.mp4 are the same file"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("analysing"), std::string::npos) << r.err;
    EXPECT_TRUE(testutil::readFile(dir + "/out.mp4") == "old");
    EXPECT_EQ(listDir(dir), std::vector<std::string>{"out.mp4"});
}

// H.264 in a Matroska file is refused for what it is.
TEST(AppNames, ClipInAnotherContainerIsNamedSo) {
    const std::string mkv = testutil::makeClip(
        "app_h264.mkv", "-f lavfi -i testsrc=size=320x160:rate=25:duration=1 -c:v libx264 -g 10 -pix_fmt yuv420p");
    ASSERT_FALSE(mkv.empty());
    Result r = stitch("--info " + quote(mkv));
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_NE(r.err.find("not an MP4 file (it is Matroska"), std::string::npos) << r.err;
}

// ---- -v ----

// The libraries' own lines do not mix with the stitcher's output: they come
// on standard error, marked as theirs.
TEST(AppVerbose, LibraryLinesAreMarkedAndKeptOffStandardOutput) {
    Result r = stitch("-v --info " + quote(kSample));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("clip: ", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find("\n2\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\n2_"), std::string::npos) << r.out;
    // The renderer's lines, each a line of its own: its echo of the
    // calibration (the lens count) and its context's progress.
    Result g = stitch("-v --engine gl --size 32 --frame 1 " + quote(kSample) + " one.png",
                      testutil::makeTempDir("app_verbose"));
    ASSERT_EQ(g.code, 0) << g.err;
    EXPECT_EQ(g.out, "");
    EXPECT_NE(g.err.find("stitcher: library: 2\n"), std::string::npos) << g.err;
    EXPECT_NE(g.err.find("stitcher: library: init opengl begin\n"), std::string::npos) << g.err;
    // FFmpeg's lines about the video's encoder and muxer.
    Result v = stitch("-v --engine cpu --size 16 --frames 2 --preset ultrafast " + quote(kSample) + " v.mp4",
                      testutil::makeTempDir("app_verbose"));
    ASSERT_EQ(v.code, 0) << v.err;
    EXPECT_NE(v.err.find("stitcher: library: [libx264 @ "), std::string::npos) << v.err;
    for (const std::string& err : {r.err, g.err, v.err})
        for (size_t at = 0, nl; at < err.size(); at = nl + 1) {
            nl = err.find('\n', at);
            if (nl == std::string::npos) nl = err.size();
            EXPECT_EQ(err.compare(at, 10, "stitcher: "), 0) << err.substr(at, nl - at);
        }
}

}  // namespace
