// checkPeakFrames16 must raise the two peaks exactly as CheckPeak does
// over each channel's samples: the capture loop uses one or the other
// depending on how the device delivers its frames.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "audio/audio.h"

namespace {

// Interleaved 16-bit stereo frames from two sample lists.
std::vector<char> frames16(const std::vector<int> &left, const std::vector<int> &right)
{
    std::vector<char> out;
    for (size_t k = 0; k < left.size(); ++k) {
        for (int v : {left[k], right[k]}) {
            out.push_back((char)(v & 0xff));
            out.push_back((char)((v >> 8) & 0xff));
        }
    }
    return out;
}

std::vector<char> plain16(const std::vector<int> &samples)
{
    std::vector<char> out;
    for (int v : samples) {
        out.push_back((char)(v & 0xff));
        out.push_back((char)((v >> 8) & 0xff));
    }
    return out;
}

// Runs both meters from the given starting peaks and compares.
void expectSame(const std::vector<int> &left, const std::vector<int> &right, long start1,
                long start2)
{
    std::vector<char> f = frames16(left, right);
    long a1 = start1, a2 = start2;
    checkPeakFrames16((int)left.size(), &a1, &a2, f.data());
    std::vector<char> l = plain16(left), r = plain16(right);
    long b1 = start1, b2 = start2;
    CheckPeak((int)left.size(), &b1, l.data(), 2);
    CheckPeak((int)right.size(), &b2, r.data(), 2);
    EXPECT_EQ(a1, b1) << left.size() << " frames";
    EXPECT_EQ(a2, b2) << left.size() << " frames";
}

}  // namespace

TEST(PeakFrames, ExtremesOnEitherChannel)
{
    std::vector<int> silence(40, 0), left(40, 0), right(40, 0);
    left[3] = -32768;
    right[17] = 32767;
    long p1 = 0, p2 = 0;
    std::vector<char> f = frames16(left, right);
    checkPeakFrames16(40, &p1, &p2, f.data());
    EXPECT_EQ(p1, 32768);
    EXPECT_EQ(p2, 32767);
    // The channels are not mixed up, in the lanes or in the tail.
    for (int at : {0, 1, 7, 8, 15, 31, 32, 38, 39}) {
        std::vector<int> one(40, 0);
        one[at] = -1;
        expectSame(one, silence, 0, 0);
        expectSame(silence, one, 0, 0);
    }
}

TEST(PeakFrames, KeepsLargerPeaksAndCountsBound)
{
    std::vector<int> left = {500, -300, 2}, right = {-7, 9, 1};
    expectSame(left, right, 0, 0);
    expectSame(left, right, 1000, 3);
    long p1 = 5, p2 = 6;
    std::vector<char> f = frames16(left, right);
    checkPeakFrames16(0, &p1, &p2, f.data());
    EXPECT_EQ(p1, 5);
    EXPECT_EQ(p2, 6);
    // Only the first frame counts: the larger values after it are not read.
    checkPeakFrames16(1, &p1, &p2, f.data());
    EXPECT_EQ(p1, 500);
    EXPECT_EQ(p2, 7);
}

TEST(PeakFrames, SameAsCheckPeakOnPseudoRandomBlocks)
{
    uint32_t state = 12345;
    for (int n : {1, 2, 7, 8, 9, 15, 16, 17, 100, 4095, 4096, 4097}) {
        for (int round = 0; round < 4; ++round) {
            std::vector<int> left(n), right(n);
            for (int k = 0; k < n; ++k) {
                state = state * 1664525u + 1013904223u;
                // Some blocks quiet, some loud, some one-sided.
                int range = round == 0 ? 64 : 65536;
                left[k] = (int)(state >> 8) % range - (round == 2 ? 0 : range / 2);
                state = state * 1664525u + 1013904223u;
                right[k] = (int)(state >> 8) % range - (round == 3 ? range / 2 : range / 4);
                if (left[k] > 32767) left[k] = 32767;
                if (right[k] > 32767) right[k] = 32767;
                if (left[k] < -32768) left[k] = -32768;
                if (right[k] < -32768) right[k] = -32768;
            }
            expectSame(left, right, 0, 0);
            expectSame(left, right, 20000, 100);
        }
    }
}
