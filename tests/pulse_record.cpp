// Recording and playing through a PulseAudio server, as on a desktop:
// "default" and "plug:pulse" record an unbroken stretch of what plays on
// the server, byte for byte, with the peaks sox measures; a playback is
// heard whole to its last frame (the device is drained) and nothing after
// it; the take menu plays the last take and an append adds to the file.
#include "pulse_util.h"

using namespace pulse;

namespace {

TEST_F(PulseE2E, TakesThroughTheServerHoldWhatItPlays)
{
    struct Case {
        const char *device;
        int channels;
    } cases[] = {{"default", 2}, {"plug:pulse", 2}, {"default", 1}};
    startNoise();
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.device) + ", " + std::to_string(c.channels) + " channels");
        unlink(path("take1.wav").c_str());
        unlink(path("tlist.txt").c_str());
        settings(c.channels, 16, "1", "take1.wav", c.device);
        RunResult r = runThroughServer("r\n1\nq\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        std::string file = readFile(path("take1.wav"));
        ASSERT_EQ(file.size(), 44 + (size_t)kTakeFrames * 2 * (size_t)c.channels);
        std::string data = file.substr(44);
        EXPECT_TRUE(file == wavBytes(44100, (unsigned)c.channels, 16, data));
        if (c.channels == 2) expectExcerpt(data, noise, 4);
        else expectExcerpt(data, leftOf(noise), 2);

        // The whole session, with the peaks that sox finds in the file.
        EXPECT_EQ(r.out, startText(c.channels, 16, "take1.wav", false, c.device) +
                             promptText({}, 0, 0, 1, "take1.wav") + takeLines(kOneSecond) +
                             report(soxPeaks("take1.wav", c.channels)) +
                             takeMenu() + promptText({"take1.wav"}, 0, 0, 1, "take1.wav") +
                             "Saving list and parameters\n");
        EXPECT_EQ(readFile(path("tlist.txt")), "take1.wav\n");
        EXPECT_NE(readFile(path("rcvat.txt")).find(std::string("dv\t") + c.device + "\n"),
                  std::string::npos);
    }
}

// What the monitor recording cap holds of audio played from its start:
// from 0.2 s on (a new stream's first ~0.11 s reach the monitor as zeros)
// every byte to the last, in one piece, and only silence after it.
void expectHeardWhole(const std::string &cap, const std::string &audio)
{
    std::string heard = audio.substr(8820 * 4);   // from 0.2 s on
    size_t at = cap.find(heard.substr(0, 256));
    ASSERT_NE(at, std::string::npos) << "the audio is not in the monitor's recording";
    EXPECT_EQ(cap.compare(at, heard.size(), heard), 0) << "the monitor heard it broken or cut";
    std::string after = cap.size() > at + heard.size() ? cap.substr(at + heard.size()) : "";
    EXPECT_GE(after.size(), (size_t)4410 * 4) << "the recording ended with the audio";
    EXPECT_EQ(after.find_first_not_of('\0'), std::string::npos) << "sound after the audio";
}

TEST_F(PulseE2E, PlaybackIsHeardWholeToItsLastFrame)
{
    // Two seconds: 21 whole blocks and a short one.
    std::string audio = noise.substr(0, 88200 * 4);
    writeFile(path("play.wav"), wavBytes(44100, 2, 16, audio));
    writeFile(path("tlist.txt"), "play.wav\n");
    writeFile(path("rcvat.txt"), "dv\tdefault\nsr\t44100\nbits\t16\nch\t2\no\t10\ntlist\ttlist.txt\n");
    size_t monitor = startMonitor("cap.raw");
    RunResult r = runThroughServer("1p\nq\n");
    // A second of what followed the playback.
    EXPECT_TRUE(grows("cap.raw", 44100 * 4));
    stopLive(&background[monitor], SIGINT);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::string clocks;
    for (long at = 0; at < 88200; at += kPeriod) clocks += fmt("\rclock = %.2f sec", at / 44100.0);
    EXPECT_NE(r.out.find("Playing play.wav ...\n" + clocks + promptText({"play.wav"}, 0, 10, 0, "")),
              std::string::npos)
        << r.out;
    expectHeardWhole(readFile(path("cap.raw")), audio);
}

TEST_F(PulseE2E, TakeMenuPlaysTheLastTakeAndAppendsThroughTheServer)
{
    settings(2, 16, "1", "take1.wav");
    startNoise();
    LiveRun live = startLive(dir, {TUNEVAT_BIN}, env(), 120);
    sendLive(&live, "r\n");
    ASSERT_TRUE(waitForOutput(live, takeMenu(), 30)) << liveOutput(live);

    // The take alone on the server, played from the take menu.
    stopNoise();
    size_t monitor = startMonitor("cap.raw");
    sendLive(&live, "5\n");
    ASSERT_TRUE(waitForOutput(live, takeMenu(), 30, 2)) << liveOutput(live);
    EXPECT_TRUE(grows("cap.raw", 44100 * 4));
    stopLive(&background[monitor], SIGINT);
    sendLive(&live, "1\n");
    ASSERT_TRUE(waitForOutput(live, promptText({"take1.wav"}, 0, 0, 1, "take1.wav"), 30));
    std::string first = readFile(path("take1.wav"));
    ASSERT_EQ(first.size(), 44 + (size_t)kTakeFrames * 4);
    expectExcerpt(first.substr(44), noise, 4);
    expectHeardWhole(readFile(path("cap.raw")), first.substr(44));

    // A second take appended to it.
    startNoise();
    sendLive(&live, "r\n4\n");
    ASSERT_TRUE(waitForOutput(live, takeMenu(), 30, 3)) << liveOutput(live);
    sendLive(&live, "1\nq\n");
    RunResult r = finishLive(&live);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Playing tunevat_temp.wav ...\n"), std::string::npos);
    EXPECT_NE(r.out.find(existingMenu("take1.wav") + "Recording...\n"), std::string::npos);
    EXPECT_NE(r.out.find("Saving list and parameters\n"), std::string::npos);
    std::string file = readFile(path("take1.wav"));
    ASSERT_EQ(file.size(), first.size() + (size_t)kTakeFrames * 4);
    EXPECT_TRUE(file.substr(44, first.size() - 44) == first.substr(44));
    EXPECT_TRUE(file == wavBytes(44100, 2, 16, file.substr(44)));
    expectExcerpt(file.substr(first.size()), noise, 4);
    EXPECT_EQ(readFile(path("tlist.txt")), "take1.wav\n");
}

// Stopped (Ctrl-Z, then fg) for two seconds in the middle of a take
// through the server: the server keeps what came meanwhile, and the take
// holds every frame of it in order, one unbroken stretch of what played,
// with no over-run said.
TEST_F(PulseE2E, AStopInATakeKeepsEveryFrameTheServerKept)
{
    settings(2, 16, "8", "take1.wav");
    startNoise();
    LiveRun live = startLive(dir, {TUNEVAT_BIN}, env(), 120);
    sendLive(&live, "r\n");
    ASSERT_TRUE(waitForOutput(live, "\rRemaining ", 30, 30)) << liveOutput(live);
    kill(live.pid, SIGSTOP);
    sleep(2);
    kill(live.pid, SIGCONT);
    ASSERT_TRUE(waitForOutput(live, takeMenu(), 60)) << liveOutput(live);
    sendLive(&live, "1\nq\n");
    RunResult r = finishLive(&live);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("RX"), std::string::npos) << r.out;
    std::string file = readFile(path("take1.wav"));
    const size_t frames = 356352;   // eight seconds in whole periods: 87
    ASSERT_EQ(file.size(), 44 + frames * 4);
    expectExcerpt(file.substr(44), noise, 4);
}

}  // namespace
