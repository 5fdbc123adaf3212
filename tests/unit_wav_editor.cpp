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

int fixSize(const std::string &path, long long bytes, std::string *out)
{
    startCapture();
    int r = FIX_SIZE(path.c_str(), bytes);
    *out = endCapture();
    return r;
}

int append(const std::string &target, const std::string &source, long long count, std::string *out)
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
    // A RIFF file's field states at most 4 GiB less the header's 36 bytes.
    for (long long bad : {-2LL, -1000LL, kRiffDataLimit + 1, 4294967296LL + 5}) {
        EXPECT_EQ(fixSize(p, bad, &out), 0) << bad;
        EXPECT_EQ(out, "Data size " + std::to_string(bad) + " does not fit a wave file: " + p + "\n");
        EXPECT_EQ(readFile(p), good);
    }
    ASSERT_EQ(fixSize(p, kRiffDataLimit, &out), 1);
    EXPECT_EQ(hex(readFile(p).substr(40, 4)), "db ff ff ff");
    ASSERT_EQ(fixSize(p, 2147483648LL, &out), 1);
    EXPECT_EQ(hex(readFile(p).substr(40, 4)), "00 00 00 80");

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

TEST(FixSize, MeasuredSizesUpToTheRiffLimitAndRf64PastIt)
{
    Scratch s;
    std::string p = s.path("huge.wav");
    std::string ds64 = "ds64" + le(28, 4) + le(0, 8) + le(0, 8) + le(0, 8) + le(0, 4);
    std::string fmt = wavBytes(44100, 2, 16, "").substr(12, 24);
    // Sparse files: gigabytes of data after the header cost no disk.
    struct Case {
        std::string header;
        long long data;
        const char *field;   // the bytes written at sizeAt, or nullptr: refused
        size_t sizeAt, width;
    } cases[] = {
        {wavBytes(44100, 2, 16, ""), 2147483648LL, "00 00 00 80", 40, 4},
        {wavBytes(44100, 2, 16, ""), kRiffDataLimit, "db ff ff ff", 40, 4},
        {wavBytes(44100, 2, 16, ""), kRiffDataLimit + 1, nullptr, 40, 4},
        // RF64 whose data chunk says how big it is: past 32 bits the size
        // moves to ds64 and the field says 0xffffffff.
        {"RF64" + le(0xffffffff, 4) + "WAVE" + ds64 + fmt + "data" + le(0, 4), 5368709120LL,
         "00 00 00 40 01 00 00 00", 12 + 16, 8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.data);
        writeFile(p, c.header);
        ASSERT_EQ(truncate(p.c_str(), (off_t)(c.header.size() + c.data)), 0);
        std::string out;
        EXPECT_EQ(fixSize(p, -1, &out), c.field ? 1 : 0);
        std::string head = readHead(p, c.header.size());
        if (c.field) {
            EXPECT_EQ(out, "");
            EXPECT_EQ(hex(head.substr(c.sizeAt, c.width)), c.field);
            EXPECT_EQ(hex(head.substr(c.header.size() - 4)), c.width == 8 ? "ff ff ff ff" : c.field);
        } else {
            EXPECT_EQ(out, "Data size " + std::to_string(c.data) + " does not fit a wave file: " + p + "\n");
            EXPECT_EQ(head, c.header);
        }
        unlink(p.c_str());
    }
}

TEST(RiffSize, SetIn32BitsUpTo4GiBAndInDs64ForRf64)
{
    Scratch s;
    std::string p = s.path("r.wav");
    std::string fmt = wavBytes(44100, 2, 16, "").substr(12, 24);
    std::string rf64 = "RF64" + le(0xffffffff, 4) + "WAVE" + "ds64" + le(28, 4) + std::string(28, '\0') + fmt +
                       "data" + le(0xffffffff, 4);
    struct Case {
        std::string header;
        long long length;
        const char *field;   // nullptr: refused
        size_t at, width;
    } cases[] = {
        {wavBytes(44100, 2, 16, ""), 3221225472LL, "f8 ff ff bf", 4, 4},
        {wavBytes(44100, 2, 16, ""), 4294967303LL, "ff ff ff ff", 4, 4},
        {wavBytes(44100, 2, 16, ""), 4294967304LL, nullptr, 4, 4},
        {rf64, 5368709120LL, "f8 ff ff 3f 01 00 00 00", 20, 8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        writeFile(p, c.header);
        ASSERT_EQ(truncate(p.c_str(), (off_t)c.length), 0);
        startCapture();
        int r = setRiffSize(p.c_str());
        std::string out = endCapture();
        std::string head = readHead(p, c.header.size());
        if (c.field) {
            EXPECT_EQ(r, 1);
            EXPECT_EQ(out, "");
            EXPECT_EQ(hex(head.substr(c.at, c.width)), c.field);
            EXPECT_EQ(hex(head.substr(0, 4)), hex(c.header.substr(0, 4)));
        } else {
            EXPECT_EQ(r, 0);
            EXPECT_EQ(out, "Cannot set the RIFF size of " + p + ": the file is " + std::to_string(c.length) +
                               " bytes long\n");
            EXPECT_EQ(head, c.header);
        }
        unlink(p.c_str());
    }
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

TEST(Append, RefusesToGrowARiffTargetPastWhatItsSizeFieldCanState)
{
    Scratch s;
    std::string t = s.path("big.wav"), src = s.path("s.wav");
    writeFile(src, wavBytes(44100, 1, 8, patternBytes(200)));
    std::string ds64 = "ds64" + le(28, 4) + std::string(28, '\0');
    std::string rf64 = "RF64" + le(0xffffffff, 4) + "WAVE" + ds64 +
                       wavBytes(44100, 1, 8, "").substr(12, 24) + "data" + le(0xffffffff, 4);
    struct Case {
        std::string header;
        long long count;
        bool ok;
    } cases[] = {
        {wavBytes(44100, 1, 8, ""), 101, false}, {wavBytes(44100, 1, 8, ""), 100, true},
        {rf64, 200, true},   // RF64 states 64-bit sizes
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.count);
        writeFile(t, c.header);
        // Sparse: 100 bytes less than a RIFF file's data can be.
        long long targetLength = (long long)c.header.size() + kRiffDataLimit - 100;
        ASSERT_EQ(truncate(t.c_str(), (off_t)targetLength), 0);
        std::string out;
        EXPECT_EQ(append(t, src, c.count, &out), c.ok ? 1 : 0);
        EXPECT_EQ(out, "Append file is 244 bytes\n" +
                           (c.ok ? "" : "Appending would make " + t + " too large for a wave file!\n"));
        EXPECT_EQ(fileSize(t), targetLength + (c.ok ? c.count : 0));
        if (c.ok) {
            EXPECT_EQ(readAt(t, targetLength, (size_t)c.count), patternBytes(200).substr(0, (size_t)c.count));
        }
        unlink(t.c_str());
    }
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
