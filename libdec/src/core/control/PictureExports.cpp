// Pictures left in the decoder's planes, and their conversion by rows.
#include <algorithm>
#include <cstdint>

extern "C" {
#include <libavutil/frame.h>
}

#include "control/CControl.h"
#include "h264dec/CH264Dec.h"
#include "h264dec/YuvToBgr.h"
#include "isobmff/Mp4Container.h"
#include "libdec_internal.h"
#include "log/MyLog.h"
#include "mp4read/CMp4Read.h"

namespace libdec {

int GetDecodedPicture(void* handle, long long frame, DecodedPicture& out, unsigned char*& bgr) {
    out = DecodedPicture();
    bgr = nullptr;
    if (!handle) return 1;
    CControl* session = static_cast<CControl*>(handle);
    if (!session->m_pH264Dec) return 1;
    CH264Dec* dec = session->m_pH264Dec;
    try {
        dec->KeepPlanes(true);
        unsigned char* picture = nullptr;
        const int rc = session->GetVideoFrame(frame, picture);
        const CH264Dec::HeldPicture held = dec->Held();
        dec->KeepPlanes(false);
        if (rc != 0 || !picture) return 1;
        if (!held.frame) {
            bgr = picture;
            return 2;
        }
        const AVFrame* f = held.frame.get();
        out.width = f->width;
        out.height = f->height;
        for (int i = 0; i < 3; ++i) {
            out.planes[i] = f->data[i];
            out.strides[i] = f->linesize[i];
        }
        out.shiftX = held.shiftX;
        out.shiftY = held.shiftY;
        out.kr = held.kr;
        out.kb = held.kb;
        out.fullRange = held.fullRange;
        out.hold = held.frame;
        return 0;
    } catch (...) {
        dec->KeepPlanes(false);
        LOGE("GetDecodedPicture failed on frame %lld", frame);
        out = DecodedPicture();
        return 1;
    }
}

void SkipPassedPictures(void* handle, bool skip) {
    if (handle) static_cast<CControl*>(handle)->m_skipPassed = skip;
}

void SeekFromOwnGroup(void* handle, bool own) {
    if (handle) static_cast<CControl*>(handle)->m_ownGroup = own;
}

long long KeyFrameBefore(void* handle, long long frame) {
    const CMp4Read* rd = handle ? static_cast<CControl*>(handle)->m_pMp4Read : nullptr;
    const mp4::Track* t = rd && rd->m_hFile ? rd->m_hFile->trackById(rd->m_videoTrackId) : nullptr;
    long long key = 1;
    for (size_t i = 0; t && i < t->samples.size(); ++i) {
        if (!t->samples[i].sync) continue;
        const unsigned int shown = rd->FrameOfSample(static_cast<unsigned int>(i + 1));
        const long long at = shown != 0 ? shown : static_cast<long long>(i + 1);
        if (at <= frame) key = std::max(key, at);
    }
    return key;
}

bool ConvertPictureRows(const DecodedPicture& picture, int row0, int row1, int x0, int x1, uint8_t* bgr,
                        int bgrStride) {
    if (!picture.planes[0] || row0 < 0 || row1 > picture.height || row0 >= row1 || x0 < 0 || x1 > picture.width ||
        x0 >= x1)
        return false;
    // From the first column of the chroma sample that x0 shares.
    x0 = x0 >> picture.shiftX << picture.shiftX;
    try {
        CYuvToBgr convert;
        convert.Set(picture.kr, picture.kb, picture.fullRange);
        const int c = row0 >> picture.shiftY;
        const int cx = x0 >> picture.shiftX;
        const uint8_t* const planes[3] = {picture.planes[0] + static_cast<ptrdiff_t>(row0) * picture.strides[0] + x0,
                                          picture.planes[1] + static_cast<ptrdiff_t>(c) * picture.strides[1] + cx,
                                          picture.planes[2] + static_cast<ptrdiff_t>(c) * picture.strides[2] + cx};
        convert.Convert(planes, picture.strides, x1 - x0, row1 - row0, picture.shiftX, picture.shiftY,
                        bgr + static_cast<ptrdiff_t>(x0) * 3, bgrStride, row0);
        return true;
    } catch (...) {
        LOGE("picture rows %d to %d could not be converted", row0, row1);
        return false;
    }
}

}  // namespace libdec
