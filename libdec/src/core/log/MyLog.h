// Process-wide levelled, rotating diagnostics log.
//
// One unit, two builds: libdec's (file under the user's application-support
// folder, 5 MiB rotation) and the renderer library's (MYLOG_RENDERER_VARIANT:
// ./log/renderer.log, 10 MiB, every line echoed to standard output).
#pragma once

#include <pthread.h>

#include <cstdio>
#include <string>

#define MYLOG_ERROR 0
#define MYLOG_INFO 1

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
