// The in-place editors: the data size fix and the append, on the files a
// recording produces, on broken files, at the size limits and on a full disk.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "unit_wav_util.h"
#include "wav/wav.h"

using namespace wavtest;

namespace {

// The first n bytes of a file (the big sparse files are not read whole).
std::string readHead(const std::string &path, size_t n)
{
    std::string s(n, '\0');
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return "";
    s.resize(fread(&s[0], 1, n, f));
    fclose(f);
    return s;
}

int fixSize(const std::string &path, long bytes, std::string *out)
{
    startCapture();
    int r = FIX_SIZE(path.c_str(), bytes);
    *out = endCapture();
    return r;
}

int append(const std::string &target, const std::string &source, long count, std::string *out)
{
    startCapture();
    int r = APPEND(target.c_str(), source.c_str(), count);
    *out = endCapture();
    return r;
}

TEST(FixSize, WritesOnlyTheDataSizeField)
{
    Scratch s;
    std::string p = s.path("take.wav");
    startCapture();
    ASSERT_EQ(MAKE_HEADER(p.c_str(), 44100, 2, 16, 44100), 1);
    endCapture();
    std::string data = patternBytes(1000);
    {
        FILE *f = fopen(p.c_str(), "ab");
        ASSERT_NE(f, nullptr);
        fwrite(data.data(), 1, data.size(), f);
        fclose(f);
    }
    std::string before = readFile(p);
    std::string out;
    ASSERT_EQ(fixSize(p, 1000, &out), 1);
    EXPECT_EQ(out, "");
    std::string after = readFile(p);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(hex(after.substr(40, 4)), "e8 03 00 00");
    EXPECT_EQ(after.substr(0, 40), before.substr(0, 40));   // RIFF size too
    EXPECT_EQ(hex(after.substr(4, 4)), "34 b1 02 00");
    EXPECT_EQ(after.substr(44), data);
}

TEST(FixSize, MinusOneMeasuresTheDataToTheEndOfTheFile)
{
    Scratch s;
    std::string p = s.path("m.wav");
    std::string f = wavBytes(44100, 2, 16, patternBytes(1000));
    f.replace(40, 4, le(7, 4));
    writeFile(p, f);
    ASSERT_EQ(fileSize(p), 1044);
    std::string out;
    ASSERT_EQ(fixSize(p, -1, &out), 1);
    EXPECT_EQ(Assem4(&readFile(p)[40]), 1000ul);
    // An empty data chunk measures 0.
    writeFile(p, wavBytes(44100, 2, 16, "").substr(0, 40) + le(99, 4));
    ASSERT_EQ(fixSize(p, -1, &out), 1);
    EXPECT_EQ(Assem4(&readFile(p)[40]), 0ul);
    EXPECT_EQ(fileSize(p), 44);
}

TEST(FixSize, FindsTheDataChunkBehindOtherChunks)
{
    Scratch s;
    std::string p = s.path("o.wav");
    std::string f = wavBytes(8000, 1, 16, "").substr(0, 36) + "LIST" + le(4, 4) + "INFO" + "data" +
                    le(0, 4) + patternBytes(30);
    writeFile(p, f);
    std::string out;
    ASSERT_EQ(fixSize(p, -1, &out), 1);
    std::string after = readFile(p);
    EXPECT_EQ(Assem4(&after[52]), 30ul);
    f.replace(52, 4, le(30, 4));
    EXPECT_EQ(after, f);
}

TEST(FixSize, LeavesTheFileAsItWasWhenItRefuses)
{
    Scratch s;
    std::string p = s.path("r.wav");
    std::string out;

    std::string nodata = "RIFF" + le(100, 4) + "WAVE" + patternBytes(100);
    writeFile(p, nodata);
    EXPECT_EQ(fixSize(p, 1000, &out), 0);
    EXPECT_EQ(out, "Can't find data block in wave file!\n");
    EXPECT_EQ(readFile(p), nodata);

    std::string good = wavBytes(44100, 2, 16, patternBytes(400));
    writeFile(p, good);
    for (long bad : {-2L, -1000L, 2147483648L, 4294967296L + 5}) {
        EXPECT_EQ(fixSize(p, bad, &out), 0) << bad;
        EXPECT_EQ(out, "Data size " + std::to_string(bad) + " does not fit a wave file: " + p + "\n");
        EXPECT_EQ(readFile(p), good);
    }
    ASSERT_EQ(fixSize(p, 2147483647L, &out), 1);
    EXPECT_EQ(hex(readFile(p).substr(40, 4)), "ff ff ff 7f");

    // A file ending inside the data chunk's size field: neither a
    // measured nor a given size is written, and the file does not grow.
    for (size_t extra = 0; extra < 4; ++extra) {
        std::string cut = good.substr(0, 40 + extra);
        writeFile(p, cut);
        EXPECT_EQ(fixSize(p, -1, &out), 0);
        EXPECT_EQ(out, "Wave file ends before its sample data!\n");
        EXPECT_EQ(fixSize(p, 10, &out), 0);
        EXPECT_EQ(out, "Wave file ends before its sample data!\n");
        EXPECT_EQ(readFile(p), cut);
    }

    std::string missing = s.path("missing.wav");
    EXPECT_EQ(fixSize(missing, 10, &out), 0);
    EXPECT_EQ(out, "Cannot open " + missing + ": No such file or directory\n");
    EXPECT_FALSE(fileExists(missing));
}

TEST(FixSize, RefusesAMeasuredSizeBeyondTheField)
{
    Scratch s;
    std::string p = s.path("huge.wav");
    writeFile(p, wavBytes(44100, 2, 16, ""));
    // A sparse file: 2^31 bytes of data after the header.
    ASSERT_EQ(truncate(p.c_str(), 44 + 2147483648L), 0);
    std::string out;
    EXPECT_EQ(fixSize(p, -1, &out), 0);
    EXPECT_EQ(out, "Data size 2147483648 does not fit a wave file: " + p + "\n");
    std::string head = readHead(p, 44);
    ASSERT_EQ(head.size(), 44u);
    EXPECT_EQ(Assem4(&head[40]), 0ul);
}

TEST(Append, TakeOfTwoBlocksGoesToTheEndOfTheTarget)
{
    Scratch s;
    std::string t = s.path("song.wav"), take = s.path("tunevat_temp.wav");
    std::string target = wavBytes(44100, 2, 16, patternBytes(100000, 1));
    std::string source = wavBytes(44100, 2, 16, patternBytes(8192, 2));
    ASSERT_EQ(source.size(), 8236u);
    writeFile(t, target);
    writeFile(take, source);
    std::string out;
    ASSERT_EQ(append(t, take, 8192, &out), 1);
    EXPECT_EQ(out, "Append file is 8236 bytes\n");
    std::string after = readFile(t);
    ASSERT_EQ(after.size(), 108236u);
    EXPECT_EQ(after.substr(0, 100044), target);   // data size unchanged
    EXPECT_EQ(after.substr(100044), source.substr(44));
    EXPECT_EQ(readFile(take), source);

    ASSERT_EQ(fixSize(t, 100000 + 8192, &out), 1);
    EXPECT_EQ(Assem4(&readFile(t)[40]), 108192ul);
}

TEST(Append, CopiesExactlyCountBytesAndNoMore)
{
    Scratch s;
    std::string t = s.path("t.wav"), src = s.path("s.wav");
    std::string target = wavBytes(48000, 1, 24, patternBytes(300, 3));
    std::string source = wavBytes(48000, 1, 24, patternBytes(10000, 4));
    writeFile(src, source);
    std::string out;

    writeFile(t, target);
    ASSERT_EQ(append(t, src, 5000, &out), 1);
    EXPECT_EQ(readFile(t), target + source.substr(44, 5000));

    // More asked than the source holds: everything it holds.
    writeFile(t, target);
    ASSERT_EQ(append(t, src, 20000, &out), 1);
    EXPECT_EQ(readFile(t), target + source.substr(44));

    // Nothing asked: the length line and the searches, nothing copied.
    for (long none : {0L, -5L}) {
        writeFile(t, target);
        ASSERT_EQ(append(t, src, none, &out), 1);
        EXPECT_EQ(out, "Append file is 10044 bytes\n");
        EXPECT_EQ(readFile(t), target);
    }
}

TEST(Append, NewSamplesFollowAChunkAfterTheTargetsData)
{
    Scratch s;
    std::string t = s.path("t.wav"), src = s.path("s.wav");
    std::string target = wavBytes(44100, 1, 16, patternBytes(200, 5)) + "LIST" + le(4, 4) + "INFO";
    std::string source = "RIFF" + le(0, 4) + "WAVE" + "JUNK" + le(2, 4) + "zz" +
                         wavBytes(44100, 1, 16, patternBytes(64, 6)).substr(12);
    writeFile(t, target);
    writeFile(src, source);
    std::string out;
    ASSERT_EQ(append(t, src, 64, &out), 1);
    EXPECT_EQ(readFile(t), target + patternBytes(64, 6));
}

TEST(Append, ReportsFilesThatCannotBeOpenedOrHaveNoData)
{
    Scratch s;
    std::string t = s.path("t.wav"), src = s.path("s.wav"), missing = s.path("missing.wav");
    std::string target = wavBytes(44100, 2, 16, patternBytes(400));
    std::string source = wavBytes(44100, 2, 16, patternBytes(40));
    writeFile(t, target);
    writeFile(src, source);
    std::string out;

    EXPECT_EQ(append(missing, src, 40, &out), 0);
    EXPECT_EQ(out, "Cannot open " + missing + ": No such file or directory\n");
    EXPECT_FALSE(fileExists(missing));
    EXPECT_EQ(append(t, missing, 40, &out), 0);
    EXPECT_EQ(out, "Cannot open " + missing + ": No such file or directory\n");
    EXPECT_EQ(readFile(t), target);

    std::string nodata = s.path("nodata.wav");
    writeFile(nodata, "RIFF" + le(0, 4) + "WAVE" + patternBytes(50));
    EXPECT_EQ(append(t, nodata, 40, &out), 0);
    EXPECT_EQ(out, "Append file is 62 bytes\nCan't find data block in wave file!\n");
    EXPECT_EQ(readFile(t), target);
    EXPECT_EQ(append(nodata, src, 40, &out), 0);
    EXPECT_EQ(out, "Append file is 84 bytes\nCan't find data block in wave file!\n");
    EXPECT_EQ(fileSize(nodata), 62);

    // A source that ends inside its data chunk header holds no samples.
    std::string cut = s.path("cut.wav");
    writeFile(cut, source.substr(0, 42));
    EXPECT_EQ(append(t, cut, 40, &out), 0);
    EXPECT_EQ(out, "Append file is 42 bytes\nWave file ends before its sample data!\n");
    EXPECT_EQ(readFile(t), target);
}

TEST(Append, RefusesToGrowTheTargetPastWhatAWaveFileCanState)
{
    Scratch s;
    std::string t = s.path("big.wav"), src = s.path("s.wav");
    writeFile(t, wavBytes(44100, 1, 8, ""));
    // Sparse target holding 100 bytes less than the largest data size.
    long targetLength = 44 + kMaxDataBytes - 100;
    ASSERT_EQ(truncate(t.c_str(), targetLength), 0);
    writeFile(src, wavBytes(44100, 1, 8, patternBytes(200)));
    std::string out;
    EXPECT_EQ(append(t, src, 101, &out), 0);
    EXPECT_EQ(out, "Append file is 244 bytes\nAppending would make " + t + " too large for a wave file!\n");
    EXPECT_EQ(fileSize(t), targetLength);
    ASSERT_EQ(append(t, src, 100, &out), 1);
    EXPECT_EQ(fileSize(t), targetLength + 100);
}

struct AppendArgs {
    std::string target, source;
    long count;
};

int appendInChild(void *p)
{
    AppendArgs *a = (AppendArgs *)p;
    return APPEND(a->target.c_str(), a->source.c_str(), a->count);
}

TEST(Append, AShortWriteFailsAndCutsTheTargetBack)
{
    Scratch s;
    AppendArgs a{s.path("t.wav"), s.path("take.wav"), 8192};
    std::string target = wavBytes(44100, 2, 16, patternBytes(1000, 7));
    writeFile(a.target, target);
    writeFile(a.source, wavBytes(44100, 2, 16, patternBytes(8192, 8)));
    std::string out;
    // Room for the first block and part of the second only.
    EXPECT_EQ(withFileSizeLimit((long)target.size() + 5000, &out, appendInChild, &a), 0);
    EXPECT_EQ(out, "Append file is 8236 bytes\nCannot write " + a.target + ": File too large\n");
    EXPECT_EQ(readFile(a.target), target);
    // With room enough the same append succeeds.
    EXPECT_EQ(withFileSizeLimit((long)target.size() + 8192, &out, appendInChild, &a), 1);
    EXPECT_EQ(readFile(a.target), target + patternBytes(8192, 8));
}

TEST(Append, ATargetThatIsItsOwnSourceDoublesItsData)
{
    Scratch s;
    std::string t = s.path("t.wav");
    std::string target = wavBytes(44100, 1, 16, patternBytes(9000, 9));
    writeFile(t, target);
    std::string out;
    ASSERT_EQ(append(t, t, 9000, &out), 1);
    EXPECT_EQ(readFile(t), target + patternBytes(9000, 9));
}

}  // namespace
