// The single-pass legacy renderer with its file shaders.
#include <gtest/gtest.h>

#include <GL/glew.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "../RendererTestUtil.h"
#include "DualSpherecastNew.h"
#include "../GlTestContext.h"
#include "legacy/DualSpherecast.h"
#include "test_clips.h"

using namespace rendertest;

namespace {

// The renderer opens its shader files at ./src/shaders/, relative to the
// working directory: each test runs in a fresh folder whose src/shaders is
// the legacy renderer's shader folder.
class LegacyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(getcwd(saved_, sizeof saved_), nullptr);
        dir_ = testutil::makeTempDir("legacy_run");
        ASSERT_FALSE(dir_.empty());
        ASSERT_EQ(mkdir((dir_ + "/src").c_str(), 0755), 0);
        ASSERT_EQ(symlink(DFS_SOURCE_DIR "/libspherecast/src/legacy/shaders", (dir_ + "/src/shaders").c_str()), 0);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }
    void TearDown() override {
        EXPECT_EQ(chdir(saved_), 0);
        unlink((dir_ + "/src/shaders").c_str());
        rmdir((dir_ + "/src").c_str());
        rmdir(dir_.c_str());
    }
    char saved_[4096];
    std::string dir_;
};

std::vector<uint8_t> detailFrame(int w, int h) {
    std::vector<uint8_t> f(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &f[(static_cast<size_t>(y) * w + x) * 3];
            p[0] = static_cast<uint8_t>(x * 255 / w);
            p[1] = static_cast<uint8_t>(y * 255 / h);
            p[2] = static_cast<uint8_t>(((x / 8 + y / 8) % 2) * 200);
        }
    return f;
}

TEST_F(LegacyTest, InitialisesWithItsMessagesAndBuildsBothFilePrograms) {
    DualSpherecast r(kDefaultOffset, 32, 288, 144);
    testing::internal::CaptureStdout();
    const int code = r.initOpenGL(0, nullptr);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(code, 0);
    EXPECT_EQ(out,
              gltest::openMessages() + "create frame buffer" "bind buffers" "create texture" "set data,width:288,height:144"
              "error:code:0,desc:No error" "error:code:0,desc:No error" "set data success" "init opengl success");
    for (GLuint program : {r.programID.get(), r.simpleProgramID.get()}) {
        GLint linked = GL_FALSE;
        glGetProgramiv(program, GL_LINK_STATUS, &linked);
        EXPECT_EQ(linked, GL_TRUE);
    }
    EXPECT_GE(r.mvpLocation, 0);
    EXPECT_GE(r.blendWidthLocation, 0);
    EXPECT_GE(r.textureLocation, 0);
    EXPECT_GE(r.simpleMvpLocation, 0);
    EXPECT_GE(r.transformMatLocation, 0);
    EXPECT_EQ(r.width, 64);
    EXPECT_EQ(r.height, 32);
    EXPECT_EQ(r.indexCount, 90000);
}

// One pass straight into the read-back target gives what the two-pass
// renderer gives with the identity rotation.
TEST_F(LegacyTest, DrawsTheStitchLayoutOfTheTwoPassRenderer) {
    const int size = 48, W = 96, H = 48;
    std::vector<uint8_t> frame = detailFrame(288, 144);
    DualSpherecast legacy(kDefaultOffset, size, 288, 144);
    DualSpherecastNew current(kDefaultOffset, size, 288, 144, DualSpherecastNew::Stitch);
    std::vector<uint8_t> a(rowStride(W) * H + 16, 0x5A), b(rowStride(W) * H + 16, 0x5A);
    testing::internal::CaptureStdout();
    ASSERT_EQ(legacy.initOpenGL(0, nullptr), 0);
    ASSERT_EQ(current.initOpenGL(0, nullptr), 0);
    legacy.setData(frame.data());
    legacy.render(a.data());
    current.setData(frame.data());
    current.render(b.data());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("render" "error:code:0,desc:No error" "glReadPixel" "consume:"), std::string::npos);
    int same = 0;
    for (int row = 0; row < H; ++row)
        for (int col = 0; col < W; ++col) {
            const uint8_t *p = pixel(a, W, col, row), *q = pixel(b, W, col, row);
            same += std::abs(p[0] - q[0]) <= 1 && std::abs(p[1] - q[1]) <= 1 && std::abs(p[2] - q[2]) <= 1;
        }
    EXPECT_GE(same, W * H * 99 / 100);
    for (size_t i = rowStride(W) * H; i < a.size(); ++i) ASSERT_EQ(a[i], 0x5A);
}

// Where nothing is drawn the dark-blue clear colour (0, 0, 0.4) is read back.
TEST_F(LegacyTest, ClearColorShowsWhereNoMeshIsDrawn) {
    const int W = 64, H = 32;
    DualSpherecast r(kDefaultOffset, 32, 288, 144);
    testing::internal::CaptureStdout();
    ASSERT_EQ(r.initOpenGL(0, nullptr), 0);
    r.indexCount = 0;
    std::vector<uint8_t> out(rowStride(W) * H, 0x5A);
    r.render(out.data());
    testing::internal::GetCapturedStdout();
    for (int row = 0; row < H; ++row)
        for (int col = 0; col < W; ++col) {
            const uint8_t* p = pixel(out, W, col, row);
            ASSERT_EQ(p[0], 102);
            ASSERT_EQ(p[1], 0);
            ASSERT_EQ(p[2], 0);
        }
}

TEST_F(LegacyTest, MissingShaderFilesAreReportedAndFramesStaySafe) {
    ASSERT_EQ(chdir("/"), 0);
    DualSpherecast r(kDefaultOffset, 16, 64, 32);
    testing::internal::CaptureStdout();
    const int code = r.initOpenGL(0, nullptr);
    std::vector<uint8_t> frame(64 * 32 * 3, 7), out(rowStride(32) * 16);
    r.setData(frame.data());
    r.render(out.data());
    r.deInitOpenGL();
    r.render(out.data());
    const std::string text = testing::internal::GetCapturedStdout();
    EXPECT_EQ(code, 0);
    EXPECT_NE(text.find("failed to open shader file:./src/shaders/fisheye.vert"), std::string::npos);
    EXPECT_NE(text.find("render ignored,renderer not initialised"), std::string::npos);
}

}  // namespace
