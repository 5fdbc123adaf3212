// The track-list and playback commands as a user meets them: p and the
// play-by-number words, a, t, L, - and s, run through the built binary on
// the virtual sound card, with exact console text and the files on disk.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using Tracks = std::vector<std::string>;

const char kExit[] = "Exit without saving list and settings? (y,n)\n";
const char kSaving[] = "Saving list and parameters\n";
const char kWaitC[] = "\nEnter 'c' to continue\n";
const char kReloadMenu[] =
    "1 = Load list from file: tlist.txt\n2 = Enter new file name and load list\n3 = Return\n";

// Start-up with a settings file naming tlist.txt.
std::string startText(const std::string &listLine = "Opening existing list: tlist.txt\n")
{
    return bannerText() + "Reading rcvat.txt file\n" + paramBanner(2, 44100, 16, "default", "") +
           listLine + "Type h at any time to get a list of commands\n";
}

// The prompt with the out point at 1 s, as every test here sets it.
std::string prompt(const Tracks &tracks, const std::string &recordName = "")
{
    return promptText(tracks, 0, 1, 0, recordName);
}

// A track of under one block plays as one block: one clock line.
std::string played(const std::string &name)
{
    return "Playing " + name + " ...\n\rclock = 0.00 sec";
}

std::string removePrompt(int count)
{
    return "Enter a track (1-" + std::to_string(count) +
           ") to remove from list or '0' to return\n";
}

struct ListE2E : ::testing::Test {
    std::string dir;
    std::string card;
    // Distinct contents, so that the card shows which track it played.
    std::string a = patternBytes(1000 * 4, 21), b = patternBytes(900 * 4, 22),
                c = patternBytes(800 * 4, 23);

    void SetUp() override
    {
        dir = makeTempDir();
        card = writeVirtualCard(dir);
        writeFile(path("rcvat.txt"), "tlist\ttlist.txt\no\t1.000\n");
    }
    void TearDown() override { removeTree(dir); }
    std::string path(const std::string &name) const { return dir + "/" + name; }

    void list(const Tracks &tracks)
    {
        std::string text;
        for (const std::string &t : tracks) text += t + "\n";
        writeFile(path("tlist.txt"), text);
    }
    // Three stereo 16-bit tracks a.wav, b.wav, c.wav in the list.
    void threeTracks()
    {
        list({"a.wav", "b.wav", "c.wav"});
        writeFile(path("a.wav"), wavBytes(44100, 2, 16, a));
        writeFile(path("b.wav"), wavBytes(44100, 2, 16, b));
        writeFile(path("c.wav"), wavBytes(44100, 2, 16, c));
    }
    RunResult run(const std::string &input) { return runTunevat(dir, input, card); }
};

const Tracks kABC = {"a.wav", "b.wav", "c.wav"};

TEST_F(ListE2E, PAsksForTheTrackNumberAndPlaysIt)
{
    threeTracks();
    RunResult r = run("p\n2\nx\ny\n");
    EXPECT_EQ(r.out, startText() + prompt(kABC) + "Enter track number:\n" + played("b.wav") +
                         prompt(kABC) + kExit);
    ASSERT_EQ(playbackCount(dir), 1);
    EXPECT_TRUE(playedBytes(dir, 0) == b);
}

TEST_F(ListE2E, NumberWordsPlayTheirTrackAndSetTheCurrentOne)
{
    threeTracks();
    // 3p plays track 3 and pp replays it; p2 and 1p2 take the number
    // before their first p; a bare p still asks.
    RunResult r = run("3p\npp\np2\npp\n1p2\np\n3\nx\ny\n");
    EXPECT_EQ(r.out, startText() + prompt(kABC) + played("c.wav") + prompt(kABC) +
                         played("c.wav") + prompt(kABC) + played("b.wav") + prompt(kABC) +
                         played("b.wav") + prompt(kABC) + played("a.wav") + prompt(kABC) +
                         "Enter track number:\n" + played("c.wav") + prompt(kABC) + kExit);
    ASSERT_EQ(playbackCount(dir), 6);
    EXPECT_TRUE(playedBytes(dir, 0) == c);
    EXPECT_TRUE(playedBytes(dir, 1) == c);
    EXPECT_TRUE(playedBytes(dir, 2) == b);
    EXPECT_TRUE(playedBytes(dir, 3) == b);
    EXPECT_TRUE(playedBytes(dir, 4) == a);
    EXPECT_TRUE(playedBytes(dir, 5) == c);
}

TEST_F(ListE2E, BarePlayWordStartsWithTrackOne)
{
    threeTracks();
    RunResult r = run("pp\nx\ny\n");
    EXPECT_EQ(r.out, startText() + prompt(kABC) + played("a.wav") + prompt(kABC) + kExit);
    EXPECT_TRUE(playedBytes(dir, 0) == a);
}

TEST_F(ListE2E, NumbersOutsideTheTableArePassedOverSilently)
{
    threeTracks();
    RunResult r = run("1025p\n-3p\npp\n0p\n99999999999p\np\n1025\np\n-1\nx\ny\n");
    EXPECT_EQ(r.out, startText() + prompt(kABC) + prompt(kABC) + prompt(kABC) + prompt(kABC) +
                         prompt(kABC) + prompt(kABC) + "Enter track number:\n" + prompt(kABC) +
                         "Enter track number:\n" + prompt(kABC) + kExit);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(playbackCount(dir), 0);
    EXPECT_EQ(r.status, 0);
}

TEST_F(ListE2E, PlayWordsStayWholeForTheLoopsOwnTest)
{
    threeTracks();
    // qp and xp are play words naming no number: nothing plays, and the
    // loop must not read them as q or x.
    RunResult r = run("qp\nxp\n2p\nx\ny\n");
    EXPECT_EQ(r.out, startText() + prompt(kABC) + prompt(kABC) + prompt(kABC) + played("b.wav") +
                         prompt(kABC) + kExit);
    EXPECT_EQ(playbackCount(dir), 1);
}

TEST_F(ListE2E, NumberPastTheCountNamesAnEmptySlot)
{
    threeTracks();
    RunResult r = run("4p\n1024p\nx\ny\n");
    EXPECT_EQ(r.out, startText() + prompt(kABC) + "The file called  cannot be found!\n" +
                         prompt(kABC) + "The file called  cannot be found!\n" + prompt(kABC) +
                         kExit);
    EXPECT_EQ(playbackCount(dir), 0);
}

TEST_F(ListE2E, PAtEndOfInputPlaysNothingAndQuits)
{
    threeTracks();
    RunResult r = run("p\n");
    EXPECT_EQ(r.out, startText() + prompt(kABC) + "Enter track number:\n" + prompt(kABC) + kSaving);
    EXPECT_EQ(playbackCount(dir), 0);
    EXPECT_EQ(r.status, 0);
}

TEST_F(ListE2E, PlayAllPlaysEveryTrackAndGoesOnPastAMissingOne)
{
    list({"a.wav", "gone.wav", "c.wav"});
    writeFile(path("a.wav"), wavBytes(44100, 2, 16, a));
    std::string mono = c.substr(0, 1066 * 3);
    writeFile(path("c.wav"), wavBytes(44100, 1, 24, mono));
    Tracks t = {"a.wav", "gone.wav", "c.wav"};
    RunResult r = run("a\nx\ny\n");
    EXPECT_EQ(r.out, startText() + prompt(t) + "Playing all!\n" + "\nTrack 1\n" + played("a.wav") +
                         "\nTrack 2\n" + "The file called gone.wav cannot be found!\n" +
                         "\nTrack 3\n" + played("c.wav") + prompt(t) + kExit);
    ASSERT_EQ(playbackCount(dir), 2);
    EXPECT_TRUE(playedBytes(dir, 0) == a);
    std::string both;
    for (size_t k = 0; k < mono.size(); k += 3) both += mono.substr(k, 3) + mono.substr(k, 3);
    EXPECT_TRUE(playedBytes(dir, 1) == both);
}

TEST_F(ListE2E, PlayAllWithAnEmptyListOnlySaysSo)
{
    list({});
    RunResult r = run("a\nx\ny\n");
    EXPECT_EQ(r.out, startText() + prompt({}) + "Playing all!\n" + prompt({}) + kExit);
    EXPECT_EQ(playbackCount(dir), 0);
}

TEST_F(ListE2E, AttributesOfGoodMissingAndBrokenFilesThenWaitForC)
{
    list({"good.wav", "missing.wav", "broken.wav", "mono.wav"});
    writeFile(path("good.wav"), wavBytes(44100, 2, 16, patternBytes(1000 * 4, 1)));
    std::string broken = wavBytes(44100, 2, 16, patternBytes(400, 2));
    broken.replace(36, 4, "junk");
    writeFile(path("broken.wav"), broken);
    writeFile(path("mono.wav"), wavBytes(8000, 1, 24, patternBytes(4000 * 3, 3)));
    Tracks t = {"good.wav", "missing.wav", "broken.wav", "mono.wav"};
    RunResult r = run("t\nx\nC\nc\nx\ny\n");
    EXPECT_EQ(r.out, startText() + prompt(t) +
                         "\nFile: good.wav\n  channels: 2\n  bits: 16\n  samplerate: 44100\n"
                         "  length (sec): 0.023\n"
                         "The file called missing.wav cannot be found!\n"
                         "\nFile: broken.wav\n  channels: 2\n  bits: 16\n  samplerate: 44100\n"
                         "Can't find data block in wave file!\n"
                         "\nFile: mono.wav\n  channels: 1\n  bits: 24\n  samplerate: 8000\n"
                         "  length (sec): 0.500\n" +
                         kWaitC + kWaitC + kWaitC + "\n" + prompt(t) + kExit);
    EXPECT_EQ(playbackCount(dir), 0);
}

TEST_F(ListE2E, AttributesWaitEvenWhenEveryFileFailedAndEndOfInputEndsTheWait)
{
    list({"nothere.wav"});
    RunResult r = run("t\n");
    EXPECT_EQ(r.out, startText() + prompt({"nothere.wav"}) +
                         "The file called nothere.wav cannot be found!\n" + kWaitC + "\n" +
                         prompt({"nothere.wav"}) + kSaving);
    EXPECT_EQ(r.status, 0);
}

TEST_F(ListE2E, AttributesWithAnEmptyListStillWait)
{
    list({});
    RunResult r = run("t\nc\nx\ny\n");
    EXPECT_EQ(r.out, startText() + prompt({}) + kWaitC + "\n" + prompt({}) + kExit);
}

TEST_F(ListE2E, ReloadOneLoadsTheListFileAgain)
{
    threeTracks();
    RunResult r = run("-\n2\nL\n1\nx\ny\n");
    Tracks ac = {"a.wav", "c.wav"};
    EXPECT_EQ(r.out, startText() + prompt(kABC) + removePrompt(3) + prompt(ac) + kReloadMenu +
                         "Opening existing list: tlist.txt\n" + prompt(kABC) + kExit);
}

TEST_F(ListE2E, ReloadTwoLoadsANewListFile)
{
    threeTracks();
    writeFile(path("other.txt"), "x.wav\n\n\ny.wav");
    RunResult r = run("L\n2\nother.txt\nx\ny\n");
    Tracks xy = {"x.wav", "y.wav"};
    EXPECT_EQ(r.out, startText() + prompt(kABC) + kReloadMenu + "Enter file name containing list\n" +
                         "Opening existing list: other.txt\n" + prompt(xy) + kExit);
}

TEST_F(ListE2E, ReloadOfAMissingFileKeepsTheTableAndSavesItUnderTheNewName)
{
    threeTracks();
    RunResult r = run("L\n2\nfresh.txt\ns\nx\ny\n");
    EXPECT_EQ(r.out, startText() + prompt(kABC) + kReloadMenu + "Enter file name containing list\n" +
                         "Creating a new list: fresh.txt\n" + prompt(kABC) +
                         "Saved track list (fresh.txt)\nSaved settings\n" + prompt(kABC) + kExit);
    EXPECT_EQ(readFile(path("fresh.txt")), "a.wav\nb.wav\nc.wav\n");
    EXPECT_EQ(readFile(path("rcvat.txt")),
              "dv\tdefault\nsr\t44100\nbits\t16\nch\t2\ni\t0.000\no\t1.000\nd\t0.000\n"
              "tlist\tfresh.txt\n");
}

// L 2 with a name that is no list, or that would put the list over the
// recording: one line says why, the list keeps its own name (s saves it
// there), and the refused file is left byte for byte.
TEST_F(ListE2E, ReloadRefusesANameThatIsNoListAndKeepsItsOwn)
{
    const std::string wav = wavBytes(44100, 2, 16, a), nul("a.wav\n\0\n", 8);
    struct Case {
        std::string input, said, recordName;
    } cases[] = {
        {"L 2 song.wav", "song.wav is a WAV file, not a track list\n", ""},
        {"L 2 nul.txt", "nul.txt holds NUL bytes, not a track list\n", ""},
        {"f song L 2 song.wav", "song.wav is the recording file, not a track list\n", "song.wav"},
        {"L 2 " + std::string(300, 'n'), "List names are at most 255 characters\n", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input.substr(0, 20));
        writeFile(path("rcvat.txt"), "tlist\ttlist.txt\no\t1.000\n");
        threeTracks();
        writeFile(path("song.wav"), wav);
        writeFile(path("nul.txt"), nul);
        RunResult r = run(c.input + " s q\n");
        std::string f = c.recordName.empty() ? "" : "Enter recording file name:\n" + prompt(kABC, c.recordName);
        EXPECT_EQ(r.out, startText() + prompt(kABC) + f + kReloadMenu + "Enter file name containing list\n" + c.said +
                             prompt(kABC, c.recordName) + "Saved track list (tlist.txt)\nSaved settings\n" +
                             prompt(kABC, c.recordName) + kSaving);
        EXPECT_TRUE(readFile(path("song.wav")) == wav && readFile(path("nul.txt")) == nul);
        EXPECT_EQ(readFile(path("tlist.txt")), "a.wav\nb.wav\nc.wav\n");
    }
}

TEST_F(ListE2E, ACrLfListLoadsPlaysAndIsSavedWithLineFeeds)
{
    threeTracks();
    writeFile(path("tlist.txt"), "a.wav\r\nb.wav\r\n\r\nc.wav\r\n");
    RunResult r = run("2p\nq\n");
    EXPECT_EQ(r.out, startText() + prompt(kABC) + played("b.wav") + prompt(kABC) + kSaving);
    ASSERT_EQ(playbackCount(dir), 1);
    EXPECT_TRUE(playedBytes(dir, 0) == b);
    EXPECT_EQ(readFile(path("tlist.txt")), "a.wav\nb.wav\nc.wav\n");
}

TEST_F(ListE2E, ReloadThreeOrAWordThatIsNoNumberChangesNothing)
{
    threeTracks();
    // F 2 leaves 2 as the selection; the word z at the reload prompt must
    // not act on it.
    RunResult r = run("L\n3\nF\n2\nL\nz\nx\ny\n");
    EXPECT_EQ(r.out, startText() + prompt(kABC) + kReloadMenu + prompt(kABC) +
                         "Select a file in list for record filename (1-3)\n" +
                         prompt(kABC, "b.wav") + kReloadMenu + prompt(kABC, "b.wav") +
                         prompt(kABC, "b.wav") + kExit);
}

TEST_F(ListE2E, ReloadAtEndOfInputLoadsNothing)
{
    threeTracks();
    RunResult r = run("L\n2\n");
    EXPECT_EQ(r.out, startText() + prompt(kABC) + kReloadMenu + "Enter file name containing list\n" +
                         prompt(kABC) + kSaving);
    // The list name did not change: the list went back to its own file.
    EXPECT_EQ(readFile(path("tlist.txt")), "a.wav\nb.wav\nc.wav\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(ListE2E, RemoveTakesOneTrackOut)
{
    threeTracks();
    RunResult r = run("-\n2\n2p\nx\ny\n");
    Tracks ac = {"a.wav", "c.wav"};
    EXPECT_EQ(r.out, startText() + prompt(kABC) + removePrompt(3) + prompt(ac) + played("c.wav") +
                         prompt(ac) + kExit);
    // Track 2 is now c.wav.
    EXPECT_TRUE(playedBytes(dir, 0) == c);
}

TEST_F(ListE2E, RemoveOfTheLastTrackAndOfTheOnlyTrack)
{
    threeTracks();
    RunResult r = run("-\n3\n-\n1\n-\n1\n3p\nx\ny\n");
    EXPECT_EQ(r.out, startText() + prompt(kABC) + removePrompt(3) + prompt({"a.wav", "b.wav"}) +
                         removePrompt(2) + prompt({"b.wav"}) + removePrompt(1) + prompt({}) +
                         "The file called  cannot be found!\n" + prompt({}) + kExit);
}

TEST_F(ListE2E, RemoveOutOfRangeOrNoNumberChangesNothing)
{
    threeTracks();
    RunResult r = run("-\n0\n-\n4\n-\n-1\nF\n2\n-\nz\nx\ny\n");
    EXPECT_EQ(r.out, startText() + prompt(kABC) + removePrompt(3) + prompt(kABC) + removePrompt(3) +
                         prompt(kABC) + removePrompt(3) + prompt(kABC) +
                         "Select a file in list for record filename (1-3)\n" +
                         prompt(kABC, "b.wav") + removePrompt(3) + prompt(kABC, "b.wav") +
                         prompt(kABC, "b.wav") + kExit);
}

TEST_F(ListE2E, RemoveAtEndOfInputRemovesNothing)
{
    threeTracks();
    RunResult r = run("-\n");
    EXPECT_EQ(r.out, startText() + prompt(kABC) + removePrompt(3) + prompt(kABC) + kSaving);
    EXPECT_EQ(readFile(path("tlist.txt")), "a.wav\nb.wav\nc.wav\n");
}

TEST_F(ListE2E, SaveWritesTheListAndTheSettings)
{
    threeTracks();
    RunResult r = run("-\n1\ni\n0.5\ns\nx\ny\n");
    Tracks bc = {"b.wav", "c.wav"};
    EXPECT_EQ(r.out, startText() + prompt(kABC) + removePrompt(3) + prompt(bc) +
                         "Enter start time in seconds:\n" + promptText(bc, 0.5f, 1, 0, "") +
                         "Saved track list (tlist.txt)\nSaved settings\n" +
                         promptText(bc, 0.5f, 1, 0, "") + kExit);
    EXPECT_EQ(readFile(path("tlist.txt")), "b.wav\nc.wav\n");
    EXPECT_EQ(readFile(path("rcvat.txt")),
              "dv\tdefault\nsr\t44100\nbits\t16\nch\t2\ni\t0.500\no\t1.000\nd\t0.000\n"
              "tlist\ttlist.txt\n");
}

TEST_F(ListE2E, SaveOfAnEmptyListWritesAnEmptyFile)
{
    RunResult r = run("s\nx\ny\n");
    EXPECT_EQ(r.out, startText("Creating a new list: tlist.txt\n") + prompt({}) +
                         "Saved track list (tlist.txt)\nSaved settings\n" + prompt({}) + kExit);
    EXPECT_TRUE(fileExists(path("tlist.txt")));
    EXPECT_EQ(fileSize(path("tlist.txt")), 0);
}

TEST_F(ListE2E, SaveDoesNotClaimAListItCouldNotWrite)
{
    threeTracks();
    RunResult r = run("L\n2\nnodir/list.txt\ns\nx\ny\n");
    EXPECT_EQ(r.out, startText() + prompt(kABC) + kReloadMenu + "Enter file name containing list\n" +
                         "Creating a new list: nodir/list.txt\n" + prompt(kABC) +
                         "Unable to open nodir/list.txt\nSaved settings\n" + prompt(kABC) + kExit);
    EXPECT_EQ(readFile(path("rcvat.txt")),
              "dv\tdefault\nsr\t44100\nbits\t16\nch\t2\ni\t0.000\no\t1.000\nd\t0.000\n"
              "tlist\tnodir/list.txt\n");
}

TEST_F(ListE2E, SaveDoesNotClaimSettingsItCouldNotWrite)
{
    threeTracks();
    // The new settings file is written beside the old one, but it cannot
    // be put in its place: the rename onto rcvat.txt fails (the shim in
    // tests/faultshim.cpp makes it fail as a failing disk would).
    const char *asan = getenv("ASAN_OPTIONS");
    RunResult r = runProgram(dir,
                             {"env", std::string("LD_PRELOAD=") + TUNEVAT_FAULTSHIM,
                              "TV_FAULT_RENAME=rcvat.txt",
                              std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                                  ":verify_asan_link_order=0",
                              TUNEVAT_BIN},
                             "-\n1\ns\nx\ny\n", card);
    Tracks bc = {"b.wav", "c.wav"};
    EXPECT_EQ(r.out, startText() + prompt(kABC) + removePrompt(3) + prompt(bc) +
                         "Saved track list (tlist.txt)\nUnable to open rcvat.txt\n" + prompt(bc) +
                         kExit);
    EXPECT_EQ(readFile(path("tlist.txt")), "b.wav\nc.wav\n");
    EXPECT_EQ(readFile(path("rcvat.txt")), "tlist\ttlist.txt\no\t1.000\n");
    // The new file that could not be put in place is gone.
    EXPECT_EQ(listDir(dir), (Tracks{"a.wav", "asound.conf", "b.wav", "c.wav", "rcvat.txt",
                                    "tlist.txt"}));
}

}  // namespace
