// The take file's own module: its length in both layouts, and turning a
// RIFF take into RF64 in place (a block inserted, on ext4 and XFS) or by
// a copy (a file system that cannot insert, such as tmpfs).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "audio/takefile.h"
#include "harness.h"
#include "unit_wav_util.h"

using wavtest::le;

namespace {

// The take file's name: the claim keeps a pointer to it, as the program
// keeps its fixed name.
std::string takePath;

// A take file in dir holding frames frames of 16-bit stereo numbered
// audio (frame n holds n on both channels) with exact sizes.
std::string takeWith(const std::string &dir, long frames, TakeFile **t)
{
    takePath = dir + "/take.wav";
    const std::string &path = takePath;
    testing::internal::CaptureStdout();
    *t = claimTakeFile(path.c_str());
    testing::internal::GetCapturedStdout();
    if (!*t) return "";
    std::string audio;
    for (long n = 0; n < frames; ++n) audio += le((unsigned long long)n, 2) + le((unsigned long long)n, 2);
    EXPECT_EQ(startTake(*t, 44100, 2, 16, 44100, nullptr), 1);
    EXPECT_EQ(writeTakeFrames(*t, 0, audio.data(), audio.size(), nullptr), 1);
    EXPECT_EQ(setTakeLength(*t, frames), 1);
    return audio;
}

TEST(TakeFileModule, SetTakeLengthStatesTheFramesAndCutsWhatFollows)
{
    std::string dir = makeTempDir();
    TakeFile *t = nullptr;
    std::string audio = takeWith(dir, 100, &t);
    ASSERT_NE(t, nullptr);
    std::string path = dir + "/take.wav";
    EXPECT_TRUE(readFile(path) == wavBytes(44100, 2, 16, audio));
    // A dropped take goes from the file with the sizes.
    ASSERT_EQ(setTakeLength(t, 40), 1);
    EXPECT_TRUE(readFile(path) == wavBytes(44100, 2, 16, audio.substr(0, 160)));
    // Another process cannot take it meanwhile.
    int other = open(path.c_str(), O_RDONLY);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
    releaseTakeFile();
    removeTree(dir);
}

// Past the RIFF sizes' reach the take turns RF64 and keeps its audio and
// its lock: in place where a block can be inserted, else copied behind an
// 80-byte header. The sizes it then states are the ds64 chunk's.
TEST(TakeFileModule, MakeTakeRf64KeepsTheAudioTheNameAndTheLock)
{
    struct Case {
        const char *where;
        std::string dir;
    } cases[] = {{"a disk that inserts blocks", makeTempDir()}, {"tmpfs", ""}};
    char shm[] = "/dev/shm/tunevat-test-take.XXXXXX";
    if (mkdtemp(shm)) cases[1].dir = shm;
    for (const Case &c : cases) {
        if (c.dir.empty()) continue;
        SCOPED_TRACE(c.where);
        TakeFile *t = nullptr;
        std::string audio = takeWith(c.dir, 100, &t);
        ASSERT_NE(t, nullptr);
        std::string path = c.dir + "/take.wav";
        struct stat before;
        ASSERT_EQ(stat(path.c_str(), &before), 0);
        ASSERT_EQ(makeTakeRf64(t), 1);
        EXPECT_EQ(makeTakeRf64(t), 1);   // once RF64, it stays as it is
        ASSERT_EQ(setTakeLength(t, 60), 1);
        std::string bytes = readFile(path);
        long at = t->headerBytes;
        ASSERT_EQ((long)bytes.size(), at + 240);
        EXPECT_TRUE(bytes.substr((size_t)at) == audio.substr(0, 240));
        EXPECT_EQ(bytes.substr(0, 4), "RF64");
        EXPECT_EQ(bytes.substr(12, 8), "ds64" + le(28, 4));
        EXPECT_TRUE(bytes.substr(20, 24) == le((unsigned long long)(at + 240 - 8), 8) + le(240, 8) + le(60, 8));
        EXPECT_EQ(bytes.substr((size_t)at - 8), "data" + le(0xffffffffULL, 4) + audio.substr(0, 240));
        if (at != 80) {
            // Inserted: a JUNK chunk fills the block up to the data chunk.
            EXPECT_EQ(bytes.substr(72, 8), "JUNK" + le((unsigned long long)(at - 88), 4));
            struct stat after;
            ASSERT_EQ(stat(path.c_str(), &after), 0);
            EXPECT_EQ(after.st_ino, before.st_ino);
        }
        EXPECT_FALSE(fileExists(path + ".rf64"));
        int other = open(path.c_str(), O_RDONLY);
        EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
        close(other);
        releaseTakeFile();
        removeTree(c.dir);
    }
}

// A turn in place that a power cut left half made: the RIFF take behind
// the start of an RF64 header, or behind zeros where the block cannot be
// taken out again (tmpfs). The next start keeps the take aside whole: the
// block taken out, or filled with an RF64 header and a JUNK chunk. (A kill
// right after the insert: TakeFile.TheTurnToRf64LosesNothingAtAnyInstant.)
TEST(TakeFileModule, AHalfMadeTurnIsPutRightWhenTheTakeIsKeptAside)
{
    char shm[] = "/dev/shm/tunevat-test-take.XXXXXX";
    for (const std::string &dir : {makeTempDir(), std::string(mkdtemp(shm) ? shm : "")}) {
        if (dir.empty()) continue;
        bool inserts = dir != shm;
        SCOPED_TRACE(dir);
        TakeFile *t = nullptr;
        std::string audio = takeWith(dir, 100, &t);
        ASSERT_NE(t, nullptr);
        std::string path = dir + "/take.wav", riff = readFile(path);
        releaseTakeFile();
        int fd = open(path.c_str(), O_RDWR);
        struct stat sb;
        ASSERT_EQ(fstat(fd, &sb), 0);
        long block = (long)sb.st_blksize;
        if (fallocate(fd, FALLOC_FL_INSERT_RANGE, 0, block) != 0) {
            ASSERT_EQ(pwrite(fd, std::string((size_t)block, '\0').data(), block, 0), block);
            ASSERT_EQ(pwrite(fd, riff.data(), riff.size(), block), (ssize_t)riff.size());
        }
        std::string header = "RF64" + std::string(68, '\x11');
        if (inserts) {
            ASSERT_EQ(pwrite(fd, header.data(), header.size(), 0), 72);
        }
        close(fd);
        testing::internal::CaptureStdout();
        keepLeftoverTake(path.c_str());
        std::string said = testing::internal::GetCapturedStdout();
        std::string kept;
        for (const std::string &n : listDir(dir))
            if (n.rfind("take-", 0) == 0) kept = dir + "/" + n;
        EXPECT_EQ(said, "A take left in " + path + " is kept as " + kept + "\n");
        std::string bytes = readFile(kept);
        long at = inserts ? 44 : block + 44;
        ASSERT_EQ((long)bytes.size(), at + 400);
        if (inserts) {
            EXPECT_TRUE(bytes == wavBytes(44100, 2, 16, audio));
        } else {
            EXPECT_EQ(bytes.substr(0, 20), "RF64" + le(0xffffffffULL, 4) + "WAVEds64" + le(28, 4));
            EXPECT_TRUE(bytes.substr(20, 24) == le((unsigned long long)(at + 400 - 8), 8) + le(400, 8) + le(100, 8));
            EXPECT_TRUE(bytes.substr(48, 24) == riff.substr(12, 24));
            EXPECT_EQ(bytes.substr(72, 8), "JUNK" + le((unsigned long long)(at - 88), 4));
            EXPECT_TRUE(bytes.substr((size_t)at - 8) == "data" + le(0xffffffffULL, 4) + audio);
        }
        removeTree(dir);
    }
}

}  // namespace
