// Adding a take to a recording (appendTake), moving the take file onto its
// target (moveOver, copyOver) and the size fix on files of other writers:
// the bytes each leaves on disk, the files it refuses, and that a refusal
// leaves the target as it was and no temporary file behind. (A full disk
// and a directory as target are in e2e_faults.cpp.)
#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "unit_wav_util.h"
#include "wav/wav.h"

using namespace wavtest;

namespace {

std::string chunk(const std::string &tag, const std::string &body)
{
    std::string c = tag + le(body.size(), 4) + body;
    if (body.size() & 1) c += '\0';
    return c;
}

std::string fmtChunk(unsigned tag, unsigned ch, unsigned rate, unsigned bits)
{
    unsigned align = ch * (bits / 8);
    return chunk("fmt ", le(tag, 2) + le(ch, 2) + le(rate, 4) + le(rate * align, 4) + le(align, 2) +
                             le(bits, 2));
}

// RIFF header (its size set from the length) around the chunks.
std::string riff(const std::string &chunks)
{
    return "RIFF" + le(chunks.size() + 4, 4) + "WAVE" + chunks;
}

// Names in the working directory that start with a dot: temporary files
// a save would leave behind.
int dotFiles()
{
    int n = 0;
    DIR *d = opendir(".");
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.' && strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) ++n;
    }
    closedir(d);
    return n;
}

struct Appended : InScratchDir {};

int appendQuiet(const char *target, long count, long oldBytes, std::string *out)
{
    startCapture();
    int r = appendTake(target, "take.wav", count, oldBytes);
    *out = endCapture();
    return r;
}

struct AppendCase {
    const char *name;
    std::string target;    // the recording before
    unsigned rate, channels, bits;
    long count;            // new bytes taken from the take
    std::string expected;  // the recording after
    std::string note;      // a line before nothing but the length line, if any
};

TEST_F(Appended, NewAudioGoesRightAfterTheOldInWholeFrames)
{
    const std::string oldS = patternBytes(4000, 1), newS = patternBytes(2000, 2);
    const std::string list = chunk("LIST", "INFOINAM" + le(7, 4) + std::string("mydata\0\0", 8));
    const std::string levl = chunk("levl", patternBytes(41, 3));
    const std::string fmt16 = fmtChunk(1, 2, 44100, 16);
    const std::string fmt24 = fmtChunk(1, 1, 48000, 24);
    const std::string old24 = patternBytes(3 * 1001, 4), new24 = patternBytes(3 * 5, 5);
    const std::string new24odd = patternBytes(3 * 4, 5);
    // sox writing to a pipe: a size it could not fix, odd data and its pad
    // byte, which a reader going by the length takes for a partial frame.
    const std::string fact = chunk("fact", le(17, 4));
    const std::string piped = riff(fmt24 + fact + "data" + le(0x7ffff000, 4) +
                                   patternBytes(51, 6) + std::string(1, '\0'));
    std::string pipedAfter = riff(fmt24 + fact + chunk("data", patternBytes(51, 6) + new24));
    std::string ds64Old = chunk("ds64", le(0xdead, 8) + le(4000, 8) + le(1000, 8) + le(0, 4));
    std::string rf64Old = "RF64" + le(0xffffffff, 4) + "WAVE" + ds64Old + fmt16 + "data" +
                          le(0xffffffff, 4) + oldS + levl;
    long rf64Length = (long)rf64Old.size() + 2000;
    std::string rf64New = "RF64" + le(0xffffffff, 4) + "WAVE" +
                          chunk("ds64", le(rf64Length - 8, 8) + le(6000, 8) + le(1500, 8) + le(0, 4)) +
                          fmt16 + "data" + le(0xffffffff, 4) + oldS + newS + levl;
    std::string ownData = wavBytes(44100, 2, 16, oldS);
    ownData.replace(4, 4, "data");   // a RIFF size that spells "data"
    std::vector<AppendCase> cases = {
        {"our own file", wavBytes(44100, 2, 16, oldS), 44100, 2, 16, 2000,
         wavBytes(44100, 2, 16, oldS + newS), ""},
        {"a RIFF size that spells data", ownData, 44100, 2, 16, 2000,
         wavBytes(44100, 2, 16, oldS + newS), ""},
        {"a title holding data before the audio", riff(fmt16 + list + chunk("data", oldS)), 44100, 2,
         16, 2000, riff(fmt16 + list + chunk("data", oldS + newS)), ""},
        {"chunks after the audio", riff(fmt16 + chunk("data", oldS) + levl + list), 44100, 2, 16, 2000,
         riff(fmt16 + chunk("data", oldS + newS) + levl + list), ""},
        {"odd data, its pad byte, a chunk; new data even", riff(fmt24 + chunk("data", old24) + list),
         48000, 1, 24, 15, riff(fmt24 + chunk("data", old24 + new24) + list), ""},
        {"odd data, its pad byte, a chunk; new data odd", riff(fmt24 + chunk("data", old24) + list),
         48000, 1, 24, 12, riff(fmt24 + chunk("data", old24 + new24odd) + list), ""},
        {"a piped file with a pad byte and no true size", piped, 48000, 1, 24, 15, pipedAfter,
         "The last 1 bytes of song.wav are not a whole frame and were left out\n"},
        {"RF64, sizes in ds64", rf64Old, 44100, 2, 16, 2000, rf64New, ""},
    };
    for (const AppendCase &c : cases) {
        SCOPED_TRACE(c.name);
        writeFile("song.wav", c.target);
        chmod("song.wav", 0640);
        // The take file: a header planning more than was kept, and bytes
        // of a dropped take after the kept ones.
        std::string take = c.count == 15 ? new24 : c.count == 12 ? new24odd : newS;
        writeFile("take.wav", wavBytes(c.rate, c.channels, c.bits, take + patternBytes(99, 7)));
        std::string out;
        ASSERT_EQ(appendQuiet("song.wav", c.count, -1, &out), 1) << out;
        EXPECT_EQ(out, "Append file is " + std::to_string(fileSize("take.wav")) + " bytes\n" + c.note);
        EXPECT_EQ(hex(readFile("song.wav")), hex(c.expected));
        struct stat sb;
        ASSERT_EQ(stat("song.wav", &sb), 0);
        EXPECT_EQ(sb.st_mode & 07777, 0640u);
        EXPECT_EQ(dotFiles(), 0);
    }
}

TEST_F(Appended, RefusalsLeaveTheTargetAsItWas)
{
    const std::string good = wavBytes(44100, 2, 16, patternBytes(4000, 1));
    const std::string take = wavBytes(44100, 2, 16, patternBytes(2000, 2));
    const std::string takeLine = "Append file is " + std::to_string(take.size()) + " bytes\n";
    struct Case {
        const char *name;
        std::string target;   // empty: the target is made some other way
        long count, oldBytes;
        std::string message;
    } cases[] = {
        {"a target changed since the check", good, 2000, 3996,
         takeLine + "song.wav has changed since the recording began; it was left as it is\n"},
        {"float samples", riff(fmtChunk(3, 2, 44100, 32) + chunk("data", patternBytes(800, 3))), 2000,
         -1, takeLine + "Cannot record at the end of song.wav: it holds 32-bit floating-point samples\n"},
        {"a take holding less than asked", good, 2004, -1,
         takeLine + "take.wav holds fewer than 2004 bytes of audio\n"},
        {"a target without audio", riff(fmtChunk(1, 2, 44100, 16)), 2000, -1,
         takeLine + "Can't find data block in wave file!\n"},
        {"a FIFO", "", 2000, -1, "The file called song.wav is not a regular file!\n"},
        {"no target", "", 2000, -1, "Cannot open song.wav: No such file or directory\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        unlink("song.wav");
        writeFile("take.wav", take);
        if (!c.target.empty()) writeFile("song.wav", c.target);
        if (strcmp(c.name, "a FIFO") == 0) {
            ASSERT_EQ(mkfifo("song.wav", 0644), 0);
        }
        std::string out;
        EXPECT_EQ(appendQuiet("song.wav", c.count, c.oldBytes, &out), 0);
        EXPECT_EQ(out, c.message);
        if (!c.target.empty()) {
            EXPECT_EQ(readFile("song.wav"), c.target);
        }
        EXPECT_EQ(readFile("take.wav"), take);
        EXPECT_EQ(dotFiles(), 0);
    }
}

TEST_F(Appended, PastFourGiBAFileWhoseChunksCannotBeWalkedIsRefused)
{
    // No RIFF header: the tags are searched for, and there is no chunk
    // list to put a ds64 chunk in. Sparse, 100 bytes short of the limit.
    std::string bare = "xx" + fmtChunk(1, 1, 8000, 8) + "data" + le(0, 4);
    writeFile("song.wav", bare);
    long long length = (long long)bare.size() + kRiffDataLimit - 100;
    ASSERT_EQ(truncate("song.wav", (off_t)length), 0);
    writeFile("take.wav", wavBytes(8000, 1, 8, patternBytes(200, 2)));
    std::string out;
    EXPECT_EQ(appendQuiet("song.wav", 101, -1, &out), 0);
    EXPECT_EQ(out, "Append file is 244 bytes\nAppending would make song.wav too large for a wave file!\n");
    EXPECT_EQ(fileSize("song.wav"), length);
    EXPECT_EQ(readAt("song.wav", 0, bare.size()), bare);
    EXPECT_EQ(dotFiles(), 0);
    unlink("song.wav");
}

struct AppendArgs {
    long count;
};

int appendInChild(void *p)
{
    return appendTake("song.wav", "take.wav", ((AppendArgs *)p)->count, -1);
}

// Runs fn as the unprivileged user 65534 in a child, which root cannot do
// in-process: permission checks mean nothing to root. Returns fn's result,
// the child's output in *out.
// As the user 65534 (root's own checks would let everything through).
bool becomeNobody(long)
{
    return geteuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0);
}

int asNobody(std::string *out, int (*fn)(void *), void *arg)
{
    return wavtest::inChild(becomeNobody, 0, out, fn, arg);
}

int moveInChild(void *) { return moveOver("take.wav", "song.wav"); }
int copyInChild(void *) { return copyOver("take.wav", "song.wav"); }

TEST_F(Appended, AReadOnlyTargetIsNeitherExtendedNorReplaced)
{
    // The directory is the user's, so a rename over the file would work.
    if (geteuid() == 0) {
        ASSERT_EQ(chown(".", 65534, 65534), 0);
    }
    std::string target = wavBytes(44100, 2, 16, patternBytes(4000, 1));
    std::string withChunk = target + chunk("LIST", "INFO");
    std::string take = wavBytes(44100, 2, 16, patternBytes(2000, 2));
    struct Case {
        const char *name;
        std::string target;
        int (*fn)(void *);
    } cases[] = {{"append, audio at the end", target, appendInChild},
                 {"append, a chunk after the audio", withChunk, appendInChild},
                 {"move over it", target, moveInChild},
                 {"copy over it", target, copyInChild}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        writeFile("song.wav", c.target);
        writeFile("take.wav", take);
        if (geteuid() == 0) {
            ASSERT_EQ(chown("take.wav", 65534, 65534), 0);
        }
        ASSERT_EQ(chmod("song.wav", 0444), 0);
        AppendArgs a{2000};
        std::string out;
        EXPECT_EQ(asNobody(&out, c.fn, &a), 0);
        EXPECT_EQ(out, "Cannot write song.wav: Permission denied\n");
        EXPECT_EQ(readFile("song.wav"), c.target);
        EXPECT_EQ(readFile("take.wav"), take);
        EXPECT_EQ(dotFiles(), 0);
        unlink("song.wav");
    }
}

TEST_F(Appended, MovingOntoALinkReplacesTheFileItNames)
{
    ASSERT_EQ(mkdir("real", 0755), 0);
    std::string take = wavBytes(44100, 2, 16, patternBytes(2000, 2));
    struct Case {
        const char *name;
        bool existing;   // the file the link names exists
        bool copy;       // copyOver instead of moveOver
    } cases[] = {{"over an old recording", true, false},
                 {"a link to nothing yet", false, false},
                 {"copied over an old recording", true, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        unlink("real/song.wav");
        unlink("song.wav");
        if (c.existing) {
            writeFile("real/song.wav", "old");
            ASSERT_EQ(chmod("real/song.wav", 0604), 0);
            if (geteuid() == 0) {
                ASSERT_EQ(chown("real/song.wav", 65534, 65534), 0);
            }
        }
        ASSERT_EQ(symlink("real/song.wav", "song.wav"), 0);
        writeFile("take.wav", take);
        startCapture();
        int r = c.copy ? copyOver("take.wav", "song.wav") : moveOver("take.wav", "song.wav");
        EXPECT_EQ(endCapture(), "");
        ASSERT_EQ(r, 1);
        struct stat sb;
        ASSERT_EQ(lstat("song.wav", &sb), 0);
        EXPECT_TRUE(S_ISLNK(sb.st_mode));
        EXPECT_EQ(readFile("real/song.wav"), take);
        EXPECT_EQ(fileExists("take.wav"), c.copy);
        ASSERT_EQ(stat("real/song.wav", &sb), 0);
        if (c.existing) {
            EXPECT_EQ(sb.st_mode & 07777, 0604u);
            if (geteuid() == 0) {
                EXPECT_EQ(sb.st_uid, 65534u);
                EXPECT_EQ(sb.st_gid, 65534u);
            }
        }
        EXPECT_EQ(dotFiles(), 0);
    }
}

TEST_F(Appended, SizeFixWritesTheWalkedSizeOnly)
{
    const std::string pcm = patternBytes(400, 1);
    const std::string list = chunk("LIST", "INFOINAM" + le(7, 4) + std::string("mydata\0\0", 8));
    const std::string fmt = fmtChunk(1, 2, 44100, 16);
    // The title's "data" lies at an even offset before the real chunk.
    std::string before = riff(fmt + list + chunk("data", pcm) + list);
    writeFile("t.wav", before);
    startCapture();
    ASSERT_EQ(FIX_SIZE("t.wav", 200), 1);
    EXPECT_EQ(endCapture(), "");
    std::string expected = before;
    expected.replace(12 + fmt.size() + list.size() + 4, 4, le(200, 4));
    EXPECT_EQ(hex(readFile("t.wav")), hex(expected));

    // RF64: the ds64 data size; the data chunk's own field stays as it is.
    std::string ds64 = chunk("ds64", le(1000, 8) + le(400, 8) + le(100, 8) + le(0, 4));
    std::string rf64 = "RF64" + le(0xffffffff, 4) + "WAVE" + ds64 + fmt + "data" + le(0xffffffff, 4) + pcm;
    writeFile("r.wav", rf64);
    startCapture();
    ASSERT_EQ(FIX_SIZE("r.wav", 300), 1);
    EXPECT_EQ(endCapture(), "");
    expected = rf64;
    expected.replace(12 + 16, 8, le(300, 8));
    EXPECT_EQ(hex(readFile("r.wav")), hex(expected));
}

}  // namespace
