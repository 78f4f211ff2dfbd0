// Process-wide levelled, rotating diagnostics log.
//
// One unit, two builds: libdec's (file under the user's application-support
// folder, 5 MiB rotation) and the renderer library's (MYLOG_RENDERER_VARIANT:
// ./log/renderer.log, 10 MiB, every line echoed to standard output).
#pragma once

#include <pthread.h>

#include <cstdio>
#include <functional>
#include <string>

#define MYLOG_ERROR 0
#define MYLOG_INFO 1
// Only for the host's message sink: why something failed, which the library
// otherwise writes on standard error.
#define MYLOG_REASON 2
// Only for the host's message sink: the log's own complaints about its folder
// or file (printed like an error where no sink is set). A host may leave them
// out: the log is optional.
#define MYLOG_ABOUT_LOG 3

class CMyLog {
public:
    static CMyLog* GetInstance();

    void Log(unsigned char level, const char* file, int line, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
#ifndef MYLOG_RENDERER_VARIANT
    void Log(unsigned char level, const char* text);
#endif
    void ChangeLogFile();

    ~CMyLog();

#ifdef MYLOG_TEST_SEAM
public:
#else
private:
#endif
    CMyLog();
    CMyLog(const CMyLog&) = delete;
    CMyLog& operator=(const CMyLog&) = delete;

    FILE* m_FpLog;
    int m_maxFileSize;
    unsigned char m_level;
#ifndef MYLOG_RENDERER_VARIANT
    std::string m_logDir;
#endif
    pthread_mutex_t m_mutex;

public:
    // Test seam: lowers the rotation threshold (tests only; no caller in the libraries).
    void SetMaxFileSizeForTest(int bytes) { m_maxFileSize = bytes; }
};

// Convenience for the library's own call sites: level, then printf-style message.
#define LOGE(...) CMyLog::GetInstance()->Log(MYLOG_ERROR, __FILE__, __LINE__, __VA_ARGS__)
#define LOGI(...) CMyLog::GetInstance()->Log(MYLOG_INFO, __FILE__, __LINE__, __VA_ARGS__)

// Messages the library prints for its host on standard output. A host of
// our own may take them instead: with a sink set, each message reaches it
// as one line (its line ends removed) and nothing is printed; without one
// they are printed exactly as given.
namespace libmsg {
using Sink = std::function<void(int level, const std::string& line)>;  // level: MYLOG_ERROR, _INFO, _REASON or _ABOUT_LOG
void SetSink(Sink sink);  // empty: standard output again
Sink GetSink();
// As printf, or one line to the sink.
void Print(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// As puts (a line end added), or one line to the sink.
void Puts(int level, const char* text);
// As fputs to standard error, or each of its lines to the sink (MYLOG_REASON).
void Reason(const char* text);
}  // namespace libmsg
