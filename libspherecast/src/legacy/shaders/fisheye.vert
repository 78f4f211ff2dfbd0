#version 330 core
// Stitch mesh: x, y in output pixels; uvs = (u, v) in the dual-fisheye frame
// and the x of the mesh's left edge, where its cross-fade starts.
layout(location = 0) in vec3 vertexPosition_modelspace;
layout(location = 1) in vec3 uvs;
out vec2 uvCoords;
out float planeLeft;
out vec3 v_position;
uniform mat4 MVP;
void main() {
	gl_Position = MVP * vec4(vertexPosition_modelspace, 1.0);
	uvCoords = uvs.xy;
	planeLeft = uvs.z;
	v_position = vertexPosition_modelspace;
}
