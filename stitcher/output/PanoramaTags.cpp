#include "PanoramaTags.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavutil/crc.h>
}

namespace stitcher {

namespace {

// The sixteen-byte user type that marks the spherical video XMP box.
const uint8_t kSphericalUuid[16] = {0xff, 0xcc, 0x82, 0x63, 0xf8, 0x55, 0x4a, 0x93,
                                    0x88, 0x14, 0x58, 0x7a, 0x02, 0x52, 0x1f, 0xdd};

// A number as XMP's Real: plain decimals, no exponent.
std::string real(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    std::string s = buf;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s == "-0" ? "0" : s;
}

std::string whole(double v) { return std::to_string(std::lround(v)); }

// An angle in [0, 360), as a compass heading is.
double heading(double deg) {
    double h = std::fmod(deg, 360.0);
    if (h < 0) h += 360.0;
    return h >= 359.9995 ? 0 : h;
}

// An angle in [-180, 180).
double wrap180(double deg) { return deg - 360.0 * std::floor((deg + 180.0) / 360.0); }

// The view as a pose in the ranges its fields take: heading [0, 360), pitch
// [-90, 90], roll [-180, 180). A pitch past the pole is the same turn as the
// opposite heading with the pitch back from the pole and a half turn of roll.
ViewTags poseOf(const ViewTags& v) {
    ViewTags p{v.yaw, wrap180(v.pitch), v.roll};
    if (std::fabs(p.pitch) > 90) {
        p.pitch = std::copysign(180.0, p.pitch) - p.pitch;
        p.yaw += 180;
        p.roll += 180;
    }
    p.yaw = heading(p.yaw);
    p.roll = wrap180(p.roll);
    return p;
}

void putBigEndian32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (24 - 8 * i)));
}

bool endsWithNoCase(const std::string& s, const char* suffix) {
    const size_t n = std::strlen(suffix);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != suffix[i]) return false;
    return true;
}

}  // namespace

std::string stillPanoramaXmp(int width, int height, const ViewTags& view) {
    const std::string w = std::to_string(width), h = std::to_string(height);
    auto field = [](const char* name, const std::string& value) {
        return std::string("   <GPano:") + name + ">" + value + "</GPano:" + name + ">\n";
    };
    const ViewTags pose = poseOf(view);
    return std::string("<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
                       "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
                       " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
                       "  <rdf:Description rdf:about=\"\" xmlns:GPano=\"http://ns.google.com/photos/1.0/panorama/\">\n") +
           field("UsePanoramaViewer", "True") + field("ProjectionType", "equirectangular") +
           field("StitchingSoftware", kSoftwareName) + field("FullPanoWidthPixels", w) +
           field("FullPanoHeightPixels", h) + field("CroppedAreaImageWidthPixels", w) +
           field("CroppedAreaImageHeightPixels", h) + field("CroppedAreaLeftPixels", "0") +
           field("CroppedAreaTopPixels", "0") + field("PoseHeadingDegrees", real(pose.yaw)) +
           field("PosePitchDegrees", real(pose.pitch)) + field("PoseRollDegrees", real(pose.roll)) +
           field("InitialViewHeadingDegrees", std::to_string(std::lround(pose.yaw) % 360)) +
           field("InitialViewPitchDegrees", whole(pose.pitch)) + field("InitialViewRollDegrees", "0") +
           "  </rdf:Description>\n"
           " </rdf:RDF>\n"
           "</x:xmpmeta>\n"
           "<?xpacket end=\"w\"?>";
}

std::string sphericalVideoXml() {
    auto field = [](const char* name, const std::string& value) {
        return std::string("<GSpherical:") + name + ">" + value + "</GSpherical:" + name + ">";
    };
    return std::string("<?xml version=\"1.0\"?>"
                       "<rdf:SphericalVideo xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" "
                       "xmlns:GSpherical=\"http://ns.google.com/videos/1.0/spherical/\">") +
           field("Spherical", "true") + field("Stitched", "true") + field("StitchingSoftware", kSoftwareName) +
           field("ProjectionType", "equirectangular") + field("InitialViewHeadingDegrees", "0") +
           field("InitialViewPitchDegrees", "0") + field("InitialViewRollDegrees", "0") + "</rdf:SphericalVideo>";
}

std::vector<uint8_t> sphericalVideoBox(const std::string& xml) {
    std::vector<uint8_t> box;
    putBigEndian32(box, static_cast<uint32_t>(8 + 16 + xml.size()));
    box.insert(box.end(), {'u', 'u', 'i', 'd'});
    box.insert(box.end(), kSphericalUuid, kSphericalUuid + 16);
    box.insert(box.end(), xml.begin(), xml.end());
    return box;
}

std::vector<uint8_t> sphericalEntryBoxes() {
    auto box = [](const char* type, const std::vector<uint8_t>& body, bool full) {
        std::vector<uint8_t> b;
        putBigEndian32(b, static_cast<uint32_t>(8 + (full ? 4 : 0) + body.size()));
        b.insert(b.end(), type, type + 4);
        if (full) putBigEndian32(b, 0);  // version 0, no flags
        b.insert(b.end(), body.begin(), body.end());
        return b;
    };
    std::vector<uint8_t> header(kSoftwareName, kSoftwareName + std::strlen(kSoftwareName) + 1);
    const std::vector<uint8_t> pose(12, 0), bounds(16, 0);  // yaw, pitch, roll; top, bottom, left, right
    std::vector<uint8_t> proj = box("prhd", pose, true);
    const std::vector<uint8_t> equi = box("equi", bounds, true);
    proj.insert(proj.end(), equi.begin(), equi.end());
    std::vector<uint8_t> sv3d = box("svhd", header, true);
    const std::vector<uint8_t> projBox = box("proj", proj, false);
    sv3d.insert(sv3d.end(), projBox.begin(), projBox.end());
    std::vector<uint8_t> out = box("st3d", {0}, true);  // stereo mode 0: monoscopic
    const std::vector<uint8_t> sv3dBox = box("sv3d", sv3d, false);
    out.insert(out.end(), sv3dBox.begin(), sv3dBox.end());
    return out;
}

bool addPngXmp(std::vector<uint8_t>& png, const std::string& xmp) {
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    // Signature, then IHDR: length 13, type, data, CRC.
    const size_t ihdrEnd = 8 + 8 + 13 + 4;
    if (png.size() < ihdrEnd || std::memcmp(png.data(), kSignature, 8) != 0 ||
        std::memcmp(png.data() + 12, "IHDR", 4) != 0 || png[8] || png[9] || png[10] || png[11] != 13)
        return false;
    // Keyword, no compression, no language, no translated keyword, the text.
    std::vector<uint8_t> chunk;
    const char keyword[] = "XML:com.adobe.xmp";
    putBigEndian32(chunk, static_cast<uint32_t>(sizeof keyword + 2 + 2 + xmp.size()));
    chunk.insert(chunk.end(), {'i', 'T', 'X', 't'});
    chunk.insert(chunk.end(), keyword, keyword + sizeof keyword);
    chunk.insert(chunk.end(), {0, 0, 0, 0});
    chunk.insert(chunk.end(), xmp.begin(), xmp.end());
    const uint32_t crc = av_crc(av_crc_get_table(AV_CRC_32_IEEE_LE), 0xFFFFFFFFu, chunk.data() + 4, chunk.size() - 4) ^
                         0xFFFFFFFFu;
    putBigEndian32(chunk, crc);
    png.insert(png.begin() + ihdrEnd, chunk.begin(), chunk.end());
    return true;
}

Container containerOf(const std::string& name) {
    if (endsWithNoCase(name, ".mp4")) return Container::Mp4;
    if (endsWithNoCase(name, ".mov")) return Container::Mov;
    if (endsWithNoCase(name, ".mkv")) return Container::Mkv;
    return Container::None;
}

const char* muxerName(Container c) {
    switch (c) {
        case Container::Mov: return "mov";
        case Container::Mkv: return "matroska";
        default: return "mp4";
    }
}

}  // namespace stitcher
