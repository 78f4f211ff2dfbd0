// ISO-BMFF container layer: cross-checked against ffprobe on ffmpeg-made clips,
// against what the test writer put into its files, and fed corrupt files.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <sstream>

#include "Mp4Writer.h"
#include "isobmff/Mp4Container.h"
#include "test_clips.h"

using testutil::Mp4Writer;

namespace {

// ---------------------------------------------------------------- ffprobe

struct ProbeStream {
    std::string type;
    int width = 0, height = 0;
    long frames = 0;
    long timescale = 0;
    long long durationTs = 0;
    struct Packet {
        long long pos;
        long size;
        bool key;
        long long pts;
    };
    std::vector<Packet> packets;
};

std::map<std::string, std::string> fields(const std::string& line) {
    std::map<std::string, std::string> m;
    std::stringstream ss(line);
    std::string kv;
    while (std::getline(ss, kv, '|')) {
        auto eq = kv.find('=');
        if (eq != std::string::npos) m[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    return m;
}

std::vector<ProbeStream> probe(const std::string& path) {
    int status = 0;
    std::string out = testutil::captureCommand(
        "ffprobe -v error -ignore_editlist 1 -show_entries "
        "stream=index,codec_type,width,height,nb_frames,time_base,duration_ts:"
        "packet=stream_index,size,pos,flags,pts -of compact '" + path + "'",
        &status);
    EXPECT_EQ(status, 0) << out;
    std::vector<ProbeStream> streams;
    std::vector<std::pair<size_t, ProbeStream::Packet>> packets;
    std::stringstream ss(out);
    std::string line;
    while (std::getline(ss, line)) {
        auto f = fields(line);
        if (line.rfind("stream|", 0) == 0) {
            ProbeStream s;
            s.type = f["codec_type"];
            s.width = std::atoi(f["width"].c_str());
            s.height = std::atoi(f["height"].c_str());
            s.frames = std::atol(f["nb_frames"].c_str());
            const std::string& tb = f["time_base"];
            s.timescale = std::atol(tb.substr(tb.find('/') + 1).c_str());
            s.durationTs = std::atoll(f["duration_ts"].c_str());
            streams.push_back(s);
        } else if (line.rfind("packet|", 0) == 0) {
            packets.push_back({static_cast<size_t>(std::atoi(f["stream_index"].c_str())),
                               {std::atoll(f["pos"].c_str()), std::atol(f["size"].c_str()),
                                f["flags"].find('K') != std::string::npos, std::atoll(f["pts"].c_str())}});
        }
    }
    for (auto& p : packets)
        if (p.first < streams.size()) streams[p.first].packets.push_back(p.second);
    return streams;
}

std::string handlerOf(const std::string& codecType) {
    if (codecType == "video") return "vide";
    if (codecType == "audio") return "soun";
    return codecType;
}

struct ClipCase {
    const char* name;
    const char* args;
    double fps;  // 0: no video
};

const ClipCase kClips[] = {
    {"ct_av_bframes.mp4",
     "-f lavfi -i testsrc=size=64x32:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 "
     "-t 2 -c:v libx264 -g 10 -bf 2 -pix_fmt yuv420p -c:a aac -shortest",
     25.0},
    {"ct_video_faststart.mp4",
     "-f lavfi -i testsrc=size=32x32:rate=30 -t 1 -c:v libx264 -g 7 -pix_fmt yuv420p "
     "-movflags +faststart",
     30.0},
    {"ct_audio_mono.mp4",
     "-f lavfi -i sine=frequency=300:sample_rate=44100 -t 1 -ac 1 -c:a aac", 0.0},
    {"ct_av_allintra.mp4",
     "-f lavfi -i testsrc=size=48x16:rate=10 -f lavfi -i sine=sample_rate=16000 -t 1 "
     "-c:v libx264 -g 1 -pix_fmt yuv420p -c:a aac -shortest",
     10.0},
};

class ClipCrossCheck : public ::testing::TestWithParam<ClipCase> {};

TEST_P(ClipCrossCheck, AgreesWithFfprobe) {
    const ClipCase& c = GetParam();
    std::string path = testutil::makeClip(c.name, c.args);
    ASSERT_FALSE(path.empty());
    std::string why;
    auto f = mp4::File::open(path.c_str(), &why);
    ASSERT_TRUE(f) << why;
    auto streams = probe(path);
    ASSERT_EQ(f->tracks().size(), streams.size());
    for (size_t i = 0; i < streams.size(); ++i) {
        const mp4::Track& t = f->tracks()[i];
        const ProbeStream& s = streams[i];
        SCOPED_TRACE("track " + std::to_string(t.id));
        EXPECT_EQ(t.handler, handlerOf(s.type));
        EXPECT_EQ(static_cast<long>(t.samples.size()), s.frames);
        ASSERT_EQ(t.samples.size(), s.packets.size());
        EXPECT_EQ(static_cast<long>(t.timescale), s.timescale);
        EXPECT_EQ(static_cast<long long>(t.duration), s.durationTs);
        uint32_t maxSize = 0;
        std::vector<uint8_t> buf(t.maxSampleSize);
        for (size_t n = 0; n < t.samples.size(); ++n) {
            EXPECT_EQ(static_cast<long>(t.samples[n].size), s.packets[n].size) << "sample " << n + 1;
            EXPECT_EQ(static_cast<long long>(t.samples[n].offset), s.packets[n].pos) << "sample " << n + 1;
            EXPECT_EQ(t.samples[n].sync, s.packets[n].key) << "sample " << n + 1;
            EXPECT_EQ(t.samples[n].cts, s.packets[n].pts) << "sample " << n + 1;
            maxSize = std::max(maxSize, t.samples[n].size);
            uint32_t got = 0;
            EXPECT_TRUE(f->readSample(t.id, static_cast<uint32_t>(n + 1), buf.data(),
                                      t.maxSampleSize, got));
            EXPECT_EQ(got, t.samples[n].size);
        }
        EXPECT_EQ(t.maxSampleSize, maxSize);
        if (t.handler == "vide") {
            EXPECT_EQ(t.sampleEntry, "avc1");
            EXPECT_EQ(t.width, s.width);
            EXPECT_EQ(t.height, s.height);
            EXPECT_NEAR(t.frameRate(), c.fps, c.fps * 1e-3);
            ASSERT_TRUE(t.hasAvcC);
            ASSERT_EQ(t.sps.size(), 1u);
            ASSERT_EQ(t.pps.size(), 1u);
            EXPECT_EQ(t.sps[0].at(0) & 0x1F, 7);
            EXPECT_EQ(t.pps[0].at(0) & 0x1F, 8);
        } else if (t.handler == "soun") {
            EXPECT_EQ(t.sampleEntry, "mp4a");
            ASSERT_TRUE(t.hasEsds);
            EXPECT_EQ(t.objectType, 0x40);
            ASSERT_GE(t.decoderConfig.size(), 2u);
            EXPECT_EQ(t.decoderConfig[0] >> 3, 2);  // AAC LC
            // Each AAC sample is 1024 PCM frames.
            EXPECT_NEAR(t.frameRate(), static_cast<double>(t.timescale) / 1024, 1.0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Clips, ClipCrossCheck, ::testing::ValuesIn(kClips),
                         [](const ::testing::TestParamInfo<ClipCase>& i) {
                             std::string n = i.param.name;
                             n = n.substr(0, n.find('.'));
                             for (char& ch : n)
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return n;
                         });

// ---------------------------------------------------------- writer-made files

const std::string kSps("\x67\x42\xC0\x0A\xDA\x10\x20", 7);
const std::string kPps("\x68\xCE\x3C\x80", 4);

std::string bytes(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed * 7 + 1) & 0xFF);
    return s;
}

void fillVideo(Mp4Writer::Track& t, int count, int gop) {
    for (int i = 0; i < count; ++i) t.samples.push_back({bytes(20 + (i * 37) % 300, i), i % gop == 0});
}

void fillAudio(Mp4Writer::Track& t, int count) {
    for (int i = 0; i < count; ++i) t.samples.push_back({bytes(5 + (i * 13) % 90, 100 + i), true});
}

// Compares a parsed file with the writer's tracks and tags: entries, timing,
// every sample's bytes and sync flag.
void expectMatches(const mp4::File& f, Mp4Writer& w, const std::vector<std::string>& tags = {}) {
    ASSERT_EQ(f.tracks().size(), w.tracks().size());
    for (size_t i = 0; i < w.tracks().size(); ++i) {
        const Mp4Writer::Track& in = w.tracks()[i];
        const mp4::Track& t = f.tracks()[i];
        SCOPED_TRACE("track " + std::to_string(i + 1));
        EXPECT_EQ(t.id, i + 1);
        EXPECT_EQ(t.handler, in.handler);
        EXPECT_EQ(t.sampleEntry, in.sampleEntry);
        EXPECT_EQ(t.originalFormat, in.originalFormat);
        EXPECT_EQ(t.timescale, in.timescale);
        uint64_t dur = in.overrideDuration ? in.duration : in.samples.size() * uint64_t(in.sampleDuration);
        EXPECT_EQ(t.duration, dur);
        if (in.handler == "vide") {
            EXPECT_EQ(t.width, in.width);
            EXPECT_EQ(t.height, in.height);
        }
        bool avc = in.handler == "vide" && in.writeAvcC &&
                   (in.sampleEntry == "avc1" || in.sampleEntry == "encv");
        EXPECT_EQ(t.hasAvcC, avc);
        if (avc) {
            ASSERT_EQ(t.sps.size(), in.sps.size());
            ASSERT_EQ(t.pps.size(), in.pps.size());
            for (size_t k = 0; k < in.sps.size(); ++k)
                EXPECT_EQ(std::string(t.sps[k].begin(), t.sps[k].end()), in.sps[k]);
            for (size_t k = 0; k < in.pps.size(); ++k)
                EXPECT_EQ(std::string(t.pps[k].begin(), t.pps[k].end()), in.pps[k]);
        }
        bool esds = in.handler == "soun" && in.writeEsds;
        EXPECT_EQ(t.hasEsds, esds);
        if (esds) {
            EXPECT_EQ(t.objectType, in.objectType);
            EXPECT_EQ(std::string(t.decoderConfig.begin(), t.decoderConfig.end()), in.decoderConfig);
        }
        ASSERT_EQ(t.samples.size(), in.samples.size());
        bool noStss = in.stss == Mp4Writer::Stss::Omit;
        uint32_t maxSize = 0;
        for (const auto& s : in.samples) maxSize = std::max<uint32_t>(maxSize, s.data.size());
        EXPECT_EQ(t.maxSampleSize, maxSize);
        std::vector<uint8_t> buf(maxSize + 1);
        for (size_t n = 0; n < in.samples.size(); ++n) {
            uint32_t got = 12345;
            ASSERT_TRUE(f.readSample(t.id, uint32_t(n + 1), buf.data(), maxSize, got)) << n + 1;
            EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), got), in.samples[n].data)
                << "sample " << n + 1;
            EXPECT_EQ(t.samples[n].sync, noStss || in.samples[n].sync) << "sample " << n + 1;
        }
        if (dur && in.timescale)
            EXPECT_DOUBLE_EQ(t.frameRate(), in.samples.size() * double(in.timescale) / dur);
        else
            EXPECT_EQ(t.frameRate(), 0.0);
    }
    for (size_t k = 0; k + 1 < tags.size(); k += 2) {
        std::string v;
        ASSERT_TRUE(f.tag(tags[k].c_str(), v)) << tags[k];
        EXPECT_EQ(v, tags[k + 1]);
    }
}

struct WriterCase {
    const char* name;
    std::function<void(Mp4Writer&)> setup;
    std::vector<std::string> tags;  // key, value, key, value...
};

const std::string kCmt = "\xA9" "cmt";

const WriterCase kWriterCases[] = {
    {"plain_avc_aac_text",
     [](Mp4Writer& w) {
         fillVideo(w.addVideoTrack("avc1", 64, 32, {kSps}, {kPps}), 25, 10);
         fillAudio(w.addAudioTrack(0x40, "\x11\x90"), 40);
         auto& t = w.addTextTrack();
         t.samples = {{bytes(200, 1), true}, {bytes(170, 2), true}, {"", true}};
     },
     {}},
    {"encv_264b",
     [](Mp4Writer& w) {
         auto& v = w.addVideoTrack("encv", 1920, 960, {kSps, kSps + "\x01"}, {kPps});
         v.originalFormat = "264b";
         fillVideo(v, 12, 5);
     },
     {}},
    {"hvc1_and_mpeg1_audio",
     [](Mp4Writer& w) {
         fillVideo(w.addVideoTrack("hvc1", 3840, 1920), 6, 3);
         fillAudio(w.addAudioTrack(0x6B, "\x12"), 7);
     },
     {}},
    {"audio_config_empty",
     [](Mp4Writer& w) { fillAudio(w.addAudioTrack(0x40, ""), 3); }, {}},
    {"tags_full_meta",
     [](Mp4Writer& w) {
         fillVideo(w.addVideoTrack("avc1", 64, 32, {kSps}, {kPps}), 3, 2);
         w.setTag("desc", "2_713.65_713.93");
         w.setTag("\xA9" "cmt", std::string("caf\xC3\xA9\0x", 7));
     },
     {"desc", "2_713.65_713.93", kCmt, std::string("caf\xC3\xA9\0x", 7)}},
    {"tags_plain_meta_moov_last",
     [](Mp4Writer& w) {
         fillVideo(w.addVideoTrack("avc1", 64, 32, {kSps}, {kPps}), 3, 2);
         w.setTag("desc", "");
         w.setTag("\xA9" "cmt", "hello");
         w.options.metaFullBox = false;
         w.options.moovFirst = false;
     },
     {"desc", "", kCmt, "hello"}},
    {"co64_moov_after_mdat",
     [](Mp4Writer& w) {
         fillVideo(w.addVideoTrack("avc1", 64, 32, {kSps}, {kPps}), 20, 6);
         fillAudio(w.addAudioTrack(0x40, "\x11\x90"), 30);
         w.options.co64 = true;
         w.options.moovFirst = false;
     },
     {}},
    {"large_sizes_everywhere",
     [](Mp4Writer& w) {
         fillVideo(w.addVideoTrack("avc1", 64, 32, {kSps}, {kPps}), 8, 4);
         w.addTextTrack().samples = {{bytes(192, 3), true}};
         w.setTag("desc", "x");
         w.options.largeSizes = true;
     },
     {"desc", "x"}},
    {"size_zero_mdat_last",
     [](Mp4Writer& w) {
         fillVideo(w.addVideoTrack("avc1", 64, 32, {kSps}, {kPps}), 8, 4);
         w.options.lastBoxSizeZero = true;
         w.options.largeSizes = true;
     },
     {}},
    {"size_zero_moov_last",
     [](Mp4Writer& w) {
         fillAudio(w.addAudioTrack(0x67, "\x13\x08"), 9);
         w.options.moovFirst = false;
         w.options.lastBoxSizeZero = true;
     },
     {}},
    {"stz2_mdhd_v1_forced_stss",
     [](Mp4Writer& w) {
         auto& v = w.addVideoTrack("avc1", 64, 32, {kSps}, {kPps});
         fillVideo(v, 10, 1);
         v.stss = Mp4Writer::Stss::Force;
         v.mdhdVersion1 = true;
         v.timescale = 90000;
         v.sampleDuration = 3003;
         w.options.stz2 = true;
     },
     {}},
    {"stz2_4bit_odd_count",
     [](Mp4Writer& w) {
         auto& v = w.addVideoTrack("avc1", 64, 32, {kSps}, {kPps});
         for (int i = 0; i < 7; ++i) v.samples.push_back({bytes(1 + (i * 5) % 15, i), i == 0});
         w.options.stz2 = true;
         w.options.stz2Bits = 4;
     },
     {}},
    {"stz2_8bit_compact_stsz",
     [](Mp4Writer& w) {
         auto& v = w.addVideoTrack("avc1", 64, 32, {kSps}, {kPps});
         for (int i = 0; i < 9; ++i) v.samples.push_back({bytes(200 + i * 6, i), i % 4 == 0});
         auto& a = w.addAudioTrack(0x40, "\x11\x90");
         for (int i = 0; i < 9; ++i) a.samples.push_back({bytes(300, i), true});  // stsz, one size
         w.options.stz2 = true;
         w.options.stz2Bits = 8;
         w.options.compactStsz = true;
     },
     {}},
    {"no_stss_means_all_sync",
     [](Mp4Writer& w) {
         auto& v = w.addVideoTrack("avc1", 64, 32, {kSps}, {kPps});
         fillVideo(v, 10, 4);
         v.stss = Mp4Writer::Stss::Omit;
         v.samplesPerChunk = 1;
     },
     {}},
    // Chunk offsets far beyond 16 bits, in stco and in co64.
    {"offsets_past_64k",
     [](Mp4Writer& w) {
         auto& v = w.addVideoTrack("avc1", 64, 32, {kSps}, {kPps});
         for (int i = 0; i < 7; ++i) v.samples.push_back({bytes(30000 + 977 * i, i), i % 3 == 0});
         fillAudio(w.addAudioTrack(0x40, "\x11\x90"), 20);
     },
     {}},
    {"offsets_past_64k_co64",
     [](Mp4Writer& w) {
         auto& v = w.addVideoTrack("avc1", 64, 32, {kSps}, {kPps});
         for (int i = 0; i < 7; ++i) v.samples.push_back({bytes(30000 + 977 * i, i), i % 3 == 0});
         fillAudio(w.addAudioTrack(0x40, "\x11\x90"), 20);
         w.options.co64 = true;
         w.options.moovFirst = false;
     },
     {}},
    {"zero_duration_and_empty_track",
     [](Mp4Writer& w) {
         auto& v = w.addVideoTrack("avc1", 64, 32, {kSps}, {kPps});
         fillVideo(v, 4, 2);
         v.overrideDuration = true;
         v.duration = 0;
         w.addTextTrack("text");  // no samples
         w.options.trailing = std::string(5, '\0');
     },
     {}},
};

class WriterFiles : public ::testing::TestWithParam<WriterCase> {};

TEST_P(WriterFiles, ParseBackExactly) {
    const WriterCase& c = GetParam();
    Mp4Writer w;
    c.setup(w);
    std::string dir = testutil::makeTempDir("ct_");
    std::string path = dir + "/" + c.name + ".mp4";
    ASSERT_TRUE(w.writeFile(path));
    std::string why;
    auto f = mp4::File::open(path.c_str(), &why);
    ASSERT_TRUE(f) << why;
    EXPECT_EQ(f->fileSize(), testutil::readFile(path).size());
    EXPECT_FALSE(f->fragmented());
    expectMatches(*f, w, c.tags);
    std::string v;
    EXPECT_FALSE(f->tag("titl", v));
    if (c.tags.empty()) {
        EXPECT_FALSE(f->tag("desc", v));
    }

    // The same bytes from memory give the same result.
    std::string image = w.build();
    auto m = mp4::File::openMemory(image.data(), image.size(), &why);
    ASSERT_TRUE(m) << why;
    expectMatches(*m, w, c.tags);
}

INSTANTIATE_TEST_SUITE_P(Cases, WriterFiles, ::testing::ValuesIn(kWriterCases),
                         [](const ::testing::TestParamInfo<WriterCase>& i) { return i.param.name; });

TEST(Container, ReadSampleRefusals) {
    Mp4Writer w;
    fillVideo(w.addVideoTrack("avc1", 64, 32, {kSps}, {kPps}), 5, 2);
    std::string image = w.build();
    auto f = mp4::File::openMemory(image.data(), image.size());
    ASSERT_TRUE(f);
    const mp4::Track& t = f->tracks()[0];
    std::vector<uint8_t> buf(t.maxSampleSize, 0xEE);
    uint32_t size = 777;
    struct {
        uint32_t track, number, capacity;
        bool ok;
    } cases[] = {
        {1, 1, t.samples[0].size - 1, false},  // does not fit the buffer
        {1, 0, t.maxSampleSize, false},        // numbers count from 1
        {1, 6, t.maxSampleSize, false},        // past the last sample
        {2, 1, t.maxSampleSize, false},        // no such track
        {1, 1, t.samples[0].size, true},
        {1, 5, t.maxSampleSize, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.track) + "/" + std::to_string(c.number));
        EXPECT_EQ(f->readSample(c.track, c.number, buf.data(), c.capacity, size), c.ok);
        if (!c.ok) {
            EXPECT_EQ(size, 777u);  // refused reads leave size and buffer alone
            EXPECT_EQ(buf[0], 0xEE);
        }
    }
    EXPECT_EQ(size, t.samples[4].size);
    EXPECT_FALSE(f->readSample(1, 1, nullptr, 1000, size));
    EXPECT_EQ(f->trackById(9), nullptr);
}

TEST(Container, OpenRefusals) {
    std::string why;
    EXPECT_FALSE(mp4::File::open(nullptr, &why));
    EXPECT_FALSE(why.empty());
    EXPECT_FALSE(mp4::File::open("/nonexistent/clip.mp4", &why));
    EXPECT_FALSE(why.empty());
    EXPECT_FALSE(mp4::File::open("/tmp", &why));
    EXPECT_EQ(why, "not a regular file");
    EXPECT_FALSE(mp4::File::openMemory("", 0, &why));
    EXPECT_EQ(why, "no moov box");
}

TEST(Container, CopiedTracksKeepEverything) {
    std::string src = testutil::makeClip(kClips[0].name, kClips[0].args);
    ASSERT_FALSE(src.empty());
    auto in = mp4::File::open(src.c_str());
    ASSERT_TRUE(in);
    Mp4Writer w;
    for (const auto& t : in->tracks()) ASSERT_TRUE(w.addCopyOf(*in, t.id));
    w.addTextTrack().samples = {{bytes(192, 9), true}};
    w.setTag("desc", "d");
    std::string path = testutil::makeTempDir("ct_copy_") + "/copy.mp4";
    ASSERT_TRUE(w.writeFile(path));
    auto out = mp4::File::open(path.c_str());
    ASSERT_TRUE(out);
    expectMatches(*out, w, {"desc", "d"});
    for (size_t i = 0; i < in->tracks().size(); ++i) {
        EXPECT_EQ(out->tracks()[i].sampleEntryBox, in->tracks()[i].sampleEntryBox);
        EXPECT_EQ(out->tracks()[i].sps, in->tracks()[i].sps);
        EXPECT_EQ(out->tracks()[i].decoderConfig, in->tracks()[i].decoderConfig);
    }
    // ffprobe reads the copy too.
    auto streams = probe(path);
    ASSERT_EQ(streams.size(), 3u);
    EXPECT_EQ(streams[0].frames, static_cast<long>(in->tracks()[0].samples.size()));
    EXPECT_EQ(streams[0].width, 64);
}

// ------------------------------------------------------------ corrupt files

// Offset of the first box of `type` (its size field) in a writer image.
size_t boxAt(const std::string& image, const std::string& type) {
    size_t p = image.find(type);
    EXPECT_NE(p, std::string::npos) << type;
    return p == std::string::npos ? 0 : p - 4;
}

void poke32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

uint32_t be32At(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
    return v;
}

// Opening must never misbehave; a file that opens must give readable samples
// that lie in the file.
void openSafely(const std::string& image) {
    auto f = mp4::File::openMemory(image.data(), image.size());
    if (!f) return;
    for (const auto& t : f->tracks()) {
        std::vector<uint8_t> buf(t.maxSampleSize);
        for (uint32_t n = 1; n <= t.samples.size(); ++n) {
            const auto& s = t.samples[n - 1];
            ASSERT_LE(s.offset + s.size, image.size());
            uint32_t got;
            ASSERT_TRUE(f->readSample(t.id, n, buf.data(), t.maxSampleSize, got));
        }
    }
    std::string v;
    f->tag("desc", v);
}

Mp4Writer richWriter() {
    Mp4Writer w;
    fillVideo(w.addVideoTrack("avc1", 64, 32, {kSps}, {kPps}), 6, 3);
    fillAudio(w.addAudioTrack(0x40, "\x11\x90"), 5);
    w.addTextTrack().samples = {{bytes(30, 5), true}};
    w.setTag("desc", "abc");
    w.setTag("\xA9" "cmt", "c");
    return w;
}

// A file cut short keeps, per track, the samples up to the first one that
// does not lie wholly inside it (a recording that stopped mid-write); a file
// whose moov is cut is refused.
TEST(Container, TruncationKeepsWholeSamples) {
    for (bool moovFirst : {true, false}) {
        Mp4Writer w = richWriter();
        w.options.moovFirst = moovFirst;
        std::string image = w.build();
        auto full = mp4::File::openMemory(image.data(), image.size());
        ASSERT_TRUE(full);
        const size_t moov = boxAt(image, "moov");
        const size_t moovEnd = moov + be32At(image, moov);
        for (size_t len = 0; len < image.size(); ++len) {
            std::string why;
            auto f = mp4::File::openMemory(image.data(), len, &why);
            ASSERT_EQ(bool(f), moovFirst && len >= moovEnd) << "length " << len << ": " << why;
            if (!f) {
                ASSERT_FALSE(why.empty());
                continue;
            }
            for (size_t i = 0; i < full->tracks().size(); ++i) {
                const auto& all = full->tracks()[i].samples;
                size_t inside = 0;
                while (inside < all.size() && all[inside].offset + all[inside].size <= len) ++inside;
                const mp4::Track& t = f->tracks()[i];
                ASSERT_EQ(t.samples.size(), inside) << "length " << len << " track " << i + 1;
                ASSERT_EQ(t.indexedSamples, all.size());
                uint32_t maxSize = 0;
                for (const auto& x : t.samples) maxSize = std::max(maxSize, x.size);
                ASSERT_EQ(t.maxSampleSize, maxSize);
            }
        }
    }
}

TEST(Container, BitFlipsAreSafe) {
    for (bool large : {false, true}) {
        Mp4Writer w = richWriter();
        w.options.largeSizes = large;
        std::string image = w.build();
        size_t moov = boxAt(image, "moov");
        for (size_t i = moov; i < image.size(); ++i)
            for (int bit : {0, 3, 7}) {
                std::string bad = image;
                bad[i] = static_cast<char>(bad[i] ^ (1 << bit));
                openSafely(bad);
                if (HasFatalFailure()) FAIL() << "byte " << i << " bit " << bit;
            }
    }
}

struct HostileCase {
    const char* name;
    std::function<void(std::string&)> patch;
    const char* reason;  // substring of the refusal
};

const HostileCase kHostile[] = {
    {"stsz_count_past_box", [](std::string& s) { poke32(s, boxAt(s, "stsz") + 16, 0xFFFFFFFF); },
     "stsz holds fewer sizes"},
    {"stsz_constant_huge_count",
     [](std::string& s) {
         poke32(s, boxAt(s, "stsz") + 12, 1);
         poke32(s, boxAt(s, "stsz") + 16, 0xFFFFFFF0);
     },
     "more samples than the file"},
    {"stco_count_past_box", [](std::string& s) { poke32(s, boxAt(s, "stco") + 12, 0x40000000); },
     "stco holds fewer"},
    {"stsc_count_past_box", [](std::string& s) { poke32(s, boxAt(s, "stsc") + 12, 0x15555555); },
     "stsc holds fewer"},
    {"stsc_first_chunk_zero", [](std::string& s) { poke32(s, boxAt(s, "stsc") + 16, 0); },
     "out of order"},
    {"stss_count_past_box", [](std::string& s) { poke32(s, boxAt(s, "stss") + 12, 1000); },
     "stss holds fewer"},
    {"chunks_too_few", [](std::string& s) { poke32(s, boxAt(s, "stsc") + 20, 1); },
     "fewer samples"},
    {"box_smaller_than_header", [](std::string& s) { poke32(s, boxAt(s, "mdia"), 4); },
     "smaller than its header"},
    {"box_past_parent", [](std::string& s) { poke32(s, boxAt(s, "mdhd"), 0x7FFFFFFF); },
     "runs past its parent"},
    {"moov_past_file", [](std::string& s) { poke32(s, boxAt(s, "moov"), 0x7FFFFFFF); },
     "moov runs past the end"},
    {"avcC_set_past_box", [](std::string& s) { s[boxAt(s, "avcC") + 14] = '\x7F'; },
     "avcC parameter set runs past"},
    {"esds_length_five_bytes",
     [](std::string& s) {
         size_t e = boxAt(s, "esds") + 12;  // ES_Descriptor tag
         s[e + 4] = static_cast<char>(s[e + 4] | 0x80);
     },
     "esds descriptor runs past"},
    {"track_id_zero", [](std::string& s) { poke32(s, boxAt(s, "tkhd") + 20, 0); }, "has no track id"},
    {"duplicate_track_id",
     [](std::string& s) { poke32(s, s.find("tkhd", boxAt(s, "tkhd") + 8) + 16, 1); },
     "two tracks with id 1"},
    {"stz2_bad_field_size",
     [](std::string& s) {
         size_t b = boxAt(s, "stz2");
         s[b + 15] = 12;
     },
     "field size 12"},
};

class Hostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(Hostile, RefusedWithReason) {
    Mp4Writer w;
    fillVideo(w.addVideoTrack("avc1", 64, 32, {kSps}, {kPps}), 6, 3);
    fillAudio(w.addAudioTrack(0x40, "\x11\x90"), 5);
    if (std::string(GetParam().name).rfind("stz2", 0) == 0) w.options.stz2 = true;
    std::string image = w.build();
    GetParam().patch(image);
    std::string why;
    auto f = mp4::File::openMemory(image.data(), image.size(), &why);
    EXPECT_FALSE(f);
    EXPECT_NE(why.find(GetParam().reason), std::string::npos) << why;
}

INSTANTIATE_TEST_SUITE_P(Cases, Hostile, ::testing::ValuesIn(kHostile),
                         [](const ::testing::TestParamInfo<HostileCase>& i) { return i.param.name; });

TEST(Container, DeepNestingIsRefused) {
    // moov > udta > udta > ... far deeper than any real file.
    std::string body;
    for (int i = 0; i < 200; ++i) {
        std::string b;
        poke32(b.append(4, '\0'), 0, static_cast<uint32_t>(body.size() + 8));
        body = b + "udta" + body;
    }
    std::string moov(4, '\0');
    poke32(moov, 0, static_cast<uint32_t>(body.size() + 8));
    moov += "moov" + body;
    std::string why;
    EXPECT_FALSE(mp4::File::openMemory(moov.data(), moov.size(), &why));
    EXPECT_EQ(why, "boxes nested too deeply");
}

TEST(Container, TrakInsideTrakIsNotATrack) {
    Mp4Writer w;
    fillVideo(w.addVideoTrack("avc1", 64, 32, {kSps}, {kPps}), 2, 1);
    std::string image = w.build();
    // Turn mdia into a trak, so that the track holds a nested trak.
    size_t mdia = boxAt(image, "mdia");
    image.replace(mdia + 4, 4, "trak");
    std::string why;
    auto f = mp4::File::openMemory(image.data(), image.size(), &why);
    ASSERT_TRUE(f) << why;
    ASSERT_EQ(f->tracks().size(), 1u);
    EXPECT_EQ(f->tracks()[0].id, 1u);
    EXPECT_TRUE(f->tracks()[0].samples.empty());
}

}  // namespace
