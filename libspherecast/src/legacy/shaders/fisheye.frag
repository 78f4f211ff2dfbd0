#version 330 core
// Fades each mesh in over its left uBlendWidth pixels so that neighbouring
// lens images cross-fade: alpha 0 at the edge, 0.5 mid-band, 1 beyond.
in vec2 uvCoords;
in float planeLeft;
in vec3 v_position;
out vec4 color;
uniform sampler2D uTexture2D;
uniform float uBlendWidth;
float alphaNormalized(float x) {
	float lamda = 5.2;
	float a = 0.5;
	if (x <= 0.5) {
		return a * pow(2.0 * x, lamda);
	}
	return 1.0 - (1.0 - a) * pow(2.0 * (1.0 - x), lamda);
}
void main() {
	color = texture(uTexture2D, uvCoords);
	float x = clamp((v_position.x - planeLeft) / uBlendWidth, 0.0, 1.0);
	color.a = alphaNormalized(x);
}
