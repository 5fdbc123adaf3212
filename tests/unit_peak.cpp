// The peak meter: running peaks of 16-bit and packed 24-bit blocks, and
// the level lines of the report.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio/audio.h"
#include "harness.h"

namespace {

// Samples of one channel's bytes at either end of the scale.
long clippedIn(const std::string &bytes, unsigned bps)
{
    long n = 0;
    for (size_t at = 0; at + bps <= bytes.size(); at += bps) {
        std::string top = bps == 2 ? std::string("\xff\x7f", 2) : std::string("\xff\xff\x7f", 3);
        std::string bottom = bps == 2 ? std::string("\x00\x80", 2) : std::string("\x00\x00\x80", 3);
        n += bytes.compare(at, bps, top) == 0 || bytes.compare(at, bps, bottom) == 0;
    }
    return n;
}

long peakOf(const std::string &bytes, unsigned bytesPerSample, long start = 0)
{
    long peak = start;
    CheckPeak((int)(bytes.size() / bytesPerSample), &peak, bytes.data(), bytesPerSample);
    return peak;
}

std::string shown(int channel, long peak, long bytesPerSample)
{
    testing::internal::CaptureStdout();
    ShowPeaks(channel, peak, bytesPerSample);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(CheckPeak, SixteenBitExtremes)
{
    EXPECT_EQ(peakOf(std::string("\x00\x80", 2), 2), 32768);
    EXPECT_EQ(peakOf(std::string("\xff\x7f", 2), 2), 32767);
    EXPECT_EQ(peakOf(std::string("\xff\xff", 2), 2), 1);
    EXPECT_EQ(peakOf(std::string("\x00\x01", 2), 2), 256);
}

TEST(CheckPeak, TwentyFourBitExtremes)
{
    EXPECT_EQ(peakOf(std::string("\x00\x00\x80", 3), 3), 8388608);
    EXPECT_EQ(peakOf(std::string("\xff\xff\x7f", 3), 3), 8388607);
    EXPECT_EQ(peakOf(std::string("\x00\x01\x00", 3), 3), 256);
    EXPECT_EQ(peakOf(std::string("\xff\xff\xff", 3), 3), 1);
    // The middle byte counts unsigned: 0x80 there is +32768, not negative.
    EXPECT_EQ(peakOf(std::string("\x00\x80\x00", 3), 3), 32768);
}

TEST(CheckPeak, LargestOfTheBlockWhereverItIs)
{
    // -500 in the middle of small values, 16-bit.
    std::string block("\x05\x00\x0c\xfe\xfb\xff\x2c\x01", 8);   // 5, -500, -5, 300
    EXPECT_EQ(peakOf(block, 2), 500);
    // Last sample of a 24-bit block.
    std::string block24("\x01\x00\x00\x00\x00\x00\x00\x00\xff", 9);   // 1, 0, -65536
    EXPECT_EQ(peakOf(block24, 3), 65536);
}

// The capture engine measures the device's interleaved frames: each
// channel's peak must be what CheckPeak finds on that channel alone, for
// every length (the wide ways measure fours and pairs of frames and leave
// the rest to the plain one), wherever the extreme lies, with buffers of
// exactly the frames' size (no read past them). measureFrames finds the
// same peaks, and counts the samples at either end of the scale.
TEST(CheckFramePeaks, EachChannelAsCheckPeakSeesIt)
{
    unsigned seed = 7;
    for (unsigned bps : {2u, 3u}) {
        for (long frames : {0L, 1L, 2L, 3L, 4L, 5L, 7L, 8L, 9L, 4096L}) {
            for (int extreme = 0; extreme < 3; ++extreme) {
                SCOPED_TRACE(std::to_string(bps) + " bytes, " + std::to_string(frames) + " frames, case " +
                             std::to_string(extreme));
                std::string bytes = patternBytes(frames * 2 * (long)bps, seed++);
                // The most negative sample, at the last frame (0), the first
                // (1), or nowhere (2); on the right channel when odd.
                if (frames > 0 && extreme < 2) {
                    size_t at = (extreme == 0 ? (size_t)frames - 1 : 0) * 2 * bps + (seed & 1) * bps;
                    bytes.replace(at, bps, bps == 2 ? std::string("\x00\x80", 2) : std::string("\x00\x00\x80", 3));
                    // And the top of the scale on the other channel, in the middle.
                    at = (size_t)frames / 2 * 2 * bps + (~seed & 1) * bps;
                    bytes.replace(at, bps, bps == 2 ? std::string("\xff\x7f", 2) : std::string("\xff\xff\x7f", 3));
                }
                std::string left, right;
                for (long f = 0; f < frames; ++f) {
                    left += bytes.substr((size_t)f * 2 * bps, bps);
                    right += bytes.substr((size_t)f * 2 * bps + bps, bps);
                }
                std::vector<char> exact(bytes.begin(), bytes.end());
                long l = 3, r = 3;
                checkFramePeaks(frames, exact.data(), bps, &l, &r);
                EXPECT_EQ(l, peakOf(left, bps, 3));
                EXPECT_EQ(r, peakOf(right, bps, 3));
                long mono = 0;
                checkFramePeaks(frames, exact.data(), bps, &mono, nullptr);
                EXPECT_EQ(mono, peakOf(left, bps));
                long peaks[2] = {3, 3}, clips[2] = {5, 0};
                measureFrames(frames, exact.data(), bps, peaks, clips);
                EXPECT_EQ(peaks[0], l);
                EXPECT_EQ(peaks[1], r);
                EXPECT_EQ(clips[0], 5 + clippedIn(left, bps));
                EXPECT_EQ(clips[1], clippedIn(right, bps));
                if (extreme < 2 && frames > 0) {
                    EXPECT_GE(clips[0] - 5 + clips[1], 2);   // the two put there, at least
                }
            }
        }
    }
}

TEST(CheckPeak, NeverLowersAndIgnoresEmptyCounts)
{
    std::string silence(4096, '\0');
    EXPECT_EQ(peakOf(silence, 2), 0);
    EXPECT_EQ(peakOf(silence, 3), 0);
    EXPECT_EQ(peakOf(std::string("\x2c\x01", 2), 2, 500), 500);   // 300 after 500
    long peak = 77;
    CheckPeak(0, &peak, "\x00\x80", 2);
    EXPECT_EQ(peak, 77);
    CheckPeak(-3, &peak, "\x00\x80", 2);
    EXPECT_EQ(peak, 77);
    // count bounds the scan: the full-scale sample after it is not read.
    CheckPeak(1, &peak, "\x01\x00\x00\x80", 2);
    EXPECT_EQ(peak, 77);
}

TEST(ShowPeaks, FloorTexts)
{
    EXPECT_EQ(shown(1, 0, 2), "Channel 1 peak = -96 dB\n");
    EXPECT_EQ(shown(2, 0, 3), "Channel 2 peak = -144 dB\n");
}

TEST(ShowPeaks, SixteenBitLevels)
{
    EXPECT_EQ(shown(1, 1, 2), "Channel 1 peak = -90.31 dB\n");
    EXPECT_EQ(shown(1, 100, 2), "Channel 1 peak = -50.31 dB\n");
    EXPECT_EQ(shown(2, 3277, 2), "Channel 2 peak = -20.00 dB\n");
    EXPECT_EQ(shown(1, 16384, 2), "Channel 1 peak = -6.02 dB\n");
    EXPECT_EQ(shown(1, 32767, 2), "Channel 1 peak = -0.00 dB\n");
    EXPECT_EQ(shown(2, 32768, 2), "Channel 2 peak = -0.00 dB\n");
}

TEST(ShowPeaks, TwentyFourBitLevels)
{
    EXPECT_EQ(shown(1, 1, 3), "Channel 1 peak = -138.47 dB\n");
    EXPECT_EQ(shown(1, 4194304, 3), "Channel 1 peak = -6.02 dB\n");
    EXPECT_EQ(shown(2, 8388608, 3), "Channel 2 peak = -0.00 dB\n");
}

}  // namespace
