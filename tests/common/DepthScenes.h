// Scenes with depth for the seam tests: ray-cast from each lens's own optical
// centre (half a baseline in front of the camera's centre along its axis),
// an environment at infinity, a tiled ground below the camera and textured
// poles and panels near the seams, one of which may walk across a seam. The
// truth is the panorama seen from the camera's centre. Three generators,
// each its own kind of place, take their layout from a seed.
#pragma once

#include <cstdint>
#include <vector>

#include "FisheyeSynth.h"

namespace testutil {

struct DepthScene {
    struct Thing {
        bool pole = false;        // a vertical cylinder, else a panel facing the camera
        double distance = 1.0;    // metres from the camera's centre to its middle
        double azimuth = 0.0;     // radians, the panorama's longitude
        double width = 0.5;       // panel width, or pole diameter (metres)
        double bottom = -1.2, top = 0.5;  // heights (metres, the camera at 0)
        double speed = 0.0;       // metres per second across the view (a walker)
        uint32_t seed = 0;        // its texture
    };
    BgrImage environment;         // the far field, equirectangular
    double groundBelow = 1.2;     // metres; 0: no ground
    double tile = 0.4;            // ground tile size (metres)
    uint32_t groundSeed = 0;
    std::vector<Thing> things;

    // The panorama seen from the camera's centre at `seconds`, W x H.
    BgrImage truth(int width, int height, double seconds = 0.0) const;
    // The dual-fisheye frame of lenses `baselineMm` apart at `seconds`.
    BgrImage frame(const StitchGeometry& geometry, int frameWidth, int frameHeight, double baselineMm,
                   double seconds = 0.0) const;
};

// The default calibration's geometry for panoramas `size` rows high, made
// once per size; its echo of the offset text is kept off the test's output.
const StitchGeometry& defaultGeometry(int size);

// The longitudes (radians) of the middles of the two seams of `geometry`.
void seamAzimuths(const StitchGeometry& geometry, double out[2]);

// A yard: poles at 0.6 to 1 m and a board at 1.4 to 2 m at each seam, open land beyond.
DepthScene yardScene(const StitchGeometry& geometry, int width, int height, uint32_t seed);
// A hall: posters on stands at 0.5 to 2.5 m across both seams, a room beyond.
DepthScene hallScene(const StitchGeometry& geometry, int width, int height, uint32_t seed);
// A street corner: a pole and a sign board at each seam and a person-sized
// panel walking across one seam at walking pace, a street beyond.
DepthScene streetScene(const StitchGeometry& geometry, int width, int height, uint32_t seed);
// A park: a low fence of panels at 1 to 1.8 m running across each seam, a
// trunk at 1.2 to 2 m beside one seam and a bench-high panel near the other,
// over lawn tiles 1.4 to 1.7 m below, a field beyond.
DepthScene parkScene(const StitchGeometry& geometry, int width, int height, uint32_t seed);
// Only the far field: no ground, nothing near.
DepthScene farScene(int width, int height, uint32_t seed);

}  // namespace testutil
