// Opening only regular files, following links, and saving beside the old
// file: the bytes, names, modes and owners the user's files end up with.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "files/files.h"
#include "harness.h"

namespace {

struct Files : InScratchDir {};

// Names in the working directory (dot files too).
std::vector<std::string> names()
{
    std::vector<std::string> v;
    DIR *d = opendir(".");
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") v.push_back(n);
    }
    closedir(d);
    std::sort(v.begin(), v.end());
    return v;
}

mode_t modeOf(const std::string &path)
{
    struct stat sb;
    if (stat(path.c_str(), &sb) != 0) return 0;
    return sb.st_mode & 07777;
}

bool isLink(const std::string &path)
{
    struct stat sb;
    return lstat(path.c_str(), &sb) == 0 && S_ISLNK(sb.st_mode);
}

// Saves bytes to path through the helper; returns its result.
int save(const std::string &path, const std::string &bytes, bool ok = true)
{
    SaveBeside s;
    if (!beginSave(path.c_str(), &s)) return 0;
    fwrite(bytes.data(), 1, bytes.size(), s.file);
    return finishSave(&s, ok ? 1 : 0);
}

TEST_F(Files, OpenRegularRefusesEverythingButRegularFiles)
{
    writeFile("plain", "x");
    ASSERT_EQ(mkfifo("fifo", 0644), 0);
    ASSERT_EQ(mkdir("dir", 0755), 0);
    ASSERT_EQ(symlink("plain", "link"), 0);
    ASSERT_EQ(symlink("fifo", "fifolink"), 0);
    struct Case {
        const char *name;
        int flags;
        int result;   // 1 a descriptor, -1 failure, kNotRegularFile
        int err;
    } cases[] = {
        {"plain", O_RDONLY, 1, 0},
        {"plain", O_RDWR, 1, 0},
        {"link", O_RDONLY, 1, 0},
        {"link", O_RDONLY | O_NOFOLLOW, -1, ELOOP},
        // A FIFO with no writer would block a plain open for ever; one
        // opened for writing with no reader would fail or block.
        {"fifo", O_RDONLY, kNotRegularFile, EINVAL},
        {"fifo", O_WRONLY | O_CREAT | O_TRUNC, kNotRegularFile, EINVAL},
        {"fifolink", O_RDONLY, kNotRegularFile, EINVAL},
        {"dir", O_RDONLY, kNotRegularFile, EINVAL},
        {"/dev/null", O_RDWR, kNotRegularFile, EINVAL},
        {"/dev/zero", O_RDONLY, kNotRegularFile, EINVAL},
        {"missing", O_RDONLY, -1, ENOENT},
        {"made", O_WRONLY | O_CREAT | O_EXCL, 1, 0},
        {"plain", O_WRONLY | O_CREAT | O_EXCL, -1, EEXIST},
    };
    for (const Case &c : cases) {
        errno = 0;
        int fd = openRegular(c.name, c.flags, 0644);
        if (c.result == 1) {
            EXPECT_GE(fd, 0) << c.name << " " << strerror(errno);
            if (fd >= 0) {
                // Back in blocking mode.
                EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << c.name;
                close(fd);
            }
        } else {
            EXPECT_EQ(fd, c.result) << c.name;
            EXPECT_EQ(errno, c.err) << c.name;
        }
    }
    EXPECT_EQ(readFile("plain"), "x");
}

TEST_F(Files, FopenRegularSaysWhichRefusalItWas)
{
    ASSERT_EQ(mkfifo("fifo", 0644), 0);
    writeFile("plain", "abc");
    int notRegular = -1;
    EXPECT_EQ(fopenRegular("fifo", "rb", &notRegular), nullptr);
    EXPECT_EQ(notRegular, 1);
    EXPECT_EQ(fopenRegular("missing", "rb", &notRegular), nullptr);
    EXPECT_EQ(notRegular, 0);
    EXPECT_EQ(errno, ENOENT);
    FILE *f = fopenRegular("plain", "rb+", &notRegular);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(notRegular, 0);
    EXPECT_EQ(fputc('X', f), 'X');
    fclose(f);
    EXPECT_EQ(readFile("plain"), "Xbc");
    f = fopenRegular("plain", "wb", nullptr);
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(fileSize("plain"), 0);
}

TEST_F(Files, ResolveLinksFollowsTheChainFromEachLinksDirectory)
{
    ASSERT_EQ(mkdir("a", 0755), 0);
    ASSERT_EQ(mkdir("b", 0755), 0);
    writeFile("b/real.txt", "r");
    ASSERT_EQ(symlink("../b/real.txt", "a/rel"), 0);   // relative to a/
    ASSERT_EQ(symlink("a/rel", "top"), 0);
    ASSERT_EQ(symlink((dir + "/b/real.txt").c_str(), "abs"), 0);
    ASSERT_EQ(symlink("nowhere.txt", "dangling"), 0);
    ASSERT_EQ(symlink("loop2", "loop1"), 0);
    ASSERT_EQ(symlink("loop1", "loop2"), 0);
    // Chains of 40 links (the kernel's own limit) and of 41: hop k names
    // hop k + 1, the last names end.txt.
    for (int n : {40, 41}) {
        std::string prefix = "c" + std::to_string(n) + "-";
        for (int k = 0; k < n; ++k) {
            std::string next = k + 1 == n ? "end.txt" : prefix + std::to_string(k + 1);
            ASSERT_EQ(symlink(next.c_str(), (prefix + std::to_string(k)).c_str()), 0);
        }
    }
    struct Case {
        const char *path;
        std::string want;   // empty: fails with err
        int err;
    } cases[] = {
        {"b/real.txt", "b/real.txt", 0},
        {"top", "a/../b/real.txt", 0},
        {"abs", dir + "/b/real.txt", 0},
        {"dangling", "nowhere.txt", 0},   // the file the link names, to be made
        {"new.txt", "new.txt", 0},
        {"loop1", "", ELOOP},
        {"c40-0", "end.txt", 0},
        {"c41-0", "", ELOOP},
    };
    for (const Case &c : cases) {
        char out[kPathBytes];
        int r = resolveLinks(c.path, out, sizeof out);
        if (c.want.empty()) {
            EXPECT_EQ(r, 0) << c.path;
            EXPECT_EQ(errno, c.err) << c.path;
        } else {
            EXPECT_EQ(r, 1) << c.path;
            EXPECT_EQ(std::string(out), c.want) << c.path;
        }
    }
    char small[8];
    EXPECT_EQ(resolveLinks("abs", small, sizeof small), 0);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST_F(Files, SaveReplacesTheFileALinkNamesAndKeepsTheLink)
{
    ASSERT_EQ(mkdir("real", 0755), 0);
    writeFile("real/list.txt", "old\n");
    ASSERT_EQ(symlink("real/list.txt", "list.txt"), 0);
    EXPECT_EQ(save("list.txt", "new\n"), 1);
    EXPECT_TRUE(isLink("list.txt"));
    EXPECT_EQ(readFile("real/list.txt"), "new\n");
    // A dangling link gets the file it names.
    ASSERT_EQ(symlink("real/made.txt", "made.txt"), 0);
    EXPECT_EQ(save("made.txt", "m"), 1);
    EXPECT_TRUE(isLink("made.txt"));
    EXPECT_EQ(readFile("real/made.txt"), "m");
    EXPECT_EQ(names(), (std::vector<std::string>{"list.txt", "made.txt", "real"}));
}

TEST_F(Files, SaveKeepsModeAndOwnerOrTakesTheUmasksMode)
{
    writeFile("kept", "old");
    ASSERT_EQ(chmod("kept", 0640), 0);
    EXPECT_EQ(save("kept", "new"), 1);
    EXPECT_EQ(modeOf("kept"), 0640u);
    EXPECT_EQ(readFile("kept"), "new");

    writeFile("readonly", "old");
    ASSERT_EQ(chmod("readonly", 0444), 0);
    EXPECT_EQ(save("readonly", "new"), 1);   // the directory allows it
    EXPECT_EQ(modeOf("readonly"), 0444u);

    mode_t old = umask(027);
    EXPECT_EQ(save("fresh", "f"), 1);
    umask(old);
    EXPECT_EQ(modeOf("fresh"), 0640u);

    if (geteuid() == 0) {
        // Root may hand the new file to the old file's owner.
        writeFile("theirs", "old");
        ASSERT_EQ(chown("theirs", 65534, 65534), 0);
        ASSERT_EQ(chmod("theirs", 0604), 0);
        EXPECT_EQ(save("theirs", "new"), 1);
        struct stat sb;
        ASSERT_EQ(stat("theirs", &sb), 0);
        EXPECT_EQ(sb.st_uid, 65534u);
        EXPECT_EQ(sb.st_gid, 65534u);
        EXPECT_EQ(sb.st_mode & 07777, 0604u);
    }
}

TEST_F(Files, AbandonedOrFailedSavesLeaveTheOldFileAndNoTemporary)
{
    writeFile("list.txt", "old");
    EXPECT_EQ(save("list.txt", "new", false), 0);
    EXPECT_EQ(readFile("list.txt"), "old");

    // A directory or a FIFO under the name is not replaced.
    ASSERT_EQ(mkdir("dir", 0755), 0);
    writeFile("dir/inside", "i");
    EXPECT_EQ(save("dir", "x"), 0);
    EXPECT_EQ(errno, EISDIR);
    ASSERT_EQ(mkfifo("fifo", 0644), 0);
    EXPECT_EQ(save("fifo", "x"), 0);
    EXPECT_EQ(errno, EINVAL);
    struct stat sb;
    ASSERT_EQ(lstat("fifo", &sb), 0);
    EXPECT_TRUE(S_ISFIFO(sb.st_mode));

    // A directory that is not there.
    EXPECT_EQ(save("nodir/list.txt", "x"), 0);
    EXPECT_EQ(save("", "x"), 0);
    EXPECT_EQ(names(), (std::vector<std::string>{"dir", "fifo", "list.txt"}));
}

TEST_F(Files, PlantedNamesAreNeverWrittenThrough)
{
    // Whatever an attacker plants beside the file, the save's own name is
    // new and unique: the victim file stays untouched.
    writeFile("victim", "precious");
    ASSERT_EQ(symlink("victim", "list.txt.tmp"), 0);
    ASSERT_EQ(symlink("victim", "rcvat.txt.tmp"), 0);
    ASSERT_EQ(symlink("victim", ".tunevat-XXXXXX"), 0);
    EXPECT_EQ(save("list.txt", "a\n"), 1);
    EXPECT_EQ(save("rcvat.txt", "dv\tx\n"), 1);
    EXPECT_EQ(readFile("victim"), "precious");
    EXPECT_EQ(readFile("list.txt"), "a\n");
}

volatile sig_atomic_t gotSignal = 0;
void noteSignal(int) { gotSignal = 1; }

TEST_F(Files, SignalsWaitUntilTheSaveIsOver)
{
    struct sigaction sa, old;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = noteSignal;
    sigaction(SIGTERM, &sa, &old);
    gotSignal = 0;
    SaveBeside s;
    ASSERT_EQ(beginSave("f.txt", &s), 1);
    raise(SIGTERM);
    EXPECT_EQ(gotSignal, 0);   // held back while the file is half made
    fputs("whole", s.file);
    EXPECT_EQ(finishSave(&s, 1), 1);
    EXPECT_EQ(gotSignal, 1);   // delivered once the save is over
    EXPECT_EQ(readFile("f.txt"), "whole");
    sigaction(SIGTERM, &old, nullptr);
}

TEST_F(Files, MayWriteFollowsThePermissions)
{
    writeFile("w", "x");
    EXPECT_EQ(mayWrite("w"), 1);
    EXPECT_EQ(mayWrite("missing"), 1);
    ASSERT_EQ(chmod("w", 0444), 0);
    // The kernel lets root write every file.
    EXPECT_EQ(mayWrite("w"), geteuid() == 0 ? 1 : 0);
}

TEST_F(Files, SameFileNameFollowsLinksAndComparesInodes)
{
    writeFile("take.wav", "x");
    writeFile("other.wav", "x");
    ASSERT_EQ(mkdir("sub", 0755), 0);
    ASSERT_EQ(link("take.wav", "hard.wav"), 0);
    ASSERT_EQ(symlink("../take.wav", "sub/soft.wav"), 0);
    for (const char *same : {"take.wav", "./take.wav", "hard.wav", "sub/soft.wav", "sub/../take.wav"})
        EXPECT_EQ(sameFileName(same, "take.wav"), 1) << same;
    for (const char *other : {"other.wav", "sub", "new.wav"}) EXPECT_EQ(sameFileName(other, "take.wav"), 0) << other;
    EXPECT_EQ(sameFileName("new.wav", "new.wav"), 1);     // the same name, not there yet
    EXPECT_EQ(sameFileName("./new.wav", "new.wav"), 0);
}

}  // namespace
