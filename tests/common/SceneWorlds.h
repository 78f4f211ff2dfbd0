// Level 360 worlds for tests of the horizon levelling: each made by its own
// generator from a seed, as equirectangular pictures in the synthesiser's
// layout (row 0 at the +z pole, world-up; direction (sin p cos t, sin p sin t,
// cos p) at column t / 2pi * W, row p / pi * H). The first three are ray-cast
// scenes seen from a camera at eye height, so their vertical lines are
// vertical and their horizontal lines are straight lines of the world; the
// painted city is drawn flat in the panorama, as a painter would.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "FisheyeSynth.h"

namespace testutil {

// A street: rows of buildings of random widths and heights on both sides,
// their fronts with grids of windows, a road with kerbs and lane marks
// running to the horizon both ways, sky above.
BgrImage streetWorld(int width, int height, uint32_t seed);
// A room: four walls of random sizes with doors, pictures and shelves, a
// skirting strip, a floor of planks and a ceiling with lamps.
BgrImage roomWorld(int width, int height, uint32_t seed);
// Open land: textured ground to low hills on the horizon, a cloudy sky,
// and a few poles and trees standing on the ground.
BgrImage fieldWorld(int width, int height, uint32_t seed);
// A coast: a meadow running down to the sea, whose level horizon fills part
// of the circle; behind the meadow, rolling land rises to hills of uneven
// height, with no sharp foot; two or three posts stand on the meadow.
BgrImage coastWorld(int width, int height, uint32_t seed);
// A city painted onto the panorama: façades with window grids on flat
// ground under a sky.
BgrImage paintedCity(int width, int height, uint32_t seed);

// A grey panorama (row 0 at the camera's +z, as the up finder reads them)
// of open land without anything standing on it, seen by a camera whose axes
// are the columns of `camera` in the world, world-up `up`: bright sky above
// the land's edge, which lies `edge(azimuth)` radians above the level (an
// azimuth about up, from the world's x axis), a darker ground below; 2 x 2
// samples a pixel. A dark post stands at each of the azimuths `posts`.
std::vector<float> openLandGrey(int width, int height, const double camera[3][3], const double up[3],
                                const std::function<double(double)>& edge, const std::vector<double>& posts);

}  // namespace testutil
