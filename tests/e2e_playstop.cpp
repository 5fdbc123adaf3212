// Ctrl-C during a playback stops the sound at once and returns to the
// prompt; during "a" it stops the whole list. The virtual card's playback
// goes into a named pipe that the test reads, so the playback runs only as
// fast as the test lets it.
#include <gtest/gtest.h>

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

TEST_F(PlayStop, CtrlCStopsThePlaybackAndTheList)
{
    struct Case {
        const char *command;
        const char *playing;   // the line that starts the sound
    } cases[] = {
        {"1p\n", "Playing a.wav ...\n"},
        {"a\n", "Playing all!\n\nTrack 1\nPlaying a.wav ...\n"},
    };
    // Ten seconds each: far more than the test lets through.
    std::string song = wavBytes(44100, 2, 16, patternBytes(441000 * 4, 5));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
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
        prog.signal(SIGINT);
        // Whatever the player had under way comes out; then it lets go.
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            heard.append(buf, (size_t)n);
        }
        close(fd);
        ASSERT_TRUE(prog.waitFor("Recording: \tDur 0.00\tFilename: \n", 2)) << prog.output();
        prog.type("q\n");
        EXPECT_EQ(prog.wait(), 0);
        std::string said = prog.output();
        EXPECT_NE(said.find(c.playing), std::string::npos) << said;
        EXPECT_EQ(said.find("Track 2"), std::string::npos) << said;
        EXPECT_EQ(said.find("Playing b.wav"), std::string::npos) << said;
        // Stopped soon after the signal, far short of the song's 108 blocks
        // (what the card's buffer and the pipe held still comes out), and
        // what was heard is the start of the song.
        EXPECT_LT((long)heard.size(), 24 * kBlockBytes);
        EXPECT_TRUE(heard == song.substr(44, heard.size()));
        EXPECT_NE(said.find("Saving list and parameters\n"), std::string::npos);
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
