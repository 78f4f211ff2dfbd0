// Clip session behind a PRDOpen handle: owns the reader, the decoders and the
// PCM buffer, and keeps the read position and picture counter used to seek.
// Internal class (not exported); fields are public for the tests.
#pragma once

#include "libdec.h"

class CMp4Read;
class CH264Dec;
class CAacDec;

class CControl {
public:
    CControl();
    ~CControl();  // runs Deinit
    CControl(const CControl&) = delete;
    CControl& operator=(const CControl&) = delete;

    // 0 on success; otherwise every part is already released again.
    int Init(const char* path);
    // Releases everything; safe to run more than once.
    void Deinit();
    int GetMediaInfo(_MediaInfo& info);
    // Frame and audio requests (implemented in ControlMedia.cpp).
    int GetVideoFrame(long long frame, unsigned char*& out);
    int GetAudioFrame(long long start, long long req, unsigned char*& out);
    int GetOffset(char*& offset);
    // New[] array owned by the caller, or null.
    char* GetComment();

    // Owned objects (plain new/delete; buffers new[]/delete[]), null when absent.
    CMp4Read* m_pMp4Read;
    CH264Dec* m_pH264Dec;
    CAacDec* m_pAacDec;
    _MediaInfo m_mediaInfo;
    int m_gopSize;               // >= 1 once open
    unsigned int m_nextSample;   // next video sample to read, from 1
    unsigned int m_nextFrame;    // number the next picture out of the decoder carries
    unsigned char* m_pAudioBuf;  // PCM of the last audio request; only grows
    unsigned int m_audioBufSize;
};
