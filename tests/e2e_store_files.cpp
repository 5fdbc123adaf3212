// The list file and rcvat.txt as a user may keep them: behind a symlink,
// with their own mode and owner, edited on Windows, longer than the table
// holds, as a FIFO, or unreadable. Each kind runs the built tunevat in a
// scratch directory; the exact console text and the files afterwards,
// byte for byte, are checked, and no temporary file may be left.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "harness.h"

namespace {

using Names = std::vector<std::string>;
using Bytes = std::map<std::string, std::string>;   // path -> contents

const char kSettings[] =
    "dv\tdefault\nsr\t44100\nbits\t16\nch\t2\ni\t0.000\no\t0.000\nd\t0.000\ntlist\ttlist.txt\n";
const char kTlist[] = "tlist\ttlist.txt\n";
const char kSaving[] = "Saving list and parameters\n";
const char kRemove1[] = "-\n1\nq\n";

// "t0001.wav\n" ... from first to last.
std::string numbered(int first, int last)
{
    std::string text;
    char line[16];
    for (int k = first; k <= last; k++) text += (snprintf(line, sizeof line, "t%04d.wav\n", k), line);
    return text;
}

Names split(const std::string &text)
{
    Names names;
    for (size_t pos = 0, end; pos < text.size(); pos = end + 1) {
        end = text.find('\n', pos);
        names.push_back(text.substr(pos, end - pos));
    }
    return names;
}

// The console text of a run that names tlist.txt in its settings, loads
// with the lines said, and then removes track 1 and quits (remove) or
// just quits.
std::string session(const std::string &said, const Names &shown, bool remove,
                    const std::string &first = "Reading rcvat.txt file\n", float dur = 0,
                    const std::string &file = "")
{
    std::string out = bannerText() + first + paramBanner(2, 44100, 16, "default", file) + said +
                      "Type h at any time to get a list of commands\n" +
                      promptText(shown, 0, 0, dur, file);
    if (remove)
        out += "Enter a track (1-" + std::to_string(shown.size()) +
               ") to remove from list or '0' to return\n" +
               promptText(Names(shown.begin() + 1, shown.end()), 0, 0, dur, file);
    return out + kSaving;
}

struct Kind {
    const char *name;
    Bytes before;
    std::string make;    // shell commands run in the directory after writing
    std::string input;
    std::string out;
    Bytes after;         // files checked byte for byte
    std::string check;   // shell test that must hold afterwards: links, modes, owners
    bool asNobody;
};

std::vector<Kind> kinds()
{
    const std::string huge(139983, 'w'), longPath = "/music/" + std::string(189, 'p') + ".wav";
    const std::string notes = "# the studio card\nvolume\t11\n" + std::string(1000, '#') + "\n";
    const std::string cut = "Track list entries cut to fit, kept whole in tlist.txt: ";
    const std::string notLoaded = "Track list entries not loaded, kept in tlist.txt: ";
    const std::string opening = "Opening existing list: tlist.txt\n", creating = "Creating a new list: tlist.txt\n";
    const std::string asking = "Enter the name of a new or existing wavefile list:\n";
    return {
        {"symlinked list", {{"rcvat.txt", kTlist}, {"shared/list.txt", "a.wav\nb.wav\n"}},
         "ln -s shared/list.txt tlist.txt", kRemove1, session(opening, {"a.wav", "b.wav"}, true),
         {{"shared/list.txt", "b.wav\n"}, {"rcvat.txt", kSettings}}, "test \"$(readlink tlist.txt)\" = shared/list.txt", false},
        {"symlinked settings", {{"cfg/rcvat.txt", "tlist\ttlist.txt\nd\t2\n"}, {"tlist.txt", "a.wav\n"}},
         "ln -s cfg/rcvat.txt rcvat.txt", "q\n", session(opening, {"a.wav"}, false, "Reading rcvat.txt file\n", 2),
         {{"cfg/rcvat.txt", "dv\tdefault\nsr\t44100\nbits\t16\nch\t2\ni\t0.000\no\t0.000\nd\t2.000\n"
                           "tlist\ttlist.txt\n"},
          {"tlist.txt", "a.wav\n"}},
         "test \"$(readlink rcvat.txt)\" = cfg/rcvat.txt", false},
        {"list 0640 of another owner", {{"rcvat.txt", kTlist}, {"tlist.txt", "a.wav\nb.wav\n"}},
         "chmod 640 tlist.txt && chown 65534:65534 tlist.txt", kRemove1,
         session(opening, {"a.wav", "b.wav"}, true), {{"tlist.txt", "b.wav\n"}},
         "test \"$(stat -c '%F %a %u %g' tlist.txt)\" = 'regular file 640 65534 65534'", false},
        {"settings 0640 of another owner", {{"rcvat.txt", kTlist}}, "chmod 640 rcvat.txt && chown 65534:65534 rcvat.txt",
         "q\n", session(creating, {}, false), {{"rcvat.txt", kSettings}},
         "test \"$(stat -c '%F %a %u %g' rcvat.txt)\" = 'regular file 640 65534 65534'", false},
        {"CR LF settings",
         {{"rcvat.txt", "dv\tdefault\r\nsr\t44100\r\nbits\t16\r\nch\t2\r\ni\t0.000\r\no\t0.000\r\nd\t1.500\r\n"
                        "tlist\tt.txt\r\nrname\tsong.wav\r\n"},
          {"t.txt", "a.wav\n"}},
         "", "q\n",
         session("Opening existing list: t.txt\n", {"a.wav"}, false, "Reading rcvat.txt file\n", 1.5f, "song.wav"),
         {{"rcvat.txt", "dv\tdefault\nsr\t44100\nbits\t16\nch\t2\ni\t0.000\no\t0.000\nd\t1.500\ntlist\tt.txt\n"
                        "rname\tsong.wav\n"},
          {"t.txt", "a.wav\n"}},
         "test ! -e \"$(printf 't.txt\\r')\"", false},
        {"list holding a NUL byte", {{"rcvat.txt", kTlist}, {"tlist.txt", std::string("a.wav\n\0b.wav\n", 13)}}, "",
         "l.txt\nq\n",
         session("tlist.txt holds NUL bytes, not a track list\n" + asking + "Creating a new list: l.txt\n", {}, false),
         {{"tlist.txt", std::string("a.wav\n\0b.wav\n", 13)},
          {"rcvat.txt", "dv\tdefault\nsr\t44100\nbits\t16\nch\t2\ni\t0.000\no\t0.000\nd\t0.000\ntlist\tl.txt\n"}, {"l.txt", ""}},
         "", false},
        {"list of 1030 lines", {{"rcvat.txt", kTlist}, {"tlist.txt", numbered(1, 1030)}}, "", kRemove1,
         session(opening + notLoaded + "1023 to 1030\n", split(numbered(1, 1022)), true),
         {{"tlist.txt", numbered(2, 1030)}}, "", false},
        {"list of 140000 bytes", {{"rcvat.txt", kTlist}, {"tlist.txt", "first.wav\n" + huge + "\nz.wav\n"}}, "",
         kRemove1,
         session(opening + "List file is too large. 8928 bytes not loaded\n" + cut + "2\n" + notLoaded + "3\n",
                 {"first.wav", std::string(127, 'w')}, true),
         {{"tlist.txt", huge + "\nz.wav\n"}}, "", false},
        {"list with a 200-byte path", {{"rcvat.txt", kTlist}, {"tlist.txt", "a.wav\n" + longPath + "\nb.wav\n"}}, "",
         kRemove1, session(opening + cut + "2\n", {"a.wav", longPath.substr(0, 127), "b.wav"}, true),
         {{"tlist.txt", longPath + "\nb.wav\n"}}, "", false},
        {"FIFO as list", {{"rcvat.txt", kTlist}}, "mkfifo tlist.txt", "q\n",
         session("Cannot read tlist.txt: not a regular file\n" + creating, {}, false) + "Unable to open tlist.txt\n",
         {{"rcvat.txt", kSettings}}, "test -p tlist.txt", false},
        {"FIFO as settings", {}, "mkfifo rcvat.txt", "tlist.txt\nq\n",
         session(creating, {}, false, "Cannot read rcvat.txt: not a regular file\n" + asking) +
             "Unable to open rcvat.txt\n",
         {{"tlist.txt", ""}}, "test -p rcvat.txt", false},
        {"settings with notes and a line past 1020 bytes", {{"rcvat.txt", kTlist + notes + "d\t9\n"}}, "", "q\n",
         session(creating, {}, false,
                 "Reading rcvat.txt file\nLines of rcvat.txt not read (after its first 1020 bytes), "
                 "left out when saving: 1\n"),
         {{"rcvat.txt", kSettings + notes}}, "", false},
        {"settings with names one character too long",
         {{"rcvat.txt", "dv\t" + std::string(48, 'd') + "\ntlist\t" + std::string(256, 't') + "\nrname\t" +
                            std::string(128, 'r') + "\n"}},
         "", "tlist.txt\nq\n",
         session(creating, {}, false,
                 "Reading rcvat.txt file\nDevice names are at most 47 characters: the one in rcvat.txt "
                 "is not used\nList names are at most 255 characters: the one in rcvat.txt is not "
                 "used\nRecording names are at most 127 characters: the one in rcvat.txt is not "
                 "used\n" + asking),
         {{"rcvat.txt", kSettings}, {"tlist.txt", ""}}, "", false},
        {"list the user may not read", {{"rcvat.txt", kTlist}, {"tlist.txt", "a.wav\n"}}, "chmod 200 tlist.txt", "q\n",
         session("Cannot read tlist.txt: Permission denied\n" + creating, {}, false) + "Unable to open tlist.txt\n",
         {{"tlist.txt", "a.wav\n"}}, "test \"$(stat -c '%a %u' tlist.txt)\" = '200 0'", true},
        {"settings the user may not read", {{"rcvat.txt", "tlist\tmine.txt\nd\t5\n"}}, "chmod 200 rcvat.txt",
         "tlist.txt\nq\n",
         session(creating, {}, false, "Cannot read rcvat.txt: Permission denied\n" + asking) +
             "Unable to open rcvat.txt\n",
         {{"rcvat.txt", "tlist\tmine.txt\nd\t5\n"}, {"tlist.txt", ""}},
         "test \"$(stat -c '%a %u' rcvat.txt)\" = '200 0'", true},
    };
}

// Runs shell commands in dir; 0 when they succeed (or there are none).
int inDir(const std::string &dir, const std::string &commands)
{
    return commands.empty() ? 0 : system(("cd '" + dir + "' && " + commands).c_str());
}

// No temporary file of a save is left in dir or its subdirectories.
void expectNoTemporary(const std::string &dir)
{
    for (const std::string &n : listDir(dir)) {
        EXPECT_NE(n.rfind(".tunevat-", 0), 0u) << dir << "/" << n;
        struct stat sb;
        if (lstat((dir + "/" + n).c_str(), &sb) == 0 && S_ISDIR(sb.st_mode)) expectNoTemporary(dir + "/" + n);
    }
}

TEST(StoreFilesE2E, EveryKindOfListAndSettingsFileIsLeftAsTheUserExpects)
{
    if (geteuid() != 0) GTEST_SKIP() << "giving a file to another owner needs root";
    for (const Kind &k : kinds()) {
        SCOPED_TRACE(k.name);
        std::string dir = makeTempDir();
        std::string card = writeVirtualCard(dir);
        for (const auto &f : k.before) {
            ASSERT_EQ(inDir(dir, "mkdir -p \"$(dirname '" + f.first + "')\""), 0);
            writeFile(dir + "/" + f.first, f.second);
        }
        ASSERT_EQ(inDir(dir, k.make), 0) << k.make;
        Names argv = {TUNEVAT_BIN};
        if (k.asNobody) {
            // An ordinary user who may write the directory but not the file.
            ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
            argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", TUNEVAT_BIN};
        }
        RunResult r = runProgram(dir, argv, k.input, card, 30);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.out == k.out) << "got:\n" << r.out.substr(0, 3000) << "\nwanted:\n" << k.out.substr(0, 3000);
        for (const auto &f : k.after) EXPECT_TRUE(readFile(dir + "/" + f.first) == f.second) << f.first;
        EXPECT_EQ(inDir(dir, k.check), 0) << k.check;
        expectNoTemporary(dir);
        removeTree(dir);
    }
}

}  // namespace
