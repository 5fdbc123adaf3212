// The judgement of lost frames, held against timelines of a simulated
// device: a card that over-runs when the program stalls, a plugin that
// drops the oldest frames without saying so, a server that keeps them
// across a stop and catches up; with the card's crystal off the clock by
// a few hundred parts per million for hours. What the judge counts must be
// what the device really lost, within half a period, and nothing where
// nothing was.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "audio/lossjudge.h"

namespace {

const double kRate = 44100;
const long kBuffer = 32768;
const long kPeriod = 4096;
const long long kSecond = 1000000000LL;

enum Kind {
    kCard,      // stops at a full buffer: an over-run the reader is told of
    kDropper,   // past a full buffer keeps only its newest keep frames, the rest
                // dropped unsaid (as PipeWire's plugin does across a stop)
    kServer,    // keeps every frame while the reader is away, then sends them
};

struct Stall {
    double at, seconds;   // the reader does nothing from at for seconds
};

struct Timeline {
    const char *name;
    Kind kind;
    double ppm;            // the device's rate off the rate asked for
    double hours;
    std::vector<Stall> stalls;
    long keep;             // kDropper: the frames it keeps
};

// The device: its frames arrive with its own clock from t = 0, and the
// source's frames that never reach the reader are what it lost.
struct Device {
    Kind kind;
    double rate;
    long keep;
    long long runStartNs = 0;
    long long arrivedAtRunStart = 0;   // source frames that came before the run
    long long taken = 0;               // frames of the run read or dropped
    bool overrun = false;

    long long arrived(long long nowNs) const { return (long long)std::floor(nowNs * rate / 1e9); }
    // Frames it holds now, or -1 after an over-run.
    long long ready(long long nowNs)
    {
        long long held = arrived(nowNs) - arrivedAtRunStart - taken;
        if (kind == kCard && held > kBuffer) overrun = true;
        if (kind == kDropper && held > kBuffer) {
            taken += held - keep;
            held = keep;
        }
        if (kind == kServer && held > kBuffer) held = kBuffer;   // the rest waits at the server
        return overrun ? -1 : held;
    }
    void restart(long long nowNs)
    {
        overrun = false;
        runStartNs = nowNs;
        arrivedAtRunStart = arrived(nowNs);
        taken = 0;
    }
};

struct Tally {
    long long counted = 0;   // frames the judge counted lost
    long long read = 0;
    long long lost = 0;      // what the device really lost
};

// Runs the timeline: the reader looks once a period, reads what is there
// (at once again while a period waits), and feeds the judge as the
// capture thread does.
Tally run(const Timeline &t)
{
    Device dev{t.kind, kRate * (1 + t.ppm * 1e-6), t.keep};
    LossJudge j;
    judgeBegin(&j, kRate, kBuffer, kPeriod);
    judgeStarted(&j, 0);
    Tally tally;
    long long endNs = (long long)(t.hours * 3600 * kSecond);
    long long periodNs = (long long)(kPeriod * 1e9 / kRate);
    size_t nextStall = 0;
    for (long long now = 0; now < endNs;) {
        if (nextStall < t.stalls.size() && now >= t.stalls[nextStall].at * kSecond) {
            now += (long long)(t.stalls[nextStall++].seconds * kSecond);
            continue;
        }
        long long ready = dev.ready(now);
        if (ready < 0) {
            dev.restart(now);
            tally.counted += judgeRestarted(&j, now, dev.ready(now));
            continue;
        }
        if (judgeLooked(&j, now, ready) > 0) judgeHoldGap(&j, j.dropSeen, now);
        long long n = ready < kPeriod ? ready : kPeriod;
        dev.taken += n;
        tally.read += n;
        judgeRead(&j, n);
        if (judgeHeldGap(&j, now, 0) == kGapStands) tally.counted += j.gapLost;
        now += ready - n >= kPeriod ? 100000 : periodNs;
    }
    if (judgeHeldGap(&j, endNs, 1) == kGapStands) tally.counted += j.gapLost;
    long long heldAtEnd = dev.ready(endNs);
    tally.lost = dev.arrived(endNs) - tally.read - (heldAtEnd > 0 ? heldAtEnd : 0);
    if (t.kind == kServer) tally.lost = 0;   // what it kept is still to come
    return tally;
}

TEST(LossJudge, CountsWhatTheDeviceLostAndNothingElse)
{
    const Timeline rows[] = {
        {"steady card, an hour", kCard, 0, 1, {}, 0},
        {"card +300 ppm, ten hours", kCard, 300, 10, {}, 0},
        {"card -300 ppm, ten hours", kCard, -300, 10, {}, 0},
        {"stall of 2 s", kCard, 0, 0.1, {{60, 2}}, 0},
        {"stall of 2 s after nine hours at +300 ppm", kCard, 300, 9.1, {{9 * 3600, 2}}, 0},
        {"stall of 2 s after nine hours at -300 ppm", kCard, -300, 9.1, {{9 * 3600, 2}}, 0},
        {"stall shorter than the buffer", kCard, 0, 0.1, {{60, 0.5}}, 0},
        {"two stalls close together", kCard, 100, 0.1, {{60, 2}, {61, 3}}, 0},
        {"silent drop across a 2-s stop", kDropper, 0, 0.1, {{60, 2}}, 2184},
        {"silent drop after ten hours at -300 ppm", kDropper, -300, 10.1, {{10 * 3600, 2}}, 2184},
        {"silent drop, then an over-run's worth", kDropper, 0, 0.1, {{60, 2}, {60.2, 1}}, 2184},
        {"server catches up after a 2-s stop", kServer, 0, 0.1, {{60, 2}}, 0},
        {"server catches up at +300 ppm after hours", kServer, 300, 5.1, {{5 * 3600, 2}}, 0},
    };
    for (const Timeline &t : rows) {
        Tally tally = run(t);
        if (tally.lost == 0) {
            EXPECT_EQ(tally.counted, 0) << t.name;
        } else {
            EXPECT_NEAR((double)tally.counted, (double)tally.lost, kPeriod / 2) << t.name;
        }
    }
}

// The rate measured over hours follows the card's crystal, within what a
// crystal can be off; a faster device is taken at the limit.
TEST(LossJudge, MeasuresTheDevicesRateWithinACrystalsReach)
{
    const double ppms[] = {-300, 0, 300, 5000};
    for (double ppm : ppms) {
        Timeline t = {"rate", kCard, ppm, 2, {}, 0};
        LossJudge j;
        judgeBegin(&j, kRate, kBuffer, kPeriod);
        judgeStarted(&j, 0);
        double rate = kRate * (1 + ppm * 1e-6);
        long long read = 0;
        for (long long now = 0; now < (long long)(t.hours * 3600 * kSecond); now += 92879818) {
            long long ready = (long long)(now * rate / 1e9) - read;
            judgeLooked(&j, now, ready);
            judgeRead(&j, ready);
            read += ready;
        }
        double expected = ppm > 1e6 * kRateTolerance ? kRate * (1 + kRateTolerance) : rate;
        EXPECT_NEAR(j.rateHz, expected, kRate * 5e-6) << ppm;
    }
}

}  // namespace
