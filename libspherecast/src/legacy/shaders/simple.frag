#version 330 core
in vec2 uvCoords;
out vec4 color;
uniform sampler2D uTexture2D;
void main() {
	color = texture(uTexture2D, uvCoords);
}
