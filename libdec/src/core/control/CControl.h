// Clip session behind a PRDOpen handle: owns the reader, the decoders and the
// PCM buffer, and keeps the read position and picture counter used to seek.
// Internal class (not exported); fields are public for the tests.
#pragma once

#include <vector>

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

    // Pictures are tied to the samples they come from: the number a picture
    // carries is its sample's display position (the packet time), or, for a
    // clip whose index does not give the display order while its stream
    // reorders, the count of pictures since the last key sample.
    unsigned int m_pendingFrame;   // picture held unconverted in the decoder, 0 = none
    bool m_countPictures;
    // Seeks forward leave undecoded the pictures they pass over that no other
    // refers to (see SkipPassedPictures); off unless asked for.
    bool m_skipPassed;
    // Seeks look for their key sample from G - 1 samples before the frame
    // (see SeekFromOwnGroup), not G; off unless asked for.
    bool m_ownGroup;

    // Audio positions: position p of the track is sample p + m_audioDelay of
    // the decoder's output (the edit list's priming), where AAC sample n
    // gives [(n - 1) F, n F) with F = m_audioFrameLength.
    long long m_audioDelay;
    unsigned int m_audioFrameLength;
    unsigned int m_audioNext;      // AAC sample the decoder's state goes on with; 0 = none
    std::vector<short> m_audioFrame;  // PCM of the AAC sample last decoded

private:
    // Sets up the AAC decoder and fills the audio record from what it decodes to.
    void OpenAudio();
    // Frame number of the picture the decoder just gave.
    unsigned int PictureNumber();
    long long SampleTime(unsigned int sample) const;
    // Reads video sample `n` and gets the next picture out of the decoder;
    // with `passing`, a picture of it that no other refers to is not decoded.
    int NextPicture(unsigned int n, bool& got, bool passing = false);
    // PCM of AAC sample `n` into m_audioFrame: 0 decoded, 1 unreadable
    // (the request fails), 2 no PCM (silence in its place).
    int AudioFramePcm(unsigned int n);
};
