// Recordings and tracks that are not plain files the user may write: a
// target reached through a symlink, a read-only target (with and without
// chunks after its audio), a FIFO as target and as track. Each case is a
// whole session of the built binary, run as an unprivileged user (root
// may write every file, so a read-only file would mean nothing to it),
// checked for its messages in order, that nothing blocks, and for the
// files it leaves.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "e2e_record_util.h"

using namespace rec;

namespace {

const uid_t kNobody = 65534;

std::string chunk(const std::string &tag, const std::string &body)
{
    std::string c = tag;
    for (int i = 0; i < 4; ++i) c += (char)((body.size() >> (8 * i)) & 0xff);
    return c + body + (body.size() & 1 ? std::string(1, '\0') : "");
}

// A 16-bit stereo WAV of the given audio with chunks after it, its RIFF
// size counting them.
std::string wavWithTail(const std::string &audio, const std::string &tail)
{
    std::string w = wavBytes(44100, 2, 16, audio) + tail;
    unsigned long riff = w.size() - 8;
    for (int i = 0; i < 4; ++i) w[4 + (size_t)i] = (char)((riff >> (8 * i)) & 0xff);
    return w;
}

bool isLink(const std::string &p)
{
    struct stat sb;
    return lstat(p.c_str(), &sb) == 0 && S_ISLNK(sb.st_mode);
}

bool isFifo(const std::string &p)
{
    struct stat sb;
    return lstat(p.c_str(), &sb) == 0 && S_ISFIFO(sb.st_mode);
}

mode_t modeOf(const std::string &p)
{
    struct stat sb;
    return stat(p.c_str(), &sb) == 0 ? (sb.st_mode & 07777) : 0;
}

struct FileKinds : RecordE2E {
    // Runs a session as the unprivileged user when the tests run as root.
    RunResult session(const std::string &words)
    {
        std::vector<std::string> argv;
        if (geteuid() == 0) {
            std::string cmd = "chown -R " + std::to_string(kNobody) + ":" + std::to_string(kNobody) +
                              " '" + dir + "'";
            EXPECT_EQ(system(cmd.c_str()), 0);
            argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        }
        argv.push_back(TUNEVAT_BIN);
        return runProgram(dir, argv, words, conf, 60);
    }
};

// The lines must all be in out, in this order.
void expectInOrder(const std::string &out, const std::vector<std::string> &lines)
{
    size_t at = 0;
    for (const std::string &l : lines) {
        size_t found = out.find(l, at);
        EXPECT_NE(found, std::string::npos) << "missing, or out of order: " << l << "\n" << out;
        if (found != std::string::npos) at = found + l.size();
    }
}

struct KindCase {
    const char *name;
    std::function<void(FileKinds *)> make;   // the files before the session
    std::string words;                       // what the user types
    std::vector<std::string> lines;          // what must be said, in order
    bool records;                            // a take is recorded
    std::function<void(FileKinds *)> check;  // the files after
};

TEST_F(FileKinds, LinksReadOnlyTargetsAndFifos)
{
    const std::string old = patternBytes(8000, 7);
    const std::string list = chunk("LIST", "INFOISFT" + std::string("\x04\0\0\0", 4) + "sox");
    const std::string take = input(0, kTakeFrames);
    const std::string menu = existingMenu("song.wav");
    const std::string refused = "Cannot write song.wav: Permission denied\n";
    const std::string fifo = "The file called song.wav is not a regular file!\n";

    std::vector<KindCase> cases = {
        {"a symlinked target, replaced",
         [&](FileKinds *t) {
             mkdir(t->path("real").c_str(), 0755);
             writeFile(t->path("real/song.wav"), wavBytes(44100, 2, 16, old));
             chmod(t->path("real/song.wav").c_str(), 0640);
             symlink("real/song.wav", t->path("song.wav").c_str());
         },
         "r 1 1 q\n", {menu, "Recording..."}, true,
         [&](FileKinds *t) {
             EXPECT_TRUE(isLink(t->path("song.wav")));
             EXPECT_TRUE(readFile(t->path("real/song.wav")) == wavBytes(44100, 2, 16, take));
             EXPECT_EQ(modeOf(t->path("real/song.wav")), 0640u);
         }},
        {"a symlinked target with a chunk after its audio, appended",
         [&](FileKinds *t) {
             mkdir(t->path("real").c_str(), 0755);
             writeFile(t->path("real/song.wav"), wavWithTail(old, list));
             symlink("real/song.wav", t->path("song.wav").c_str());
         },
         "r 4 1 q\n", {menu, "Recording...", "Append file is "}, true,
         [&](FileKinds *t) {
             EXPECT_TRUE(isLink(t->path("song.wav")));
             EXPECT_TRUE(readFile(t->path("real/song.wav")) == wavWithTail(old + take, list));
         }},
        {"a read-only target, appended to, audio at the end",
         [&](FileKinds *t) {
             writeFile(t->path("song.wav"), wavBytes(44100, 2, 16, old));
             chmod(t->path("song.wav").c_str(), 0444);
         },
         "r 4 q\n", {menu, refused}, false,
         [&](FileKinds *t) {
             EXPECT_TRUE(readFile(t->path("song.wav")) == wavBytes(44100, 2, 16, old));
         }},
        {"a read-only target, appended to, a chunk after its audio",
         [&](FileKinds *t) {
             writeFile(t->path("song.wav"), wavWithTail(old, list));
             chmod(t->path("song.wav").c_str(), 0444);
         },
         "r 4 q\n", {menu, refused}, false,
         [&](FileKinds *t) { EXPECT_TRUE(readFile(t->path("song.wav")) == wavWithTail(old, list)); }},
        {"a read-only target, recorded over",
         [&](FileKinds *t) {
             writeFile(t->path("song.wav"), wavWithTail(old, list));
             chmod(t->path("song.wav").c_str(), 0444);
         },
         "r 1 5 q\n", {menu, refused, menu}, false,
         [&](FileKinds *t) { EXPECT_TRUE(readFile(t->path("song.wav")) == wavWithTail(old, list)); }},
        {"a FIFO as target",
         [&](FileKinds *t) { mkfifo(t->path("song.wav").c_str(), 0644); },
         "r 3 1 4 q\n", {menu, "Playing song.wav ...\n" + fifo, menu, fifo, menu, fifo}, false,
         [&](FileKinds *t) { EXPECT_TRUE(isFifo(t->path("song.wav"))); }},
        {"a FIFO as a track",
         [&](FileKinds *t) {
             mkfifo(t->path("fifo.wav").c_str(), 0644);
             writeFile(t->path("tlist.txt"), "fifo.wav\n");
         },
         "t c 1p a q\n",
         {"The file called fifo.wav is not a regular file!\n\nEnter 'c' to continue\n",
          "The file called fifo.wav is not a regular file!\n",
          "Playing all!\n\nTrack 1\nThe file called fifo.wav is not a regular file!\n"},
         false, [&](FileKinds *t) { EXPECT_TRUE(isFifo(t->path("fifo.wav"))); }},
    };
    for (const KindCase &c : cases) {
        SCOPED_TRACE(c.name);
        // A fresh directory with the capture input and the card.
        TearDown();
        SetUp();
        settings(2, 16, "1", "song.wav");
        c.make(this);
        RunResult r = session(c.words);
        EXPECT_EQ(r.status, 0) << r.out << r.err;   // ended by q, not by the alarm
        expectInOrder(r.out, c.lines);
        EXPECT_EQ(r.out.find("Recording...") != std::string::npos, c.records) << r.out;
        EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
        c.check(this);
    }
}

}  // namespace
