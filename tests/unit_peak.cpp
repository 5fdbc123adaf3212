// The peak meter: running peaks of 16-bit and packed 24-bit blocks, and
// the level lines of the report.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio/audio.h"
#include "audio/meter.h"
#include "harness.h"

namespace {

// Samples of one channel's bytes at either end of the scale.
long clippedIn(const std::string &bytes, unsigned bps)
{
    std::string top = std::string(bps - 1, '\xff') + '\x7f', bottom = std::string(bps - 1, '\0') + '\x80';
    long n = 0;
    for (size_t at = 0; at + bps <= bytes.size(); at += bps)
        n += bytes.compare(at, bps, top) == 0 || bytes.compare(at, bps, bottom) == 0;
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
                EXPECT_EQ(std::vector<long>(peaks, peaks + 2), std::vector<long>({l, r}));
                EXPECT_EQ(clips[0], 5 + clippedIn(left, bps));
                EXPECT_EQ(clips[1], clippedIn(right, bps));
                EXPECT_GE(clips[0] - 5 + clips[1], extreme < 2 && frames > 0 ? 2 : 0);   // the two put there
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

std::string times(const std::string &s, int n)
{
    std::string out;
    while (n-- > 0) out += s;
    return out;
}

// The live meter over a timeline of blocks and redraws (ms): the level is
// the peak of the blocks since the last redraw, or stays when none came;
// the hold keeps the highest peak for 2 s; clips add up.
TEST(LevelMeter, LevelsHoldsAndClipsFollowTheBlocks)
{
    struct Step {
        long long ms;
        bool redraw;
        long a, b, clips, holdA, holdB;   // a block's peaks and clips; after a redraw the levels, clips, holds
    } steps[] = {{0, false, 16384, 100, 0, 0, 0},         {50, false, 8192, 100, 0, 0, 0},
                 {100, true, 16384, 100, 0, 16384, 100},  {200, true, 16384, 100, 0, 16384, 100},
                 {250, false, 32768, 0, 3, 0, 0},         {300, true, 32768, 0, 3, 32768, 100},
                 {2100, false, 1000, 1000, 0, 0, 0},      {2200, true, 1000, 1000, 3, 32768, 1000},
                 {2300, true, 1000, 1000, 3, 1000, 1000}};
    LevelMeter m;
    startMeter(&m, 2, 2, 0, 0);
    EXPECT_TRUE(meterDue(&m, 0));
    for (const Step &s : steps) {
        SCOPED_TRACE(s.ms);
        long long ns = s.ms * 1000000;
        long peaks[2] = {s.a, s.b}, clips[2] = {s.clips, 0};
        if (!s.redraw) {
            feedMeter(&m, peaks, clips, ns);
            continue;
        }
        takeMeterLevels(&m, ns);
        EXPECT_FALSE(meterDue(&m, ns + kMeterIntervalNs - 1));
        EXPECT_TRUE(meterDue(&m, ns + kMeterIntervalNs));
        EXPECT_EQ(std::vector<long>({m.level[0], m.level[1], (long)m.clips[0], m.hold[0], m.hold[1]}),
                  std::vector<long>({s.a, s.b, s.clips, s.holdA, s.holdB}));
    }
}

// The meter's text: a bar on the -60..0 dBFS scale with the marks (':'),
// the hold ('|'), eighths of a cell in block characters, the level, the
// clip count, padded to one column short of the width. (Redrawn on a
// terminal, on one line or two: PacedE2E's m and take.)
TEST(LevelMeter, DrawnToTheWidth)
{
    LevelMeter m;
    startMeter(&m, 1, 3, 80, 1);
    m.level[0] = 838912;   // -20 dB: 33 cells and three eighths
    m.hold[0] = 4194304;
    m.clips[0] = 2;
    char text[kMeterTextBytes];
    EXPECT_EQ(renderMeter(&m, "", 80, 1, text, sizeof text), 1);
    EXPECT_EQ(std::string(text), "1[" + times("\xe2\x96\x88", 33) + "\xe2\x96\x8d :" + times(" ", 8) +
                                     "|:    ] -20.0 clip 2" + times(" ", 13));
}

// The picture of a take: each cell the peak of its slice in eight steps,
// '!' where a block clipped, 'x' where frames were lost (over a clip); a
// take that ended early draws as far as it got, one that ran past its
// planned length ends in the last cell.
TEST(TakePicture, SlicesClipsAndGaps)
{
    TakePicture p;
    startTakePicture(&p, 1, 2, 600);   // ten frames a cell
    long loud[2] = {16384, 0}, clipping[2] = {32767, 0}, quiet[2] = {1, 0}, none[2] = {0, 0}, clip[2] = {1, 0};
    addPictureFrames(&p, 95, loud, none);      // cells 0-9
    addPictureFrames(&p, 10, clipping, clip);  // cells 9-10
    addPictureGap(&p, 20);                     // cells 10-12
    addPictureFrames(&p, 175, quiet, none);    // cells 12-29: the take ends there
    char text[kMeterTextBytes];
    renderPictureLine(&p, 0, 60, 0, text, sizeof text);
    EXPECT_EQ(std::string(text), "Channel 1 |" + times("@", 9) + "!xxx" + times(".", 17) + "|");
    EXPECT_TRUE(pictureHasMarks(&p));

    startTakePicture(&p, 1, 2, 60);
    long minus20[2] = {3277, 0}, top[2] = {32768, 0};
    addPictureFrames(&p, 30, minus20, none);
    addPictureFrames(&p, 40, top, none);   // 10 frames past the plan
    renderPictureLine(&p, 0, 60, 1, text, sizeof text);
    EXPECT_EQ(std::string(text), "Channel 1 |" + times("\xe2\x96\x86", 30) + times("\xe2\x96\x88", 30) + "|");
    EXPECT_FALSE(pictureHasMarks(&p));
}

}  // namespace
