// Interleave: two single-channel blocks into one two-channel block, bytes
// copied unchanged, left sample first.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio/audio.h"
#include "harness.h"

namespace {

// An output buffer with guard bytes on both sides, filled with a marker,
// so that a write outside the frames asked for shows.
struct Guarded {
    static const size_t guard = 16;
    std::vector<char> bytes;
    explicit Guarded(size_t n) : bytes(n + 2 * guard, (char)0xA5) {}
    char *out() { return bytes.data() + guard; }
    std::string inner(size_t n) const { return std::string(bytes.data() + guard, n); }
    bool guardsIntact(size_t n) const
    {
        for (size_t i = 0; i < guard; ++i)
            if (bytes[i] != (char)0xA5 || bytes[guard + n + i] != (char)0xA5) return false;
        return true;
    }
};

TEST(Interleave, TwoFramesOfTwoBytes)
{
    const char left[] = {'L', 'M', 'N', 'O'};
    const char right[] = {'r', 's', 't', 'u'};
    Guarded g(8);
    Interleave(2, 2, left, right, g.out());
    EXPECT_EQ(g.inner(8), "LMrsNOtu");
    EXPECT_TRUE(g.guardsIntact(8));
}

TEST(Interleave, TwoFramesOfThreeBytes)
{
    const char left[] = {'A', 'B', 'C', 'D', 'E', 'F'};
    const char right[] = {'u', 'v', 'w', 'x', 'y', 'z'};
    Guarded g(12);
    Interleave(2, 3, left, right, g.out());
    EXPECT_EQ(g.inner(12), "ABCuvwDEFxyz");
    EXPECT_TRUE(g.guardsIntact(12));
}

TEST(Interleave, SameArrayOnBothSidesDuplicatesEverySample)
{
    std::string mono = patternBytes(4096 * 3, 7);
    std::vector<char> out(4096 * 6);
    Interleave(4096, 3, mono.data(), mono.data(), out.data());
    for (size_t k = 0; k < 4096; ++k) {
        ASSERT_EQ(std::string(out.data() + 6 * k, 3), mono.substr(3 * k, 3)) << k;
        ASSERT_EQ(std::string(out.data() + 6 * k + 3, 3), mono.substr(3 * k, 3)) << k;
    }
}

TEST(Interleave, TwentyFourBitMonoBlocksMatchByteRule)
{
    // One block on both sides, as a mono playback passes it, in a buffer
    // of exactly its size: around and across the eight-frame groups.
    for (unsigned frames : {1u, 7u, 8u, 9u, 16u, 4097u}) {
        std::string m = patternBytes(frames * 3, 6);
        std::vector<char> mono(m.begin(), m.end());
        Guarded g(frames * 6);
        Interleave(frames, 3, mono.data(), mono.data(), g.out());
        std::string expect;
        for (unsigned k = 0; k < frames; ++k) expect += m.substr(3 * k, 3) + m.substr(3 * k, 3);
        EXPECT_EQ(g.inner(frames * 6), expect) << frames;
        EXPECT_TRUE(g.guardsIntact(frames * 6)) << frames;
    }
}

TEST(Interleave, SixteenBitBlockMatchesByteRule)
{
    const unsigned frames = 4097;   // not a multiple of any vector width
    std::string left = patternBytes(frames * 2, 1), right = patternBytes(frames * 2, 2);
    Guarded g(frames * 4);
    Interleave(frames, 2, left.data(), right.data(), g.out());
    std::string expect;
    for (unsigned k = 0; k < frames; ++k) expect += left.substr(2 * k, 2) + right.substr(2 * k, 2);
    EXPECT_EQ(g.inner(frames * 4), expect);
    EXPECT_TRUE(g.guardsIntact(frames * 4));
}

TEST(Interleave, TwentyFourBitBlocksMatchByteRule)
{
    // Input blocks of exactly their size: the wide loads and stores of the
    // 24-bit loop must stay inside them, at every length.
    for (unsigned frames : {1u, 2u, 3u, 4097u}) {
        std::string l = patternBytes(frames * 3, 4), r = patternBytes(frames * 3, 5);
        std::vector<char> left(l.begin(), l.end()), right(r.begin(), r.end());
        Guarded g(frames * 6);
        Interleave(frames, 3, left.data(), right.data(), g.out());
        std::string expect;
        for (unsigned k = 0; k < frames; ++k) expect += l.substr(3 * k, 3) + r.substr(3 * k, 3);
        EXPECT_EQ(g.inner(frames * 6), expect) << frames;
        EXPECT_TRUE(g.guardsIntact(frames * 6)) << frames;
    }
}

TEST(Interleave, SignBitsAndHighBytesAreNotChanged)
{
    const char left[] = {(char)0x00, (char)0x80, (char)0xFF, (char)0xFF};
    const char right[] = {(char)0xFF, (char)0x7F, (char)0x01, (char)0x00};
    char out[8];
    Interleave(2, 2, left, right, out);
    const char expect[] = {(char)0x00, (char)0x80, (char)0xFF, (char)0x7F,
                           (char)0xFF, (char)0xFF, (char)0x01, (char)0x00};
    EXPECT_EQ(std::string(out, 8), std::string(expect, 8));
}

TEST(Interleave, ZeroFramesWritesNothing)
{
    const char left[] = {'a', 'b', 'c'};
    Guarded g(0);
    Interleave(0, 2, left, left, g.out());
    Interleave(0, 3, left, left, g.out());
    EXPECT_TRUE(g.guardsIntact(0));
}

TEST(Interleave, OtherSampleSizesLeaveOutputUntouched)
{
    std::string in = patternBytes(64, 3);
    for (unsigned size : {0u, 1u, 4u, 8u}) {
        Guarded g(128);
        Interleave(8, size, in.data(), in.data(), g.out());
        EXPECT_EQ(g.inner(128), std::string(128, (char)0xA5)) << size;
        EXPECT_TRUE(g.guardsIntact(128)) << size;
    }
}

}  // namespace
