// What the fuzz targets that open a mutated clip share: the input written to
// a clip file of the process's own (removed at exit), no log file made in the
// user's folder, and a reader of every byte handed out.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzclip {

inline std::string& path() {
    static std::string p;
    return p;
}

// Once, from LLVMFuzzerInitialize: the clip file is /tmp/<name>_<pid>.mp4.
inline void init(const char* name) {
    // No log file: the session would write one line after another into the user's folder.
    setenv("HOME", "/nonexistent-fuzz-home", 1);
    path() = std::string("/tmp/") + name + "_" + std::to_string(::getpid()) + ".mp4";
    std::atexit([] { std::remove(path().c_str()); });
}

// The input as the clip file; false where it cannot be written.
inline bool write(const uint8_t* data, size_t size) {
    FILE* fp = std::fopen(path().c_str(), "wb");
    if (!fp) return false;
    const bool written = std::fwrite(data, 1, size, fp) == size;
    return std::fclose(fp) == 0 && written;
}

// Reads every byte of a buffer handed out, so that the sanitizer sees its whole extent.
inline unsigned touch(const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i) sum += b[i];
    return sum;
}

}  // namespace fuzzclip
