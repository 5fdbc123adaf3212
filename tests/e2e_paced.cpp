// The paced capture device (writePacedCard in harness.h): a card whose
// frames come with the clock, whose buffer over-runs when the program
// falls behind, and whose every frame holds its index in the source. The
// indices that arecord and tunevat get show every gap; the device's log
// must agree with them.
#include <gtest/gtest.h>

#include <alsa/asoundlib.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <ctime>
#include <regex>
#include <sstream>
#include <utility>
#include <unistd.h>

#include "e2e_record_util.h"
#include "harness.h"

namespace {

typedef std::pair<long long, long long> Gap;   // the first frame lost, the frames lost

// The gaps in the stereo frames of data (bps bytes a sample), which must
// all be the device's and rise from first.
std::vector<Gap> gapsIn(const std::string &data, int bps, long long first = 0)
{
    std::vector<Gap> gaps;
    for (size_t at = 0; at + 2 * (size_t)bps <= data.size(); at += 2 * (size_t)bps) {
        long long i = frameIndex(data.data() + at, bps, 2);
        if (i < first) ADD_FAILURE() << "frame " << at / (2 * bps) << " holds " << i;
        if (i < first) break;
        if (i > first) gaps.push_back({first, i - first});
        first = i + 1;
    }
    return gaps;
}

// The device log's lines, each of kind ("overrun" or "drop").
std::vector<Gap> loggedGaps(const std::string &path, const std::string &kind)
{
    std::istringstream log(readFile(path));
    std::vector<Gap> gaps;
    std::string word, from, lost;
    Gap g;
    while (log >> word >> from >> g.first >> lost >> g.second) {
        EXPECT_EQ(word + from + lost, kind + "fromlost");
        gaps.push_back(g);
    }
    return gaps;
}

struct PacedE2E : ::testing::Test {
    std::string dir;
    void SetUp() override { dir = makeTempDir(); }
    void TearDown() override { removeTree(dir); }
    std::string path(const std::string &name) const { return dir + "/" + name; }
};

// arecord reads steadily, or is stopped (SIGSTOP) for a second with a
// 16384-frame buffer: it then over-runs and says so, or with
// drop_silently loses the frames that find its buffer full without a
// word. Either way the gaps in its frames are the ones the device logged,
// and an over-run loses at least the buffer it left. A device capped at 48000 grants that rate.
TEST_F(PacedE2E, ArecordGetsEveryFrameBarTheGapsTheDeviceLogs)
{
    struct Case {
        const char *format;
        int bps;
        long rate, rateMax, frames;
        bool stop, drop;
    } cases[] = {{"S24_3LE", 3, 96000, 0, 48000, false, false},
                 {"S16_LE", 2, 96000, 48000, 24000, false, false},
                 {"S16_LE", 2, 44100, 0, 66150, true, false},
                 {"S16_LE", 2, 44100, 0, 66150, true, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.format) + " at " + std::to_string(c.rate) +
                     (c.stop ? " stopped" : "") + (c.drop ? ", drop silently" : ""));
        unlink(path("paced.log").c_str());
        unlink(path("cap.raw").c_str());
        std::string conf = writePacedCard(dir, {c.rateMax, 0, c.drop, path("paced.log")});
        LiveRun run = startLive(dir,
                                {"arecord", "-D", "default", "-f", c.format, "-c", "2", "-r",
                                 std::to_string(c.rate), "--buffer-size=16384",
                                 "--period-size=4096", "-t", "raw", "-s",
                                 std::to_string(c.frames), "cap.raw"},
                                {"ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:" + conf}, 30);
        if (c.stop) {
            for (int i = 0; i < 1000 && fileSize(path("cap.raw")) < 8192 * 4; ++i) usleep(10000);
            ASSERT_GE(fileSize(path("cap.raw")), 8192 * 4) << "arecord recorded nothing";
            kill(run.pid, SIGSTOP);
            sleep(1);
            kill(run.pid, SIGCONT);
        }
        RunResult r = finishLive(&run, 30);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.find("got = 48000Hz") != std::string::npos, c.rateMax != 0) << r.err;

        std::string data = readFile(path("cap.raw"));
        EXPECT_EQ(data.size(), (size_t)(c.frames * 2 * c.bps));
        std::vector<Gap> gaps = gapsIn(data, c.bps);
        EXPECT_EQ(loggedGaps(path("paced.log"), c.drop ? "drop" : "overrun"), gaps);
        size_t said = 0;
        for (size_t at = 0; (at = r.err.find("overrun!!!", at)) != std::string::npos; ++at) ++said;
        EXPECT_EQ(said, c.drop ? 0 : gaps.size()) << r.err;
        EXPECT_EQ(gaps.empty(), !c.stop) << "a second's stop lost nothing, or a steady read lost";
        if (!gaps.empty()) {
            EXPECT_GE(gaps[0].second, c.drop ? 1 : 16384);
        }
    }
}

// tunevat records from the paced device: every frame of the take, in
// order from the source's first, whether it reads non-interleaved frames
// or, as from a sound server's plugin, interleaved frames only (the fault
// shim refuses the other access; preloaded, it comes before a sanitized
// build's runtime, which is harmless).
TEST_F(PacedE2E, TunevatTakeHoldsEveryFrameInOrder)
{
    struct Case {
        int bits, channels;
        bool interleavedOnly;
    } cases[] = {{16, 2, false}, {24, 2, true}, {16, 1, false}};
    const char *asan = getenv("ASAN_OPTIONS");
    std::vector<std::string> shim = {
        std::string("LD_PRELOAD=") + TUNEVAT_FAULTSHIM, "TV_FAULT_PCM_INTERLEAVED_ONLY=1",
        std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + " bits, " + std::to_string(c.channels) +
                     " channels" + (c.interleavedOnly ? ", interleaved only" : ""));
        unlink(path("take.wav").c_str());
        unlink(path("paced.log").c_str());
        writeFile(path("rcvat.txt"), "dv\tdefault\nsr\t44100\nbits\t" + std::to_string(c.bits) +
                                         "\nch\t" + std::to_string(c.channels) +
                                         "\nd\t1\ntlist\ttlist.txt\nrname\ttake.wav\n");
        std::string conf = writePacedCard(dir, {0, 0, false, path("paced.log")});
        RunResult r = runTunevat(dir, "r\n1\nq\n", conf, 30,
                                 c.interleavedOnly ? shim : std::vector<std::string>());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.find("RX"), std::string::npos) << r.out << readFile(path("paced.log"));
        int bps = c.bits / 8, frameSize = bps * c.channels;
        std::string data = readFile(path("take.wav")).substr(44);
        ASSERT_EQ(data.size(), (size_t)rec::kTakeFrames * (size_t)frameSize);
        for (long f = 0; f < rec::kTakeFrames; ++f) {
            long long i = frameIndex(data.data() + f * frameSize, bps, c.channels);
            ASSERT_EQ(i, c.channels == 1 ? f % (1L << (c.bits - 1)) : f) << "frame " << f;
        }
    }
}

// A take from the paced device while something holds the program up for
// two seconds, a second into a five-second take: its standard output
// blocks (a terminal stopped with Ctrl-S, a pipe nobody reads), one write
// to the take file takes two seconds (the fault shim), or the program is
// stopped (Ctrl-Z, then fg). The device is read on a thread of its own, so
// the first two lose nothing; a stopped program cannot read, the device
// over-runs (or, as PipeWire's plugin does, keeps its full buffer, drops
// the frames that come and says nothing), and the take keeps its
// timeline: "RX", a line saying where and how long, as many silent frames
// as the device lost (within a period), and after them the frames that
// came then.
TEST_F(PacedE2E, TakesKeepTheirTimelineThroughStalls)
{
    enum Stall { kOutputBlocked, kSlowDisk, kStopped };
    struct Case {
        const char *name;
        Stall stall;
        bool dropSilently;   // the device drops what waits too long and says nothing
        int bits, channels;
    } cases[] = {
        {"standard output blocked", kOutputBlocked, false, 16, 2},
        {"a write of two seconds", kSlowDisk, false, 16, 2},
        // Two seconds of frames wait at once, more than a mono take's
        // writes hold: they are taken in pieces.
        {"a write of two seconds, 24-bit mono", kSlowDisk, false, 24, 1},
        {"stopped for two seconds", kStopped, false, 16, 2},
        {"stopped for two seconds, a device that drops unsaid", kStopped, true, 16, 2},
    };
    const long kPeriod = 4096;
    const long kFrames = 221184;   // five seconds in whole periods: 54
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        unlink(path("take.wav").c_str());
        unlink(path("paced.log").c_str());
        unlink(path("slow.log").c_str());
        writeFile(path("rcvat.txt"), "dv\tdefault\nsr\t44100\nbits\t" + std::to_string(c.bits) +
                                         "\nch\t" + std::to_string(c.channels) +
                                         "\nd\t5\ntlist\ttlist.txt\nrname\ttake.wav\n");
        const int bps = c.bits / 8, frameSize = bps * c.channels;
        writeFile(path("in.txt"), "r\n1\nq\n");
        std::string conf = writePacedCard(dir, {0, 0, c.dropSilently, path("paced.log")});
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int in = open(path("in.txt").c_str(), O_RDONLY);
            int err = open(path("err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || err < 0 || chdir(dir.c_str()) != 0) _exit(126);
            dup2(in, 0);
            dup2(out[1], 1);
            dup2(err, 2);
            close(out[0]);
            setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + conf).c_str(), 1);
            setenv("HOME", dir.c_str(), 1);
            if (c.stall == kSlowDisk) {
                std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
                setenv("ASAN_OPTIONS", (asan + ":verify_asan_link_order=0").c_str(), 1);
                setenv("LD_PRELOAD", TUNEVAT_FAULTSHIM, 1);
                setenv("TV_FAULT_SLOW_ON", "tunevat_temp.wav", 1);
                setenv("TV_FAULT_SLOW_WRITE", "20:2000", 1);
                setenv("TV_FAULT_SLOW_LOG", path("slow.log").c_str(), 1);
            }
            alarm(60);
            execl(TUNEVAT_BIN, TUNEVAT_BIN, (char *)nullptr);
            _exit(127);
        }
        // The test fills the pipe through a writing end of its own, which
        // does not block (the program's end of it stays as it was).
        int filler = -1;
        if (c.stall == kOutputBlocked) {
            filler = open(("/proc/self/fd/" + std::to_string(out[1])).c_str(), O_WRONLY | O_NONBLOCK);
            ASSERT_GE(filler, 0);
        }
        close(out[1]);
        std::string said;
        bool stalled = c.stall == kSlowDisk;
        char buf[65536];
        for (;;) {
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            said.append(buf, (size_t)n);
            long lines = 0;
            for (size_t at = 0; (at = said.find("\rRemaining ", at)) != std::string::npos; ++at) ++lines;
            if (stalled || lines < 10) continue;
            stalled = true;
            if (c.stall == kOutputBlocked) {
                // The pipe fills up (with bytes the program never prints)
                // and nothing is read for two seconds: its next write waits.
                static const char zeros[4096] = {};
                while (write(filler, zeros, sizeof zeros) > 0) {
                }
                sleep(2);
                close(filler);
                filler = -1;
            } else {
                kill(pid, SIGSTOP);
                sleep(2);
                kill(pid, SIGCONT);
            }
        }
        close(out[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readFile(path("err.txt"));
        said.erase(std::remove(said.begin(), said.end(), '\0'), said.end());
        EXPECT_NE(said.find("Saving list and parameters\n"), std::string::npos);

        std::string data = readFile(path("take.wav")).substr(44);
        ASSERT_EQ(data.size(), (size_t)kFrames * frameSize) << said << readFile(path("err.txt"));
        long f = 0;
        while (f < kFrames && frameIndex(data.data() + f * frameSize, bps, c.channels) == f) ++f;
        if (c.stall == kSlowDisk) {
            EXPECT_EQ(readFile(path("slow.log")), "slow\n");   // the write did stall
        }
        if (c.stall != kStopped) {
            EXPECT_EQ(f, kFrames) << said;
            EXPECT_EQ(said.find("RX"), std::string::npos);
            continue;
        }
        // The gap: silence from frame f on, as long as the line says.
        long silent = 0;
        while (f + silent < kFrames &&
               frameIndex(data.data() + (f + silent) * frameSize, bps, c.channels) == -1)
            ++silent;
        char line[128];
        snprintf(line, sizeof line, "RX\nLost %.2f sec at %.2f sec into the recording: filled with silence\n",
                 silent / 44100.0, f / 44100.0);
        EXPECT_NE(said.find(line), std::string::npos) << said;
        std::vector<Gap> logged = loggedGaps(path("paced.log"), c.dropSilently ? "drop" : "overrun");
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_LE(std::labs((long)logged[0].second - silent), kPeriod) << silent;
        EXPECT_GT(silent, 44100);   // most of the two seconds
        // After it, the frames that came then: each where its time puts it.
        for (long g = f + silent; g < kFrames; ++g) {
            long long i = frameIndex(data.data() + g * frameSize, bps, c.channels);
            ASSERT_GE(i, 0) << "frame " << g;
            ASSERT_LE(std::llabs(i - g), kPeriod) << "frame " << g;
            if (g > f + silent) {
                ASSERT_EQ(i, frameIndex(data.data() + (g - 1) * frameSize, bps, c.channels) + 1);
            }
        }
    }
}

// A device whose first frames come 5.5 s after the take begins (as a
// sound server's can), with the program stopped (Ctrl-Z) for three of
// those seconds: the 5-second limit on a device that gives nothing counts
// only the time the program ran, so the take goes on and keeps every
// frame.
TEST_F(PacedE2E, TimeTheProgramWasStoppedIsNotTheDevicesSilence)
{
    writeFile(path("rcvat.txt"), "dv\tdefault\nsr\t44100\nbits\t16\nch\t2\nd\t1\ntlist\ttlist.txt\n"
                                 "rname\ttake.wav\n");
    PacedCardOptions options;
    options.startDelayMs = 5500;
    std::string conf = writePacedCard(dir, options);
    LiveRun live = startLive(dir, {TUNEVAT_BIN},
                             {"ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:" + conf, "HOME=" + dir}, 60);
    sendLive(&live, "r\n1\nq\n");
    sleep(1);
    kill(live.pid, SIGSTOP);
    sleep(3);
    kill(live.pid, SIGCONT);
    RunResult r = finishLive(&live, 60);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::string data = readFile(path("take.wav")).substr(44);
    ASSERT_EQ(data.size(), (size_t)rec::kTakeFrames * 4) << r.out << r.err;
    for (long f = 0; f < rec::kTakeFrames; ++f) ASSERT_EQ(frameIndex(data.data() + f * 4, 2, 2), f) << f;
}

// "m" until a line is typed, then a take of a second and a half. On a terminal the
// meter is redrawn again and again, a dozen times in m and ten in the
// take beside the time left (below it on a narrow terminal), each line one
// column short of the width, with block characters where the locale has
// them; after the take's peak lines comes its picture, a line per channel,
// and the take holds every frame of the device. On a pipe m prints a line
// a second of the device's peaks (the left channel reaches 32767 at frame
// 16383 and every 32768 frames after; the right holds the frame's index
// above 15 bits). m writes no file.
TEST_F(PacedE2E, TheInputLevelShowsUntilALineIsTypedAndThroughATake)
{
    struct Case {
        int columns;   // 0: a pipe
        int bits, channels;
        const char *locale;
    } cases[] = {{80, 16, 2, "C"}, {36, 24, 1, "C.UTF-8"}, {0, 16, 2, "C"}};
    const std::string shown = "Showing the input level of default until Enter is pressed\n";
    const std::string level = " *(-[0-9]+\\.[0-9]|-inf)( clip [0-9]+)?";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.columns);
        unlink(path("take.wav").c_str());
        writeFile(path("rcvat.txt"), "sr\t44100\nbits\t" + std::to_string(c.bits) + "\nch\t" +
                                         std::to_string(c.channels) + "\nd\t1.5\ntlist\ttlist.txt\nrname\ttake.wav\n");
        std::vector<std::string> env = {"ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:" + writePacedCard(dir),
                                        "LC_ALL=" + std::string(c.locale)};
        LiveRun run = startLive(dir, {TUNEVAT_BIN}, env, 60, c.columns);
        sendLive(&run, "m\n");
        EXPECT_TRUE(waitForOutput(run, c.columns ? "\r1[" : " dBFS\n", 30, c.columns ? 12 : 2));
        sendLive(&run, "\n");
        EXPECT_TRUE(waitForOutput(run, "Filename: take.wav\n", 30, 2));
        for (const std::string &name : listDir(dir))
            EXPECT_TRUE(name[0] == '.' || name == "asound.conf" || name == "rcvat.txt" || name == "tlist.txt") << name;
        if (c.columns) {
            sendLive(&run, "r\n");
            ASSERT_TRUE(waitForOutput(run, "5 = play last take\n", 30));
            sendLive(&run, "1\n");
        }
        sendLive(&run, "q\n");
        RunResult r = finishLive(&run);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.find("\xe2\x96") != std::string::npos, c.bits == 24);
        std::string out = std::regex_replace(r.out, std::regex("\xe2\x96."), "#");   // a column each
        size_t from = out.find(shown), to = out.find("\nTrack List:", from);
        ASSERT_NE(to, std::string::npos) << out;
        from += shown.size();
        if (c.columns == 0) {
            EXPECT_EQ(out.substr(from, 136), "Channel 1 peak = -0.0 dBFS (1 clipped), Channel 2 peak = -80.8 dBFS\n"
                                             "Channel 1 peak = -0.0 dBFS (2 clipped), Channel 2 peak = -76.3 dBFS\n");
            continue;
        }
        // The redraws between two texts: lines each matching line, the
        // first of each starting with first. Where the bars do not fit
        // beside the time left they take the line below it, and the next
        // redraw starts from the line above.
        auto redraws = [&](size_t a, size_t b, const std::string &first, const std::string &line) {
            std::istringstream text(out.substr(a, b - a));
            int seen = 0;
            for (std::string one; std::getline(text, one, '\r');) {
                one = std::regex_replace(one, std::regex("^\n|^\x1b\\[A|\n$"), "");
                if (one.empty()) continue;
                EXPECT_TRUE(std::regex_match(one, std::regex(line))) << one;
                EXPECT_EQ(one.size(), (size_t)c.columns - 1) << one;
                seen += one.rfind(first, 0) == 0;
            }
            return seen;
        };
        std::string bars = "1\\[[#:| ]+\\]" + level + (c.channels == 2 ? "  2\\[[#:| ]+\\]" + level : "") + " *";
        EXPECT_GE(redraws(from, to, "1[", bars), 12);
        from = out.find("Recording...\n"), to = out.find("\n\nChannel 1 peak", from);
        ASSERT_NE(to, std::string::npos) << out;
        from += 13;
        std::string left = "Remaining [0-9]+\\.[0-9][0-9] sec +";
        EXPECT_GE(redraws(from, to, "Remaining", c.columns < 40 ? left + "|" + bars : left + bars), 10);
        if (c.columns < 40) {
            EXPECT_NE(out.find("\r\x1b[ARemaining"), std::string::npos);
        }
        // The picture: 60 cells, or as many as fit on the line; the right
        // channel is at the lowest step all along.
        std::string cells = " \\|.{" + std::to_string(std::min(60, c.columns - 13)) + "}\\|\n";
        std::string picture = "Channel 1" + cells + (c.channels == 2 ? "Channel 2 \\|\\.{60}\\|\n" : "");
        EXPECT_TRUE(std::regex_search(out, std::regex("peak = -[0-9.]+ dB\n" + picture))) << out;
        std::string data = readFile(path("take.wav")).substr(44);
        size_t frame = (size_t)(c.bits / 8 * c.channels);
        ASSERT_GE(data.size(), 66150u * frame);
        for (size_t f = 0; f < data.size() / frame; ++f)
            ASSERT_EQ(frameIndex(data.data() + f * frame, c.bits / 8, c.channels), (long long)f);
    }
}

// A take that waits to start, on the paced device whose first 1.1 seconds
// are silence: with a trigger it starts at the first frame of sound, with
// a second of pre-roll (silence) before it and the planned length after it,
// no gap; with Enter alone, a second after the Enter has a second before
// it; Ctrl-C while it waits records nothing and the prompt comes back.
TEST_F(PacedE2E, ATakeThatWaitsStartsOnSoundOrEnterWithItsPreRoll)
{
    const long kSilent = 48510, kPre = 44100;
    struct Case {
        const char *keys;
        bool enter, interrupt;
        std::string says;   // what it waits for
    } cases[] = {
        {"pre\t1.000\ntrig\t-30.0\n", false, false, "the level passes -30.0 dBFS or Enter is pressed"},
        {"pre\t1.000\n", true, false, "Enter is pressed"},
        {"trig\t-30.0\n", false, true, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keys);
        unlink(path("take.wav").c_str());
        writeFile(path("rcvat.txt"), std::string("dv\tdefault\nsr\t44100\nbits\t16\nch\t2\nd\t1\n"
                                                 "tlist\ttlist.txt\nrname\ttake.wav\n") + c.keys);
        PacedCardOptions options;
        options.silentFrames = c.interrupt ? 1L << 30 : kSilent;
        std::string conf = writePacedCard(dir, options);
        LiveRun live = startLive(dir, {TUNEVAT_BIN},
                                 {"ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:" + conf, "HOME=" + dir});
        sendLive(&live, "r\n");
        ASSERT_TRUE(waitForOutput(live, "The take starts when", 30));
        if (c.enter) {
            usleep(2400000);   // past the silence, and a pre-roll's worth after it
            sendLive(&live, "\n");
        }
        if (c.interrupt) {
            usleep(500000);
            kill(live.pid, SIGINT);
            ASSERT_TRUE(waitForOutput(live, "Filename: take.wav\n", 30, 2)) << liveOutput(live);
        } else {
            ASSERT_TRUE(waitForOutput(live, "Recording...\n", 30));
            sendLive(&live, "1\n");
        }
        sendLive(&live, "q\n");
        RunResult r = finishLive(&live, 60);
        EXPECT_EQ(r.status, 0) << r.out;
        if (c.interrupt) {
            EXPECT_EQ(r.out.find("Recording..."), std::string::npos) << r.out;
            EXPECT_FALSE(fileExists(path("take.wav")));
            continue;
        }
        EXPECT_NE(r.out.find("The take starts when " + c.says + ", with up to 1.0 sec from before it\n"),
                  std::string::npos)
            << r.out;
        std::string data = readFile(path("take.wav")).substr(44);
        ASSERT_EQ(data.size(), (size_t)(kPre + rec::kTakeFrames) * 4) << r.out;
        // The pre-roll's frames come right before the take's first, silent
        // before the sound; a trigger starts the take at the sound.
        long long base = frameIndex(data.data() + kPre * 4, 2, 2) - kPre;
        if (!c.enter) {
            EXPECT_EQ(base + kPre, kSilent);
        }
        for (long f = 0; f < kPre + rec::kTakeFrames; ++f)
            ASSERT_EQ(frameIndex(data.data() + f * 4, 2, 2), base + f < kSilent ? -1 : base + f) << f;
    }
}

}  // namespace
