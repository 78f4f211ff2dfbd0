#include "h264dec/FfLog.h"

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "libdec_internal.h"
#include "log/MyLog.h"

namespace fflog {
namespace {

std::mutex g_mutex;
std::atomic<libdec::FfmpegPrinter> g_printer{nullptr};  // for what is not adopted
std::vector<const void*> g_adopted;  // guarded by g_mutex
thread_local Hold* t_hold = nullptr;

bool IsAdopted(const void* ctx) {
    if (!ctx) return false;
    std::lock_guard<std::mutex> lock(g_mutex);
    return std::find(g_adopted.begin(), g_adopted.end(), ctx) != g_adopted.end();
}

void Write(unsigned char level, const std::string& text) {
    CMyLog::GetInstance()->Log(level, __FILE__, __LINE__, "%s", text.c_str());
}

void Route(void* avcl, int level, const char* fmt, va_list vl) {
    if (!IsAdopted(avcl)) {
        const libdec::FfmpegPrinter printer = g_printer.load();
        (printer ? printer : av_log_default_callback)(avcl, level, fmt, vl);
        return;
    }
    if (level > AV_LOG_TRACE) level -= kLevelOffset;  // this context logs with the offset
    unsigned char ours;
    if (level <= AV_LOG_ERROR)
        ours = MYLOG_ERROR;
    else if (level <= AV_LOG_INFO)
        ours = MYLOG_INFO;
    else
        return;  // verbose and debug chatter: below what the log keeps
    char text[1024];
    int n = std::vsnprintf(text, sizeof text, fmt ? fmt : "", vl);
    if (n < 0) return;
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.empty()) return;
    const AVClass* cls = *static_cast<const AVClass* const*>(avcl);
    const char* name = cls && cls->item_name ? cls->item_name(avcl) : nullptr;
    std::string message = std::string("[") + (name ? name : "ffmpeg") + "] " + line;
    if (t_hold)
        t_hold->Keep(ours, std::move(message));
    else
        Write(ours, message);
}

// Called from inside FFmpeg: nothing may be thrown through it.
void Callback(void* avcl, int level, const char* fmt, va_list vl) {
    try {
        Route(avcl, level, fmt, vl);
    } catch (...) {
    }
}

}  // namespace

void Install() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(Callback); });
}

void Adopt(const void* ctx) {
    if (!ctx) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_adopted.push_back(ctx);
}

void Release(const void* ctx) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = std::find(g_adopted.begin(), g_adopted.end(), ctx);
    if (it != g_adopted.end()) g_adopted.erase(it);
}

Hold::Hold() : outer_(t_hold) { t_hold = this; }

Hold::~Hold() {
    t_hold = outer_;
    if (dropped_) return;
    for (const auto& l : lines_) {
        if (outer_)
            outer_->Keep(l.first, l.second);
        else
            Write(l.first, l.second);
    }
}

void Hold::Keep(unsigned char level, std::string text) { lines_.emplace_back(level, std::move(text)); }

}  // namespace fflog

namespace libdec {

void SetFfmpegPrinter(FfmpegPrinter printer) {
    fflog::g_printer.store(printer);
    fflog::Install();
}

}  // namespace libdec
