#include "control/CControl.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "aacdec/CAacDec.h"
#include "h264dec/CH264Dec.h"
#include "log/MyLog.h"
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
      m_audioBufSize(0) {
    std::memset(&m_mediaInfo, 0, sizeof(m_mediaInfo));
}

CControl::~CControl() { Deinit(); }

int CControl::Init(const char* path) {
    const char* name = path ? path : "(null)";
    LOGI("filename:%s", name);
    try {
        m_pMp4Read = new CMp4Read(path);
        if (m_pMp4Read->GetMediaInfo(m_mediaInfo) != 0) throw std::runtime_error("get media info fail");
        m_gopSize = m_pMp4Read->GetGopSize();
        if (m_gopSize <= 0) throw std::runtime_error("fail to get GOP size");

        if (m_mediaInfo.hasVideo == 1) {
            unsigned char* spsPps = nullptr;
            unsigned int spsPpsSize = 0;
            m_pMp4Read->GetSpsPps(spsPps, spsPpsSize);  // parameter sets may also come in-band
            m_pH264Dec = new CH264Dec(static_cast<unsigned short>(m_mediaInfo.width),
                                      static_cast<unsigned short>(m_mediaInfo.height));
            LOGI("h264 dec new ok file:%s", name);
            // An empty packet would mean end of stream to the decoder.
            if (spsPps != nullptr && spsPpsSize != 0) m_pH264Dec->WriteSpsPps(spsPps, spsPpsSize);
        }
        if (m_mediaInfo.hasAudio == 1) {
            m_pAacDec = new CAacDec(m_mediaInfo.samplerate, m_mediaInfo.channels);
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
