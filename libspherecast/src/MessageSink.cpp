// The internal interface's way to the renderer's messages.
#include "log/MyLog.h"
#include "spherecast_internal.h"

namespace spherecast {

void SetMessageSink(MessageSink sink) {
    try {
        libmsg::SetSink(std::move(sink));
    } catch (...) {
    }
}

MessageSink GetMessageSink() {
    try {
        return libmsg::GetSink();
    } catch (...) {
        return MessageSink();
    }
}

}  // namespace spherecast
