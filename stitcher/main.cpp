// stitcher: turns a dual-fisheye clip into a 360 panorama video or pictures.
// Drives libdec (clip reading) and libspherecast (GPU stitching) through their
// exported interfaces only, the way a plug-in host does.
//
// Three threads: the decoder reads frames ahead, the main thread (which owns
// the renderer's GL context) stitches, the writer encodes and muxes. Calls on
// the clip session come from one thread at a time (session mutex).
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "Options.h"
#include "Spherecast.h"
#include "Writers.h"
#include "libdec.h"

using namespace stitcher;

namespace {

const char* kDefaultOffset =
    "2_713.649_713.933_708.05_-2.65_-1.599_-0.358_712.403_2165.5_727.583_177.35_-180.54_0.176_2880_1440_516";

#if defined(__SANITIZE_ADDRESS__)
#define STITCHER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define STITCHER_ASAN 1
#endif
#endif
#ifdef STITCHER_ASAN
// Sanitizer builds: Mesa's software driver is unloaded when the display
// closes, and leak reports about its allocations would then name no module
// (and escape the driver suppressions). Keep it mapped until exit.
void* const g_driverPin = [] {
    for (const char* p : {"/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so", "/usr/lib/aarch64-linux-gnu/dri/swrast_dri.so"})
        if (void* h = ::dlopen(p, RTLD_NOW | RTLD_GLOBAL)) return h;
    return static_cast<void*>(nullptr);
}();
#endif

std::atomic<bool> g_interrupted{false};
FILE* g_out = stdout;  // the user's standard output (fd 1 may be silenced)
bool g_verbose = false;

void onSignal(int) { g_interrupted = true; }

void errorf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void errorf(const char* fmt, ...) {
    std::fputs("stitcher: error: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
}

void warnf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void warnf(const char* fmt, ...) {
    std::fputs("stitcher: warning: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
}

// libspherecast prints progress to standard output; unless verbose, fd 1 goes
// to /dev/null for the whole run and our own output uses a copy of it.
void silenceLibraryOutput(bool verbose) {
    std::fflush(stdout);
    int copy = ::dup(1);
    if (copy >= 0) {
        ::fcntl(copy, F_SETFD, FD_CLOEXEC);
        if (FILE* f = ::fdopen(copy, "w")) g_out = f;
    }
    if (verbose) return;
    int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devnull >= 0) {
        ::dup2(devnull, 1);
        ::close(devnull);
    }
}

// ---- calibration ----

struct Calibration {
    bool ok = false;
    std::string why;
    int lenses = 0;
    double lens[2][6] = {};
    int imageWidth = 0, imageHeight = 0;
    unsigned lensCode = 260;
};

// What the renderer needs beyond the acceptance rule: two lenses and the
// image size (15 fields).
Calibration parseCalibration(const std::string& text) {
    Calibration c;
    std::string s = text;
    std::vector<std::string> fields;
    split(s, "_", fields);
    if (fields.empty() || fields[0].empty()) {
        c.why = "empty calibration";
        return c;
    }
    c.lenses = std::atoi(fields[0].c_str());
    if (c.lenses != 2) {
        c.why = "the renderer needs 2 lenses, the calibration has " + std::to_string(c.lenses);
        return c;
    }
    if (fields.size() < 15) {
        c.why = "the calibration has " + std::to_string(fields.size()) + " fields, the renderer needs 15 or 16";
        return c;
    }
    for (int b = 0; b < 2; ++b)
        for (int k = 0; k < 6; ++k) c.lens[b][k] = std::atof(fields[1 + 6 * b + k].c_str());
    c.imageWidth = static_cast<int>(std::atof(fields[13].c_str()));
    c.imageHeight = static_cast<int>(std::atof(fields[14].c_str()));
    if (fields.size() > 15) c.lensCode = static_cast<unsigned>(std::atof(fields[15].c_str()));
    if (c.imageWidth <= 0 || c.imageHeight <= 0) {
        c.why = "the calibration's image size is not positive";
        return c;
    }
    if (c.lens[0][0] <= 0 || c.lens[1][0] <= 0) {
        c.why = "a lens radius in the calibration is not positive";
        return c;
    }
    c.ok = true;
    return c;
}

// Panorama height that keeps the source's sharpest detail: the pixel density
// at the centre of the lens image (the lens polynomial's slope at 0), spread
// over 180 degrees, rounded to a multiple of 16.
int defaultSize(const Calibration& c, int frameWidth) {
    int type = static_cast<int>(c.lensCode & 255);
    double slope = type == 2 ? 0.0192 : type == 5 ? 0.0169 : 0.0183;
    double half = type == 2 ? 105.0 : type == 5 ? 110.0 : 118.0;
    auto map = [type](double t) {
        if (type == 5) return 0.0169 * t - 3.77e-5 * t * t + 6.883e-7 * std::pow(t, 3) - 4.166e-9 * std::pow(t, 4);
        if (type == 2) return 0.0192 * t - 7.897e-6 * t * t - 1.045e-7 * std::pow(t, 3) - 2.494e-9 * std::pow(t, 4);
        return 0.0183 * t + 8.474e-6 * t * t - 5.955e-7 * std::pow(t, 3) + 1.014e-9 * std::pow(t, 4) + 0.0007;
    };
    double radius = std::max(c.lens[0][0], c.lens[1][0]) * frameWidth / c.imageWidth;
    double perDegree = radius * slope / map(half);
    int size = static_cast<int>(std::lround(180.0 * perDegree / 16.0)) * 16;
    return std::max(64, std::min(4096, size));
}

// ---- clip ----

struct Clip {
    void* handle = nullptr;
    _MediaInfo info{};
    std::mutex mutex;
    ~Clip() {
        if (handle) PRDClose(handle);
    }
};

// Why libdec could not open the clip, found with libavformat.
std::string diagnoseClip(const std::string& path, int& code) {
    code = kExitInput;
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0)
        return "cannot read " + path + ": not an MP4 clip";
    std::string why;
    if (avformat_find_stream_info(fmt, nullptr) < 0) {
        why = "cannot read " + path + ": damaged or unknown format";
    } else {
        int video = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (video < 0) {
            why = path + " has no video track";
        } else if (fmt->streams[video]->codecpar->codec_id != AV_CODEC_ID_H264) {
            why = path + ": the video is not H.264 (" + avcodec_get_name(fmt->streams[video]->codecpar->codec_id) + ")";
        } else {
            why = "cannot read " + path +
                  ": the clip's H.264 video, MP4 structure or AAC audio is not readable"
                  " (the video needs at least three frames and two key frames)";
        }
    }
    avformat_close_input(&fmt);
    return why;
}

bool openClip(const std::string& path, Clip& clip, int& code, std::string& error) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        code = kExitInput;
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        code = kExitInput;
        error = path + " is a folder, not a clip";
        return false;
    }
    if (::access(path.c_str(), R_OK) != 0) {
        code = kExitInput;
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    clip.handle = PRDOpen(path.c_str());
    if (!clip.handle) {
        error = diagnoseClip(path, code);
        return false;
    }
    PRDGetMediaInfo(clip.handle, clip.info);
    if (!clip.info.hasVideo || clip.info.frames == 0 || clip.info.width == 0 || clip.info.height == 0) {
        code = kExitInput;
        error = path + " has no video track";
        return false;
    }
    return true;
}

// Frame rate as a fraction: exact for whole rates and the NTSC family.
AVRational frameRate(double fps) {
    if (!(fps > 0) || !std::isfinite(fps)) return AVRational{0, 1};
    double whole = std::round(fps);
    if (std::fabs(fps - whole) < 1e-6 * fps) return AVRational{static_cast<int>(whole), 1};
    double ntsc = std::round(fps * 1.001);
    if (std::fabs(fps * 1.001 - ntsc) < 1e-4) return AVRational{static_cast<int>(ntsc * 1000), 1001};
    return av_d2q(fps, 1 << 20);
}

std::string describeOffsetSource(const std::string& offset) {
    return offset == kDefaultOffset ? " (the built-in default: the clip names none)" : "";
}

int printInfo(const std::string& path, Clip& clip) {
    const _MediaInfo& m = clip.info;
    FILE* o = g_out;
    std::fprintf(o, "clip: %s\n", path.c_str());
    AVRational r = frameRate(m.fps);
    std::fprintf(o, "video: H.264 %ux%u, %u frames at %.6g fps (%d/%d), %.3f s\n", m.width, m.height, m.frames, m.fps,
                 r.num, r.den, m.fps > 0 ? m.frames / m.fps : 0.0);
    if (m.hasAudio)
        std::fprintf(o, "audio: AAC %u Hz, %u channel%s, %lld samples, %.3f s\n", m.samplerate, m.channels,
                     m.channels == 1 ? "" : "s", static_cast<long long>(m.samples),
                     m.samplerate ? static_cast<double>(m.samples) / m.samplerate : 0.0);
    else
        std::fprintf(o, "audio: none\n");
    char* offset = nullptr;
    if (PRDGetOffset(clip.handle, offset) == 0 && offset) {
        std::string text = offset;
        std::fprintf(o, "calibration: %s%s\n", text.c_str(), describeOffsetSource(text).c_str());
        Calibration c = parseCalibration(trimOffset(text.c_str(), text.size()));
        if (c.ok) {
            std::fprintf(o, "  image %dx%d, lens code %u (type %u)\n", c.imageWidth, c.imageHeight, c.lensCode,
                         c.lensCode & 255);
            for (int b = 0; b < 2; ++b)
                std::fprintf(o, "  lens %d: radius %.3f, centre (%.3f, %.3f), yaw %.3f, pitch %.3f, roll %.3f\n", b,
                             c.lens[b][0], c.lens[b][1], c.lens[b][2], c.lens[b][3], c.lens[b][4], c.lens[b][5]);
            std::fprintf(o, "  default panorama: %dx%d\n", 2 * defaultSize(c, m.width), defaultSize(c, m.width));
        } else {
            std::fprintf(o, "  not usable for stitching: %s\n", c.why.c_str());
        }
    } else {
        std::fprintf(o, "calibration: none found (the clip's tags cannot be read)\n");
    }
    char* comment = nullptr;
    PRDGetVideoComment(clip.handle, comment);
    std::fprintf(o, "comment: %s\n", comment ? comment : "(none)");
    delete[] comment;
    std::fflush(o);
    return kExitOk;
}

// ---- output files ----

std::string folderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A hidden name beside the final one; renamed into place once complete.
std::string tempNameFor(const std::string& path) {
    std::string folder = folderOf(path);
    std::string prefix = path.find('/') == std::string::npos ? "" : folder + "/";
    return prefix + "." + baseOf(path) + "." + std::to_string(::getpid()) + ".part";
}

std::string frameFileName(const std::string& pattern, long long frame) {
    std::vector<char> buf(pattern.size() + 32);
    std::snprintf(buf.data(), buf.size(), pattern.c_str(), static_cast<int>(frame));
    return buf.data();
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Checks that the output can be created, before any work is done.
bool probeWritable(const std::string& finalName, int& code, std::string& error) {
    std::string folder = folderOf(finalName);
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0) {
        code = kExitOutput;
        error = "cannot write " + finalName + ": folder " + folder + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        code = kExitOutput;
        error = "cannot write " + finalName + ": " + folder + " is not a folder";
        return false;
    }
    if (exists(finalName)) {
        if (::stat(finalName.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            code = kExitOutput;
            error = "cannot write " + finalName + ": it is a folder";
            return false;
        }
    }
    std::string tmp = tempNameFor(finalName);
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        code = kExitOutput;
        error = "cannot write " + finalName + ": " + std::strerror(errno);
        return false;
    }
    ::close(fd);
    ::unlink(tmp.c_str());
    return true;
}

// ---- pipeline ----

struct Buffer {
    std::vector<uint8_t> data;
    long long frame = 0;
};

// Bounded hand-over between two threads; close() wakes everybody.
class Queue {
public:
    explicit Queue(size_t capacity) : capacity_(capacity) {}
    bool push(std::unique_ptr<Buffer> b) {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [&] { return closed_ || items_.size() < capacity_; });
        if (closed_) return false;
        items_.push_back(std::move(b));
        cv_.notify_all();
        return true;
    }
    // Null when closed and empty.
    std::unique_ptr<Buffer> pop() {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [&] { return closed_ || !items_.empty(); });
        if (items_.empty()) return nullptr;
        auto b = std::move(items_.front());
        items_.pop_front();
        cv_.notify_all();
        return b;
    }
    void close() {
        std::lock_guard<std::mutex> lock(m_);
        closed_ = true;
        cv_.notify_all();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::unique_ptr<Buffer>> items_;
    size_t capacity_;
    bool closed_ = false;
};

struct Failure {
    std::mutex m;
    std::string message;
    int code = kExitOk;
    std::atomic<bool> failed{false};
    void set(int c, const std::string& msg) {
        std::lock_guard<std::mutex> lock(m);
        if (failed) return;
        code = c;
        message = msg;
        failed = true;
    }
};

// Audio of the frame range, read in whole AAC frames from the session.
class AudioSource {
public:
    AudioSource(Clip& clip, int64_t first, int64_t total) : clip_(clip), pos_(first), end_(first + total) {
        channels_ = clip.info.channels;
        aacFrames_ = clip.info.samples / 1024;
    }
    // Hands the samples up to position `until` (per channel) to `sink`.
    template <class Sink>
    bool readUntil(int64_t until, Sink&& sink) {
        until = std::min(until, end_);
        while (pos_ < until) {
            int64_t aligned = pos_ / 1024 * 1024;
            int64_t skip = pos_ - aligned;
            int64_t want = until - pos_;
            int64_t frames = std::min<int64_t>((skip + want + 1023) / 1024, 32);
            frames = std::min(frames, aacFrames_ - aligned / 1024);
            int64_t take = 0;
            if (frames > 0 && !broken_) {
                unsigned char* pcm = nullptr;
                int rc;
                {
                    std::lock_guard<std::mutex> lock(clip_.mutex);
                    rc = PRDGetAudioSample(clip_.handle, aligned, frames * 1024, pcm);
                }
                if (rc == 0 && pcm) {
                    take = std::min(frames * 1024 - skip, want);
                    if (!sink(reinterpret_cast<const int16_t*>(pcm) + skip * channels_, static_cast<int>(take)))
                        return false;
                } else {
                    warnf("the clip's audio cannot be read from %.3f s on; the rest is silent",
                          static_cast<double>(aligned) / clip_.info.samplerate);
                    broken_ = true;
                }
            }
            if (take == 0) {
                // Past the end of the clip's audio: silence keeps it as long as the video.
                take = std::min<int64_t>(want, 4096);
                silence_.assign(static_cast<size_t>(take) * channels_, 0);
                if (!sink(silence_.data(), static_cast<int>(take))) return false;
            }
            pos_ += take;
        }
        return true;
    }

private:
    Clip& clip_;
    int64_t pos_, end_;
    int channels_ = 0;
    int64_t aacFrames_ = 0;
    bool broken_ = false;
    std::vector<int16_t> silence_;
};

std::string formatDuration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
    long s = std::lround(seconds);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

// View rotation (degrees) as the matrix the renderer takes: output direction ->
// direction looked up in the stitched panorama, m[i] = column i.
void rotationMatrix(double yaw, double pitch, double roll, float m[4][4]) {
    const double d = M_PI / 180.0;
    double cy = std::cos(yaw * d), sy = std::sin(yaw * d);
    double cp = std::cos(pitch * d), sp = std::sin(pitch * d);
    double cr = std::cos(roll * d), sr = std::sin(roll * d);
    double rz[3][3] = {{cy, -sy, 0}, {sy, cy, 0}, {0, 0, 1}};
    double ry[3][3] = {{cp, 0, sp}, {0, 1, 0}, {-sp, 0, cp}};
    double rx[3][3] = {{1, 0, 0}, {0, cr, -sr}, {0, sr, cr}};
    double t[3][3], r[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) t[i][j] = rz[i][0] * ry[0][j] + rz[i][1] * ry[1][j] + rz[i][2] * ry[2][j];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[i][j] = t[i][0] * rx[0][j] + t[i][1] * rx[1][j] + t[i][2] * rx[2][j];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) m[i][j] = (i < 3 && j < 3) ? static_cast<float>(r[j][i]) : (i == j ? 1.0f : 0.0f);
}

struct Job {
    Options opt;
    Clip* clip = nullptr;
    std::string offset;  // what the renderer gets
    int size = 0;
    int outWidth = 0, outHeight = 0;
    size_t outStride = 0;
    AVRational fps{0, 1};
    long long first = 1, count = 0;
    bool audio = false;
    std::string tempVideo;
    std::vector<std::string> written;  // final picture names written so far
};

bool anyOutputExists(const Job& job, std::string& which) {
    if (job.opt.kind == OutputKind::Sequence) {
        for (long long f = job.first; f < job.first + job.count; ++f) {
            std::string name = frameFileName(job.opt.output, f);
            if (exists(name)) {
                which = name;
                return true;
            }
        }
        return false;
    }
    which = job.opt.output;
    return exists(job.opt.output);
}

int run(Job& job) {
    Clip& clip = *job.clip;
    Options& opt = job.opt;
    Failure failure;

    // Renderer first: without a display nothing else is worth starting.
    Spherecast renderer(job.offset.c_str(), job.size, static_cast<int>(clip.info.width),
                        static_cast<int>(clip.info.height), opt.stereo ? Spherecast::Stereo : Spherecast::Stitch);
    if (!renderer.initRenderer(0, nullptr)) {
        errorf("no display available: the renderer needs an X display with OpenGL 3.3.\n"
               "  Run it headless with: xvfb-run -a stitcher ...");
        return kExitDisplay;
    }
    struct DeInit {
        Spherecast& r;
        ~DeInit() { r.deInitRenderer(); }
    } deInit{renderer};
    float m[4][4];
    rotationMatrix(opt.yaw, opt.pitch, opt.roll, m);
    renderer.updateRotation(m);

    VideoWriter writer;
    if (opt.kind == OutputKind::Video) {
        VideoSettings vs;
        vs.width = job.outWidth;
        vs.height = job.outHeight;
        vs.fpsNum = job.fps.num;
        vs.fpsDen = job.fps.den;
        vs.crf = opt.crf;
        vs.preset = opt.preset;
        vs.spherical = !opt.stereo;
        if (job.audio) {
            vs.audioRate = static_cast<int>(clip.info.samplerate);
            vs.audioChannels = clip.info.channels;
        }
        std::string err;
        if (!writer.open(job.tempVideo, vs, err)) {
            ::unlink(job.tempVideo.c_str());
            errorf("%s", err.c_str());
            return kExitOutput;
        }
    }

    const size_t inBytes = static_cast<size_t>(clip.info.width) * clip.info.height * 3;
    const size_t outBytes = job.outStride * job.outHeight;
    Queue decoded(3), freeIn(4), rendered(3), freeOut(4);
    for (int i = 0; i < 4; ++i) {
        auto a = std::make_unique<Buffer>();
        a->data.resize(inBytes);
        freeIn.push(std::move(a));
        auto b = std::make_unique<Buffer>();
        b->data.resize(outBytes);
        freeOut.push(std::move(b));
    }
    auto stopAll = [&] {
        decoded.close();
        freeIn.close();
        rendered.close();
        freeOut.close();
    };

    using Clock = std::chrono::steady_clock;
    auto since = [](Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); };
    double decodeBusy = 0, stitchBusy = 0, encodeBusy = 0;  // seconds each stage worked

    std::thread decoder([&] {
        for (long long f = job.first; f < job.first + job.count; ++f) {
            if (g_interrupted || failure.failed) break;
            auto buf = freeIn.pop();
            if (!buf) break;
            unsigned char* pic = nullptr;
            int rc;
            auto t = Clock::now();
            {
                std::lock_guard<std::mutex> lock(clip.mutex);
                rc = PRDGetVideoFrame(clip.handle, f, pic);
                if (rc == 0 && pic) std::memcpy(buf->data.data(), pic, inBytes);
            }
            decodeBusy += since(t);
            if (rc != 0 || !pic) {
                failure.set(kExitFailed, "cannot decode frame " + std::to_string(f) + " of " + opt.input);
                break;
            }
            buf->frame = f;
            if (!decoded.push(std::move(buf))) break;
        }
        decoded.close();
    });

    std::thread encoder([&] {
        const int64_t rate = job.audio ? clip.info.samplerate : 0;
        AudioSource audio(clip, rate ? av_rescale(job.first - 1, rate * job.fps.den, job.fps.num) : 0,
                          rate ? av_rescale(job.count, rate * job.fps.den, job.fps.num) : 0);
        long long index = 0;
        std::string err;
        auto sink = [&](const int16_t* pcm, int n) {
            if (writer.writeAudio(pcm, n, err)) return true;
            failure.set(kExitFailed, err);
            return false;
        };
        while (auto buf = rendered.pop()) {
            if (g_interrupted || failure.failed) break;
            auto t = Clock::now();
            if (opt.kind == OutputKind::Video) {
                if (!writer.writeVideo(buf->data.data(), static_cast<int>(job.outStride), err)) {
                    failure.set(kExitFailed, err);
                    break;
                }
                ++index;
                if (rate && !audio.readUntil(av_rescale(job.first - 1 + index, rate * job.fps.den, job.fps.num), sink))
                    break;
            } else {
                std::string name =
                    opt.kind == OutputKind::Sequence ? frameFileName(opt.output, buf->frame) : opt.output;
                std::string tmp = tempNameFor(name);
                if (!writePng(tmp, buf->data.data(), static_cast<int>(job.outStride), job.outWidth, job.outHeight, err)) {
                    ::unlink(tmp.c_str());
                    failure.set(kExitOutput, err);
                    break;
                }
                if (std::rename(tmp.c_str(), name.c_str()) != 0) {
                    failure.set(kExitOutput, "cannot write " + name + ": " + std::strerror(errno));
                    ::unlink(tmp.c_str());
                    break;
                }
                job.written.push_back(name);
            }
            encodeBusy += since(t);
            if (!freeOut.push(std::move(buf))) break;
        }
        // Unblock the renderer if we stopped early.
        if (g_interrupted || failure.failed) stopAll();
    });

    // Stitching on this thread: the GL context lives here.
    const bool tty = ::isatty(2);
    auto t0 = std::chrono::steady_clock::now();
    auto lastShown = t0 - std::chrono::seconds(1);
    long long done = 0;
    while (true) {
        if (g_interrupted || failure.failed) break;
        auto in = decoded.pop();
        if (!in) break;
        auto out = freeOut.pop();
        if (!out) break;
        auto t = Clock::now();
        renderer.setData(in->data.data());
        renderer.render(out->data.data());
        stitchBusy += since(t);
        if (g_verbose) std::fflush(stdout);
        out->frame = in->frame;
        if (!freeIn.push(std::move(in))) break;
        if (!rendered.push(std::move(out))) break;
        ++done;
        auto now = std::chrono::steady_clock::now();
        if (tty && (now - lastShown > std::chrono::milliseconds(200) || done == job.count)) {
            lastShown = now;
            double secs = std::chrono::duration<double>(now - t0).count();
            double fps = secs > 0 ? done / secs : 0;
            std::fprintf(stderr, "\rframe %lld of %lld  %.1f fps  ETA %s   ", done, job.count, fps,
                         formatDuration(fps > 0 ? (job.count - done) / fps : 0).c_str());
            std::fflush(stderr);
        }
    }
    rendered.close();
    if (g_interrupted || failure.failed) stopAll();
    decoder.join();
    encoder.join();
    if (tty) std::fputc('\n', stderr);

    if (!failure.failed && !g_interrupted && done != job.count)
        failure.set(kExitFailed, "stopped after " + std::to_string(done) + " of " + std::to_string(job.count) + " frames");
    if (!failure.failed && !g_interrupted && opt.kind == OutputKind::Video) {
        std::string err;
        if (!writer.finish(err)) failure.set(kExitOutput, err);
    }
    if (failure.failed || g_interrupted) {
        if (opt.kind == OutputKind::Video) ::unlink(job.tempVideo.c_str());
        for (const auto& name : job.written) ::unlink(name.c_str());
        if (g_interrupted) {
            errorf("interrupted; nothing was written");
            return kExitInterrupted;
        }
        errorf("%s; nothing was written", failure.message.c_str());
        return failure.code;
    }
    if (opt.kind == OutputKind::Video && std::rename(job.tempVideo.c_str(), opt.output.c_str()) != 0) {
        errorf("cannot write %s: %s", opt.output.c_str(), std::strerror(errno));
        ::unlink(job.tempVideo.c_str());
        return kExitOutput;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (opt.verbose)
        std::fprintf(stderr, "stitcher: busy seconds per stage: decode %.2f, stitch %.2f, encode/write %.2f\n",
                     decodeBusy, stitchBusy, encodeBusy);
    std::fprintf(stderr, "stitcher: %lld frame%s %dx%d %s in %.2f s (%.1f fps) -> %s\n", done, done == 1 ? "" : "s",
                 job.outWidth, job.outHeight, opt.stereo ? "stereo" : "360", secs, secs > 0 ? done / secs : 0.0,
                 opt.output.c_str());
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    int code = kExitOk;
    std::string error;
    if (!parseOptions(argc, argv, opt, code, error)) {
        if (code == kExitOk) {
            std::fputs(usageText(), stdout);
            return kExitOk;
        }
        errorf("%s", error.c_str());
        std::fputs("Run 'stitcher --help' for the options.\n", stderr);
        return code;
    }
    g_verbose = opt.verbose;
    silenceLibraryOutput(opt.verbose);
    // libdec's decoder logs through FFmpeg as well: quiet unless verbose.
    av_log_set_level(opt.verbose ? AV_LOG_INFO : AV_LOG_QUIET);
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    // Output checks that need no clip come first.
    if (!opt.info && opt.kind != OutputKind::Sequence && !probeWritable(opt.output, code, error)) {
        errorf("%s", error.c_str());
        return code;
    }

    Clip clip;
    if (!openClip(opt.input, clip, code, error)) {
        errorf("%s", error.c_str());
        return code;
    }
    if (opt.info) return printInfo(opt.input, clip);

    Job job;
    job.opt = opt;
    job.clip = &clip;

    // Calibration: the override, else the clip's own.
    std::string offset;
    if (opt.haveOffset) {
        if (!isOffsetValid(opt.offset.c_str())) {
            errorf("invalid --offset '%s': expected 2_radius_x_y_yaw_pitch_roll (per lens)_width_height[_code]",
                   opt.offset.c_str());
            return kExitOffset;
        }
        offset = trimOffset(opt.offset.c_str(), opt.offset.size());
    } else {
        char* text = nullptr;
        if (PRDGetOffset(clip.handle, text) != 0 || !text) {
            errorf("%s names no lens calibration and its tags cannot be read; give one with --offset",
                   opt.input.c_str());
            return kExitOffset;
        }
        offset = trimOffset(text, std::strlen(text));
    }
    Calibration cal = parseCalibration(offset);
    if (!cal.ok) {
        errorf("%s calibration cannot be used: %s%s", opt.haveOffset ? "the --offset" : "the clip's", cal.why.c_str(),
               opt.haveOffset ? "" : "; give one with --offset");
        return kExitOffset;
    }
    job.offset = offset;

    const long long frames = clip.info.frames;
    if (opt.start > frames) {
        errorf("%s has %lld frames; frame %lld does not exist", opt.input.c_str(), frames, opt.start);
        return kExitUsage;
    }
    job.first = opt.start;
    job.count = opt.count ? opt.count : frames - opt.start + 1;
    if (job.first + job.count - 1 > frames) {
        errorf("%s has %lld frames; frames %lld to %lld were asked for", opt.input.c_str(), frames, job.first,
               job.first + job.count - 1);
        return kExitUsage;
    }
    job.fps = frameRate(clip.info.fps);
    if (opt.kind == OutputKind::Video && job.fps.num <= 0) {
        errorf("%s has no usable frame rate (%g)", opt.input.c_str(), clip.info.fps);
        return kExitInput;
    }
    job.size = opt.size ? opt.size : defaultSize(cal, static_cast<int>(clip.info.width));
    job.outWidth = 2 * job.size;
    job.outHeight = opt.stereo ? 2 * job.size : job.size;
    job.outStride = (static_cast<size_t>(job.outWidth) * 3 + 3) & ~static_cast<size_t>(3);

    job.audio = opt.kind == OutputKind::Video && opt.audio && clip.info.hasAudio;
    if (job.audio && (clip.info.samplerate == 0 || clip.info.channels == 0 || clip.info.channels > 8)) {
        warnf("the clip's audio (%u Hz, channel configuration %u) cannot be carried over; the video has no sound",
              clip.info.samplerate, clip.info.channels);
        job.audio = false;
    }

    struct stat in {}, out {};
    if (opt.kind != OutputKind::Sequence && ::stat(opt.input.c_str(), &in) == 0 &&
        ::stat(opt.output.c_str(), &out) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
        errorf("%s is the clip itself; choose another output name", opt.output.c_str());
        return kExitOutput;
    }
    std::string which;
    if (!opt.overwrite && anyOutputExists(job, which)) {
        errorf("%s exists; use -y to overwrite it", which.c_str());
        return kExitOutput;
    }
    if (opt.kind == OutputKind::Sequence &&
        !probeWritable(frameFileName(opt.output, job.first), code, error)) {
        errorf("%s", error.c_str());
        return code;
    }
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
        errorf("no display available: the renderer needs an X display with OpenGL 3.3.\n"
               "  Run it headless with: xvfb-run -a stitcher ...");
        return kExitDisplay;
    }
    if (opt.kind == OutputKind::Video) job.tempVideo = tempNameFor(opt.output);
    if (opt.verbose)
        std::fprintf(stderr, "stitcher: %s: %ux%u, frames %lld-%lld at %d/%d fps, calibration %s, panorama %dx%d\n",
                     opt.input.c_str(), clip.info.width, clip.info.height, job.first, job.first + job.count - 1,
                     job.fps.num, job.fps.den, offset.c_str(), job.outWidth, job.outHeight);
    return run(job);
}
