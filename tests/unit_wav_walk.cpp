// The walk of a WAV file's chunks: where it finds the format and the
// audio, when it gives way to the tag search, and how it names samples
// that are not plain PCM. Files are made here chunk by chunk.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "unit_wav_util.h"
#include "wav/wav.h"

using namespace wavtest;

namespace {

// A chunk: tag, size, body and a pad byte after an odd body. pad false
// leaves the pad byte out, as some writers do.
std::string chunk(const std::string &tag, const std::string &body, bool pad = true)
{
    std::string c = tag + le(body.size(), 4) + body;
    if (pad && (body.size() & 1)) c += '\0';
    return c;
}

// A chunk whose size field says size, whatever follows.
std::string sized(const std::string &tag, unsigned long size, const std::string &body)
{
    return tag + le(size, 4) + body;
}

std::string fmtBody(unsigned tag, unsigned ch, unsigned rate, unsigned bits, unsigned align = 0)
{
    unsigned bps = bits / 8;
    if (align == 0) align = ch * bps;
    return le(tag, 2) + le(ch, 2) + le(rate, 4) + le(rate * align, 4) + le(align, 2) + le(bits, 2);
}

// The extensible format chunk body: valid bits and the subformat's code in
// the usual GUID (a different GUID tail when oddGuid).
std::string extensibleBody(unsigned ch, unsigned rate, unsigned bits, unsigned valid,
                           unsigned code, bool oddGuid = false)
{
    std::string guid = le(code, 2) + std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71", 14);
    if (oddGuid) guid[15] = 0x72;
    return fmtBody(0xfffe, ch, rate, bits) + le(22, 2) + le(valid, 2) + le(3, 4) + guid;
}

std::string fmtPcm(unsigned ch, unsigned rate, unsigned bits)
{
    return chunk("fmt ", fmtBody(1, ch, rate, bits));
}

// "RIFF", the size of what follows, "WAVE", then the chunks.
std::string riff(const std::string &chunks, const char *form = "RIFF")
{
    return std::string(form) + le(chunks.size() + 4, 4) + "WAVE" + chunks;
}

struct Located {
    WavLayout w;
    long searchFmt, searchData;   // what the tag search finds in the same file
};

Located locate(const std::string &dir, const std::string &bytes)
{
    std::string p = dir + "/w.wav";
    writeFile(p, bytes);
    Located r{};
    FILE *f = fopen(p.c_str(), "rb");
    if (!f) return r;
    locateWav(f, &r.w);
    r.searchFmt = FindChunk(f, "fmt", 3);
    r.searchData = FindChunk(f, "data", 4);
    fclose(f);
    return r;
}

const long kWalkFailed = -2;   // expected offsets: whatever the tag search finds

struct WalkCase {
    const char *name;
    std::string bytes;
    int walked;
    long fmtAt, dataAt, audioBytes, tailStart;   // -1: none; tailStart -1: the file's length
};

TEST(Walk, EdgeCases)
{
    Scratch s;
    const std::string pcm = patternBytes(4000, 3);   // 1000 stereo 16-bit frames
    const std::string fmt = fmtPcm(2, 44100, 16);    // 24 bytes
    const std::string list = chunk("LIST", "INFOINAM" + le(7, 4) + std::string("mydata\0\0", 8));
    const std::string junk = chunk("JUNK", std::string(140000, '\0'));
    const std::string own = wavBytes(44100, 2, 16, pcm);
    std::string riffFmt = own;   // a RIFF size whose low three bytes spell "fmt"
    riffFmt.replace(4, 4, std::string("fmt\0", 4));
    std::string riffData = own;  // and one that spells "data"
    riffData.replace(4, 4, "data");
    std::string rf64 = std::string("RF64") + le(0xffffffff, 4) + "WAVE" +
                       chunk("ds64", le(4000 + 72, 8) + le(4000, 8) + le(1000, 8) + le(0, 4)) + fmt +
                       sized("data", 0xffffffff, pcm);
    const std::string odd = patternBytes(3001, 4);  // 24-bit mono, 1000 frames and a stray byte

    std::vector<WalkCase> cases = {
        {"our own canonical file", own, 1, 12, 36, 4000, -1},
        {"a RIFF size that spells fmt", riffFmt, 1, 12, 36, 4000, -1},
        {"a RIFF size that spells data", riffData, 1, 12, 36, 4000, -1},
        {"a title holding data before the audio", riff(fmt + list + chunk("data", pcm)), 1, 12,
         36 + (long)list.size(), 4000, -1},
        {"fmt in a comment before the format chunk",
         riff(chunk("LIST", "INFOICMT" + le(4, 4) + "fmt ") + fmt + chunk("data", pcm)), 1, 36, 60,
         4000, -1},
        {"more than 131072 bytes of chunks before the audio", riff(fmt + junk + chunk("data", pcm)), 1,
         12, 36 + (long)junk.size(), 4000, -1},
        {"a zero-sized chunk before the audio", riff(fmt + chunk("JUNK", "") + chunk("data", pcm)), 1,
         12, 44, 4000, -1},
        {"chunks after the audio", riff(fmt + chunk("data", pcm) + list), 1, 12, 36, 4000, 44 + 4000},
        {"a planned size running past the end", riff(fmt + sized("data", 8000, pcm)), 1, 12, 36, 4000,
         -1},
        {"a data size of zero", riff(fmt + sized("data", 0, pcm)), 1, 12, 36, 4000, -1},
        {"a streamed data size", riff(fmt + sized("data", 0xffffffff, pcm)), 1, 12, 36, 4000, -1},
        {"a declared size followed by audio, not chunks",
         riff(fmt + sized("data", 2000, pcm)), 1, 12, 36, 4000, -1},
        {"a chunk after the audio cut by the end of the file",
         riff(fmt + chunk("data", pcm) + sized("LIST", 500, "INFO")), 1, 12, 36, 4000 + 12, -1},
        {"an odd data size, its pad byte and a chunk",
         riff(fmtPcm(1, 48000, 24) + chunk("data", odd) + list), 1, 12, 36, 3001, 44 + 3002},
        {"an odd data size whose pad byte is missing",
         riff(fmtPcm(1, 48000, 24) + chunk("data", odd, false) + list), 1, 12, 36, 3001, 44 + 3001},
        {"an odd data size ending the file without its pad byte",
         riff(fmtPcm(1, 48000, 24) + chunk("data", odd, false)), 1, 12, 36, 3001, -1},
        {"the format after the audio", riff(chunk("data", pcm) + fmt), 1, 4000 + 20, 12, 4000,
         20 + 4000},
        {"RF64 with its sizes in ds64", rf64, 1, 48, 72, 4000, -1},
        {"RF64 without a ds64 chunk", std::string("RF64") + le(0xffffffff, 4) + "WAVE" + fmt +
                                           sized("data", 0xffffffff, pcm),
         0, kWalkFailed, kWalkFailed, 4000, -1},
        {"no RIFF header", "xx" + fmt + chunk("data", pcm), 0, kWalkFailed, kWalkFailed, 4000, -1},
        {"a format chunk shorter than 16 bytes", riff(chunk("fmt ", "abcd") + chunk("data", pcm)), 0,
         kWalkFailed, kWalkFailed, 4000, -1},
        {"a size running past the end before the audio",
         riff(fmt + sized("LIST", 90000, "INFOdata") + chunk("data", pcm)), 0, kWalkFailed,
         kWalkFailed, -3, -1},
        {"a chunk cut by the end of the file before any data", riff(fmt + "LIS"), 0, kWalkFailed,
         kWalkFailed, 0, -1},
        {"a tag that is not four letters", riff(fmt + std::string("\x01\x02\x03\x04", 4) + le(0, 4) +
                                                chunk("data", pcm)),
         0, kWalkFailed, kWalkFailed, 4000, -1},
        {"tags at odd offsets only", "x" + fmt + chunk("data", pcm), 0, kWalkFailed, kWalkFailed, 0,
         -1},
    };
    for (const WalkCase &c : cases) {
        SCOPED_TRACE(c.name);
        Located r = locate(s.dir, c.bytes);
        const WavLayout &w = r.w;
        long length = (long)c.bytes.size();
        EXPECT_EQ(w.length, length);
        EXPECT_EQ(w.walked, c.walked);
        if (c.walked) {
            EXPECT_EQ(w.fmtAt, c.fmtAt);
            EXPECT_EQ(w.dataAt, c.dataAt);
            EXPECT_EQ(w.audioBytes, c.audioBytes);
            EXPECT_EQ(w.tailStart, c.tailStart < 0 ? length : c.tailStart);
        } else {
            // Exactly what the tag search finds, the audio to the end.
            EXPECT_EQ(w.fmtAt, r.searchFmt);
            EXPECT_EQ(w.dataAt, r.searchData);
            if (w.dataAt >= 0 && !w.dataCut) {
                EXPECT_EQ(w.audioBytes, length - (w.dataAt + 8));
                EXPECT_EQ(w.tailStart, length);
            }
        }
        if (w.dataAt >= 0) {
            EXPECT_EQ(w.dataOffset, w.dataAt + 8);
            EXPECT_LE(w.dataOffset + w.audioBytes, w.tailStart);
            EXPECT_LE(w.tailStart, length);
        }
    }
}

TEST(Walk, AttributeReadersCountOnlyTheAudio)
{
    Scratch s;
    std::string p = s.path("a.wav");
    std::string pcm = patternBytes(4000, 6);
    std::string after = chunk("levl", patternBytes(301, 7));
    // 140000 bytes of metadata before the audio, a chunk after it.
    writeFile(p, riff(fmtPcm(1, 8000, 16) + chunk("bext", std::string(140000, 'h')) +
                      chunk("data", pcm) + after));
    unsigned long rate = 0;
    unsigned long long offset = 0, frames = 0;
    unsigned int bps = 0, ch = 0;
    startCapture();
    ASSERT_EQ(GetAttributes(p.c_str(), &rate, &bps, &ch, &offset, &frames, 1), 1);
    // The bext chunk's fields as they are: 'h' is 0x68.
    EXPECT_EQ(endCapture(), "\nFile: " + p + "\n  channels: 1\n  bits: 16\n  samplerate: 8000\n"
                            "  length (sec): 0.250\n  recorded: hhhhhhhhhh hhhhhhhh, starts at "
                            "11:16:36.749\n");
    EXPECT_EQ(frames, 2000ul);
    EXPECT_EQ(offset, 12ul + 24 + 140008 + 8);
    startCapture();
    EXPECT_EQ(GET_LENGTH(p.c_str()), 2000.0);
    EXPECT_EQ(endCapture(), "");
}

struct BigCase {
    const char *name;
    std::string header;     // up to the first sample byte
    long long data;         // bytes of audio after it (a hole: sparse)
    std::string after;      // a chunk after the audio, or nothing
    long long audioBytes, sizeAt;
};

TEST(Walk, FilesOfGigabytesAreWalkedIn64Bits)
{
    Scratch s;
    const long long k3G = 3221225472LL, k5G = 5368709120LL;
    const std::string fmt = fmtPcm(2, 44100, 16);
    const std::string list = chunk("LIST", "INFOISFT" + le(4, 4) + "xyz");
    auto riff32 = [&](unsigned long riffSize, unsigned long dataSize) {
        return "RIFF" + le(riffSize, 4) + "WAVE" + fmt + "data" + le(dataSize, 4);
    };
    auto rf64 = [&](unsigned long long data) {
        return "RF64" + le(0xffffffff, 4) + "WAVE" +
               chunk("ds64", le(data + 72, 8) + le(data, 8) + le(data / 4, 8) + le(0, 4)) + fmt + "data" +
               le(0xffffffff, 4);
    };
    std::vector<BigCase> cases = {
        {"3 GiB RIFF, unsigned 32-bit sizes", riff32(k3G + 36, k3G), k3G, "", k3G, 40},
        {"3 GiB RIFF and a chunk after the audio", riff32(k3G + 36 + list.size(), k3G), k3G, list, k3G, 40},
        {"5 GiB RF64", rf64(k5G), k5G, "", k5G, 12 + 16},
        {"5 GiB RF64 and a chunk after the audio", rf64(k5G), k5G, list, k5G, 12 + 16},
        // libsndfile past 4 GiB: the sizes wrapped to their low 32 bits.
        {"5 GiB RIFF whose sizes wrapped", riff32((k5G + 36) & 0xffffffff, k5G & 0xffffffff), k5G, "", k5G,
         40},
        {"5 GiB RIFF of unknown size", riff32(0xffffffff, 0xffffffff), k5G, "", k5G, 40},
    };
    for (const BigCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::string p = s.path("big.wav");
        writeFile(p, c.header);
        long long end = (long long)c.header.size() + c.data;
        ASSERT_EQ(truncate(p.c_str(), (off_t)end), 0);
        if (!c.after.empty()) {
            ASSERT_TRUE(writeAt(p, end, c.after));
        }
        FILE *f = fopen(p.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        WavLayout w;
        locateWav(f, &w);
        fclose(f);
        EXPECT_EQ(w.length, end + (long long)c.after.size());
        EXPECT_EQ(w.walked, 1);
        EXPECT_EQ(w.dataOffset, (long long)c.header.size());
        EXPECT_EQ(w.audioBytes, c.audioBytes);
        EXPECT_EQ(w.sizeAt, c.sizeAt);
        EXPECT_EQ(w.tailStart, end);
        unsigned long rate = 0;
        unsigned long long offset = 0, frames = 0;
        unsigned int bps = 0, ch = 0;
        startCapture();
        EXPECT_EQ(GetAttributes(p.c_str(), &rate, &bps, &ch, &offset, &frames, 1), 1);
        char seconds[32];
        snprintf(seconds, sizeof seconds, "%.3f", (double)(c.audioBytes / 4) / 44100.0);
        EXPECT_EQ(endCapture(), "\nFile: " + p + "\n  channels: 2\n  bits: 16\n  samplerate: 44100\n"
                                "  length (sec): " + seconds + "\n");
        EXPECT_EQ(frames, (unsigned long long)c.audioBytes / 4);
        EXPECT_EQ(offset, c.header.size());
        EXPECT_EQ(GET_LENGTH(p.c_str()), (double)(c.audioBytes / 4));
        unlink(p.c_str());
    }
}

struct FormatCase {
    const char *name;
    std::string fmtChunkBody;
    const char *what;   // nullptr: plain PCM
};

TEST(Walk, SamplesThatAreNotPlainPcmAreNamed)
{
    Scratch s;
    std::vector<FormatCase> cases = {
        {"16-bit PCM", fmtBody(1, 2, 44100, 16), nullptr},
        {"8-bit PCM (refused elsewhere by its width)", fmtBody(1, 1, 8000, 8), nullptr},
        {"a block align never filled in", fmtBody(1, 2, 44100, 16).replace(12, 2, le(0, 2)),
         nullptr},
        {"extensible 24-bit PCM", extensibleBody(2, 48000, 24, 24, 1), nullptr},
        {"extensible 20 bits in 3 bytes", extensibleBody(2, 48000, 24, 20, 1), nullptr},
        {"32-bit float", fmtBody(3, 2, 44100, 32), "32-bit floating-point samples"},
        {"64-bit float", fmtBody(3, 1, 44100, 64), "64-bit floating-point samples"},
        {"A-law", fmtBody(6, 1, 8000, 8), "A-law samples"},
        {"mu-law", fmtBody(7, 1, 8000, 8), "mu-law samples"},
        {"MS ADPCM", fmtBody(2, 1, 8000, 4, 256), "samples in format 0x0002"},
        {"extensible float", extensibleBody(2, 48000, 32, 32, 3), "32-bit floating-point samples"},
        {"extensible of another family", extensibleBody(2, 48000, 16, 16, 1, true),
         "samples of an unknown extensible format"},
        {"24 bits in 4-byte containers", extensibleBody(2, 48000, 32, 24, 1),
         "24-bit samples in 4-byte containers"},
        {"20 bits in 3 bytes without extensible", fmtBody(1, 2, 48000, 20, 6),
         "20-bit samples in 3-byte containers"},
        {"frames of a size the channels do not divide", fmtBody(1, 2, 48000, 16, 5),
         "16-bit samples in frames of 5 bytes for 2 channels"},
    };
    for (const FormatCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::string p = s.path("f.wav");
        writeFile(p, riff(chunk("fmt ", c.fmtChunkBody) + chunk("data", patternBytes(96, 8))));
        char what[96] = "untouched";
        int r = unsupportedFormat(p.c_str(), what, sizeof what);
        if (c.what) {
            EXPECT_EQ(r, 1);
            EXPECT_STREQ(what, c.what);
        } else {
            EXPECT_EQ(r, 0);
        }
    }
    // A file read by the tag search is not judged: its fields may be
    // anything. Nor is one that cannot be opened.
    std::string p = s.path("bare.wav");
    writeFile(p, "xx" + chunk("fmt ", fmtBody(3, 2, 44100, 32)) + chunk("data", patternBytes(8, 9)));
    char what[96];
    EXPECT_EQ(unsupportedFormat(p.c_str(), what, sizeof what), 0);
    EXPECT_EQ(unsupportedFormat(s.path("missing.wav").c_str(), what, sizeof what), 0);
}

}  // namespace
