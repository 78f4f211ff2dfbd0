// What both renderers hold besides their GL objects: the output and frame
// sizes, the calibration model, the window, the uniforms their fisheye
// programs share and where their context stands.
#pragma once

#include <GL/glew.h>

#include "DualFisheyeModel.h"
#include "RenderSteps.h"

struct GLFWwindow;

class RendererState {
public:
    // Output of 2 * size x size pixels (0 x 0 for sizes no window can have);
    // the model is read from `offset` (null reads as empty).
    RendererState(const char* offset, int size, int frameWidth, int frameHeight);

    // True between a successful initOpenGL and deInitOpenGL.
    bool isReady() const { return ready; }

    int width;
    int height;
    int textureWidth;
    int textureHeight;
    int lensCount = 0;  // the lenses the calibration text names (before the model, which reads it)
    DualFisheyeModel model;
    GLFWwindow* window = nullptr;
    GLint blendWidthLocation = -1;
    GLint mvpLocation = -1;
    GLint textureLocation = -1;
    GLint transformMatLocation = -1;
    float mvp[16];

protected:
    rendersteps::ContextHold context;
    bool ready = false;
};
