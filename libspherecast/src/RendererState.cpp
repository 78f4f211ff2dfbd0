#include "RendererState.h"

#include <cstdio>
#include <cstring>

#include "GlfwContext.h"
#include "log/MyLog.h"

RendererState::RendererState(const char* offset, int size, int frameWidth, int frameHeight)
    : width(glfwcontext::outputSize(size) * 2),
      height(glfwcontext::outputSize(size)),
      textureWidth(frameWidth),
      textureHeight(frameHeight),
      model(offset ? offset : "", &lensCount) {
    // The renderer echoes the calibration it was given and the lenses it names.
    libmsg::Print(MYLOG_INFO, "%s\n", offset ? offset : "");
    libmsg::Print(MYLOG_INFO, "%d\n", lensCount);
    if (!libmsg::GetSink()) std::fflush(stdout);  // as soon as it is read, as ever
    const float identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    std::memcpy(mvp, identity, sizeof mvp);
}
