// The settings file: the reader's word rules, the written bytes, round
// trips of long names, and a failed save that must keep the old file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"
#include "store/store.h"

namespace {

// The console's values, starting from its defaults.
struct Values {
    int channels = 2;
    char device[kDeviceBytes];
    unsigned int rate = 44100;
    unsigned int bits = 16;
    float in = 0.0f;
    float out = 0.0f;
    float dur = 0.0f;
    char list[kListNameBytes];
    int listGiven = 0;
    char rname[kRecordNameBytes];
    TakeStartSettings start = {0.0f, 0.0f};
    WavSettings wav = {0, {0, 0}};
    Values()
    {
        strcpy(device, "default");
        strcpy(list, "tlist.txt");
        rname[0] = '\0';
    }
};

class Settings : public InScratchDir {
protected:
    // Writes text as rcvat.txt and reads it over v.
    void read(const std::string &text, Values &v)
    {
        writeFile("rcvat.txt", text);
        readBack(v);
    }
    void readBack(Values &v)
    {
        GET_PARAMS(&v.channels, v.device, &v.rate, &v.bits, &v.in, &v.out,
                   &v.dur, v.list, &v.listGiven, "rcvat.txt", v.rname, &v.start, &v.wav);
    }
    int store(const Values &v)
    {
        return Store_Settings(v.channels, v.device, v.rate, v.bits, v.in, v.out,
                              v.dur, v.list, v.rname, &v.start, &v.wav);
    }

};

const char kDefaultsFile[] =
    "dv\tdefault\nsr\t44100\nbits\t16\nch\t2\ni\t0.000\no\t0.000\nd\t0.000\n"
    "tlist\ttlist.txt\n";

TEST_F(Settings, KeyEndsAtTabOrSpaceAndTheRestOfTheLineIsTheValue)
{
    Values v;
    read("sr 48000\nbits\t24\ndv\t\thw:0\nrname\tmy take.wav\n", v);
    EXPECT_EQ(v.rate, 48000u);
    EXPECT_EQ(v.bits, 24u);
    EXPECT_STREQ(v.device, "\thw:0");       // the second tab is part of it
    EXPECT_STREQ(v.rname, "my take.wav");   // so is a space

    Values w;
    read("sr\t48000\ndv\thw:1,0\n", w);
    EXPECT_EQ(w.rate, 48000u);
    EXPECT_STREQ(w.device, "hw:1,0");
    // Keys the file does not name keep the caller's values.
    EXPECT_EQ(w.channels, 2);
    EXPECT_EQ(w.bits, 16u);
    EXPECT_STREQ(w.list, "tlist.txt");
    EXPECT_EQ(w.listGiven, 0);
}

TEST_F(Settings, ValueEqualToAKeyIsOnlyAValue)
{
    Values v;
    v.dur = 7.0f;
    read("dv\td\nd\t3.5\ntlist\trname\nch\t1\n", v);
    EXPECT_STREQ(v.device, "d");
    EXPECT_FLOAT_EQ(v.dur, 3.5f);
    EXPECT_STREQ(v.list, "rname");
    EXPECT_EQ(v.listGiven, 1);
    EXPECT_EQ(v.channels, 1);
    EXPECT_STREQ(v.rname, "");

    // A value that reads like "key value" does not set that key either.
    Values w;
    read("dv\tch 1\n", w);
    EXPECT_STREQ(w.device, "ch 1");
    EXPECT_EQ(w.channels, 2);
}

TEST_F(Settings, CrLfLinesGiveTextWithoutTheCarriageReturn)
{
    // A file edited on Windows: the CR ends the line, it is no part of a
    // name (a list "l.txt\r" would never be found, and a new file of that
    // name would be made at exit). Only one CR goes; numbers never had it.
    Values v;
    read("dv\thw:0\r\nsr\t22050\r\nch\t1\r\ni\t1.5\r\ntlist\tl.txt\r\nrname\ta b.wav\r\n\r\n", v);
    EXPECT_STREQ(v.device, "hw:0");
    EXPECT_STREQ(v.list, "l.txt");
    EXPECT_STREQ(v.rname, "a b.wav");
    EXPECT_EQ(v.rate, 22050u);
    EXPECT_EQ(v.channels, 1);
    EXPECT_FLOAT_EQ(v.in, 1.5f);

    Values w;
    read("dv\tx\r\r\ntlist\t\r\nrname\t\r", w);
    EXPECT_STREQ(w.device, "x\r");
    EXPECT_STREQ(w.list, "tlist.txt");   // "\r" alone names no list
    EXPECT_EQ(w.listGiven, 0);
    EXPECT_STREQ(w.rname, "");
}

TEST_F(Settings, UnknownKeysStrayWordsAndBlankLinesAreSkipped)
{
    Values v;
    // Every word of a line that does not begin with a key is tested in
    // turn, so a key later in such a line still counts.
    read("\n\n  \t\nfoo bar\nSR\t8000\nvolume 11\nzz sr 32000\n\nbits\t24\n", v);
    EXPECT_EQ(v.rate, 32000u);
    EXPECT_EQ(v.bits, 24u);
    EXPECT_STREQ(v.device, "default");
    EXPECT_EQ(v.channels, 2);
}

TEST_F(Settings, DuplicateKeysTakeTheLastValue)
{
    Values v;
    read("sr\t8000\ndv\tone\nsr\t96000\ndv\ttwo\n", v);
    EXPECT_EQ(v.rate, 96000u);
    EXPECT_STREQ(v.device, "two");
}

TEST_F(Settings, NumbersConvertLikeBaseTenWithZeroForText)
{
    Values v;
    v.in = 4.0f;
    read("ch\tabc\nbits\t-8\nsr\t  44100xyz\ni\tnope\no\t 2.25s\nd\t010\n", v);
    EXPECT_EQ(v.channels, 0);
    EXPECT_EQ(v.bits, 4294967288u);   // the unsigned value of -8
    EXPECT_EQ(v.rate, 44100u);
    EXPECT_FLOAT_EQ(v.in, 0.0f);
    EXPECT_FLOAT_EQ(v.out, 2.25f);
    EXPECT_FLOAT_EQ(v.dur, 10.0f);    // base 10, not octal

    Values w;
    read("ch\t08\n", w);
    EXPECT_EQ(w.channels, 8);
}

TEST_F(Settings, KeyWithoutValue)
{
    // Ended by a line feed: the value is empty.
    Values v;
    v.rate = 1;
    read("dv\nsr\nrname\n", v);
    EXPECT_STREQ(v.device, "");
    EXPECT_EQ(v.rate, 0u);
    EXPECT_STREQ(v.rname, "");
    // Ended by a tab and then the line feed: the same.
    Values w;
    strcpy(w.rname, "x.wav");
    read("dv\t\nrname\t\nch\t1\n", w);
    EXPECT_STREQ(w.device, "");
    EXPECT_STREQ(w.rname, "");
    EXPECT_EQ(w.channels, 1);
    // The last word of the file with nothing after it: left as it was.
    Values u;
    read("ch\t1\ndv", u);
    EXPECT_EQ(u.channels, 1);
    EXPECT_STREQ(u.device, "default");
    // A key and its separator at the very end: an empty value.
    Values t;
    read("sr\t8000\ndv\t", t);
    EXPECT_EQ(t.rate, 8000u);
    EXPECT_STREQ(t.device, "");
}

TEST_F(Settings, EmptyListNameNamesNoList)
{
    Values v;
    read("tlist\t\nch\t1\n", v);
    EXPECT_STREQ(v.list, "tlist.txt");
    EXPECT_EQ(v.listGiven, 0);   // the console will ask for a name
    EXPECT_EQ(v.channels, 1);

    Values w;
    read("tlist\tmine.txt\ntlist\n", w);
    EXPECT_STREQ(w.list, "mine.txt");
    EXPECT_EQ(w.listGiven, 1);
}

TEST_F(Settings, OverlongNamesAreRefusedAndNamed)
{
    // Guards after each buffer would show a write past it.
    struct {
        char device[kDeviceBytes];
        char g1[16];
        char list[kListNameBytes];
        char g2[16];
        char rname[kRecordNameBytes];
        char g3[16];
    } b;
    memset(&b, 'G', sizeof b);
    strcpy(b.device, "hw:1");
    strcpy(b.list, "mine.txt");
    strcpy(b.rname, "take.wav");
    Values v;
    // One character too many for each; the line after them still counts.
    std::string dv(kDeviceBytes, 'd'), tl(kListNameBytes, 't'), rn(kRecordNameBytes, 'r');
    writeFile("rcvat.txt", "dv\t" + dv + "\ntlist\t" + tl + "\nrname\t" + rn + "\r\nch\t1\n");
    int tooLong = 0;
    GET_PARAMS(&v.channels, b.device, &v.rate, &v.bits, &v.in, &v.out, &v.dur,
               b.list, &v.listGiven, "rcvat.txt", b.rname, nullptr, nullptr, &tooLong);
    EXPECT_EQ(tooLong, kTooLongDevice | kTooLongList | kTooLongRecordName);
    EXPECT_STREQ(b.device, "hw:1");
    EXPECT_STREQ(b.list, "mine.txt");
    EXPECT_EQ(v.listGiven, 0);
    EXPECT_STREQ(b.rname, "take.wav");
    EXPECT_EQ(v.channels, 1);
    EXPECT_EQ(std::string(b.g1, 16), std::string(16, 'G'));
    EXPECT_EQ(std::string(b.g2, 16), std::string(16, 'G'));
    EXPECT_EQ(std::string(b.g3, 16), std::string(16, 'G'));
}

TEST_F(Settings, FileOverTheReadBufferIsReadUpToIt)
{
    // 1020 bytes are read: a key inside them counts, a key after them not,
    // and a value cut at the edge keeps what was read.
    std::string pad(1000, '#');
    pad += '\n';                                    // 1001 bytes
    Values v;
    read(pad + "sr\t12345678\nch\t1\n" + std::string(5000, 'x'), v);
    // "sr\t12345678\nch\t1\n" lies at 1001..1017, inside what is read.
    EXPECT_EQ(v.rate, 12345678u);
    EXPECT_EQ(v.channels, 1);

    Values w;
    read(pad + std::string(15, ' ') + "sr\t9876\n", w);   // sr at 1016
    EXPECT_EQ(w.rate, 9u);   // "sr\t9" are the last bytes read

    Values u;
    read(std::string(1020, ' ') + "ch\t1\n", u);
    EXPECT_EQ(u.channels, 2);
}

TEST_F(Settings, MissingFileChangesNothing)
{
    Values v;
    GET_PARAMS(&v.channels, v.device, &v.rate, &v.bits, &v.in, &v.out, &v.dur,
               v.list, &v.listGiven, "no-such-file.txt", v.rname, &v.start, &v.wav);
    EXPECT_EQ(v.channels, 2);
    EXPECT_STREQ(v.device, "default");
    EXPECT_STREQ(v.list, "tlist.txt");
    EXPECT_EQ(v.listGiven, 0);
}

TEST_F(Settings, DefaultsAreWrittenAsEightLines)
{
    Values v;
    EXPECT_EQ(store(v), 1);
    EXPECT_EQ(readFile("rcvat.txt"), kDefaultsFile);
    EXPECT_FALSE(fileExists("rcvat.txt.tmp"));

    // Empty list name: no tlist line; a recording name adds rname.
    v.list[0] = '\0';
    strcpy(v.rname, "take1.wav");
    v.channels = 1;
    v.rate = 96000;
    v.bits = 24;
    v.in = 1.5f;
    v.out = 12.25f;
    v.dur = 600.0f;
    strcpy(v.device, "hw:1,0");
    EXPECT_EQ(store(v), 1);
    EXPECT_EQ(readFile("rcvat.txt"),
              "dv\thw:1,0\nsr\t96000\nbits\t24\nch\t1\ni\t1.500\no\t12.250\n"
              "d\t600.000\nrname\ttake1.wav\n");
}

TEST_F(Settings, RoundTripRoundsTimesToTheMillisecond)
{
    Values v;
    v.in = 1.2346f;
    v.out = 59.9999f;
    v.dur = 0.0004f;
    strcpy(v.rname, "a b.wav");
    ASSERT_EQ(store(v), 1);
    Values w;
    w.in = w.out = w.dur = -1.0f;
    readBack(w);
    EXPECT_FLOAT_EQ(w.in, 1.235f);
    EXPECT_FLOAT_EQ(w.out, 60.0f);
    EXPECT_FLOAT_EQ(w.dur, 0.0f);
    EXPECT_STREQ(w.rname, "a b.wav");
    EXPECT_STREQ(w.list, "tlist.txt");
    EXPECT_EQ(w.listGiven, 1);
}

TEST_F(Settings, LongestNamesSurviveASaveAndARead)
{
    Values v;
    std::string dv(kDeviceBytes - 1, 'D'), tl(kListNameBytes - 1, 'L'),
        rn(kRecordNameBytes - 1, 'R');
    strcpy(v.device, dv.c_str());
    strcpy(v.list, tl.c_str());
    strcpy(v.rname, rn.c_str());
    // Extreme numbers take the widest lines.
    v.channels = -2147483647 - 1;
    v.rate = 4294967295u;
    v.bits = 4294967295u;
    v.in = -3.4e38f;
    v.out = 3.4e38f;
    v.dur = -3.4e38f;
    ASSERT_EQ(store(v), 1);
    EXPECT_LT(fileSize("rcvat.txt"), 1020);
    Values w;
    readBack(w);
    EXPECT_EQ(std::string(w.device), dv);
    EXPECT_EQ(std::string(w.list), tl);
    EXPECT_EQ(std::string(w.rname), rn);
    EXPECT_EQ(w.channels, v.channels);
    EXPECT_EQ(w.rate, v.rate);
    EXPECT_EQ(w.bits, v.bits);
    EXPECT_FLOAT_EQ(w.in, v.in);
    EXPECT_FLOAT_EQ(w.out, v.out);
    EXPECT_FLOAT_EQ(w.dur, v.dur);
}

TEST_F(Settings, FailedSaveKeepsTheOldFile)
{
    writeFile("rcvat.txt", "dv\told\n");
    // The new file cannot be written whole: writes past 16 bytes fail, as
    // on a full disk (permissions alone do not stop root).
    Values v;
    int result = -1;
    withFileSizeLimit(16, [&] { result = store(v); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(readFile("rcvat.txt"), "dv\told\n");
    // No temporary file is left beside it.
    EXPECT_EQ(listDir("."), std::vector<std::string>{"rcvat.txt"});
}

TEST_F(Settings, FailedRenameRemovesTheTemporaryFile)
{
    // rcvat.txt itself is a non-empty directory: the rename fails.
    ASSERT_EQ(mkdir("rcvat.txt", 0755), 0);
    writeFile("rcvat.txt/keep", "k");
    Values v;
    EXPECT_EQ(store(v), 0);
    EXPECT_FALSE(fileExists("rcvat.txt.tmp"));
    EXPECT_EQ(readFile("rcvat.txt/keep"), "k");
}

TEST_F(Settings, SaveInARemovedDirectoryFailsQuietly)
{
    std::string gone = dir + "/gone";
    ASSERT_EQ(mkdir(gone.c_str(), 0755), 0);
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    Values v;
    EXPECT_EQ(store(v), 0);
    ASSERT_EQ(chdir(dir.c_str()), 0);
}

// A save keeps the lines of the old file that hold no setting (notes,
// another program's keys), unchanged and in order after its own; blank
// lines and the lines that held settings go. A second save is the same.
TEST_F(Settings, SaveKeepsTheLinesThatHoldNoSetting)
{
    struct Case {
        const char *name;
        std::string old;
        std::string kept;
    } cases[] = {
        {"notes and other keys", "# card\ndv\thw:0\nvolume 11\n\n \t\nzz sr 32000\n",
         "# card\nvolume 11\n"},
        {"CR LF lines", "dv\thw:0\r\n# note\r\n\r\n", "# note\r\n"},
        {"a last line without a line feed", "ch\t1\nx y", "x y"},
        {"words that only begin like keys", "dvd player\nsrx\n\ttlists\n", "dvd player\nsrx\n\ttlists\n"},
        {"a key later in the line", "volume dv\nthe d\n", ""},
        {"a NUL byte", std::string("a\0b\nch\t1\n", 9), std::string("a\0b\n", 4)},
        {"only settings", kDefaultsFile, ""},
        {"pre-roll and trigger, now unset", "pre\t2.000\n# n\ntrig\t-30.0\n", "# n\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        writeFile("rcvat.txt", c.old);
        Values v;
        ASSERT_EQ(store(v), 1);
        EXPECT_EQ(readFile("rcvat.txt"), kDefaultsFile + c.kept);
        ASSERT_EQ(store(v), 1);
        EXPECT_EQ(readFile("rcvat.txt"), kDefaultsFile + c.kept);
        // The kept lines change nothing the next start reads.
        Values w;
        w.list[0] = '\0';
        readBack(w);
        EXPECT_STREQ(w.device, "default");
        EXPECT_STREQ(w.list, "tlist.txt");
        EXPECT_EQ(w.channels, 2);
    }
}

// The lines that hold a setting the reader does not take whole: past the
// 1020 bytes it reads, running on past them, or after a NUL byte.
TEST_F(Settings, UnreadSettingsLinesAreCounted)
{
    const std::string pad = std::string(1000, '#') + "\n";   // 1001 bytes
    struct Case {
        const char *name;
        std::string text;
        long unread;
        long readBytes;
    } cases[] = {
        {"a short file", "sr\t8000\nch\t1\n", 0, 13},
        {"settings inside, notes after", pad + "sr\t1\n" + std::string(5000, 'x'), 0, 1020},
        {"a value running past the edge", pad + std::string(15, ' ') + "sr\t9876\n", 1, 1020},
        {"settings after the edge", std::string(1020, ' ') + "ch\t1\nnote\ndv\tx\n", 2, 1020},
        {"a line feed at the edge", std::string(1018, '#') + "\nd\n", 0, 1020},
        {"a NUL byte", std::string("sr 1\n\0\nch 2\n", 12), 1, 5},
        {"a key at the very end", "ch\t1\ndv", 0, 7},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        writeFile("rcvat.txt", c.text);
        long readBytes = -1;
        EXPECT_EQ(unreadSettingsLines("rcvat.txt", &readBytes), c.unread);
        EXPECT_EQ(readBytes, c.readBytes);
    }
    long readBytes = -1;
    EXPECT_EQ(unreadSettingsLines("missing.txt", &readBytes), 0);
    EXPECT_EQ(readBytes, 0);
}

// bwf and pair: read as far as their values make sense (a channel number
// past 32, one channel alone, a bwf other than 0 or 1 are dropped), and
// written only when set.
TEST_F(Settings, BwfAndPairAreWrittenOnlyWhenSet)
{
    struct Case {
        const char *text, *values, *written;
    } cases[] = {
        {"pair 32 32\nbwf 0\n", "0 32 32", "pair\t32 32\n"},
        {"bwf\t2\npair\t3\n", "0 0 0", ""},
        {"bwf\t1\npair\t1 70000\n", "1 0 0", "bwf\t1\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Values v;
        read(c.text, v);
        EXPECT_EQ(std::to_string(v.wav.bwf) + " " + std::to_string(v.wav.pair[0]) + " " +
                      std::to_string(v.wav.pair[1]),
                  c.values);
        unlink("rcvat.txt");
        ASSERT_EQ(store(v), 1);
        EXPECT_EQ(readFile("rcvat.txt"), std::string(kDefaultsFile) + c.written);
    }
}

}  // namespace
