// The shared library as a host sees it: every session function is found by
// its typed (mangled) name and works through that pointer; internal classes
// and plain undecorated names are not exported.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "libdec.h"
#include "test_clips.h"

#ifndef LIBDEC_SO_PATH
#error "LIBDEC_SO_PATH must name the built shared library"
#endif

namespace {

// Keep the library's log away from the user's folder.
struct HomeEnv : ::testing::Environment {
    void SetUp() override {
        std::string home = testutil::makeTempDir("abi_home");
        testutil::runCommand("mkdir -p '" + home + "/.local/share'");
        setenv("HOME", home.c_str(), 1);
    }
};
::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new HomeEnv);

// RTLD_NODELETE: the log writer lives until the process ends (like a host's
// loaded plug-in); unloading the library would orphan it and read as a leak.
struct Lib {
    void* handle = dlopen(LIBDEC_SO_PATH, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    ~Lib() {
        if (handle) dlclose(handle);
    }
    template <typename F>
    F* Get(const char* name) const {
        return reinterpret_cast<F*>(dlsym(handle, name));
    }
};

}  // namespace

TEST(Abi, TypedSymbolsAreExported) {
    Lib lib;
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    auto open = lib.Get<void*(const char*)>("_Z7PRDOpenPKc");
    auto close = lib.Get<void(void*)>("_Z8PRDClosePv");
    auto info = lib.Get<int(void*, _MediaInfo&)>("_Z15PRDGetMediaInfoPvR10_MediaInfo");
    auto offset = lib.Get<int(void*, char*&)>("_Z12PRDGetOffsetPvRPc");
    auto comment = lib.Get<int(void*, char*&)>("_Z18PRDGetVideoCommentPvRPc");
    auto frame = lib.Get<int(void*, long long, unsigned char*&)>("_Z16PRDGetVideoFramePvxRPh");
    auto audio = lib.Get<int(void*, long long, long long, unsigned char*&)>("_Z17PRDGetAudioSamplePvxxRPh");
    ASSERT_NE(open, nullptr);
    ASSERT_NE(close, nullptr);
    ASSERT_NE(info, nullptr);
    ASSERT_NE(offset, nullptr);
    ASSERT_NE(comment, nullptr);
    ASSERT_NE(frame, nullptr);
    ASSERT_NE(audio, nullptr);
    EXPECT_NE(dlsym(lib.handle, "_Z6PRDLoghPKciS0_z"), nullptr);

    // The pointers are the real functions: a clip opens and answers through them.
    std::string path = testutil::makeClip(
        "abi_av.mp4",
        "-f lavfi -i testsrc=size=32x16:rate=10 -f lavfi -i sine=sample_rate=44100 -t 1 -c:v libx264 "
        "-pix_fmt yuv420p -c:a aac -ac 1 -shortest");
    ASSERT_FALSE(path.empty());
    void* h = open(path.c_str());
    ASSERT_NE(h, nullptr);
    _MediaInfo mi{};
    EXPECT_EQ(info(h, mi), 0);
    EXPECT_EQ(mi.width, 32u);
    EXPECT_EQ(mi.height, 16u);
    EXPECT_EQ(mi.frames, 10u);
    EXPECT_EQ(mi.channels, 1);
    EXPECT_EQ(mi.samplerate, 44100u);
    unsigned char* pic = nullptr;
    EXPECT_EQ(frame(h, 1, pic), 0);
    EXPECT_NE(pic, nullptr);
    unsigned char* pcm = nullptr;
    EXPECT_EQ(audio(h, 0, 2048, pcm), 0);
    EXPECT_NE(pcm, nullptr);
    char* text = nullptr;
    EXPECT_EQ(offset(h, text), 0);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::strlen(text), 102u);
    text = nullptr;
    EXPECT_EQ(comment(h, text), 0);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "unknown");
    delete[] text;
    close(h);
    EXPECT_EQ(open("/nonexistent/clip.mp4"), nullptr);
    EXPECT_EQ(info(nullptr, mi), 1);
}

TEST(Abi, InternalsAreHidden) {
    Lib lib;
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    // Plain names are not how the host binds.
    for (const char* name : {"PRDOpen", "PRDClose", "PRDGetMediaInfo", "PRDGetVideoFrame"})
        EXPECT_EQ(dlsym(lib.handle, name), nullptr) << name;
    // No symbol of an internal class or of the container layer leaves the library.
    std::string nm = testutil::captureCommand("nm -D --defined-only '" LIBDEC_SO_PATH "'");
    ASSERT_NE(nm.find("_Z7PRDOpenPKc"), std::string::npos) << nm;
    for (const char* internal : {"8CControl", "8CMp4Read", "8CH264Dec", "7CAacDec", "6CMyLog", "3mp4"})
        EXPECT_EQ(nm.find(internal), std::string::npos) << internal << "\n" << nm;
}
