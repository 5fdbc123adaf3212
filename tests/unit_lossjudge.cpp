// The judgement of lost frames, held against timelines of a simulated
// device: a card that over-runs when the program stalls, a server that
// keeps the frames across a stop and catches up, and PipeWire's ALSA
// plugin as it behaves on a real server (it drops frames without saying
// so, whether only the reading stalls or the whole program is stopped);
// with the card's crystal off the clock by a few hundred parts per
// million for hours. What the judge counts must be what the device really
// lost, within half a period (PipeWire's, whose delay says where it
// stands, within a few frames), and nothing where nothing was; a gap the
// device did not say must lie where the device lost the frames, within
// one of the server's blocks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cmath>
#include <vector>

#include "audio/lossjudge.h"

namespace {

const double kRate = 44100;
const long kBuffer = 32768;
const long kPeriod = 4096;
const long kQuantum = 2048;   // the server's block
const long long kSecond = 1000000000LL;

enum Kind {
    kCard,       // stops at a full buffer: an over-run the reader is told of
    kBatchCard,  // the same, its position moving a period at a time
    kServer,     // keeps every frame while the reader is away, then sends them
    kPipeWire,   // its thread copies the server's blocks into its buffer; a
                 // full buffer keeps what it holds and the blocks that come
                 // are dropped unsaid; a stopped program stops the thread
                 // too, and on resuming it gets the server's newest block
                 // only; its delay counts the frames since the last block
};

struct Stall {
    double at, seconds;    // the reader does nothing from at for seconds
    bool stopped = false;  // the whole program is stopped, the plugin's thread too
};

struct Timeline {
    const char *name;
    Kind kind;
    double ppm;            // the device's rate off the rate asked for
    double hours;
    std::vector<Stall> stalls;
    int late;              // kPipeWire: after a stop the reader looks before the plugin's thread runs
};

// The device: its frames arrive with its own clock from t = 0, and the
// source's frames that never reach the reader are what it lost.
struct Device {
    Kind kind;
    double rate;
    long long runStartNs = 0;
    long long arrivedAtRunStart = 0;   // source frames that came before the run
    long long taken = 0;               // frames of the run read or dropped
    bool overrun = false;
    // kPipeWire.
    long long copied = 0;              // the server's blocks handled
    long long buffered = 0, put = 0;   // frames in its buffer, and put there
    long long lost = 0, lostAt = -1;   // frames dropped, and the frames put before the first
    bool resumed = false, lookFirst = false;

    long long arrived(long long nowNs) const { return (long long)std::floor(nowNs * rate / 1e9); }
    void drop(long long frames)
    {
        if (lostAt < 0) lostAt = put;
        lost += frames;
    }
    // The plugin's thread copies the blocks that came; after a stop all
    // but the newest are gone.
    void copy(long long nowNs)
    {
        long long blocks = arrived(nowNs) / kQuantum;
        if (resumed && blocks - copied > 1) {
            drop((blocks - 1 - copied) * kQuantum);
            copied = blocks - 1;
        }
        resumed = false;
        for (; copied < blocks; ++copied) {
            if (buffered + kQuantum > kBuffer) {
                drop(kQuantum);
            } else {
                buffered += kQuantum;
                put += kQuantum;
            }
        }
    }
    // Frames it holds now, or -1 after an over-run; *delay its delay.
    long long ready(long long nowNs, long long *delay)
    {
        if (kind == kPipeWire) {
            if (!lookFirst) copy(nowNs);
            // The time since its thread last ran, at most a buffer.
            *delay = buffered + (lookFirst ? kBuffer : arrived(nowNs) % kQuantum);
            lookFirst = false;
            return buffered;
        }
        long long held = arrived(nowNs) - arrivedAtRunStart - taken;
        if (kind != kServer && held > kBuffer) overrun = true;
        if (kind == kBatchCard) held -= (held + taken) % kPeriod;
        if (kind == kServer && held > kBuffer) held = kBuffer;   // the rest waits at the server
        *delay = held;
        return overrun ? -1 : held;
    }
    void read(long long frames) { kind == kPipeWire ? buffered -= frames : taken += frames; }
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
    long long gapAt = -1;    // where the judge put the first gap held
    long long lostAt = -1;   // where the device lost frames first (kPipeWire)
};

// Runs the timeline: the reader looks once a period, reads what is there
// (at once again while a period waits), and feeds the judge as the
// capture thread does.
Tally run(const Timeline &t)
{
    Device dev{t.kind, kRate * (1 + t.ppm * 1e-6)};
    LossJudge j;
    judgeBegin(&j, kRate, kBuffer, kPeriod);
    judgeStarted(&j, 0);
    Tally tally;
    long long endNs = (long long)(t.hours * 3600 * kSecond);
    long long periodNs = (long long)(kPeriod * 1e9 / kRate);
    size_t nextStall = 0;
    auto decided = [&](GapDecision d) {
        if (d != kGapStands) return;
        tally.counted += j.gapLost;
        if (tally.gapAt < 0) tally.gapAt = j.gapAt;
    };
    for (long long now = 0; now < endNs;) {
        if (nextStall < t.stalls.size() && now >= t.stalls[nextStall].at * kSecond) {
            const Stall &s = t.stalls[nextStall++];
            if (s.stopped && t.kind == kPipeWire) {
                dev.copy(now);
                dev.resumed = true;
                dev.lookFirst = t.late;
            }
            now += (long long)(s.seconds * kSecond);
            continue;
        }
        long long delay;
        long long ready = dev.ready(now, &delay);
        if (ready < 0) {
            dev.restart(now);
            tally.counted += judgeRestarted(&j, now, dev.ready(now, &delay));
            continue;
        }
        if (judgeLooked(&j, now, ready, delay) > 0) judgeHoldGap(&j, j.dropSeen, now);
        long long n = ready < kPeriod ? ready : kPeriod;
        dev.read(n);
        tally.read += n;
        judgeRead(&j, n);
        decided(judgeHeldGap(&j, now, 0));
        now += ready - n >= kPeriod ? 100000 : periodNs;
    }
    decided(judgeHeldGap(&j, endNs, 1));
    long long heldAtEnd = dev.arrived(endNs) - dev.arrivedAtRunStart - dev.taken;
    tally.lost = dev.arrived(endNs) - tally.read - heldAtEnd;
    if (t.kind == kServer) tally.lost = 0;   // what it kept is still to come
    if (t.kind == kPipeWire) {
        tally.lost = dev.lost;
        tally.lostAt = dev.lostAt;
    }
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
        {"a card moving a period at a time, an hour at -300 ppm", kBatchCard, -300, 1, {}, 0},
        {"the same stalled for less than its buffer lasts", kBatchCard, 0, 0.1, {{60, 0.5}}, 0},
        {"server catches up after a 2-s stop", kServer, 0, 0.1, {{60, 2}}, 0},
        {"server catches up at +300 ppm after hours", kServer, 300, 5.1, {{5 * 3600, 2}}, 0},
        {"PipeWire, steady for an hour", kPipeWire, 0, 1, {}, 0},
        {"PipeWire, the reading stalled 2 s", kPipeWire, 0, 0.1, {{60, 2}}, 0},
        {"PipeWire, the reading stalled after ten hours at -300 ppm", kPipeWire, -300, 10.1,
         {{10 * 3600, 2}}, 0},
        {"PipeWire, stalled again before its buffer is read", kPipeWire, 0, 0.1, {{60, 2}, {60.2, 1}},
         false},
        {"PipeWire, the program stopped 2 s", kPipeWire, 0, 0.1, {{60, 2, true}}, 0},
        {"PipeWire, stopped, the reader looks before the plugin's thread", kPipeWire, 0, 0.1,
         {{60, 2, true}}, 1},
        {"PipeWire, stopped after ten hours at +300 ppm", kPipeWire, 300, 10.1,
         {{10 * 3600, 2, true}}, 0},
        {"PipeWire, stopped for less than its buffer lasts", kPipeWire, 0, 0.1, {{60, 0.5, true}}, 0},
        {"PipeWire, stopped 0.3 s, the reader looks first", kPipeWire, 0, 0.1, {{60, 0.3, true}}, 1},
    };
    for (const Timeline &t : rows) {
        Tally tally = run(t);
        if (tally.lost == 0) {
            EXPECT_EQ(tally.counted, 0) << t.name;
        } else {
            // A plugin's delay gives its position to the frame.
            EXPECT_NEAR((double)tally.counted, (double)tally.lost, t.kind == kPipeWire ? 64 : kPeriod / 2)
                << t.name;
        }
        if (t.kind == kPipeWire && tally.lost > 0) {
            EXPECT_LE(std::llabs(tally.gapAt - tally.lostAt), kQuantum) << "where: " << t.name;
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
            judgeLooked(&j, now, ready, ready);
            judgeRead(&j, ready);
            read += ready;
        }
        double expected = ppm > 1e6 * kRateTolerance ? kRate * (1 + kRateTolerance) : rate;
        EXPECT_NEAR(j.rateHz, expected, kRate * 5e-6) << ppm;
    }
}

}  // namespace
