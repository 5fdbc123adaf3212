// Faults while recording and saving: a full disk during a take, an append,
// a finalisation onto another file system and the saves of the list and
// the settings; a working directory or target that may not be written; a
// list file, settings file or target that is a directory; a target that
// vanishes during the take; devices that refuse the format. In every case
// the old target, list and settings stay byte for byte as they were, and
// a take that could not reach its target stays whole in the take file with
// a message that says so.
//
// A full disk is a small tmpfs mounted for the test (tests run as root;
// without the right to mount they are skipped). The other faults come from
// tests/faultshim.cpp, preloaded into tunevat.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e_record_util.h"
#include "harness.h"

using namespace rec;

namespace {

const char kKept[] = "The recording is kept in tunevat_temp.wav\n";

struct Faults : RecordE2E {
    std::vector<std::string> mounts;

    void TearDown() override
    {
        for (const std::string &m : mounts) umount2(m.c_str(), MNT_DETACH);
        RecordE2E::TearDown();
    }

    // Mounts a tmpfs of kib KiB at dir/name; false when not permitted.
    bool smallDisk(const std::string &name, int kib)
    {
        std::string at = path(name);
        if (mkdir(at.c_str(), 0755) != 0) return false;
        std::string opts = "size=" + std::to_string(kib) + "k";
        if (mount("tmpfs", at.c_str(), "tmpfs", 0, opts.c_str()) != 0) return false;
        mounts.push_back(at);
        return true;
    }

    // Mounts an ext4 of kib KiB that keeps reserved percent of its blocks
    // for root at dir/name; false when not permitted.
    bool smallExt4(const std::string &name, int kib, int reserved)
    {
        std::string make = "mkdir " + name + " && truncate -s " + std::to_string(kib) + "K " + name +
                           ".img && mkfs.ext4 -q -b 1024 -O ^has_journal -m " + std::to_string(reserved) +
                           " " + name + ".img && mount -o loop " + name + ".img " + name;
        if (runProgram(dir, {"sh", "-c", make}).status != 0) return false;
        mounts.push_back(path(name));
        return true;
    }

    // Fills the file system that holds p until a write fails.
    void fill(const std::string &p)
    {
        FILE *f = fopen(p.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        setvbuf(f, nullptr, _IONBF, 0);
        char block[512] = {};
        while (fwrite(block, 1, sizeof block, f) == sizeof block) {
        }
        char one = 0;
        while (fwrite(&one, 1, 1, f) == 1) {
        }
        fclose(f);
    }

    // Runs tunevat with env (NAME=value words) in the subdirectory sub of
    // dir (empty: dir itself); its console files stay in dir.
    RunResult runWith(const std::vector<std::string> &env, const std::string &input,
                      const std::string &sub = "", const std::string &alsaConf = "")
    {
        std::vector<std::string> argv = {"env"};
        if (!sub.empty()) argv.push_back("--chdir=" + path(sub));
        for (const std::string &e : env) argv.push_back(e);
        if (!env.empty()) {
            // A sanitized build wants its runtime first; the shim comes
            // before it here, which is harmless.
            const char *asan = getenv("ASAN_OPTIONS");
            argv.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                           ":verify_asan_link_order=0");
        }
        argv.push_back(TUNEVAT_BIN);
        return runProgram(dir, argv, input, alsaConf.empty() ? conf : alsaConf, 60);
    }

    std::vector<std::string> shim(const std::vector<std::string> &vars)
    {
        std::vector<std::string> env = {std::string("LD_PRELOAD=") + TUNEVAT_FAULTSHIM};
        env.insert(env.end(), vars.begin(), vars.end());
        return env;
    }

    // Writes name (a WAV of 16-bit stereo pattern audio, with an optional
    // chunk after the data), the list and the settings into sub.
    void oldFiles(const std::string &sub, const std::string &name, long dataBytes,
                  const std::string &duration, const std::string &after = "")
    {
        std::string at = sub.empty() ? dir : path(sub);
        std::string wav = wavBytes(44100, 2, 16, patternBytes(dataBytes, 7));
        if (!after.empty()) {
            wav += after;
            unsigned long riff = wav.size() - 8;
            for (int i = 0; i < 4; ++i) wav[4 + i] = (char)((riff >> (8 * i)) & 0xff);
        }
        writeFile(at + "/" + name, wav);
        writeFile(at + "/tlist.txt", "other.wav\n\n" + name + "\n");
        writeFile(at + "/rcvat.txt", "dv\tdefault\nsr\t44100\nbits\t16\nch\t2\nd\t" + duration +
                                         "\ntlist\ttlist.txt\nrname\t" + name + "\n");
    }

    struct Snapshot {
        std::string target, list, settings;
    };
    Snapshot snap(const std::string &at, const std::string &name)
    {
        return {readFile(at + "/" + name), readFile(at + "/tlist.txt"),
                readFile(at + "/rcvat.txt")};
    }
    void expectSame(const Snapshot &before, const std::string &at, const std::string &name)
    {
        EXPECT_TRUE(readFile(at + "/" + name) == before.target) << name << " changed";
        EXPECT_TRUE(readFile(at + "/tlist.txt") == before.list) << "list changed";
        EXPECT_TRUE(readFile(at + "/rcvat.txt") == before.settings) << "settings changed";
    }

    // The take file at p holds a header and, after it, exactly the first
    // bytes of the capture input: all of them when whole is set.
    void expectTake(const std::string &p, long frames, bool whole)
    {
        std::string take = readFile(p);
        ASSERT_GE(take.size(), (size_t)44);
        long held = (long)take.size() - 44;
        if (whole) {
            EXPECT_EQ(held, frames * 4);
        }
        EXPECT_LE(held, frames * 4);
        EXPECT_TRUE(take.substr(44) == input(0, held / 4)) << "take bytes differ from the input";
        EXPECT_EQ(held % 4, 0);
    }

    // Names in d that start with prefix (left-over temporary files).
    int countPrefixed(const std::string &d, const std::string &prefix)
    {
        int n = 0;
        DIR *dh = opendir(d.c_str());
        if (!dh) return -1;
        while (struct dirent *e = readdir(dh)) {
            if (strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) ++n;
        }
        closedir(dh);
        return n;
    }

    // A take onto the file system at dir/fs until its disk is full.
    void diskFullTake(const char *duration, int kib);
};

#define NEED_SMALL_DISK(name, kib) \
    if (!smallDisk(name, kib)) GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno)

// The disk fills during a take that is to replace an old file. The take
// ends at the first write the disk refuses, with the file's name and the
// system's reason; the take file holds every whole period before it, with
// no hole and exact sizes, and the take menu follows as usual: "1" keeps
// what was recorded. The line before the take says how long a take fits.
void Faults::diskFullTake(const char *duration, int kib)
{
    oldFiles("fs", "song.wav", 20000, duration);
    Snapshot before = snap(path("fs"), "song.wav");

    // Left without saving: the list already names song.wav.
    RunResult r = runWith({}, "r 1 1 x y\n", "fs");
    ASSERT_EQ(r.status, 0) << r.err;
    size_t failed = r.out.find("\nCannot write tunevat_temp.wav: No space left on device\n\n"
                               "Channel 1 peak = -6.02 dB\nChannel 2 peak = -20.00 dB\n" +
                               takeMenu());
    ASSERT_NE(failed, std::string::npos) << r.out;
    // The periods read before the failure were counted down (from this
    // virtual card, which runs faster than real time, the device is read
    // ahead of the disk, perhaps to the take's end); those that reached the
    // disk whole are the recording, with exact sizes and nothing after
    // them.
    std::string counted = r.out.substr(0, failed);
    long read = 0;
    for (size_t at = 0; (at = counted.find("\rRemaining ", at)) != std::string::npos; ++at)
        ++read;
    ASSERT_LE(read * kPeriod, (long)(atof(duration) * 44100) + kPeriod);
    std::string made = readFile(path("fs/song.wav"));
    ASSERT_GE(made.size(), 44u);
    long periods = (long)(made.size() - 44) / (kPeriod * 4);
    EXPECT_GT(periods, 0);
    EXPECT_LE(periods, read);
    EXPECT_TRUE(made == wavBytes(44100, 2, 16, input(0, periods * kPeriod)))
        << made.size() << " bytes for " << periods << " periods";
    // What was said to fit was recorded: never less, and more by at most
    // the period the disk took in part, one gathered write it refused whole
    // (256 KiB) and the 2 % ext4 keeps for itself.
    size_t at = r.out.find("Only ");
    ASSERT_NE(at, std::string::npos) << r.out;
    double said = atof(r.out.c_str() + at + 5) * 44100;
    EXPECT_LE((double)(periods * kPeriod), said + kPeriod) << r.out.substr(at, 70);
    EXPECT_GE((double)(periods * kPeriod), said - kPeriod - (262144 + kib * 1024 / 50) / 4)
        << r.out.substr(at, 70);
    EXPECT_EQ(readFile(path("fs/tlist.txt")), before.list);
    EXPECT_EQ(readFile(path("fs/rcvat.txt")), before.settings);
    EXPECT_FALSE(fileExists(path("fs/tunevat_temp.wav")));
    EXPECT_EQ(countPrefixed(path("fs"), "tlist.txt."), 0);
    EXPECT_EQ(countPrefixed(path("fs"), "rcvat.txt."), 0);
}

}  // namespace

TEST_F(Faults, DiskFullDuringTakeEndsItAndKeepsTheWholePeriods)
{
    NEED_SMALL_DISK("fs", 128);
    diskFullTake("1", 128);
}

// Root also fills the blocks ext4 reserves (half of them here), and the
// line before the take counts them.
TEST_F(Faults, RootFillsTheBlocksExt4ReservesForIt)
{
    if (geteuid() != 0 || !smallExt4("fs", 1536, 50)) GTEST_SKIP() << "cannot mount a small ext4 here";
    diskFullTake("9", 1536);
}

// The take fits, the appended copy does not: in place (the audio ends the
// file) and by rebuilding (a chunk follows the audio).
TEST_F(Faults, DiskFullWhileAppendingKeepsTargetAndWholeTake)
{
    for (int trailing = 0; trailing < 2; ++trailing) {
        SCOPED_TRACE(trailing ? "chunk after the audio" : "audio at the end");
        std::string fs = trailing ? "fs2" : "fs1";
        NEED_SMALL_DISK(fs, 160);
        oldFiles(fs, "song.wav", 40000, "0.5",
                 trailing ? std::string("LIST") + std::string("\x0a\0\0\0", 4) + "INFOabcdef" : "");
        Snapshot before = snap(path(fs), "song.wav");

        RunResult r = runWith({}, "r 4 1 x y\n", fs);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("No space left on device\n" + std::string(kKept)), std::string::npos)
            << r.out;
        expectSame(before, path(fs), "song.wav");
        // 0.5 s is 22050 frames: six periods.
        expectTake(path(fs + "/tunevat_temp.wav"), 6 * kPeriod, true);
        EXPECT_EQ(countPrefixed(path(fs), ".tunevat-"), 0);
    }
}

// Nothing fits any more: "s" and "q" both say that neither file could be
// written; a recording says why it cannot even write the take file's
// header and records nothing. The old file, the list and the settings
// stay, and no temporary file is left.
TEST_F(Faults, DiskFullBeforeAnythingIsWritten)
{
    struct Case {
        const char *name;
        const char *input;
        std::vector<std::string> said;   // each somewhere in the output
        const char *notSaid;
    } cases[] = {
        {"save and quit", "d 2.5 - 1 s q\n",
         {"Unable to open tlist.txt\nUnable to open rcvat.txt\n",
          "Saving list and parameters\nUnable to open tlist.txt\nUnable to open rcvat.txt\n"},
         nullptr},
        {"record", "r 1 x y\n",
         {existingMenu("song.wav") +
          "Cannot write tunevat_temp.wav: No space left on device\n\nTrack List:"},
         "Recording..."},
    };
    NEED_SMALL_DISK("fs", 64);
    oldFiles("fs", "song.wav", 1000, "1");
    fill(path("fs/filler"));
    Snapshot before = snap(path("fs"), "song.wav");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RunResult r = runWith({}, c.input, "fs");
        ASSERT_EQ(r.status, 0) << r.err;
        for (const std::string &text : c.said) EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
        if (c.notSaid) {
            EXPECT_EQ(r.out.find(c.notSaid), std::string::npos) << r.out;
        }
        expectSame(before, path("fs"), "song.wav");
        EXPECT_EQ(countPrefixed(path("fs"), "tlist.txt."), 0);
        EXPECT_EQ(countPrefixed(path("fs"), "rcvat.txt."), 0);
    }
}

// An append copies the old audio inside the kernel where it can. Where
// the kernel says it cannot copy between these files, the bytes go through
// the program instead and the recording is the same; any other failure of
// the copy is a failure of the append: the old file stays, the take is
// kept.
TEST_F(Faults, AppendCopiesThroughTheProgramWhereTheKernelCannot)
{
    struct Case {
        int err;
        bool appended;
    } cases[] = {{EXDEV, true},       {EINVAL, true}, {ENOSYS, true}, {EOPNOTSUPP, true},
                 {EPERM, true},       {ETXTBSY, true}, {EIO, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(strerror(c.err));
        unlink(path("tunevat_temp.wav").c_str());
        oldFiles("", "song.wav", 8000, "1");
        Snapshot before = snap(dir, "song.wav");
        RunResult r = runWith(shim({"TV_FAULT_COPY_RANGE=" + std::to_string(c.err)}), "r 4 1 q\n");
        ASSERT_EQ(r.status, 0) << r.err;
        if (c.appended) {
            EXPECT_TRUE(readFile(path("song.wav")) ==
                        wavBytes(44100, 2, 16, patternBytes(8000, 7) + input(0, kTakeFrames)));
            EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
        } else {
            EXPECT_NE(r.out.find("Cannot write song.wav: Input/output error\n"
                                 "The recording is kept in tunevat_temp.wav\n"),
                      std::string::npos)
                << r.out;
            EXPECT_TRUE(readFile(path("song.wav")) == before.target);
            expectTake(path("tunevat_temp.wav"), kTakeFrames, true);
        }
        EXPECT_EQ(countPrefixed(dir, ".tunevat-"), 0);
    }
}

// The target lies on another, full, file system: the rename cannot move
// the take there and the copy does not fit. The old target stays, the
// take stays whole in the working directory.
TEST_F(Faults, DiskFullOnTargetsFileSystemKeepsTakeInWorkingDirectory)
{
    NEED_SMALL_DISK("fs", 64);
    oldFiles("", "fs/song.wav", 20000, "1");
    fill(path("fs/filler"));
    Snapshot before = snap(dir, "fs/song.wav");

    RunResult r = runWith({}, "r 1 1 x y\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Cannot write fs/song.wav: No space left on device\n" +
                         std::string(kKept)),
              std::string::npos)
        << r.out;
    expectSame(before, dir, "fs/song.wav");
    expectTake(path("tunevat_temp.wav"), kTakeFrames, true);
    EXPECT_EQ(countPrefixed(path("fs"), ".tunevat-"), 0);
}

// A working directory where nothing may be written: no take file can be
// made, so nothing is recorded; the saves fail and say so.
TEST_F(Faults, UnwritableWorkingDirectoryChangesNothing)
{
    oldFiles("", "song.wav", 20000, "1");
    Snapshot before = snap(dir, "song.wav");
    RunResult r = runWith(shim({"TV_FAULT_DENY=*"}), "r 1 s q\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Cannot open tunevat_temp.wav: Permission denied\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Recording..."), std::string::npos);
    EXPECT_NE(r.out.find("Unable to open tlist.txt\nUnable to open rcvat.txt\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("Saving list and parameters\nUnable to open tlist.txt\nUnable to open "
                         "rcvat.txt\n"),
              std::string::npos);
    expectSame(before, dir, "song.wav");
    EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
}

// A target that may not be written refuses the append; the take is kept.
// The append builds the new file beside the target and renames it, so the
// right to write the target is asked for, not found by a failing open: the
// shim says no from the second such question on, when the take is done.
TEST_F(Faults, UnwritableTargetRefusesAppendAndKeepsTake)
{
    oldFiles("", "song.wav", 20000, "1");
    Snapshot before = snap(dir, "song.wav");
    RunResult r = runWith(shim({"TV_FAULT_READONLY=song.wav", "TV_FAULT_READONLY_AFTER=1"}),
                          "r 4 1 x y\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Cannot write song.wav: Permission denied\n" + std::string(kKept)),
              std::string::npos)
        << r.out;
    expectSame(before, dir, "song.wav");
    expectTake(path("tunevat_temp.wav"), kTakeFrames, true);
}

// The list file is a directory: the new recording is made, the list
// cannot be written there and says so, and the directory is untouched.
TEST_F(Faults, ListFileThatIsADirectory)
{
    settings(2, 16, "1", "new.wav");
    ASSERT_EQ(mkdir(path("tlist.txt").c_str(), 0755), 0);
    RunResult r = run("r 1 q\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Creating a new list: tlist.txt\n"), std::string::npos);
    EXPECT_NE(r.out.find("Unable to open tlist.txt\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Saving list and parameters\nUnable to open tlist.txt\n"),
              std::string::npos);
    struct stat sb;
    ASSERT_EQ(stat(path("tlist.txt").c_str(), &sb), 0);
    EXPECT_TRUE(S_ISDIR(sb.st_mode));
    EXPECT_EQ(countPrefixed(path("tlist.txt"), ""), 2);   // . and ..
    EXPECT_EQ(countPrefixed(dir, "tlist.txt."), 0);
    EXPECT_TRUE(readFile(path("new.wav")).substr(44) == input(0, kTakeFrames));
}

// The settings file is a directory: nothing is read from it, the save
// says it failed, and the directory is untouched.
TEST_F(Faults, SettingsFileThatIsADirectory)
{
    ASSERT_EQ(mkdir(path("rcvat.txt").c_str(), 0755), 0);
    RunResult r = run("tlist.txt d 2 q\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Saving list and parameters\nUnable to open rcvat.txt\n"),
              std::string::npos)
        << r.out;
    struct stat sb;
    ASSERT_EQ(stat(path("rcvat.txt").c_str(), &sb), 0);
    EXPECT_TRUE(S_ISDIR(sb.st_mode));
    EXPECT_EQ(countPrefixed(dir, "rcvat.txt."), 0);
}

// The target name is a directory: an append cannot read it, a replace
// cannot move the take onto it; the take stays whole, the directory as it
// was, the list unchanged.
TEST_F(Faults, TargetThatIsADirectory)
{
    settings(2, 16, "1", "song.wav");
    writeFile(path("tlist.txt"), "a.wav\n");
    ASSERT_EQ(mkdir(path("song.wav").c_str(), 0755), 0);
    writeFile(path("song.wav/inside"), "x");
    RunResult r = run("r 4 r 1 1 q\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Cannot move tunevat_temp.wav to song.wav: Is a directory\n" +
                         std::string(kKept)),
              std::string::npos)
        << r.out;
    EXPECT_EQ(readFile(path("song.wav/inside")), "x");
    EXPECT_EQ(readFile(path("tlist.txt")), "a.wav\n");
    expectTake(path("tunevat_temp.wav"), kTakeFrames, true);
}

// The target is removed by someone else while the take is recorded. An
// append then has nothing to add to: the take is kept and the list is not
// changed. A replace simply makes the file anew.
TEST_F(Faults, TargetVanishingDuringTheTake)
{
    oldFiles("", "song.wav", 20000, "1");
    std::string list = readFile(path("tlist.txt"));
    std::vector<std::string> vanish = shim({"TV_FAULT_VANISH=song.wav",
                                            "TV_FAULT_VANISH_ON=tunevat_temp.wav",
                                            "TV_FAULT_VANISH_MODE=rb+c"});
    RunResult r = runWith(vanish, "r 4 1 x y\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Cannot open song.wav: No such file or directory\n" +
                         std::string(kKept)),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(fileExists(path("song.wav")));
    EXPECT_EQ(readFile(path("tlist.txt")), list);
    expectTake(path("tunevat_temp.wav"), kTakeFrames, true);

    oldFiles("", "song.wav", 20000, "1");
    r = runWith(vanish, "r 1 1 q\n");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string made = readFile(path("song.wav"));
    ASSERT_EQ(made.size(), (size_t)(44 + kTakeFrames * 4));
    EXPECT_TRUE(made.substr(44) == input(0, kTakeFrames));
    EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
}

// Devices that open but refuse the sample format: nothing is recorded or
// played, the old target and the list stay, the take file holds only its
// header.
TEST_F(Faults, DevicesThatRefuseTheFormat)
{
    std::string card = path("mulaw.conf");
    writeFile(card, "pcm.mulawcard {\n type asym\n"
                    " capture.pcm { type mulaw slave { pcm \"null\" format S16_LE } }\n"
                    " playback.pcm { type mulaw slave { pcm \"null\" format S16_LE } }\n}\n");
    oldFiles("", "song.wav", 20000, "1");
    std::string settingsText = readFile(path("rcvat.txt"));
    writeFile(path("rcvat.txt"), "dv\tmulawcard\n" + settingsText.substr(settingsText.find('\n') + 1));
    Snapshot before = snap(dir, "song.wav");

    RunResult r = runWith({}, "r 1 2p x y\n", "", card);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Problem setting recording format: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Unable to set playback format: "), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Recording..."), std::string::npos);
    expectSame(before, dir, "song.wav");
    EXPECT_EQ(fileSize(path("tunevat_temp.wav")), 44);
}
