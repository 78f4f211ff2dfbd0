#include "ShaderBuilder.h"

// The texts carry a single line feed (after the version line); statements are
// concatenated directly, which GLSL accepts.
namespace {
const char* const kVersion = "#version 330 core\n";
const char* const kPi = "float pi = 3.14159265358979323846;";

// Unit-sphere direction from the normalised plane position (xi, yi).
std::string sphereDirection() {
    std::string s;
    s += "\tfloat phi = pi * yi;";
    s += "\tfloat z = cos(phi);";
    s += "\tfloat ringradius = sin(phi);";
    s += "\tfloat theta = pi * 2.0 * (1.0 - xi);";
    s += "\tfloat x = ringradius * cos(theta);";
    s += "\tfloat y = ringradius * sin(theta);";
    return s;
}
}  // namespace

std::string ShaderBuilder::buildPanoramaVertexCode() {
    std::string s = kVersion;
    s += "layout(location = 0) in highp vec3 vertex;";
    s += "out highp vec3 v_position;";
    s += "uniform mediump mat4 MVP;";
    s += "void main(void){";
    s += "\tgl_Position = MVP * vec4(vertex.xyz, 1.0);";
    s += "\tv_position = vertex;";
    s += "}";
    return s;
}

std::string ShaderBuilder::buildPanoramaFragmentCode() {
    std::string s = kVersion;
    s += "uniform sampler2D uTexture2D;";
    s += "uniform highp mat4 uTransformMat;";
    s += "uniform float uWidth;";
    s += "uniform float uHeight;";
    s += "uniform float uPosX;";
    s += "uniform float uPosY;";
    s += "in highp vec3 v_position;";
    s += "out vec4 color;";
    s += "vec2 buildUV(){";
    s += std::string("\t") + kPi;
    s += "\tfloat xi = (v_position.x - uPosX) / uWidth + 0.5;";
    s += "\tfloat yi = (v_position.y - uPosY) / uHeight + 0.5;";
    s += sphereDirection();
    s += "\tvec4 vector = uTransformMat * vec4(x, y, z, 1.0);";
    s += "\tphi = atan(sqrt(vector.x * vector.x + vector.y * vector.y), vector.z);";
    s += "\ttheta = atan(vector.y, vector.x);";
    s += "\tif (theta < 0.0) {";
    s += "\t\ttheta = theta + pi * 2.0;";
    s += "\t}";
    s += "\treturn vec2(theta / (pi * 2.0), phi / pi);";
    s += "}";
    s += "void main(void){";
    s += "\tvec2 uv = buildUV();";
    s += "\tcolor = texture(uTexture2D, uv.xy);";
    s += "\tcolor.a = 1.0;";
    s += "}";
    return s;
}

std::string ShaderBuilder::buildStereoVertexCode() {
    std::string s = kVersion;
    s += "layout(location = 0) in vec3 vertexPosition_modelspace;";
    s += "layout(location = 1) in vec3 uvs;";
    s += "out vec2 uvCoords;";
    s += "out vec3 v_position;";
    s += "uniform mat4 MVP;";
    s += "void main(){";
    s += "\tgl_Position = MVP * vec4(vertexPosition_modelspace, 1.0);";
    s += "\tuvCoords = uvs.xy;";
    s += "\tv_position = vertexPosition_modelspace;";
    s += "}";
    return s;
}

std::string ShaderBuilder::buildStereoFragmentCode() {
    std::string s = kVersion;
    s += "in vec2 uvCoords;";
    s += "in vec3 v_position;";
    s += "out vec4 color;";
    s += "uniform sampler2D uTexture2D;";
    s += "uniform  float uPlaneWidth;";
    s += "uniform  float uPlaneHeight;";
    s += "uniform  mat4 uRotMatrix;";
    s += "void main(){";
    s += "\tcolor = texture(uTexture2D, uvCoords);";
    s += std::string("\t") + kPi;
    s += "\tfloat uPosY;";
    s += "\tif (v_position.y <= 0.0) {";
    s += "\t\tuPosY = -uPlaneHeight / 2.0;";
    s += "\t} else {";
    s += "\t\tuPosY = uPlaneHeight / 2;";
    s += "\t}";
    s += "\tfloat xi = v_position.x / uPlaneWidth + 0.5;";
    s += "\tfloat yi = (v_position.y - uPosY) / uPlaneHeight + 0.5;";
    s += sphereDirection();
    s += "\tvec4 vec = uRotMatrix * vec4(x, y, z, 1.0);";
    s += "\tphi = atan(sqrt(vec.x * vec.x + vec.y * vec.y), vec.z);";
    s += "\tphi = phi / pi * 180.0;";
    s += "\tif (phi > 100.0) {";
    s += "\t\tcolor.a = (102.0 - phi)/2.0;";
    s += "\t}";
    s += "}";
    return s;
}

std::string ShaderBuilder::buildFisheyeVertexCode() {
    std::string s = kVersion;
    s += "layout(location = 0) in vec3 vertexPosition_modelspace;";
    s += "layout(location = 1) in vec3 uvs;";
    s += "out vec2 uvCoords;";
    s += "out float planeLeft;";
    s += "out vec3 v_position;";
    s += "uniform mat4 MVP;";
    s += "void main(){";
    s += "\tgl_Position = MVP * vec4(vertexPosition_modelspace, 1.0);";
    s += "\tuvCoords = uvs.xy;";
    s += "\tplaneLeft = uvs.z;";
    s += "\tv_position = vertexPosition_modelspace;";
    s += "}";
    return s;
}

std::string ShaderBuilder::buildFisheyeFragmentCode() {
    std::string s = kVersion;
    s += "in vec2 uvCoords;";
    s += "in float planeLeft;";
    s += "in vec3 v_position;";
    s += "out vec4 color;";
    s += "uniform sampler2D uTexture2D;";
    s += "uniform  float uBlendWidth;";
    // Cross-fade curve: 0 at the mesh's left edge, 0.5 mid-band, 1 at the band's end.
    s += "float alphaNormalized(float x) {";
    s += "\tfloat lamda = 5.2;";
    s += "\tfloat gamma = 1.0;";
    s += "\tfloat a = 0.5;";
    s += "\tif (x <= 0.5) {";
    s += "\t\tx = a * pow(2.0 * x, lamda);";
    s += "\t} else {";
    s += "\t\tx = 1.0 - (1.0 - a) * pow(2.0 * (1.0 - x), lamda);";
    s += "\t}";
    s += "\tx = pow(x, gamma);";
    s += "\treturn x;";
    s += "}";
    s += "void main(){";
    s += "\tcolor = texture(uTexture2D, uvCoords);";
    s += "\tfloat x = v_position.x - planeLeft;";
    s += "\tx = x / uBlendWidth;";
    s += "\tx = clamp(x, 0.0, 1.0);";
    s += "\tcolor.a = alphaNormalized(x);";
    s += "}";
    return s;
}
