#include <cstdarg>
#include <cstdio>

#include "libdec.h"
#include "log/MyLog.h"

void PRDLog(unsigned char level, const char* file, int line, const char* format, ...) {
    char text[1024] = {0};
    if (format) {
        va_list ap;
        va_start(ap, format);
        // vsnprintf never writes past the buffer: longer messages are cut at 1023 characters.
        std::vsnprintf(text, sizeof(text), format, ap);
        va_end(ap);
    }
    CMyLog::GetInstance()->Log(level, text);
}
