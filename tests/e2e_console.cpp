// The console's start-up, parameter commands, menus and exits, run as a
// user would: the built binary in a scratch directory with scripted input.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

struct ConsoleE2E : ::testing::Test {
    std::string dir;
    void SetUp() override { dir = makeTempDir(); }
    void TearDown() override { removeTree(dir); }
    std::string path(const std::string &name) const { return dir + "/" + name; }
};

const std::vector<std::string> kNone;

TEST_F(ConsoleE2E, FirstStartAsksForListAndQuitSavesEightLines)
{
    RunResult r = runTunevat(dir, "tlist.txt\nq\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, firstStartText() + promptText(kNone, 0, 0, 0, "") +
                         "Saving list and parameters\n");
    EXPECT_EQ(readFile(path("rcvat.txt")),
              "dv\tdefault\nsr\t44100\nbits\t16\nch\t2\ni\t0.000\no\t0.000\nd\t0.000\ntlist\ttlist.txt\n");
    EXPECT_TRUE(fileExists(path("tlist.txt")));
    EXPECT_EQ(fileSize(path("tlist.txt")), 0);
}

}  // namespace
