// What tells viewers and players that a picture or a video is a 360
// panorama: the photo-sphere XMP of stills (in a JPEG's APP1 segment or a
// PNG's iTXt chunk) and the first version of the spherical video metadata
// (XMP in a `uuid` box of the video track), beside the sv3d/st3d boxes the
// muxer writes. And the video containers an output's name picks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace stitcher {

// The name the outputs give as the software that stitched them.
inline constexpr const char* kSoftwareName = "stitcher";

// The view rotation a panorama was stitched with, in degrees (--yaw,
// --pitch, --roll): its centre is the direction the camera's front turned by it.
struct ViewTags {
    double yaw = 0, pitch = 0, roll = 0;
};

// The XMP packet of an equirectangular still of width x height (the whole
// sphere): projection, full-pano and cropped sizes, the picture's pose
// (where its centre looks, from the camera's front) and the initial view at
// its centre.
std::string stillPanoramaXmp(int width, int height, const ViewTags& view);

// The XML of the first spherical video metadata version for an
// equirectangular, stitched, monoscopic video; its initial view is the
// panorama's centre.
std::string sphericalVideoXml();
// That XML in its `uuid` box (the box's header and user type included).
std::vector<uint8_t> sphericalVideoBox(const std::string& xml);

// The second version's boxes for a video sample entry that the muxer does
// not write itself (a QuickTime file's): st3d (monoscopic) and sv3d
// (equirectangular, the whole sphere, no pose).
std::vector<uint8_t> sphericalEntryBoxes();

// Inserts an iTXt chunk holding `xmp` after a PNG's header chunk; false
// where `png` is not a PNG that starts with one.
bool addPngXmp(std::vector<uint8_t>& png, const std::string& xmp);

// The video's container, from the output's name.
enum class Container { None, Mp4, Mov, Mkv };
Container containerOf(const std::string& name);
// FFmpeg's muxer for it.
const char* muxerName(Container c);

}  // namespace stitcher
