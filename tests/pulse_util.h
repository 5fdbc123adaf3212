// Shared by the tests that record and play through a PulseAudio server,
// as a desktop user's "default" does. scripts/test.sh starts one private
// server (scripts/pulse-server.sh) and names its runtime folder in
// TUNEVAT_PULSE_RUNTIME; only these tests are given it. Its default sink
// is a null sink paced in real time, its default source that sink's
// monitor: what is played to it can be recorded back byte for byte.
#ifndef TUNEVAT_TESTS_PULSE_UTIL_H
#define TUNEVAT_TESTS_PULSE_UTIL_H

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "e2e_record_util.h"
#include "harness.h"

namespace pulse {

using namespace rec;

// Raw 16-bit stereo at 44100 Hz through ALSA's "default" (the server).
inline std::vector<std::string> rawArgs(const std::string &tool)
{
    return {tool, "-q", "-D", "default", "-t", "raw", "-f", "S16_LE", "-c", "2", "-r", "44100"};
}

struct PulseE2E : RecordE2E {
    std::string runtime;
    std::vector<LiveRun> background;

    void SetUp() override
    {
        const char *r = getenv("TUNEVAT_PULSE_RUNTIME");
        if (!r || !*r)
            GTEST_SKIP() << "no sound server: scripts/test.sh starts one (by hand: "
                            "scripts/pulse-server.sh start DIR, then "
                            "TUNEVAT_PULSE_RUNTIME=DIR/runtime)";
        runtime = r;
        RecordE2E::SetUp();
        // Thirty seconds of white noise: no short stretch of it repeats.
        RunResult n = runProgram(dir, {"sox", "-R", "-n", "-r", "44100", "-c", "2", "-b", "16",
                                       "-e", "signed", "-t", "raw", "noise.raw", "synth", "30",
                                       "whitenoise", "vol", "0.5"});
        ASSERT_EQ(n.status, 0) << n.err;
        noise = readFile(path("noise.raw"));
    }
    void TearDown() override
    {
        for (LiveRun &b : background) stopLive(&b, SIGTERM);
        if (!runtime.empty()) RecordE2E::TearDown();
    }

    std::string noise;

    std::vector<std::string> env() const { return {"XDG_RUNTIME_DIR=" + runtime}; }

    RunResult runThroughServer(const std::string &input)
    {
        return runTunevat(dir, input, "", 60, env());
    }

    // Plays the noise to the server until stopNoise, and returns once it
    // is heard on the monitor. With two seconds queued at the server, so
    // that a busy machine does not starve the player: a player that runs
    // dry leaves silence in what the server plays, and the take is then
    // rightly not an unbroken stretch of the noise.
    void startNoise()
    {
        std::vector<std::string> argv = rawArgs("aplay");
        argv.insert(argv.end(), {"--buffer-time=2000000", "noise.raw"});
        background.push_back(startLive(dir, argv, env()));
        noiseIndex = background.size() - 1;
        ASSERT_TRUE(heardOnMonitor()) << "the noise never reached the server's monitor";
    }
    void stopNoise()
    {
        if (noiseIndex < background.size()) stopLive(&background[noiseIndex], SIGTERM);
    }

    // Records short stretches of the monitor until the last tenth of a
    // second of one holds sound (a new stream's first ~0.11 s are zeros).
    bool heardOnMonitor()
    {
        for (int tries = 0; tries < 30; ++tries) {
            std::vector<std::string> argv = rawArgs("arecord");
            argv.insert(argv.end(), {"-s", "13230", "probe.raw"});
            RunResult r = runProgram(dir, argv, "", "", 20, env());
            std::string probe = readFile(path("probe.raw"));
            if (r.status == 0 && probe.size() == 13230 * 4 &&
                probe.substr(probe.size() - 4410 * 4).find_first_not_of('\0') != std::string::npos)
                return true;
        }
        return false;
    }

    // Starts recording the monitor into name (raw), and returns once the
    // recording runs.
    size_t startMonitor(const std::string &name)
    {
        std::vector<std::string> argv = rawArgs("arecord");
        argv.push_back(name);
        background.push_back(startLive(dir, argv, env()));
        EXPECT_TRUE(grows(name, 4410 * 4)) << "the monitor recording never started";
        return background.size() - 1;
    }
    // Waits until the file at name holds at least bytes more than now.
    bool grows(const std::string &name, long bytes)
    {
        long from = fileSize(path(name));
        if (from < 0) from = 0;
        for (int i = 0; i < 1500; ++i) {
            if (fileSize(path(name)) >= from + bytes) return true;
            usleep(20000);
        }
        return false;
    }

    // The take's data must be one unbroken stretch of source, byte for
    // byte: located by a probe from its middle, then compared whole (so
    // no jump, no run of zeros, nothing from elsewhere).
    void expectExcerpt(const std::string &data, const std::string &source, int frameBytes)
    {
        ASSERT_GE(data.size(), (size_t)1024);
        ASSERT_EQ(data.size() % (size_t)frameBytes, 0u);
        size_t mid = data.size() / 2 / (size_t)frameBytes * (size_t)frameBytes;
        size_t at = source.find(data.substr(mid, 256));
        ASSERT_NE(at, std::string::npos) << "a probe of the take is nowhere in the source";
        ASSERT_GE(at, mid);
        size_t base = at - mid;
        ASSERT_LE(base + data.size(), source.size());
        for (size_t k = 0; k < data.size(); k += 256) {
            size_t n = std::min((size_t)256, data.size() - k);
            ASSERT_EQ(source.compare(base + k, n, data, k, n), 0)
                << "the take leaves the source at byte " << k << " of " << data.size();
        }
    }

    // The peak lines as sox measures them on the file.
    std::string soxPeaks(const std::string &file, int channels)
    {
        RunResult r = runProgram(dir, {"sox", file, "-n", "stats"});
        EXPECT_EQ(r.status, 0) << r.err;
        size_t at = r.err.find("Pk lev dB");
        if (at == std::string::npos) return "";
        std::vector<std::string> words;
        std::string line = r.err.substr(at + 9, r.err.find('\n', at) - at - 9);
        for (size_t i = 0; i < line.size();) {
            size_t j = line.find_first_not_of(' ', i);
            if (j == std::string::npos) break;
            size_t k = line.find(' ', j);
            if (k == std::string::npos) k = line.size();
            words.push_back(line.substr(j, k - j));
            i = k;
        }
        std::string lines;
        if (channels == 1) return "Channel 1 peak = " + words.at(0) + " dB\n";
        for (int ch = 1; ch <= 2; ++ch)
            lines += "Channel " + std::to_string(ch) + " peak = " + words.at((size_t)ch) + " dB\n";
        return lines;
    }

    size_t noiseIndex = (size_t)-1;
};

// The left channel of 16-bit stereo bytes.
inline std::string leftOf(const std::string &stereo)
{
    std::string left;
    for (size_t i = 0; i + 4 <= stereo.size(); i += 4) left += stereo.substr(i, 2);
    return left;
}

}  // namespace pulse

#endif
