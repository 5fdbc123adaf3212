// Ctrl-C during a playback stops the sound at once and returns to the
// prompt; during "a" it stops the whole list, also when it comes between
// two tracks or while the device opens. SIGTERM and SIGHUP stop the sound
// and end the program, saving nothing. The virtual card's playback
// goes into a named pipe that the test reads, so the playback runs only as
// fast as the test lets it.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e_live.h"
#include "harness.h"

namespace {

const long kBlockBytes = 4096 * 4;   // one period of 16-bit stereo

struct PlayStop : ::testing::Test {
    std::string dir;
    void SetUp() override { dir = makeTempDir(); }
    void TearDown() override { removeTree(dir); }
    std::string path(const std::string &n) const { return dir + "/" + n; }
};

TEST_F(PlayStop, SignalsStopThePlaybackAndTheList)
{
    struct Case {
        const char *command;
        const char *playing;   // the line that starts the sound
        int sig;
    } cases[] = {
        {"1p\n", "Playing a.wav ...\n", SIGINT},
        {"a\n", "Playing all!\n\nTrack 1\nPlaying a.wav ...\n", SIGINT},
        {"1p\n", "Playing a.wav ...\n", SIGTERM},
        {"a\n", "Playing all!\n\nTrack 1\nPlaying a.wav ...\n", SIGHUP},
    };
    // Ten seconds each: far more than the test lets through.
    std::string song = wavBytes(44100, 2, 16, patternBytes(441000 * 4, 5));
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.command) + strsignal(c.sig));
        writeFile(path("a.wav"), song);
        writeFile(path("b.wav"), song);
        writeFile(path("tlist.txt"), "a.wav\nb.wav\n");
        writeFile(path("rcvat.txt"), "o\t100\ntlist\ttlist.txt\n");
        std::string out = path("play.fifo");
        unlink(out.c_str());
        ASSERT_EQ(mkfifo(out.c_str(), 0600), 0);
        std::string card = path("play.conf");
        writeFile(card, "pcm.!default {\n type asym\n"
                        " playback.pcm { type file slave.pcm \"null\" file \"" + out +
                            "\" format \"raw\" truncate true }\n"
                        " capture.pcm { type null }\n}\n");

        live::Program prog;
        ASSERT_TRUE(prog.start(dir, card, path("unused")));
        prog.type(c.command);
        int fd = open(out.c_str(), O_RDONLY);   // waits for the player
        ASSERT_GE(fd, 0);
        std::string heard;
        char buf[65536];
        while ((long)heard.size() < 3 * kBlockBytes) {
            ssize_t n = read(fd, buf, sizeof buf);
            ASSERT_GT(n, 0);
            heard.append(buf, (size_t)n);
        }
        prog.signal(c.sig);
        // Whatever the player had under way comes out; then it lets go.
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            heard.append(buf, (size_t)n);
        }
        close(fd);
        if (c.sig == SIGINT) {
            ASSERT_TRUE(prog.waitFor("Recording: \tDur 0.00\tFilename: \n", 2)) << prog.output();
            prog.type("q\n");
        }
        EXPECT_EQ(prog.wait(), c.sig == SIGINT ? 0 : 128 + c.sig);
        std::string said = prog.output();
        EXPECT_NE(said.find(c.playing), std::string::npos) << said;
        EXPECT_EQ(said.find("Track 2"), std::string::npos) << said;
        EXPECT_EQ(said.find("Playing b.wav"), std::string::npos) << said;
        // Stopped soon after the signal, far short of the song's 108 blocks
        // (what the card's buffer and the pipe held still comes out), and
        // what was heard is the start of the song.
        EXPECT_LT((long)heard.size(), 24 * kBlockBytes);
        EXPECT_TRUE(heard == song.substr(44, heard.size()));
        EXPECT_EQ(said.find("Saving list and parameters\n") != std::string::npos, c.sig == SIGINT);
    }
}

// "a" over two hundred short tracks spends most of its time opening and
// closing the device: a Ctrl-C that comes while a device opens (the fault
// shim sends it just before the n-th open) stops the list and returns to
// the prompt, and "q" then saves as usual; a SIGTERM there ends the
// program, saving nothing. The same Ctrl-C while the capture device of "r"
// opens records nothing.
TEST_F(PlayStop, SignalsWhileADeviceOpensAreCaught)
{
    std::string list;
    std::string song = wavBytes(44100, 2, 16, patternBytes(441 * 4, 5));
    for (int i = 1; i <= 200; ++i) {
        std::string name = "t" + std::to_string(i) + ".wav";
        writeFile(path(name), song);
        list += name + "\n";
    }
    std::string card = path("null.conf");
    writeFile(card, "pcm.!default { type asym playback.pcm { type null } capture.pcm { type null } }\n");
    struct Case {
        const char *input;
        int open;   // the device open the signal comes with
        int sig;
        const char *last;   // the last line the command showed
    } cases[] = {
        {"a\nq\n", 1, SIGINT, "\nTrack 1\n"},
        {"a\nq\n", 60, SIGINT, "\nTrack 60\n"},
        {"a\nq\n", 200, SIGINT, "\nTrack 200\n"},
        {"a\nq\n", 7, SIGTERM, "\nTrack 7\n"},
        {"f x d 1 r\nq\n", 1, SIGINT, "Recording: \tDur 1.00\tFilename: x.wav\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.input) + " " + std::to_string(c.open) + " " + strsignal(c.sig));
        writeFile(path("tlist.txt"), list);
        writeFile(path("rcvat.txt"), "o\t1\ntlist\ttlist.txt\n");
        std::string settingsBefore = readFile(path("rcvat.txt"));
        std::vector<std::string> env = {
            std::string("LD_PRELOAD=") + TUNEVAT_FAULTSHIM,
            "TV_FAULT_PCM_OPEN_SIGNAL=" + std::to_string(c.open) + ":" + std::to_string(c.sig)};
        const char *asan = getenv("ASAN_OPTIONS");
        env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0");
        RunResult r = runTunevat(dir, c.input, card, 60, env);
        EXPECT_EQ(r.status, c.sig == SIGINT ? 0 : 128 + c.sig) << r.out;
        size_t last = r.out.rfind(c.last);
        ASSERT_NE(last, std::string::npos) << r.out;
        // Nothing was played or recorded after the signal.
        EXPECT_EQ(r.out.find("\nTrack " + std::to_string(c.open + 1) + "\n"), std::string::npos);
        EXPECT_EQ(r.out.find("Recording...\n"), std::string::npos);
        EXPECT_FALSE(fileExists(path("x.wav")));
        if (c.sig == SIGINT) {
            EXPECT_NE(r.out.find("Saving list and parameters\n", last), std::string::npos) << r.out;
        } else {
            EXPECT_EQ(r.out.find("Saving list"), std::string::npos) << r.out;
            EXPECT_EQ(readFile(path("rcvat.txt")), settingsBefore);
        }
    }
}

// The existing-file menu's "3" stopped by Ctrl-C: the menu comes again,
// and the recording that "1" then makes is whole, not stopped by the same
// Ctrl-C before it reads anything.
TEST_F(PlayStop, CtrlCThatStoppedAPlaybackLeavesTheNextTakeAlone)
{
    std::string song = wavBytes(44100, 2, 16, patternBytes(441000 * 4, 5));
    writeFile(path("song.wav"), song);
    writeFile(path("tlist.txt"), "song.wav\n");
    writeFile(path("rcvat.txt"), "d\t1\ntlist\ttlist.txt\nrname\tsong.wav\n");
    std::string input = patternBytes(44100 * 4 * 2, 9);
    writeFile(path("in.raw"), input);
    std::string out = path("play.fifo");
    ASSERT_EQ(mkfifo(out.c_str(), 0600), 0);
    std::string card = path("play.conf");
    writeFile(card, "pcm.!default {\n type asym\n"
                    " playback.pcm { type file slave.pcm \"null\" file \"" + out +
                        "\" format \"raw\" truncate true }\n"
                    " capture.pcm { type file slave.pcm \"null\" infile \"" + path("in.raw") +
                        "\" file \"/dev/null\" format \"raw\" }\n}\n");
    live::Program prog;
    ASSERT_TRUE(prog.start(dir, card, path("unused")));
    prog.type("r\n3\n");
    int fd = open(out.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char buf[65536];
    ASSERT_GT(read(fd, buf, sizeof buf), 0);
    prog.signal(SIGINT);
    while (read(fd, buf, sizeof buf) > 0) {
    }
    close(fd);
    ASSERT_TRUE(prog.waitFor("5 = return without recording\n", 2)) << prog.output();
    prog.type("1\n1\nq\n");
    EXPECT_EQ(prog.wait(), 0) << prog.output();
    // Eleven periods of the capture: the take ran its course.
    EXPECT_TRUE(readFile(path("song.wav")) == wavBytes(44100, 2, 16, input.substr(0, 45056 * 4)));
}

}  // namespace
