// Interleave: two single-channel blocks into one two-channel block, bytes
// copied unchanged, left sample first; and samples converted for a device.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <cmath>

#include "audio/audio.h"
#include "audio/playformat.h"
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

// Whole blocks against the byte rule, in input buffers of exactly their
// size (the wide loads and stores must stay inside them) at lengths around
// and across the vector widths; the same buffer on both sides is a mono
// block as playback passes it.
TEST(Interleave, BlocksMatchTheByteRule)
{
    struct Case {
        unsigned bytes;
        bool sameSides;
        std::vector<unsigned> frames;
    } cases[] = {
        {2, false, {4097}},
        {3, false, {1, 2, 3, 4097}},
        {3, true, {1, 7, 8, 9, 16, 4097}},
    };
    for (const Case &c : cases) {
        for (unsigned frames : c.frames) {
            SCOPED_TRACE(std::to_string(c.bytes) + (c.sameSides ? " bytes, mono, " : " bytes, ") +
                         std::to_string(frames) + " frames");
            std::string l = patternBytes(frames * c.bytes, 4), r = patternBytes(frames * c.bytes, 5);
            if (c.sameSides) r = l;
            std::vector<char> left(l.begin(), l.end()), right(r.begin(), r.end());
            size_t out = (size_t)frames * 2 * c.bytes;
            Guarded g(out);
            Interleave(frames, c.bytes, left.data(), c.sameSides ? left.data() : right.data(), g.out());
            std::string expect;
            for (unsigned k = 0; k < frames; ++k)
                expect += l.substr(c.bytes * k, c.bytes) + r.substr(c.bytes * k, c.bytes);
            EXPECT_EQ(g.inner(out), expect);
            EXPECT_TRUE(g.guardsIntact(out));
        }
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

// Samples converted to what a device takes: exact where the new form
// holds them, rounded and clipped where it does not.
TEST(ConvertSamples, EachPairOfFormsGivesTheNearestSample)
{
    auto f32 = [](float v) { return std::string((const char *)&v, 4); };
    auto f64 = [](double v) { return std::string((const char *)&v, 8); };
#define B(literal) std::string(literal, sizeof literal - 1)
    struct Case {
        SampleEncoding from, to;
        std::string in, out;
    } cases[] = {
        {kSampleU8, kSampleS16, B("\x00\x80\xff"), B("\x00\x80\x00\x00\x00\x7f")},
        {kSampleS24, kSampleS32, B("\x01\x02\x83"), B("\x00\x01\x02\x83")},
        // Narrower: rounded to nearest (half to even), clipped at the top.
        {kSampleS32, kSampleS16, B("\x00\x80\x01\x00\xff\xff\xff\x7f"), B("\x02\x00\xff\x7f")},
        {kSampleS32, kSampleS24, B("\x80\x00\x00\x00\x81\x01\x00\x00"), B("\x00\x00\x00\x02\x00\x00")},
        {kSampleF32, kSampleS16, f32(0.5f) + f32(-1.5f) + f32(1.0f) + f32(3e-5f),
         B("\x00\x40\x00\x80\xff\x7f\x01\x00")},
        {kSampleF32, kSampleS32, f32(-1.0f) + f32(NAN), B("\x00\x00\x00\x80\x00\x00\x00\x00")},
        {kSampleF64, kSampleS24, f64(0.25) + f64(-2.0), B("\x00\x00\x20\x00\x00\x80")},
        {kSampleF64, kSampleF32, f64(0.1), f32(0.1f)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + " to " + std::to_string(c.to));
        size_t count = c.in.size() / encodingBytes(c.from);
        Guarded g(c.out.size());
        convertSamples(c.in.data(), c.from, g.out(), c.to, count);
        EXPECT_EQ(g.inner(c.out.size()), c.out);
        EXPECT_TRUE(g.guardsIntact(c.out.size()));
    }
#undef B
}

}  // namespace
