// The console's word reader: bounded words, numbers sharing a line with
// commands, and end of input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <csignal>
#include <string>

#include "input/input.h"

namespace {

// Points standard input at a temporary file holding text.
void feed(const std::string &text)
{
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    fwrite(text.data(), 1, text.size(), f);
    rewind(f);
    ASSERT_NE(freopen("/dev/null", "r", stdin), nullptr);
    // Swap the descriptor under stdin for the temp file's.
    ASSERT_EQ(dup2(fileno(f), fileno(stdin)), fileno(stdin));
    clearerr(stdin);
    fclose(f);
    resetInput();
}

TEST(ReadWord, CutsOverlongWordsAndDropsTheirRest)
{
    std::string longWord(500, 'x');
    // A word that fills the buffer exactly fits; one byte more is cut.
    feed(longWord + " next 1234567 12345678\n");
    char buf[8];
    memset(buf, 'Z', sizeof buf);
    ASSERT_EQ(readWord(buf, 8), kWordTooLong);
    EXPECT_STREQ(buf, "xxxxxxx");
    ASSERT_EQ(readWord(buf, 8), 1);
    EXPECT_STREQ(buf, "next");
    ASSERT_EQ(readWord(buf, 8), 1);
    EXPECT_STREQ(buf, "1234567");
    ASSERT_EQ(readWord(buf, 8), kWordTooLong);
    EXPECT_STREQ(buf, "1234567");
    EXPECT_EQ(readWord(buf, 8), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_TRUE(inputEnded());
    EXPECT_EQ(readWord(buf, 8), 0);
}

TEST(ReadInt, NumberAndCommandOnOneLine)
{
    feed("12p  abc 7\n");
    int v = -1;
    EXPECT_EQ(readInt(&v), 1);
    EXPECT_EQ(v, 12);
    char buf[16];
    ASSERT_EQ(readWord(buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "p");
    EXPECT_EQ(readInt(&v), 0);     // "abc" does not convert ...
    EXPECT_EQ(v, 12);              // ... and leaves the value alone
    ASSERT_EQ(readWord(buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "abc");      // then reads as the next word
    float f = 0;
    EXPECT_EQ(readFloat(&f), 1);
    EXPECT_FLOAT_EQ(f, 7.0f);
    EXPECT_EQ(readFloat(&f), -1);
    EXPECT_FLOAT_EQ(f, 7.0f);
}

// Numbers at prompts are decimal, and a number's text ends where "%f" or
// a decimal "%d" would stop: what follows is the next word.
TEST(ReadNumbers, DecimalIntegersAndFloatsAsScanfReadsThem)
{
    struct Case {
        const char *text;
        int intResult, intValue;   // readInt
        const char *intRest;       // the next word after it
        int floatResult;
        float floatValue;
        const char *floatRest;
    } cases[] = {
        {"010 q", 1, 10, "q", 1, 10.0f, "q"},
        {"0x10 q", 1, 0, "x10", 1, 16.0f, "q"},
        {"09 q", 1, 9, "q", 1, 9.0f, "q"},
        {"-12p", 1, -12, "p", 1, -12.0f, "p"},
        {"+7 q", 1, 7, "q", 1, 7.0f, "q"},
        {"abc", 0, -1, "abc", 0, -1.0f, "abc"},
        {"- 5", 0, -1, "5", 0, -1.0f, "5"},
        {"99999999999 q", 1, 2147483647, "q", 1, 99999999999.0f, "q"},
        {"-99999999999 q", 1, -2147483647 - 1, "q", 1, -99999999999.0f, "q"},
        {"1.5e3x", 1, 1, ".5e3x", 1, 1500.0f, "x"},
        {"1e x", 1, 1, "e", 1, 1.0f, "x"},
        {".5 y", 0, -1, ".5", 1, 0.5f, "y"},
        {"0x z", 1, 0, "x", 0, -1.0f, "z"},
        {"inf z", 0, -1, "inf", 1, HUGE_VALF, "z"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        char rest[32];
        feed(std::string(c.text) + "\n");
        int v = -1;
        EXPECT_EQ(readInt(&v), c.intResult);
        EXPECT_EQ(v, c.intValue);
        ASSERT_GE(readWord(rest, sizeof rest), 1);
        EXPECT_STREQ(rest, c.intRest);
        feed(std::string(c.text) + "\n");
        float f = -1.0f;
        EXPECT_EQ(readFloat(&f), c.floatResult);
        EXPECT_FLOAT_EQ(f, c.floatValue);
        ASSERT_GE(readWord(rest, sizeof rest), 1);
        EXPECT_STREQ(rest, c.floatRest);
    }
    // A number longer than the reader's buffer still reads whole.
    feed(std::string(9000, '0') + "12 q\n");
    int v = -1;
    EXPECT_EQ(readInt(&v), 1);
    EXPECT_EQ(v, 12);
}

// A command that runs until Enter (m): blanks ending its own line go
// first; a line typed later ends it, dropped whole whatever it holds; at
// the end of input the drop says so. Ops, each with its result: 'w' reads
// a word ("q"), 'b' drops a blank line end, 'd' drops the line so far, 'i'
// asks whether input waits. (Enter on a line of its own: PacedE2E's m.)
TEST(DropLine, LinesEndCommandsThatRunUntilEnter)
{
    struct Row {
        std::string input;
        const char *ops;
    } rows[] = {{"m x y\nq\n", "w1b0d1w1"},
                {"m \t\r\n" + std::string(5000, 'z') + "\nq", "w1b1i1d1w1"},
                {"m", "w1b0i1d-d-w0"}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.input.substr(0, 8));
        feed(r.input);
        char buf[16];
        EXPECT_EQ(readWord(buf, sizeof buf), 1);   // the command word
        for (const char *op = r.ops + 2; *op; op += 2) {
            int want = op[1] == '-' ? -1 : op[1] - '0';
            int got = *op == 'w' ? readWord(buf, sizeof buf)
                      : *op == 'b' ? dropBlankLineEnd() : *op == 'd' ? dropLineSoFar() : waitForInputWithin(0);
            EXPECT_EQ(got, want) << op;
            EXPECT_STREQ(*op == 'w' ? buf : "", *op == 'w' && want ? "q" : "");
        }
    }
}

// From a pipe holding part of a line nothing waits: what came is dropped
// until the line feed comes. A noted signal ends a wait at once.
TEST(DropLine, NeverWaitsForTheRestOfALine)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int savedIn = dup(0);
    dup2(fds[0], 0);
    resetInput();
    EXPECT_EQ(waitForInputWithin(0), 0);
    ASSERT_EQ(write(fds[1], "abc", 3), 3);
    EXPECT_EQ(dropLineSoFar(), 0);
    EXPECT_EQ(waitForInputWithin(1000000), 0);   // "abc" is gone
    ASSERT_EQ(write(fds[1], "de\nq", 4), 4);
    EXPECT_EQ(dropLineSoFar(), 1);
    EXPECT_EQ(waitForInputWithin(0), 1);         // "q"
    SignalCatch signals;
    catchSignals(&signals, 0);
    raise(SIGINT);
    EXPECT_EQ(waitForInputWithin(60000000000LL), -1);
    forgetStop();
    releaseSignals(&signals);
    dup2(savedIn, 0);
    for (int fd : {savedIn, fds[0], fds[1]}) close(fd);
    resetInput();
}

}  // namespace
