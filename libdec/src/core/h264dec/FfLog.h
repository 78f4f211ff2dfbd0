// FFmpeg's messages about libdec's own codec and scaler contexts go into
// libdec's log; messages about any other context go on to FFmpeg's default
// handler as before, so a host's own FFmpeg messages are left alone.
//
// FFmpeg has one log callback per process and no way to read the one that is
// installed, so the callback is installed once, when the first decoder is set
// up. Adopted codec contexts also log with a level offset (kLevelOffset): if a
// host later installs a callback of its own, libdec's messages reach it below
// every level that FFmpeg prints by default.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace fflog {

constexpr int kLevelOffset = 64;

// Installs the process-wide callback (once; later calls do nothing).
void Install();
// Messages about `ctx` (an FFmpeg object that starts with its AVClass) go
// into libdec's log from Adopt until Release.
void Adopt(const void* ctx);
void Release(const void* ctx);

// While a Hold lives, messages about adopted contexts made on its thread are
// kept back; its end writes them, unless Drop was called.
class Hold {
public:
    Hold();
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    void Drop() { dropped_ = true; }
    void Keep(unsigned char level, std::string text);

private:
    Hold* outer_;
    bool dropped_ = false;
    std::vector<std::pair<unsigned char, std::string>> lines_;
};

}  // namespace fflog
