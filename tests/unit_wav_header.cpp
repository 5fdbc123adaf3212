// The byte writers and readers and the 44-byte header: exact bytes, the
// limits of the 32-bit fields, and files that cannot be created or written.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "unit_wav_util.h"
#include "wav/wav.h"

using namespace wavtest;

namespace {

int makeHeaderQuiet(const std::string &path, unsigned rate, unsigned ch, unsigned bits,
                    long long frames, std::string *out)
{
    testing::internal::CaptureStdout();
    int r = MAKE_HEADER(path.c_str(), rate, ch, bits, frames);
    *out = testing::internal::GetCapturedStdout();
    return r;
}

TEST(ByteWriters, StoreLeastSignificantByteFirst)
{
    char b[4] = {'x', 'x', 'x', 'x'};
    Decon4(16909060, b);
    EXPECT_EQ(hex(std::string(b, 4)), "04 03 02 01");
    Decon4(2147483647L, b);
    EXPECT_EQ(hex(std::string(b, 4)), "ff ff ff 7f");
    char two[3] = {'x', 'x', 'x'};
    Decon2(513, two);
    EXPECT_EQ(hex(std::string(two, 3)), "01 02 78");   // writes two bytes only
    Decon2(65535, two);
    EXPECT_EQ(hex(std::string(two, 2)), "ff ff");
    char three[4] = {'x', 'x', 'x', 'x'};
    Decon3(16909060, three);
    EXPECT_EQ(hex(std::string(three, 4)), "04 03 02 78");
}

TEST(ByteReaders, TakeEveryByteAsUnsigned)
{
    EXPECT_EQ(Assem2("\x01\x02"), 513u);
    EXPECT_EQ(Assem2("\xff\xff"), 65535u);
    EXPECT_EQ(Assem2("\x80\x00"), 128u);
    EXPECT_EQ(Assem4("\x04\x03\x02\x01"), 16909060ul);
    EXPECT_EQ(Assem4("\xff\xff\xff\xff"), 4294967295ul);
    EXPECT_EQ(Assem4("\x00\x00\x00\x80"), 2147483648ul);
    char b[4];
    for (long v : {0L, 1L, 255L, 256L, 65536L, 123456789L, 2147483647L}) {
        Decon4(v, b);
        EXPECT_EQ(Assem4(b), (unsigned long)v);
    }
}

TEST(MakeHeader, StereoSixteenBitSecondIsByteExact)
{
    Scratch s;
    std::string out;
    ASSERT_EQ(makeHeaderQuiet(s.path("a.wav"), 44100, 2, 16, 44100, &out), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(hex(readFile(s.path("a.wav"))),
              "52 49 46 46 34 b1 02 00 57 41 56 45 66 6d 74 20 10 00 00 00 01 00 02 00 "
              "44 ac 00 00 10 b1 02 00 04 00 10 00 64 61 74 61 10 b1 02 00");
}

TEST(MakeHeader, MonoTwentyFourBitSecondIsByteExact)
{
    Scratch s;
    std::string out;
    ASSERT_EQ(makeHeaderQuiet(s.path("a.wav"), 48000, 1, 24, 48000, &out), 1);
    EXPECT_EQ(hex(readFile(s.path("a.wav"))),
              "52 49 46 46 a4 32 02 00 57 41 56 45 66 6d 74 20 10 00 00 00 01 00 01 00 "
              "80 bb 00 00 80 32 02 00 03 00 18 00 64 61 74 61 80 32 02 00");
}

TEST(MakeHeader, ZeroFramesAndOddBitsAndLowChannelBits)
{
    Scratch s;
    std::string out;
    ASSERT_EQ(makeHeaderQuiet(s.path("z.wav"), 44100, 2, 16, 0, &out), 1);
    std::string h = readFile(s.path("z.wav"));
    ASSERT_EQ(h.size(), 44u);
    EXPECT_EQ(Assem4(&h[4]), 36ul);
    EXPECT_EQ(Assem4(&h[40]), 0ul);

    ASSERT_EQ(makeHeaderQuiet(s.path("b.wav"), 8000, 1, 20, 10, &out), 1);
    h = readFile(s.path("b.wav"));
    EXPECT_EQ(Assem2(&h[34]), 16u);   // bits field: 8 x (20 / 8)
    EXPECT_EQ(Assem2(&h[32]), 2u);    // block align
    EXPECT_EQ(Assem4(&h[28]), 16000ul);
    EXPECT_EQ(Assem4(&h[40]), 20ul);

    // Only the low 16 bits of the channel count are used, everywhere.
    ASSERT_EQ(makeHeaderQuiet(s.path("c.wav"), 8000, 65537, 16, 10, &out), 1);
    h = readFile(s.path("c.wav"));
    EXPECT_EQ(Assem2(&h[22]), 1u);
    EXPECT_EQ(Assem2(&h[32]), 2u);
    EXPECT_EQ(Assem4(&h[40]), 20ul);
}

TEST(MakeHeader, CutsAnExistingFileToTheHeader)
{
    Scratch s;
    writeFile(s.path("old.wav"), patternBytes(100000));
    std::string out;
    ASSERT_EQ(makeHeaderQuiet(s.path("old.wav"), 44100, 2, 16, 44100, &out), 1);
    EXPECT_EQ(fileSize(s.path("old.wav")), 44);
    EXPECT_EQ(readFile(s.path("old.wav")), wavBytes(44100, 2, 16, std::string(176400, 'x')).substr(0, 44));
}

TEST(MakeHeader, ReportsAFileThatCannotBeCreated)
{
    Scratch s;
    std::string p = s.path("no/such/dir/take.wav");
    std::string out;
    EXPECT_EQ(makeHeaderQuiet(p, 44100, 2, 16, 44100, &out), 0);
    EXPECT_EQ(out, "Cannot open " + p + ": No such file or directory\n");
    EXPECT_FALSE(fileExists(p));
}

TEST(MakeHeader, LargestRecordingThatFitsIsWrittenExactly)
{
    Scratch s;
    std::string out;
    // Mono 8-bit: data bytes equal frames; 2147483611 + 36 is the largest RIFF size.
    ASSERT_EQ(makeHeaderQuiet(s.path("m.wav"), 8000, 1, 8, kMaxDataBytes, &out), 1);
    std::string h = readFile(s.path("m.wav"));
    EXPECT_EQ(Assem4(&h[40]), 2147483611ul);
    EXPECT_EQ(Assem4(&h[4]), 2147483647ul);
    // Stereo 16-bit: the most whole frames below the limit.
    ASSERT_EQ(makeHeaderQuiet(s.path("s.wav"), 44100, 2, 16, kMaxDataBytes / 4, &out), 1);
    h = readFile(s.path("s.wav"));
    EXPECT_EQ(Assem4(&h[40]), 2147483608ul);
    EXPECT_EQ(Assem4(&h[4]), 2147483644ul);
}

TEST(MakeHeader, RefusesSizesTheHeaderCannotStateAndLeavesTheFileAlone)
{
    Scratch s;
    std::string p = s.path("t.wav");
    writeFile(p, "keep me");
    struct Case { unsigned rate, ch, bits; long long frames; } cases[] = {
        {44100, 2, 16, kMaxAudioBytes / 4 + 1},  // data bytes past what any file holds here
        {8000, 1, 8, kMaxAudioBytes + 1},
        {48000, 2, 24, 0x4000000000000000LL},   // would wrap in 64 bits
        {44100, 2, 16, -1},                     // negative frame count
        {2147483648u, 1, 8, 10},                // rate beyond the field
        {1000000000u, 2, 16, 10},               // byte rate beyond the field
    };
    for (const Case &c : cases) {
        std::string out;
        EXPECT_EQ(makeHeaderQuiet(p, c.rate, c.ch, c.bits, c.frames, &out), 0) << c.frames;
        EXPECT_EQ(out, "Recording does not fit a wave file: " + p + "\n");
        EXPECT_EQ(readFile(p), "keep me");
    }
}

// The header at the edges of what a RIFF size states, and RF64 past them:
// headerBytes needs no disk, so the sizes are those of recordings of
// gigabytes.
TEST(HeaderBytes, RiffUpToItsSizeFieldsReachAndRf64Past)
{
    const std::string fmtMono8 = "66 6d 74 20 10 00 00 00 01 00 01 00 40 1f 00 00 40 1f 00 00 01 00 08 00";
    struct Case {
        unsigned rate, ch, bits;
        long long frames;
        int length;
        const char *bytes;   // the whole header
    } cases[] = {
        // 2 GiB and the last 32-bit sizes: unsigned values, one header.
        {8000, 1, 8, 2147483648LL, 44, "52 49 46 46 24 00 00 80 57 41 56 45 <fmt> 64 61 74 61 00 00 00 80"},
        {8000, 1, 8, 3221225472LL, 44, "52 49 46 46 24 00 00 c0 57 41 56 45 <fmt> 64 61 74 61 00 00 00 c0"},
        {8000, 1, 8, kRiffDataLimit, 44, "52 49 46 46 ff ff ff ff 57 41 56 45 <fmt> 64 61 74 61 db ff ff ff"},
        // One byte more: RF64, its sizes in ds64 (RIFF size = data + 72).
        {8000, 1, 8, kRiffDataLimit + 1, 80,
         "52 46 36 34 ff ff ff ff 57 41 56 45 64 73 36 34 1c 00 00 00 24 00 00 00 01 00 00 00 "
         "dc ff ff ff 00 00 00 00 dc ff ff ff 00 00 00 00 00 00 00 00 <fmt> 64 61 74 61 ff ff ff ff"},
        {8000, 1, 8, 4294967296LL, 80,
         "52 46 36 34 ff ff ff ff 57 41 56 45 64 73 36 34 1c 00 00 00 48 00 00 00 01 00 00 00 "
         "00 00 00 00 01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 <fmt> 64 61 74 61 ff ff ff ff"},
        // Six hours of 48 kHz 24-bit stereo, all of it by hand.
        {48000, 2, 24, 1000000000LL, 80,
         "52 46 36 34 ff ff ff ff 57 41 56 45 64 73 36 34 1c 00 00 00 48 bc a0 65 01 00 00 00 00 bc "
         "a0 65 01 00 00 00 00 ca 9a 3b 00 00 00 00 00 00 00 00 66 6d 74 20 10 00 00 00 01 00 02 00 "
         "80 bb 00 00 00 65 04 00 06 00 18 00 64 61 74 61 ff ff ff ff"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.frames);
        char h[kRf64HeaderBytes + 4];
        memset(h, 'x', sizeof h);
        ASSERT_EQ(headerBytes(h, c.rate, c.ch, c.bits, c.frames), c.length);
        std::string want = c.bytes;
        size_t at = want.find("<fmt>");
        if (at != std::string::npos) want.replace(at, 5, fmtMono8);
        EXPECT_EQ(hex(std::string(h, (size_t)c.length)), want);
        EXPECT_EQ(std::string(h + c.length, 4), "xxxx");   // nothing past the header
    }
    // Stereo 16-bit around the same edge: whole frames of 4 bytes.
    char h[kRf64HeaderBytes];
    EXPECT_EQ(headerBytes(h, 44100, 2, 16, kRiffDataLimit / 4), 44);
    EXPECT_EQ(Assem4(h + kDataSizeAt), 4294967256ul);
    EXPECT_EQ(Assem4(h + kRiffSizeAt), 4294967292ul);
    EXPECT_EQ(headerBytes(h, 44100, 2, 16, kRiffDataLimit / 4 + 1), 80);
    EXPECT_EQ(Assem8(h + 28), 4294967260ull);
    EXPECT_EQ(Assem8(h + 36), (unsigned long long)(kRiffDataLimit / 4 + 1));

    // MAKE_HEADER writes what headerBytes makes, RF64 too.
    Scratch s;
    std::string out;
    ASSERT_EQ(makeHeaderQuiet(s.path("rf.wav"), 48000, 2, 24, 1000000000LL, &out), 1);
    EXPECT_EQ(out, "");
    ASSERT_EQ(headerBytes(h, 48000, 2, 24, 1000000000LL), 80);
    EXPECT_EQ(readFile(s.path("rf.wav")), std::string(h, 80));
}

int makeHeaderTo(void *path)
{
    return MAKE_HEADER((const char *)path, 44100, 2, 16, 100);
}

TEST(MakeHeader, AShortWriteIsAFailure)
{
    Scratch s;
    std::string p = s.path("full.wav");
    std::string out;
    EXPECT_EQ(withFileSizeLimit(20, &out, makeHeaderTo, (void *)p.c_str()), 0);
    EXPECT_EQ(out, "Cannot write " + p + ": File too large\n");
    EXPECT_EQ(withFileSizeLimit(44, &out, makeHeaderTo, (void *)p.c_str()), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(fileSize(p), 44);
}

// A Broadcast WAV header: the bext chunk (version 1) between the format
// chunk and the data chunk, stamped in local time, and a new stamp in its
// place. (What libsndfile, ffprobe and t read of it: e2e_record.)
TEST(HeaderBytes, BroadcastWavCarriesItsBextChunkAfterTheFormatChunk)
{
    setenv("TZ", "UTC", 1);
    tzset();
    BextStamp st;
    makeBextStamp(&st, 1550097618LL, 500000000L, 48000, 0x1a2b3c4dUL);   // 2019-02-13 22:40:18.5
    char h[kMaxHeaderBytes];
    ASSERT_EQ(bwfHeaderBytes(h, 48000, 2, 24, 8, &st), 694);
    const char *history = "A=PCM,F=48000,W=24,M=stereo,T=Tunevat\r\n";   // 39 bytes and a NUL
    EXPECT_EQ(std::string(h, 8) + std::string(h + 36, 8), "RIFF" + le(694 + 48 - 8, 4) + "bext" + le(642, 4));
    EXPECT_EQ(std::string(h + 44, 256), std::string(256, '\0'));   // no description
    EXPECT_EQ(std::string(h + 44 + 256, 92), "Tunevat" + std::string(25, '\0') + "Tunevat-20190213224018-1a2b3c4d" +
                                                 std::string(1, '\0') + "2019-02-1322:40:18" +
                                                 le(81618ULL * 48000 + 24000, 8) + le(1, 2));
    EXPECT_EQ(std::string(h + 44 + 602, 48), history + std::string(1, '\0') + "data" + le(48, 4));
    Scratch s;
    std::string p = s.path("bwf.wav");
    writeFile(p, std::string(h, 694) + std::string(48, '\1'));
    makeBextStamp(&st, 1550097618LL + 3600, 0, 48000, 7);
    FILE *f = fopen(p.c_str(), "rb+");
    ASSERT_TRUE(f);
    EXPECT_EQ(restampBext(fileno(f), &st), 1);
    fclose(f);
    EXPECT_TRUE(readFile(p) == std::string(h, 44 + 288) + "Tunevat-20190213234018-00000007" + std::string(1, '\0') +
                                   "2019-02-1323:40:18" + le(85218ULL * 48000, 8) + std::string(h + 390, 304) +
                                   std::string(48, '\1'));
}

}  // namespace
