#include "Mp4Writer.h"

#include <algorithm>
#include <fstream>

namespace testutil {
namespace {

void put8(std::string& s, uint32_t v) { s.push_back(static_cast<char>(v & 0xFF)); }
void put16(std::string& s, uint32_t v) {
    put8(s, v >> 8);
    put8(s, v);
}
void put24(std::string& s, uint32_t v) {
    put8(s, v >> 16);
    put16(s, v);
}
void put32(std::string& s, uint32_t v) {
    put16(s, v >> 16);
    put16(s, v);
}
void put64(std::string& s, uint64_t v) {
    put32(s, static_cast<uint32_t>(v >> 32));
    put32(s, static_cast<uint32_t>(v));
}
void putType(std::string& s, const std::string& type) {
    std::string t = type;
    t.resize(4, ' ');
    s += t;
}
void putZeros(std::string& s, size_t n) { s.append(n, '\0'); }

// Unity transformation matrix of mvhd/tkhd.
void putMatrix(std::string& s) {
    const uint32_t m[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
    for (uint32_t v : m) put32(s, v);
}

// Descriptor of an esds: tag, length in the 4-byte 0x80-continuation form.
std::string descriptor(uint8_t tag, const std::string& body) {
    std::string s;
    put8(s, tag);
    uint32_t len = static_cast<uint32_t>(body.size());
    put8(s, 0x80 | ((len >> 21) & 0x7F));
    put8(s, 0x80 | ((len >> 14) & 0x7F));
    put8(s, 0x80 | ((len >> 7) & 0x7F));
    put8(s, len & 0x7F);
    return s + body;
}

class BoxMaker {
public:
    explicit BoxMaker(bool large) : large_(large) {}

    std::string box(const std::string& type, const std::string& payload) const {
        std::string s;
        if (large_) {
            put32(s, 1);
            putType(s, type);
            put64(s, payload.size() + 16);
        } else {
            put32(s, static_cast<uint32_t>(payload.size() + 8));
            putType(s, type);
        }
        return s + payload;
    }
    std::string fullBox(const std::string& type, uint8_t version, uint32_t flags,
                        const std::string& payload) const {
        std::string p;
        put8(p, version);
        put24(p, flags);
        return box(type, p + payload);
    }
    size_t headerSize() const { return large_ ? 16 : 8; }

private:
    bool large_;
};

uint64_t trackDuration(const Mp4Writer::Track& t) {
    if (t.overrideDuration) return t.duration;
    return static_cast<uint64_t>(t.samples.size()) * t.sampleDuration;
}

std::string visualEntry(const BoxMaker& b, const Mp4Writer::Track& t) {
    std::string p;
    putZeros(p, 6);
    put16(p, 1);  // data_reference_index
    putZeros(p, 16);
    put16(p, t.width);
    put16(p, t.height);
    put32(p, 0x00480000);
    put32(p, 0x00480000);
    put32(p, 0);
    put16(p, 1);  // frame_count
    putZeros(p, 32);
    put16(p, 0x0018);
    put16(p, 0xFFFF);
    bool avc = t.sampleEntry == "avc1" || t.sampleEntry == "encv" || t.originalFormat == "avc1" ||
               t.originalFormat == "264b";
    if (avc && t.writeAvcC) {
        std::string c;
        put8(c, 1);
        const std::string sps0 = t.sps.empty() ? std::string() : t.sps[0];
        put8(c, sps0.size() > 1 ? static_cast<uint8_t>(sps0[1]) : 0x42);
        put8(c, sps0.size() > 2 ? static_cast<uint8_t>(sps0[2]) : 0xC0);
        put8(c, sps0.size() > 3 ? static_cast<uint8_t>(sps0[3]) : 0x0A);
        put8(c, 0xFC | ((t.nalLengthSize - 1) & 3));  // lengthSizeMinusOne
        put8(c, 0xE0 | (t.sps.size() & 0x1F));
        for (const auto& s : t.sps) {
            put16(c, static_cast<uint32_t>(s.size()));
            c += s;
        }
        put8(c, static_cast<uint32_t>(t.pps.size()));
        for (const auto& s : t.pps) {
            put16(c, static_cast<uint32_t>(s.size()));
            c += s;
        }
        p += b.box("avcC", c);
    }
    if (t.sampleEntry == "hvc1" || t.sampleEntry == "hev1") {
        std::string c;
        put8(c, 1);  // configurationVersion
        putZeros(c, 21);
        put8(c, 0);  // numOfArrays
        p += b.box("hvcC", c);
    }
    return p;
}

std::string audioEntry(const BoxMaker& b, const Mp4Writer::Track& t) {
    std::string p;
    putZeros(p, 6);
    put16(p, 1);
    putZeros(p, 8);
    put16(p, t.channels);
    put16(p, 16);
    put16(p, 0);
    put16(p, 0);
    put32(p, (t.sampleRate & 0xFFFF) << 16);
    if (t.writeEsds) {
        std::string dcd;
        put8(dcd, t.objectType);
        put8(dcd, (0x05 << 2) | 1);  // audio stream
        put24(dcd, 0);
        put32(dcd, 128000);
        put32(dcd, 128000);
        if (!t.decoderConfig.empty()) dcd += descriptor(0x05, t.decoderConfig);
        std::string es;
        put16(es, 1);  // ES_ID
        put8(es, 0);
        es += descriptor(0x04, dcd);
        es += descriptor(0x06, std::string(1, '\x02'));
        p += b.fullBox("esds", 0, 0, descriptor(0x03, es));
    }
    return p;
}

std::string textEntry(const BoxMaker& b, const Mp4Writer::Track& t) {
    std::string p;
    putZeros(p, 6);
    put16(p, 1);
    if (t.sampleEntry == "tx3g") {
        put32(p, 0);       // displayFlags
        put8(p, 1);        // horizontal justification
        put8(p, 0xFF);     // vertical justification
        put32(p, 0);       // background colour
        putZeros(p, 8);    // BoxRecord
        put16(p, 0);       // StyleRecord: startChar
        put16(p, 0);       // endChar
        put16(p, 1);       // font id
        put8(p, 0);        // face
        put8(p, 18);       // size
        put32(p, 0xFFFFFFFF);
        std::string ftab;
        put16(ftab, 1);
        put16(ftab, 1);
        put8(ftab, 4);
        ftab += "Sans";
        p += b.box("ftab", ftab);
    } else {
        putZeros(p, 43);  // plain text description fields, all zero
    }
    return p;
}

std::string sampleEntry(const BoxMaker& b, const Mp4Writer::Track& t) {
    if (!t.rawSampleEntry.empty()) return t.rawSampleEntry;
    std::string body;
    if (t.handler == "vide")
        body = visualEntry(b, t);
    else if (t.handler == "soun")
        body = audioEntry(b, t);
    else
        body = textEntry(b, t);
    if (!t.originalFormat.empty()) {
        std::string frma;
        putType(frma, t.originalFormat);
        std::string schm;
        putType(schm, "cenc");
        put32(schm, 0x00010000);
        body += b.box("sinf", b.box("frma", frma) + b.fullBox("schm", 0, 0, schm));
    }
    // Sample entries keep a 32-bit size even with largeSizes: common readers
    // do not take a largesize there.
    return BoxMaker(false).box(t.sampleEntry, body);
}

struct ChunkPlan {
    std::vector<uint32_t> firstSample;  // 0-based index of each chunk's first sample
    std::vector<uint32_t> count;        // samples in each chunk
    std::vector<uint64_t> offset;       // absolute file offset of each chunk
};

ChunkPlan planChunks(const Mp4Writer::Track& t) {
    ChunkPlan c;
    uint32_t per = std::max<uint32_t>(1, t.samplesPerChunk);
    uint32_t n = static_cast<uint32_t>(t.samples.size());
    for (uint32_t i = 0; i < n; i += per) {
        c.firstSample.push_back(i);
        c.count.push_back(std::min(per, n - i));
    }
    c.offset.assign(c.count.size(), 0);
    return c;
}

std::string stbl(const BoxMaker& b, const Mp4Writer::Options& o, const Mp4Writer::Track& t,
                 const ChunkPlan& plan) {
    uint32_t n = static_cast<uint32_t>(t.samples.size());
    std::string s;

    std::string stsd;
    put32(stsd, 1);
    stsd += sampleEntry(b, t);
    s += b.fullBox("stsd", 0, 0, stsd);

    std::string stts;
    put32(stts, n ? 1 : 0);
    if (n) {
        put32(stts, n);
        put32(stts, t.sampleDuration);
    }
    s += b.fullBox("stts", 0, 0, stts);

    bool allSync = std::all_of(t.samples.begin(), t.samples.end(),
                               [](const Mp4Writer::Sample& x) { return x.sync; });
    if (t.stss == Mp4Writer::Stss::Force || (t.stss == Mp4Writer::Stss::Auto && !allSync)) {
        std::string stss;
        std::string list;
        uint32_t k = 0;
        for (uint32_t i = 0; i < n; ++i)
            if (t.samples[i].sync) {
                put32(list, i + 1);
                ++k;
            }
        put32(stss, k);
        s += b.fullBox("stss", 0, 0, stss + list);
    }

    std::string stsc;
    std::string entries;
    uint32_t k = 0;
    for (size_t c = 0; c < plan.count.size(); ++c) {
        if (c == 0 || plan.count[c] != plan.count[c - 1]) {
            put32(entries, static_cast<uint32_t>(c + 1));
            put32(entries, plan.count[c]);
            put32(entries, 1);
            ++k;
        }
    }
    put32(stsc, k);
    s += b.fullBox("stsc", 0, 0, stsc + entries);

    unsigned bits = o.stz2Bits == 4 || o.stz2Bits == 8 ? o.stz2Bits : 16;
    bool fits = std::all_of(t.samples.begin(), t.samples.end(), [bits](const Mp4Writer::Sample& x) {
        return x.data.size() < (size_t(1) << bits);
    });
    bool same = n > 0 && std::all_of(t.samples.begin(), t.samples.end(), [&](const Mp4Writer::Sample& x) {
                    return x.data.size() == t.samples[0].data.size() && !x.data.empty();
                });
    if (o.stz2 && fits) {
        std::string stz2;
        put24(stz2, 0);
        put8(stz2, bits);
        put32(stz2, n);
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t size = static_cast<uint32_t>(t.samples[i].data.size());
            if (bits == 16) {
                put16(stz2, size);
            } else if (bits == 8) {
                put8(stz2, size);
            } else if (i % 2 == 0) {
                uint32_t next = i + 1 < n ? static_cast<uint32_t>(t.samples[i + 1].data.size()) : 0;
                put8(stz2, (size << 4) | next);
            }
        }
        s += b.fullBox("stz2", 0, 0, stz2);
    } else if (o.compactStsz && same) {
        std::string stsz;
        put32(stsz, static_cast<uint32_t>(t.samples[0].data.size()));
        put32(stsz, n);
        s += b.fullBox("stsz", 0, 0, stsz);
    } else {
        std::string stsz;
        put32(stsz, 0);
        put32(stsz, n);
        for (const auto& x : t.samples) put32(stsz, static_cast<uint32_t>(x.data.size()));
        s += b.fullBox("stsz", 0, 0, stsz);
    }

    std::string co;
    put32(co, static_cast<uint32_t>(plan.offset.size()));
    for (uint64_t off : plan.offset) {
        if (o.co64)
            put64(co, off);
        else
            put32(co, static_cast<uint32_t>(off));
    }
    s += b.fullBox(o.co64 ? "co64" : "stco", 0, 0, co);
    return b.box("stbl", s);
}

std::string trak(const BoxMaker& b, const Mp4Writer::Options& o, const Mp4Writer::Track& t,
                 uint32_t id, const ChunkPlan& plan) {
    uint64_t dur = trackDuration(t);
    uint64_t durMs = t.timescale ? dur * 1000 / t.timescale : 0;

    std::string tkhd;
    put32(tkhd, 0);
    put32(tkhd, 0);
    put32(tkhd, id);
    put32(tkhd, 0);
    put32(tkhd, static_cast<uint32_t>(durMs));
    putZeros(tkhd, 8);
    put16(tkhd, 0);
    put16(tkhd, 0);
    put16(tkhd, t.handler == "soun" ? 0x0100 : 0);
    put16(tkhd, 0);
    putMatrix(tkhd);
    put32(tkhd, t.handler == "vide" ? uint32_t(t.width) << 16 : 0);
    put32(tkhd, t.handler == "vide" ? uint32_t(t.height) << 16 : 0);

    std::string mdhd;
    if (t.mdhdVersion1) {
        put64(mdhd, 0);
        put64(mdhd, 0);
        put32(mdhd, t.timescale);
        put64(mdhd, dur);
    } else {
        put32(mdhd, 0);
        put32(mdhd, 0);
        put32(mdhd, t.timescale);
        put32(mdhd, static_cast<uint32_t>(dur));
    }
    put16(mdhd, 0x55C4);  // "und"
    put16(mdhd, 0);

    std::string hdlr;
    put32(hdlr, 0);
    putType(hdlr, t.handler);
    putZeros(hdlr, 12);
    hdlr += "TestHandler";
    hdlr.push_back('\0');

    std::string mhd;
    if (t.handler == "vide") {
        std::string v;
        putZeros(v, 8);
        mhd = b.fullBox("vmhd", 0, 1, v);
    } else if (t.handler == "soun") {
        std::string v;
        putZeros(v, 4);
        mhd = b.fullBox("smhd", 0, 0, v);
    } else {
        mhd = b.fullBox("nmhd", 0, 0, "");
    }
    std::string dref;
    put32(dref, 1);
    dref += BoxMaker(false).fullBox("url ", 0, 1, "");  // dref entries: 32-bit sizes, as stsd
    std::string dinf = b.box("dinf", b.fullBox("dref", 0, 0, dref));

    std::string minf = b.box("minf", mhd + dinf + stbl(b, o, t, plan));
    std::string mdia = b.box("mdia", b.fullBox("mdhd", t.mdhdVersion1 ? 1 : 0, 0, mdhd) +
                                         b.fullBox("hdlr", 0, 0, hdlr) + minf);
    return b.box("trak", b.fullBox("tkhd", 0, t.tkhdFlags, tkhd) + mdia);
}

}  // namespace

Mp4Writer::Track& Mp4Writer::addTrack(const std::string& handler, const std::string& sampleEntry) {
    Track t;
    t.handler = handler;
    t.sampleEntry = sampleEntry;
    if (handler == "soun") {
        t.timescale = 48000;
        t.sampleDuration = 1024;
    }
    tracks_.push_back(std::move(t));
    return tracks_.back();
}

Mp4Writer::Track& Mp4Writer::addVideoTrack(const std::string& sampleEntry, uint16_t width,
                                           uint16_t height, const std::vector<std::string>& sps,
                                           const std::vector<std::string>& pps) {
    Track& t = addTrack("vide", sampleEntry);
    t.width = width;
    t.height = height;
    t.sps = sps;
    t.pps = pps;
    return t;
}

Mp4Writer::Track& Mp4Writer::addAudioTrack(uint8_t objectType, const std::string& decoderConfig,
                                           const std::string& sampleEntry) {
    Track& t = addTrack("soun", sampleEntry);
    t.objectType = objectType;
    t.decoderConfig = decoderConfig;
    return t;
}

Mp4Writer::Track& Mp4Writer::addTextTrack(const std::string& sampleEntry) {
    Track& t = addTrack("text", sampleEntry);
    t.sampleDuration = 1000;
    return t;
}

void Mp4Writer::setTag(const std::string& key, const std::string& value) {
    for (auto& kv : tags_)
        if (kv.first == key) {
            kv.second = value;
            return;
        }
    tags_.emplace_back(key, value);
}

std::string Mp4Writer::build() const {
    BoxMaker b(options.largeSizes);

    std::string ftyp;
    if (options.writeFtyp) {
        std::string p = "isom";
        put32(p, 0x200);
        p += "isomiso2avc1mp41";
        ftyp = b.box("ftyp", p);
    }

    // Chunks are interleaved round-robin over the tracks.
    std::vector<ChunkPlan> plans;
    for (const auto& t : tracks_) plans.push_back(planChunks(t));
    std::string payload;
    std::vector<std::vector<uint64_t>> rel(tracks_.size());
    for (size_t c = 0;; ++c) {
        bool any = false;
        for (size_t i = 0; i < tracks_.size(); ++i) {
            if (c >= plans[i].count.size()) continue;
            any = true;
            rel[i].push_back(payload.size());
            for (uint32_t k = 0; k < plans[i].count[c]; ++k)
                payload += tracks_[i].samples[plans[i].firstSample[c] + k].data;
        }
        if (!any) break;
    }

    auto moovWith = [&](uint64_t base) {
        uint64_t maxMs = 0;
        std::string traks;
        for (size_t i = 0; i < tracks_.size(); ++i) {
            ChunkPlan p = plans[i];
            for (size_t c = 0; c < p.offset.size(); ++c) p.offset[c] = base + rel[i][c];
            traks += trak(b, options, tracks_[i], static_cast<uint32_t>(i + 1), p);
            const Track& t = tracks_[i];
            if (t.timescale) maxMs = std::max<uint64_t>(maxMs, trackDuration(t) * 1000 / t.timescale);
        }
        std::string mvhd;
        put32(mvhd, 0);
        put32(mvhd, 0);
        put32(mvhd, 1000);
        put32(mvhd, static_cast<uint32_t>(maxMs));
        put32(mvhd, 0x00010000);
        put16(mvhd, 0x0100);
        putZeros(mvhd, 10);
        putMatrix(mvhd);
        putZeros(mvhd, 24);
        put32(mvhd, static_cast<uint32_t>(tracks_.size() + 1));
        std::string body = b.fullBox("mvhd", 0, 0, mvhd) + traks;
        if (!tags_.empty()) {
            std::string ilst;
            for (const auto& kv : tags_) {
                std::string d;
                put32(d, 1);  // well-known type: UTF-8
                put32(d, 0);  // locale
                d += kv.second;
                ilst += b.box(kv.first, b.box("data", d));
            }
            std::string h;
            put32(h, 0);
            putType(h, "mdir");
            putType(h, "appl");
            putZeros(h, 9);
            std::string metaBody = b.fullBox("hdlr", 0, 0, h) + b.box("ilst", ilst);
            std::string meta = options.metaFullBox ? b.fullBox("meta", 0, 0, metaBody)
                                                   : b.box("meta", metaBody);
            body += b.box("udta", meta);
        }
        return b.box("moov", body);
    };

    size_t mdatHeader = b.headerSize();
    bool mdatLast = options.moovFirst;
    if (options.lastBoxSizeZero && mdatLast) mdatHeader = 8;
    size_t moovSize = moovWith(0).size();
    uint64_t base = ftyp.size() + (options.moovFirst ? moovSize : 0) + mdatHeader;
    std::string moov = moovWith(base);

    std::string mdat;
    if (mdatHeader == 8 && options.lastBoxSizeZero && mdatLast) {
        put32(mdat, 0);
        mdat += "mdat";
        mdat += payload;
    } else {
        mdat = b.box("mdat", payload);
    }
    if (options.lastBoxSizeZero && !mdatLast) {
        // moov is last: rewrite its header as size 0, keeping the payload.
        std::string body = moov.substr(b.headerSize());
        moov.clear();
        put32(moov, 0);
        moov += "moov";
        moov += body;
    }
    std::string out = ftyp;
    if (options.moovFirst)
        out += moov + mdat;
    else
        out += mdat + moov;
    return out + options.trailing;
}

bool Mp4Writer::writeFile(const std::string& path) const {
    std::string data = build();
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) return false;
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(f);
}

}  // namespace testutil
