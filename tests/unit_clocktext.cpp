// formatHundredths must give exactly the bytes of printf's "%.2f": the
// running clock lines are compared byte for byte by the end-to-end tests
// and by anyone reading the console.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "audio/running_line.h"

namespace {

std::string viaPrintf(double v)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

std::string viaFormatter(double v)
{
    char buf[kHundredthsBytes + 8];
    memset(buf, 'Z', sizeof buf);
    int n = formatHundredths(v, buf);
    EXPECT_GT(n, 0) << v;
    EXPECT_LT(n, kHundredthsBytes) << v;
    if (n <= 0 || n >= kHundredthsBytes) return "";
    EXPECT_EQ(buf[n], '\0');
    // Nothing written past the terminator.
    for (size_t i = (size_t)n + 1; i < sizeof buf; ++i) EXPECT_EQ(buf[i], 'Z');
    return std::string(buf, (size_t)n);
}

// Counts mismatches so that one bad rule does not print a million lines.
int mismatches(double v, int *shown)
{
    std::string want = viaPrintf(v);
    std::string got = viaFormatter(v);
    if (want == got) return 0;
    if (++*shown <= 10) ADD_FAILURE() << "value " << v << ": printf " << want << ", ours " << got;
    return 1;
}

}  // namespace

TEST(ClockText, FixedValues)
{
    EXPECT_EQ(viaFormatter(0.0), "0.00");
    EXPECT_EQ(viaFormatter(1.0), "1.00");
    EXPECT_EQ(viaFormatter(10.0), "10.00");
    EXPECT_EQ(viaFormatter(0.994), "0.99");
    EXPECT_EQ(viaFormatter(0.996), "1.00");
    EXPECT_EQ(viaFormatter(599.99), "599.99");
    EXPECT_EQ(viaFormatter(999999999.99), "999999999.99");
    // Exact ties go to the even digit, as printf's do.
    EXPECT_EQ(viaFormatter(0.125), "0.12");
    EXPECT_EQ(viaFormatter(0.375), "0.38");
    EXPECT_EQ(viaFormatter(2.625), "2.62");
    // 0.005 and 1.005 are not exact: their binary values lie above and
    // below the tie.
    EXPECT_EQ(viaFormatter(0.005), viaPrintf(0.005));
    EXPECT_EQ(viaFormatter(1.005), viaPrintf(1.005));
    EXPECT_EQ(viaFormatter(std::numeric_limits<double>::denorm_min()), "0.00");
}

TEST(ClockText, LeavesOtherValuesToPrintf)
{
    char buf[kHundredthsBytes];
    memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(formatHundredths(-0.0, buf), 0);
    EXPECT_EQ(formatHundredths(-0.001, buf), 0);
    EXPECT_EQ(formatHundredths(-5.0, buf), 0);
    EXPECT_EQ(formatHundredths(1e9, buf), 0);
    EXPECT_EQ(formatHundredths(std::numeric_limits<double>::infinity(), buf), 0);
    EXPECT_EQ(formatHundredths(std::numeric_limits<double>::quiet_NaN(), buf), 0);
    for (char c : buf) EXPECT_EQ(c, 'Z');
}

// The playback clock: block positions over the common rates, and every
// frame position of the first seconds.
TEST(ClockText, PlaybackClockValues)
{
    const unsigned rates[] = {1, 7, 8000, 11025, 22050, 32000, 44100, 48000, 88200, 96000, 192000};
    int shown = 0, bad = 0;
    for (unsigned rate : rates) {
        for (long long k = 0; k < 60000; ++k) {
            bad += mismatches((double)(k * 4096) / (double)rate, &shown);
            bad += mismatches((double)k / (double)rate, &shown);
        }
        for (long long p = 2147483647LL; p > 2147483647LL - 100000; --p)
            if ((double)p / (double)rate < 1e9) bad += mismatches((double)p / (double)rate, &shown);
    }
    EXPECT_EQ(bad, 0);
}

// The capture display: a float quotient, shown through double.
TEST(ClockText, RemainingValues)
{
    const float rates[] = {8000.0f, 22050.0f, 44100.0f, 48000.0f, 96000.0f};
    int shown = 0, bad = 0;
    for (float rate : rates) {
        long planned = (long)(rate * 3600.0f);
        for (long recorded = 0; recorded < planned; recorded += 941)
            bad += mismatches((double)((float)(planned - recorded) / rate), &shown);
    }
    EXPECT_EQ(bad, 0);
}

// Ties and near-ties: odd multiples of 1/8 and values a few units in the
// last place either side of every half hundredth up to 1000.
TEST(ClockText, TiesAndNearTies)
{
    int shown = 0, bad = 0;
    for (long m = 1; m < 400000; m += 2) bad += mismatches((double)m / 8.0, &shown);
    for (long k = 0; k < 100000; ++k) {
        double tie = ((double)k + 0.5) / 100.0;
        double v = tie;
        for (int step = 0; step < 3; ++step) v = nextafter(v, 0.0);
        for (int step = 0; step < 7; ++step) {
            bad += mismatches(v, &shown);
            v = nextafter(v, 1e300);
        }
    }
    EXPECT_EQ(bad, 0);
}

// Random bit patterns over the whole accepted range.
TEST(ClockText, RandomValues)
{
    uint64_t state = 0x9e3779b97f4a7c15ULL;
    int shown = 0, bad = 0, tried = 0;
    while (tried < 300000) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        uint64_t bits = state >> 1;   // positive doubles only
        double v;
        memcpy(&v, &bits, sizeof v);
        if (!(v < 1e9)) continue;
        ++tried;
        bad += mismatches(v, &shown);
        // And a value of ordinary size from the same bits.
        double w = (double)(state >> 11) / 9007199254740992.0 * 1e4;
        bad += mismatches(w, &shown);
    }
    EXPECT_EQ(bad, 0);
}

// The running line is flushed for the first period, then only once a
// sixtieth of a second has passed since the last flush, so a sound card
// paced in real time (a period of 4096 frames lasts 21 ms at 192000 Hz,
// 85 ms at 48000 Hz) shows every line.
TEST(RunningFlush, PacedByMonotonicTime)
{
    const long long ms = 1000000;
    EXPECT_TRUE(runningFlushDue(0, -1));            // never flushed yet
    EXPECT_TRUE(runningFlushDue(5 * ms, -1));
    EXPECT_FALSE(runningFlushDue(1000 * ms, 1000 * ms));
    EXPECT_FALSE(runningFlushDue(1000 * ms + kRunningFlushNs - 1, 1000 * ms));
    EXPECT_TRUE(runningFlushDue(1000 * ms + kRunningFlushNs, 1000 * ms));
    EXPECT_TRUE(runningFlushDue(1000 * ms + 85 * ms, 1000 * ms));   // 4096 frames at 48 kHz
    EXPECT_TRUE(runningFlushDue(999 * ms, 1000 * ms));   // a clock that went back
    EXPECT_LE(kRunningFlushNs, 4096LL * 1000000000LL / 192000);   // every period at 192 kHz
}
