#include "h264dec/CH264Dec.h"

#include <algorithm>
#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "h264dec/FfLog.h"
#include "log/MyLog.h"

pthread_mutex_t CH264Dec::mtx_ = PTHREAD_MUTEX_INITIALIZER;
const long long CH264Dec::kNoTime = AV_NOPTS_VALUE;

namespace {

// Bicubic scaler from `srcFormat` to packed BGR24, as sws_getContext makes
// it, but known to the log routing before it says anything (a full-range
// source, say, draws a warning while it is set up). Null when it cannot be made.
SwsContext* MakeScaler(int srcW, int srcH, int srcFormat, int dstW, int dstH) {
    SwsContext* ctx = sws_alloc_context();
    if (!ctx) return nullptr;
    fflog::Adopt(ctx);
    bool ok = av_opt_set_int(ctx, "sws_flags", SWS_BICUBIC, 0) >= 0 && av_opt_set_int(ctx, "srcw", srcW, 0) >= 0 &&
              av_opt_set_int(ctx, "srch", srcH, 0) >= 0 && av_opt_set_int(ctx, "src_format", srcFormat, 0) >= 0 &&
              av_opt_set_int(ctx, "dstw", dstW, 0) >= 0 && av_opt_set_int(ctx, "dsth", dstH, 0) >= 0 &&
              av_opt_set_int(ctx, "dst_format", AV_PIX_FMT_BGR24, 0) >= 0 &&
              sws_init_context(ctx, nullptr, nullptr) >= 0;
    if (!ok) {
        sws_freeContext(ctx);
        fflog::Release(ctx);
        return nullptr;
    }
    return ctx;
}

bool IsFullRangeFormat(int format) {
    return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P ||
           format == AV_PIX_FMT_YUVJ440P || format == AV_PIX_FMT_YUVJ411P;
}

// A matrix the scaler has coefficients for (AVColorSpace, whose numbers are
// those of ISO/IEC 23091-2 that the stream and the container use).
bool KnownMatrix(int matrix) {
    switch (matrix) {
        case AVCOL_SPC_BT709:
        case AVCOL_SPC_FCC:
        case AVCOL_SPC_BT470BG:
        case AVCOL_SPC_SMPTE170M:
        case AVCOL_SPC_SMPTE240M:
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL:
            return true;
        default:
            return false;
    }
}

}  // namespace

// The matrix and range the picture's YUV was made with, as players read it:
// what the stream's own colour description names; where it names nothing,
// what the container's colour box names; else, for the matrix, BT.709 for
// high-definition pictures (at least 1280 wide or more than 576 lines) and
// BT.601 for the rest, and limited range (unless the pixel format itself is
// a full-range one).
void CH264Dec::PictureColor(const AVFrame* f, int* matrix, int* fullRange) {
    if (KnownMatrix(f->colorspace)) {
        *matrix = f->colorspace;
        m_matrixFrom = kFromStream;
    } else if (KnownMatrix(m_containerMatrix)) {
        *matrix = m_containerMatrix;
        m_matrixFrom = kFromContainer;
    } else {
        *matrix = f->width >= 1280 || f->height > 576 ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
        m_matrixFrom = kFromDefault;
    }
    if (f->color_range == AVCOL_RANGE_JPEG || f->color_range == AVCOL_RANGE_MPEG || IsFullRangeFormat(f->format)) {
        *fullRange = f->color_range == AVCOL_RANGE_JPEG || IsFullRangeFormat(f->format) ? 1 : 0;
        m_rangeFrom = kFromStream;
    } else if (m_containerFullRange >= 0) {
        *fullRange = m_containerFullRange;
        m_rangeFrom = kFromContainer;
    } else {
        *fullRange = 0;
        m_rangeFrom = kFromDefault;
    }
    m_lastMatrix = *matrix;
    m_lastFullRange = *fullRange;
}

namespace {

// Luma weights of red and blue of a matrix PictureColour names.
void LumaWeights(int matrix, double* kr, double* kb) {
    switch (matrix) {
        case AVCOL_SPC_BT709:
            *kr = 0.2126, *kb = 0.0722;
            break;
        case AVCOL_SPC_FCC:
            *kr = 0.30, *kb = 0.11;
            break;
        case AVCOL_SPC_SMPTE240M:
            *kr = 0.212, *kb = 0.087;
            break;
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL:
            *kr = 0.2627, *kb = 0.0593;
            break;
        default:  // BT.601
            *kr = 0.299, *kb = 0.114;
            break;
    }
}

// Chroma subsampling of the 8-bit planar YUV formats converted without the
// scaler; false for any other format.
bool PlanarYuv8(int format, int* shiftX, int* shiftY) {
    switch (format) {
        case AV_PIX_FMT_YUV420P:
        case AV_PIX_FMT_YUVJ420P:
            *shiftX = *shiftY = 1;
            return true;
        case AV_PIX_FMT_YUV422P:
        case AV_PIX_FMT_YUVJ422P:
            *shiftX = 1, *shiftY = 0;
            return true;
        case AV_PIX_FMT_YUV444P:
        case AV_PIX_FMT_YUVJ444P:
            *shiftX = *shiftY = 0;
            return true;
        default:
            return false;
    }
}

// Makes `ctx` read its source with `matrix` and `fullRange`; false when the
// scaler refuses.
bool SetSourceColor(SwsContext* ctx, int matrix, int fullRange) {
    int *invTable = nullptr, *table = nullptr;
    int srcRange = 0, dstRange = 0, brightness = 0, contrast = 0, saturation = 0;
    if (sws_getColorspaceDetails(ctx, &invTable, &srcRange, &table, &dstRange, &brightness, &contrast,
                                 &saturation) < 0)
        return false;
    return sws_setColorspaceDetails(ctx, sws_getCoefficients(matrix), fullRange, table, dstRange, brightness,
                                    contrast, saturation) >= 0;
}

}  // namespace

CH264Dec::CH264Dec(unsigned short width, unsigned short height)
    : m_width(width),
      m_height(height),
      m_pCodec(nullptr),
      m_pContext(nullptr),
      m_swctx(nullptr),
      m_picture{nullptr, nullptr, nullptr, nullptr},
      m_pictureLinesize{0, 0, 0, 0},
      m_pFrame(nullptr),
      m_packet(nullptr),
      m_bFirstError(true),
      m_bDraining(false),
      m_bHasPicture(false),
      m_bSilenced(false),
      m_srcWidth(0),
      m_srcHeight(0),
      m_srcFormat(AV_PIX_FMT_NONE),
      m_srcMatrix(-1),
      m_srcFullRange(-1),
      m_yuvMatrix(-1),
      m_yuvFullRange(-1),
      m_containerMatrix(-1),
      m_containerFullRange(-1),
      m_lastMatrix(-1),
      m_lastFullRange(-1),
      m_matrixFrom(kFromDefault),
      m_rangeFrom(kFromDefault) {
    int ret = Init();
    if (ret != 0) {
        LOGE("Failed to initialize H264Dec");
        DeInit();
        throw ret;
    }
}

CH264Dec::~CH264Dec() { DeInit(); }

int CH264Dec::Init() {
    // The codec library registers its codecs on its own since libavcodec 58;
    // the lock still serialises every decoder's set-up against the others.
    pthread_mutex_lock(&mtx_);
    fflog::Install();
    m_pCodec = avcodec_find_decoder(AV_CODEC_ID_H264);
    pthread_mutex_unlock(&mtx_);
    if (!m_pCodec) {
        LOGE("Failed on avcodec_find_decoder()");
        return 1;
    }
    m_pContext = avcodec_alloc_context3(m_pCodec);
    if (!m_pContext) {
        LOGE("Failed on avcodec_alloc_context()");
        return 1;
    }
    fflog::Adopt(m_pContext);
    m_pContext->log_level_offset = fflog::kLevelOffset;
    // A stream far larger than its track says is refused picture by picture:
    // it would take memory out of all proportion (the sizes may differ, but
    // not wildly).
    m_pContext->max_pixels = std::max<int64_t>(16LL * m_width * m_height, 4096LL * 4096);
    m_packet = av_packet_alloc();
    if (!m_packet) {
        LOGE("Failed on av_packet_alloc()");
        return 1;
    }
    m_swctx = MakeScaler(m_width, m_height, AV_PIX_FMT_YUV420P, m_width, m_height);
    if (!m_swctx) {
        LOGE("Failed on sws_getContext()");
        return 1;
    }
    m_srcWidth = m_width;
    m_srcHeight = m_height;
    m_srcFormat = AV_PIX_FMT_YUV420P;
    m_srcMatrix = m_srcFullRange = m_yuvMatrix = m_yuvFullRange = -1;
    // Byte alignment: rows are packed, 3 x width bytes apart.
    if (av_image_alloc(m_picture, m_pictureLinesize, m_width, m_height, AV_PIX_FMT_BGR24, 1) < 0) {
        // Without the output picture no frame could ever be handed out.
        LOGE("Failed on av_image_alloc()");
        return 1;
    }
    m_pFrame = av_frame_alloc();
    if (!m_pFrame) {
        LOGE("Failed on avcodec_alloc_frame()");
        return 1;
    }
    m_pContext->codec_type = AVMEDIA_TYPE_VIDEO;
    m_pContext->codec_id = AV_CODEC_ID_H264;
    m_pContext->width = m_width;
    m_pContext->height = m_height;
    m_pContext->pix_fmt = AV_PIX_FMT_YUV420P;
    m_pContext->thread_count = 1;
    int ret;
    pthread_mutex_lock(&mtx_);
    ret = avcodec_open2(m_pContext, m_pCodec, nullptr);
    pthread_mutex_unlock(&mtx_);
    if (ret < 0) {
        LOGE("Failed on avcodec_open(). Error Code:%d", ret);
        return 1;
    }
    LOGI("h264dec init success");
    return 0;
}

void CH264Dec::DeInit() {
    LOGI("Start destroy CH264Dec object");
    if (m_pContext) {
        LOGI("Free m_pContext");
        AVCodecContext* ctx = m_pContext;
        avcodec_free_context(&m_pContext);  // closes and frees
        fflog::Release(ctx);
        m_pContext = nullptr;
    }
    if (m_pFrame) {
        LOGI("Free m_pFrame");
        av_frame_free(&m_pFrame);
        m_pFrame = nullptr;
    }
    if (m_swctx) {
        LOGI("Free m_swctx");
        sws_freeContext(m_swctx);
        fflog::Release(m_swctx);
        m_swctx = nullptr;
    }
    if (m_picture[0]) {
        av_freep(&m_picture[0]);
        for (int i = 0; i < 4; ++i) {
            m_picture[i] = nullptr;
            m_pictureLinesize[i] = 0;
        }
    }
    if (m_packet) av_packet_free(&m_packet);
    m_bHasPicture = false;
    m_bDraining = false;
}

void CH264Dec::WriteSpsPps(unsigned char* buffer, unsigned int size) {
    if (m_pContext) Decode(buffer, size);
}

void CH264Dec::ReportError(int err) {
    if (m_bFirstError) {
        m_bFirstError = false;
        m_bSilenced = true;  // FFmpeg's own words about it are dropped too
        return;
    }
    LOGE("Error occured while decoding frame. Error Code:%d", err);
}

bool CH264Dec::Receive() {
    int ret = avcodec_receive_frame(m_pContext, m_pFrame);
    if (ret == 0) return true;
    if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) ReportError(ret);
    return false;
}

bool CH264Dec::DecodeOnly(unsigned char* buffer, unsigned int size, long long time, bool discardNonRef) {
    fflog::Hold hold;
    m_bSilenced = false;
    bool got = Submit(buffer, size, time, discardNonRef);
    if (m_bSilenced) hold.Drop();
    return got;
}

bool CH264Dec::Submit(unsigned char* buffer, unsigned int size, long long time, bool discardNonRef) {
    m_bHasPicture = false;
    if (!m_pContext || !m_packet || !m_pFrame) return false;
    // A drained decoder accepts no input until it is reset.
    if (m_bDraining) FlushBuff();
    if (!buffer || size == 0) return false;  // an empty packet would mean end of stream
    // The decoder reads it while the packet is sent, which decodes it.
    m_pContext->skip_frame = discardNonRef ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    if (size > 0x7FFFFFFFu - AV_INPUT_BUFFER_PADDING_SIZE) {
        LOGE("packet of %u bytes is too large", size);
        return false;
    }
    av_packet_unref(m_packet);
    m_packet->data = buffer;
    m_packet->size = static_cast<int>(size);
    m_packet->pts = time;
    int ret = avcodec_send_packet(m_pContext, m_packet);
    m_packet->data = nullptr;
    m_packet->size = 0;
    if (ret == AVERROR(EAGAIN)) {
        // Output still pending (cannot happen with one packet per picture):
        // take it, then hand in the packet so that no input is lost.
        m_bHasPicture = Receive();
        m_packet->data = buffer;
        m_packet->size = static_cast<int>(size);
        ret = avcodec_send_packet(m_pContext, m_packet);
        m_packet->data = nullptr;
        m_packet->size = 0;
        if (ret < 0 && ret != AVERROR(EAGAIN)) ReportError(ret);
        return m_bHasPicture;
    }
    if (ret < 0) {
        ReportError(ret);
        return false;
    }
    m_bHasPicture = Receive();
    return m_bHasPicture;
}

bool CH264Dec::DrainOnly() {
    m_bHasPicture = false;
    if (!m_pContext || !m_pFrame) return false;
    if (!m_bDraining) {
        m_bDraining = true;
        m_pContext->skip_frame = AVDISCARD_DEFAULT;
        int ret = avcodec_send_packet(m_pContext, nullptr);
        if (ret < 0 && ret != AVERROR_EOF) ReportError(ret);
    }
    m_bHasPicture = Receive();
    return m_bHasPicture;
}

unsigned char* CH264Dec::ConvertPicture() {
    m_held = HeldPicture();
    if (!m_bHasPicture || !m_picture[0]) return nullptr;
    AVFrame* f = m_pFrame;
    int matrix = 0, fullRange = 0;
    PictureColor(f, &matrix, &fullRange);
    // Pictures of the expected size in the usual formats: converted here, to
    // the nearest level (the scaler's own conversion of them is off by up to
    // two or three levels, and green more than the others).
    int shiftX = 0, shiftY = 0;
    if (f->width == static_cast<int>(m_width) && f->height == static_cast<int>(m_height) &&
        PlanarYuv8(f->format, &shiftX, &shiftY)) {
        if (m_keepPlanes) {
            AVFrame* held = av_frame_clone(f);
            if (!held) return nullptr;
            m_held.frame.reset(held, [](AVFrame* p) { av_frame_free(&p); });
            m_held.shiftX = shiftX;
            m_held.shiftY = shiftY;
            LumaWeights(matrix, &m_held.kr, &m_held.kb);
            m_held.fullRange = fullRange != 0;
            return m_picture[0];
        }
        if (matrix != m_yuvMatrix || fullRange != m_yuvFullRange) {
            double kr = 0, kb = 0;
            LumaWeights(matrix, &kr, &kb);
            m_yuv.Set(kr, kb, fullRange != 0);
            m_yuvMatrix = matrix;
            m_yuvFullRange = fullRange;
        }
        const uint8_t* const planes[3] = {f->data[0], f->data[1], f->data[2]};
        const int strides[3] = {f->linesize[0], f->linesize[1], f->linesize[2]};
        m_yuv.Convert(planes, strides, f->width, f->height, shiftX, shiftY, m_picture[0], m_pictureLinesize[0]);
        return m_picture[0];
    }
    // The scaler reads the frame by the geometry it was made for: when the
    // stream's pictures differ from the size given at construction (or come
    // in another pixel format), rebuild it for the frame as it is, still
    // writing m_width x m_height BGR into the fixed buffer.
    if (f->width != m_srcWidth || f->height != m_srcHeight || f->format != m_srcFormat) {
        if (f->width <= 0 || f->height <= 0 || f->format < 0) return nullptr;
        SwsContext* ctx = MakeScaler(f->width, f->height, f->format, m_width, m_height);
        if (!ctx) {
            LOGE("picture %dx%d format %d cannot be converted to %ux%u BGR", f->width, f->height, f->format,
                 m_width, m_height);
            return nullptr;
        }
        LOGI("picture size %dx%d format %d differs from %ux%u: converting", f->width, f->height, f->format,
             m_width, m_height);
        sws_freeContext(m_swctx);
        fflog::Release(m_swctx);
        m_swctx = ctx;
        m_srcWidth = f->width;
        m_srcHeight = f->height;
        m_srcFormat = f->format;
        m_srcMatrix = m_srcFullRange = -1;
    }
    // The scaler's own default is BT.601 limited range whatever the stream
    // says: give it the picture's matrix and range, again whenever they change.
    if (matrix != m_srcMatrix || fullRange != m_srcFullRange) {
        if (!SetSourceColor(m_swctx, matrix, fullRange)) {
            LOGE("picture colours (matrix %d, %s range) cannot be converted", matrix, fullRange ? "full" : "limited");
            return nullptr;
        }
        m_srcMatrix = matrix;
        m_srcFullRange = fullRange;
    }
    sws_scale(m_swctx, f->data, f->linesize, 0, f->height, m_picture, m_pictureLinesize);
    return m_picture[0];
}

long long CH264Dec::PictureTime() const {
    if (!m_bHasPicture || !m_pFrame) return kNoTime;
    return m_pFrame->pts != AV_NOPTS_VALUE ? m_pFrame->pts : m_pFrame->best_effort_timestamp;
}

int CH264Dec::ReorderDepth() const { return m_pContext ? m_pContext->has_b_frames : 0; }

unsigned char* CH264Dec::Decode(unsigned char* buffer, unsigned int size) {
    return DecodeOnly(buffer, size) ? ConvertPicture() : nullptr;
}

unsigned char* CH264Dec::Drain() { return DrainOnly() ? ConvertPicture() : nullptr; }

void CH264Dec::FlushBuff() {
    if (!m_pContext) return;
    avcodec_flush_buffers(m_pContext);
    m_bDraining = false;
    m_bHasPicture = false;
}
