// World-up from the footage. A vertical line of the world lies on a great
// circle through the zenith: the normal of that circle's plane is at right
// angles to up. Straight segments are cut from each frame's edges (pixels
// grown along edges that run one way, a great circle fitted through them,
// kept where they are long and thin on it, so that corners, texture and
// curves drop out; one that runs down the picture is fitted again through
// the edge's place in each of its rows, to a fraction of a pixel, so that
// the corner pixels of an edge meeting it do not lean it); each segment's
// normal is turned into the first frame's axes by that frame's camera
// orientation, and carries how well its circle is known (a long segment's
// better than a short one's).
//
// Up is found by voting: every segment votes for the ups under which it
// would be vertical, a line across the plane of tilts (to 20 degrees about
// the first frame's up). The vertical lines of the scene, from wherever
// they are, cross at world-up; texture and horizontal lines (window rows,
// kerbs, the horizon) spread their votes and make no peak, whatever the
// camera's own tilt or its axis. The peak, taken against the smooth level
// of votes around it, is refined by a robust fit of the segments near it,
// each by its own precision.
//
// How far the estimate can be trusted is measured from the footage: the
// fit is made again leaving out the segments of each eighth of the horizon
// in turn, and the spread of those fits (jackknife, halved: the sectors
// are not alike, and the spread overstates the full fit's error by about
// two), the fit's own error from its segments' precision and scatter, and
// a tenth of a degree that neither shows are added as independent errors.
// Where it is uncertain (over 0.3 degrees), or the tilt found (from the
// camera's up as held over the frames) is within three times its
// uncertainty, the camera's own up is kept. So it is where the lines cross
// at two ups: the votes weigh edges by strength, and a strong line that is
// not vertical may make the highest peak, so the next highest are refined
// too, and one whose fit lies apart beyond both errors, fits the segments
// at least as well and is as well tied down leaves up open. So it is also
// where the peak rests on one line of the world: the segments are gathered
// into the lines they are pieces of (circles that agree within a degree,
// or within their errors where those are larger: a line's short pieces
// scatter), and with any one line taken away the rest must keep a tenth of
// what ties down the weaker tilt (two lines always cross, and a line's
// many pieces, frame after frame, would make their crossing look certain).
// So it is where the fit settles more than two degrees from the peak it
// refines: the edges that made the peak are not the lines it fits, and
// where it settles then hangs on where it starts.
// Level lines that pass close under or over the camera (a floor's boards,
// an edge of the ceiling or of a lamp) lie on circles through nearly the
// nadir or the zenith, and look vertical to within a degree or so: long,
// strong and seen in every frame, one pulls the fit a few tenths of a
// degree off, or makes a peak of its own whose fit lies a degree or two
// from up and looks as certain. A vertical line reaches that near a pole
// only where it stands by the camera or towers over it close by, where
// other lines are seen: segments that reach within 20 degrees of the nadir
// or the zenith (under the highest peak of all the votes) are not taken
// for pieces of vertical lines.
//
// Open land may show too few vertical lines, or all of them one way round,
// but it has a horizon: the far edge of level land or sea lies at one
// height all round, a little below the level (its dip). Edges that run
// level are cut into pieces of a thirty-second of the circle, and the up
// is sought under which the most of those directions lie at one height, on
// or just below the level; the plane of those pieces gives up. Hills,
// roofs and the lines of a room give pieces at many heights, or over too
// little of the circle. The horizon is taken only where the vertical lines
// alone do not tie up down, where it is seen in stretches of parts next to
// one another over more than a third of the circle, with no sky seen below
// it (the sky is what is reached from the zenith without crossing an edge;
// hills whose edge a tilted plane follows over part of the circle drop
// below it elsewhere), where it agrees with the vertical lines there are,
// and is certain by the same measures: the spread of fits leaving out each
// eighth of the circle (taken whole), the fit's own error, how far the
// pieces stray from one height, and the tenth of a degree. Land is seldom
// quite flat out to its edge, which the pieces' scatter does not show, so
// only a tilt of a degree or more is corrected from the horizon.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Rotation.h"
#include "Status.h"

namespace stitcher {

// Rows of the grey panoramas the up finder reads: sharper than the motion
// analysis needs, so that short vertical lines span enough pixels for
// their direction to be known.
constexpr int kLevelPanoramaRows = 480;

class UpFinder {
public:
    // The edges of a w x h grey panorama (row 0 at the +z pole) of a frame
    // whose camera orientation is `camera`; columns marked in `skip` (the
    // seams, whose edges are vertical in the camera, not the world) are left out.
    void add(const float* grey, int w, int h, const Rot& camera, const std::vector<uint8_t>& skip);
    // World-up in the first frame's axes, the one nearer its +z, into `up`;
    // fails, with the reason, where the edges do not tie it down well enough
    // to be acted on. `uncertainty` (degrees), where given, is the estimate's
    // spread whether or not it is acted on.
    // `byHorizon`, where given, says whether it was found from the horizon.
    Status find(double up[3], double* uncertainty = nullptr, bool* byHorizon = nullptr) const;
    size_t edges() const { return weights_.size(); }

private:
    // This finder without the segments that reach near the nadir or the
    // zenith (kNearPole, in Level.cpp): not taken for vertical lines.
    UpFinder awayFromPoles() const;
    void addHorizon(const std::vector<size_t>& region, int w, int h, const std::vector<float>& strength,
                    const Rot& camera);
    // From the vertical lines; `fitted`, their fit whether or not it is taken.
    Status fromLines(double up[3], double* uncertainty, double fitted[3]) const;
    // From the horizon, checked against the vertical lines (and their fit,
    // where there is one, of uncertainty `linesSure` degrees).
    Status fromHorizon(double up[3], double* uncertainty, const double* lines, double linesSure) const;
    // Degrees by which the vertical lines, as fitted from `at`, are further
    // from u than their errors (at least `known` degrees) and the horizon's
    // (`sure`) allow; 0 where not.
    double linesAgainst(const double at[3], const double u[3], double sure, double known) const;
    // The robust fit of the segments' circles from `start`, leaving out the
    // sector `without` (-1: none); false where none are near.
    bool refine(const double start[3], int without, double out[3]) const;
    std::vector<float> horizon_;        // directions of the pieces of level edges, three per piece
    std::vector<float> horizonWeight_;  // their edge strength
    std::vector<uint8_t> horizonBin_;   // which thirty-second of the circle each lies in
    std::vector<float> skyline_;        // the lowest sky of each column of each frame, three per column
    std::vector<float> normals_;  // unit normals of straight segments' circles, three per segment
    std::vector<float> weights_;    // the segments' edge strength
    std::vector<float> precision_;  // how well each circle is known (radians)
    std::vector<uint8_t> sectors_;  // which eighth of the horizon each lies in
    std::vector<float> ends_;       // the two ends of each, three each, in the first frame's axes
    double total_ = 0;              // the weight of all edges seen
    double cameraUp_[3] = {0, 0, 0};  // the sum of the frames' up, in the first frame's axes
    int frames_ = 0;
};

// The path turned so that each frame's view has `up` up: each path
// orientation is turned the least way that takes its view's up (+z) onto `up`.
void levelPath(std::vector<Rot>& path, const double up[3]);

}  // namespace stitcher
