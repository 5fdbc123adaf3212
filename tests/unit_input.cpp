// The console's word reader: bounded words, numbers sharing a line with
// commands, and end of input.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>
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

}  // namespace
