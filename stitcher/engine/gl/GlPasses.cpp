#include "GlPasses.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "StitchLayout.h"
#include "Angles.h"

namespace stitcher {

namespace gl {

namespace {
GLuint compile(GLenum kind, const char* text, std::string* error) {
    const GLuint shader = glCreateShader(kind);
    glShaderSource(shader, 1, &text, nullptr);
    glCompileShader(shader);
    GLint ok = GL_FALSE;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (ok == GL_TRUE) return shader;
    char log[1024] = {0};
    glGetShaderInfoLog(shader, sizeof log - 1, nullptr, log);
    *error = std::string("a shader of the GL engine did not compile: ") + log;
    glDeleteShader(shader);
    return 0;
}
}  // namespace

Program buildProgram(const char* vertex, const char* fragment, std::string* error) {
    const GLuint vs = compile(GL_VERTEX_SHADER, vertex, error);
    if (!vs) return Program();
    const GLuint fs = compile(GL_FRAGMENT_SHADER, fragment, error);
    if (!fs) {
        glDeleteShader(vs);
        return Program();
    }
    Program program(glCreateProgram());
    glAttachShader(program, vs);
    glAttachShader(program, fs);
    glLinkProgram(program);
    glDeleteShader(vs);
    glDeleteShader(fs);
    GLint ok = GL_FALSE;
    glGetProgramiv(program, GL_LINK_STATUS, &ok);
    if (ok == GL_TRUE) return program;
    char log[1024] = {0};
    glGetProgramInfoLog(program, sizeof log - 1, nullptr, log);
    *error = std::string("a program of the GL engine did not link: ") + log;
    return Program();
}

}  // namespace gl

namespace {

// The stitch meshes as the renderer's first pass places them: x, y in mesh
// units (x runs against the output columns), texture data (u, v, the x of
// the mesh's left edge).
const char* const kMeshVertex = R"(#version 330 core
layout(location = 0) in vec3 position;
layout(location = 1) in vec3 texel;
uniform vec2 uHalf;
out vec2 uvCoords;
out float planeLeft;
out float meshX;
void main() {
    gl_Position = vec4(-position.x / uHalf.x, position.y / uHalf.y, 0.0, 1.0);
    uvCoords = texel.xy;
    planeLeft = texel.z;
    meshX = position.x;
}
)";

// The stitch pass's cross-fade: 0 at a mesh's left edge, 0.5 mid-band, 1 beyond.
#define DFS_ALPHA_NORMALIZED                                                     \
    "float alphaNormalized(float x) {\n"                                         \
    "    if (x <= 0.5) return 0.5 * pow(2.0 * x, 5.2);\n"                        \
    "    return 1.0 - 0.5 * pow(2.0 * (1.0 - x), 5.2);\n"                        \
    "}\n"

// The seam warp's share of the half disparity across a band (0 in its outer
// tenths, all of it over its middle half), and the disparity of band b at a
// panorama row and place t across the band, from uShift (uRows rows a band,
// uWindows windows a row, linear between them).
#define DFS_SEAM_SHIFT                                                                                     \
    "float fade(float t) {\n"                                                                              \
    "    float e = clamp((min(t, 1.0 - t) - 0.1) / 0.15, 0.0, 1.0);\n"                                     \
    "    return e * e * (3.0 - 2.0 * e);\n"                                                                \
    "}\n"                                                                                                  \
    "float shiftAt(int b, int row, float t) {\n"                                                           \
    "    int r = b * uRows + row;\n"                                                                       \
    "    float x = t * float(uWindows + 1) - 1.0;\n"                                                       \
    "    if (x <= 0.0) return texelFetch(uShift, ivec2(0, r), 0).r;\n"                                     \
    "    if (x >= float(uWindows - 1)) return texelFetch(uShift, ivec2(uWindows - 1, r), 0).r;\n"          \
    "    int k = int(x);\n"                                                                                \
    "    float a = texelFetch(uShift, ivec2(k, r), 0).r, c = texelFetch(uShift, ivec2(k + 1, r), 0).r;\n"  \
    "    return a + (c - a) * (x - float(k));\n"                                                           \
    "}\n"

// A triangle over the whole output.
const char* const kCoverVertex = R"(#version 330 core
layout(location = 0) in vec2 corner;
void main() { gl_Position = vec4(corner, 0.0, 1.0); }
)";

// Per lens: the frame position the mesh shows, the place across its band
// ((x - left edge) / band width, linear in x, so it interpolates exactly)
// and 1 for covered.
const char* const kGeometryFragment = R"(#version 330 core
in vec2 uvCoords;
in float planeLeft;
in float meshX;
uniform float uBlendWidth;
out vec4 geometry;
void main() {
    geometry = vec4(uvCoords, (meshX - planeLeft) / uBlendWidth, 1.0);
}
)";

// Flat or planet: each pixel's direction, turned by the view, the
// panorama position it looks at, each lens's frame position there from the
// geometry textures (bilinear over the covered texels), the two lenses
// blended as the stitch pass blends its meshes. With the seam's disparity
// (uWarping), a pixel in the warped part of band b reads each lens's
// position h panorama columns on (the band's left lens) or back (its right),
// h as the seam pass finds it, linear between the panorama's rows; the
// cross-fade stays the unshifted place's.
const char* const kViewFragment = "#version 330 core\n" DFS_ALPHA_NORMALIZED R"(
uniform sampler2D uFrame;
uniform sampler2D uGeometry0;
uniform sampler2D uGeometry1;
uniform mat3 uRotation;
uniform int uPlanet;
uniform vec2 uSize;
uniform float uFocal;
uniform ivec2 uGeometrySize;
uniform int uWarping;
uniform sampler2D uShift;
uniform int uWindows;
uniform ivec2 uPanorama;
uniform ivec2 uBand[2];
uniform ivec2 uWarp[2];
uniform ivec2 uFollowed;
uniform int uLeftLens[2];
uniform int uRows;
out vec4 color;
const float pi = 3.14159265358979323846;
)" DFS_SEAM_SHIFT R"(
vec3 direction(vec2 p) {
    vec2 ab = (p - 0.5 * uSize) / uFocal;
    if (uPlanet == 0) return normalize(vec3(-1.0, -ab.x, -ab.y));
    float rho = length(ab);
    float t = 2.0 * atan(rho / 2.0);
    float k = rho > 0.0 ? sin(t) / rho : 0.5;
    return vec3(k * ab.y, -k * ab.x, -cos(t));
}
vec4 lensAt(sampler2D g, vec2 pos) {
    vec2 q = pos - 0.5;
    vec2 f = fract(q);
    ivec2 i0 = ivec2(floor(q));
    vec4 sum = vec4(0.0);
    for (int j = 0; j < 2; ++j)
        for (int i = 0; i < 2; ++i) {
            ivec2 c = i0 + ivec2(i, j);
            c.x = c.x < 0 ? c.x + uGeometrySize.x : (c.x >= uGeometrySize.x ? c.x - uGeometrySize.x : c.x);
            c.y = clamp(c.y, 0, uGeometrySize.y - 1);
            vec4 t = texelFetch(g, c, 0);
            float w = (i == 0 ? 1.0 - f.x : f.x) * (j == 0 ? 1.0 - f.y : f.y) * t.w;
            sum += vec4(t.xyz * w, w);
        }
    return sum;
}
void main() {
    vec3 r = uRotation * direction(gl_FragCoord.xy);
    float theta = atan(r.y, r.x);
    if (theta < 0.0) theta += 2.0 * pi;
    float phi = atan(length(r.xy), r.z);
    vec2 pos = vec2(theta / (2.0 * pi) * float(uGeometrySize.x), phi / pi * float(uGeometrySize.y));
    vec4 s0 = lensAt(uGeometry0, pos), s1 = lensAt(uGeometry1, pos);
    vec3 g0 = s0.xyz / max(s0.w, 1e-6), g1 = s1.xyz / max(s1.w, 1e-6);
    if (uWarping != 0) {
        float col = theta / (2.0 * pi) * float(uPanorama.x) - 0.5, row = phi / pi * float(uPanorama.y) - 0.5;
        for (int b = 0; b < 2; ++b)
            if (col >= float(uWarp[b].x) && col <= float(uWarp[b].y - 1) && row >= float(uFollowed.x) &&
                row < float(uFollowed.y)) {
                float t = (col - float(uBand[b].x) + 0.5) / float(uBand[b].y - uBand[b].x);
                int r0 = int(row);
                float a = shiftAt(b, r0, t);
                float h = 0.5 * (a + (shiftAt(b, r0 + 1, t) - a) * (row - float(r0))) * fade(t);
                float step = h * float(uGeometrySize.x) / float(uPanorama.x);
                vec4 m0 = lensAt(uGeometry0, pos + vec2(uLeftLens[b] == 0 ? step : -step, 0.0));
                vec4 m1 = lensAt(uGeometry1, pos + vec2(uLeftLens[b] == 1 ? step : -step, 0.0));
                g0.xy = m0.xy / max(m0.w, 1e-6);
                g1.xy = m1.xy / max(m1.w, 1e-6);
            }
    }
    vec3 c0 = textureGrad(uFrame, g0.xy, dFdx(g0.xy), dFdy(g0.xy)).rgb;
    vec3 c1 = textureGrad(uFrame, g1.xy, dFdx(g1.xy), dFdy(g1.xy)).rgb;
    float a0 = alphaNormalized(clamp(g0.z, 0.0, 1.0)), a1 = alphaNormalized(clamp(g1.z, 0.0, 1.0));
    bool on0 = s0.w >= 0.5, on1 = s1.w >= 0.5;
    vec3 result = vec3(0.0);
    if (on0 && on1)
        result = g0.z < g1.z ? a0 * c0 + (1.0 - a0) * a1 * c1 : a1 * c1 + (1.0 - a1) * a0 * c0;
    else if (on0)
        result = a0 * c0;
    else if (on1)
        result = a1 * c1;
    color = vec4(result, 1.0);
}
)";

// The stitch pass with the seam's disparity: inside the warped part of band
// b (uWarp, its rows marked in uShift's last column) each lens is
// looked up h output columns on (the side-0 lens) or back (the side-1 lens),
// h half the disparity at the pixel's row and place across the band, faded
// to nothing over the band's outer quarters. The warped pixels read as the
// CPU engine's warp reads: the lens's frame position from the bands' own
// table (uPoints: per band, side and row, the positions at whole columns
// from the band's begin less uMargin), linear between columns; the frame
// bilinear and, where it is finer than the panorama, mixed with its
// half-size level by the log of the ratio (uHalfShare). Elsewhere the
// stitch pass's own read.
const char* const kSeamFragment = "#version 330 core\n" DFS_ALPHA_NORMALIZED R"(
in vec2 uvCoords;
in float planeLeft;
in float meshX;
uniform sampler2D uFrame;
uniform sampler2D uShift;
uniform sampler2D uPoints;
uniform float uBlendWidth;
uniform int uWindows;
uniform int uRows;
uniform int uLens;
uniform ivec2 uBand[2];
uniform ivec2 uWarp[2];
uniform int uLeftLens[2];
uniform int uMargin;
uniform int uSpan;
uniform vec2 uFrameSize;
uniform float uHalfShare;
out vec4 color;
)" DFS_SEAM_SHIFT R"(
void main() {
    int col = int(gl_FragCoord.x), row = int(gl_FragCoord.y);
    color = texture(uFrame, uvCoords);
    vec2 at = uvCoords;
    bool warped = false;
    for (int b = 0; b < 2; ++b)
        if (col >= uWarp[b].x && col < uWarp[b].y && texelFetch(uShift, ivec2(uWindows, b * uRows + row), 0).r > 0.0) {
            warped = true;
            float t = (float(col - uBand[b].x) + 0.5) / float(uBand[b].y - uBand[b].x);
            float h = 0.5 * shiftAt(b, row, t) * fade(t);
            int side = uLens == uLeftLens[b] ? 0 : 1;
            float c = clamp(float(col - uBand[b].x + uMargin) + (side == 0 ? h : -h), 0.0, float(uSpan - 1) - 1e-3);
            int i = int(c);
            int r = (2 * b + side) * uRows + row;
            vec2 p0 = texelFetch(uPoints, ivec2(i, r), 0).rg, p1 = texelFetch(uPoints, ivec2(min(i + 1, uSpan - 1), r), 0).rg;
            at = (p0 + (p1 - p0) * (c - float(i))) / uFrameSize;
        }
    if (warped) {
        color = textureLod(uFrame, at, 0.0);
        if (uHalfShare > 0.0) color = mix(color, textureLod(uFrame, at, 1.0), uHalfShare);
    }
    color.a = alphaNormalized(clamp((meshX - planeLeft) / uBlendWidth, 0.0, 1.0));
}
)";
#undef DFS_ALPHA_NORMALIZED
#undef DFS_SEAM_SHIFT

// The renderer's second pass for a view turned per frame: each panorama
// pixel's direction, turned, looked up bilinearly in the stitched panorama
// (wrapping across its left and right edges).
const char* const kTurnFragment = R"(#version 330 core
uniform sampler2D uPanorama;
uniform mat3 uRotation;
uniform vec2 uSize;
out vec4 color;
const float pi = 3.14159265358979323846;
void main() {
    float theta = 2.0 * pi * gl_FragCoord.x / uSize.x, phi = pi * gl_FragCoord.y / uSize.y;
    vec3 r = uRotation * vec3(sin(phi) * cos(theta), sin(phi) * sin(theta), cos(phi));
    theta = atan(r.y, r.x);
    if (theta < 0.0) theta += 2.0 * pi;
    color = vec4(texture(uPanorama, vec2(theta / (2.0 * pi), atan(length(r.xy), r.z) / pi)).rgb, 1.0);
}
)";


// The geometry textures are the panorama's size up to this width, coarser
// beyond: what they hold is linear over each mesh cell (some 1/100 of the
// panorama wide), so a texel of two panorama pixels loses nothing to see.
constexpr int kGeometryWidth = 2048;

// Keeps the renderer's GL state across one of our passes: its vertex
// array, program, blending and frame buffers as it left them, texture unit 0 active.
class StateKeeper {
public:
    StateKeeper() {
        glGetIntegerv(GL_VERTEX_ARRAY_BINDING, &vao_);
        glGetIntegerv(GL_CURRENT_PROGRAM, &program_);
        blend_ = glIsEnabled(GL_BLEND);
        for (int i = 0; i < 16 && glGetError() != GL_NO_ERROR; ++i) {
        }
    }
    ~StateKeeper() {
        glDisable(GL_SCISSOR_TEST);
        if (blend_) glEnable(GL_BLEND);
        else glDisable(GL_BLEND);
        glBindVertexArray(static_cast<GLuint>(vao_));
        glUseProgram(static_cast<GLuint>(program_));
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glActiveTexture(GL_TEXTURE0);
    }
    StateKeeper(const StateKeeper&) = delete;
    StateKeeper& operator=(const StateKeeper&) = delete;

private:
    GLint vao_ = 0, program_ = 0;
    GLboolean blend_ = GL_FALSE;
};

gl::Texture newTarget(GLenum format, int width, int height, GLenum type) {
    gl::Texture t = gl::newTexture();
    glBindTexture(GL_TEXTURE_2D, t);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexImage2D(GL_TEXTURE_2D, 0, static_cast<GLint>(format), width, height, 0, GL_RGBA, type, nullptr);
    return t;
}

Status attach(GLuint fbo, GLuint texture) {
    glBindFramebuffer(GL_FRAMEBUFFER, fbo);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
    if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE)
        return Status(kExitDisplay, "the GL engine's frame buffer is not complete");
    return Status();
}

}  // namespace

GlPasses::GlPasses(const EngineSpec& params)
    : params_(params), panoW_(2 * params.size), panoH_(params.size), geometryW_(std::min(panoW_, kGeometryWidth)) {}

GlPasses::~GlPasses() = default;

Status GlPasses::start() {
    StateKeeper keep;
    const std::vector<stitchlayout::LayoutMesh> meshes = stitchlayout::stitchMeshes(params_.lens.model(), panoW_, panoH_);
    std::vector<float> vertices, uvs;
    std::vector<unsigned int> indices;
    for (const stitchlayout::LayoutMesh& m : meshes) {
        const GLsizei first = static_cast<GLsizei>(indices.size());
        stitchlayout::appendMesh(m.plane, &vertices, &uvs, &indices);
        meshes_.push_back({m.lens, first, static_cast<GLsizei>(indices.size()) - first});
    }
    blendWidth_ = stitchlayout::stitchBlendWidth(params_.lens.model(), panoH_);

    vao_ = gl::newVertexArray();
    glBindVertexArray(vao_);
    const auto fill = [](GLenum target, gl::Buffer& buffer, const void* data, size_t bytes) {
        buffer = gl::newBuffer();
        glBindBuffer(target, buffer);
        glBufferData(target, static_cast<GLsizeiptr>(bytes), data, GL_STATIC_DRAW);
    };
    fill(GL_ARRAY_BUFFER, vertices_, vertices.data(), vertices.size() * sizeof(float));
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
    fill(GL_ARRAY_BUFFER, uvs_, uvs.data(), uvs.size() * sizeof(float));
    glEnableVertexAttribArray(1);
    glVertexAttribPointer(1, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
    fill(GL_ELEMENT_ARRAY_BUFFER, indices_, indices.data(), indices.size() * sizeof(unsigned int));
    glBindBuffer(GL_ARRAY_BUFFER, 0);

    frame_ = gl::newTexture();
    glBindTexture(GL_TEXTURE_2D, frame_);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB8, params_.frameWidth, params_.frameHeight, 0, GL_BGR, GL_UNSIGNED_BYTE, nullptr);

    setRotation(params_.rotation);
    fov_ = params_.view.fov;
    if (!params_.reprojected()) return Status();

    std::string error;
    geometryProgram_ = gl::buildProgram(kMeshVertex, kGeometryFragment, &error);
    if (geometryProgram_) viewProgram_ = gl::buildProgram(kCoverVertex, kViewFragment, &error);
    if (!viewProgram_) return Status(kExitDisplay, error);

    // The geometry: each lens's meshes drawn alone, unblended, into its own texture.
    geometryFbo_ = gl::newFramebuffer();
    glDisable(GL_BLEND);
    glUseProgram(geometryProgram_);
    glUniform2f(glGetUniformLocation(geometryProgram_, "uHalf"), panoW_ * 0.5f, panoH_ * 0.5f);
    glUniform1f(glGetUniformLocation(geometryProgram_, "uBlendWidth"), blendWidth_);
    for (int lens = 0; lens < 2; ++lens) {
        geometry_[lens] = newTarget(GL_RGBA32F, geometryW_, geometryW_ / 2, GL_FLOAT);
        const Status st = attach(geometryFbo_, geometry_[lens]);
        if (!st.ok()) return st;
        glViewport(0, 0, geometryW_, geometryW_ / 2);
        glClearColor(0, 0, 0, 0);
        glClear(GL_COLOR_BUFFER_BIT);
        glBindVertexArray(vao_);
        for (const Mesh& m : meshes_)
            if (m.lens == lens)
                glDrawElements(GL_TRIANGLES, m.count, GL_UNSIGNED_INT,
                               reinterpret_cast<const void*>(static_cast<size_t>(m.first) * sizeof(unsigned int)));
    }
    viewFbo_ = gl::newFramebuffer();
    viewTarget_ = newTarget(GL_RGBA8, params_.view.width, params_.view.height, GL_UNSIGNED_BYTE);
    Status st = attach(viewFbo_, viewTarget_);
    if (st.ok() && glGetError() != GL_NO_ERROR) st = Status(kExitDisplay, "the GL engine's view pass could not be set up");
    return st;
}

void GlPasses::cover() {
    // One triangle over the whole output.
    if (!quad_) {
        const float corners[6] = {-1, -1, 3, -1, -1, 3};
        quadVao_ = gl::newVertexArray();
        glBindVertexArray(quadVao_);
        quad_ = gl::newBuffer();
        glBindBuffer(GL_ARRAY_BUFFER, quad_);
        glBufferData(GL_ARRAY_BUFFER, sizeof corners, corners, GL_STATIC_DRAW);
        glEnableVertexAttribArray(0);
        glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 0, nullptr);
        glBindBuffer(GL_ARRAY_BUFFER, 0);
    }
    glBindVertexArray(quadVao_);
    glDrawArrays(GL_TRIANGLES, 0, 3);
}

void GlPasses::setRotation(const float m[4][4]) {
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) rotation_[i * 3 + j] = m[i][j];  // column i
}

void GlPasses::upload(const uint8_t* frame) {
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, frame_);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, params_.frameWidth, params_.frameHeight, GL_BGR, GL_UNSIGNED_BYTE, frame);
    glGenerateMipmap(GL_TEXTURE_2D);
}

Status GlPasses::view(const uint8_t* frame, uint8_t* out) {
    StateKeeper keep;
    upload(frame);
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, geometry_[0]);
    glActiveTexture(GL_TEXTURE2);
    glBindTexture(GL_TEXTURE_2D, geometry_[1]);

    const ViewShape& shape = params_.view;
    const bool planet = shape.projection == Projection::Planet;
    const double focal = planet ? shape.width / 2.0 / (2.0 * std::tan((90.0 + fov_ / 2.0) * kPi / 360.0))
                                : shape.width / 2.0 / std::tan(fov_ * kPi / 360.0);
    const GLuint p = viewProgram_;
    glUseProgram(p);
    glUniform1i(glGetUniformLocation(p, "uFrame"), 0);
    glUniform1i(glGetUniformLocation(p, "uGeometry0"), 1);
    glUniform1i(glGetUniformLocation(p, "uGeometry1"), 2);
    glUniformMatrix3fv(glGetUniformLocation(p, "uRotation"), 1, GL_FALSE, rotation_);
    glUniform1i(glGetUniformLocation(p, "uPlanet"), planet ? 1 : 0);
    glUniform2f(glGetUniformLocation(p, "uSize"), static_cast<float>(shape.width), static_cast<float>(shape.height));
    glUniform1f(glGetUniformLocation(p, "uFocal"), static_cast<float>(focal));
    glUniform2i(glGetUniformLocation(p, "uGeometrySize"), geometryW_, geometryW_ / 2);
    glUniform1i(glGetUniformLocation(p, "uWarping"), warping_ ? 1 : 0);
    if (warping_) {
        glActiveTexture(GL_TEXTURE3);
        uploadShift();
        const SeamBands& bands = *bands_;
        glUniform1i(glGetUniformLocation(p, "uShift"), 3);
        glUniform1i(glGetUniformLocation(p, "uWindows"), shift_.windows);
        glUniform2i(glGetUniformLocation(p, "uPanorama"), panoW_, panoH_);
        glUniform1i(glGetUniformLocation(p, "uRows"), panoH_);
        glUniform2i(glGetUniformLocation(p, "uFollowed"), bands.firstRow(), bands.lastRow());
        setBandUniforms(p);
    }

    glBindFramebuffer(GL_FRAMEBUFFER, viewFbo_);
    glViewport(0, 0, shape.width, shape.height);
    glDisable(GL_BLEND);
    cover();

    glBindFramebuffer(GL_READ_FRAMEBUFFER, viewFbo_);
    glReadBuffer(GL_COLOR_ATTACHMENT0);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glReadPixels(0, 0, shape.width, shape.height, GL_BGR, GL_UNSIGNED_BYTE, out);
    if (glGetError() != GL_NO_ERROR) return Status(kExitFailed, "the GL engine's view pass failed");
    return Status();
}

bool GlPasses::setShift(const SeamShift& shift) {
    float most = 0;
    for (int b = 0; b < 2; ++b) {
        if (shift.windows < 1 ||
            (!shift.shift[b].empty() && shift.shift[b].size() != static_cast<size_t>(panoH_) * static_cast<size_t>(shift.windows)))
            return false;
        for (float v : shift.shift[b])
            if (std::isfinite(v)) most = std::max(most, std::fabs(v));
    }
    shift_ = shift;
    warping_ = most > 0;
    if (!warping_) return true;
    // The bands follow each lens as far beyond them as half the largest disparity reaches.
    const int needed = static_cast<int>(std::ceil(most / 2.0f)) + 2;
    if (!bands_ || bands_->margin() < needed) {
        bands_.reset(new SeamBands(params_.lens.model(), params_.size, params_.frameWidth, params_.frameHeight,
                                   std::max(needed, 8)));
        pointsStale_ = true;
    }
    for (int b = 0; b < 2; ++b) {
        rowsWarped_[b].assign(static_cast<size_t>(panoH_), 0);
        if (shift_.shift[b].empty()) continue;
        for (int row = bands_->firstRow(); row <= bands_->lastRow(); ++row)
            for (int k = 0; k < shift_.windows; ++k) {
                const float v = shift_.shift[b][static_cast<size_t>(row) * static_cast<size_t>(shift_.windows) + k];
                if (v != 0.0f && std::isfinite(v)) rowsWarped_[b][static_cast<size_t>(row)] = 1;
            }
    }
    return true;
}

Status GlPasses::seamStart() {
    std::string error;
    seamProgram_ = gl::buildProgram(kMeshVertex, kSeamFragment, &error);
    if (seamProgram_) turnProgram_ = gl::buildProgram(kCoverVertex, kTurnFragment, &error);
    if (!turnProgram_) return Status(kExitFailed, error);
    seamFbo_ = gl::newFramebuffer();
    seamTarget_ = newTarget(GL_RGBA8, panoW_, panoH_, GL_UNSIGNED_BYTE);
    // Read by the turned view as the renderer reads its panorama then.
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
    turnFbo_ = gl::newFramebuffer();
    turnTarget_ = newTarget(GL_RGBA8, panoW_, panoH_, GL_UNSIGNED_BYTE);
    const Status st = attach(turnFbo_, turnTarget_);
    if (!st.ok()) return st;
    pointsTexture_ = gl::newTexture();
    glBindTexture(GL_TEXTURE_2D, pointsTexture_);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    pointsStale_ = true;
    return attach(seamFbo_, seamTarget_);
}

void GlPasses::uploadShift() {
    if (!shiftTexture_) {
        shiftTexture_ = gl::newTexture();
        glBindTexture(GL_TEXTURE_2D, shiftTexture_);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    }
    // The disparity, one texel per row and window, and after them 1 where
    // the row is warped: band 0's rows, then band 1's.
    const int windows = shift_.windows;
    std::vector<float> texels(static_cast<size_t>(windows + 1) * static_cast<size_t>(2 * panoH_), 0.0f);
    for (int b = 0; b < 2; ++b)
        for (int row = 0; row < panoH_ && !shift_.shift[b].empty(); ++row) {
            float* to = &texels[static_cast<size_t>(b * panoH_ + row) * static_cast<size_t>(windows + 1)];
            for (int k = 0; k < windows; ++k) {
                const float v = shift_.shift[b][static_cast<size_t>(row) * static_cast<size_t>(windows) + k];
                to[k] = std::isfinite(v) ? v : 0.0f;
            }
            to[windows] = rowsWarped_[b][static_cast<size_t>(row)];
        }
    glBindTexture(GL_TEXTURE_2D, shiftTexture_);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_R32F, windows + 1, 2 * panoH_, 0, GL_RED, GL_FLOAT, texels.data());
}

void GlPasses::setBandUniforms(GLuint p) {
    const SeamBands& bands = *bands_;
    const GLint band[4] = {bands.begin(0), bands.end(0), bands.begin(1), bands.end(1)};
    const GLint left[2] = {bands.lens(0, 0), bands.lens(1, 0)};
    glUniform2iv(glGetUniformLocation(p, "uBand"), 2, band);
    glUniform1iv(glGetUniformLocation(p, "uLeftLens"), 2, left);
    for (int b = 0; b < 2; ++b) {
        // The band less its outer tenths, where the shift has faded to nothing.
        const int width = bands.end(b) - bands.begin(b), edge = static_cast<int>(0.1f * static_cast<float>(width));
        warpCols_[b][0] = bands.begin(b) + edge;
        warpCols_[b][1] = shift_.shift[b].empty() ? warpCols_[b][0] : std::max(warpCols_[b][0], bands.end(b) - edge);
    }
    const GLint warpCols[4] = {warpCols_[0][0], warpCols_[0][1], warpCols_[1][0], warpCols_[1][1]};
    glUniform2iv(glGetUniformLocation(p, "uWarp"), 2, warpCols);
}

Status GlPasses::drawWarped(const uint8_t* frame, bool whole) {
    if (!seamProgram_) {
        const Status st = seamStart();
        if (!st.ok()) return st;
    }
    const int windows = shift_.windows;
    glActiveTexture(GL_TEXTURE1);
    uploadShift();
    const SeamBands& bands = *bands_;
    const int span = std::max(bands.end(0) - bands.begin(0), bands.end(1) - bands.begin(1)) + 2 * bands.margin();
    glActiveTexture(GL_TEXTURE2);
    glBindTexture(GL_TEXTURE_2D, pointsTexture_);
    if (pointsStale_) {
        // Where each lens looks, per band, side and followed row, at whole columns.
        std::vector<float> points(static_cast<size_t>(span) * 2 * static_cast<size_t>(4 * panoH_), 0.0f);
        for (int b = 0; b < 2; ++b)
            for (int side = 0; side < 2; ++side)
                for (int row = bands.firstRow(); row <= bands.lastRow(); ++row)
                    for (int i = 0; i < span; ++i) {
                        float x, y, r;
                        bands.lensPoint(b, side, row, static_cast<float>(bands.begin(b) - bands.margin() + i), &x, &y, &r);
                        float* at = &points[(static_cast<size_t>((2 * b + side) * panoH_ + row) * static_cast<size_t>(span) + i) * 2];
                        at[0] = x;
                        at[1] = y;
                    }
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RG32F, span, 4 * panoH_, 0, GL_RG, GL_FLOAT, points.data());
        pointsStale_ = false;
    }
    upload(frame);

    const GLuint p = seamProgram_;
    glUseProgram(p);
    glUniform2f(glGetUniformLocation(p, "uHalf"), panoW_ * 0.5f, panoH_ * 0.5f);
    glUniform1f(glGetUniformLocation(p, "uBlendWidth"), blendWidth_);
    glUniform1i(glGetUniformLocation(p, "uFrame"), 0);
    glUniform1i(glGetUniformLocation(p, "uShift"), 1);
    glUniform1i(glGetUniformLocation(p, "uPoints"), 2);
    glUniform1i(glGetUniformLocation(p, "uMargin"), bands.margin());
    glUniform1i(glGetUniformLocation(p, "uSpan"), span);
    glUniform2f(glGetUniformLocation(p, "uFrameSize"), static_cast<float>(params_.frameWidth), static_cast<float>(params_.frameHeight));
    glUniform1i(glGetUniformLocation(p, "uWindows"), windows);
    glUniform1i(glGetUniformLocation(p, "uRows"), panoH_);
    const float share = std::min(1.0f, std::max(0.0f, std::log2(bands_->density())));
    const bool halved = share > 0.05f && params_.frameWidth >= 4 && params_.frameHeight >= 4;
    glUniform1f(glGetUniformLocation(p, "uHalfShare"), halved ? share : 0.0f);
    const GLint lensLocation = glGetUniformLocation(p, "uLens");
    setBandUniforms(p);

    glBindFramebuffer(GL_FRAMEBUFFER, seamFbo_);
    glViewport(0, 0, panoW_, panoH_);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glBindVertexArray(vao_);
    const int row0 = bands.firstRow(), row1 = bands.lastRow() + 1;
    // The whole panorama, or only the warped parts of the bands.
    for (int b = 0; b < (whole ? 1 : 2); ++b) {
        if (!whole) {
            if (warpCols_[b][1] <= warpCols_[b][0]) continue;
            glEnable(GL_SCISSOR_TEST);
            glScissor(warpCols_[b][0], row0, warpCols_[b][1] - warpCols_[b][0], row1 - row0);
        }
        for (const Mesh& m : meshes_) {
            glUniform1i(lensLocation, m.lens);
            glDrawElements(GL_TRIANGLES, m.count, GL_UNSIGNED_INT,
                           reinterpret_cast<const void*>(static_cast<size_t>(m.first) * sizeof(unsigned int)));
        }
    }
    glDisable(GL_SCISSOR_TEST);
    return Status();
}

Status GlPasses::warp(const uint8_t* frame, uint8_t* out) {
    if (!warping_) return Status();
    StateKeeper keep;
    Status st = drawWarped(frame, false);
    if (!st.ok()) return st;
    const SeamBands& bands = *bands_;
    const int row0 = bands.firstRow(), row1 = bands.lastRow() + 1;

    // The warped rows' band pixels over the renderer's picture.
    glBindFramebuffer(GL_READ_FRAMEBUFFER, seamFbo_);
    glReadBuffer(GL_COLOR_ATTACHMENT0);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    const size_t stride = params_.outStride();
    for (int b = 0; b < 2; ++b) {
        const int w = warpCols_[b][1] - warpCols_[b][0];
        if (w <= 0) continue;
        readBack_.resize(static_cast<size_t>(w) * 3 * static_cast<size_t>(row1 - row0));
        glReadPixels(warpCols_[b][0], row0, w, row1 - row0, GL_BGR, GL_UNSIGNED_BYTE, readBack_.data());
        for (int row = row0; row < row1; ++row)
            if (rowsWarped_[b][static_cast<size_t>(row)])
                std::memcpy(out + static_cast<size_t>(row) * stride + static_cast<size_t>(warpCols_[b][0]) * 3,
                            readBack_.data() + static_cast<size_t>(row - row0) * static_cast<size_t>(w) * 3,
                            static_cast<size_t>(w) * 3);
    }
    if (glGetError() != GL_NO_ERROR) return Status(kExitFailed, "the GL engine's seam pass failed");
    return Status();
}

Status GlPasses::warpTurned(const uint8_t* frame, uint8_t* out) {
    StateKeeper keep;
    Status st = drawWarped(frame, true);
    if (!st.ok()) return st;
    const GLuint p = turnProgram_;
    glUseProgram(p);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, seamTarget_);
    glUniform1i(glGetUniformLocation(p, "uPanorama"), 0);
    glUniformMatrix3fv(glGetUniformLocation(p, "uRotation"), 1, GL_FALSE, rotation_);
    glUniform2f(glGetUniformLocation(p, "uSize"), static_cast<float>(panoW_), static_cast<float>(panoH_));
    glBindFramebuffer(GL_FRAMEBUFFER, turnFbo_);
    glViewport(0, 0, panoW_, panoH_);
    glDisable(GL_BLEND);
    cover();
    glBindFramebuffer(GL_READ_FRAMEBUFFER, turnFbo_);
    glReadBuffer(GL_COLOR_ATTACHMENT0);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glReadPixels(0, 0, panoW_, panoH_, GL_BGR, GL_UNSIGNED_BYTE, out);
    if (glGetError() != GL_NO_ERROR) return Status(kExitFailed, "the GL engine's seam pass failed");
    return Status();
}

}  // namespace stitcher
