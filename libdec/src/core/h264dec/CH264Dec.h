// H.264 (Annex-B) to packed BGR24 decoder of a fixed output size.
//
// One packet in per Decode, at most one picture out, always into the same
// 3 x width x height byte buffer. Decoding runs on the calling thread only.
#pragma once

#include <pthread.h>

#include <memory>

#include "h264dec/YuvToBgr.h"

extern "C" {
struct AVCodec;
struct AVCodecContext;
struct SwsContext;
struct AVFrame;
struct AVPacket;
}

class CH264Dec {
public:
    // Raises the int code of Init (1) when the codec cannot be set up.
    CH264Dec(unsigned short width, unsigned short height);
    ~CH264Dec();
    CH264Dec(const CH264Dec&) = delete;
    CH264Dec& operator=(const CH264Dec&) = delete;

    int Init();
    // Releases whatever is set; safe to run twice.
    void DeInit();
    // Primes the decoder with "00 00 00 01 SPS 00 00 00 01 PPS".
    void WriteSpsPps(unsigned char* buffer, unsigned int size);
    // Decodes one packet; the BGR picture, or null when none came out.
    unsigned char* Decode(unsigned char* buffer, unsigned int size);
    // Drops every picture held inside the decoder and its reference state.
    void FlushBuff();

    // End of stream: hands out the pictures held back for reordering, one per
    // call (null once none is left). Decode or FlushBuff starts a new stream.
    unsigned char* Drain();

    // Like Decode / Drain, but leaves the picture unconverted (true when one
    // came out); ConvertPicture then writes the last one into the output.
    // Lets a seek skip the colour conversion of pictures nobody looks at.
    // `time` travels with the packet to the picture made from it.
    // With `discardNonRef` a picture that no other refers to is not decoded
    // at all (none comes out of its packet).
    static const long long kNoTime;
    bool DecodeOnly(unsigned char* buffer, unsigned int size, long long time = kNoTime, bool discardNonRef = false);
    bool DrainOnly();
    unsigned char* ConvertPicture();
    // With planes kept, ConvertPicture leaves a picture that it would
    // convert itself (8-bit planar YUV of the expected size) as it is:
    // Held() then shares the decoder's frame, and nothing is written to the
    // BGR buffer; any other picture is converted as always, Held() empty.
    struct HeldPicture {
        std::shared_ptr<AVFrame> frame;  // null: the BGR buffer holds the picture
        int shiftX = 0, shiftY = 0;
        double kr = 0, kb = 0;
        bool fullRange = false;
    };
    void KeepPlanes(bool keep) {
        m_keepPlanes = keep;
        m_held = HeldPicture();
    }
    const HeldPicture& Held() const { return m_held; }
    // Time of the packet the last picture came from; kNoTime when unknown.
    long long PictureTime() const;
    // Pictures the stream holds back for reordering (0: output order is
    // decode order), as far as the decoder knows yet.
    int ReorderDepth() const;

    // The container's colour description, used where the stream names none:
    // an ISO/IEC 23091-2 matrix code and 1 full, 0 limited range (-1: none).
    void SetContainerColor(int matrix, int fullRange) {
        m_containerMatrix = matrix;
        m_containerFullRange = fullRange;
    }
    // Where the matrix or range of the last converted picture came from.
    enum ColorFrom { kFromDefault = 0, kFromStream = 1, kFromContainer = 2 };
    // The matrix (ISO/IEC 23091-2 code) and range the last converted picture
    // was read with, and where each came from; false before the first one.
    bool LastColor(int& matrix, int& fullRange, int& matrixFrom, int& rangeFrom) const {
        if (m_lastMatrix < 0) return false;
        matrix = m_lastMatrix, fullRange = m_lastFullRange, matrixFrom = m_matrixFrom, rangeFrom = m_rangeFrom;
        return true;
    }

    unsigned int m_width;
    unsigned int m_height;
    const AVCodec* m_pCodec;
    AVCodecContext* m_pContext;
    SwsContext* m_swctx;
    // Output picture: one BGR24 plane, no row padding.
    unsigned char* m_picture[4];
    int m_pictureLinesize[4];
    AVFrame* m_pFrame;
    AVPacket* m_packet;
    bool m_bFirstError;

    // Guards the codec library's global set-up, shared by every instance.
    static pthread_mutex_t mtx_;

private:
    // Receives one picture into m_pFrame; logs per the error rule.
    bool Receive();
    void ReportError(int err);
    bool Submit(unsigned char* buffer, unsigned int size, long long time, bool discardNonRef);

    bool m_bDraining;     // end of stream was signalled; a flush must precede new input
    bool m_bHasPicture;   // m_pFrame holds a picture not yet converted
    bool m_bSilenced;     // the current packet's error was the silent first one
    // Source geometry the scaler is currently set up for.
    int m_srcWidth;
    int m_srcHeight;
    int m_srcFormat;
    // Source colour matrix and range it reads with (-1: not set yet).
    int m_srcMatrix;
    int m_srcFullRange;
    // Conversion of pictures that need no scaling, and the matrix and range
    // it is set up for (-1: not yet).
    CYuvToBgr m_yuv;
    int m_yuvMatrix;
    int m_yuvFullRange;
    int m_containerMatrix;
    int m_containerFullRange;
    int m_lastMatrix;
    int m_lastFullRange;
    int m_matrixFrom;
    int m_rangeFrom;
    bool m_keepPlanes = false;
    HeldPicture m_held;
    // The picture's matrix and range (see the definition), noting their source.
    void PictureColor(const AVFrame* f, int* matrix, int* fullRange);
};
