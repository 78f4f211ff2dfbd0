#include "Writers.h"

#include <cstdio>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/spherical.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace stitcher {

std::string avError(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

VideoWriter::~VideoWriter() { close(); }

void VideoWriter::close() {
    if (fmt_) {
        if (fmt_->pb) avio_closep(&fmt_->pb);
        avformat_free_context(fmt_);
        fmt_ = nullptr;
    }
    avcodec_free_context(&venc_);
    avcodec_free_context(&aenc_);
    av_frame_free(&vframe_);
    av_frame_free(&aframe_);
    av_packet_free(&pkt_);
    if (fifo_) {
        av_audio_fifo_free(fifo_);
        fifo_ = nullptr;
    }
    sws_freeContext(sws_);
    sws_ = nullptr;
    swr_free(&swr_);
}

bool VideoWriter::open(const std::string& path, const VideoSettings& s, std::string& error) {
    s_ = s;
    int rc = avformat_alloc_output_context2(&fmt_, nullptr, "mp4", path.c_str());
    if (rc < 0) {
        error = "cannot set up the MP4 writer: " + avError(rc);
        return false;
    }
    // The muxer writes the spherical video boxes only at this compliance level.
    fmt_->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;

    const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
    if (!x264) {
        error = "this FFmpeg has no libx264 encoder";
        return false;
    }
    venc_ = avcodec_alloc_context3(x264);
    venc_->width = s.width;
    venc_->height = s.height;
    venc_->pix_fmt = AV_PIX_FMT_YUV420P;
    venc_->time_base = AVRational{s.fpsDen, s.fpsNum};
    venc_->framerate = AVRational{s.fpsNum, s.fpsDen};
    venc_->sample_aspect_ratio = AVRational{1, 1};
    venc_->color_range = AVCOL_RANGE_MPEG;
    venc_->colorspace = AVCOL_SPC_BT709;
    venc_->color_primaries = AVCOL_PRI_BT709;
    venc_->color_trc = AVCOL_TRC_BT709;
    if (fmt_->oformat->flags & AVFMT_GLOBALHEADER) venc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(venc_->priv_data, "preset", s.preset.c_str(), 0);
    av_opt_set(venc_->priv_data, "crf", std::to_string(s.crf).c_str(), 0);
    if ((rc = avcodec_open2(venc_, x264, nullptr)) < 0) {
        error = "cannot open the H.264 encoder: " + avError(rc);
        return false;
    }
    vst_ = avformat_new_stream(fmt_, nullptr);
    avcodec_parameters_from_context(vst_->codecpar, venc_);
    vst_->time_base = venc_->time_base;
    vst_->avg_frame_rate = venc_->framerate;
    vst_->r_frame_rate = venc_->framerate;
    if (s.spherical) {
        size_t size = 0;
        AVSphericalMapping* map = av_spherical_alloc(&size);
        if (!map) {
            error = "out of memory";
            return false;
        }
        map->projection = AV_SPHERICAL_EQUIRECTANGULAR;
        if ((rc = av_stream_add_side_data(vst_, AV_PKT_DATA_SPHERICAL, reinterpret_cast<uint8_t*>(map), size)) < 0) {
            av_free(map);
            error = "cannot attach the 360 metadata: " + avError(rc);
            return false;
        }
    }

    if (s.audioRate > 0 && s.audioChannels > 0) {
        const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (!aac) {
            error = "this FFmpeg has no AAC encoder";
            return false;
        }
        aenc_ = avcodec_alloc_context3(aac);
        aenc_->sample_rate = s.audioRate;
        aenc_->sample_fmt = AV_SAMPLE_FMT_FLTP;
        av_channel_layout_default(&aenc_->ch_layout, s.audioChannels);
        aenc_->bit_rate = 64000LL * std::min(s.audioChannels, 4);
        aenc_->time_base = AVRational{1, s.audioRate};
        if (fmt_->oformat->flags & AVFMT_GLOBALHEADER) aenc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if ((rc = avcodec_open2(aenc_, aac, nullptr)) < 0) {
            error = "cannot open the AAC encoder: " + avError(rc);
            return false;
        }
        ast_ = avformat_new_stream(fmt_, nullptr);
        avcodec_parameters_from_context(ast_->codecpar, aenc_);
        ast_->time_base = aenc_->time_base;
        AVChannelLayout in;
        av_channel_layout_default(&in, s.audioChannels);
        rc = swr_alloc_set_opts2(&swr_, &aenc_->ch_layout, AV_SAMPLE_FMT_FLTP, s.audioRate, &in, AV_SAMPLE_FMT_S16,
                                 s.audioRate, 0, nullptr);
        av_channel_layout_uninit(&in);
        if (rc < 0 || swr_init(swr_) < 0) {
            error = "cannot set up the audio conversion";
            return false;
        }
        fifo_ = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, s.audioChannels, aenc_->frame_size * 4);
        aframe_ = av_frame_alloc();
        aframe_->format = AV_SAMPLE_FMT_FLTP;
        aframe_->sample_rate = s.audioRate;
        av_channel_layout_copy(&aframe_->ch_layout, &aenc_->ch_layout);
        aframe_->nb_samples = aenc_->frame_size;
        if (av_frame_get_buffer(aframe_, 0) < 0) {
            error = "out of memory";
            return false;
        }
    }
    av_dict_set(&fmt_->metadata, "encoder", "stitcher", 0);

    if ((rc = avio_open(&fmt_->pb, path.c_str(), AVIO_FLAG_WRITE)) < 0) {
        error = "cannot write " + path + ": " + avError(rc);
        return false;
    }
    AVDictionary* mux = nullptr;
    av_dict_set(&mux, "movflags", "+faststart", 0);
    rc = avformat_write_header(fmt_, &mux);
    av_dict_free(&mux);
    if (rc < 0) {
        error = "cannot write the MP4 header: " + avError(rc);
        return false;
    }
    headerWritten_ = true;

    vframe_ = av_frame_alloc();
    vframe_->format = AV_PIX_FMT_YUV420P;
    vframe_->width = s.width;
    vframe_->height = s.height;
    vframe_->color_range = AVCOL_RANGE_MPEG;
    vframe_->colorspace = AVCOL_SPC_BT709;
    if (av_frame_get_buffer(vframe_, 0) < 0) {
        error = "out of memory";
        return false;
    }
    sws_ = sws_getContext(s.width, s.height, AV_PIX_FMT_BGR24, s.width, s.height, AV_PIX_FMT_YUV420P,
                          SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    if (sws_) {
        // Full-range RGB in, BT.709 limited-range YUV out.
        const int* coeffs = sws_getCoefficients(SWS_CS_ITU709);
        sws_setColorspaceDetails(sws_, coeffs, 1, coeffs, 0, 0, 1 << 16, 1 << 16);
    }
    pkt_ = av_packet_alloc();
    if (!sws_ || !pkt_) {
        error = "cannot set up the colour conversion";
        return false;
    }
    return true;
}

bool VideoWriter::drain(AVCodecContext* enc, AVStream* st, std::string& error) {
    while (true) {
        int rc = avcodec_receive_packet(enc, pkt_);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) {
            error = "encoding failed: " + avError(rc);
            return false;
        }
        av_packet_rescale_ts(pkt_, enc->time_base, st->time_base);
        pkt_->stream_index = st->index;
        rc = av_interleaved_write_frame(fmt_, pkt_);
        if (rc < 0) {
            error = "cannot write the video: " + avError(rc);
            return false;
        }
    }
}

bool VideoWriter::writeVideo(const uint8_t* bgr, int stride, std::string& error) {
    int rc = av_frame_make_writable(vframe_);
    if (rc < 0) {
        error = "out of memory";
        return false;
    }
    const uint8_t* src[1] = {bgr};
    int srcStride[1] = {stride};
    sws_scale(sws_, src, srcStride, 0, s_.height, vframe_->data, vframe_->linesize);
    vframe_->pts = videoPts_++;
    if ((rc = avcodec_send_frame(venc_, vframe_)) < 0) {
        error = "H.264 encoding failed: " + avError(rc);
        return false;
    }
    return drain(venc_, vst_, error);
}

bool VideoWriter::encodeAudioFrames(bool flush, std::string& error) {
    while (av_audio_fifo_size(fifo_) >= aenc_->frame_size || (flush && av_audio_fifo_size(fifo_) > 0)) {
        int n = std::min(av_audio_fifo_size(fifo_), aenc_->frame_size);
        int rc = av_frame_make_writable(aframe_);
        if (rc < 0) {
            error = "out of memory";
            return false;
        }
        aframe_->nb_samples = n;
        av_audio_fifo_read(fifo_, reinterpret_cast<void**>(aframe_->data), n);
        aframe_->pts = audioPts_;
        audioPts_ += n;
        if ((rc = avcodec_send_frame(aenc_, aframe_)) < 0) {
            error = "AAC encoding failed: " + avError(rc);
            return false;
        }
        if (!drain(aenc_, ast_, error)) return false;
    }
    return true;
}

bool VideoWriter::writeAudio(const int16_t* pcm, int samples, std::string& error) {
    if (!aenc_ || samples <= 0) return true;
    std::vector<float> planes(static_cast<size_t>(samples) * s_.audioChannels);
    std::vector<uint8_t*> out(s_.audioChannels);
    for (int c = 0; c < s_.audioChannels; ++c) out[c] = reinterpret_cast<uint8_t*>(&planes[static_cast<size_t>(c) * samples]);
    const uint8_t* in[1] = {reinterpret_cast<const uint8_t*>(pcm)};
    int got = swr_convert(swr_, out.data(), samples, in, samples);
    if (got < 0) {
        error = "audio conversion failed";
        return false;
    }
    if (av_audio_fifo_write(fifo_, reinterpret_cast<void**>(out.data()), got) < got) {
        error = "out of memory";
        return false;
    }
    audioIn_ += got;
    return encodeAudioFrames(false, error);
}

bool VideoWriter::finish(std::string& error) {
    int rc = avcodec_send_frame(venc_, nullptr);
    if (rc < 0 && rc != AVERROR_EOF) {
        error = "H.264 encoding failed: " + avError(rc);
        return false;
    }
    if (!drain(venc_, vst_, error)) return false;
    if (aenc_) {
        if (!encodeAudioFrames(true, error)) return false;
        avcodec_send_frame(aenc_, nullptr);
        if (!drain(aenc_, ast_, error)) return false;
    }
    if ((rc = av_write_trailer(fmt_)) < 0) {
        error = "cannot finish the video: " + avError(rc);
        return false;
    }
    if ((rc = avio_closep(&fmt_->pb)) < 0) {
        error = "cannot finish the video: " + avError(rc);
        return false;
    }
    close();
    return true;
}

bool writePng(const std::string& path, const uint8_t* bgr, int stride, int width, int height, std::string& error) {
    const AVCodec* png = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!png) {
        error = "this FFmpeg has no PNG encoder";
        return false;
    }
    AVCodecContext* ctx = avcodec_alloc_context3(png);
    ctx->width = width;
    ctx->height = height;
    ctx->pix_fmt = AV_PIX_FMT_RGB24;
    ctx->time_base = AVRational{1, 25};
    AVFrame* frame = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    bool ok = false;
    int rc = avcodec_open2(ctx, png, nullptr);
    if (rc < 0) {
        error = "cannot open the PNG encoder: " + avError(rc);
    } else {
        frame->format = AV_PIX_FMT_RGB24;
        frame->width = width;
        frame->height = height;
        if (av_frame_get_buffer(frame, 0) < 0) {
            error = "out of memory";
        } else {
            // BGR to RGB by hand: exact, and no scaler needed for a byte swap.
            for (int y = 0; y < height; ++y) {
                const uint8_t* s = bgr + static_cast<size_t>(y) * stride;
                uint8_t* d = frame->data[0] + static_cast<size_t>(y) * frame->linesize[0];
                for (int x = 0; x < width; ++x) {
                    d[3 * x] = s[3 * x + 2];
                    d[3 * x + 1] = s[3 * x + 1];
                    d[3 * x + 2] = s[3 * x];
                }
            }
            if ((rc = avcodec_send_frame(ctx, frame)) < 0 || (rc = avcodec_receive_packet(ctx, pkt)) < 0) {
                error = "PNG encoding failed: " + avError(rc);
            } else {
                FILE* f = std::fopen(path.c_str(), "wb");
                if (!f) {
                    error = "cannot write " + path;
                } else {
                    size_t n = std::fwrite(pkt->data, 1, pkt->size, f);
                    bool closed = std::fclose(f) == 0;
                    ok = n == static_cast<size_t>(pkt->size) && closed;
                    if (!ok) error = "cannot write " + path + " (disk full?)";
                }
            }
        }
    }
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return ok;
}

}  // namespace stitcher
