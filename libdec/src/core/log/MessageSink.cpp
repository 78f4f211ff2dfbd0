// The internal interface's way to the library's messages.
#include "libdec_internal.h"
#include "log/MyLog.h"

namespace libdec {

void SetMessageSink(MessageSink sink) {
    try {
        libmsg::SetSink(std::move(sink));
    } catch (...) {
    }
}

}  // namespace libdec
