// The playback engine through the built binary and the virtual sound card:
// the bytes that reach the card, the playing and clock lines, the in and
// out points, files it refuses and devices that cannot be opened.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "harness.h"

namespace {

const unsigned kRate = 44100;
const long kPeriod = 4096;   // frames per block the virtual card grants

std::string fmt(const char *format, double value)
{
    char buf[64];
    snprintf(buf, sizeof buf, format, value);
    return buf;
}

// Start-up with a settings file that names tlist.txt (default device
// unless another is given).
std::string startText(const std::string &device = "default")
{
    return bannerText() + "Reading rcvat.txt file\n" + paramBanner(2, kRate, 16, device, "") +
           "Opening existing list: tlist.txt\n" + "Type h at any time to get a list of commands\n";
}

// One clock line per block starting at first while below end.
std::string clocks(long first, long end, unsigned rate = kRate)
{
    std::string s;
    for (long pos = first; pos < end; pos += kPeriod)
        s += fmt("\rclock = %.2f sec", (double)pos / (double)rate);
    return s;
}

// Every sample of a mono stretch on both channels.
std::string bothChannels(const std::string &mono, unsigned bytesPerSample)
{
    std::string s;
    for (size_t k = 0; k + bytesPerSample <= mono.size(); k += bytesPerSample) {
        s += mono.substr(k, bytesPerSample);
        s += mono.substr(k, bytesPerSample);
    }
    return s;
}

const char kExit[] = "Exit without saving list and settings? (y,n)\n";

struct PlayE2E : ::testing::Test {
    std::string dir;
    std::string card;
    void SetUp() override
    {
        dir = makeTempDir();
        card = writeVirtualCard(dir);
    }
    void TearDown() override { removeTree(dir); }
    std::string path(const std::string &name) const { return dir + "/" + name; }

    // The settings file names tlist.txt, so no list question is asked;
    // extra holds further settings lines.
    void prepare(const std::vector<std::string> &tracks, const std::string &extra)
    {
        writeFile(path("rcvat.txt"), "tlist\ttlist.txt\n" + extra);
        std::string list;
        for (const std::string &t : tracks) list += t + "\n";
        writeFile(path("tlist.txt"), list);
    }
    RunResult run(const std::string &input) { return runTunevat(dir, input, card); }
};

// Plays track 1 once with the given points and checks the whole console
// session; returns the bytes the card received.
std::string playOnce(PlayE2E *t, const std::string &wav, float in, float out, long firstClock,
                     long endClock)
{
    t->prepare({"a.wav"}, fmt("i\t%.3f\n", in) + fmt("o\t%.3f\n", out));
    writeFile(t->path("a.wav"), wav);
    RunResult r = t->run("1p\nx\ny\n");
    std::string prompt = promptText({"a.wav"}, in, out, 0, "");
    EXPECT_EQ(r.out, startText() + prompt + "Playing a.wav ...\n" + clocks(firstClock, endClock) +
                         prompt + kExit);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(playbackCount(t->dir), 1);
    return playedBytes(t->dir, 0);
}

TEST_F(PlayE2E, StereoSixteenBitOneSecondIsElevenWholeBlocks)
{
    std::string data = patternBytes(2L * kRate * 4, 1);
    std::string played = playOnce(this, wavBytes(kRate, 2, 16, data), 0, 1, 0, kRate);
    // Blocks start at 0, 4096, ... 40960; the last runs to frame 45055.
    ASSERT_EQ(played.size(), 45056u * 4);
    EXPECT_TRUE(played == data.substr(0, 45056 * 4));
}

TEST_F(PlayE2E, StereoTwentyFourBitIsSentAsPackedThreeByteSamples)
{
    std::string data = patternBytes(2L * kRate * 6, 2);
    std::string played = playOnce(this, wavBytes(kRate, 2, 24, data), 0, 1, 0, kRate);
    ASSERT_EQ(played.size(), 45056u * 6);
    EXPECT_TRUE(played == data.substr(0, 45056 * 6));
}

TEST_F(PlayE2E, MonoSixteenBitGoesToBothChannels)
{
    std::string data = patternBytes(kRate * 2L, 3);   // one second
    std::string played = playOnce(this, wavBytes(kRate, 1, 16, data), 0, 0.2f, 0, 8820);
    // 8820 frames end inside the third block: 3 x 4096 frames played.
    ASSERT_EQ(played.size(), 12288u * 4);
    EXPECT_TRUE(played == bothChannels(data.substr(0, 12288 * 2), 2));
}

TEST_F(PlayE2E, MonoTwentyFourBitGoesToBothChannels)
{
    std::string data = patternBytes(kRate * 3L, 4);
    std::string played = playOnce(this, wavBytes(kRate, 1, 24, data), 0, 0.2f, 0, 8820);
    ASSERT_EQ(played.size(), 12288u * 6);
    EXPECT_TRUE(played == bothChannels(data.substr(0, 12288 * 3), 3));
}

TEST_F(PlayE2E, InPointTenSecondsReadsFromItsFrameAndClockShowsTen)
{
    const long frames = 449820;   // 10.2 s
    std::string data = patternBytes(frames * 4, 5);
    // 10.1 s is frame 445410: blocks at 441000 and 445096.
    std::string played = playOnce(this, wavBytes(kRate, 2, 16, data), 10, 10.1f, 441000, 445410);
    ASSERT_EQ(played.size(), 8192u * 4);
    EXPECT_TRUE(played == data.substr(441000L * 4, 8192 * 4));
}

// A stretch that takes several reads of the file (one read holds 10 to 32
// blocks, by format), from an in point between block boundaries: the card
// gets the same blocks as ever, none repeated or left out where one read
// ends and the next begins.
TEST_F(PlayE2E, StretchesLongerThanOneReadArriveWhole)
{
    for (int channels = 1; channels <= 2; ++channels) {
        for (int bits = 16; bits <= 24; bits += 8) {
            SCOPED_TRACE(std::to_string(channels) + " channels, " + std::to_string(bits) + " bits");
            unlink(path("out.raw").c_str());
            long frameBytes = channels * bits / 8;
            std::string data = patternBytes(4L * kRate * frameBytes, 20);   // four seconds
            // Frames 22050 to 154350: 33 blocks, to frame 157218.
            std::string played = playOnce(this, wavBytes(kRate, channels, bits, data), 0.5f, 3.5f,
                                          22050, 154350);
            std::string stretch = data.substr(22050 * frameBytes, 33 * kPeriod * frameBytes);
            if (channels == 1) stretch = bothChannels(stretch, (unsigned)bits / 8);
            ASSERT_EQ(played.size(), stretch.size());
            EXPECT_TRUE(played == stretch);
        }
    }
}

TEST_F(PlayE2E, ClockCountsFromStartOfDataAtTheFileRate)
{
    // 8000 Hz: the clock divides by the file's rate, not by 44100.
    std::string data = patternBytes(16000L * 2, 6);
    prepare({"a.wav"}, "i\t0.600\no\t1.200\n");
    writeFile(path("a.wav"), wavBytes(8000, 1, 16, data));
    RunResult r = run("1p\nx\ny\n");
    std::string prompt = promptText({"a.wav"}, 0.6f, 1.2f, 0, "");
    EXPECT_EQ(r.out, startText() + prompt + "Playing a.wav ...\n" +
                         "\rclock = 0.60 sec\rclock = 1.11 sec" + prompt + kExit);
    // Frames 4800 to 9600: blocks at 4800 and 8896, played whole.
    std::string played = playedBytes(dir, 0);
    ASSERT_EQ(played.size(), 8192u * 4);
    EXPECT_TRUE(played == bothChannels(data.substr(4800 * 2, 8192 * 2), 2));
}

TEST_F(PlayE2E, OutPointZeroPrintsThePlayingLineAndPlaysNothing)
{
    std::string played = playOnce(this, wavBytes(kRate, 2, 16, patternBytes(40000, 7)), 0, 0, 0, 0);
    EXPECT_EQ(played, "");
}

TEST_F(PlayE2E, OutPointBeforeInPointPlaysNothing)
{
    std::string played = playOnce(this, wavBytes(kRate, 2, 16, patternBytes(400000, 7)), 1, 0.5f, 0, 0);
    EXPECT_EQ(played, "");
}

TEST_F(PlayE2E, FileShorterThanABlockPlaysOnceToItsEnd)
{
    std::string data = patternBytes(1000 * 4, 8);
    std::string played = playOnce(this, wavBytes(kRate, 2, 16, data), 0, 3600, 0, 1000);
    EXPECT_TRUE(played == data);
}

TEST_F(PlayE2E, LastBlockIsCutWhereTheDataEnds)
{
    std::string data = patternBytes(5000 * 6, 9);
    std::string played = playOnce(this, wavBytes(kRate, 2, 24, data), 0, 3600, 0, 5000);
    EXPECT_TRUE(played == data);
}

TEST_F(PlayE2E, DeclaredSizeLargerThanTheFilePlaysOnlyWhatIsThere)
{
    std::string data = patternBytes(3000 * 4, 10);
    std::string wav = wavBytes(kRate, 2, 16, data);
    wav[40] = (char)0x00;
    wav[41] = (char)0x00;
    wav[42] = (char)0x10;   // declares a megabyte
    std::string played = playOnce(this, wav, 0, 3600, 0, 3000);
    EXPECT_TRUE(played == data);
}

TEST_F(PlayE2E, NegativeInPointStartsAtTheFirstFrame)
{
    std::string data = patternBytes(10000 * 4, 11);
    prepare({"a.wav"}, "o\t0.050\n");
    writeFile(path("a.wav"), wavBytes(kRate, 2, 16, data));
    RunResult r = run("i -5\n1p\nx\ny\n");
    EXPECT_EQ(r.out, startText() + promptText({"a.wav"}, 0, 0.05f, 0, "") +
                         "Enter start time in seconds:\n" + promptText({"a.wav"}, -5, 0.05f, 0, "") +
                         "Playing a.wav ...\n" + clocks(0, 2205) +
                         promptText({"a.wav"}, -5, 0.05f, 0, "") + kExit);
    EXPECT_TRUE(playedBytes(dir, 0) == data.substr(0, kPeriod * 4));
}

TEST_F(PlayE2E, HugePointsStayInsideTheData)
{
    std::string data = patternBytes(6000 * 4, 12);
    prepare({"a.wav"}, "");
    writeFile(path("a.wav"), wavBytes(kRate, 2, 16, data));
    // An out point far past 32-bit frame numbers plays to the end; an in
    // point there plays nothing.
    RunResult r = run("o 1e12\n1p\ni 1e12\no 2e12\n1p\nx\ny\n");
    std::string p1 = promptText({"a.wav"}, 0, 1e12f, 0, "");
    std::string p2 = promptText({"a.wav"}, 1e12f, 1e12f, 0, "");
    std::string p3 = promptText({"a.wav"}, 1e12f, 2e12f, 0, "");
    EXPECT_EQ(r.out, startText() + promptText({"a.wav"}, 0, 0, 0, "") +
                         "Enter stop time in seconds:\n" + p1 + "Playing a.wav ...\n" +
                         clocks(0, 6000) + p1 + "Enter start time in seconds:\n" + p2 +
                         "Enter stop time in seconds:\n" + p3 + "Playing a.wav ...\n" + p3 + kExit);
    ASSERT_EQ(playbackCount(dir), 2);
    EXPECT_TRUE(playedBytes(dir, 0) == data);
    EXPECT_EQ(playedBytes(dir, 1), "");
}

// Files made by sox, with their own header layout (24-bit sox files carry
// an extensible format chunk and a fact chunk before the data), compared
// with sox's own raw conversion of the same stretch.
void compareWithSox(PlayE2E *t, int channels, int bits)
{
    std::string c = std::to_string(channels), b = std::to_string(bits);
    RunResult made = runProgram(t->dir, {"sox", "-n", "-r", "44100", "-c", c, "-b", b, "a.wav",
                                         "synth", "0.5", "sine", "440", "sine", "660"});
    ASSERT_EQ(made.status, 0) << made.err;
    RunResult raw = runProgram(t->dir, {"sox", "a.wav", "-t", "raw", "-"});
    ASSERT_EQ(raw.status, 0) << raw.err;
    unsigned frameBytes = (unsigned)channels * (unsigned)bits / 8;
    ASSERT_EQ(raw.out.size(), 22050u * frameBytes);

    std::string played = playOnce(t, readFile(t->path("a.wav")), 0, 0.2f, 0, 8820);
    std::string stretch = raw.out.substr(0, 12288 * frameBytes);
    if (channels == 1) stretch = bothChannels(stretch, (unsigned)bits / 8);
    ASSERT_EQ(played.size(), stretch.size());
    EXPECT_TRUE(played == stretch);
}

TEST_F(PlayE2E, SoxStereoSixteenBitMatchesSoxRawOutput) { compareWithSox(this, 2, 16); }
TEST_F(PlayE2E, SoxMonoSixteenBitMatchesSoxRawOutput) { compareWithSox(this, 1, 16); }
TEST_F(PlayE2E, SoxStereoTwentyFourBitMatchesSoxRawOutput) { compareWithSox(this, 2, 24); }
TEST_F(PlayE2E, SoxMonoTwentyFourBitMatchesSoxRawOutput) { compareWithSox(this, 1, 24); }

// A file that cannot be played is refused before the device is opened:
// the card never sees a playback.
void expectRefused(PlayE2E *t, const std::string &wav, const std::string &message)
{
    t->prepare({"a.wav"}, "o\t1.000\n");
    if (!wav.empty()) writeFile(t->path("a.wav"), wav);
    RunResult r = t->run("1p\nx\ny\n");
    std::string prompt = promptText({"a.wav"}, 0, 1, 0, "");
    EXPECT_EQ(r.out, startText() + prompt + message + prompt + kExit);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(playbackCount(t->dir), 0);
}

// Other widths and channel counts go to a card that takes them as they are.
TEST_F(PlayE2E, EightBitFileIsPlayedAsItIs)
{
    std::string data = patternBytes(8000, 13);
    EXPECT_TRUE(playOnce(this, wavBytes(kRate, 2, 8, data), 0, 1, 0, 4000) == data);
}

TEST_F(PlayE2E, ThirtyTwoBitMonoFileGoesToBothChannels)
{
    std::string data = patternBytes(8000, 13);
    EXPECT_TRUE(playOnce(this, wavBytes(kRate, 1, 32, data), 0, 1, 0, 2000) == bothChannels(data, 4));
}

TEST_F(PlayE2E, ThreeChannelFileSendsAllThree)
{
    std::string data = patternBytes(6000, 14);
    EXPECT_TRUE(playOnce(this, wavBytes(kRate, 3, 16, data), 0, 1, 0, 1000) == data);
}

TEST_F(PlayE2E, MissingFileIsReportedByTheAttributeReader)
{
    expectRefused(this, "", "The file called a.wav cannot be found!\n");
}

TEST_F(PlayE2E, FileWithoutDataChunkIsReportedByTheAttributeReader)
{
    std::string wav = wavBytes(kRate, 2, 16, patternBytes(400, 15));
    wav.replace(36, 4, "junk");
    expectRefused(this, wav, "Can't find data block in wave file!\n");
}

TEST_F(PlayE2E, DeviceThatDoesNotExistIsReportedOnStandardError)
{
    prepare({"a.wav"}, "dv\tnosuchdev\no\t1.000\n");
    writeFile(path("a.wav"), wavBytes(kRate, 2, 16, patternBytes(40000, 16)));
    RunResult r = run("1p\n1p\nx\ny\n");
    std::string prompt = promptText({"a.wav"}, 0, 1, 0, "");
    // Nothing on standard output: no playing line, back at the prompt.
    EXPECT_EQ(r.out, startText("nosuchdev") + prompt + prompt + prompt + kExit);
    const std::string line = "unable to open pcm device: No such file or directory\n";
    size_t first = r.err.find(line);
    ASSERT_NE(first, std::string::npos) << r.err;
    EXPECT_NE(r.err.find(line, first + line.size()), std::string::npos) << r.err;
    EXPECT_EQ(playbackCount(dir), 0);
    EXPECT_EQ(r.status, 0);
}

TEST_F(PlayE2E, DeviceErrorComesAfterTheConsoleTextBeforeIt)
{
    // Both streams into one file, as in a terminal or a pipe: the prompt
    // printed before the playback must precede the error.
    prepare({"a.wav"}, "dv\tnosuchdev\no\t1.000\n");
    writeFile(path("a.wav"), wavBytes(kRate, 2, 16, patternBytes(4000, 16)));
    RunResult r = runProgram(dir, {"sh", "-c", std::string("exec '") + TUNEVAT_BIN + "' 2>&1"},
                             "p\n1\nx\ny\n", card);
    size_t prompt = r.out.find("Enter track number:\n");
    size_t error = r.out.find("unable to open pcm device: ");
    ASSERT_NE(prompt, std::string::npos);
    ASSERT_NE(error, std::string::npos);
    EXPECT_LT(prompt, error);
    // Anything the library adds comes after the prompt as well.
    EXPECT_EQ(r.out.find("ALSA lib"), r.out.find("ALSA lib", prompt));
}

TEST_F(PlayE2E, NamedDeviceFromTheSettingsIsUsed)
{
    std::string data = patternBytes(3000 * 4, 17);
    prepare({"a.wav"}, "dv\ttvcard\no\t1.000\n");
    writeFile(path("a.wav"), wavBytes(kRate, 2, 16, data));
    RunResult r = run("1p\nx\ny\n");
    std::string prompt = promptText({"a.wav"}, 0, 1, 0, "");
    EXPECT_EQ(r.out, startText("tvcard") + prompt + "Playing a.wav ...\n" + clocks(0, 3000) + prompt +
                         kExit);
    EXPECT_TRUE(playedBytes(dir, 0) == data);
}

TEST_F(PlayE2E, EachPlaybackOpensTheDeviceAfresh)
{
    std::string a = patternBytes(2000 * 4, 18), b = patternBytes(1500 * 6, 19);
    prepare({"a.wav", "b.wav"}, "o\t1.000\n");
    writeFile(path("a.wav"), wavBytes(kRate, 2, 16, a));
    writeFile(path("b.wav"), wavBytes(kRate, 1, 24, b));
    RunResult r = run("2p\n1p\n2p\nx\ny\n");
    ASSERT_EQ(playbackCount(dir), 3);
    EXPECT_TRUE(playedBytes(dir, 0) == bothChannels(b, 3));
    EXPECT_TRUE(playedBytes(dir, 1) == a);
    EXPECT_TRUE(playedBytes(dir, 2) == bothChannels(b, 3));
    EXPECT_EQ(r.err, "");
}

}  // namespace
