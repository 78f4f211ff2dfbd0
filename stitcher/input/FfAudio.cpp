#include "FfAudio.h"

#include <algorithm>
#include <cmath>

#include "libdec_internal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace stitcher {

namespace {

// Rates the AAC encoder takes; any other is resampled to 48 kHz.
int encoderRate(int rate) {
    for (unsigned int r : libdec::kAacSampleRates)
        if (static_cast<int>(r) == rate) return rate;
    return 48000;
}

std::string avText(int rc) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(rc, text, sizeof text);
    return text;
}

// Past this many samples per channel ahead of what is still wanted, the
// decoded sound is trimmed while decoding on.
const size_t kTrimAt = 1 << 16;

// Why the track's sound cannot be had.
Status cannotDecode(const std::string& why) { return Status(kExitInput, why); }

}  // namespace

Status FfAudio::open(const std::string& path, unsigned int trackId, std::unique_ptr<FfAudio>& audio) {
    std::unique_ptr<FfAudio> a(new FfAudio);
    a->path_ = path;
    a->trackId_ = trackId;
    Status st = a->restart();
    if (st.ok()) audio = std::move(a);
    return st;
}

FfAudio::~FfAudio() { close(); }

void FfAudio::close() {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    swr_free(&swr_);
    swrRate_ = 0;
    swrFormat_ = -1;
    swrLayout_.clear();
    avcodec_free_context(&dec_);
    avformat_close_input(&fmt_);
    stream_ = -1;
}

Status FfAudio::restart() {
    close();
    pcm_.clear();
    pcmStart_ = 0;
    ended_ = false;
    int rc = avformat_open_input(&fmt_, path_.c_str(), nullptr, nullptr);
    if (rc < 0) {
        return cannotDecode("the file cannot be opened: " + avText(rc));
    }
    for (unsigned i = 0; i < fmt_->nb_streams; ++i) {
        AVStream* s = fmt_->streams[i];
        if (stream_ < 0 && s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && s->id == static_cast<int>(trackId_))
            stream_ = static_cast<int>(i);
        else
            s->discard = AVDISCARD_ALL;
    }
    if (stream_ < 0) {
        return cannotDecode("FFmpeg finds no sound track " + std::to_string(trackId_));
    }
    AVStream* st = fmt_->streams[stream_];
    codec_ = avcodec_get_name(st->codecpar->codec_id);
    const AVCodec* decoder = avcodec_find_decoder(st->codecpar->codec_id);
    if (!decoder) {
        return cannotDecode("FFmpeg has no decoder for it");
    }
    dec_ = avcodec_alloc_context3(decoder);
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!dec_ || !packet_ || !frame_) {
        return cannotDecode("out of memory");
    }
    if ((rc = avcodec_parameters_to_context(dec_, st->codecpar)) < 0 || (rc = avcodec_open2(dec_, decoder, nullptr)) < 0) {
        return cannotDecode("its decoder cannot be opened: " + avText(rc));
    }
    // The rate and channels are taken from the frames: the track's sample
    // entry may not tell them (or tell them wrong).
    if (!decodeUntil(1) || pcm_.empty()) {
        return cannotDecode(rate_ ? "none of its sound decodes" : "none of its sound decodes or its format is not known");
    }
    const int64_t duration = st->duration != AV_NOPTS_VALUE ? av_rescale_q(st->duration, st->time_base, AVRational{1, rate_})
                             : fmt_->duration != AV_NOPTS_VALUE ? av_rescale(fmt_->duration, rate_, AV_TIME_BASE)
                                                                : 0;
    samples_ = std::max<int64_t>(0, duration);
    sourceSamples_ = av_rescale(samples_, sourceRate_, rate_);
    return Status();
}

bool FfAudio::resamplerFor(const AVFrame* frame) {
    const int count = frame->ch_layout.nb_channels;
    if (frame->sample_rate <= 0 || count <= 0 || frame->format < 0) return false;
    // Channels in no known order (or in ambisonic order) are taken as they
    // come: in the layout they are handed on in. Zeroed first: a copy into
    // it frees what it held, which in an uninitialised one is whatever the
    // stack held.
    AVChannelLayout in = {};
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_NATIVE)
        av_channel_layout_copy(&in, &frame->ch_layout);
    else
        soundLayout(count, &in);
    char name[128] = {0};
    av_channel_layout_describe(&in, name, sizeof name);
    if (swr_ && frame->sample_rate == swrRate_ && frame->format == swrFormat_ && swrLayout_ == name) {
        av_channel_layout_uninit(&in);
        return true;
    }
    if (rate_ == 0) {
        // The first frame sets what the track hands out: its own rate where the
        // encoder takes it, and its channels up to 7.1 (more are mixed down).
        sourceRate_ = frame->sample_rate;
        sourceChannels_ = count;
        sourceLayout_ = name;
        rate_ = encoderRate(frame->sample_rate);
        channels_ = std::min(count, 8);
    }
    // A change of format: what the old resampler still holds comes first.
    bool ok = !swr_ || convert(nullptr);
    swr_free(&swr_);
    AVChannelLayout out = {};
    soundLayout(channels_, &out);
    int rc = ok ? swr_alloc_set_opts2(&swr_, &out, AV_SAMPLE_FMT_S16, rate_, &in,
                                      static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr)
                : -1;
    // Where the layout handed on has no LFE (2.1 to 3.0), its sound goes
    // into the front channels rather than being left out.
    if (rc >= 0) rc = av_opt_set_double(swr_, "lfe_mix_level", M_SQRT1_2, 0);
    av_channel_layout_uninit(&in);
    av_channel_layout_uninit(&out);
    if (rc < 0 || swr_init(swr_) < 0) {
        swr_free(&swr_);
        return false;
    }
    swrRate_ = frame->sample_rate;
    swrFormat_ = frame->format;
    swrLayout_ = name;
    return true;
}

bool FfAudio::convert(const AVFrame* frame) {
    if (frame && !resamplerFor(frame)) return false;
    if (!swr_) return true;  // nothing decoded yet, nothing held
    const int room = swr_get_out_samples(swr_, frame ? frame->nb_samples : 0);
    if (room < 0) return false;
    if (room == 0) return true;
    const size_t at = pcm_.size();
    pcm_.resize(at + static_cast<size_t>(room) * channels_);
    uint8_t* out = reinterpret_cast<uint8_t*>(pcm_.data() + at);
    const int got = swr_convert(swr_, &out, room, frame ? const_cast<const uint8_t**>(frame->extended_data) : nullptr,
                                frame ? frame->nb_samples : 0);
    if (got < 0) return false;
    pcm_.resize(at + static_cast<size_t>(got) * channels_);
    return true;
}

bool FfAudio::decodeUntil(int64_t until) {
    auto held = [&] { return pcmStart_ + (channels_ ? static_cast<int64_t>(pcm_.size() / channels_) : 0); };
    while (held() < until && !ended_) {
        bool draining = false;
        int rc = av_read_frame(fmt_, packet_);
        if (rc < 0) {
            avcodec_send_packet(dec_, nullptr);  // the end (or a read error): drain the decoder
            draining = true;
        } else if (packet_->stream_index != stream_) {
            av_packet_unref(packet_);
            continue;
        } else {
            rc = avcodec_send_packet(dec_, packet_);
            av_packet_unref(packet_);
            if (rc < 0 && rc != AVERROR(EAGAIN)) continue;  // a damaged packet: the next one goes on
        }
        int got;
        while ((got = avcodec_receive_frame(dec_, frame_)) >= 0) {
            const bool ok = convert(frame_);
            av_frame_unref(frame_);
            if (!ok) return false;
        }
        if (got != AVERROR(EAGAIN) && got != AVERROR_EOF) return false;
        if (draining || got == AVERROR_EOF) {
            if (!convert(nullptr)) return false;  // what the resampler still holds
            ended_ = true;
        }
        // A far jump ahead: what lies before the last kTrimAt samples wanted is not kept.
        const int64_t keepFrom = until - static_cast<int64_t>(kTrimAt);
        if (keepFrom > pcmStart_ + static_cast<int64_t>(kTrimAt)) {
            const int64_t drop = std::min<int64_t>(keepFrom - pcmStart_, held() - pcmStart_);
            pcm_.erase(pcm_.begin(), pcm_.begin() + static_cast<std::ptrdiff_t>(drop * channels_));
            pcmStart_ += drop;
        }
    }
    return true;
}

const int16_t* FfAudio::read(int64_t start, int64_t count) {
    if (start < 0 || count < 0) return nullptr;
    if (start < pcmStart_) {
        // Behind what is kept: decode again from the start of the track.
        if (!restart().ok()) return nullptr;
    }
    if (!decodeUntil(start + count) || start < pcmStart_) return nullptr;
    out_.assign(static_cast<size_t>(count) * channels_, 0);
    const int64_t held = pcmStart_ + static_cast<int64_t>(pcm_.size() / channels_);
    const int64_t have = std::min(start + count, held) - start;
    if (have > 0) {
        auto from = pcm_.begin() + static_cast<std::ptrdiff_t>((start - pcmStart_) * channels_);
        std::copy(from, from + static_cast<std::ptrdiff_t>(have * channels_), out_.begin());
    }
    // Runs continue one another: what is before the end of this one is not asked for again.
    const int64_t drop = std::min(start + count, held) - pcmStart_;
    if (drop > 0) {
        pcm_.erase(pcm_.begin(), pcm_.begin() + static_cast<std::ptrdiff_t>(drop * channels_));
        pcmStart_ += drop;
    }
    return out_.data();
}

}  // namespace stitcher
