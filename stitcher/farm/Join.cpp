#include "Join.h"

#include <sys/stat.h>

#include <map>
#include <memory>

#include "ClipMetadata.h"
#include "Reader.h"
#include "Writers.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace stitcher {

namespace {

struct InputCloser {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
using Input = std::unique_ptr<AVFormatContext, InputCloser>;

struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// Opens a segment file; null with the reason in `why`.
Input openSegment(const std::string& path, std::string& why) {
    AVFormatContext* f = nullptr;
    int rc = avformat_open_input(&f, path.c_str(), nullptr, nullptr);
    if (rc < 0) {
        why = "cannot be read (" + avError(rc) + ")";
        return nullptr;
    }
    // The MP4 reader has every stream's parameters from the header; nothing
    // need be decoded to find them.
    return Input(f);
}

int videoStream(AVFormatContext* f) {
    int found = -1;
    for (unsigned i = 0; i < f->nb_streams; ++i)
        if (f->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            if (found >= 0) return -1;
            found = static_cast<int>(i);
        }
    return found;
}

// The frames the file's index names and how many of them the file holds.
void framesHeld(AVStream* st, int64_t fileSize, long long& named, long long& held) {
    named = avformat_index_get_entries_count(st);
    held = 0;
    for (long long i = 0; i < named; ++i) {
        const AVIndexEntry* e = avformat_index_get_entry(st, static_cast<int>(i));
        if (e && e->pos >= 0 && e->pos + e->size <= fileSize) ++held;
    }
}

std::string frames(const PlanSegment& s) {
    return "frames " + std::to_string(s.first) + "-" + std::to_string(s.first + s.count - 1);
}

}  // namespace

Status checkSegments(const Plan& plan, const std::vector<std::string>& files, std::vector<std::string>& ordered,
                     std::vector<std::string>& found) {
    const int n = static_cast<int>(plan.segments.size());
    std::map<int, std::string> byK;
    std::vector<std::string> problems;
    std::vector<uint8_t> extradata;
    std::string extradataFrom;
    for (const std::string& path : files) {
        std::string why;
        Input in = openSegment(path, why);
        if (!in) {
            problems.push_back(path + " " + why + "; it may be cut short");
            continue;
        }
        AVDictionaryEntry* comment = av_dict_get(in->metadata, "comment", nullptr, 0);
        SegmentTag tag;
        if (!comment || !parseSegmentTag(comment->value, tag)) {
            problems.push_back(path + " is not a segment of a stitcher plan");
            continue;
        }
        if (tag.planId != plan.id || tag.n != n) {
            problems.push_back(path + " is a segment of another plan");
            continue;
        }
        const PlanSegment& want = plan.segments[static_cast<size_t>(tag.k - 1)];
        if (tag.first != want.first || tag.count != want.count) {
            problems.push_back(path + " is a segment of another plan");
            continue;
        }
        const std::string name = "segment " + std::to_string(tag.k) + "/" + std::to_string(n);
        if (byK.count(tag.k)) {
            problems.push_back(name + " is given twice: " + byK[tag.k] + " and " + path);
            continue;
        }
        const int v = videoStream(in.get());
        struct stat st {};
        if (v < 0 || ::stat(path.c_str(), &st) != 0) {
            problems.push_back(path + " (" + name + ") holds no single video");
            continue;
        }
        long long named = 0, held = 0;
        framesHeld(in->streams[v], st.st_size, named, held);
        if (named != want.count || held != want.count) {
            problems.push_back(path + " (" + name + ") is cut short: it holds " + std::to_string(held) + " of its " +
                               std::to_string(want.count) + " frames");
            continue;
        }
        const AVCodecParameters* par = in->streams[v]->codecpar;
        std::vector<uint8_t> extra(par->extradata, par->extradata + par->extradata_size);
        if (extradataFrom.empty()) {
            extradata = extra;
            extradataFrom = path;
        } else if (extra != extradata) {
            problems.push_back(path + " (" + name + ") was encoded with other settings than " + extradataFrom);
            continue;
        }
        byK[tag.k] = path;
    }
    for (int k = 1; k <= n; ++k)
        if (!byK.count(k))
            problems.push_back("segment " + std::to_string(k) + "/" + std::to_string(n) + " (" +
                               frames(plan.segments[static_cast<size_t>(k - 1)]) + ") is missing");
    // Each problem once (a missing segment may also be a refused file).
    if (!problems.empty()) {
        std::string message = "cannot join: ";
        for (size_t i = 0; i < problems.size(); ++i) message += (i ? "; " : "") + problems[i];
        return Status(kExitPlan, message);
    }
    ordered.clear();
    found.clear();
    for (const auto& s : byK) {
        ordered.push_back(s.second);
        found.push_back("segment " + std::to_string(s.first) + "/" + std::to_string(n) + ": " + s.second + " (" +
                        frames(plan.segments[static_cast<size_t>(s.first - 1)]) + ")");
    }
    return Status();
}

Status joinSegments(const Plan& plan, const std::vector<std::string>& ordered, const JoinSpec& joining,
                    const std::atomic<bool>& interrupted) {
    if (ordered.size() != plan.segments.size()) return Status(kExitPlan, "not every segment is there");
    const bool sound = plan.audio && joining.clip;
    std::unique_ptr<Reader> reader;
    if (sound) {
        ReadSpec r;
        r.first = plan.first;
        r.count = plan.count;
        r.fps = Rational{plan.fpsNum, plan.fpsDen};
        r.audio = true;
        r.audioRate = plan.audioRate;
        r.audioChannels = plan.audioChannels;
        r.pictures = false;
        reader = std::make_unique<Reader>(*joining.clip, r, joining.warn);
    }
    FrameItem item;
    std::unique_ptr<AVPacket, PacketFree> pkt(av_packet_alloc());
    if (!pkt) return Status(kExitFailed, "out of memory");
    const PlanColumn& pts = *plan.column("pts");
    VideoWriter writer;
    int64_t lastDts = INT64_MIN;
    for (size_t k = 0; k < ordered.size(); ++k) {
        std::string why;
        Input in = openSegment(ordered[k], why);
        if (!in) return Status(kExitPlan, ordered[k] + " " + why);
        const int v = videoStream(in.get());
        if (v < 0) return Status(kExitPlan, ordered[k] + " holds no single video");
        AVStream* st = in->streams[v];
        if (k == 0) {
            VideoSettings s;
            s.width = st->codecpar->width;
            s.height = st->codecpar->height;
            s.fpsNum = plan.fpsNum;
            s.fpsDen = plan.fpsDen;
            s.timescale = plan.timescale;
            s.hevc = plan.hevc;
            s.spherical = !plan.stereo && plan.projection == "equirect";  // flat and planet pictures carry no 360 metadata
            if (sound) {
                s.audioRate = plan.audioRate;
                s.audioChannels = plan.audioChannels;
                s.audioSpatialBox = plan.spatialAudio;
            }
            s.name = joining.name;
            s.warn = joining.warn;
            if (plan.metadata && joining.clip) {
                const int turn = joining.clip->look(false).displayRotation == 180 ? 180 : 0;
                const bool camera = viewIsCamera(plan.yaw, plan.pitch, plan.roll,
                                                 plan.column("view") != nullptr || plan.projection != "equirect", turn);
                s.metadata = carriedMetadata(*joining.clip, plan.first, plan.count, Rational{plan.fpsNum, plan.fpsDen},
                                             camera).movie;
            }
            Status opened = writer.openCopy(joining.path, s, st->codecpar);
            if (!opened.ok()) return opened;
        }
        const PlanSegment& seg = plan.segments[k];
        const int64_t offset = static_cast<int64_t>(pts.at(seg.first - plan.first));
        const AVRational out{1, plan.timescale};
        long long packets = 0;
        int rc;
        while ((rc = av_read_frame(in.get(), pkt.get())) >= 0) {
            if (interrupted) return Status(kExitInterrupted, "interrupted");
            if (pkt->stream_index != v) {
                av_packet_unref(pkt.get());
                continue;
            }
            if (++packets > seg.count) break;
            av_packet_rescale_ts(pkt.get(), st->time_base, out);
            pkt->pts += offset;
            pkt->dts += offset;
            if (pkt->dts <= lastDts) {
                if (lastDts + 1 > pkt->pts) {
                    av_packet_unref(pkt.get());
                    return Status(kExitPlan, ordered[k] + "'s times overlap those of the segment before it");
                }
                pkt->dts = lastDts + 1;
            }
            lastDts = pkt->dts;
            Status written = writer.writeVideoPacket(pkt.get());
            av_packet_unref(pkt.get());
            if (!written.ok()) return written;
            if (reader) {
                if (reader->ended()) return Status(kExitFailed, "the sound ended early");
                Status read = reader->next(item);
                if (!read.ok()) return read;
                Status a = writer.writeAudio(item.audio.data(), item.audioSamples);
                if (!a.ok()) return a;
            }
            if (joining.frameDone) joining.frameDone();
        }
        av_packet_unref(pkt.get());
        if (rc < 0 && rc != AVERROR_EOF) return Status(kExitPlan, ordered[k] + " cannot be read to its end: " + avError(rc));
        if (packets != seg.count)
            return Status(kExitPlan, ordered[k] + " is cut short: it holds " + std::to_string(packets) + " of its " +
                                         std::to_string(seg.count) + " frames");
    }
    return writer.finish();
}

}  // namespace stitcher
