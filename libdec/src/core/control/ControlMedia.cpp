// Frame and audio requests of the clip session.
#include <cstdint>
#include <cstring>
#include <new>

#include "aacdec/CAacDec.h"
#include "control/CControl.h"
#include "h264dec/CH264Dec.h"
#include "log/MyLog.h"
#include "mp4read/CMp4Read.h"

namespace {

// Reads video sample `n` and gets the next picture out of the decoder without
// converting it. At the end of the track the pictures the decoder still holds
// back for reordering are drained one per call; only when none is left does
// the read fail (through the reader, which logs it). 0 or the reader's result.
int NextPicture(CMp4Read* rd, CH264Dec* dec, unsigned int n, bool& got) {
    got = false;
    if (n > rd->m_videoSampleCount || n == 0) {
        got = dec->DrainOnly();
        if (got) return 0;
    }
    unsigned char* data = nullptr;
    unsigned int size = 0;
    bool key = false;
    int rc = rd->GetVideoSample(n, data, size, key);
    if (rc != 0) return rc;
    got = dec->DecodeOnly(data, size);
    return 0;
}

}  // namespace

int CControl::GetVideoFrame(long long frame, unsigned char*& out) {
    out = nullptr;
    if (!m_pMp4Read || !m_pH264Dec) return 1;
    CMp4Read* rd = m_pMp4Read;
    CH264Dec* dec = m_pH264Dec;
    const unsigned int f = static_cast<unsigned int>(frame);  // low 32 bits
    const long long G = m_gopSize;
    const unsigned int sampleBefore = m_nextSample;

    bool positioned = true;
    unsigned int start = m_nextSample;
    if (f < m_nextFrame) {
        start = static_cast<long long>(f) > G ? static_cast<unsigned int>(f - G) : 1u;
    } else if (f > m_nextFrame) {
        long long back = static_cast<long long>(f) - G;
        start = back > static_cast<long long>(m_nextSample) ? static_cast<unsigned int>(back) : m_nextSample;
    }
    if (f != m_nextFrame) {
        positioned = (start == m_nextSample);
        m_nextSample = start;
    }

    for (;;) {
        bool got = false;
        if (!positioned) {
            // Key sample to restart from: the first one at or after `start`
            // that is not past f; when the GOP around f is longer than G,
            // the last one before `start` (so that f itself is decoded, not
            // a later picture); only when there is none, the first after f.
            unsigned char* data = nullptr;
            unsigned int size = 0;
            bool key = false;
            unsigned int keySample = 0;
            bool lookedBack = false;
            for (unsigned int s = start;; ++s) {
                int rc = rd->GetVideoSample(s, data, size, key);
                if (rc != 0) {
                    // Nothing was decoded: keep the session where it was.
                    m_nextSample = sampleBefore;
                    return rc;
                }
                if (key) {
                    keySample = s;
                    break;
                }
                if (s >= f && !lookedBack) {
                    lookedBack = true;
                    for (unsigned int t = start; t > 1;) {
                        --t;
                        if (rd->GetVideoSample(t, data, size, key) == 0 && key) {
                            keySample = t;
                            break;
                        }
                    }
                    if (keySample != 0) break;
                }
            }
            m_nextSample = keySample + 1;
            m_nextFrame = keySample;
            dec->FlushBuff();
            positioned = true;
            got = dec->DecodeOnly(data, size);
        } else {
            int rc = NextPicture(rd, dec, m_nextSample++, got);
            if (rc != 0) return rc;
        }
        if (!got) continue;  // the decoder needs more input
        unsigned int c = m_nextFrame++;
        if (c < f) continue;  // a picture before the one asked for: never converted
        out = dec->ConvertPicture();
        return out ? 0 : 1;
    }
}

int CControl::GetAudioFrame(long long start, long long req, unsigned char*& out) {
    LOGI("GetAudioFrame start:%lld req:%lld", start, req);
    // More than the track holds can never be delivered; refuse it before
    // sizing the buffer from it.
    const long long trackFrames = m_mediaInfo.samples > 0 ? m_mediaInfo.samples / 1024 : 0;
    if (req < 0 || req / 1024 > trackFrames) {
        LOGE("GetAudioFrame refused req:%lld (track holds %lld samples)", req, (long long)m_mediaInfo.samples);
        return 1;
    }
    const unsigned long long needed64 =
        static_cast<unsigned long long>(m_mediaInfo.channels) * 2ull * static_cast<unsigned long long>(req);
    if (needed64 > 0xFFFFFFFFull) {
        LOGE("GetAudioFrame refused req:%lld (buffer too large)", req);
        return 1;
    }
    const unsigned int needed = static_cast<unsigned int>(needed64);
    if (m_audioBufSize < needed) {
        unsigned char* buf = new (std::nothrow) unsigned char[needed];
        if (!buf) {
            LOGE("GetAudioFrame cannot allocate %u bytes", needed);
            return 1;
        }
        std::memset(buf, 0, needed);
        delete[] m_pAudioBuf;
        m_pAudioBuf = buf;
        m_audioBufSize = needed;
    }
    const unsigned int first = static_cast<unsigned int>(start / 1024 + 1);
    const unsigned int end = static_cast<unsigned int>(start / 1024 + req / 1024 + 1);
    unsigned int written = 0;
    if (first < end && !m_pMp4Read) return 1;
    for (unsigned int s = first; s < end; ++s) {
        unsigned char* data = nullptr;
        unsigned int size = 0;
        int rc = m_pMp4Read->GetAudioSample(s, data, size);
        if (rc != 0) return rc;
        if (!m_pAacDec || !m_pAudioBuf) continue;
        unsigned int room = m_audioBufSize - written;
        if (m_pAacDec->Decode(data, size, m_pAudioBuf + written, room) == 0) written += room;
    }
    out = m_pAudioBuf;
    return 0;
}
