#include "test_clips.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace testutil {

std::string clipDir() {
    // A test run that builds the tree several times (the sanitizer builds
    // after the regular one) names one folder for all of them, so that each
    // clip is made once, by the first build that asks for it: ffmpeg's clips
    // are the same from any build (and remade whenever their recipe
    // changes), the sample maker's the same pictures up to rounding.
    const char* shared = std::getenv("DFS_TEST_CLIP_DIR");
    std::string dir = shared && *shared ? shared : DFS_TEST_CLIP_DIR;
    ::mkdir(dir.c_str(), 0755);
    return dir;
}

int runCommand(const std::string& cmd) {
    int rc = std::system(cmd.c_str());
    if (rc == -1) return -1;
    if (WIFEXITED(rc)) return WEXITSTATUS(rc);
    return 128 + (WIFSIGNALED(rc) ? WTERMSIG(rc) : 0);
}

std::string captureCommand(const std::string& cmd, int* status) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) {
        if (status) *status = -1;
        return out;
    }
    std::array<char, 4096> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    int rc = ::pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

std::string makeClip(const std::string& name, const std::string& ffmpegArgs) {
    std::string path = clipDir() + "/" + name;
    // A clip is reused only when it was made from the same arguments: a test
    // whose recipe changed under the same name gets the clip it now asks for.
    const std::string recipe = path + ".args";
    // Tests running side by side may want the same clip: one makes it while
    // the others wait, so none reads a clip that another is replacing.
    const int lock = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock >= 0) ::flock(lock, LOCK_EX);
    struct Unlock {
        int fd;
        ~Unlock() { if (fd >= 0) ::close(fd); }
    } unlock{lock};
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && st.st_size > 0 && readFile(recipe) == ffmpegArgs) return path;
    std::string tmp = path + ".tmp" + std::to_string(::getpid()) + "." +
                      name.substr(name.find_last_of('.') == std::string::npos ? name.size()
                                                                               : name.find_last_of('.') + 1);
    std::string cmd = "ffmpeg -hide_banner -loglevel error -nostdin -y " + ffmpegArgs + " '" + tmp + "'";
    int rc = runCommand(cmd);
    if (rc != 0) {
        ADD_FAILURE() << "ffmpeg failed (" << rc << "): " << cmd;
        ::unlink(tmp.c_str());
        return std::string();
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        ADD_FAILURE() << "cannot rename " << tmp << " to " << path;
        return std::string();
    }
    std::ofstream(recipe, std::ios::binary | std::ios::trunc) << ffmpegArgs;
    return path;
}

namespace {

// The folders made by makeTempDir, removed with everything in them when the
// test program ends normally (a crashed one leaves them to look at).
class TempDirs {
public:
    ~TempDirs() {
        std::error_code ignored;
        for (const std::string& dir : dirs_) std::filesystem::remove_all(dir, ignored);
    }
    void add(const std::string& dir) {
        std::lock_guard<std::mutex> lock(mutex_);
        dirs_.push_back(dir);
    }

private:
    std::mutex mutex_;
    std::vector<std::string> dirs_;
};

TempDirs& tempDirs() {
    static TempDirs dirs;
    return dirs;
}

}  // namespace

std::string makeTempDir(const std::string& prefix) {
    std::string templ = "/tmp/" + prefix + "XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) return std::string();
    tempDirs().add(buf.data());
    return std::string(buf.data());
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string();
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool writeFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

std::string damagedCopy(const std::string& clip, uint64_t offset, uint64_t size, bool zeros) {
    std::string bytes = readFile(clip);
    if (offset > bytes.size() || size > bytes.size() - offset) {
        ADD_FAILURE() << "bytes " << offset << "+" << size << " lie outside " << clip;
        return std::string();
    }
    for (uint64_t i = 0; i < size; ++i) bytes[offset + i] = zeros ? '\0' : static_cast<char>(0xA5 ^ (i * 29));
    std::string path = makeTempDir("damaged") + "/" + clip.substr(clip.find_last_of('/') + 1);
    if (!writeFile(path, bytes)) {
        ADD_FAILURE() << "cannot write " << path;
        return std::string();
    }
    return path;
}

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

#if defined(__SANITIZE_ADDRESS__)
#define TEST_CLIPS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TEST_CLIPS_ASAN 1
#endif
#endif

std::string driverPin() {
#ifdef TEST_CLIPS_ASAN
    for (const char* p : {"/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so", "/usr/lib/aarch64-linux-gnu/dri/swrast_dri.so"})
        if (::access(p, R_OK) == 0) return std::string("LD_PRELOAD=") + p + " ";
#endif
    return "";
}

StitcherRun runStitcher(const std::string& args, const std::string& dir) {
    const std::string err = makeTempDir("stitcher_run") + "/err";
    StitcherRun r;
    // The CPU engine unless the run names one: an option given twice draws a warning.
    const std::string engine = args.find("--engine ") == std::string::npos ? " --engine cpu " : " ";
    r.out = captureCommand("cd " + quote(dir) + " && env -u DISPLAY -u WAYLAND_DISPLAY " + driverPin() +
                               quote(std::string(DFS_BINARY_DIR) + "/stitcher/stitcher") + engine + args +
                               " 2>" + quote(err),
                           &r.code);
    r.err = readFile(err);
    return r;
}

}  // namespace testutil
