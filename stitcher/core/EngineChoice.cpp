#include <cctype>

#include "Engine.h"

namespace stitcher {

bool isSoftwareRasterizer(const std::string& glRenderer) {
    std::string lower;
    for (char c : glRenderer) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* name : {"llvmpipe", "softpipe", "swrast"})
        if (lower.find(name) != std::string::npos) return true;
    return false;
}

Status chooseEngine(EngineKind wanted, const EngineSpec& spec, EngineChoice& choice, const EngineMakers& make) {
    choice = EngineChoice();
    std::string glError, glRenderer, cpuError;
    const std::string headless = "Without a display, run it under xvfb-run -a";

    if (wanted == EngineKind::Cpu) {
        choice.engine = make.cpu(spec, cpuError);
        if (!choice.engine) return Status(kExitDisplay, "the CPU engine cannot run: " + cpuError);
        choice.why = "asked for with --engine cpu";
        return Status();
    }

    std::unique_ptr<Engine> gl = make.gl(spec, glError, &glRenderer);
    if (wanted == EngineKind::Gl) {
        if (!gl)
            return Status(kExitDisplay, "the GL engine cannot run: no OpenGL 3.3 context (" + glError + ").\n  " +
                                            headless + ", or choose --engine cpu");
        choice.engine = std::move(gl);
        choice.why = "asked for with --engine gl; OpenGL renderer: " + glRenderer;
        return Status();
    }

    if (gl && !isSoftwareRasterizer(glRenderer)) {
        choice.engine = std::move(gl);
        choice.why = "OpenGL runs on the GPU (" + glRenderer + ")";
        return Status();
    }
    // OpenGL would run on the processor, or not at all: the CPU engine does
    // the same work faster. The software GL engine stays only as a fallback.
    const bool software = gl != nullptr;
    choice.engine = make.cpu(spec, cpuError);
    if (choice.engine) {
        gl.reset();
        choice.why = software
                         ? "OpenGL runs on a software rasterizer (" + glRenderer + ")"
                         : "no OpenGL 3.3 context can be had (" + glError + ")";
        return Status();
    }
    if (gl) {
        choice.engine = std::move(gl);
        choice.why = "OpenGL runs on a software rasterizer (" + glRenderer + ") but the CPU engine cannot run (" +
                     cpuError + ")";
        return Status();
    }
    return Status(kExitDisplay, "no stitching engine can run: no OpenGL 3.3 context (" + glError +
                                    "), and the CPU engine cannot run (" + cpuError + ").\n  " + headless);
}

}  // namespace stitcher
