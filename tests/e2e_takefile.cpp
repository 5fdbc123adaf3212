// The take file under everything that can happen to a recording: signals
// in the middle of a take and at the take menu, a second tunevat in the
// same folder, a take left behind by an earlier run, and a name planted in
// advance. The take is fed through a named pipe a period at a time, so it
// lasts as long as the test needs; the bytes on disk are checked with the
// program's own reader and with sox.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <dirent.h>
#include <thread>
#include <regex>
#include <linux/falloc.h>
#include <sys/mount.h>

#include "e2e_live.h"
#include "e2e_record_util.h"
#include "harness.h"
#include "unit_wav_util.h"
#include "files/files.h"
#include "wav/wav.h"

using namespace rec;
using live::kPeriodBytes;

namespace {

const char kKept[] = "The recording is kept in tunevat_temp.wav\n";

// Names in dir that match re.
std::vector<std::string> namesMatching(const std::string &dir, const std::string &re)
{
    std::vector<std::string> found;
    std::regex pattern(re);
    DIR *d = opendir(dir.c_str());
    while (struct dirent *e = readdir(d)) {
        if (std::regex_match(e->d_name, pattern)) found.push_back(e->d_name);
    }
    closedir(d);
    return found;
}

const char kAsidePattern[] = "tunevat_temp-[0-9]{8}-[0-9]{6}(-[0-9]+)?\\.wav";

// How many "\rRemaining" lines text holds: the periods a take recorded.
long periodsCounted(const std::string &text)
{
    long n = 0;
    for (size_t at = text.find("\rRemaining "); at != std::string::npos;
         at = text.find("\rRemaining ", at + 1))
        ++n;
    return n;
}

struct TakeFile : RecordE2E {
    std::string fifo;
    std::string card;
    live::Program prog;

    void SetUp() override
    {
        RecordE2E::SetUp();
        fifo = path("capture.fifo");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        card = writeVirtualCard(dir, fifo);
    }

    // An old recording song.wav that a take is to replace, its list entry
    // and settings for ten-second takes.
    std::string oldSong()
    {
        std::string old = wavBytes(44100, 2, 16, patternBytes(8000, 3));
        writeFile(path("song.wav"), old);
        writeFile(path("tlist.txt"), "song.wav\n");
        settings(2, 16, "10", "song.wav");
        return old;
    }

    // Feeds the input's periods from first to first + count - 1 at a
    // card's pace: each one only once the one before is in the take file,
    // whose data it continues, and a little later, as a card that delivers
    // in real time does (a device that delivers faster has its periods
    // gathered into fewer writes).
    void feedPaced(long first, long count)
    {
        for (long k = first; k < first + count; ++k) {
            ASSERT_TRUE(prog.feed(input(k * kPeriod, kPeriod)));
            ASSERT_TRUE(live::Program::fileReaches(path("tunevat_temp.wav"),
                                                   44 + (k + 1) * kPeriodBytes))
                << "period " << k << " never reached the take file\n" << prog.output();
            usleep(30000);
        }
    }

    // After a Ctrl-C, feeds the input's periods from first on, one at a
    // time, until the take menu shows (at most four), as a card goes on
    // delivering: the reading thread may have begun its next read before
    // the signal's note was made, and that read waits for a period.
    // Returns false when the menu never came.
    bool feedUntilMenu(long first, int count = 1)
    {
        for (long k = first; k < first + 4; ++k) {
            if (!prog.feed(input(k * kPeriod, kPeriod))) return false;
            for (int i = 0; i < 100; ++i) {
                if (countOf(prog.output(), takeMenu()) >= count) return true;
                usleep(10000);
            }
        }
        return prog.waitFor(takeMenu(), count);
    }

    static int countOf(const std::string &out, const std::string &text)
    {
        int seen = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++seen;
        return seen;
    }

    // Starts recording over song.wav and feeds it periods periods.
    void startTake(long periods)
    {
        ASSERT_TRUE(prog.start(dir, card, fifo));
        prog.type("r\n1\n");
        feedPaced(0, periods);
    }

    // The take file is a WAV file whose exact sizes count frames frames,
    // the first of the input, and sox reads them back.
    void expectExactTake(const std::string &p, long frames)
    {
        expectExactTakeOf(p, input(0, frames));
    }

    // The same for a take that holds the audio data.
    void expectExactTakeOf(const std::string &p, const std::string &data)
    {
        std::string bytes = readFile(p);
        ASSERT_EQ(bytes.size(), 44 + data.size()) << p;
        EXPECT_EQ(le32(bytes, 40), (unsigned long)data.size());
        EXPECT_EQ(le32(bytes, 4), (unsigned long)data.size() + 36);
        EXPECT_TRUE(bytes.substr(44) == data);
        RunResult r = runProgram(dir, {"sox", p, "-t", "raw", path("back.raw")});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(readFile(path("back.raw")) == data);
    }
};

// Ctrl-C in the middle of a take ends it where it is and the take menu
// follows; "1" keeps what was recorded, "2" goes on right after it.
TEST_F(TakeFile, CtrlCEndsTheTakeAndTheMenuFollows)
{
    struct Case {
        const char *answers;   // typed at the take menu after Ctrl-C
        long more;             // periods fed for the take that "2" starts
    } cases[] = {
        {"1\n", 0},
        {"2\n", 5},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.answers);
        oldSong();
        startTake(3);
        prog.signal(SIGINT);
        ASSERT_TRUE(feedUntilMenu(3)) << prog.output();
        std::string first = prog.output();
        long periods = periodsCounted(first);
        EXPECT_TRUE(periods >= 3 && periods <= 5) << first;
        EXPECT_NE(first.find(report(kStereoPeaks) + takeMenu()), std::string::npos) << first;
        prog.type(c.answers);
        long total = periods;
        if (c.more > 0) {
            // The next take reads on from the input where the first stopped;
            // a take of ten seconds is ended by Ctrl-C again.
            feedPaced(periods, c.more);
            prog.signal(SIGINT);
            ASSERT_TRUE(feedUntilMenu(periods + c.more, 2)) << prog.output();
            total = periodsCounted(prog.output());
            EXPECT_TRUE(total >= periods + c.more && total <= periods + c.more + 2);
            prog.type("1\n");
        }
        prog.type("q\n");
        EXPECT_EQ(prog.wait(), 0) << prog.output();
        // No gap and no repeat: the takes follow each other in the file.
        EXPECT_TRUE(readFile(path("song.wav")) == wavBytes(44100, 2, 16, input(0, total * kPeriod)))
            << total << " periods";
        EXPECT_EQ(readFile(path("tlist.txt")), "song.wav\n");
        EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
    }
}

// A Ctrl-C that comes while the last period of a take is read has nothing
// left to stop: the take menu follows and waits for its answer as usual.
TEST_F(TakeFile, CtrlCWithTheLastPeriodStillWaitsAtTheMenu)
{
    oldSong();
    settings(2, 16, "0.15", "song.wav");   // two periods
    startTake(1);
    prog.signal(SIGINT);
    ASSERT_TRUE(prog.feed(input(kPeriod, kPeriod)));
    ASSERT_TRUE(prog.waitFor(takeMenu())) << prog.output();
    long periods = periodsCounted(prog.output());
    prog.type("1\nq\n");
    EXPECT_EQ(prog.wait(), 0) << prog.output();
    EXPECT_EQ(prog.output().find(kKept), std::string::npos);
    EXPECT_TRUE(readFile(path("song.wav")) == wavBytes(44100, 2, 16, input(0, periods * kPeriod)));
    EXPECT_NE(prog.output().find("Saving list and parameters\n"), std::string::npos);
}

// SIGTERM or SIGHUP, in a take or at the take menu: the take file keeps
// every period with exact sizes, the program says where and ends by that
// signal, and the target, the list and the settings are as they were. The
// next start moves the take aside and says where it went.
TEST_F(TakeFile, TermAndHangUpKeepTheTakeAndTouchNothingElse)
{
    struct Case {
        int sig;
        bool atMenu;   // sent at the take menu (after Ctrl-C ended the take)
    } cases[] = {
        {SIGTERM, false},
        {SIGHUP, false},
        {SIGTERM, true},
        {SIGHUP, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.sig)) + (c.atMenu ? " at the menu" : " in a take"));
        for (const std::string &n : namesMatching(dir, kAsidePattern)) unlink(path(n).c_str());
        unlink(path("tunevat_temp.wav").c_str());
        std::string old = oldSong();
        std::string settingsBefore = readFile(path("rcvat.txt"));
        startTake(4);
        long periods = 4;
        if (c.atMenu) {
            prog.signal(SIGINT);
            ASSERT_TRUE(feedUntilMenu(4)) << prog.output();
            periods = periodsCounted(prog.output());
        }
        prog.signal(c.sig);
        if (!c.atMenu) {
            // The read under way may still take one more period.
            prog.feed(input(4 * kPeriod, kPeriod));
        }
        int status = prog.wait();
        EXPECT_EQ(status, 128 + c.sig) << prog.output();
        std::string out = prog.output();
        periods = periodsCounted(out);
        EXPECT_NE(out.find(kKept), std::string::npos) << out;
        EXPECT_EQ(out.find("Saving list"), std::string::npos);
        EXPECT_TRUE(readFile(path("song.wav")) == old);
        EXPECT_EQ(readFile(path("tlist.txt")), "song.wav\n");
        EXPECT_EQ(readFile(path("rcvat.txt")), settingsBefore);
        expectExactTake(path("tunevat_temp.wav"), periods * kPeriod);

        // The next start keeps the take aside, with one line.
        RunResult r = runTunevat(dir, "q\n", conf, 60);
        std::vector<std::string> aside = namesMatching(dir, kAsidePattern);
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_NE(r.out.find("Opening existing list: tlist.txt\nA take left in tunevat_temp.wav "
                             "is kept as " + aside[0] + "\nType h"),
                  std::string::npos)
            << r.out;
        EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
        expectExactTake(path(aside[0]), periods * kPeriod);
    }
}

// Started with SIGHUP ignored (under nohup), the program leaves it ignored:
// a hang-up in the middle of a take changes nothing, and the take records
// on to be kept.
TEST_F(TakeFile, AHangUpIgnoredAtStartStaysIgnored)
{
    oldSong();
    prog.ignored = {SIGHUP};
    startTake(3);
    prog.signal(SIGHUP);
    feedPaced(3, 2);
    prog.signal(SIGINT);
    ASSERT_TRUE(feedUntilMenu(5)) << prog.output();
    long periods = periodsCounted(prog.output());
    EXPECT_GE(periods, 5);
    prog.type("1\nq\n");
    EXPECT_EQ(prog.wait(), 0) << prog.output();
    EXPECT_TRUE(readFile(path("song.wav")) == wavBytes(44100, 2, 16, input(0, periods * kPeriod)));
}

// Started with SIGINT, SIGHUP and SIGCONT ignored, it gives SIGTERM back
// its own disposition after a take: at the prompt it ends the program.
TEST_F(TakeFile, TermAtThePromptEndsTheProgramWhateverElseIsIgnored)
{
    oldSong();
    prog.ignored = {SIGINT, SIGHUP, SIGCONT};
    settings(2, 16, "0.15", "song.wav");   // two periods
    startTake(2);
    ASSERT_TRUE(prog.waitFor(takeMenu())) << prog.output();
    prog.type("1\n");
    ASSERT_TRUE(prog.waitFor("Recording: \tDur", 2)) << prog.output();
    prog.signal(SIGTERM);
    EXPECT_EQ(prog.wait(), 128 + SIGTERM) << prog.output();
}

// A second tunevat in the same folder cannot record while the first one
// does; the first one's take is untouched by it.
TEST_F(TakeFile, OneRecorderPerFolder)
{
    oldSong();
    startTake(2);
    std::string second = readFile(path("tunevat_temp.wav"));
    RunResult r = runTunevat(dir, "r\nq\n", conf, 60);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Another tunevat is recording in " + dir + "\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("song.wav exists"), std::string::npos);
    EXPECT_EQ(r.out.find("A take left"), std::string::npos);
    EXPECT_TRUE(readFile(path("tunevat_temp.wav")) == second);

    // The first one records on and keeps its whole take.
    prog.signal(SIGINT);
    ASSERT_TRUE(feedUntilMenu(2)) << prog.output();
    long periods = periodsCounted(prog.output());
    prog.type("1\nq\n");
    EXPECT_EQ(prog.wait(), 0);
    EXPECT_TRUE(readFile(path("song.wav")) == wavBytes(44100, 2, 16, input(0, periods * kPeriod)));
}

// A take left in the take file (a kill, a failed move) is moved aside
// before the next recording, never emptied; a take file that is a symlink
// or a FIFO is not recorded into, and what it names is left alone.
TEST_F(TakeFile, LeftOversAndPlantedNamesAreNeverEmptied)
{
    // A take of 3 periods that a killed run left with its planned sizes.
    std::string left = wavBytes(44100, 2, 16, input(0, 3 * kPeriod));
    std::string planned = left;
    for (int i = 0; i < 4; ++i) planned[40 + i] = (char)((441000 * 4 >> (8 * i)) & 0xff);
    writeFile(path("tunevat_temp.wav"), planned);
    settings(2, 16, "1", "new.wav");
    // The capture reads a plain file here.
    std::string fileCard = writeVirtualCard(dir, path("in.raw"));
    // Made while the leftover is there: at start-up it goes aside.
    RunResult r = runTunevat(dir, "r 1 q\n", fileCard, 60);
    ASSERT_EQ(r.status, 0) << r.out;
    std::vector<std::string> aside = namesMatching(dir, kAsidePattern);
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_NE(r.out.find("A take left in tunevat_temp.wav is kept as " + aside[0] + "\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(readFile(path(aside[0])) == left);   // sizes made exact
    EXPECT_TRUE(readFile(path("new.wav")) == wavBytes(44100, 2, 16, input(0, kTakeFrames)));

    struct Planted {
        const char *what;
        std::string message;
    } planted[] = {
        {"symlink", "tunevat_temp.wav is a symbolic link: tunevat does not record through it\n"},
        {"fifo", "tunevat_temp.wav is not a regular file: tunevat does not record into it\n"},
    };
    for (const Planted &p : planted) {
        SCOPED_TRACE(p.what);
        unlink(path("tunevat_temp.wav").c_str());
        writeFile(path("victim.wav"), "precious");
        if (std::string(p.what) == "symlink") {
            ASSERT_EQ(symlink("victim.wav", path("tunevat_temp.wav").c_str()), 0);
        } else {
            ASSERT_EQ(mkfifo(path("tunevat_temp.wav").c_str(), 0600), 0);
        }
        r = runTunevat(dir, "f other r q\n", fileCard, 60);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find(p.message), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Recording..."), std::string::npos);
        EXPECT_EQ(readFile(path("victim.wav")), "precious");
        EXPECT_FALSE(fileExists(path("other.wav")));
        struct stat sb;
        ASSERT_EQ(lstat(path("tunevat_temp.wav").c_str(), &sb), 0);
        EXPECT_FALSE(S_ISREG(sb.st_mode));
    }
}

// The disk fills for a moment: the write that fails ends the take at once
// with the reason, and once space is back the recording goes on ("2")
// right after the last whole period on disk: no hole of silence, only the
// period the disk refused is missing. Nothing after a failed write is
// written into the take.
TEST_F(TakeFile, DiskFullForAMomentLeavesNoHole)
{
    std::string fs = path("fs");
    ASSERT_EQ(mkdir(fs.c_str(), 0755), 0);
    if (mount("tmpfs", fs.c_str(), "tmpfs", 0, "size=128k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
    struct Unmount {
        std::string at;
        ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{fs};
    writeFile(fs + "/tlist.txt", "");
    writeFile(fs + "/rcvat.txt", "d\t10\ntlist\ttlist.txt\nrname\tsong.wav\n");
    // Fill the disk, then give back room for the header and two periods.
    std::string filler = fs + "/filler";
    {
        FILE *f = fopen(filler.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        setvbuf(f, nullptr, _IONBF, 0);
        char block[4096] = {};
        while (fwrite(block, 1, sizeof block, f) == sizeof block) {
        }
        fclose(f);
    }
    ASSERT_EQ(truncate(filler.c_str(), fileSize(filler) - 2 * kPeriodBytes - 4096), 0);

    ASSERT_TRUE(prog.start(fs, card, fifo, "../live.out"));
    prog.type("r\n");
    std::string take = fs + "/tunevat_temp.wav";
    for (long k = 0; k < 2; ++k) {
        ASSERT_TRUE(prog.feed(input(k * kPeriod, kPeriod)));
        ASSERT_TRUE(live::Program::fileReaches(take, 44 + (k + 1) * kPeriodBytes)) << prog.output();
        usleep(30000);
    }
    ASSERT_TRUE(prog.feed(input(2 * kPeriod, kPeriod)));   // the disk refuses this one
    ASSERT_TRUE(prog.waitFor("Cannot write tunevat_temp.wav: No space left on device\n\n"
                             "Channel 1 peak")) << prog.output();
    ASSERT_TRUE(prog.waitFor(takeMenu())) << prog.output();
    std::string bytes = readFile(take);
    ASSERT_EQ((long)bytes.size(), 44 + 2 * kPeriodBytes);
    EXPECT_EQ(le32(bytes, 40), (unsigned long)(2 * kPeriodBytes));
    EXPECT_TRUE(bytes.substr(44) == input(0, 2 * kPeriod));

    // Space comes back; the next take goes on with what the card gives
    // next. The read that was under way when the disk refused the period
    // may take one more period for the take that ended; nothing after the
    // two periods is a hole of silence.
    ASSERT_EQ(unlink(filler.c_str()), 0);
    prog.type("2\n");
    ASSERT_TRUE(prog.feed(input(3 * kPeriod, kPeriod)));
    for (long k = 4; k < 6; ++k) {
        ASSERT_TRUE(prog.feed(input(k * kPeriod, kPeriod)));
        ASSERT_TRUE(live::Program::fileReaches(take, 44 + (k - 2) * kPeriodBytes)) << prog.output();
        usleep(30000);
    }
    prog.signal(SIGINT);
    ASSERT_TRUE(feedUntilMenu(6, 2)) << prog.output();
    prog.type("1\nq\n");
    EXPECT_EQ(prog.wait(), 0) << prog.output();
    std::string made = readFile(fs + "/song.wav");
    ASSERT_GE(made.size(), 44u + 4 * kPeriodBytes);
    long second = (long)(made.size() - 44) / kPeriodBytes - 2;
    long from = made.substr(44 + 2 * kPeriodBytes, kPeriodBytes) == input(3 * kPeriod, kPeriod) ? 3 : 4;
    EXPECT_TRUE(second >= 2 && from + second <= 10) << second << " from " << from;
    EXPECT_TRUE(made == wavBytes(44100, 2, 16, input(0, 2 * kPeriod) +
                                                   input(from * kPeriod, second * kPeriod)));
}

// What the take menu rejects leaves the take file at once: after "3"
// (redo) the file holds only the new take, after "2" (continue) only the
// planned length of the take before it. A kill right then, and the next
// start keeps exactly that as the left-over take: never frames the user
// rejected.
TEST_F(TakeFile, RejectedAudioNeverComesBackAfterAKill)
{
    struct Case {
        const char *answer;
        const char *duration;   // of every take
        long firstPeriods;      // fed to the first take (ended by Ctrl-C when short)
        long laterPeriods;      // fed to the take the answer starts
        long keptFrom;          // the left-over take is the input from this frame...
        long keptFrames;        // ...for this many frames
    } cases[] = {
        // Ctrl-C after 5 periods, redo, 2 periods of the new take.
        {"3", "10", 5, 2, -1, 2 * kPeriod},
        // 0.25 s is 11025 frames: 3 periods read, 1263 frames past it.
        {"2", "0.25", 3, 0, 0, 11025},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("answer ") + c.answer);
        for (const std::string &n : namesMatching(dir, kAsidePattern)) unlink(path(n).c_str());
        unlink(path("tunevat_temp.wav").c_str());
        oldSong();
        settings(2, 16, c.duration, "song.wav");
        startTake(c.firstPeriods);
        long periods = c.firstPeriods;
        if (std::string(c.duration) == "10") {
            prog.signal(SIGINT);
            ASSERT_TRUE(feedUntilMenu(periods)) << prog.output();
        }
        ASSERT_TRUE(prog.waitFor(takeMenu())) << prog.output();
        periods = periodsCounted(prog.output());
        prog.type(std::string(c.answer) + "\n");
        if (c.laterPeriods == 0) {
            // Killed once the answer has been carried out: the take file
            // is cut to what is kept before the next take reads anything.
            std::string take = path("tunevat_temp.wav");
            long cut = 44 + c.keptFrames * 4;
            for (int i = 0; i < 300 && fileSize(take) != cut; ++i) usleep(10000);
            EXPECT_EQ(fileSize(take), cut);
        }
        // At a card's pace: each period in the file before the next comes.
        for (long k = 0; k < c.laterPeriods; ++k) {
            ASSERT_TRUE(prog.feed(input((periods + k) * kPeriod, kPeriod)));
            ASSERT_TRUE(live::Program::fileReaches(path("tunevat_temp.wav"),
                                                   44 + (k + 1) * kPeriodBytes));
            usleep(30000);
        }
        usleep(100000);
        prog.signal(SIGKILL);
        EXPECT_EQ(prog.wait(), 128 + SIGKILL);

        RunResult r = runTunevat(dir, "q\n", conf, 60);
        std::vector<std::string> aside = namesMatching(dir, kAsidePattern);
        ASSERT_EQ(aside.size(), 1u) << r.out;
        long from = c.keptFrom < 0 ? periods * kPeriod : c.keptFrom;
        expectExactTakeOf(path(aside[0]), input(from, c.keptFrames));
    }
}

// Past 4 GiB the take file turns RF64, before the take that carries the
// audio there: takes planned at 24347.5 s (4 GiB less 50 KiB), ended by
// Ctrl-C after three periods, make "2" ask for the turn. Whatever happens
// then (the disk full, a kill before each write after the block is
// inserted, a kill in the copy made where none can be inserted or right
// after it), "1" keeps every period, or the next start keeps them aside,
// as libsndfile reads them (and a bext chunk), and no copy is left. Takes
// planned within 4 GiB whose whole periods pass it where no block can be
// inserted, and past it onto tmpfs, start and keep what they record.
TEST_F(TakeFile, TheTurnToRf64LosesNothingAtAnyInstant)
{
    if (std::string(TUNEVAT_SNDCHECK).empty()) GTEST_SKIP() << "built without libsndfile";
    char shm[] = "/dev/shm/tunevat-test-rf64.XXXXXX";
    std::string tmpfs = mkdtemp(shm) ? std::string(shm) + "/song.wav" : "";
    struct Remove {
        std::string dir;
        ~Remove() { if (!dir.empty()) removeTree(dir); }
    } removeShm{tmpfs.empty() ? "" : shm};
    const std::string turn = "24347.5", kill = "TV_FAULT_KILL_ON=tunevat_temp.wav", noInsert = "TV_FAULT_INSERT=95";
    struct Case {
        std::vector<std::string> shim;
        std::string duration, target;
        bool killed;       // at the turn; the next start keeps the take aside
        bool bwf = false;  // with a bext chunk, which stays a chunk
    } cases[] = {
        {{"TV_FAULT_FULL_ON=tunevat_temp.wav*"}, turn, "song.wav", false},
        {{kill, "TV_FAULT_KILL_AFTER_INSERT=1"}, turn, "song.wav", true},
        {{kill, "TV_FAULT_KILL_AFTER_INSERT=2"}, turn, "song.wav", true},
        {{kill, "TV_FAULT_KILL_AFTER_INSERT=3"}, turn, "song.wav", true, true},
        {{noInsert, kill + ".rf64", "TV_FAULT_KILL_BYTES=100"}, turn, "song.wav", true},
        {{noInsert, kill + ".rf64", "TV_FAULT_KILL_RENAME=after"}, turn, "song.wav", true, true},
        {{noInsert}, "24347.85", "song.wav", false, true},   // 4 GiB less 7 KiB
        {{}, "30435", tmpfs, false},
    };
    // The turns in place need a file system that inserts blocks.
    int probe = open(path("probe").c_str(), O_RDWR | O_CREAT, 0644);
    bool inserts = ftruncate(probe, 65536) == 0 && fallocate(probe, FALLOC_FL_INSERT_RANGE, 0, 4096) == 0;
    close(probe);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.duration + " " + (c.shim.empty() ? c.target : c.shim.back()));
        if (c.target.empty() || (!inserts && !c.shim.empty() && c.shim[0] != noInsert)) continue;
        for (const std::string &n : namesMatching(dir, kAsidePattern)) unlink(path(n).c_str());
        unlink((c.target[0] == '/' ? c.target : path(c.target)).c_str());
        writeFile(path("tlist.txt"), "");
        settings(2, 16, c.duration, c.target);
        if (c.bwf) writeFile(path("rcvat.txt"), readFile(path("rcvat.txt")) + "bwf\t1\n");
        prog.env = c.shim;
        if (!c.shim.empty()) prog.env.push_back(std::string("LD_PRELOAD=") + TUNEVAT_FAULTSHIM);
        ASSERT_TRUE(prog.start(dir, card, fifo));
        prog.type("r\n");
        feedPaced(0, 3);
        prog.signal(SIGINT);
        ASSERT_TRUE(feedUntilMenu(3)) << prog.output();
        long frames = periodsCounted(prog.output()) * kPeriod;
        std::string kept = c.target;
        if (c.duration == turn) prog.type("2\n");
        if (c.killed) {
            EXPECT_EQ(prog.wait(), 128 + SIGKILL) << prog.output();
            RunResult r = runTunevat(dir, "q\n", conf, 60);
            std::vector<std::string> aside = namesMatching(dir, kAsidePattern);
            ASSERT_EQ(aside.size(), 1u) << r.out;
            EXPECT_NE(r.out.find("A take left in tunevat_temp.wav is kept as " + aside[0] + "\n"),
                      std::string::npos)
                << r.out;
            kept = aside[0];
        } else {
            if (c.shim.size() && c.shim[0].rfind("TV_FAULT_FULL_ON", 0) == 0) {
                EXPECT_TRUE(prog.waitFor(takeMenu(), 2)) << prog.output();
                EXPECT_NE(prog.output().find("Cannot make tunevat_temp.wav RF64 for a recording past "
                                             "4 GiB: No space left on device\n" + takeMenu()),
                          std::string::npos)
                    << prog.output();
            }
            prog.type("1\nq\n");
            EXPECT_EQ(prog.wait(), 0) << prog.output();
        }
        EXPECT_FALSE(fileExists(path("tunevat_temp.wav.rf64")));
        unlink(path("back.raw").c_str());
        RunResult s = runProgram(dir, {TUNEVAT_SNDCHECK, "read", kept, "back.raw"});
        EXPECT_EQ(s.status, 0) << s.err;
        EXPECT_EQ(s.out, "2 44100 " + std::to_string(frames) + " 16\n");
        EXPECT_TRUE(readFile(path("back.raw")) == input(0, frames));
        if (c.bwf) {
            EXPECT_NE(runProgram(dir, {TUNEVAT_SNDCHECK, "bext", kept}).out.find(" Tunevat\n"), std::string::npos);
        }
    }
}

// --- Takes of gigabytes. The virtual card's capture reads a named pipe
// that a thread of the test keeps full of frame-numbered audio: frame n
// holds n, its low 16 bits on the left, the next 16 on the right. Each
// case records for real, then reads the file's header whole and the audio
// in windows (at each end, around every join between takes, and spread
// between) in the program's own bytes and through libsndfile, and sox
// where it reads RF64. They need the disk space and take a minute; under
// the sanitizers they are left out.

using wavtest::le;

struct BigTakes : RecordE2E {
    std::string fifo;
    std::thread feeder;
    std::atomic<bool> stop{false};

    void SetUp() override
    {
        RecordE2E::SetUp();
        fifo = path("big.fifo");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        conf = writeVirtualCard(dir, fifo);
    }
    void TearDown() override
    {
        stop = true;
        if (feeder.joinable()) {
            // A feeder still waiting for its reader is let go.
            int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
            feeder.join();
            if (fd >= 0) close(fd);
        }
        RecordE2E::TearDown();
    }

    // Feeds numbered frames from 0 until the recorder closes the pipe.
    void startFeeding()
    {
        ::signal(SIGPIPE, SIG_IGN);
        feeder = std::thread([this] {
            int fd = open(fifo.c_str(), O_WRONLY);
            if (fd < 0) return;
            std::vector<uint16_t> block(1 << 19);
            for (uint64_t n = 0; !stop;) {
                for (size_t i = 0; i < block.size(); i += 2, ++n) {
                    block[i] = (uint16_t)(n & 0xffff);
                    block[i + 1] = (uint16_t)((n >> 16) & 0xffff);
                }
                size_t bytes = block.size() * 2;
                if (write(fd, block.data(), bytes) != (ssize_t)bytes) break;
            }
            close(fd);
        });
    }

    // The frame numbers of count frames of the file's audio from frame at.
    std::vector<uint32_t> framesAt(int fd, long long audioAt, long long at, long count)
    {
        std::vector<uint32_t> v((size_t)count);
        EXPECT_EQ(pread(fd, v.data(), (size_t)count * 4, (off_t)(audioAt + at * 4)), (ssize_t)count * 4);
        for (uint32_t &x : v) x = (x & 0xffff) | (x >> 16 << 16);
        return v;
    }
};

// A take's frames as the file keeps them: starting at file frame start,
// for frames frames, numbered from first on.
struct TakeSpan {
    long long start, frames, first;
};

TEST_F(BigTakes, TakesOfGigabytesAreWholeWithExactHeaders)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "gigabytes of audio through the sanitizers take too long";
#endif
    if (std::string(TUNEVAT_SNDCHECK).empty()) GTEST_SKIP() << "built without libsndfile";
    const long long kPlannedBig = 1LL << 33;   // 8 GiB free at least
    if (freeBytes(dir.c_str()) < 2 * kPlannedBig)
        GTEST_SKIP() << "less than 16 GiB free where the tests run";
    struct Case {
        const char *name;
        const char *duration;   // of every take
        const char *answers;    // at the take menus
        int header;             // 44, 80, or 4140 (a block inserted before the RIFF header)
    } cases[] = {
        // 18261 s: 3.0 GiB, a RIFF file; 30435 s: 5.0 GiB, RF64 from the start.
        {"a take of 3 GiB", "18261", "1\n", 44},
        {"a take of 5 GiB", "30435", "1\n", 80},
        // 9131 s: 1.5 GiB each; the second carries the recording past 2 GiB,
        // the third past 4 GiB, and the file turns RF64 before it.
        {"three takes of 1.5 GiB", "9131", "2\n2\n1\n", 4140},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        stop = false;
        SetUp();
        settings(2, 16, c.duration, "big.wav");
        startFeeding();
        RunResult r = runTunevat(dir, std::string("r\n") + c.answers + "q\n", conf, 900);
        ASSERT_EQ(r.status, 0) << r.err;
        stop = true;
        feeder.join();

        // Where each take lies in the file and which frames it holds.
        long long planned = (long long)(atof(c.duration) * 44100.0);
        long long whole = (planned + kPeriod - 1) / kPeriod * kPeriod;
        int takes = (int)std::count(c.answers, c.answers + strlen(c.answers), '\n');
        std::vector<TakeSpan> spans;
        for (int k = 0; k < takes; ++k)
            spans.push_back({k * planned, k + 1 == takes ? whole : planned, k * whole});
        long long frames = spans.back().start + spans.back().frames;
        std::string name = path("big.wav");
        ASSERT_EQ(fileSize(name), c.header + frames * 4);

        // The header, byte for byte.
        int fd = open(name.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        std::string head((size_t)c.header, '\0');
        ASSERT_EQ(pread(fd, &head[0], head.size(), 0), (ssize_t)head.size());
        std::string want = wavBytes(44100, 2, 16, "").substr(0, 36);
        unsigned long long data = (unsigned long long)frames * 4;
        if (c.header == 44) {
            want = std::string("RIFF") + le(data + 36, 4) + want.substr(8, 28) + "data" + le(data, 4);
        } else {
            std::string riffFmt = want.substr(8, 28);   // "WAVE" and the format chunk
            want = "RF64" + le(0xffffffffULL, 4) + "WAVE" + "ds64" + le(28, 4) +
                   le(c.header + data - 8, 8) + le(data, 8) + le((unsigned long long)frames, 8) +
                   le(0, 4) + riffFmt.substr(4);
            if (c.header == 80) {
                want += "data" + le(0xffffffffULL, 4);
            } else {
                want += "JUNK" + le(c.header - 8 - 80, 4);
                EXPECT_TRUE(head.substr(c.header - 8) == "data" + le(0xffffffffULL, 4));
                head = head.substr(0, want.size());
            }
        }
        EXPECT_TRUE(head == want) << c.header;

        // The audio in windows, in our bytes and through libsndfile.
        for (const TakeSpan &t : spans) {
            for (long long at : {0LL, t.frames / 3, t.frames - 1000}) {
                std::vector<uint32_t> got = framesAt(fd, c.header, t.start + at, 1000);
                for (long i = 0; i < 1000; ++i)
                    ASSERT_EQ(got[(size_t)i], (uint32_t)(t.first + at + i)) << "frame " << t.start + at + i;
                RunResult w = runProgram(dir, {TUNEVAT_SNDCHECK, "window", "big.wav",
                                               std::to_string(t.start + at), "1000", "w.raw"});
                ASSERT_EQ(w.status, 0) << w.err;
                EXPECT_EQ(w.out, "2 44100 " + std::to_string(frames) + " 16\n");
                std::string raw = readFile(path("w.raw"));
                ASSERT_EQ(raw.size(), 4000u);
                EXPECT_EQ(memcmp(raw.data(), got.data(), 4000), 0);
            }
        }
        close(fd);
        if (c.header == 44) {
            RunResult n = runProgram(dir, {"soxi", "-s", "big.wav"});
            EXPECT_EQ(n.out, std::to_string(frames) + "\n");
        }
        unlink(name.c_str());
    }
}

}  // namespace
