#version 330 core
// Plain textured mesh moved by a model transform; kept beside the fisheye pair.
layout(location = 0) in vec3 vertexPosition_modelspace;
layout(location = 1) in vec3 uvs;
out vec2 uvCoords;
uniform mat4 MVP;
uniform mat4 uTransformMat;
void main() {
	gl_Position = MVP * uTransformMat * vec4(vertexPosition_modelspace, 1.0);
	uvCoords = uvs.xy;
}
