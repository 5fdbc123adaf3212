// The capture engine and its take menu, recorded through the record
// command on the virtual sound card: exact console text, exact bytes in
// the finished file, and what the take menu's answers keep.
#include "e2e_record_util.h"

namespace {

using namespace rec;

// A whole session that records take1.wav once with the given take menu
// answers, from a fresh directory.
std::string session(RecordE2E *t, const std::string &takeSegment, bool listed)
{
    return t->startText(2, 16, "take1.wav", false) + promptText({}, 0, 0, 1, "take1.wav") +
           takeSegment +
           promptText(listed ? std::vector<std::string>{"take1.wav"} : std::vector<std::string>{},
                      0, 0, 1, "take1.wav") +
           "Saving list and parameters\n";
}

std::string header(unsigned channels, unsigned bits, unsigned long dataBytes)
{
    return wavBytes(44100, channels, bits, std::string(dataBytes, '\0')).substr(0, 44);
}

TEST_F(RecordE2E, OneTakeSavedHoldsTheFirstElevenPeriods)
{
    settings(2, 16, "1", "take1.wav");
    RunResult r = run("r\n1\nq\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, session(this, takeLines(kOneSecond) + report(kStereoPeaks) + takeMenu(), true));

    std::string file = readFile(path("take1.wav"));
    ASSERT_EQ(file.size(), 44u + (size_t)kTakeFrames * 4);
    EXPECT_EQ(file, wavBytes(44100, 2, 16, input(0, kTakeFrames)));
    EXPECT_EQ(le32(file, 40), (unsigned long)kTakeFrames * 4);
    EXPECT_EQ(le32(file, 4), file.size() - 8);
    EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
    EXPECT_EQ(readFile(path("tlist.txt")), "take1.wav\n");

    RunResult soxi = runProgram(dir, {"soxi", "-s", "take1.wav"});
    EXPECT_EQ(soxi.status, 0) << soxi.err;
    EXPECT_EQ(soxi.out, "45056\n");
}

TEST_F(RecordE2E, ContinueStartsTheNextTakeAtThePlannedEnd)
{
    settings(2, 16, "1", "take1.wav");
    RunResult r = run("r\n2\n1\nq\n");
    std::string take = takeLines(kOneSecond) + report(kStereoPeaks) + takeMenu();
    EXPECT_EQ(r.out, session(this, take + take, true));
    // The second take reads on where the first stopped and overwrites the
    // 956 frames the first recorded past one second.
    std::string file = readFile(path("take1.wav"));
    EXPECT_EQ(file, wavBytes(44100, 2, 16, input(0, kOneSecond) + input(kTakeFrames, kTakeFrames)));
    EXPECT_EQ(le32(file, 4), file.size() - 8);
}

TEST_F(RecordE2E, RedoReplacesTheTakeInPlace)
{
    settings(2, 16, "1", "take1.wav");
    RunResult r = run("r\n3\n1\nq\n");
    std::string take = takeLines(kOneSecond) + report(kStereoPeaks) + takeMenu();
    EXPECT_EQ(r.out, session(this, take + take, true));
    EXPECT_EQ(readFile(path("take1.wav")), wavBytes(44100, 2, 16, input(kTakeFrames, kTakeFrames)));
}

TEST_F(RecordE2E, PlayingTheTakeRepeatsTheReportAndKeepsTheTake)
{
    settings(2, 16, "1", "take1.wav");
    RunResult r = run("r\n5\n1\nq\n");
    std::string played = "Playing tunevat_temp.wav ...\n";
    for (long at = 0; at < kOneSecond; at += kPeriod) played += fmt("\rclock = %.2f sec", at / 44100.0);
    std::string afterPlay = report(kStereoPeaks) + takeMenu();
    EXPECT_EQ(r.out, session(this, takeLines(kOneSecond) + report(kStereoPeaks) + takeMenu() +
                                       played + afterPlay, true));
    EXPECT_EQ(playbackCount(dir), 1);
    EXPECT_EQ(playedBytes(dir, 0), input(0, kTakeFrames));
    EXPECT_EQ(readFile(path("take1.wav")), wavBytes(44100, 2, 16, input(0, kTakeFrames)));
}

TEST_F(RecordE2E, PlayAfterContinuePlaysTheSecondTake)
{
    settings(2, 16, "1", "take1.wav");
    RunResult r = run("r\n2\n5\n1\nq\n");
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(playbackCount(dir), 1);
    // From one second into the take file, eleven blocks of the second take.
    EXPECT_EQ(playedBytes(dir, 0), input(kTakeFrames, kTakeFrames));
    EXPECT_NE(r.out.find("\rclock = 1.00 sec"), std::string::npos);
}

TEST_F(RecordE2E, OtherWordsPlayTheTakeLikeFive)
{
    settings(2, 16, "1", "take1.wav");
    RunResult r = run("r\n12\nsave\n0\n1\nq\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(playbackCount(dir), 3);
    EXPECT_EQ(readFile(path("take1.wav")), wavBytes(44100, 2, 16, input(0, kTakeFrames)));
    // "Recording..." only once: playing records nothing.
    EXPECT_EQ(r.out.find("Recording..."), r.out.rfind("Recording..."));
}

TEST_F(RecordE2E, DeletingTheOnlyTakeKeepsNothing)
{
    settings(2, 16, "1", "take1.wav");
    RunResult r = run("r\n4\nq\n");
    EXPECT_EQ(r.out, session(this, takeLines(kOneSecond) + report(kStereoPeaks) + takeMenu(), false));
    EXPECT_FALSE(fileExists(path("take1.wav")));
    EXPECT_EQ(readFile(path("tlist.txt")), "");
    // The dropped take goes from the take file too, and its header says
    // so: a later recording finds no take left in it to keep.
    EXPECT_EQ(readFile(path("tunevat_temp.wav")), wavBytes(44100, 2, 16, ""));
}

TEST_F(RecordE2E, DeletingTheSecondTakeCutsItOffTheTarget)
{
    settings(2, 16, "1", "take1.wav");
    RunResult r = run("r\n2\n4\nq\n");
    EXPECT_EQ(r.status, 0);
    std::string file = readFile(path("take1.wav"));
    // Only the first second: the dropped take is not left behind the data.
    EXPECT_EQ(file, wavBytes(44100, 2, 16, input(0, kOneSecond)));
    EXPECT_EQ(readFile(path("tlist.txt")), "take1.wav\n");
}

TEST_F(RecordE2E, EndOfInputAtTheTakeMenuKeepsTheTake)
{
    settings(2, 16, "1", "take1.wav");
    RunResult r = run("r\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, session(this, takeLines(kOneSecond) + report(kStereoPeaks) + takeMenu(), true));
    EXPECT_EQ(readFile(path("take1.wav")), wavBytes(44100, 2, 16, input(0, kTakeFrames)));
}

TEST_F(RecordE2E, MonoKeepsTheLeftChannel)
{
    settings(1, 16, "1", "take1.wav");
    RunResult r = run("r\n1\nq\n");
    std::string expected = startText(1, 16, "take1.wav", false) +
                           promptText({}, 0, 0, 1, "take1.wav") + takeLines(kOneSecond) +
                           report("Channel 1 peak = -6.02 dB\n") + takeMenu() +
                           promptText({"take1.wav"}, 0, 0, 1, "take1.wav") +
                           "Saving list and parameters\n";
    EXPECT_EQ(r.out, expected);
    std::string stereo = input(0, kTakeFrames);
    std::string left;
    for (size_t i = 0; i < stereo.size(); i += 4) left += stereo.substr(i, 2);
    EXPECT_EQ(readFile(path("take1.wav")), wavBytes(44100, 1, 16, left));
}

TEST_F(RecordE2E, TwentyFourBitWritesPackedSamples)
{
    makeInput("in24.raw", 24);
    conf = writeVirtualCard(dir, path("in24.raw"));
    settings(2, 24, "1", "take1.wav");
    RunResult r = run("r\n1\nq\n");
    std::string expected = startText(2, 24, "take1.wav", false) +
                           promptText({}, 0, 0, 1, "take1.wav") + takeLines(kOneSecond) +
                           report(kStereoPeaks) + takeMenu() +
                           promptText({"take1.wav"}, 0, 0, 1, "take1.wav") +
                           "Saving list and parameters\n";
    EXPECT_EQ(r.out, expected);
    std::string file = readFile(path("take1.wav"));
    EXPECT_EQ(file, wavBytes(44100, 2, 24, input(0, kTakeFrames, 6, "in24.raw")));
    EXPECT_EQ(header(2, 24, kTakeFrames * 6), file.substr(0, 44));
}

TEST_F(RecordE2E, TwentyFourBitMonoSilenceShowsTheFloor)
{
    conf = writeVirtualCard(dir, "");   // capture reads zeros
    settings(1, 24, "1", "take1.wav");
    RunResult r = run("r\n1\nq\n");
    EXPECT_NE(r.out.find(report("Channel 1 peak = -144 dB\n") + takeMenu()), std::string::npos);
    EXPECT_EQ(readFile(path("take1.wav")), wavBytes(44100, 1, 24, std::string(kTakeFrames * 3, '\0')));
}

TEST_F(RecordE2E, ATakeShorterThanAFrameReadsNothing)
{
    settings(2, 16, "0.00001", "take1.wav");
    RunResult r = run("r\n1\nq\n");
    EXPECT_NE(r.out.find("Recording...\n\n\nChannel 1 peak = -96 dB\nChannel 2 peak = -96 dB\n" +
                         takeMenu()),
              std::string::npos);
    // Nothing kept: no target, no list entry.
    EXPECT_FALSE(fileExists(path("take1.wav")));
    EXPECT_EQ(readFile(path("tunevat_temp.wav")), wavBytes(44100, 2, 16, ""));
}

TEST_F(RecordE2E, MissingCaptureDeviceLeavesOnlyTheHeader)
{
    settings(2, 16, "1", "take1.wav", "nosuchdev");
    RunResult r = run("r\nq\n");
    EXPECT_EQ(r.status, 0);
    // After whatever the library itself says about the unknown name.
    EXPECT_NE(r.err.find("unable to open pcm record device: No such file or directory\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, startText(2, 16, "take1.wav", false, "nosuchdev") +
                         promptText({}, 0, 0, 1, "take1.wav") +
                         promptText({}, 0, 0, 1, "take1.wav") + "Saving list and parameters\n");
    EXPECT_FALSE(fileExists(path("take1.wav")));
    EXPECT_EQ(readFile(path("tlist.txt")), "");
    // The header for one planned take, and no data.
    EXPECT_EQ(readFile(path("tunevat_temp.wav")), header(2, 16, kOneSecond * 4));
    // "m" says the same of the device, and writes nothing.
    unlink(path("tunevat_temp.wav").c_str());
    RunResult m = run("m\nq\n");
    EXPECT_EQ(m.err, r.err);
    EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
}

// The take file's header as planned, on either side of what a RIFF
// header's sizes state (4 GiB less its 36 bytes: 24347.89 sec of 44.1 kHz
// 16-bit stereo) and of what an RF64 file holds; the device does not
// exist, so nothing is recorded but the header.
TEST_F(RecordE2E, ATakesHeaderIsRiffOrRf64AsItsPlannedLengthNeeds)
{
    struct Case {
        const char *duration;
        const char *header;   // the take file's first four bytes; "" when refused
        bool bwf = false;     // with a bext chunk (650 bytes here), which the RIFF size counts
    } cases[] = {
        {"24347.8", "RIFF"},
        {"24347.884", "RIFF"},
        {"24347.9", "RF64"},
        {"26000000000000", "RF64"},
        {"27000000000000", ""},
        {"24347.8", "RIFF", true},
        {"24347.884", "RF64", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.duration) + (c.bwf ? " bwf" : ""));
        unlink(path("tunevat_temp.wav").c_str());
        settings(2, 16, c.duration, "take1.wav", "nosuchdev");
        if (c.bwf) writeFile(path("rcvat.txt"), readFile(path("rcvat.txt")) + "bwf\t1\n");
        RunResult r = run("r\nq\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.find("Recording..."), std::string::npos);
        EXPECT_FALSE(fileExists(path("take1.wav")));
        if (*c.header == '\0') {
            EXPECT_NE(r.out.find("A take of 26999999430656.00 sec is too long for a WAV file: at "
                                 "most 26143344775665.46 sec fit at these settings\n"),
                      std::string::npos)
                << r.out;
            EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
            continue;
        }
        std::string take = readFile(path("tunevat_temp.wav"));
        ASSERT_GE(take.size(), 4u);
        EXPECT_EQ(take.substr(0, 4), c.header);
        EXPECT_EQ(take.size(), (std::string(c.header) == "RIFF" ? 44u : 80u) + (c.bwf ? 650u : 0u));
        size_t afterFormat = std::string(c.header) == "RF64" ? 72 : 36;
        EXPECT_EQ(take.substr(afterFormat, 4), c.bwf ? "bext" : "data");
    }
}

// With bwf 1 a recording carries a bext chunk whose time reference is the
// time of day of its first frame, as libsndfile, ffprobe and t read it;
// the audio is the same; an append keeps the chunk and its time.
TEST_F(RecordE2E, BroadcastWavTakesCarryTheTimeOfTheirFirstFrame)
{
    if (std::string(TUNEVAT_SNDCHECK).empty()) GTEST_SKIP() << "built without libsndfile";
    settings(2, 16, "1", "take1.wav");
    writeFile(path("rcvat.txt"), readFile(path("rcvat.txt")) + "bwf\t1\n");
    time_t before = time(nullptr);
    ASSERT_EQ(run("r\n1\nq\n").status, 0);
    time_t after = time(nullptr);
    std::string file = readFile(path("take1.wav"));
    EXPECT_EQ(file.substr(36, 4) + file.substr(686, 4), "bextdata");
    EXPECT_EQ(le32(file, 690), (unsigned long)kTakeFrames * 4);
    EXPECT_TRUE(file.substr(694) == input(0, kTakeFrames));
    RunResult sf = runProgram(dir, {TUNEVAT_SNDCHECK, "bext", "take1.wav"});
    RunResult ff = runProgram(dir, {"ffprobe", "-v", "error", "-show_entries", "format_tags=time_reference",
                                    "-of", "default=nw=1:nk=1", "take1.wav"});
    unsigned long long reference = strtoull(sf.out.c_str(), nullptr, 10);
    EXPECT_EQ(ff.out, std::to_string(reference) + "\n") << ff.err;
    struct tm local;
    localtime_r(&before, &local);
    long started = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    long since = ((long)(reference / 44100) - started + 86400) % 86400;
    EXPECT_LE(since, (long)(after - before) + 1) << "recorded at " << reference / 44100 << " s of the day";
    std::string when = sf.out.substr(sf.out.find(' ') + 1, 19);   // "yyyy-mm-dd hh:mm:ss"
    EXPECT_EQ(sf.out.substr(sf.out.find(' ') + 20), " Tunevat\n");
    EXPECT_NE(run("t\nc\nq\n").out.find("  recorded: " + when + ", starts at "), std::string::npos);

    ASSERT_EQ(run("r\n4\n1\nq\n").status, 0);
    std::string appended = readFile(path("take1.wav"));
    EXPECT_EQ(runProgram(dir, {TUNEVAT_SNDCHECK, "bext", "take1.wav"}).out, sf.out);
    EXPECT_EQ(appended.substr(8, 686 - 8), file.substr(8, 686 - 8));   // the bext chunk whole
    EXPECT_TRUE(appended.substr(694) == input(0, kTakeFrames) + input(0, kTakeFrames));
}

}  // namespace
