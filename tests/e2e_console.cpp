// The console's start-up, parameter commands, menus and exits, run as a
// user would: the built binary in a scratch directory with scripted input.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

struct ConsoleE2E : ::testing::Test {
    std::string dir;
    void SetUp() override { dir = makeTempDir(); }
    void TearDown() override { removeTree(dir); }
    std::string path(const std::string &name) const { return dir + "/" + name; }
    // A settings file naming the list, so that no question is asked.
    void settings(const std::string &extra = "") { writeFile(path("rcvat.txt"), "tlist\ttlist.txt\n" + extra); }
};

const std::vector<std::string> kNone;
const std::string kHint = "Type h at any time to get a list of commands\n";
const std::string kSaving = "Saving list and parameters\n";
const std::string kDefaultSettings =
    "dv\tdefault\nsr\t44100\nbits\t16\nch\t2\ni\t0.000\no\t0.000\nd\t0.000\ntlist\ttlist.txt\n";

// Start-up with a settings file that names the list.
std::string startWithSettings(const std::string &corrections = "", int ch = 2, unsigned rate = 44100,
                              unsigned bits = 16, const std::string &dev = "default",
                              const std::string &file = "", const std::string &listLine = "Creating a new list: tlist.txt\n")
{
    return bannerText() + "Reading rcvat.txt file\n" + corrections + paramBanner(ch, rate, bits, dev, file) +
           listLine + kHint;
}

std::string status(float in = 0, float out = 0, float dur = 0, const std::string &name = "")
{
    return promptText(kNone, in, out, dur, name);
}

TEST_F(ConsoleE2E, FirstStartAsksForListAndQuitSavesEightLines)
{
    RunResult r = runTunevat(dir, "tlist.txt\nq\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, firstStartText() + status() + kSaving);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(path("rcvat.txt")), kDefaultSettings);
    EXPECT_TRUE(fileExists(path("tlist.txt")));
    EXPECT_EQ(fileSize(path("tlist.txt")), 0);
}

TEST_F(ConsoleE2E, SettingsNamingAListSuppressTheQuestion)
{
    writeFile(path("rcvat.txt"), "dv\thw:1,0\nsr\t48000\nbits\t24\nch\t1\ni\t1.5\no\t2.25\nd\t3\n"
                                 "tlist\tmine.txt\nrname\ttake.wav\n");
    writeFile(path("mine.txt"), "a.wav\nb.wav\n");
    RunResult r = runTunevat(dir, "q\n");
    EXPECT_EQ(r.out, bannerText() + "Reading rcvat.txt file\n" + paramBanner(1, 48000, 24, "hw:1,0", "take.wav") +
                         "Opening existing list: mine.txt\n" + kHint +
                         promptText({"a.wav", "b.wav"}, 1.5f, 2.25f, 3, "take.wav") + kSaving);
    EXPECT_EQ(readFile(path("rcvat.txt")), "dv\thw:1,0\nsr\t48000\nbits\t24\nch\t1\ni\t1.500\no\t2.250\n"
                                           "d\t3.000\ntlist\tmine.txt\nrname\ttake.wav\n");
    EXPECT_EQ(readFile(path("mine.txt")), "a.wav\nb.wav\n");
}

TEST_F(ConsoleE2E, IllegalChannelsAndBitsAreCorrected)
{
    settings("ch\t3\nbits\t20\n");
    RunResult r = runTunevat(dir, "q\n");
    EXPECT_EQ(r.out, startWithSettings("Channels were set to illegal value, setting to 2.\n"
                                       "Bits were set to illegal value, setting to 16.\n") +
                         status() + kSaving);

    settings("ch\t0\nbits\t24\n");
    r = runTunevat(dir, "q\n");
    EXPECT_EQ(r.out, startWithSettings("Channels were set to illegal value, setting to 2.\n", 2, 44100, 24, "default",
                                       "", "Opening existing list: tlist.txt\n") +
                         status() + kSaving);

    // Pre-roll past 30 s, a trigger above 0 dBFS, or no number at all.
    settings("pre\t31\ntrig\tnan\n");
    r = runTunevat(dir, "q\n");
    EXPECT_EQ(r.out, startWithSettings("Pre-roll was set to illegal value, setting to 0.\n"
                                       "Trigger level was set to illegal value, turning it off.\n",
                                       2, 44100, 16, "default", "", "Opening existing list: tlist.txt\n") +
                         status() + kSaving);
    EXPECT_EQ(readFile(path("rcvat.txt")), kDefaultSettings);
}

TEST_F(ConsoleE2E, InOutPointsAndJumps)
{
    settings();
    // A number and the next command can share a line.
    RunResult r = runTunevat(dir, "i 10 o 15 j J J\no\n10\ni 2 J q\n");
    std::string in = "Enter start time in seconds:\n", out = "Enter stop time in seconds:\n";
    EXPECT_EQ(r.out, startWithSettings() + status() + in + status(10, 0) + out + status(10, 15) +
                         status(15, 20) +   // j: in 15, out 20
                         status(10, 15) +   // J: back to in 10, out 15
                         status(5, 10) +    // J: in 5, out 10
                         out + status(5, 10) + in + status(2, 10) +
                         status(0, 2) +     // J from in 2, out 10 clamps at 0
                         kSaving);
    EXPECT_NE(readFile(path("rcvat.txt")).find("i\t0.000\no\t2.000\n"), std::string::npos);
}

TEST_F(ConsoleE2E, NumberPromptLeavesValueAndReadsTextAsNextCommand)
{
    settings();
    // "abc" does not convert: the in point stays 0 and abc is the next
    // command word (it matches nothing); "l" after the duration prompt too.
    RunResult r = runTunevat(dir, "i abc d 2.5 l q\n");
    EXPECT_EQ(r.out, startWithSettings() + status() + "Enter start time in seconds:\n" + status() + status() +
                         "Enter record duration in seconds:\n" + status(0, 0, 2.5f) +
                         promptText(kNone, 0, 0, 2.5f, "", true) + kSaving);
}

TEST_F(ConsoleE2E, FileNameAlwaysGetsWavAndFSelectsListedNamesUnchanged)
{
    settings();
    writeFile(path("tlist.txt"), "one.wav\ntwo\n");
    std::vector<std::string> list = {"one.wav", "two"};
    std::string listed = "Opening existing list: tlist.txt\n";
    std::string fPrompt = "Enter recording file name:\n", sel = "Select a file in list for record filename (1-2)\n";
    RunResult r = runTunevat(dir, "f take1 f take1.wav F 0 F 3 F abc F 1 F 2 q\n");
    EXPECT_EQ(r.out, startWithSettings("", 2, 44100, 16, "default", "", listed) +
                         promptText(list, 0, 0, 0, "") + fPrompt + promptText(list, 0, 0, 0, "take1.wav") +
                         fPrompt + promptText(list, 0, 0, 0, "take1.wav.wav") +
                         sel + promptText(list, 0, 0, 0, "take1.wav.wav") +      // 0: nothing
                         sel + promptText(list, 0, 0, 0, "take1.wav.wav") +      // 3: count + 1
                         sel + promptText(list, 0, 0, 0, "take1.wav.wav") +      // abc: nothing ...
                         promptText(list, 0, 0, 0, "take1.wav.wav") +            // ... then abc as a command
                         sel + promptText(list, 0, 0, 0, "one.wav") +            // 1: the first track
                         sel + promptText(list, 0, 0, 0, "two") + kSaving);
    EXPECT_NE(readFile(path("rcvat.txt")).find("rname\ttwo\n"), std::string::npos);

    // A track the table holds cut, and the list file itself, are refused.
    std::string longTrack = std::string(200, 'x') + ".wav";
    writeFile(path("tlist.txt"), longTrack + "\ntlist.txt\n");
    r = runTunevat(dir, "F 1 F 2 q\n");
    EXPECT_NE(r.out.find("Select a file in list for record filename (1-2)\nTrack 1 is longer than 127 "
                         "characters: it cannot be recorded to\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("(1-2)\ntlist.txt is the track list file, not a recording\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(readFile(path("rcvat.txt")).find("rname\ttwo\n"), std::string::npos);
}

TEST_F(ConsoleE2E, FWithEmptyListChangesNothing)
{
    settings("rname\tkeep.wav\n");
    RunResult r = runTunevat(dir, "F 1 q\n");
    EXPECT_EQ(r.out, startWithSettings("", 2, 44100, 16, "default", "keep.wav") + status(0, 0, 0, "keep.wav") +
                         "Select a file in list for record filename (1-0)\n" + status(0, 0, 0, "keep.wav") + kSaving);
}

std::string settingsMenu(unsigned rate, unsigned bits, int ch, const std::string &dev)
{
    return "Record Settings\n1 = change samplerate: " + std::to_string(rate) + "\n2 = toggle bit depth: " +
           std::to_string(bits) + "\n3 = toggle channels: " + std::to_string(ch) + "\n4 = change soundcard: " +
           dev + "\n5 = done\n";
}

TEST_F(ConsoleE2E, RecordSettingsMenu)
{
    settings();
    RunResult r = runTunevat(dir, "u 1 48000 2 2 2 3 4 hw:2 9 1 5 q\n");
    EXPECT_EQ(r.out, startWithSettings() + status() + settingsMenu(44100, 16, 2, "default") +
                         "Enter samplerate:\n" + settingsMenu(48000, 16, 2, "default") +
                         settingsMenu(48000, 24, 2, "default") + settingsMenu(48000, 16, 2, "default") +
                         settingsMenu(48000, 24, 2, "default") + settingsMenu(48000, 24, 1, "default") +
                         "Enter soundcard device name:\n" + settingsMenu(48000, 24, 1, "hw:2") +
                         settingsMenu(48000, 24, 1, "hw:2") +     // 9: nothing
                         "Enter samplerate:\n" +                  // 1 then 5: rate 5, menu left
                         status() + kSaving);
    EXPECT_EQ(readFile(path("rcvat.txt")), "dv\thw:2\nsr\t5\nbits\t24\nch\t1\ni\t0.000\no\t0.000\nd\t0.000\n"
                                           "tlist\ttlist.txt\n");
}

// "b" sets the pre-roll, "g" the trigger level, "w" toggles Broadcast WAV
// takes, "n" chooses the channels played from files of more than two. A
// value out of range, a word that is no number or one channel alone is
// refused and leaves the setting as it was. Set, they are saved after the
// other settings; unset again, not at all.
TEST_F(ConsoleE2E, LevelAndWavSettingsAreCheckedAndSavedOnlyWhenSet)
{
    const std::string pre = "Enter pre-roll in seconds (0 to 30):\n",
                      trig = "Enter trigger level in dBFS (-90 to 0, 0 for off):\n",
                      ask = "Enter the two channels to play from files with more than two, or 0 for all ",
                      bwf = "Broadcast WAV (bext chunk) in new recordings: ";
    settings();
    RunResult r = runTunevat(dir, "b 2.5 g -30 b 30.5 g 0.5 g -91 b abc w n 3 4 n z n 9 w w q\n");
    EXPECT_EQ(r.out, startWithSettings() + status() + pre + status() + trig + status() + pre +
                         "Pre-roll is 0 to 30 seconds\n" + status() + trig + "The trigger level is -90 to 0 dBFS\n" +
                         status() + trig + "The trigger level is -90 to 0 dBFS\n" + status() + pre + status() +
                         status() + bwf + "on\n" + status() + ask + "(now all):\n" + status() + ask +
                         "(now 3 and 4):\n" + status() + status() + ask + "(now 3 and 4):\n" + status() + bwf +
                         "off\n" + status() + bwf + "on\n" + status() + kSaving);
    EXPECT_EQ(readFile(path("rcvat.txt")), kDefaultSettings + "pre\t2.500\ntrig\t-30.0\nbwf\t1\npair\t3 4\n");
    r = runTunevat(dir, "s b 0 g 0 w n 0 q\n");
    EXPECT_NE(r.out.find("Saved settings\n"), std::string::npos);
    EXPECT_EQ(readFile(path("rcvat.txt")), kDefaultSettings);
}

const std::string kHelp =
    "\nList Commands\n   'l' to hide or show track list\n   'L' to reload track list from file\n"
    "   '-' to remove a track from the list\n\nRecording Commands\n   'r' to record\n"
    "   'd' to set recording duration\n   'f' to enter filename for recording\n"
    "   'F' to select file in list to record to\n   'u' to adjust recording hardware settings\n"
    "\nPlayback Commands\n   'p' to play a track, or 2p for track 2, etc\n"
    "   'a' to play all playlist tracks in order\n   'i' to set in point of playback\n"
    "   'o' to set out point of playback\n   'j' to jump forward: out-point becomes in-point\n"
    "   'J' to jump backward: in-point becomes out-point\n   't' to check attributes of files in list\n\n"
    "   's' to save file list and settings\n   'q' to quit and save\n"
    "   'x' to exit without saving list or parameters\n"
    "\nLevel Commands\n   'm' to watch the input level without recording\n"
    "   'b' to set pre-roll: seconds a take keeps from before it starts\n"
    "   'g' to set a trigger level: a take starts when the input passes it\n"
    "\nWAV Commands\n"
    "   'w' to turn Broadcast WAV (the recording time) in new recordings on or off\n"
    "   'n' to choose the two channels played from files with more than two\n";
const std::string kContinue = "\nEnter 'c' to continue\n";

TEST_F(ConsoleE2E, HelpWaitsForExactlyC)
{
    settings();
    RunResult r = runTunevat(dir, "h q cc C c z q\n");
    EXPECT_EQ(r.out, startWithSettings() + status() + kHelp + kContinue + kContinue + kContinue + kContinue +
                         status() + status() + kSaving);
}

TEST_F(ConsoleE2E, ExitWithYesWritesNothing)
{
    RunResult r = runTunevat(dir, "tlist.txt\nx\ny\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, firstStartText() + status() + "Exit without saving list and settings? (y,n)\n");
    EXPECT_FALSE(fileExists(path("rcvat.txt")));
    EXPECT_FALSE(fileExists(path("tlist.txt")));
}

TEST_F(ConsoleE2E, ExitWithAnyOtherAnswerSaves)
{
    RunResult r = runTunevat(dir, "tlist.txt\nx\nno\n");
    EXPECT_EQ(r.out, firstStartText() + status() + "Exit without saving list and settings? (y,n)\n" + kSaving);
    EXPECT_EQ(readFile(path("rcvat.txt")), kDefaultSettings);
}

TEST_F(ConsoleE2E, UnknownWordRedisplaysOnly)
{
    settings();
    RunResult r = runTunevat(dir, "z Q qq q\n");
    EXPECT_EQ(r.out, startWithSettings() + status() + status() + status() + status() + kSaving);
}

TEST_F(ConsoleE2E, ListSurvivesQuitAndRestart)
{
    settings();
    writeFile(path("tlist.txt"), "a.wav\n\n\nb c.wav\r\n x \nlast");
    RunResult r = runTunevat(dir, "q\n");
    // The CR of a CR LF line end is not part of the name, and is not saved.
    std::vector<std::string> list = {"a.wav", "b c.wav", " x ", "last"};
    EXPECT_EQ(r.out, startWithSettings("", 2, 44100, 16, "default", "", "Opening existing list: tlist.txt\n") +
                         promptText(list, 0, 0, 0, "") + kSaving);
    EXPECT_EQ(readFile(path("tlist.txt")), "a.wav\nb c.wav\n x \nlast\n");
    r = runTunevat(dir, "q\n");
    EXPECT_EQ(readFile(path("tlist.txt")), "a.wav\nb c.wav\n x \nlast\n");
}

// A list name that is a recording or the recording file is refused and
// another asked for, the recording left byte for byte; when input ends
// instead, the list has no name and is not saved.
TEST_F(ConsoleE2E, ListNamesThatWouldHarmARecordingAreRefusedAtStartUp)
{
    const std::string wav = wavBytes(44100, 2, 16, patternBytes(4000, 9)), ask =
        "Enter the name of a new or existing wavefile list:\n", params = paramBanner(2, 44100, 16, "default", "");
    const std::string noList = kDefaultSettings.substr(0, kDefaultSettings.find("tlist")), l = "tlist\tl.txt\n";
    struct Case {
        std::string settings, input, out, saved, settingsAfter;   // no settings file when empty
    } cases[] = {
        {"", "song.wav l.txt q", ask + params + "song.wav is a WAV file, not a track list\n" + ask, kSaving, noList + l},
        {"", "song.wav", ask + params + "song.wav is a WAV file, not a track list\n" + ask +
             "No list name: the track list will not be saved\n", kSaving + "Unable to open \n", noList},
        {"tlist\t./song.wav\nrname\tsong.wav\n", "l.txt q", "Reading rcvat.txt file\n" +
             paramBanner(2, 44100, 16, "default", "song.wav") + "./song.wav is the recording file, not a track list\n" + ask,
         kSaving, noList + l + "rname\tsong.wav\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        writeFile(path("song.wav"), wav);
        if (!c.settings.empty()) writeFile(path("rcvat.txt"), c.settings);
        std::string file = c.settings.empty() ? "" : "song.wav";
        RunResult r = runTunevat(dir, c.input + "\n");
        std::string loaded = c.input == "song.wav" ? "" : "Creating a new list: l.txt\n";
        EXPECT_EQ(r.out, bannerText() + c.out + loaded + kHint + status(0, 0, 0, file) + c.saved);
        EXPECT_TRUE(readFile(path("song.wav")) == wav);
        EXPECT_EQ(readFile(path("rcvat.txt")), c.settingsAfter);
        EXPECT_EQ(fileSize(path("l.txt")), loaded.empty() ? -1 : 0);
        unlink(path("rcvat.txt").c_str());
        unlink(path("l.txt").c_str());
    }
}

// End of input at every kind of prompt ends the program cleanly, saving
// (it never spins: the harness would kill a spinning run).
TEST_F(ConsoleE2E, EndOfInputAtEveryPromptQuitsAndSaves)
{
    struct Case {
        const char *input;
        const char *tail;   // expected output after the first status lines
    };
    const Case cases[] = {
        {"", ""},
        {"i", "Enter start time in seconds:\n"},
        {"o", "Enter stop time in seconds:\n"},
        {"d", "Enter record duration in seconds:\n"},
        {"f", "Enter recording file name:\n"},
        {"F", "Select a file in list for record filename (1-0)\n"},
        {"u", "Record Settings\n1 = change samplerate: 44100\n2 = toggle bit depth: 16\n3 = toggle channels: 2\n"
              "4 = change soundcard: default\n5 = done\n"},
        {"u 1", "Record Settings\n1 = change samplerate: 44100\n2 = toggle bit depth: 16\n3 = toggle channels: 2\n"
                "4 = change soundcard: default\n5 = done\nEnter samplerate:\n"},
        {"u 4", "Record Settings\n1 = change samplerate: 44100\n2 = toggle bit depth: 16\n3 = toggle channels: 2\n"
                "4 = change soundcard: default\n5 = done\nEnter soundcard device name:\n"},
        {"h", nullptr},
        {"b", "Enter pre-roll in seconds (0 to 30):\n"},
        {"g", "Enter trigger level in dBFS (-90 to 0, 0 for off):\n"},
        {"x", "Exit without saving list and settings? (y,n)\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        removeTree(dir);
        dir = makeTempDir();
        settings();
        RunResult r = runTunevat(dir, c.input, "", 20);
        EXPECT_EQ(r.status, 0);
        std::string tail = c.tail ? c.tail : kHelp + kContinue;
        bool exitPrompt = std::string(c.input) == "x";
        // After a command the loop shows the status again before it meets the end.
        std::string after = (std::string(c.input).empty() || exitPrompt) ? "" : status();
        EXPECT_EQ(r.out, startWithSettings() + status() + tail + after + kSaving);
        EXPECT_EQ(readFile(path("rcvat.txt")), kDefaultSettings);
    }
    // The list name question at start-up: the default name stays.
    removeTree(dir);
    dir = makeTempDir();
    RunResult r = runTunevat(dir, "", "", 20);
    EXPECT_EQ(r.out, firstStartText() + status() + kSaving);
    EXPECT_EQ(readFile(path("rcvat.txt")), kDefaultSettings);
}

// A 500-character word at every prompt is cut to its buffer, never
// overflowing it; the program goes on normally.
// Over-long command words are cut to what the command buffer holds; names
// that do not fit are refused with a line naming the limit, never cut:
// a cut name would record into, or open, something else.
TEST_F(ConsoleE2E, OverlongWordsAreCutAndOverlongNamesRefused)
{
    settings();
    std::string w500(500, 'w');
    std::string input = w500 + " i " + w500 + " f " + w500 + " u 4 " + w500 + " 5 F " + w500 + " h " + w500 +
                        " c q\n";
    RunResult r = runTunevat(dir, input);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Enter recording file name:\nRecording names are at most 123 characters "
                         "before .wav\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Enter soundcard device name:\nDevice names are at most 47 characters\n"
                         "Record Settings\n"),
              std::string::npos)
        << r.out;
    std::string settingsText = readFile(path("rcvat.txt"));
    EXPECT_NE(settingsText.find("dv\tdefault\n"), std::string::npos);
    EXPECT_EQ(settingsText.find("rname"), std::string::npos);
    EXPECT_EQ(settingsText.find("www"), std::string::npos);
}

TEST_F(ConsoleE2E, LongNamesAtTheirLimitsWork)
{
    std::string list255(251, 'L');
    list255 += ".txt";
    std::string name127(123, 'n');
    RunResult r = runTunevat(dir, list255 + "\nf " + name127 + " q\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fileExists(path(list255)));
    r = runTunevat(dir, "q\n");
    EXPECT_EQ(r.out, bannerText() + "Reading rcvat.txt file\n" +
                         paramBanner(2, 44100, 16, "default", name127 + ".wav") + "Opening existing list: " +
                         list255 + "\n" + kHint + status(0, 0, 0, name127 + ".wav") + kSaving);
}

}  // namespace
