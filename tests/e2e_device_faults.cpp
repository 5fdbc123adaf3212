// The devices the virtual card is not: reads and writes that fail, a
// device that offers interleaved frames only (as a sound server's plugin
// does), devices that grant other channels or another rate than asked.
// Failing reads and writes come from tests/faultshim.cpp, preloaded into
// tunevat; the virtual card still delivers the sound, so the bytes kept
// can be compared exactly with what the card was given.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "e2e_record_util.h"
#include "harness.h"

using namespace rec;

namespace {

struct DeviceFaults : RecordE2E {
    // The environment that preloads the shim with vars set.
    std::vector<std::string> shim(const std::vector<std::string> &vars)
    {
        std::vector<std::string> env = {std::string("LD_PRELOAD=") + TUNEVAT_FAULTSHIM};
        // A sanitized build wants its runtime first; the shim comes before
        // it here, which is harmless.
        const char *asan = getenv("ASAN_OPTIONS");
        env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                      ":verify_asan_link_order=0");
        env.push_back("TV_FAULT_PCM_COUNT=" + path("calls.txt"));
        env.insert(env.end(), vars.begin(), vars.end());
        return env;
    }

    // The calls the program made: snd_pcm_readn, snd_pcm_readi,
    // snd_pcm_writei.
    std::vector<long> calls()
    {
        std::vector<long> n(3, 0);
        FILE *f = fopen(path("calls.txt").c_str(), "r");
        if (!f) return n;
        if (fscanf(f, "%ld %ld %ld", &n[0], &n[1], &n[2]) != 3) n.assign(3, -1);
        fclose(f);
        return n;
    }

    // The session around one take of one second (take1.wav, saved with
    // "1"): everything before "Recording...", and everything after the
    // take menu.
    std::string around(const std::string &take, bool kept)
    {
        return startText(2, 16, "take1.wav", false) + promptText({}, 0, 0, 1, "take1.wav") +
               take + promptText(kept ? std::vector<std::string>{"take1.wav"}
                                      : std::vector<std::string>{},
                                 0, 0, 1, "take1.wav") +
               "Saving list and parameters\n";
    }
};

std::string remaining(long done)
{
    return fmt("\rRemaining %.2f sec", (float)(kOneSecond - done) / 44100.0f);
}

// A read fault, and what the take shows and keeps: per read, "R" a period
// read, "X" an over-run or a suspend reported ("RX"; the virtual card
// loses no frame by it, so nothing is filled and the next read goes on
// with the card's next frames); then the line that ends the take early, if
// any.
struct ReadCase {
    const char *name;
    const char *fault;     // TV_FAULT_PCM_READ
    const char *periods;   // what becomes of each period, in order
    const char *failure;   // the end of the take's line, "" when it runs out
};

const ReadCase kReadCases[] = {
    {"input/output error at the third read", "3:5", "RR", "Input/output error"},
    {"device gone before the first read", "1:19", "", "No such device"},
    {"one over-run", "3:32:1", "RRXRRRRRRRRR", ""},
    {"one suspend", "3:86:1", "RRXRRRRRRRRR", ""},
    {"nothing ready five times", "3:11:5", "RRRRRRRRRRR", ""},
    {"over-runs that never end", "3:32", "RRXXXXXXXX", "Broken pipe"},
    {"nothing ready ever", "3:11", "RR", "Resource temporarily unavailable"},
};

// Each case: the exact console text, the exact bytes kept (the periods
// read in order from the card, silence for the lost ones), and a bounded
// number of reads (nothing runs at the CPU's speed).
TEST_F(DeviceFaults, FailedReadsAreReportedNeverRecordedAsSound)
{
    for (const ReadCase &c : kReadCases) {
        SCOPED_TRACE(c.name);
        settings(2, 16, "1", "take1.wav");
        unlink(path("tunevat_temp.wav").c_str());
        unlink(path("take1.wav").c_str());
        unlink(path("tlist.txt").c_str());
        RunResult r = runTunevat(dir, "r\n1\nq\n", conf, 60,
                                 shim({std::string("TV_FAULT_PCM_READ=") + c.fault}));
        EXPECT_EQ(r.status, 0);

        std::string take = "Recording...\n", data;
        long fromCard = 0, done = 0;
        bool anyRead = false;
        for (const char *p = c.periods; *p; ++p) {
            if (*p == 'X') {
                take += "RX\n";
                continue;
            }
            data += input(fromCard, kPeriod);
            fromCard += kPeriod;
            anyRead = true;
            take += remaining(done);
            done += kPeriod;
        }
        take += report(anyRead ? kStereoPeaks : "Channel 1 peak = -96 dB\nChannel 2 peak = -96 dB\n") +
                takeMenu();
        EXPECT_EQ(r.out, around(take, !data.empty()));
        // The device's failure, on standard error as ALSA's failures are.
        EXPECT_EQ(r.err, *c.failure ? std::string("\nCannot record from default: ") + c.failure + "\n"
                                    : std::string(""));
        if (data.empty()) {
            EXPECT_FALSE(fileExists(path("take1.wav")));
        } else {
            EXPECT_TRUE(readFile(path("take1.wav")) == wavBytes(44100, 2, 16, data))
                << readFile(path("take1.wav")).size() << " bytes";
        }
        // At most one read per period, a few for the lost ones, and for a
        // device with nothing ready the bounded number of tries; the card
        // gives interleaved frames, so no channel-buffer reads.
        EXPECT_LE(calls()[1], 2 + 300);
        EXPECT_EQ(calls()[0], 0);
    }
}

// A device that says it holds frames while its reads find none tells
// nothing of frames lost: the program stopped for longer than the card's
// buffer lasts (as a loaded machine may stall it) then finds the same full
// count, and that is no gap to fill. The take keeps its two periods, and
// the quiet limit, not counting the stop, ends it.
TEST_F(DeviceFaults, AStopWhileReadsFindNothingIsNoGap)
{
    settings(2, 16, "1", "take1.wav");
    std::vector<std::string> env = shim({"TV_FAULT_PCM_READ=3:11"});
    env.push_back("ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:" + conf);
    LiveRun live = startLive(dir, {TUNEVAT_BIN}, env, 60);
    sendLive(&live, "r\n");
    ASSERT_TRUE(waitForOutput(live, remaining(kPeriod), 20)) << liveOutput(live);
    usleep(200000);
    kill(live.pid, SIGSTOP);
    usleep(1500000);   // twice the virtual card's buffer
    kill(live.pid, SIGCONT);
    sendLive(&live, "1\nq\n");
    RunResult r = finishLive(&live, 30);
    EXPECT_EQ(r.status, 0);
    std::string take = "Recording...\n" + remaining(0) + remaining(kPeriod) + report(kStereoPeaks) +
                       takeMenu();
    EXPECT_EQ(r.out, around(take, true));
    EXPECT_EQ(r.err, "\nCannot record from default: Resource temporarily unavailable\n");
    EXPECT_TRUE(readFile(path("take1.wav")) == wavBytes(44100, 2, 16, input(0, 2 * kPeriod)))
        << readFile(path("take1.wav")).size() << " bytes";
}

// A write fault during a playback of 11 blocks (22 with an out point of
// 2 s, past the 16 blocks of 16-bit stereo that one read of the file
// holds): which blocks the card got, and the line that ends the playback
// early, if any.
struct WriteCase {
    const char *name;
    const char *fault;     // TV_FAULT_PCM_WRITE
    const char *blocks;    // per block: "P" played, "-" dropped
    const char *failure;   // "" when the playback runs to its end
    long maxWrites;
    int outPoint = 1;      // seconds
};

const WriteCase kWriteCases[] = {
    {"input/output error at the third write", "3:5", "PP", "Input/output error", 3},
    {"one under-run drops that block", "3:32:1", "PP-PPPPPPPP", "", 11},
    {"device takes nothing three times, then the block", "3:11:3", "PPPPPPPPPPP", "", 14},
    {"under-runs that never end", "3:32", "PP--------", "Broken pipe", 11},
    {"suspended and never back", "1:86", "--------", "Streams pipe error", 9},
    {"one suspend drops that block", "3:86:1", "PP-PPPPPPPP", "", 11},
    {"under-run at the first write", "1:32:1", "-PPPPPPPPPP", "", 11},
    {"under-run on the first block of the second read", "17:32:1",
     "PPPPPPPPPPPPPPPP-PPPPP", "", 22, 2},
    {"suspend on the last block of the first read", "16:86:1", "PPPPPPPPPPPPPPP-PPPPPP", "", 22,
     2},
    {"two under-runs in a row", "16:32:2", "PPPPPPPPPPPPPPP--PPPPP", "", 22, 2},
};

TEST_F(DeviceFaults, FailedWritesEndThePlaybackWithTheDevicesReason)
{
    std::string audio = patternBytes(2 * kTakeFrames * 4, 5);
    for (const WriteCase &c : kWriteCases) {
        SCOPED_TRACE(c.name);
        for (int n = playbackCount(dir) - 1; n >= 0; --n) {
            std::string f = path("out.raw") + (n ? fmt(".%04.0f", n) : "");
            unlink(f.c_str());
        }
        writeFile(path("song.wav"), wavBytes(44100, 2, 16, audio));
        writeFile(path("tlist.txt"), "song.wav\n");
        writeFile(path("rcvat.txt"), "dv\tdefault\nsr\t44100\nbits\t16\nch\t2\nd\t1\no\t" +
                                         std::to_string(c.outPoint) + "\ntlist\ttlist.txt\n");
        RunResult r = runTunevat(dir, "1p\nq\n", conf, 60,
                                 shim({std::string("TV_FAULT_PCM_WRITE=") + c.fault}));
        EXPECT_EQ(r.status, 0);
        std::string played, clocks;
        long at = 0;
        for (const char *p = c.blocks; *p; ++p, at += kPeriod) {
            if (*p == 'P') played += audio.substr((size_t)at * 4, (size_t)kPeriod * 4);
            clocks += fmt("\rclock = %.2f sec", at / 44100.0);
        }
        ASSERT_EQ(playbackCount(dir), 1);
        EXPECT_TRUE(playedBytes(dir, 0) == played) << playedBytes(dir, 0).size() << " bytes";
        std::string prompt = promptText({"song.wav"}, 0, (float)c.outPoint, 1, "");
        EXPECT_NE(r.out.find("Playing song.wav ...\n" + clocks + prompt), std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find(prompt + "Saving list and parameters\n"), std::string::npos);
        if (*c.failure) {
            EXPECT_EQ(r.err, std::string("\nCannot play through default: ") + c.failure + "\n");
        } else {
            EXPECT_EQ(r.err, "");
        }
        EXPECT_LE(calls()[2], c.maxWrites);
    }
}

// A device that offers channel buffers only is read that way into the
// same take: the console and every byte of the recording are those of the
// interleaved reads, in every format.
TEST_F(DeviceFaults, ChannelBufferDevicesRecordTheSameBytes)
{
    makeInput("in24.raw", 24);
    struct Case {
        int channels, bits;
    } cases[] = {{2, 16}, {1, 16}, {2, 24}, {1, 24}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.channels) + " channels, " + std::to_string(c.bits) + " bits");
        conf = writeVirtualCard(dir, path(c.bits == 24 ? "in24.raw" : "in.raw"));
        std::string outputs[2], files[2];
        std::vector<long> counts[2];
        for (int only = 0; only < 2; ++only) {
            settings(c.channels, c.bits, "1", "take1.wav");
            unlink(path("take1.wav").c_str());
            unlink(path("tlist.txt").c_str());
            RunResult r = runTunevat(dir, "r\n2\n1\nq\n", conf, 60,
                                     shim({only ? "TV_FAULT_PCM_CHANNEL_BUFFERS_ONLY=1" : "TV_X=0"}));
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "");
            outputs[only] = r.out;
            files[only] = readFile(path("take1.wav"));
            counts[only] = calls();
        }
        EXPECT_EQ(outputs[1], outputs[0]);
        EXPECT_TRUE(files[1] == files[0]);
        // Two takes, the second overwriting the first one's last 956 frames.
        long frameSize = c.channels * c.bits / 8;
        ASSERT_EQ(files[0].size(), 44 + (size_t)(kOneSecond + kTakeFrames) * (size_t)frameSize);
        // Both are the input: the first take's frames up to the planned
        // second, then the whole second take, which read on from where the
        // first one stopped; mono keeps the left channel.
        std::string raw = readFile(path(c.bits == 24 ? "in24.raw" : "in.raw"));
        long inFrame = 2 * c.bits / 8;
        std::string want;
        for (long k = 0; k < kOneSecond + kTakeFrames; ++k) {
            long from = k < kOneSecond ? k : k - kOneSecond + kTakeFrames;
            want += raw.substr((size_t)(from * inFrame), (size_t)frameSize);
        }
        EXPECT_TRUE(files[0].substr(44) == want);
        // The second run really read channel buffers, the first did not.
        EXPECT_EQ(counts[0][0], 0);
        EXPECT_EQ(counts[1][1], 0);
        EXPECT_EQ(counts[1][0], 22);
    }
}

// Devices that grant something other than what a recording needs are
// refused before the take, saying what they offer; nothing is recorded.
// The cards are the virtual card with the shim making it grant only one
// channel, or only 48000 Hz.
TEST_F(DeviceFaults, DevicesGrantingOtherChannelsOrRatesAreRefused)
{
    struct Case {
        const char *device;
        std::vector<std::string> env;
        const char *message;
    } cases[] = {
        {"tvcard", shim({"TV_FAULT_PCM_RATE=48000"}),
         "tvcard offers 2 channels of S16_LE at 48000 Hz; the recording needs 2 channels of "
         "S16_LE at 44100 Hz\n"},
        {"default", shim({"TV_FAULT_PCM_CHANNELS=1"}), "default offers 1 channels of S16_LE at 44100 Hz; the recording needs 2 channels "
                     "of S16_LE at 44100 Hz\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.device);
        settings(2, 16, "1", "take1.wav", c.device);
        unlink(path("tlist.txt").c_str());
        RunResult r = runTunevat(dir, "r\nq\n", conf, 60, c.env);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, startText(2, 16, "take1.wav", false, c.device) +
                             promptText({}, 0, 0, 1, "take1.wav") + c.message +
                             promptText({}, 0, 0, 1, "take1.wav") + "Saving list and parameters\n");
        EXPECT_FALSE(fileExists(path("take1.wav")));
        EXPECT_EQ(fileSize(path("tunevat_temp.wav")), 44);
    }
}

}  // namespace
