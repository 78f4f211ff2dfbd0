#pragma once

class DualSpherecastNew;

// Stitches dual-fisheye BGR frames into an equirectangular panorama (or the
// stacked per-lens layout) on the GPU. Construct, initRenderer once, then per
// frame setData + render, all on one thread; deInitRenderer at the end.
class __attribute__((visibility("default"))) Spherecast {
public:
    // A fixed underlying type: hosts pass other values (meaning Stitch), which
    // must be representable.
    enum RenderType : int { Stitch = 0, Stereo = 1 };

    // offset: the lens calibration text, read only here. Output is 2*size x size
    // (Stitch) or 2*size x 2*size (Stereo). Any type other than 1 is Stitch.
    Spherecast(const char* offset, int size, int frameWidth, int frameHeight, Spherecast::RenderType type);
    ~Spherecast();
    Spherecast(const Spherecast&) = delete;
    Spherecast& operator=(const Spherecast&) = delete;

    // True when the hidden window, context, programs and buffers exist. argc/argv are unused.
    bool initRenderer(int argc, char** argv);
    // frame: frameWidth x frameHeight packed BGR pixels, rows of exactly 3*frameWidth bytes.
    void setData(void* frame);
    // out: rows of 3*W bytes rounded up to a multiple of 4, H rows, bottom row first.
    void render(void* out);
    void deInitRenderer();
    // m[i] is column i of the view rotation (no transposition).
    void updateRotation(float m[4][4]);

private:
    DualSpherecastNew* renderer;
};
