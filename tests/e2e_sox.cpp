// Interoperation with sox: files sox writes (plain and extensible format
// chunks, 8 to 24 bits, extra chunks) read with the same format and length
// soxi reports, and files we write read back in sox sample for sample (and
// in libsndfile, for a recording that outgrew 4 GiB).
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

#include "harness.h"
#include "unit_wav_util.h"
#include "wav/wav.h"

using namespace wavtest;

namespace {

std::string soxi(const std::string &dir, const std::string &flag, const std::string &file)
{
    RunResult r = runProgram(dir, {"soxi", flag, file});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string s = r.out;
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

struct Attrs {
    unsigned long rate = 0;
    unsigned int bps = 0, channels = 0;
    unsigned long long offset = 0, frames = 0;
};

int readQuiet(const std::string &path, Attrs *a)
{
    startCapture();
    int r = GetAttributes(path.c_str(), &a->rate, &a->bps, &a->channels, &a->offset, &a->frames, 0);
    std::string out = endCapture();
    EXPECT_EQ(out, "");
    return r;
}

// Our reading must agree with soxi's on rate, width, channels and frames.
void expectAgreesWithSoxi(const std::string &dir, const std::string &file)
{
    Attrs a;
    ASSERT_EQ(readQuiet(dir + "/" + file, &a), 1) << file;
    EXPECT_EQ(std::to_string(a.rate), soxi(dir, "-r", file)) << file;
    EXPECT_EQ(std::to_string(a.bps * 8), soxi(dir, "-b", file)) << file;
    EXPECT_EQ(std::to_string(a.channels), soxi(dir, "-c", file)) << file;
    EXPECT_EQ(std::to_string(a.frames), soxi(dir, "-s", file)) << file;
}

TEST(SoxFiles, AttributesAgreeWithSoxi)
{
    Scratch s;
    struct Case { const char *rate, *bits, *channels, *seconds; } cases[] = {
        {"44100", "16", "1", "0.5"}, {"44100", "16", "2", "0.25"}, {"48000", "16", "2", "0.3"},
        {"48000", "24", "1", "0.2"}, {"44100", "24", "2", "0.4"},  {"8000", "8", "1", "1"},
        {"22050", "8", "2", "0.1"},  {"96000", "32", "2", "0.1"},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string file = "sox" + std::to_string(n++) + ".wav";
        RunResult r = runProgram(s.dir, {"sox", "-n", "-r", c.rate, "-b", c.bits, "-c", c.channels,
                                         file, "synth", c.seconds, "sine", "440"});
        ASSERT_EQ(r.status, 0) << r.err;
        expectAgreesWithSoxi(s.dir, file);
    }
}

TEST(SoxFiles, ExtensibleFormatChunkOfTwentyFourBitFiles)
{
    Scratch s;
    RunResult r = runProgram(s.dir, {"sox", "-n", "-r", "48000", "-b", "24", "-c", "2", "x.wav",
                                     "synth", "0.1", "sine", "440"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string bytes = readFile(s.dir + "/x.wav");
    // sox writes WAVE_FORMAT_EXTENSIBLE (0xfffe) with a 40-byte format
    // chunk and a fact chunk, so the data does not start at 44.
    ASSERT_GE(bytes.size(), 44u);
    EXPECT_EQ(Assem2(&bytes[20]), 0xfffeu);
    EXPECT_EQ(Assem4(&bytes[16]), 40ul);
    Attrs a;
    ASSERT_EQ(readQuiet(s.dir + "/x.wav", &a), 1);
    EXPECT_EQ(a.bps, 3u);
    EXPECT_EQ(a.channels, 2u);
    EXPECT_EQ(a.rate, 48000ul);
    EXPECT_EQ(bytes.compare(a.offset - 8, 4, "data"), 0);
    EXPECT_GT(a.offset, 44ul);
    EXPECT_EQ(a.frames, 4800ul);
    expectAgreesWithSoxi(s.dir, "x.wav");
}

TEST(SoxFiles, ListChunkBeforeTheData)
{
    Scratch s;
    RunResult r = runProgram(s.dir, {"sox", "-n", "-r", "44100", "-b", "16", "-c", "2", "-t",
                                     "wavpcm", "plain.wav", "synth", "0.2", "sine", "440"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string plain = readFile(s.dir + "/plain.wav");
    ASSERT_EQ(plain.compare(36, 4, "data"), 0);
    // sox does not write comments into WAV files, so put a LIST INFO chunk
    // with a comment in front of its data chunk and fix the RIFF size.
    std::string text("hello\0", 6);
    std::string list = "LIST" + le(4 + 8 + text.size(), 4) + "INFO" + "ICMT" + le(text.size(), 4) + text;
    std::string withList = plain.substr(0, 36) + list + plain.substr(36);
    withList.replace(4, 4, le(withList.size() - 8, 4));
    writeFile(s.dir + "/list.wav", withList);
    Attrs a;
    ASSERT_EQ(readQuiet(s.dir + "/list.wav", &a), 1);
    EXPECT_EQ(a.offset, 44ul + list.size());
    expectAgreesWithSoxi(s.dir, "list.wav");
    // sox reads the same samples from it as from the plain file.
    ASSERT_EQ(runProgram(s.dir, {"sox", "list.wav", "-t", "raw", "a.raw"}).status, 0);
    ASSERT_EQ(runProgram(s.dir, {"sox", "plain.wav", "-t", "raw", "b.raw"}).status, 0);
    EXPECT_EQ(readFile(s.dir + "/a.raw"), plain.substr(44));
    EXPECT_EQ(readFile(s.dir + "/a.raw"), readFile(s.dir + "/b.raw"));
}

TEST(OurFiles, HeaderDataAndSizeFixReadBackInSox)
{
    Scratch s;
    struct Case { unsigned rate, channels, bits; long frames; } cases[] = {
        {44100, 2, 16, 4410}, {48000, 1, 24, 2400}, {48000, 2, 24, 1000}, {44100, 1, 16, 333},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string file = "ours" + std::to_string(n) + ".wav";
        std::string path = s.dir + "/" + file;
        // Header planned for twice the frames, as a take longer than kept.
        startCapture();
        ASSERT_EQ(MAKE_HEADER(path.c_str(), c.rate, c.channels, c.bits, 2 * c.frames), 1);
        std::string data = patternBytes(c.frames * c.channels * (c.bits / 8), 10 + n);
        FILE *f = fopen(path.c_str(), "ab");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fwrite(data.data(), 1, data.size(), f), data.size());
        fclose(f);
        ASSERT_EQ(FIX_SIZE(path.c_str(), -1), 1);
        EXPECT_EQ(endCapture(), "");

        EXPECT_EQ(soxi(s.dir, "-r", file), std::to_string(c.rate));
        EXPECT_EQ(soxi(s.dir, "-b", file), std::to_string(c.bits));
        EXPECT_EQ(soxi(s.dir, "-c", file), std::to_string(c.channels));
        EXPECT_EQ(soxi(s.dir, "-s", file), std::to_string(c.frames));
        EXPECT_EQ(soxi(s.dir, "-e", file), "Signed Integer PCM");
        std::string raw = "out" + std::to_string(n) + ".raw";
        RunResult r = runProgram(s.dir, {"sox", file, "-t", "raw", raw});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(readFile(s.dir + "/" + raw), data) << file;
        ++n;
    }
}

TEST(OurFiles, AppendedRecordingReadsBackInSox)
{
    Scratch s;
    std::string t = s.dir + "/song.wav", take = s.dir + "/tunevat_temp.wav";
    std::string first = patternBytes(40000, 21), second = patternBytes(12000, 22);
    writeFile(t, wavBytes(44100, 2, 16, first));
    // The take's header plans more than it keeps; its tail is discarded.
    writeFile(take, wavBytes(44100, 2, 16, second + patternBytes(4000, 23)));
    startCapture();
    ASSERT_EQ(APPEND(t.c_str(), take.c_str(), (long)second.size()), 1);
    ASSERT_EQ(FIX_SIZE(t.c_str(), (long)(first.size() + second.size())), 1);
    EXPECT_EQ(endCapture(), "Append file is 16044 bytes\n");
    EXPECT_EQ(soxi(s.dir, "-s", "song.wav"), "13000");
    ASSERT_EQ(runProgram(s.dir, {"sox", "song.wav", "-t", "raw", "song.raw"}).status, 0);
    EXPECT_EQ(readFile(s.dir + "/song.raw"), first + second);
    expectAgreesWithSoxi(s.dir, "song.wav");
}

// A take that carries a 3 GiB recording past 4 GiB: the recording turns
// RF64 ("RF64", a ds64 chunk after "WAVE", the data size deferring to it;
// its title before the audio and its chunk after it kept), and libsndfile
// reads the old audio, then the new, across the join. sox reads the 3 GiB
// RIFF file before; it reads an RF64 file past 4 GiB only by going through
// all of it (14.4.2; ffmpeg's too). The target and the take are sparse;
// the new file is written for real (4 GiB), so the test wants the room.
TEST(OurFiles, AppendPastFourGiBTurnsTheRecordingRf64)
{
    Scratch s;
    const long long oldData = 3221225472LL, newData = 1073745920LL;   // 3 GiB, 1 GiB + 4096
    const long long total = oldData + newData;
    if (freeBytes(s.dir) < total + (2LL << 30))
        GTEST_SKIP() << "needs " << (total >> 30) + 2 << " GiB free on " << s.dir;
    if (std::string(TUNEVAT_SNDCHECK).empty()) GTEST_SKIP() << "built without libsndfile";
    std::string t = s.path("song.wav"), take = s.path("tunevat_temp.wav");
    const std::string oldHead = patternBytes(4000, 31), oldTail = patternBytes(4000, 32);
    const std::string newHead = patternBytes(4000, 33), newTail = patternBytes(4000, 34);
    const std::string fmt = riffHeader(44100, 2, 16, 0).substr(12, 24);
    const std::string list = "LIST" + le(16, 4) + "INFOINAM" + le(4, 4) + std::string("joi\0", 4);
    const std::string levl = "levl" + le(6, 4) + "peaks!";
    const std::string before = fmt + list + "data";
    const long long oldHeader = 12 + (long long)before.size() + 4;
    writeFile(t, "RIFF" + le((unsigned long)(oldHeader - 8 + oldData + levl.size()), 4) + "WAVE" + before +
                     le((unsigned long)oldData, 4));
    ASSERT_EQ(truncate(t.c_str(), (off_t)(oldHeader + oldData)), 0);
    ASSERT_TRUE(writeAt(t, oldHeader, oldHead) && writeAt(t, oldHeader + oldData - 4000, oldTail) &&
                writeAt(t, oldHeader + oldData, levl));
    writeFile(take, riffHeader(44100, 2, 16, (unsigned long long)newData));
    ASSERT_EQ(truncate(take.c_str(), (off_t)(44 + newData)), 0);
    ASSERT_TRUE(writeAt(take, 44, newHead) && writeAt(take, 44 + newData - 4000, newTail));
    const long long join = oldData / 4;
    expectAgreesWithSoxi(s.dir, "song.wav");
    RunResult r = runProgram(s.dir, {"sox", "song.wav", "-t", "raw", "sox.raw", "trim",
                                     std::to_string(join - 1000) + "s", "1000s"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(readFile(s.path("sox.raw")) == oldTail);

    startCapture();
    int ok = appendTake(t.c_str(), take.c_str(), newData, oldData);
    EXPECT_EQ(endCapture(), "Append file is " + std::to_string(44 + newData) + " bytes\n");
    ASSERT_EQ(ok, 1);
    const long long header = oldHeader + 36, length = header + total + (long long)levl.size();
    const std::string ds64 = "ds64" + le(28, 4) + le((unsigned long)(length - 8), 8) + le((unsigned long)total, 8) +
                             le((unsigned long)(total / 4), 8) + le(0, 4);
    EXPECT_EQ(hex(readAt(t, 0, (size_t)header)),
              hex("RF64" + le(0xffffffff, 4) + "WAVE" + ds64 + before + le(0xffffffff, 4)));
    EXPECT_EQ(fileSize(t), length);
    EXPECT_EQ(readAt(t, header, 4000), oldHead);
    EXPECT_EQ(readAt(t, header + oldData - 4000, 8000), oldTail + newHead);
    EXPECT_EQ(readAt(t, header + total - 4000, 4000 + levl.size()), newTail + levl);

    // The join, frames 1000 before it to 1000 after, as libsndfile reads it.
    r = runProgram(s.dir, {TUNEVAT_SNDCHECK, "window", "song.wav", std::to_string(join - 1000), "2000",
                           "sf.raw"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "2 44100 " + std::to_string(total / 4) + " 16\n");
    EXPECT_TRUE(readFile(s.path("sf.raw")) == oldTail + newHead);
    unlink(t.c_str());
    unlink(take.c_str());
}

}  // namespace
