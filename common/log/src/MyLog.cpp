#include "log/MyLog.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

#ifdef MYLOG_RENDERER_VARIANT
const int kMaxFileSize = 10485760;
const char* const kLogDir = "./log";
const char* const kLogFile = "./log/renderer.log";
const char* const kOpenFailStart = "open log file fail\r";
const char* const kOpenFailRotate = "open log file fail\r";
#else
const int kMaxFileSize = 5242880;
#ifdef __APPLE__
const char* const kAppSupport = "/Library/Application Support";
#else
const char* const kAppSupport = "/.local/share";
#endif
const char* const kOpenFailStart = "Fail to open log file.";
const char* const kOpenFailRotate = "Failed to open log file.\r";
#endif

const char kLevelNames[3][10] = {"ERROR", "INFO ", "DEBUG"};

std::mutex gSinkMutex;
libmsg::Sink gSink;

// The sink, when one is set (a copy: a message never holds the lock).
libmsg::Sink CurrentSink() {
    std::lock_guard<std::mutex> lock(gSinkMutex);
    return gSink;
}

void ToSink(const libmsg::Sink& sink, int level, std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    try {
        sink(level, line);
    } catch (...) {
    }
}

struct tm LocalNow() {
    const time_t now = std::time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    return t;
}

// The line prefix: local date and time, then the level name and a space.
void WriteStamp(FILE* out, const struct tm& t, const char* name) {
    std::fprintf(out, "%04d-%02d-%02d %02d:%02d:%02d %s ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                 t.tm_hour, t.tm_min, t.tm_sec, name);
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Rename `from` to `to`, never replacing an archive already there (two
// rotations within one second would otherwise overwrite the first archive).
void RenameWithoutClobber(const std::string& from, const std::string& base, const char* ext) {
    std::string to = base + ext;
    for (int i = 1; Exists(to) && i < 1000; ++i) to = base + "_" + std::to_string(i) + ext;
    std::rename(from.c_str(), to.c_str());
}

}  // namespace

CMyLog* CMyLog::GetInstance() {
    // Function-local static: constructed exactly once even under concurrent first calls.
    static CMyLog* pLog = new CMyLog();
    return pLog;
}

CMyLog::CMyLog() : m_FpLog(nullptr), m_maxFileSize(kMaxFileSize), m_level(1) {
    pthread_mutex_init(&m_mutex, nullptr);
#ifdef MYLOG_RENDERER_VARIANT
    if (::access(kLogDir, F_OK) != 0) ::mkdir(kLogDir, 0755);
    m_FpLog = std::fopen(kLogFile, "a+");
    if (!m_FpLog) libmsg::Puts(MYLOG_ABOUT_LOG, kOpenFailStart);
#else
    const char* home = std::getenv("HOME");
    if (!home) {
        libmsg::Puts(MYLOG_ABOUT_LOG, "cann't get home dir");
        return;
    }
    m_logDir = std::string(home) + kAppSupport;
    if (!Exists(m_logDir)) {
        libmsg::Puts(MYLOG_ABOUT_LOG, (std::string("HOME") + kAppSupport + " dir not exist").c_str());
        return;
    }
    m_logDir += "/Vexlor";
    if (!Exists(m_logDir)) ::mkdir(m_logDir.c_str(), 0766);
    m_logDir += "/Trellum";
    if (!Exists(m_logDir)) ::mkdir(m_logDir.c_str(), 0766);
    m_FpLog = std::fopen((m_logDir + "/Plugin.log").c_str(), "a+");
    if (!m_FpLog) libmsg::Puts(MYLOG_ABOUT_LOG, kOpenFailStart);
#endif
}

CMyLog::~CMyLog() {
    if (m_FpLog) {
        std::fclose(m_FpLog);
        m_FpLog = nullptr;
    }
    pthread_mutex_destroy(&m_mutex);
#ifdef MYLOG_RENDERER_VARIANT
    libmsg::Puts(MYLOG_INFO, "log destroy\r");
#endif
}

void CMyLog::Log(unsigned char level, const char* file, int line, const char* format, ...) {
    if (level > m_level) return;
    pthread_mutex_lock(&m_mutex);
    const struct tm t = LocalNow();
    const char* name = level < 3 ? kLevelNames[level] : "";
#ifdef MYLOG_RENDERER_VARIANT
    if (const libmsg::Sink sink = CurrentSink()) {
        char stamp[64], text[1024];
        std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d %s ", t.tm_year + 1900, t.tm_mon + 1,
                      t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, name);
        va_list ap;
        va_start(ap, format);
        std::vsnprintf(text, sizeof text, format, ap);
        va_end(ap);
        ToSink(sink, level, std::string(stamp) + text + " " + file + ":" + std::to_string(line));
    } else {
        WriteStamp(stdout, t, name);
        va_list ap;
        va_start(ap, format);
        std::vprintf(format, ap);
        va_end(ap);
        std::printf(" %s:%d\r\n", file, line);
    }
#endif
    if (m_FpLog) {
        WriteStamp(m_FpLog, t, name);
        va_list ap;
        va_start(ap, format);
        std::vfprintf(m_FpLog, format, ap);
        va_end(ap);
        std::fprintf(m_FpLog, " %s:%d\r\n", file, line);
        std::fflush(m_FpLog);
        ChangeLogFile();
    }
    pthread_mutex_unlock(&m_mutex);
}

#ifndef MYLOG_RENDERER_VARIANT
void CMyLog::Log(unsigned char level, const char* text) {
    if (level > m_level) return;
    pthread_mutex_lock(&m_mutex);
    const struct tm t = LocalNow();
    if (m_FpLog) {
        WriteStamp(m_FpLog, t, kLevelNames[level]);
        std::fputs(text ? text : "", m_FpLog);
        std::fflush(m_FpLog);
        ChangeLogFile();
    }
    pthread_mutex_unlock(&m_mutex);
}
#endif

void CMyLog::ChangeLogFile() {
#ifdef MYLOG_RENDERER_VARIANT
    const std::string current = kLogFile;
#else
    const std::string current = m_logDir + "/Plugin.log";
#endif
    struct stat st;
    if (::stat(current.c_str(), &st) != 0 || st.st_size < m_maxFileSize) return;
    std::fclose(m_FpLog);
    m_FpLog = nullptr;
    time_t now = std::time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char name[64];
#ifdef MYLOG_RENDERER_VARIANT
    std::snprintf(name, sizeof(name), "./log/log%04d_%02d_%02d_%02d_%02d_%02d", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    RenameWithoutClobber(current, name, "");
#else
    std::snprintf(name, sizeof(name), "/Plugin_%04d_%02d_%02d_%02d_%02d_%02d", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    RenameWithoutClobber(current, m_logDir + name, ".log");
#endif
    m_FpLog = std::fopen(current.c_str(), "a+");
    if (!m_FpLog) libmsg::Puts(MYLOG_ABOUT_LOG, kOpenFailRotate);
}

namespace libmsg {

void SetSink(Sink sink) {
    std::lock_guard<std::mutex> lock(gSinkMutex);
    gSink = std::move(sink);
}

Sink GetSink() { return CurrentSink(); }

void Print(int level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    if (const Sink sink = CurrentSink()) {
        char text[1024];
        std::vsnprintf(text, sizeof text, format, ap);
        ToSink(sink, level, text);
    } else {
        std::vprintf(format, ap);
    }
    va_end(ap);
}

void Puts(int level, const char* text) {
    if (const Sink sink = CurrentSink())
        ToSink(sink, level, text ? text : "");
    else
        std::puts(text ? text : "");
}

void Reason(const char* text) {
    const Sink sink = CurrentSink();
    if (!sink) {
        std::fputs(text ? text : "", stderr);
        return;
    }
    const std::string all = text ? text : "";
    for (size_t at = 0; at < all.size();) {
        const size_t end = std::min(all.find('\n', at), all.size());
        if (end > at) ToSink(sink, MYLOG_REASON, all.substr(at, end - at));
        at = end + 1;
    }
}

}  // namespace libmsg
