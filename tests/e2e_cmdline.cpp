// The command line: no arguments starts the console; --help and --version
// answer and leave; anything else is refused with status 2. None of these
// may read or write a file in the working directory.
#include <gtest/gtest.h>

#include <dirent.h>

#include "harness.h"

namespace {

// Names in dir, apart from the harness's own standard-stream files.
std::vector<std::string> listing(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d) return names;
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != ".." && n[0] != '.') names.push_back(n);
    }
    closedir(d);
    return names;
}

struct Case {
    std::vector<std::string> args;
    int status;
    std::string outStart;   // standard output begins with this
    std::string err;        // standard error, exactly
};

const char kUsage[] = "Usage: tunevat [--help | --version]\n";

TEST(CommandLine, OptionsAnswerAndTouchNoFile)
{
    const Case cases[] = {
        {{"--help"}, 0, std::string(kUsage) + "\nTunevat records takes", ""},
        {{"--version"}, 0, "tunevat 1.05\n", ""},
        {{"-h"}, 2, "", std::string("tunevat: unexpected argument '-h'\n") + kUsage},
        {{"play"}, 2, "", std::string("tunevat: unexpected argument 'play'\n") + kUsage},
        {{""}, 2, "", std::string("tunevat: unexpected argument ''\n") + kUsage},
        {{"--help", "x"}, 2, "", std::string("tunevat: unexpected argument 'x'\n") + kUsage},
        {{"--version", "--help"}, 2, "",
         std::string("tunevat: unexpected argument '--help'\n") + kUsage},
        {{"x", "--help"}, 2, "", std::string("tunevat: unexpected argument 'x'\n") + kUsage},
    };
    for (const Case &c : cases) {
        std::string dir = makeTempDir();
        // A settings file and a list that an accidental start would read
        // and rewrite.
        writeFile(dir + "/rcvat.txt", "tlist\tl.txt\nd\t7\n");
        writeFile(dir + "/l.txt", "a.wav\n");
        std::vector<std::string> argv = {TUNEVAT_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        // Input that would quit at once: an accidental start still ends.
        RunResult r = runProgram(dir, argv, "q\n", "", 20);
        std::string label = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        EXPECT_EQ(r.status, c.status) << label;
        EXPECT_EQ(r.out.substr(0, c.outStart.size()), c.outStart) << label;
        if (c.status != 0) {
            EXPECT_EQ(r.out, "") << label;
        }
        EXPECT_EQ(r.err, c.err) << label;
        EXPECT_EQ(readFile(dir + "/rcvat.txt"), "tlist\tl.txt\nd\t7\n") << label;
        EXPECT_EQ(readFile(dir + "/l.txt"), "a.wav\n") << label;
        EXPECT_EQ(listing(dir).size(), 2u) << label;
        removeTree(dir);
    }
}

TEST(CommandLine, HelpNamesTheFilesAndTheManual)
{
    std::string dir = makeTempDir();
    RunResult r = runProgram(dir, {TUNEVAT_BIN, "--help"}, "", "", 20);
    EXPECT_EQ(r.status, 0);
    for (const char *word : {"rcvat.txt", "tlist.txt", "tunevat_temp.wav", "man tunevat"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    EXPECT_TRUE(listing(dir).empty());
    removeTree(dir);
}

}  // namespace
