// The attribute readers: exact verbose output, the frame count when the
// declared size and the file disagree, chunk layouts other than the
// canonical one, and broken files that must be refused.
#include <gtest/gtest.h>

#include <string>

#include "unit_wav_util.h"
#include "wav/wav.h"

using namespace wavtest;

namespace {

struct Attrs {
    unsigned long rate = 11;
    unsigned int bps = 22;
    unsigned int channels = 33;
    unsigned long long offset = 44;
    unsigned long long frames = 55;
};

int read(const std::string &path, Attrs *a, int verbose, std::string *out)
{
    startCapture();
    int r = GetAttributes(path.c_str(), &a->rate, &a->bps, &a->channels, &a->offset,
                          &a->frames, verbose);
    *out = endCapture();
    return r;
}

double length(const std::string &path, std::string *out)
{
    startCapture();
    double r = GET_LENGTH(path.c_str());
    *out = endCapture();
    return r;
}

// A "fmt " chunk of 16 bytes with the given fields (byte rate and block
// align as a writer would set them).
std::string fmtChunk(unsigned ch, unsigned rate, unsigned bits)
{
    unsigned bps = bits / 8;
    return "fmt " + le(16, 4) + le(1, 2) + le(ch, 2) + le(rate, 4) + le(rate * ch * bps, 4) +
           le(ch * bps, 2) + le(bits, 2);
}

TEST(GetAttributes, CanonicalFileVerbosePrintsEachLine)
{
    Scratch s;
    std::string p = s.path("one.wav");
    writeFile(p, wavBytes(44100, 2, 16, patternBytes(176400)));
    Attrs a;
    std::string out;
    ASSERT_EQ(read(p, &a, 1, &out), 1);
    EXPECT_EQ(out, "\nFile: " + p + "\n" +
                       "  channels: 2\n"
                       "  bits: 16\n"
                       "  samplerate: 44100\n"
                       "  length (sec): 1.000\n");
    EXPECT_EQ(a.rate, 44100ul);
    EXPECT_EQ(a.bps, 2u);
    EXPECT_EQ(a.channels, 2u);
    EXPECT_EQ(a.offset, 44ul);
    EXPECT_EQ(a.frames, 44100ul);

    // Any verbose value other than 1 prints nothing on success.
    for (int v : {0, 2, -1}) {
        Attrs b;
        ASSERT_EQ(read(p, &b, v, &out), 1);
        EXPECT_EQ(out, "");
        EXPECT_EQ(b.frames, 44100ul);
    }
}

TEST(GetAttributes, FileLengthDecidesWhenTheDeclaredSizeDisagrees)
{
    Scratch s;
    std::string p = s.path("t.wav");
    Attrs a;
    std::string out;
    // Declares a second, holds half of it.
    writeFile(p, wavBytes(44100, 2, 16, patternBytes(176400)).substr(0, 44 + 88200));
    ASSERT_EQ(read(p, &a, 0, &out), 1);
    EXPECT_EQ(a.frames, 22050ul);
    // Declares half a second, holds a whole one.
    std::string half = wavBytes(44100, 2, 16, patternBytes(88200));
    writeFile(p, half + patternBytes(88200, 2));
    ASSERT_EQ(read(p, &a, 0, &out), 1);
    EXPECT_EQ(a.frames, 44100ul);
    // Three stray bytes after a correctly declared chunk: still 1000 frames.
    writeFile(p, wavBytes(44100, 2, 16, patternBytes(4000)) + "abc");
    ASSERT_EQ(read(p, &a, 0, &out), 1);
    EXPECT_EQ(a.frames, 1000ul);
    // Four stray bytes are one more frame.
    writeFile(p, wavBytes(44100, 2, 16, patternBytes(4000)) + "abcd");
    ASSERT_EQ(read(p, &a, 0, &out), 1);
    EXPECT_EQ(a.frames, 1001ul);
    // A declared size far beyond 32-bit frames of the file.
    std::string big = wavBytes(44100, 2, 16, patternBytes(400));
    big.replace(40, 4, "\xff\xff\xff\xff");
    writeFile(p, big);
    ASSERT_EQ(read(p, &a, 0, &out), 1);
    EXPECT_EQ(a.frames, 100ul);
}

TEST(GetAttributes, OtherChunksAndMissingRiffTagsDoNotMatter)
{
    Scratch s;
    std::string p = s.path("list.wav");
    std::string list = "LIST" + le(18, 4) + "INFOICMT" + le(6, 4) + std::string("hello\0", 6);
    std::string data = patternBytes(6000);
    writeFile(p, "RIFF" + le(4 + 24 + list.size() + 8 + data.size(), 4) + "WAVE" +
                     fmtChunk(1, 48000, 24) + list + "data" + le(data.size(), 4) + data);
    Attrs a;
    std::string out;
    ASSERT_EQ(read(p, &a, 0, &out), 1);
    EXPECT_EQ(a.channels, 1u);
    EXPECT_EQ(a.bps, 3u);
    EXPECT_EQ(a.rate, 48000ul);
    EXPECT_EQ(a.offset, 12ul + 24 + list.size() + 8);
    EXPECT_EQ(a.frames, 2000ul);

    // No "RIFF" and no "WAVE", only the two chunks at even offsets.
    std::string bare = "xx" + fmtChunk(2, 22050, 16) + "data" + le(40, 4) + patternBytes(40);
    writeFile(p, bare);
    ASSERT_EQ(read(p, &a, 0, &out), 1);
    EXPECT_EQ(a.channels, 2u);
    EXPECT_EQ(a.rate, 22050ul);
    EXPECT_EQ(a.offset, 2ul + 24 + 8);
    EXPECT_EQ(a.frames, 10ul);
}

TEST(GetAttributes, FmtInsideTheRiffSizeIsTakenAsTheFormatChunk)
{
    Scratch s;
    std::string p = s.path("riff.wav");
    // RIFF size bytes 'f' 'm' 't' 0: "fmt" matches at offset 4, so the
    // fields are read at 14 (channels), 16 (rate) and 26 (bits).
    std::string f(60, '\0');
    f.replace(0, 4, "RIFF");
    f.replace(4, 4, std::string("fmt\0", 4));
    f.replace(14, 2, le(1, 2));
    f.replace(16, 4, le(8000, 4));
    f.replace(26, 2, le(16, 2));
    f.replace(36, 4, "data");
    f.replace(40, 4, le(16, 4));
    writeFile(p, f);
    Attrs a;
    std::string out;
    ASSERT_EQ(read(p, &a, 0, &out), 1);
    EXPECT_EQ(a.channels, 1u);
    EXPECT_EQ(a.rate, 8000ul);
    EXPECT_EQ(a.bps, 2u);
    EXPECT_EQ(a.frames, 8ul);
}

TEST(GetAttributes, DataTagAtTheEndOfTheWindowIsFoundTwoBytesLaterIsNot)
{
    Scratch s;
    std::string p = s.path("far.wav");
    for (long at : {131072L, 131074L}) {
        std::string f = wavBytes(44100, 1, 16, "").substr(0, 36);   // no data chunk yet
        f += std::string((size_t)(at - 36), 'z');
        f += "data" + le(100, 4) + patternBytes(100);
        writeFile(p, f);
        Attrs a;
        std::string out;
        if (at == 131072) {
            ASSERT_EQ(read(p, &a, 0, &out), 1);
            EXPECT_EQ(out, "");
            EXPECT_EQ(a.offset, 131080ul);
            EXPECT_EQ(a.frames, 50ul);
        } else {
            EXPECT_EQ(read(p, &a, 0, &out), 0);
            EXPECT_EQ(out, "Can't find data block in wave file!\n");
        }
    }
}

TEST(GetAttributes, EightBitFilesHaveOneBytePerSample)
{
    Scratch s;
    std::string p = s.path("8.wav");
    writeFile(p, wavBytes(8000, 1, 8, patternBytes(4000)));
    Attrs a;
    std::string out;
    ASSERT_EQ(read(p, &a, 1, &out), 1);
    EXPECT_EQ(out, "\nFile: " + p + "\n  channels: 1\n  bits: 8\n  samplerate: 8000\n  length (sec): 0.500\n"
                   "  format: 8-bit unsigned integer\n");
    EXPECT_EQ(a.bps, 1u);
    EXPECT_EQ(a.frames, 4000ul);
}

TEST(GetAttributes, SamplesNarrowerThanTheirBytesCountFramesByTheBlockAlign)
{
    Scratch s;
    std::string p = s.path("20.wav");
    // 48000 frames of 20-bit stereo in 3-byte containers: block align 6.
    std::string pcm = patternBytes(6 * 48000);
    struct Case {
        const char *name;
        std::string fmtChunk;
        const char *bits;
        const char *format;   // t's line for samples playback refuses
    } cases[] = {
        {"20 bits in 3 bytes", "fmt " + le(16, 4) + le(1, 2) + le(2, 2) + le(48000, 4) + le(288000, 4) +
                                   le(6, 2) + le(20, 2),
         "20", "  format: 20-bit samples in 3-byte containers\n"},
        {"extensible, 20 valid bits in 24", "fmt " + le(40, 4) + le(0xfffe, 2) + le(2, 2) + le(48000, 4) +
                                                le(288000, 4) + le(6, 2) + le(24, 2) + le(22, 2) + le(20, 2) +
                                                le(3, 4) + le(1, 2) +
                                                std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71", 14),
         "24", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string chunks = c.fmtChunk + "data" + le(pcm.size(), 4) + pcm;
        writeFile(p, "RIFF" + le(chunks.size() + 4, 4) + "WAVE" + chunks);
        Attrs a;
        std::string out;
        ASSERT_EQ(read(p, &a, 1, &out), 1);
        EXPECT_EQ(out, "\nFile: " + p + "\n  channels: 2\n  bits: " + c.bits +
                           "\n  samplerate: 48000\n  length (sec): 1.000\n" + c.format);
        EXPECT_EQ(a.frames, 48000ull);
        EXPECT_EQ(length(p, &out), 48000.0);
    }
}

TEST(GetAttributes, MissingFileAndMissingChunksAreReported)
{
    Scratch s;
    Attrs a;
    std::string out;
    std::string missing = s.path("gone.wav");
    EXPECT_EQ(read(missing, &a, 1, &out), 0);
    EXPECT_EQ(out, "The file called " + missing + " cannot be found!\n");

    // No format chunk: nothing stored.
    std::string p = s.path("nofmt.wav");
    writeFile(p, "RIFF" + le(100, 4) + "WAVE" + "data" + le(8, 4) + patternBytes(8));
    EXPECT_EQ(read(p, &a, 0, &out), 0);
    EXPECT_EQ(out, "Can't find format chunk in wave file!\n");
    Attrs untouched;
    EXPECT_EQ(a.rate, untouched.rate);
    EXPECT_EQ(a.bps, untouched.bps);
    EXPECT_EQ(a.channels, untouched.channels);
    EXPECT_EQ(a.offset, untouched.offset);
    EXPECT_EQ(a.frames, untouched.frames);

    // No data chunk: the format lines come first, offset and frames keep
    // what they held.
    p = s.path("nodata.wav");
    writeFile(p, "RIFF" + le(100, 4) + "WAVE" + fmtChunk(2, 44100, 16) + "LIST" + le(0, 4));
    EXPECT_EQ(read(p, &a, 1, &out), 0);
    EXPECT_EQ(out, "\nFile: " + p + "\n  channels: 2\n  bits: 16\n  samplerate: 44100\n"
                   "Can't find data block in wave file!\n");
    EXPECT_EQ(a.channels, 2u);
    EXPECT_EQ(a.bps, 2u);
    EXPECT_EQ(a.rate, 44100ul);
    EXPECT_EQ(a.offset, untouched.offset);
    EXPECT_EQ(a.frames, untouched.frames);
}

TEST(GetAttributes, RefusesAFrameSizeOfZero)
{
    Scratch s;
    std::string p = s.path("zero.wav");
    for (unsigned ch : {0u, 2u}) {
        unsigned bits = ch == 0 ? 16 : 4;   // no channels, or less than a byte a sample
        writeFile(p, "RIFF" + le(100, 4) + "WAVE" + fmtChunk(ch, 44100, bits) + "data" +
                         le(64, 4) + patternBytes(64));
        Attrs a;
        std::string out;
        EXPECT_EQ(read(p, &a, 1, &out), 0);
        EXPECT_EQ(out, "\nFile: " + p + "\n  channels: " + std::to_string(ch) +
                           "\n  bits: " + std::to_string(bits) +
                           "\n  samplerate: 44100\nWave file has a frame size of zero!\n");
        EXPECT_EQ(a.frames, Attrs().frames);
        EXPECT_EQ(length(p, &out), 0.0);
        EXPECT_EQ(out, "Wave file has a frame size of zero!\n");
    }
}

TEST(GetAttributes, RefusesAFileThatEndsBeforeItsSampleData)
{
    Scratch s;
    std::string p = s.path("cut.wav");
    std::string head = wavBytes(44100, 2, 16, "").substr(0, 40);   // ends after "data"
    for (size_t extra = 0; extra < 4; ++extra) {
        writeFile(p, head + std::string(extra, '\0'));
        Attrs a;
        std::string out;
        EXPECT_EQ(read(p, &a, 0, &out), 0);
        EXPECT_EQ(out, "Wave file ends before its sample data!\n");
        EXPECT_EQ(a.frames, Attrs().frames);
        EXPECT_EQ(a.offset, Attrs().offset);
        EXPECT_EQ(length(p, &out), 0.0);
        EXPECT_EQ(out, "Wave file ends before its sample data!\n");
    }
    // Ending right after the size field is an empty but sound file.
    writeFile(p, wavBytes(44100, 2, 16, ""));
    Attrs a;
    std::string out;
    ASSERT_EQ(read(p, &a, 1, &out), 1);
    EXPECT_EQ(a.offset, 44ul);
    EXPECT_EQ(a.frames, 0ul);
    EXPECT_EQ(out, "\nFile: " + p + "\n  channels: 2\n  bits: 16\n  samplerate: 44100\n  length (sec): 0.000\n");
}

TEST(GetAttributes, RefusesAFormatChunkCutOffByTheEndOfTheFile)
{
    Scratch s;
    std::string p = s.path("short.wav");
    std::string full = "RIFF" + le(100, 4) + "WAVE" + fmtChunk(2, 44100, 16);
    // The bits field ends 24 bytes after the tag; every shorter cut fails.
    for (size_t keep = 12 + 3; keep < 12 + 24; ++keep) {
        writeFile(p, full.substr(0, keep));
        Attrs a;
        std::string out;
        EXPECT_EQ(read(p, &a, 1, &out), 0) << keep;
        EXPECT_EQ(out, "\nFile: " + p + "\nCan't find format chunk in wave file!\n");
        EXPECT_EQ(a.channels, Attrs().channels);
        EXPECT_EQ(length(p, &out), 0.0);
        EXPECT_EQ(out, "Can't find format chunk in wave file!\n");
    }
    // With the whole format chunk present the next complaint is the data.
    writeFile(p, full);
    Attrs a;
    std::string out;
    EXPECT_EQ(read(p, &a, 0, &out), 0);
    EXPECT_EQ(out, "Can't find data block in wave file!\n");
}

TEST(GetAttributes, ZeroSampleRatePrintsAZeroLength)
{
    Scratch s;
    std::string p = s.path("r0.wav");
    writeFile(p, wavBytes(0, 1, 16, patternBytes(20)));
    Attrs a;
    std::string out;
    ASSERT_EQ(read(p, &a, 1, &out), 1);
    EXPECT_EQ(a.rate, 0ul);
    EXPECT_EQ(a.frames, 10ul);
    EXPECT_EQ(out, "\nFile: " + p + "\n  channels: 1\n  bits: 16\n  samplerate: 0\n  length (sec): 0.000\n");
}

TEST(GetLength, CountsFramesToTheEndOfTheFileIgnoringTheDeclaredSize)
{
    Scratch s;
    std::string p = s.path("l.wav");
    std::string out;
    writeFile(p, wavBytes(48000, 2, 24, patternBytes(6000)));
    EXPECT_EQ(length(p, &out), 1000.0);
    EXPECT_EQ(out, "");
    // Declared 6000 bytes, 6011 present: (6011) / 6, truncated.
    writeFile(p, wavBytes(48000, 2, 24, patternBytes(6000)) + patternBytes(11));
    EXPECT_EQ(length(p, &out), 1001.0);
    std::string shortDecl = wavBytes(44100, 1, 16, patternBytes(10));
    writeFile(p, shortDecl + patternBytes(90));
    EXPECT_EQ(length(p, &out), 50.0);

    std::string missing = s.path("nope.wav");
    EXPECT_EQ(length(missing, &out), 0.0);
    EXPECT_EQ(out, "Cannot find file in track list called " + missing + "\n");
    writeFile(p, "RIFF" + le(100, 4) + "WAVE" + fmtChunk(2, 44100, 16) + "junk");
    EXPECT_EQ(length(p, &out), 0.0);
    EXPECT_EQ(out, "Can't find data block in wave file!\n");
    writeFile(p, "RIFF" + le(100, 4) + "WAVE");
    EXPECT_EQ(length(p, &out), 0.0);
    EXPECT_EQ(out, "Can't find format chunk in wave file!\n");
}

}  // namespace
