#include "Writers.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <csetjmp>
#include <cstdlib>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <jpeglib.h>

#include "Mp4AddTrack.h"
#include "Mp4Patch.h"
#include "SoundLayout.h"
#include "YuvConvert.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/spherical.h>
#include <libavutil/stereo3d.h>
#include <libswresample/swresample.h>
}

namespace stitcher {

int aacChannels(int channels) { return channels == 7 ? 6 : channels; }

std::string avError(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

YuvFrame::~YuvFrame() { av_frame_free(&frame); }

YuvPlanes YuvFrame::planes() const {
    YuvPlanes p;
    for (int i = 0; i < 3; ++i) {
        p.data[i] = frame->data[i];
        p.stride[i] = frame->linesize[i];
    }
    return p;
}

namespace {

// The instruction sets x264 is to use for a picture `width` wide, as its
// "asm" parameter: all that it finds on this processor less AVX-512 where
// that would make the stream depend on memory that x264 never wrote, and
// nothing (its own choice) elsewhere. Measured with x264 164: with its
// AVX-512 code, the macroblock-tree pass (on at every preset but the two
// fastest) gives a stream that changes with the heap's leftover contents
// wherever the width is not a multiple of 128 pixels. The same frames then
// encode differently from run to run (ffmpeg's own encode of them changes
// with MALLOC_PERTURB_), so that a run, or a farm's segment, could not be
// made again byte for byte. Without AVX-512, or with the tree pass off, the
// stream stays the same. The cost is a few per cent of the encoder's time,
// at those widths only.
std::string x264InstructionSets(int width) {
    if (width % 128 == 0) return "";
    constexpr uint32_t kAvx512 = 1u << 16;  // X264_CPU_AVX512
    using Detect = uint32_t (*)();
    const auto detect = reinterpret_cast<Detect>(dlsym(RTLD_DEFAULT, "x264_cpu_detect"));
    if (!detect) return "";
    const uint32_t cpu = detect();
    return cpu & kAvx512 ? std::to_string(cpu & ~kAvx512) : "";
}

// A picture's buffers for the encoder, as the video's frames are tagged.
bool allocatePicture(AVFrame* frame, int width, int height, AVPixelFormat format = AV_PIX_FMT_YUV420P) {
    frame->format = format;
    frame->width = width;
    frame->height = height;
    frame->color_range = AVCOL_RANGE_MPEG;
    frame->colorspace = AVCOL_SPC_BT709;
    return av_frame_get_buffer(frame, 0) >= 0;
}

// An 8-bit 4:2:0 picture as the 10-bit one `out` takes (4:2:0 or 4:2:2), at
// the same levels: each value times four; a 4:2:2 chroma row lies a quarter
// of a 4:2:0 row from the nearest of those, which weighs three to the next
// one's one (the sum is exact in ten bits).
void widenPicture(const AVFrame* in, AVFrame* out) {
    const int w = in->width, h = in->height;
    for (int y = 0; y < h; ++y) {
        const uint8_t* s = in->data[0] + static_cast<ptrdiff_t>(y) * in->linesize[0];
        uint16_t* d = reinterpret_cast<uint16_t*>(out->data[0] + static_cast<ptrdiff_t>(y) * out->linesize[0]);
        for (int x = 0; x < w; ++x) d[x] = static_cast<uint16_t>(s[x] << 2);
    }
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    const bool rows422 = out->format == AV_PIX_FMT_YUV422P10;
    for (int p = 1; p < 3; ++p) {
        auto row = [&](int j) { return in->data[p] + static_cast<ptrdiff_t>(std::clamp(j, 0, ch - 1)) * in->linesize[p]; };
        for (int y = 0; y < (rows422 ? h : ch); ++y) {
            uint16_t* d = reinterpret_cast<uint16_t*>(out->data[p] + static_cast<ptrdiff_t>(y) * out->linesize[p]);
            if (!rows422) {
                const uint8_t* s = row(y);
                for (int x = 0; x < cw; ++x) d[x] = static_cast<uint16_t>(s[x] << 2);
                continue;
            }
            const uint8_t* a = row(y / 2);
            const uint8_t* b = row(y % 2 ? y / 2 + 1 : y / 2 - 1);
            for (int x = 0; x < cw; ++x) d[x] = static_cast<uint16_t>(3 * a[x] + b[x]);
        }
    }
}

}  // namespace

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
    av_frame_free(&wide_);
    av_frame_free(&aframe_);
    av_packet_free(&pkt_);
    if (fifo_) {
        av_audio_fifo_free(fifo_);
        fifo_ = nullptr;
    }
    swr_free(&swr_);
}

Status VideoWriter::writeFailed(const char* what, int rc) const {
    // The file's own error: a full disk, a lost device.
    if (fmt_ && fmt_->pb && fmt_->pb->error < 0)
        return Status(kExitOutput, "cannot write " + s_.name + ": " + avError(fmt_->pb->error));
    return Status(kExitFailed, std::string(what) + ": " + avError(rc));
}

Status VideoWriter::open(const std::string& path, const VideoSettings& s) { return openAny(path, s, nullptr); }

Status VideoWriter::openCopy(const std::string& path, const VideoSettings& s, const AVCodecParameters* video) {
    if (!video || s.timescale <= 0) return Status(kExitFailed, "no video stream to copy");
    return openAny(path, s, video);
}

Status VideoWriter::writeVideoPacket(AVPacket* packet) {
    if (venc_ || !vst_) return Status(kExitFailed, "the video is not a copied one");
    av_packet_rescale_ts(packet, AVRational{1, s_.timescale}, vst_->time_base);
    packet->stream_index = vst_->index;
    const int rc = av_interleaved_write_frame(fmt_, packet);
    if (rc < 0) return writeFailed("cannot write the video", rc);
    return Status();
}

Status VideoWriter::openAny(const std::string& path, const VideoSettings& s, const AVCodecParameters* copy) {
    s_ = s;
    path_ = path;
    if (s_.name.empty()) s_.name = path;
    const bool isoBoxes = s.container != Container::Mkv;  // MP4 and MOV: boxes
    int rc = avformat_alloc_output_context2(&fmt_, nullptr, muxerName(s.container), path.c_str());
    if (rc < 0) {
        return Status(kExitFailed, std::string("cannot set up the ") + muxerName(s.container) + " writer: " + avError(rc));
    }
    // The muxer writes the spherical video boxes only at this compliance level.
    fmt_->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;

    if (copy) {
        vst_ = avformat_new_stream(fmt_, nullptr);
        if (!vst_ || avcodec_parameters_copy(vst_->codecpar, copy) < 0) return Status(kExitFailed, "out of memory");
        vst_->codecpar->codec_tag = s.hevc && isoBoxes ? MKTAG('h', 'v', 'c', '1') : 0;
        vst_->time_base = AVRational{1, s.timescale};
        vst_->avg_frame_rate = AVRational{s.fpsNum, s.fpsDen};
        vst_->r_frame_rate = vst_->avg_frame_rate;
    }
    const char* encoder = s.prores ? "prores_ks" : s.hevc ? "libx265" : "libx264";
    const AVPixelFormat format = s.prores                         ? AV_PIX_FMT_YUV422P10
                                 : s.hevc && s.bitDepth == 10 ? AV_PIX_FMT_YUV420P10
                                                              : AV_PIX_FMT_YUV420P;
    const AVCodec* videoCodec = copy ? nullptr : avcodec_find_encoder_by_name(encoder);
    if (!copy && !videoCodec) {
        return Status(kExitFailed, std::string("this FFmpeg has no ") + encoder + " encoder");
    }
    if (!copy) {
        venc_ = avcodec_alloc_context3(videoCodec);
        venc_->width = s.width;
        venc_->height = s.height;
        venc_->pix_fmt = format;
        venc_->time_base = s.timescale > 0 ? AVRational{1, s.timescale} : AVRational{s.fpsDen, s.fpsNum};
        venc_->framerate = AVRational{s.fpsNum, s.fpsDen};
        venc_->sample_aspect_ratio = AVRational{1, 1};
        venc_->color_range = AVCOL_RANGE_MPEG;
        venc_->colorspace = AVCOL_SPC_BT709;
        venc_->color_primaries = AVCOL_PRI_BT709;
        venc_->color_trc = AVCOL_TRC_BT709;
        if (fmt_->oformat->flags & AVFMT_GLOBALHEADER) venc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (s.prores) {
            av_opt_set(venc_->priv_data, "profile", "hq", 0);
            venc_->thread_count = 0;  // one per core
        } else {
            av_opt_set(venc_->priv_data, "preset", s.preset.c_str(), 0);
            av_opt_set(venc_->priv_data, "crf", std::to_string(s.crf).c_str(), 0);
        }
        // x265 prints its own account on standard error unless told not to.
        std::string x265 = av_log_get_level() < AV_LOG_INFO ? "log-level=error" : "";
        std::string x264;
        if (s.closedGop) {
            // Pieces that are joined must not refer across their borders, and
            // their key frames are where the pieces begin.
            x265 += std::string(x265.empty() ? "" : ":") + "open-gop=0";
            x264 = "open-gop=0";
        }
        if (!s.hevc && !s.prores) {
            const std::string sets = x264InstructionSets(s.width);
            if (!sets.empty()) x264 += std::string(x264.empty() ? "" : ":") + "asm=" + sets;
            if (!x264.empty()) av_opt_set(venc_->priv_data, "x264-params", x264.c_str(), 0);
        }
        if (s.hevc && !x265.empty()) av_opt_set(venc_->priv_data, "x265-params", x265.c_str(), 0);
        if ((rc = avcodec_open2(venc_, videoCodec, nullptr)) < 0) {
            return Status(kExitFailed, std::string("cannot open the ") + codecName() + " encoder: " + avError(rc));
        }
        vst_ = avformat_new_stream(fmt_, nullptr);
        avcodec_parameters_from_context(vst_->codecpar, venc_);
        // Players take HEVC in MP4 from an 'hvc1' entry (parameter sets in the header only).
        if (s.hevc && isoBoxes) vst_->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
        vst_->time_base = venc_->time_base;
        vst_->disposition = AV_DISPOSITION_DEFAULT;  // Matroska marks a track a player takes first only so
        vst_->avg_frame_rate = venc_->framerate;
        vst_->r_frame_rate = venc_->framerate;
    }
    if (s.spherical) {
        size_t size = 0;
        AVSphericalMapping* map = av_spherical_alloc(&size);
        if (!map) {
            return Status(kExitFailed, "out of memory");
        }
        map->projection = AV_SPHERICAL_EQUIRECTANGULAR;
        if ((rc = av_stream_add_side_data(vst_, AV_PKT_DATA_SPHERICAL, reinterpret_cast<uint8_t*>(map), size)) < 0) {
            av_free(map);
            return Status(kExitFailed, "cannot attach the 360 metadata: " + avError(rc));
        }
        // And monoscopic, said outright (st3d) rather than left to the reader.
        AVStereo3D* mono = av_stereo3d_alloc();
        if (!mono) return Status(kExitFailed, "out of memory");
        mono->type = AV_STEREO3D_2D;
        if ((rc = av_stream_add_side_data(vst_, AV_PKT_DATA_STEREO3D, reinterpret_cast<uint8_t*>(mono),
                                          sizeof(AVStereo3D))) < 0) {
            av_free(mono);
            return Status(kExitFailed, "cannot attach the 360 metadata: " + avError(rc));
        }
    }

    if (s.audioRate > 0 && s.audioChannels > 0) {
        const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (!aac) {
            return Status(kExitFailed, "this FFmpeg has no AAC encoder");
        }
        aenc_ = avcodec_alloc_context3(aac);
        aenc_->sample_rate = s.audioRate;
        aenc_->sample_fmt = AV_SAMPLE_FMT_FLTP;
        soundLayout(aacChannels(s.audioChannels), &aenc_->ch_layout);
        // Less leaves the channel pairs of 5.1 and up poor at high rates.
        aenc_->bit_rate = 64000LL * aenc_->ch_layout.nb_channels;
        aenc_->time_base = AVRational{1, s.audioRate};
        if (fmt_->oformat->flags & AVFMT_GLOBALHEADER) aenc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if ((rc = avcodec_open2(aenc_, aac, nullptr)) < 0) {
            return Status(kExitFailed, "cannot open the AAC encoder: " + avError(rc));
        }
        ast_ = avformat_new_stream(fmt_, nullptr);
        avcodec_parameters_from_context(ast_->codecpar, aenc_);
        ast_->time_base = aenc_->time_base;
        ast_->disposition = AV_DISPOSITION_DEFAULT;
        AVChannelLayout in = {};
        soundLayout(s.audioChannels, &in);
        rc = swr_alloc_set_opts2(&swr_, &aenc_->ch_layout, AV_SAMPLE_FMT_FLTP, s.audioRate, &in, AV_SAMPLE_FMT_S16,
                                 s.audioRate, 0, nullptr);
        av_channel_layout_uninit(&in);
        if (rc < 0 || swr_init(swr_) < 0) {
            return Status(kExitFailed, "cannot set up the audio conversion");
        }
        fifo_ = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, aenc_->ch_layout.nb_channels, aenc_->frame_size * 4);
        aframe_ = av_frame_alloc();
        aframe_->format = AV_SAMPLE_FMT_FLTP;
        aframe_->sample_rate = s.audioRate;
        av_channel_layout_copy(&aframe_->ch_layout, &aenc_->ch_layout);
        aframe_->nb_samples = aenc_->frame_size;
        if (av_frame_get_buffer(aframe_, 0) < 0) {
            return Status(kExitFailed, "out of memory");
        }
    }
    av_dict_set(&fmt_->metadata, "encoder", "stitcher", 0);
    for (const auto& tag : s.metadata.tags) av_dict_set(&fmt_->metadata, tag.first.c_str(), tag.second.c_str(), 0);
    if (!s.comment.empty()) av_dict_set(&fmt_->metadata, "comment", s.comment.c_str(), 0);
    // The muxer writes a timecode track for a video stream that names its first frame's timecode.
    if (!s.metadata.timecode.empty()) av_dict_set(&vst_->metadata, "timecode", s.metadata.timecode.c_str(), 0);
    if (!s.metadata.chapters.empty()) {
        const size_t n = s.metadata.chapters.size();
        fmt_->chapters = static_cast<AVChapter**>(av_calloc(n, sizeof(AVChapter*)));
        if (!fmt_->chapters) return Status(kExitFailed, "out of memory");
        for (size_t k = 0; k < n; ++k) {
            AVChapter* c = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
            if (!c) return Status(kExitFailed, "out of memory");
            fmt_->chapters[fmt_->nb_chapters++] = c;
            const MovieChapter& from = s.metadata.chapters[k];
            c->id = static_cast<int64_t>(k + 1);
            c->time_base = AVRational{1, 1000};
            c->start = from.start;
            c->end = from.end;
            if (!from.title.empty()) av_dict_set(&c->metadata, "title", from.title.c_str(), 0);
        }
    }

    if ((rc = avio_open(&fmt_->pb, path.c_str(), AVIO_FLAG_WRITE)) < 0) {
        return Status(kExitOutput, "cannot write " + s_.name + ": " + avError(rc));
    }
    AVDictionary* mux = nullptr;
    if (isoBoxes) av_dict_set(&mux, "movflags", "+faststart", 0);
    rc = avformat_write_header(fmt_, &mux);
    av_dict_free(&mux);
    if (rc < 0) {
        return writeFailed("cannot write the video's header", rc);
    }
    headerWritten_ = true;

    vframe_ = copy ? nullptr : av_frame_alloc();
    if (!copy && (!vframe_ || !allocatePicture(vframe_, s.width, s.height))) {
        return Status(kExitFailed, "out of memory");
    }
    if (!copy && format != AV_PIX_FMT_YUV420P) {
        wide_ = av_frame_alloc();
        if (!wide_ || !allocatePicture(wide_, s.width, s.height, format)) return Status(kExitFailed, "out of memory");
    }
    pkt_ = av_packet_alloc();
    if (!pkt_) {
        return Status(kExitFailed, "out of memory");
    }
    return Status();
}

Status VideoWriter::drain(AVCodecContext* enc, AVStream* st) {
    while (true) {
        int rc = avcodec_receive_packet(enc, pkt_);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return Status();
        if (rc < 0) {
            return Status(kExitFailed, "encoding failed: " + avError(rc));
        }
        if (enc == venc_) {
            auto d = durations_.find(pkt_->pts);
            if (d != durations_.end()) {
                pkt_->duration = d->second;
                durations_.erase(d);
            }
            // x265 leaves the decoding time of its first packets unset when
            // the stream ends within its B-frame delay (a clip of a frame or
            // two): a time after the picture's own, or far before it, which
            // no muxer takes. The muxer then works the decoding times out
            // from the pictures'.
            if (videoPackets_++ == 0) {
                const int64_t reorder = 32 * std::max<int64_t>(1, pkt_->duration);
                muxerDts_ = pkt_->pts != AV_NOPTS_VALUE && pkt_->dts != AV_NOPTS_VALUE &&
                            (pkt_->dts > pkt_->pts || pkt_->pts - pkt_->dts > reorder);
            }
            if (muxerDts_) pkt_->dts = AV_NOPTS_VALUE;
        }
        av_packet_rescale_ts(pkt_, enc->time_base, st->time_base);
        pkt_->stream_index = st->index;
        rc = av_interleaved_write_frame(fmt_, pkt_);
        if (rc < 0) {
            return writeFailed("cannot write the video", rc);
        }
    }
}

Status VideoWriter::writeVideo(const uint8_t* bgr, int stride, int64_t pts, int64_t duration) {
    int rc = av_frame_make_writable(vframe_);
    if (rc < 0) {
        return Status(kExitFailed, "out of memory");
    }
    // Full-range BGR in, BT.709 limited-range YUV out, as the stream is tagged.
    bgrToYuv420(bgr, stride, s_.width, s_.height, vframe_->data[0], vframe_->linesize[0], vframe_->data[1],
                vframe_->linesize[1], vframe_->data[2], vframe_->linesize[2]);
    return encode(vframe_, pts, duration);
}

Status VideoWriter::writeVideo(YuvFrame& picture, int64_t pts, int64_t duration) {
    AVFrame* f = picture.frame;
    if (!f || f->width != s_.width || f->height != s_.height || f->format != AV_PIX_FMT_YUV420P)
        return Status(kExitFailed, "the picture does not fit the video");
    Status st = encode(f, pts, duration);
    // Should the encoder keep a reference to these buffers, the next frame
    // gets new ones rather than writing over a picture still in use.
    if (st.ok() && !av_frame_is_writable(f)) {
        av_frame_unref(f);
        if (!allocatePicture(f, s_.width, s_.height)) return Status(kExitFailed, "out of memory");
    }
    return st;
}

std::shared_ptr<YuvFrame> VideoWriter::makeYuvFrame() const {
    auto picture = std::make_shared<YuvFrame>();
    picture->frame = av_frame_alloc();
    if (!picture->frame || !allocatePicture(picture->frame, s_.width, s_.height)) return nullptr;
    return picture;
}

Status VideoWriter::encode(AVFrame* frame, int64_t pts, int64_t duration) {
    if (s_.timescale > 0 && pts >= 0) {
        frame->pts = std::max(pts, videoPts_);
        if (duration > 0) durations_[frame->pts] = std::max<int64_t>(1, pts + duration - frame->pts);
    } else {
        frame->pts = videoPts_;
    }
    videoPts_ = frame->pts + 1;
    if (wide_) {
        if (av_frame_make_writable(wide_) < 0) return Status(kExitFailed, "out of memory");
        widenPicture(frame, wide_);
        wide_->pts = frame->pts;
        frame = wide_;
    }
    int rc = avcodec_send_frame(venc_, frame);
    if (rc < 0) {
        return Status(kExitFailed, std::string(codecName()) + " encoding failed: " + avError(rc));
    }
    return drain(venc_, vst_);
}

Status VideoWriter::encodeAudioFrames(bool flush) {
    while (av_audio_fifo_size(fifo_) >= aenc_->frame_size || (flush && av_audio_fifo_size(fifo_) > 0)) {
        int n = std::min(av_audio_fifo_size(fifo_), aenc_->frame_size);
        int rc = av_frame_make_writable(aframe_);
        if (rc < 0) {
            return Status(kExitFailed, "out of memory");
        }
        aframe_->nb_samples = n;
        av_audio_fifo_read(fifo_, reinterpret_cast<void**>(aframe_->data), n);
        aframe_->pts = audioPts_;
        audioPts_ += n;
        if ((rc = avcodec_send_frame(aenc_, aframe_)) < 0) {
            return Status(kExitFailed, "AAC encoding failed: " + avError(rc));
        }
        Status st = drain(aenc_, ast_);
        if (!st.ok()) return st;
    }
    return Status();
}

Status VideoWriter::writeAudio(const int16_t* pcm, int samples) {
    if (!aenc_ || samples <= 0) return Status();
    const int channels = aenc_->ch_layout.nb_channels;
    std::vector<float> planes(static_cast<size_t>(samples) * channels);
    std::vector<uint8_t*> out(channels);
    for (int c = 0; c < channels; ++c) out[c] = reinterpret_cast<uint8_t*>(&planes[static_cast<size_t>(c) * samples]);
    const uint8_t* in[1] = {reinterpret_cast<const uint8_t*>(pcm)};
    int got = swr_convert(swr_, out.data(), samples, in, samples);
    if (got < 0) {
        return Status(kExitFailed, "audio conversion failed");
    }
    if (av_audio_fifo_write(fifo_, reinterpret_cast<void**>(out.data()), got) < got) {
        return Status(kExitFailed, "out of memory");
    }
    audioIn_ += got;
    return encodeAudioFrames(false);
}

Status VideoWriter::finish() {
    int rc = 0;
    if (venc_) {
        rc = avcodec_send_frame(venc_, nullptr);
        if (rc < 0 && rc != AVERROR_EOF) {
            return Status(kExitFailed, std::string(codecName()) + " encoding failed: " + avError(rc));
        }
        Status drained = drain(venc_, vst_);
        if (!drained.ok()) return drained;
    }
    if (aenc_) {
        Status audio = encodeAudioFrames(true);
        if (!audio.ok()) return audio;
        avcodec_send_frame(aenc_, nullptr);
        Status st = drain(aenc_, ast_);
        if (!st.ok()) return st;
    }
    if ((rc = av_write_trailer(fmt_)) < 0) {
        return Status(kExitOutput, "cannot finish " + s_.name + ": " + avError(rc));
    }
    if ((rc = avio_closep(&fmt_->pb)) < 0) {
        return Status(kExitOutput, "cannot finish " + s_.name + ": " + avError(rc));
    }
    const bool spatial = aenc_ && !s_.audioSpatialBox.empty();
    close();
    if (s_.container == Container::Mkv) {
        // Matroska has no place for a sound entry's box or for a track of samples it does not know.
        if (s_.warn && spatial) s_.warn("a .mkv video cannot mark its sound as spatial: use .mp4 or .mov to keep it");
        if (s_.warn && !s_.metadata.tracks.empty())
            s_.warn("a .mkv video cannot hold the camera-motion track: use .mp4 or .mov to keep it");
        return Status();
    }
    if (s_.spherical) {
        // The first spherical metadata version, which older players read, beside the muxer's sv3d.
        bool intact = true;
        Status st = addVideoTrackBox(path_, sphericalVideoBox(sphericalVideoXml()), intact);
        // The muxer writes the second version's boxes into MP4 files only.
        if (st.ok() && s_.container == Container::Mov) st = addVideoEntryBox(path_, sphericalEntryBoxes(), intact);
        if (!st.ok()) return st;
    }
    if (spatial) {
        // The muxer knows no spatial audio box: it goes into the finished file.
        bool intact = true;
        Status st = addAudioEntryBox(path_, s_.audioSpatialBox, intact);
        if (!st.ok() && !intact) return st;
        if (!st.ok() && s_.warn) s_.warn(st.message() + "; the video's sound is not marked as spatial");
    }
    // Nor tracks of a kind it does not know.
    for (const CopiedTrack& t : s_.metadata.tracks) {
        bool intact = true;
        Status st = addCopiedTrack(path_, t, intact);
        if (!st.ok() && !intact) return st;
        if (!st.ok() && s_.warn) s_.warn(st.message() + "; the video has no such track");
    }
    return Status();
}

namespace {

// Writes `size` bytes to a new file at `path`.
Status writeWhole(const std::string& path, const uint8_t* data, size_t size, const std::string& shown) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return Status(kExitOutput, "cannot write " + shown + ": " + std::strerror(errno));
    errno = 0;
    const bool whole = std::fwrite(data, 1, size, f) == size;
    int err = errno;
    const bool closed = std::fclose(f) == 0;
    if (whole && !closed) err = errno;
    if (!whole || !closed) return Status(kExitOutput, "cannot write " + shown + ": " + std::strerror(err ? err : EIO));
    return Status();
}

}  // namespace

Status writePng(const std::string& path, const uint8_t* bgr, int stride, int width, int height,
                const std::string& name, const std::string& xmp) {
    const std::string& shown = name.empty() ? path : name;
    const AVCodec* png = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!png) return Status(kExitFailed, "this FFmpeg has no PNG encoder");
    AVCodecContext* ctx = avcodec_alloc_context3(png);
    AVFrame* frame = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    Status status;
    int rc = 0;
    if (!ctx || !frame || !pkt) {
        status = Status(kExitFailed, "out of memory");
    } else {
        ctx->width = width;
        ctx->height = height;
        ctx->pix_fmt = AV_PIX_FMT_RGB24;
        ctx->time_base = AVRational{1, 25};
        frame->format = AV_PIX_FMT_RGB24;
        frame->width = width;
        frame->height = height;
        if ((rc = avcodec_open2(ctx, png, nullptr)) < 0)
            status = Status(kExitFailed, "cannot open the PNG encoder: " + avError(rc));
        else if (av_frame_get_buffer(frame, 0) < 0)
            status = Status(kExitFailed, "out of memory");
    }
    if (status.ok()) {
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
        if ((rc = avcodec_send_frame(ctx, frame)) < 0 || (rc = avcodec_receive_packet(ctx, pkt)) < 0)
            status = Status(kExitFailed, "PNG encoding failed: " + avError(rc));
    }
    if (status.ok() && xmp.empty()) {
        status = writeWhole(path, pkt->data, static_cast<size_t>(pkt->size), shown);
    } else if (status.ok()) {
        std::vector<uint8_t> bytes(pkt->data, pkt->data + pkt->size);
        status = addPngXmp(bytes, xmp) ? writeWhole(path, bytes.data(), bytes.size(), shown)
                                       : Status(kExitFailed, "the PNG encoder wrote no header chunk");
    }
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return status;
}

namespace {

// libjpeg reports an error through error_exit, which must not return: it
// jumps back to where the compression started.
struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf back;
    char message[JMSG_LENGTH_MAX];
};

void jpegFailed(j_common_ptr info) {
    JpegError* e = reinterpret_cast<JpegError*>(info->err);
    (*info->err->format_message)(info, e->message);
    std::longjmp(e->back, 1);
}

// Compresses the picture into `out` (malloc'ed, `size` bytes); false with
// the reason in err.message. Only plain data lives across the jump.
bool compressJpeg(const uint8_t* bgr, int stride, int width, int height, int quality, const std::string& segment,
                  uint8_t* rgb, unsigned char** out, unsigned long* size, JpegError& err) {
    jpeg_compress_struct info;
    info.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpegFailed;
    if (setjmp(err.back)) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, out, size);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    if (!segment.empty())
        jpeg_write_marker(&info, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(segment.data()),
                          static_cast<unsigned>(segment.size()));
    while (info.next_scanline < info.image_height) {
        const uint8_t* s = bgr + static_cast<size_t>(info.next_scanline) * stride;
        for (int x = 0; x < width; ++x) {
            rgb[3 * x] = s[3 * x + 2];
            rgb[3 * x + 1] = s[3 * x + 1];
            rgb[3 * x + 2] = s[3 * x];
        }
        JSAMPROW row = rgb;
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

}  // namespace

Status writeJpeg(const std::string& path, const uint8_t* bgr, int stride, int width, int height, int quality,
                 const std::string& name, const std::string& xmp) {
    const std::string& shown = name.empty() ? path : name;
    // XMP's APP1 segment: its namespace, a NUL, the packet.
    const std::string segment = xmp.empty() ? "" : std::string("http://ns.adobe.com/xap/1.0/") + '\0' + xmp;
    if (segment.size() > 65533) return Status(kExitFailed, "the XMP packet is too large for a JPEG");
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * 3);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    JpegError err{};
    Status status = compressJpeg(bgr, stride, width, height, quality, segment, rgb.data(), &out, &size, err)
                        ? writeWhole(path, out, size, shown)
                        : Status(kExitFailed, std::string("JPEG encoding failed: ") + err.message);
    std::free(out);
    return status;
}

namespace {

class VideoSink : public FrameSink {
public:
    explicit VideoSink(int stride) : stride_(stride) {}
    Status open(const std::string& path, const VideoSettings& s) { return writer_.open(path, s); }
    Status write(const FrameItem& item, size_t) override {
        // An item's YUV picture is one that makeYuvFrame() below made.
        Status st = item.yuv ? writer_.writeVideo(static_cast<YuvFrame&>(*item.yuv), item.pts, item.duration)
                             : writer_.writeVideo(item.panorama.data(), stride_, item.pts, item.duration);
        if (st.ok() && item.audioSamples > 0) st = writer_.writeAudio(item.audio.data(), item.audioSamples);
        return st;
    }
    Status finish() override { return writer_.finish(); }
    std::shared_ptr<YuvPicture> makeYuvFrame() override { return writer_.makeYuvFrame(); }

private:
    VideoWriter writer_;
    int stride_;
};

class PictureSink : public FrameSink {
public:
    PictureSink(const Output& output, const PictureSettings& s)
        : output_(output), s_(s), xmp_(s.equirect ? stillPanoramaXmp(s.width, s.height, s.view) : "") {}
    Status write(const FrameItem& item, size_t index) override {
        if (index >= output_.size()) return Status(kExitFailed, "more frames than pictures to write");
        const uint8_t* bgr = item.panorama.data();
        return s_.jpeg ? writeJpeg(output_.tempName(index), bgr, s_.stride, s_.width, s_.height, s_.quality,
                                   output_.finalName(index), xmp_)
                       : writePng(output_.tempName(index), bgr, s_.stride, s_.width, s_.height,
                                  output_.finalName(index), xmp_);
    }
    Status finish() override { return Status(); }

private:
    const Output& output_;
    PictureSettings s_;
    std::string xmp_;
};

}  // namespace

Status makeVideoSink(const Output& output, const VideoSettings& s, int stride, std::unique_ptr<FrameSink>& sink) {
    auto video = std::make_unique<VideoSink>(stride);
    VideoSettings named = s;
    if (named.name.empty()) named.name = output.finalName(0);
    Status st = video->open(output.tempName(0), named);
    if (st.ok()) sink = std::move(video);
    return st;
}

std::unique_ptr<FrameSink> makePictureSink(const Output& output, const PictureSettings& s) {
    return std::make_unique<PictureSink>(output, s);
}

}  // namespace stitcher
