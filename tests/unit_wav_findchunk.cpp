// The chunk search reads its window once; it must find exactly what trying
// every even offset with its own seek and read finds. Checked against such
// a probe-by-probe search on many generated files.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "unit_wav_util.h"
#include "wav/wav.h"

using namespace wavtest;

namespace {

// The straightforward search: for every even offset 2..131072, rewind,
// seek, read the tag's length and compare as a string; the first wins.
// Once a read comes up short every later one does too, so it stops there.
long probeFile(FILE *f, const char *tag, int tagLength)
{
    char buf[8];
    for (long p = 2; p <= 131072; p += 2) {
        rewind(f);
        if (fseek(f, p, SEEK_CUR) != 0) return -1;
        size_t got = fread(buf, 1, (size_t)tagLength, f);
        buf[got] = '\0';
        if (got < (size_t)tagLength) return -1;
        if (strcmp(buf, tag) == 0) return p;
    }
    return -1;
}

// The same rule over the file's bytes in memory, for the many files on
// which 65,536 seeks each would take too long.
long probeBytes(const std::string &b, const char *tag, int tagLength)
{
    for (long p = 2; p <= 131072; p += 2) {
        if ((size_t)p + (size_t)tagLength > b.size()) return -1;
        if (b.compare((size_t)p, (size_t)tagLength, tag) == 0) return p;
    }
    return -1;
}

struct Rng {
    unsigned long x;
    unsigned next() { x = x * 6364136223846793005ul + 1442695040888963407ul; return (unsigned)(x >> 33); }
    unsigned below(unsigned n) { return next() % n; }
};

// Bytes drawn from the letters of both tags and a few others, so that
// partial matches and near misses are everywhere.
std::string noise(Rng &r, size_t n)
{
    static const char alphabet[] = {'f', 'm', 't', ' ', 'd', 'a', 't', 'a', '\0', 'x', 'D', 'F'};
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = alphabet[r.below(sizeof alphabet)];
    return s;
}

void plant(std::string &s, long at, const std::string &what)
{
    if (at < 0) return;
    for (size_t i = 0; i < what.size() && (size_t)at + i < s.size(); ++i) s[(size_t)at + i] = what[i];
}

// Compares FindChunk with the in-memory rule for both tags, and with the
// probe-by-probe file search too when fileProbe is set.
void expectSameSearch(const std::string &dir, const std::string &bytes, const std::string &label,
                      bool fileProbe = true)
{
    std::string p = dir + "/f.wav";
    writeFile(p, bytes);
    FILE *f = fopen(p.c_str(), "rb");
    FILE *ref = fopen(p.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    ASSERT_NE(ref, nullptr);
    setvbuf(ref, nullptr, _IONBF, 0);   // one small read per probe
    const char *tags[] = {"fmt", "data"};
    const int lengths[] = {3, 4};
    for (int i = 0; i < 2; ++i) {
        long expected = probeBytes(bytes, tags[i], lengths[i]);
        if (fileProbe) {
            ASSERT_EQ(probeFile(ref, tags[i], lengths[i]), expected) << label;
        }
        // Start from a different position each time: the search must not
        // depend on where the stream was left.
        fseek(f, (long)(bytes.size() / 3), SEEK_SET);
        long got = FindChunk(f, tags[i], lengths[i]);
        EXPECT_EQ(got, expected) << label << " tag " << tags[i] << " size " << bytes.size();
    }
    fclose(ref);
    fclose(f);
}

TEST(FindChunk, MatchesProbeSearchOnGeneratedFiles)
{
    Scratch s;
    Rng r{12345};
    const long edges[] = {0, 1, 2, 3, 4, 5, 12, 36, 4092, 4093, 4094, 4095, 4096, 4097, 4098,
                          131066, 131067, 131068, 131069, 131070, 131071, 131072, 131073,
                          131074, 131075, 131076};
    int files = 0;
    // Small files: every length from empty to past a tag, with tags cut
    // off by the end of the file.
    for (size_t n = 0; n < 24; ++n) {
        for (int k = 0; k < 6; ++k) {
            std::string b = noise(r, n);
            if (k == 1) plant(b, (long)n - 3, "fmt");
            if (k == 2) plant(b, (long)n - 4, "data");
            if (k == 3) plant(b, (long)n - 3, "dat");   // "data" cut off by the end
            if (k == 4) plant(b, (long)n - 2, "fm");
            if (k == 5) plant(b, 1, "datafmt ");         // odd offset only
            expectSameSearch(s.dir, b, "small k=" + std::to_string(k));
            ++files;
        }
    }
    // Mid-sized files with tags planted at random offsets, odd and even.
    for (int i = 0; i < 150; ++i) {
        size_t n = 8 + r.below(5000);
        std::string b(n, 'x');
        if (i % 3 == 0) b = noise(r, n);
        plant(b, r.below((unsigned)n), "fmt ");
        plant(b, r.below((unsigned)n), "data");
        if (i % 5 == 0) plant(b, 4, "fmt");   // inside a RIFF size field
        expectSameSearch(s.dir, b, "mid " + std::to_string(i), i % 5 == 0);
        ++files;
    }
    // Tags at and around the window's end and the first read's end, whole
    // or cut off by the end of the file, in files of every length near them.
    for (long at : edges) {
        for (size_t n : {(size_t)at + 2, (size_t)at + 3, (size_t)at + 4, (size_t)at + 5,
                         (size_t)140000}) {
            std::string b(n, 'q');
            plant(b, at, "data");
            expectSameSearch(s.dir, b, "data at " + std::to_string(at), false);
            std::string c(n, 'q');
            plant(c, at, "fmt ");
            if (at > 40) plant(c, 30, "dat");   // a near miss early on
            expectSameSearch(s.dir, c, "fmt at " + std::to_string(at), false);
            files += 2;
        }
    }
    // A few of them, the slowest for a probe-by-probe search, through it too.
    for (long at : {131070L, 131072L, 131074L}) {
        std::string b((size_t)at + 4, 'q');
        plant(b, at, "data");
        plant(b, at - 1, "fmt");
        expectSameSearch(s.dir, b, "probed " + std::to_string(at));
        ++files;
    }
    // Large files without either tag, and one whose only tags are odd.
    std::string none(200000, 'z');
    expectSameSearch(s.dir, none, "no tags", false);
    plant(none, 131071, "data");
    plant(none, 99, "fmt ");
    expectSameSearch(s.dir, none, "odd tags");
    files += 2;
    EXPECT_GT(files, 400);
}

TEST(FindChunk, FirstEvenMatchWinsAndWindowEndsAt131072)
{
    Scratch s;
    std::string p = s.path("w.wav");
    std::string b(140000, 'x');
    plant(b, 131072, "data");
    plant(b, 131077, "fmt");
    writeFile(p, b);
    FILE *f = fopen(p.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(FindChunk(f, "data", 4), 131072);
    EXPECT_EQ(FindChunk(f, "fmt", 3), -1);
    fclose(f);

    plant(b, 131072, "xx");
    plant(b, 131074, "data");
    plant(b, 1000, "fmtX");
    plant(b, 2000, "fmt ");
    writeFile(p, b);
    f = fopen(p.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(FindChunk(f, "data", 4), -1);
    EXPECT_EQ(FindChunk(f, "fmt", 3), 1000);   // "fmt" followed by any byte
    fclose(f);

    // Offset 0 is never a candidate.
    writeFile(p, "datadata");
    f = fopen(p.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(FindChunk(f, "data", 4), 4);
    fclose(f);
}

TEST(FindChunk, LeavesAnUpdateStreamUsableForWriting)
{
    Scratch s;
    std::string p = s.path("u.wav");
    writeFile(p, wavBytes(8000, 1, 16, patternBytes(10)));
    FILE *f = fopen(p.c_str(), "rb+");
    ASSERT_NE(f, nullptr);
    long at = FindChunk(f, "data", 4);
    ASSERT_EQ(at, 36);
    ASSERT_EQ(fseek(f, at + 4, SEEK_SET), 0);
    ASSERT_EQ(fwrite("\x01\x02\x03\x04", 1, 4, f), 4u);
    fclose(f);
    EXPECT_EQ(hex(readFile(p).substr(40, 4)), "01 02 03 04");
    EXPECT_EQ(FindChunk(nullptr, "data", 4), -1);
}

}  // namespace
