#include "control/CControl.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "aacdec/CAacDec.h"
#include "h264dec/CH264Dec.h"
#include "log/MyLog.h"
#include "isobmff/Mp4Container.h"
#include "mp4read/CMp4Read.h"

namespace {

const unsigned int kInitialAudioBufSize = 0x20000;

}  // namespace

CControl::CControl()
    : m_pMp4Read(nullptr),
      m_pH264Dec(nullptr),
      m_pAacDec(nullptr),
      m_mediaInfo(),
      m_gopSize(0),
      m_nextSample(1),
      m_nextFrame(1),
      m_pAudioBuf(nullptr),
      m_audioBufSize(0),
      m_pendingFrame(0),
      m_countPictures(false),
      m_skipPassed(false),
      m_ownGroup(false),
      m_audioDelay(0),
      m_audioFrameLength(1024),
      m_audioNext(0) {
    std::memset(&m_mediaInfo, 0, sizeof(m_mediaInfo));
}

CControl::~CControl() { Deinit(); }

int CControl::Init(const char* path) {
    const char* name = path ? path : "(null)";
    LOGI("filename:%s", name);
    try {
        m_pMp4Read = new CMp4Read(path);
        if (m_pMp4Read->GetMediaInfo(m_mediaInfo) != 0) throw std::runtime_error("get media info fail");
        if (m_mediaInfo.hasVideo == 1 && m_mediaInfo.frames == 0) {
            const mp4::Track* t = m_pMp4Read->VideoTrack();
            if (t && t->indexedSamples > 0)
                LOGE("None of the %u samples of the video track lies wholly inside the file: %s", t->indexedSamples,
                     name);
            else
                LOGE("The video track has no samples in its index: %s", name);
            throw std::runtime_error("no video samples");
        }
        m_gopSize = m_pMp4Read->GetGopSize();
        if (m_gopSize <= 0) throw std::runtime_error("fail to get GOP size");

        if (m_mediaInfo.hasVideo == 1) {
            unsigned char* spsPps = nullptr;
            unsigned int spsPpsSize = 0;
            m_pMp4Read->GetSpsPps(spsPps, spsPpsSize);  // parameter sets may also come in-band
            m_pH264Dec = new CH264Dec(static_cast<unsigned short>(m_mediaInfo.width),
                                      static_cast<unsigned short>(m_mediaInfo.height));
            LOGI("h264 dec new ok file:%s", name);
            // The container's colour box stands in where the stream names no colours.
            if (const mp4::Track* v = m_pMp4Read->VideoTrack())
                if (v->hasColor) m_pH264Dec->SetContainerColor(v->colorMatrix, v->colorFullRange);
            // An empty packet would mean end of stream to the decoder.
            if (spsPps != nullptr && spsPpsSize != 0) m_pH264Dec->WriteSpsPps(spsPps, spsPpsSize);
        }
        if (m_mediaInfo.hasAudio == 1) {
            OpenAudio();
            LOGI("AAC dec new ok:%s", name);
            m_audioBufSize = kInitialAudioBufSize;
            m_pAudioBuf = new unsigned char[m_audioBufSize]();
        }
    } catch (int code) {
        LOGE("catch error:%d %s", code, name);
        Deinit();
        return code != 0 ? code : 1;
    } catch (...) {
        LOGE("Failed to initialize CControl %s", name);
        Deinit();
        return 1;
    }
    LOGI("control init success:%s", name);
    return 0;
}

void CControl::OpenAudio() {
    const mp4::Track* t = m_pMp4Read->AudioTrack();
    const std::vector<uint8_t>* config = t ? &t->decoderConfig : nullptr;
    m_pAacDec = new CAacDec(config && !config->empty() ? config->data() : nullptr,
                            config ? static_cast<unsigned int>(config->size()) : 0, m_mediaInfo.samplerate,
                            m_mediaInfo.channels);
    // What a frame really decodes to (the configuration may not tell, e.g.
    // with SBR): the first of the first few frames that decodes.
    for (unsigned int n = 1; n <= 8 && n <= m_pMp4Read->m_audioSampleCount; ++n) {
        unsigned char* data = nullptr;
        unsigned int size = 0;
        if (m_pMp4Read->GetAudioSample(n, data, size) == 0 && m_pAacDec->Probe(data, size)) break;
    }
    m_audioFrameLength = m_pAacDec->FrameLength() ? m_pAacDec->FrameLength() : 1024;
    m_mediaInfo.channels = static_cast<uint8_t>(m_pAacDec->OutputChannels());
    if (m_mediaInfo.samplerate != 0 && m_pAacDec->OutputRate() != 0) m_mediaInfo.samplerate = m_pAacDec->OutputRate();
    m_mediaInfo.samples = static_cast<int64_t>(m_pMp4Read->m_audioSampleCount) * m_audioFrameLength;
    // The edit list's start, in the track's time scale, skips the encoder's
    // priming: position 0 is the first sample the clip presents.
    m_audioDelay = 0;
    if (t && t->mediaStart > 0 && t->timescale > 0 && m_mediaInfo.samplerate > 0) {
        long double d = static_cast<long double>(t->mediaStart) * m_mediaInfo.samplerate / t->timescale;
        m_audioDelay = d < static_cast<long double>(m_mediaInfo.samples) ? static_cast<long long>(d + 0.5L)
                                                                          : m_mediaInfo.samples;
    }
    m_audioNext = 0;
    LOGI("audio: %u Hz, %u channels, %u samples per frame, %lld samples of priming", m_mediaInfo.samplerate,
         static_cast<unsigned int>(m_mediaInfo.channels), m_audioFrameLength, m_audioDelay);
}

void CControl::Deinit() {
    LOGI("Deinit");
    delete m_pMp4Read;
    m_pMp4Read = nullptr;
    delete m_pH264Dec;
    m_pH264Dec = nullptr;
    delete m_pAacDec;
    m_pAacDec = nullptr;
    delete[] m_pAudioBuf;
    m_pAudioBuf = nullptr;
    m_audioBufSize = 0;
}

int CControl::GetMediaInfo(_MediaInfo& info) {
    info = m_mediaInfo;
    return 0;
}

int CControl::GetOffset(char*& offset) {
    if (m_pMp4Read == nullptr) {
        offset = nullptr;
        return 1;
    }
    return m_pMp4Read->GetOffset(offset);
}

char* CControl::GetComment() { return m_pMp4Read ? m_pMp4Read->GetVideoComment() : nullptr; }
