// The record command on the virtual sound card: its prompts, the
// existing-file menu, the append check, how the take file becomes the
// target, and the track list step.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "e2e_record_util.h"

namespace {

using namespace rec;

const std::string kOldAudio = patternBytes(8000, 7);   // 2000 stereo frames

struct RecordCommandE2E : RecordE2E {
    // An existing take1.wav of 2000 frames in the given format.
    std::string existing(unsigned rate = 44100, unsigned channels = 2, unsigned bits = 16)
    {
        std::string bytes = wavBytes(rate, channels, bits, kOldAudio);
        writeFile(path("take1.wav"), bytes);
        return bytes;
    }
    std::vector<std::string> listLines()
    {
        std::vector<std::string> lines;
        std::string text = readFile(path("tlist.txt"));
        size_t at = 0, nl;
        while ((nl = text.find('\n', at)) != std::string::npos) {
            lines.push_back(text.substr(at, nl - at));
            at = nl + 1;
        }
        return lines;
    }
};

const std::string kOneTake = takeLines(kOneSecond) + report(kStereoPeaks) + takeMenu();

TEST_F(RecordCommandE2E, AsksForNameAndForADurationAboveZero)
{
    settings(2, 16, "0", "");
    RunResult r = run("r\ntake1\n0\n-3\nabc\n0.5\n1\nq\n");
    EXPECT_EQ(r.status, 0);
    std::string ask = "Enter the length of recording time in seconds:\n";
    EXPECT_EQ(r.out, startText(2, 16, "", false) + promptText({}, 0, 0, 0, "") +
                         "Enter the recording file name:\n" + ask + ask + ask + ask +
                         takeLines(22050) + report(kStereoPeaks) + takeMenu() +
                         promptText({"take1.wav"}, 0, 0, 0.5f, "take1.wav") +
                         "Saving list and parameters\n");
    // Six periods reach half a second.
    EXPECT_EQ(readFile(path("take1.wav")), wavBytes(44100, 2, 16, input(0, 6 * kPeriod)));
    std::string saved = readFile(path("rcvat.txt"));
    EXPECT_NE(saved.find("d\t0.500\n"), std::string::npos);
    EXPECT_NE(saved.find("rname\ttake1.wav\n"), std::string::npos);
}

// A typed name always gets ".wav"; one longer than 123 characters is
// refused, not cut: cut inside a folder's name it would record into that
// folder. The list file is no recording either.
TEST_F(RecordCommandE2E, TypedNamesAlwaysGetWavAndTooLongOnesAreRefused)
{
    settings(2, 16, "1", "");
    std::string folder(121, 'd');
    ASSERT_EQ(mkdir(path(folder).c_str(), 0755), 0);
    std::string longName = folder + "/" + std::string(78, 'n');   // 200 characters
    RunResult r = run("r\n" + longName + "\n1\nq\n");
    EXPECT_NE(r.out.find("Enter the recording file name:\nRecording names are at most 123 "
                         "characters before .wav\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Recording..."), std::string::npos);
    EXPECT_TRUE(listDir(path(folder)).empty());
    EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));

    r = run("f take1.wav r\n1\nq\n");
    EXPECT_TRUE(fileExists(path("take1.wav.wav")));
    // The list file is refused wherever a recording name is typed.
    writeFile(path("list.wav"), "");
    writeFile(path("other.wav"), wavBytes(44100, 2, 16, "abcd"));
    r = run("L 2 list.wav f list f other r 2 list\n5\nq\n");
    EXPECT_NE(r.out.find("Enter recording file name:\nlist.wav is the track list file, not a "
                         "recording\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Enter a new filename:\nlist.wav is the track list file, not a "
                         "recording\nother.wav exists\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(readFile(path("list.wav")), "");
}

TEST_F(RecordCommandE2E, EndOfInputAtTheNamePromptRecordsNothing)
{
    settings(2, 16, "0", "");
    RunResult r = run("r\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, startText(2, 16, "", false) + promptText({}, 0, 0, 0, "") +
                         "Enter the recording file name:\n" + promptText({}, 0, 0, 0, "") +
                         "Saving list and parameters\n");
    EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
}

TEST_F(RecordCommandE2E, EndOfInputAtTheDurationPromptRecordsNothing)
{
    settings(2, 16, "0", "take1.wav");
    RunResult r = run("r\nlong\n");
    EXPECT_EQ(r.status, 0);
    std::string ask = "Enter the length of recording time in seconds:\n";
    EXPECT_EQ(r.out, startText(2, 16, "take1.wav", false) + promptText({}, 0, 0, 0, "take1.wav") +
                         ask + ask + promptText({}, 0, 0, 0, "take1.wav") +
                         "Saving list and parameters\n");
    EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
}

TEST_F(RecordCommandE2E, MenuRepeatsForOtherWordsAndFiveGivesUp)
{
    settings(2, 16, "1", "take1.wav");
    std::string old = existing();
    RunResult r = run("r\n6\nx\n11\n5\nq\n");
    std::string menu = existingMenu("take1.wav");
    EXPECT_EQ(r.out, startText(2, 16, "take1.wav", false) + promptText({}, 0, 0, 1, "take1.wav") +
                         menu + menu + menu + menu + promptText({}, 0, 0, 1, "take1.wav") +
                         "Saving list and parameters\n");
    EXPECT_EQ(readFile(path("take1.wav")), old);
    EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
}

TEST_F(RecordCommandE2E, EndOfInputAtTheMenuGivesUp)
{
    settings(2, 16, "1", "take1.wav");
    std::string old = existing();
    RunResult r = run("r\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, startText(2, 16, "take1.wav", false) + promptText({}, 0, 0, 1, "take1.wav") +
                         existingMenu("take1.wav") + promptText({}, 0, 0, 1, "take1.wav") +
                         "Saving list and parameters\n");
    EXPECT_EQ(readFile(path("take1.wav")), old);
}

TEST_F(RecordCommandE2E, ADifferentNameIsCheckedAgain)
{
    settings(2, 16, "1", "take1.wav");
    std::string old = existing();
    writeFile(path("take2.wav"), old);
    RunResult r = run("r\n2\ntake2\n2\nfresh\n1\nq\n");
    EXPECT_EQ(r.out, startText(2, 16, "take1.wav", false) + promptText({}, 0, 0, 1, "take1.wav") +
                         existingMenu("take1.wav") + "Enter a new filename:\n" +
                         existingMenu("take2.wav") + "Enter a new filename:\n" + kOneTake +
                         promptText({"fresh.wav"}, 0, 0, 1, "fresh.wav") +
                         "Saving list and parameters\n");
    EXPECT_EQ(readFile(path("fresh.wav")), wavBytes(44100, 2, 16, input(0, kTakeFrames)));
    EXPECT_EQ(readFile(path("take1.wav")), old);
    EXPECT_EQ(readFile(path("take2.wav")), old);
}

TEST_F(RecordCommandE2E, ThreePlaysTheTargetAndShowsTheMenuAgain)
{
    settings(2, 16, "1", "take1.wav");
    std::string old = existing();
    RunResult r = run("i\n0.5\no\n0.6\nr\n3\n5\nq\n");
    EXPECT_NE(r.out.find(existingMenu("take1.wav") + "Playing take1.wav ...\nPlaying take1.wav ...\n"
                         "\rclock = 0.00 sec" + existingMenu("take1.wav")),
              std::string::npos);
    // From the start, whatever the in and out points say.
    ASSERT_EQ(playbackCount(dir), 1);
    EXPECT_EQ(playedBytes(dir, 0), kOldAudio);
    EXPECT_EQ(readFile(path("take1.wav")), old);
}

TEST_F(RecordCommandE2E, ReplacingWithATakeThatKeepsNothingLeavesTheOldFile)
{
    settings(2, 16, "1", "take1.wav");
    std::string old = existing();
    RunResult r = run("r\n1\n4\nq\n");
    EXPECT_NE(r.out.find(existingMenu("take1.wav") + kOneTake), std::string::npos);
    EXPECT_EQ(readFile(path("take1.wav")), old);
    EXPECT_EQ(readFile(path("tlist.txt")), "");
}

TEST_F(RecordCommandE2E, ReplacingAListedFileDoesNotListItTwice)
{
    settings(2, 16, "1", "take1.wav");
    existing();
    writeFile(path("tlist.txt"), "other.wav\ntake1.wav\n");
    RunResult r = run("r\n1\n1\nq\n");
    EXPECT_EQ(readFile(path("take1.wav")), wavBytes(44100, 2, 16, input(0, kTakeFrames)));
    EXPECT_EQ(readFile(path("tlist.txt")), "other.wav\ntake1.wav\n");
    EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
}

TEST_F(RecordCommandE2E, ListNamesAreComparedExactly)
{
    settings(2, 16, "1", "take1.wav");
    writeFile(path("tlist.txt"), "Take1.wav\n");
    run("r\n1\nq\n");
    EXPECT_EQ(readFile(path("tlist.txt")), "Take1.wav\ntake1.wav\n");
}

TEST_F(RecordCommandE2E, AppendGrowsAMatchingTargetByTheNewAudio)
{
    settings(2, 16, "1", "take1.wav");
    existing();
    RunResult r = run("r\n4\n2\n1\nq\n");
    EXPECT_NE(r.out.find(existingMenu("take1.wav") + kOneTake + kOneTake +
                         "Append file is 356668 bytes\n"),
              std::string::npos);
    std::string file = readFile(path("take1.wav"));
    EXPECT_EQ(file, wavBytes(44100, 2, 16, kOldAudio + input(0, kOneSecond) +
                                               input(kTakeFrames, kTakeFrames)));
    EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
    EXPECT_EQ(readFile(path("tlist.txt")), "take1.wav\n");
}

TEST_F(RecordCommandE2E, AppendAfterDeletingTheLastTakeAddsOnlyTheKeptOne)
{
    settings(2, 16, "1", "take1.wav");
    existing();
    run("r\n4\n2\n4\nq\n");
    EXPECT_EQ(readFile(path("take1.wav")), wavBytes(44100, 2, 16, kOldAudio + input(0, kOneSecond)));
}

TEST_F(RecordCommandE2E, AppendPutsNewAudioBeforeTrailingChunks)
{
    settings(2, 16, "1", "take1.wav");
    std::string list = std::string("LIST", 4) + std::string("\x12\x00\x00\x00", 4) + "INFOISFT" +
                       std::string("\x05\x00\x00\x00", 4) + std::string("sox\0\0\0", 6);   // 26 bytes
    ASSERT_EQ(list.size(), 26u);
    std::string plain = wavBytes(44100, 2, 16, kOldAudio);
    std::string withTail = plain + list;
    withTail[4] = (char)((withTail.size() - 8) & 0xff);
    withTail[5] = (char)(((withTail.size() - 8) >> 8) & 0xff);
    writeFile(path("take1.wav"), withTail);
    RunResult r = run("r\n4\n1\nq\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(existingMenu("take1.wav") + kOneTake + "Append file is " +
                         std::to_string(44 + kTakeFrames * 4) + " bytes\n"),
              std::string::npos);

    std::string expected = wavBytes(44100, 2, 16, kOldAudio + input(0, kTakeFrames)) + list;
    unsigned long riff = expected.size() - 8;
    for (int i = 0; i < 4; ++i) expected[4 + (size_t)i] = (char)((riff >> (8 * i)) & 0xff);
    EXPECT_EQ(readFile(path("take1.wav")), expected);
    RunResult soxi = runProgram(dir, {"soxi", "-s", "take1.wav"});
    EXPECT_EQ(soxi.out, std::to_string(2000 + kTakeFrames) + "\n") << soxi.err;
    EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
    EXPECT_EQ(readFile(path("tlist.txt")), "take1.wav\n");
}

std::string mismatchRun(RecordCommandE2E *t, unsigned rate, unsigned channels, unsigned bits,
                        std::string *old)
{
    t->settings(2, 16, "1", "take1.wav");
    *old = t->existing(rate, channels, bits);
    RunResult r = t->run("r\n4\nx\nC\nc\nq\n");
    return r.out;
}

TEST_F(RecordCommandE2E, AppendMismatchesPrintTheirLinesAndWaitForC)
{
    const std::string wait = "Enter 'c' to continue\n";
    const std::string rateLine =
        "You cannot record into this file until you change the recording samplerate to 48000\n";
    const std::string bitsLine =
        "You cannot record into this file until you change the recording bit depth to 24\n";
    const std::string chLine =
        "You cannot record into this file until you change the recording channels to 1\n";
    // Formats that no setting can record are refused at once, saying what
    // they hold, rather than asking for a setting that does not exist.
    const std::string cannot = "Cannot record at the end of take1.wav: it holds ";
    struct Case {
        unsigned rate, channels, bits;
        std::string lines;
        bool waits;
    } cases[] = {{48000, 2, 16, rateLine, true},
                 {44100, 2, 24, bitsLine, true},
                 {44100, 1, 16, chLine, true},
                 {48000, 1, 24, rateLine + bitsLine + chLine, true},
                 {44100, 2, 8, cannot + "8-bit samples\n", false},
                 {44100, 6, 16, cannot + "6 channels\n", false},
                 {48000, 3, 32, cannot + "3 channels of 32-bit samples\n", false}};
    for (const Case &c : cases) {
        std::string old;
        std::string out = mismatchRun(this, c.rate, c.channels, c.bits, &old);
        std::string after = promptText({}, 0, 0, 1, "take1.wav");
        EXPECT_NE(out.find(existingMenu("take1.wav") + c.lines + (c.waits ? wait + wait + wait : "") +
                           after),
                  std::string::npos)
            << out;
        EXPECT_EQ(out.find("Recording..."), std::string::npos);
        EXPECT_EQ(readFile(path("take1.wav")), old);
        EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
        EXPECT_EQ(readFile(path("tlist.txt")), "");
    }
}

TEST_F(RecordCommandE2E, AppendToAFileWithoutAudioChunkRecordsNothing)
{
    settings(2, 16, "1", "take1.wav");
    writeFile(path("take1.wav"), "not a wave file at all");
    RunResult r = run("r\n4\nq\n");
    EXPECT_NE(r.out.find(existingMenu("take1.wav") + "Can't find format chunk in wave file!\n" +
                         promptText({}, 0, 0, 1, "take1.wav")),
              std::string::npos);
    EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
}

TEST_F(RecordCommandE2E, AppendPastTwoGiBIsNoLongerRefusedBeforeRecording)
{
    settings(2, 16, "1", "take1.wav");
    existing();
    // A sparse file whose audio runs to just below the old 2 GiB limit: a
    // target grows on (turning RF64 past 4 GiB). The take is deleted, so
    // nothing is copied.
    ASSERT_EQ(truncate(path("take1.wav").c_str(), 2147483000L), 0);
    RunResult r = run("r\n4\n4\nq\n");
    EXPECT_EQ(r.out.find("cannot take another"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Recording..."), std::string::npos);
    EXPECT_EQ(fileSize(path("take1.wav")), 2147483000L);
}

TEST_F(RecordCommandE2E, MissingDeviceLeavesAnExistingTargetAlone)
{
    settings(2, 16, "1", "take1.wav", "nosuchdev");
    std::string old = existing();
    RunResult r = run("r\n1\nq\n");
    EXPECT_NE(r.err.find("unable to open pcm record device: "), std::string::npos);
    EXPECT_EQ(readFile(path("take1.wav")), old);
    EXPECT_EQ(fileSize(path("tunevat_temp.wav")), 44);
    EXPECT_EQ(readFile(path("tlist.txt")), "");
}

TEST_F(RecordCommandE2E, ATargetThatCannotTakeTheRenameKeepsTheTakeFile)
{
    settings(2, 16, "1", "take1.wav");
    ASSERT_EQ(mkdir(path("take1.wav").c_str(), 0755), 0);
    RunResult r = run("r\n1\n1\nq\n");
    EXPECT_NE(r.out.find(kOneTake + "Cannot move tunevat_temp.wav to take1.wav: Is a directory\n"
                                    "The recording is kept in tunevat_temp.wav\n"),
              std::string::npos)
        << r.out;
    // The take file is a finished recording the user can rescue.
    EXPECT_EQ(readFile(path("tunevat_temp.wav")), wavBytes(44100, 2, 16, input(0, kTakeFrames)));
    EXPECT_EQ(readFile(path("tlist.txt")), "");
}

TEST_F(RecordCommandE2E, AnUnreadableTargetStillGetsTheMenu)
{
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    settings(2, 16, "1", "take1.wav");
    std::string old = existing();
    ASSERT_EQ(chmod(path("take1.wav").c_str(), 0), 0);
    RunResult r = run("r\n5\nq\n");
    EXPECT_NE(r.out.find(existingMenu("take1.wav")), std::string::npos);
    chmod(path("take1.wav").c_str(), 0644);
    EXPECT_EQ(readFile(path("take1.wav")), old);
}

TEST_F(RecordCommandE2E, ATargetOnAnotherFileSystemIsCopied)
{
    struct stat here, shm;
    if (stat(dir.c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    char other[] = "/dev/shm/tunevat-test-XXXXXX";
    ASSERT_NE(mkdtemp(other), nullptr);
    std::string target = std::string(other) + "/far.wav";
    settings(2, 16, "1", target);
    RunResult r = run("r\n1\nq\n");
    EXPECT_EQ(readFile(target), wavBytes(44100, 2, 16, input(0, kTakeFrames)));
    EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
    EXPECT_EQ(readFile(path("tlist.txt")), target + "\n");
    removeTree(other);
}

TEST_F(RecordCommandE2E, TheTakeFileItselfIsNotATarget)
{
    settings(2, 16, "1", "tunevat_temp.wav");
    RunResult r = run("r\nq\n");
    EXPECT_NE(r.out.find("tunevat_temp.wav is where takes are recorded; choose another name\n"),
              std::string::npos);
    EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
}

TEST_F(RecordCommandE2E, AFullTrackTableTakesNoMoreNames)
{
    std::string list;
    for (int i = 0; i < 1022; ++i) list += "t" + std::to_string(i) + ".wav\n";
    writeFile(path("tlist.txt"), list);
    settings(2, 16, "1", "a.wav");
    RunResult r = run("r\n1\nf\nb\nr\n1\nf\nc\nr\n1\nq\n");
    EXPECT_NE(r.out.find("The track list is full (1024 tracks): c.wav was not added\n"),
              std::string::npos);
    EXPECT_TRUE(fileExists(path("c.wav")));
    EXPECT_EQ(readFile(path("tlist.txt")), list + "a.wav\nb.wav\n");
}

TEST_F(RecordCommandE2E, ASessionOfRecordingsLeavesNoTakeFileAndNoDuplicates)
{
    settings(2, 16, "1", "take1.wav");
    // New, replace, append, then another name.
    RunResult r = run("r\n1\nr\n1\n1\nr\n4\n1\nf\ntake2\nr\n1\nq\n");
    EXPECT_EQ(r.status, 0);
    std::string take = input(0, kTakeFrames);   // each recording opens the card afresh
    EXPECT_EQ(readFile(path("take1.wav")), wavBytes(44100, 2, 16, take + take));
    EXPECT_EQ(readFile(path("take2.wav")), wavBytes(44100, 2, 16, take));
    EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
    EXPECT_EQ(readFile(path("tlist.txt")), "take1.wav\ntake2.wav\n");
}

}  // namespace
