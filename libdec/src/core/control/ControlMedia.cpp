// Frame and audio requests of the clip session.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>

#include "aacdec/CAacDec.h"
#include "control/CControl.h"
#include "h264dec/CH264Dec.h"
#include "log/MyLog.h"
#include "mp4read/CMp4Read.h"

namespace {

// The last key sample before sample `s` of the clip's video, 0 where there
// is none. Where one is found, data, size and key hold it as the reader gave it.
unsigned int KeySampleBefore(CMp4Read* rd, unsigned int s, unsigned char*& data, unsigned int& size, bool& key) {
    for (unsigned int t = s; t > 1;) {
        --t;
        if (rd->GetVideoSample(t, data, size, key) == 0 && key) return t;
    }
    return 0;
}

}  // namespace

// Time given to the packet of video sample `sample`: the frame number its
// picture will carry.
long long CControl::SampleTime(unsigned int sample) const {
    unsigned int frame = m_pMp4Read->FrameOfSample(sample);
    return frame != 0 ? frame : sample;
}

unsigned int CControl::PictureNumber() {
    if (!m_countPictures && m_pMp4Read->m_videoFrameOfSample.empty() && m_pH264Dec->ReorderDepth() > 0) {
        // The index gives no display order, yet the stream reorders: sample
        // numbers are not frame numbers, so pictures are counted.
        LOGI("the clip's index has no display order and its pictures are reordered: counting pictures");
        m_countPictures = true;
    }
    if (!m_countPictures) {
        long long t = m_pH264Dec->PictureTime();
        if (t >= 1 && t <= UINT_MAX) return static_cast<unsigned int>(t);
    }
    return m_nextFrame;
}

// At the end of the track the pictures the decoder still holds back for
// reordering are drained one per call; only when none is left does the read
// fail (through the reader, which logs it). 0 or the reader's result.
int CControl::NextPicture(unsigned int n, bool& got, bool passing) {
    got = false;
    if (n > m_pMp4Read->m_videoSampleCount || n == 0) {
        got = m_pH264Dec->DrainOnly();
        if (got) return 0;
    }
    unsigned char* data = nullptr;
    unsigned int size = 0;
    bool key = false;
    int rc = m_pMp4Read->GetVideoSample(n, data, size, key);
    if (rc != 0) return rc;
    got = m_pH264Dec->DecodeOnly(data, size, SampleTime(n), passing && !key);
    return 0;
}

int CControl::GetVideoFrame(long long frame, unsigned char*& out) {
    out = nullptr;
    if (!m_pMp4Read || !m_pH264Dec) return 1;
    CMp4Read* rd = m_pMp4Read;
    CH264Dec* dec = m_pH264Dec;
    unsigned int f = static_cast<unsigned int>(frame);  // low 32 bits
    if (f == 0) f = 1;                                    // frame 0 is the first frame
    const long long G = m_gopSize;
    const unsigned int sampleBefore = m_nextSample;

    if (m_pendingFrame != 0) {
        // The picture that came out instead of the one asked for last time.
        const unsigned int pending = m_pendingFrame;
        m_pendingFrame = 0;
        if (pending == f) {
            m_nextFrame = f + 1;
            out = dec->ConvertPicture();
            return out ? 0 : 1;
        }
    }

    // A seek looks for its key sample from G samples before f on; with
    // m_ownGroup from G - 1 on, so that the key picture of f's own group is
    // found, f itself where it is one, rather than the one a whole group
    // before it.
    const long long reach = m_ownGroup ? G - 1 : G;
    const unsigned int groupStart = static_cast<long long>(f) > reach ? static_cast<unsigned int>(f - reach) : 1u;
    bool positioned = true;
    unsigned int start = m_nextSample;
    if (f < m_nextFrame) {
        start = groupStart;
    } else if (f > m_nextFrame) {
        long long back = static_cast<long long>(f) - reach;
        start = back > static_cast<long long>(m_nextSample) ? static_cast<unsigned int>(back) : m_nextSample;
    }
    if (f != m_nextFrame) {
        positioned = (start == m_nextSample);
        m_nextSample = start;
    }

    // Key sample the last restart began at and its recovery frames. A decoder
    // started at a recovery point shows its pictures only once they are
    // whole: when f was not among them, the key before it is tried.
    unsigned int restartKey = 0, restartRecovery = 0, earlierTries = 0;
    // Pictures shown before f that no other refers to are passed over
    // undecoded where the index numbers the samples' pictures. Their absence
    // can only change when the decoder lets the others out (it may learn
    // how far the stream reorders from them): should a picture after f come
    // out first, the seek is made again decoding everything.
    bool skipping = m_skipPassed && !m_countPictures && !rd->m_videoFrameOfSample.empty();
    bool skipped = false;
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
                    keySample = KeySampleBefore(rd, start, data, size, key);
                    if (keySample != 0) break;
                }
            }
            // A key picture shown after f cannot start its decode: f is one
            // of the pictures before it that refer back across it (an open
            // group), or comes before it anyway. The key before it is taken.
            while (SampleTime(keySample) > static_cast<long long>(f)) {
                const unsigned int earlier = KeySampleBefore(rd, keySample, data, size, key);
                if (earlier != 0) {
                    keySample = earlier;
                    continue;
                }
                // None before it: the key's own sample again, read over since.
                const int rc = rd->GetVideoSample(keySample, data, size, key);
                if (rc != 0) {
                    m_nextSample = sampleBefore;
                    return rc;
                }
                break;
            }
            restartKey = keySample;
            restartRecovery = rd->m_videoRecoveryFrames;
            m_nextSample = keySample + 1;
            m_nextFrame = static_cast<unsigned int>(SampleTime(keySample));
            dec->FlushBuff();
            positioned = true;
            got = dec->DecodeOnly(data, size, SampleTime(keySample));
        } else {
            const unsigned int n = m_nextSample++;
            const bool passing = skipping && SampleTime(n) < static_cast<long long>(f);
            skipped = skipped || passing;
            int rc = NextPicture(n, got, passing);
            if (rc != 0) return rc;
        }
        if (!got) continue;  // the decoder needs more input
        const unsigned int c = PictureNumber();
        m_nextFrame = c + 1;
        if (c < f) continue;  // a picture before the one asked for: never converted
        if (c == f) {
            out = dec->ConvertPicture();
            return out ? 0 : 1;
        }
        if (skipped) {
            skipping = skipped = false;
            start = groupStart;
            positioned = false;
            continue;
        }
        if (restartRecovery != 0 && earlierTries < 8) {
            unsigned char* data = nullptr;
            unsigned int size = 0;
            bool key = false;
            const unsigned int earlier = KeySampleBefore(rd, restartKey, data, size, key);
            if (earlier != 0) {
                ++earlierTries;
                start = earlier;
                positioned = false;
                continue;
            }
        }
        // The picture of frame f never came out (its sample did not decode);
        // the one that did is kept for the next request.
        m_pendingFrame = c;
        m_nextFrame = c;
        LOGE("frame %u cannot be decoded: its sample gave no picture", f);
        return 1;
    }
}

namespace {

// The audio is decoded in segments of kAudioSegment AAC samples, each from a
// fresh decoder state that kAudioPreRoll samples before it have built up.
// Every position then has one decode, whatever the order of the requests: a
// decoder run on from anywhere else could differ (noise substitution draws
// from the decoder's own random generator). Random access costs at most
// kAudioSegment + kAudioPreRoll frames.
const unsigned int kAudioSegment = 16;
const unsigned int kAudioPreRoll = 2;

}  // namespace

int CControl::AudioFramePcm(unsigned int n) {
    const size_t frameSamples = static_cast<size_t>(m_audioFrameLength) * m_mediaInfo.channels;
    if (m_audioFrame.size() < frameSamples) m_audioFrame.resize(frameSamples);
    unsigned char* pcm = reinterpret_cast<unsigned char*>(m_audioFrame.data());
    const unsigned int roomBytes = static_cast<unsigned int>(frameSamples * 2);
    unsigned char* data = nullptr;
    unsigned int size = 0;
    const unsigned int anchor = (n - 1) / kAudioSegment * kAudioSegment + 1;
    if (n != m_audioNext || n == anchor) {
        // Start n's segment afresh: the frames before its first one build
        // the overlap it adds to, then the segment is decoded up to n.
        m_pAacDec->Reset();
        for (unsigned int m = anchor > kAudioPreRoll ? anchor - kAudioPreRoll : 1; m < n; ++m) {
            unsigned int room = roomBytes;
            if (m_pMp4Read->GetAudioSample(m, data, size) == 0) m_pAacDec->Decode(data, size, pcm, room);
        }
    }
    m_audioNext = 0;
    if (m_pMp4Read->GetAudioSample(n, data, size) != 0) return 1;
    m_audioNext = n + 1;  // a frame that fails leaves the state every decode of it leaves
    unsigned int room = roomBytes;
    if (m_pAacDec->Decode(data, size, pcm, room) != 0) {
        std::fill(m_audioFrame.begin(), m_audioFrame.end(), 0);
        return 2;
    }
    // A frame shorter than the stream's (never seen in practice) ends in silence.
    std::fill(m_audioFrame.begin() + room / 2, m_audioFrame.begin() + frameSamples, 0);
    return 0;
}

int CControl::GetAudioFrame(long long start, long long req, unsigned char*& out) {
    LOGI("GetAudioFrame start:%lld req:%lld", start, req);
    // More than the track holds can never be delivered; refuse it before
    // sizing the buffer from it.
    const long long trackBlocks = m_mediaInfo.samples > 0 ? m_mediaInfo.samples / 1024 : 0;
    if (req < 0 || req / 1024 > trackBlocks) {
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
    // Positions [first, first + count): whole blocks of 1024 from the block
    // that holds `start`.
    const long long block = start / 1024;
    const long long count = (req / 1024) * 1024;
    if (count == 0) {
        out = m_pAudioBuf;
        return 0;
    }
    if (!m_pMp4Read || !m_pAacDec || !m_pAudioBuf || m_mediaInfo.hasAudio != 1) return 1;
    const long long first = block * 1024;
    if (block < 0 || first > m_mediaInfo.samples - count) {
        LOGI("audio positions %lld to %lld lie outside the track's %lld", first, first + count,
             static_cast<long long>(m_mediaInfo.samples));
        return 1;
    }
    const unsigned int C = m_mediaInfo.channels;
    const long long F = m_audioFrameLength;
    const long long aacSamples = m_pMp4Read->m_audioSampleCount;
    short* dst = reinterpret_cast<short*>(m_pAudioBuf);
    // Decoder output samples [q0, q1) hold the positions asked for.
    const long long q0 = first + m_audioDelay;
    const long long q1 = q0 + count;
    for (long long n = q0 / F + 1; (n - 1) * F < q1; ++n) {
        const long long lo = std::max(q0, (n - 1) * F);
        const long long hi = std::min(q1, n * F);
        short* to = dst + (lo - q0) * C;
        const size_t samples = static_cast<size_t>(hi - lo) * C;
        int rc = n <= aacSamples ? AudioFramePcm(static_cast<unsigned int>(n)) : 2;  // past the last frame: silence
        if (rc == 1) return 1;
        // A track whose frames decode to no channels has no samples to copy
        // (nor a frame to copy them from).
        if (rc == 2)
            std::fill(to, to + samples, 0);
        else if (samples > 0)
            std::memcpy(to, m_audioFrame.data() + (lo - (n - 1) * F) * C, samples * sizeof(short));
    }
    out = m_pAudioBuf;
    return 0;
}
