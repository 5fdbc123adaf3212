// tunevat killed (SIGKILL) in the middle of an append: while the new file
// is built beside the target, just before it is renamed over the target,
// and just after. The kill comes from the fault shim at a set point of the
// writing, so every case is the same on every run. Whatever the moment,
// the target must read, in the program's own reader and in sox, as either
// the old recording or the old one followed by the whole new take: never
// a fragment of the take after its audio.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <vector>

#include "e2e_record_util.h"
#include "harness.h"
#include "wav/wav.h"

using namespace rec;

namespace {

std::string withTail(const std::string &wav, const std::string &tail)
{
    std::string w = wav + tail;
    unsigned long riff = w.size() - 8;
    for (int i = 0; i < 4; ++i) w[4 + (size_t)i] = (char)((riff >> (8 * i)) & 0xff);
    return w;
}

struct KilledAppend : RecordE2E {
    RunResult runKilled(const std::vector<std::string> &vars, const std::string &in = "r 4 1 q\n")
    {
        std::vector<std::string> argv = {"env", std::string("LD_PRELOAD=") + TUNEVAT_FAULTSHIM,
                                         "TV_FAULT_KILL_ON=.tunevat-*"};
        argv.insert(argv.end(), vars.begin(), vars.end());
        // A sanitized build wants its runtime first; the shim before it is
        // harmless here.
        const char *asan = getenv("ASAN_OPTIONS");
        argv.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                       ":verify_asan_link_order=0");
        argv.push_back(TUNEVAT_BIN);
        return runProgram(dir, argv, in, conf, 60);
    }

    // The next start after the kill: when the target holds the take it says
    // so once, the take file is gone and the list names the target;
    // otherwise the take is kept aside as any left-over take. Either way
    // the target is as the kill left it and nothing unfinished is left.
    void nextStart(const std::string &target, const std::string &bytes, bool holdsTake)
    {
        RunResult r = runTunevat(dir, "q\n", conf, 60);
        EXPECT_EQ(r.status, 0) << r.out;
        const std::string said = "The take recorded before tunevat stopped is in " + target + "\n";
        EXPECT_EQ(r.out.find(said) != std::string::npos, holdsTake) << r.out;
        EXPECT_EQ(r.out.find("A take left in tunevat_temp.wav is kept as ") != std::string::npos,
                  !holdsTake)
            << r.out;
        EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
        EXPECT_TRUE(readFile(path(target)) == bytes);
        long size = -1;
        EXPECT_EQ(leftOver(&size), 0);
        EXPECT_FALSE(fileExists(path(".tunevat_temp.wav.saving")));
        if (holdsTake) {
            EXPECT_NE(readFile(path("tlist.txt")).find(target + "\n"), std::string::npos);
        }
    }

    // Frames as the program's reader counts them; -1 when it refuses.
    long framesRead(const std::string &file)
    {
        unsigned long rate = 0;
        unsigned long long offset = 0, frames = 0;
        unsigned int bps = 0, channels = 0;
        testing::internal::CaptureStdout();
        int ok = GetAttributes(path(file).c_str(), &rate, &bps, &channels, &offset, &frames, 0);
        testing::internal::GetCapturedStdout();
        return ok ? (long)frames : -1;
    }

    // What sox reads: its sample count and the samples as raw bytes.
    void soxRead(const std::string &file, std::string *count, std::string *raw)
    {
        RunResult r = runProgram(dir, {"soxi", "-s", file});
        EXPECT_EQ(r.status, 0) << r.err;
        *count = r.out;
        r = runProgram(dir, {"sox", file, "-t", "raw", "back.raw"});
        EXPECT_EQ(r.status, 0) << r.err;
        *raw = readFile(path("back.raw"));
    }

    // Unfinished new files left beside the target; *size is the last one's
    // length.
    int leftOver(long *size)
    {
        int n = 0;
        DIR *d = opendir(dir.c_str());
        while (struct dirent *e = readdir(d)) {
            if (std::string(e->d_name).rfind(".tunevat-", 0) == 0) {
                ++n;
                *size = fileSize(path(e->d_name));
            }
        }
        closedir(d);
        return n;
    }
};

TEST_F(KilledAppend, TheTargetIsTheOldRecordingOrTheWholeNewOne)
{
    const std::string old = patternBytes(8000, 7);   // 2000 stereo frames
    const std::string take = input(0, kTakeFrames);
    const std::string list = std::string("LIST") + std::string("\x04\0\0\0", 4) + "INFO";
    const long oldBytes = 44 + 8000;
    struct Case {
        const char *name;
        long bytes;        // the kill comes once this many bytes are written,
        const char *when;  // or at the rename
        bool newTake;      // the target then holds the new take
    } points[] = {
        {"at the first bytes of the new file", 1, nullptr, false},
        {"right after the old audio", oldBytes, nullptr, false},
        {"inside the new audio", oldBytes + 70000, nullptr, false},
        {"near the end of the new file", oldBytes + 180224 + 4, nullptr, false},
        {"just before the rename", 0, "before", false},
        {"just after the rename", 0, "after", true},
    };
    for (int trailing = 0; trailing < 2; ++trailing) {
        for (const Case &c : points) {
            SCOPED_TRACE(std::string(c.name) + (trailing ? ", a chunk after the audio" : ""));
            TearDown();
            SetUp();
            settings(2, 16, "1", "song.wav");
            std::string before = wavBytes(44100, 2, 16, old);
            std::string after = wavBytes(44100, 2, 16, old + take);
            if (trailing) {
                before = withTail(before, list);
                after = withTail(after, list);
            }
            writeFile(path("song.wav"), before);

            RunResult r = runKilled({c.when ? std::string("TV_FAULT_KILL_RENAME=") + c.when
                                             : "TV_FAULT_KILL_BYTES=" + std::to_string(c.bytes)});
            EXPECT_EQ(r.status, 128 + SIGKILL) << r.out << r.err;
            std::string now = readFile(path("song.wav"));
            EXPECT_TRUE(now == (c.newTake ? after : before)) << "size " << now.size();
            long frames = c.newTake ? 2000 + kTakeFrames : 2000;
            EXPECT_EQ(framesRead("song.wav"), frames);
            std::string count, raw;
            soxRead("song.wav", &count, &raw);
            EXPECT_EQ(count, std::to_string(frames) + "\n");
            EXPECT_TRUE(raw == (c.newTake ? old + take : old));
            // The take is still there to be kept; at most the one unfinished
            // new file is left beside the target.
            EXPECT_TRUE(readFile(path("tunevat_temp.wav")).substr(44, take.size()) == take);
            long size = -1;
            EXPECT_EQ(leftOver(&size), c.newTake ? 0 : 1);
            // The kill came where it was meant to: the file beside holds at
            // least the bytes the kernel was handed before it (the sizes
            // at the very end go through a stream buffer).
            if (c.bytes > 0) {
                EXPECT_GE(size, std::min(c.bytes, oldBytes + 180224));
            }
            nextStart("song.wav", c.newTake ? after : before, c.newTake);
        }
    }
}

// A new recording, killed as it is moved onto its target or while the list
// is saved after it: the next start finds the recording in its target,
// says so, lists it, and leaves no take to keep and no unfinished file.
// Killed just before the move over an old recording of the take's length
// whose first and last 64 KiB are the take's, the old recording stays and
// the take is kept aside; so too when the note has lost the take's device
// and inode.
TEST_F(KilledAppend, ANewRecordingIsListedByTheNextStart)
{
    struct Case {
        const char *name;
        const char *on;      // the file whose writing or renaming is cut short
        const char *fault;   // when
        bool moved = true;         // the take reached the target before the kill
        bool noIdentity = false;   // the note's line with the take's device and inode is lost
    } points[] = {
        {"just after the take is renamed onto the target", "tunevat_temp.wav",
         "TV_FAULT_KILL_RENAME=after"},
        {"at the first byte of the new list", ".tunevat-*", "TV_FAULT_KILL_BYTES=1"},
        {"just before the new list is renamed", ".tunevat-*", "TV_FAULT_KILL_RENAME=before"},
        {"just before the take is renamed over a recording with its ends", "tunevat_temp.wav",
         "TV_FAULT_KILL_RENAME=before", false, false},
        {"the same, the note without the take's identity", "tunevat_temp.wav",
         "TV_FAULT_KILL_RENAME=before", false, true},
    };
    for (const Case &c : points) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        settings(2, 16, "1", "song.wav");
        writeFile(path("tlist.txt"), "other.wav\n");
        std::string made = wavBytes(44100, 2, 16, input(0, kTakeFrames));
        // The take's length, header and 64 KiB at each end; other audio between.
        std::string old = made;
        for (size_t i = 44 + 65536; i + 65536 < old.size(); ++i) old[i] = (char)~old[i];
        if (!c.moved) writeFile(path("song.wav"), old);
        RunResult r = runKilled({std::string("TV_FAULT_KILL_ON=") + c.on, c.fault},
                                c.moved ? "r 1 q\n" : "r 1 1 q\n");
        EXPECT_EQ(r.status, 128 + SIGKILL) << r.out << r.err;
        EXPECT_TRUE(readFile(path("song.wav")) == (c.moved ? made : old));
        EXPECT_EQ(readFile(path("tlist.txt")), "other.wav\n");
        if (c.noIdentity) {
            std::string note = readFile(path(".tunevat_temp.wav.saving"));
            size_t at = note.find("take\t");
            ASSERT_NE(at, std::string::npos) << note;
            writeFile(path(".tunevat_temp.wav.saving"), note.erase(at, note.find('\n', at) + 1 - at));
        }
        nextStart("song.wav", c.moved ? made : old, c.moved);
        EXPECT_EQ(readFile(path("tlist.txt")), c.moved ? "other.wav\nsong.wav\n" : "other.wav\n");
    }
}

}  // namespace
