// The shaders' build on the system's GL and the fragment maths they carry; the
// panorama and stereo programs' whole pictures are checked in stitch_pixels_test.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "FisheyeSynth.h"
#include "GlTestContext.h"
#include "ShaderBuilder.h"
#include "ShaderLoader.h"

namespace {

struct ProgramCase {
    const char* name;
    std::string (*vertex)();
    std::string (*fragment)();
    std::vector<const char*> uniforms;
};

const ProgramCase kPrograms[] = {
    {"panorama", &ShaderBuilder::buildPanoramaVertexCode, &ShaderBuilder::buildPanoramaFragmentCode,
     {"MVP", "uTexture2D", "uTransformMat", "uWidth", "uHeight", "uPosX", "uPosY"}},
    {"stereo", &ShaderBuilder::buildStereoVertexCode, &ShaderBuilder::buildStereoFragmentCode,
     {"MVP", "uTexture2D", "uPlaneWidth", "uPlaneHeight", "uRotMatrix"}},
    {"fisheye", &ShaderBuilder::buildFisheyeVertexCode, &ShaderBuilder::buildFisheyeFragmentCode,
     {"MVP", "uTexture2D", "uBlendWidth"}},
};

class GlShaderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(gl.ok()) << "no GL 3.3 core context (run under xvfb-run)"; }

    // A program from the builder, checked to link, left in use.
    GLuint build(const ProgramCase& c) {
        const std::string v = c.vertex(), f = c.fragment();
        testing::internal::CaptureStdout();
        GLuint program = LoadShaders(v.c_str(), f.c_str());
        const std::string log = testing::internal::GetCapturedStdout();
        GLint linked = GL_FALSE;
        glGetProgramiv(program, GL_LINK_STATUS, &linked);
        EXPECT_EQ(linked, GL_TRUE) << c.name << ": " << log;
        glUseProgram(program);
        return program;
    }

    // Draws a quad over model space [x0,x1] x [y0,y1] into a fresh w x h RGBA
    // target (no blending) with MVP mapping that rectangle onto the viewport,
    // sampling a 1 x 1 white texture, and returns the RGBA pixels bottom row first.
    std::vector<unsigned char> drawQuad(GLuint program, int w, int h, float x0, float x1, float y0, float y1,
                                        float planeLeft) {
        GLuint fbo = 0, rbo = 0, vao = 0, vbo[2] = {0, 0}, tex = 0;
        glGenRenderbuffers(1, &rbo);
        glBindRenderbuffer(GL_RENDERBUFFER, rbo);
        glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, w, h);
        glGenFramebuffers(1, &fbo);
        glBindFramebuffer(GL_FRAMEBUFFER, fbo);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, rbo);
        EXPECT_EQ(glCheckFramebufferStatus(GL_FRAMEBUFFER), static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE));
        glViewport(0, 0, w, h);
        glDisable(GL_BLEND);
        glClearColor(0, 0, 0, 0);
        glClear(GL_COLOR_BUFFER_BIT);

        const unsigned char white[3] = {255, 255, 255};
        glGenTextures(1, &tex);
        glActiveTexture(GL_TEXTURE0);
        glBindTexture(GL_TEXTURE_2D, tex);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, 1, 1, 0, GL_RGB, GL_UNSIGNED_BYTE, white);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glUniform1i(glGetUniformLocation(program, "uTexture2D"), 0);

        const float sx = 2.0f / (x1 - x0), sy = 2.0f / (y1 - y0);
        const float mvp[16] = {sx, 0, 0, 0, 0, sy, 0, 0, 0, 0, 1, 0, -1 - x0 * sx, -1 - y0 * sy, 0, 1};
        glUniformMatrix4fv(glGetUniformLocation(program, "MVP"), 1, GL_FALSE, mvp);

        const float pos[] = {x0, y0, 0, x1, y0, 0, x1, y1, 0, x0, y0, 0, x1, y1, 0, x0, y1, 0};
        const float uv[] = {0.5f, 0.5f, planeLeft, 0.5f, 0.5f, planeLeft, 0.5f, 0.5f, planeLeft,
                            0.5f, 0.5f, planeLeft, 0.5f, 0.5f, planeLeft, 0.5f, 0.5f, planeLeft};
        glGenVertexArrays(1, &vao);
        glBindVertexArray(vao);
        glGenBuffers(2, vbo);
        glBindBuffer(GL_ARRAY_BUFFER, vbo[0]);
        glBufferData(GL_ARRAY_BUFFER, sizeof pos, pos, GL_STATIC_DRAW);
        glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
        glEnableVertexAttribArray(0);
        glBindBuffer(GL_ARRAY_BUFFER, vbo[1]);
        glBufferData(GL_ARRAY_BUFFER, sizeof uv, uv, GL_STATIC_DRAW);
        glVertexAttribPointer(1, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
        glEnableVertexAttribArray(1);
        glDrawArrays(GL_TRIANGLES, 0, 6);

        std::vector<unsigned char> pixels(static_cast<size_t>(w) * h * 4);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
        glDeleteBuffers(2, vbo);
        glDeleteVertexArrays(1, &vao);
        glDeleteTextures(1, &tex);
        glDeleteFramebuffers(1, &fbo);
        glDeleteRenderbuffers(1, &rbo);
        return pixels;
    }

    GlTestContext gl;
};

TEST_F(GlShaderTest, EveryProgramCompilesLinksAndExposesItsUniforms) {
    for (const ProgramCase& c : kPrograms) {
        GLuint program = build(c);
        EXPECT_NE(program, 0u) << c.name;
        for (const char* u : c.uniforms) EXPECT_GE(glGetUniformLocation(program, u), 0) << c.name << " " << u;
        glDeleteProgram(program);
    }
}

TEST_F(GlShaderTest, BrokenShaderStillYieldsAProgramAndPrintsItsLog) {
    const std::string vertex = ShaderBuilder::buildFisheyeVertexCode();
    testing::internal::CaptureStdout();
    GLuint program = LoadShaders(vertex.c_str(), "#version 330 core\nvoid main(){ this is not glsl }");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(program, 0u);
    GLint linked = GL_TRUE;
    glGetProgramiv(program, GL_LINK_STATUS, &linked);
    EXPECT_EQ(linked, GL_FALSE);
    EXPECT_FALSE(out.empty());
    EXPECT_EQ(glGetUniformLocation(program, "MVP"), -1);
    glDeleteProgram(program);
}

// The fade runs from alpha 0 at planeLeft to 1 one band width to the right,
// along the curve the stitch model uses.
TEST_F(GlShaderTest, FisheyeAlphaFollowsTheCrossFadeCurve) {
    GLuint program = build(kPrograms[2]);
    const float blend = 64.0f, planeLeft = 15.5f;
    glUniform1f(glGetUniformLocation(program, "uBlendWidth"), blend);
    const int w = 128;
    std::vector<unsigned char> px = drawQuad(program, w, 2, 0.0f, float(w), 0.0f, 2.0f, planeLeft);
    for (int c = 0; c < w; ++c) {
        const double expected = testutil::crossFadeAlpha((c + 0.5 - planeLeft) / blend);
        EXPECT_NEAR(px[c * 4 + 3] / 255.0, expected, 1.5 / 255.0) << "column " << c;
        EXPECT_EQ(px[c * 4 + 0], 255) << "column " << c;
    }
    // Reference points: 0 at the edge, 0.5 * 0.5^5.2 a quarter in, 0.5 halfway, 1 at the end.
    const struct { int column; double alpha; } points[] = {{15, 0.0}, {31, 0.0136}, {47, 0.5}, {79, 1.0}};
    for (const auto& p : points) EXPECT_NEAR(px[p.column * 4 + 3] / 255.0, p.alpha, 1.5 / 255.0) << p.column;
    glDeleteProgram(program);
}

// Alpha 1 up to 100 degrees from the middle of each half, a linear ramp to 0 at 102.
TEST_F(GlShaderTest, StereoCutRampsBetween100And102Degrees) {
    GLuint program = build(kPrograms[1]);
    const int w = 720, h = 120;  // two halves of 60 rows
    const float rot[16] = {-4.371139e-8f, 0, -1, 0, 0, 0.99999994f, 0, 0, 1, 0, -4.371139e-8f, 0, 0, 0, 0, 1};
    glUniform1f(glGetUniformLocation(program, "uPlaneWidth"), float(w));
    glUniform1f(glGetUniformLocation(program, "uPlaneHeight"), h * 0.5f);
    glUniformMatrix4fv(glGetUniformLocation(program, "uRotMatrix"), 1, GL_FALSE, rot);
    std::vector<unsigned char> px = drawQuad(program, w, h, -w / 2.0f, w / 2.0f, -h / 2.0f, h / 2.0f, 0.0f);
    int ramp = 0, cut = 0, open = 0;
    for (int r = 0; r < h; ++r) {
        for (int c = 0; c < w; ++c) {
            const double x = c + 0.5 - w / 2.0, y = r + 0.5 - h / 2.0;
            const double half = h * 0.5, centre = y <= 0 ? -half / 2 : half / 2;
            const double xi = x / w + 0.5, yi = (y - centre) / half + 0.5;
            const double phi = M_PI * yi, theta = 2 * M_PI * (1 - xi);
            // Angle to the half's middle direction (-1, 0, 0).
            const double deg = std::acos(-std::sin(phi) * std::cos(theta)) * 180.0 / M_PI;
            if (std::fabs(deg - 100.0) < 0.05 || std::fabs(deg - 102.0) < 0.05) continue;
            const double expected = deg > 100.0 ? std::min(1.0, std::max(0.0, (102.0 - deg) / 2.0)) : 1.0;
            ASSERT_NEAR(px[(r * w + c) * 4 + 3] / 255.0, expected, 0.03) << r << "," << c << " at " << deg;
            if (deg > 100.0 && deg < 102.0) ++ramp;
            else if (deg >= 102.0) ++cut;
            else ++open;
        }
    }
    EXPECT_GT(ramp, 50);
    EXPECT_GT(cut, 1000);
    EXPECT_GT(open, 1000);
    glDeleteProgram(program);
}

}  // namespace
