// The track list store: splitting list text into the table, loading and
// saving list files, and taking one entry out of the table.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "harness.h"
#include "store/store.h"

namespace {

// The console's table and list text buffer, with guards after each to
// show a write past them.
struct Store {
    char table[kTableBytes];
    char tableGuard[64];
    char text[kListTextBytes];
    char textGuard[64];
    int count;
    ListOrigin origin;
};

std::vector<std::string> entries(const Store &s)
{
    std::vector<std::string> out;
    for (int k = 0; k < s.count; k++) out.push_back(s.table + (long)k * kSlotBytes);
    return out;
}

// True when every slot from the count on is empty throughout.
bool restIsEmpty(const Store &s)
{
    for (long b = (long)s.count * kSlotBytes; b < kTableBytes; b++) {
        if (s.table[b] != '\0') return false;
    }
    return true;
}

bool guardsIntact(const Store &s)
{
    for (int k = 0; k < 64; k++) {
        if (s.tableGuard[k] != 'G' || s.textGuard[k] != 'G') return false;
    }
    return true;
}

void fill(Store &s, const std::vector<std::string> &names)
{
    memset(s.table, 0, sizeof s.table);
    for (size_t k = 0; k < names.size(); k++) {
        strcpy(s.table + (long)k * kSlotBytes, names[k].c_str());
    }
    s.count = (int)names.size();
}

// Lines "t0001.wav" ... each followed by a line feed.
std::string numberedLines(int n)
{
    std::string text;
    char line[32];
    for (int k = 1; k <= n; k++) {
        snprintf(line, sizeof line, "t%04d.wav\n", k);
        text += line;
    }
    return text;
}

class TrackList : public InScratchDir {
protected:
    void SetUp() override
    {
        InScratchDir::SetUp();
        s = new Store;
        memset(s, 'G', sizeof *s);
        memset(s->table, 0, sizeof s->table);
        memset(s->text, 0, sizeof s->text);
        memset(&s->origin, 0, sizeof s->origin);
        s->count = -1;
    }
    void TearDown() override
    {
        EXPECT_TRUE(guardsIntact(*s));
        delete s;
        InScratchDir::TearDown();
    }

    // Loads path, returning GetList's result and what it printed.
    int load(const char *path, std::string *printed)
    {
        fflush(stdout);
        testing::internal::CaptureStdout();
        int r = GetList(s->text, s->table, path, &s->count, kListTextBytes, &s->origin);
        fflush(stdout);
        *printed = testing::internal::GetCapturedStdout();
        return r;
    }
    int save(const char *path, std::string *printed)
    {
        fflush(stdout);
        testing::internal::CaptureStdout();
        int r = WriteList(path, s->table, s->text, s->count, &s->origin);
        fflush(stdout);
        *printed = testing::internal::GetCapturedStdout();
        return r;
    }
    void parse(const std::string &text)
    {
        ParseListBytes(text.data(), (long)text.size(), s->table, &s->count,
                       kTableBytes);
    }

    Store *s = nullptr;
};

using Names = std::vector<std::string>;

TEST_F(TrackList, LineFeedsAloneSeparateAndOnlyLineEndReturnsAreTrimmed)
{
    parse("a\n\n\nb");
    EXPECT_EQ(entries(*s), (Names{"a", "b"}));
    parse("\n\n x \n\tc\t\nd\r\ne\r\n\n");
    EXPECT_EQ(entries(*s), (Names{" x ", "\tc\t", "d", "e"}));
    // CR LF line ends: the returns that end a line go, a line of nothing
    // else is empty, one inside a name stays.
    parse("a\r\n\r\n\r\r\nb\r\r\nc\rd\r");
    EXPECT_EQ(entries(*s), (Names{"a", "b", "c\rd"}));
    parse("");
    EXPECT_EQ(s->count, 0);
    parse("\n\n\n");
    EXPECT_EQ(s->count, 0);
    EXPECT_TRUE(restIsEmpty(*s));

    // The NUL-terminated form splits the same way and stops at the NUL.
    ParseList("one\n\ntwo\n", s->table, &s->count, kTableBytes);
    EXPECT_EQ(entries(*s), (Names{"one", "two"}));
}

TEST_F(TrackList, SplitStopsAtTheGivenLength)
{
    std::string text = "a\nbc\nd";
    ParseListBytes(text.data(), 3, s->table, &s->count, kTableBytes);
    EXPECT_EQ(entries(*s), (Names{"a", "b"}));
}

TEST_F(TrackList, LongLinesAreCutToASlot)
{
    std::string l127(127, 'a'), l128(128, 'b'), l400(400, 'c');
    parse(l127 + "\n" + l128 + "\n" + l400 + "\nnext");
    ASSERT_EQ(s->count, 4);
    EXPECT_EQ(entries(*s), (Names{l127, l128.substr(0, 127), l400.substr(0, 127), "next"}));
    EXPECT_TRUE(restIsEmpty(*s));

    // Slot 1021 is the last one a load fills; a long line there stays in it.
    std::string text = numberedLines(1021) + std::string(1000, 'z');
    parse(text);
    ASSERT_EQ(s->count, 1022);
    EXPECT_EQ(entries(*s)[1021], std::string(127, 'z'));
    EXPECT_TRUE(restIsEmpty(*s));
}

TEST_F(TrackList, LoadTakesAtMost1022Entries)
{
    parse(numberedLines(1100));
    ASSERT_EQ(s->count, 1022);
    EXPECT_EQ(entries(*s).front(), "t0001.wav");
    EXPECT_EQ(entries(*s).back(), "t1022.wav");
    EXPECT_TRUE(restIsEmpty(*s));

    // A full table, and the text buffer filled to its very last byte:
    // 1024 lines of 127 bytes and a line feed are exactly 131072 bytes.
    std::string full;
    for (int k = 0; k < 1024; k++) full += std::string(127, 'a' + k % 26) + "\n";
    ASSERT_EQ((long)full.size(), kListTextBytes);
    memcpy(s->text, full.data(), full.size());
    ParseListBytes(s->text, kListTextBytes, s->table, &s->count, kTableBytes);
    EXPECT_EQ(s->count, 1022);
}

TEST_F(TrackList, MissingFileLeavesTableAndCount)
{
    fill(*s, {"keep.wav"});
    std::string printed;
    EXPECT_EQ(load("absent.txt", &printed), 1);
    EXPECT_EQ(printed, "Creating a new list: absent.txt\n");
    EXPECT_EQ(entries(*s), (Names{"keep.wav"}));
    EXPECT_FALSE(fileExists("absent.txt"));

    // A directory cannot be read as a list either, and says so.
    ASSERT_EQ(mkdir("adir", 0755), 0);
    EXPECT_EQ(load("adir", &printed), 1);
    EXPECT_EQ(printed, "Cannot read adir: not a regular file\nCreating a new list: adir\n");
    EXPECT_EQ(entries(*s), (Names{"keep.wav"}));
}

TEST_F(TrackList, EmptyFileLoadsAnEmptyTable)
{
    fill(*s, {"old.wav"});
    writeFile("l.txt", "");
    std::string printed;
    EXPECT_EQ(load("l.txt", &printed), 0);
    EXPECT_EQ(printed, "Opening existing list: l.txt\n");
    EXPECT_EQ(s->count, 0);
    EXPECT_TRUE(restIsEmpty(*s));
}

TEST_F(TrackList, FileOfExactlyTheBufferSizeLoadsWhole)
{
    // 1022 entries, the last one ending with the file's 131072nd byte; the
    // guard bytes after the text buffer must not join it.
    std::string text = numberedLines(1021);
    text += std::string(kListTextBytes - (long)text.size() - 2, '\n') + "qq";
    ASSERT_EQ((long)text.size(), kListTextBytes);
    writeFile("l.txt", text);
    std::string printed;
    EXPECT_EQ(load("l.txt", &printed), 0);
    EXPECT_EQ(printed, "Opening existing list: l.txt\n");
    ASSERT_EQ(s->count, 1022);
    EXPECT_EQ(entries(*s)[1020], "t1021.wav");
    EXPECT_EQ(entries(*s)[1021], "qq");
}

TEST_F(TrackList, LargerFileLoadsItsFirst131072Bytes)
{
    // The first 131072 bytes hold "first" and a line of 131065 bytes; the
    // eight bytes of the last line are left out.
    std::string text = "first\n" + std::string(kListTextBytes - 6 - 1, 'w') + "\n" + "tail9999";
    ASSERT_EQ((long)text.size(), kListTextBytes + 8);
    writeFile("big.txt", text);
    std::string printed;
    EXPECT_EQ(load("big.txt", &printed), 0);
    // The long line and the one after the limit stay in the file, and
    // that is said too.
    EXPECT_EQ(printed,
              "Opening existing list: big.txt\n"
              "List file is too large. 8 bytes not loaded\n"
              "Track list entries cut to fit, kept whole in big.txt: 2\n"
              "Track list entries not loaded, kept in big.txt: 3\n");
    EXPECT_EQ(entries(*s), (Names{"first", std::string(127, 'w')}));

    // A line cut at the edge loads as a shorter entry.
    std::string cut = std::string(kListTextBytes - 3, '\n') + "abcdef";
    writeFile("cut.txt", cut);
    EXPECT_EQ(load("cut.txt", &printed), 0);
    EXPECT_EQ(printed,
              "Opening existing list: cut.txt\n"
              "List file is too large. 3 bytes not loaded\n"
              "Track list entries cut to fit, kept whole in cut.txt: 1\n");
    EXPECT_EQ(entries(*s), (Names{"abc"}));
}

TEST_F(TrackList, ShortListAfterALongOneHasOnlyItsOwnEntries)
{
    writeFile("long.txt", numberedLines(500));
    writeFile("short.txt", "x.wav\ny.wav");
    std::string printed;
    ASSERT_EQ(load("long.txt", &printed), 0);
    ASSERT_EQ(s->count, 500);
    ASSERT_EQ(save("other.txt", &printed), 1);   // a long text in the buffer
    ASSERT_EQ(load("short.txt", &printed), 0);
    EXPECT_EQ(entries(*s), (Names{"x.wav", "y.wav"}));
    EXPECT_TRUE(restIsEmpty(*s));
}

TEST_F(TrackList, WriteThenLoadGivesTheSameEntries)
{
    Names names = {"a.wav", " spaced name.wav", "dir/sub/take 3.wav", std::string(127, 'm'),
                   "tab\there.wav", "c\rr"};
    fill(*s, names);
    std::string printed;
    EXPECT_EQ(save("l.txt", &printed), 1);
    EXPECT_EQ(printed, "");
    std::string expected;
    for (const auto &n : names) expected += n + "\n";
    EXPECT_EQ(readFile("l.txt"), expected);
    EXPECT_FALSE(fileExists("l.txt.tmp"));

    memset(s->table, 'J', sizeof s->table);
    s->count = 0;
    ASSERT_EQ(load("l.txt", &printed), 0);
    EXPECT_EQ(entries(*s), names);
}

TEST_F(TrackList, FullTableFillsTheTextExactly)
{
    Names names;
    for (int k = 0; k < kTableSlots; k++) names.push_back(std::string(127, 'A' + k % 26));
    fill(*s, names);
    std::string printed;
    EXPECT_EQ(save("full.txt", &printed), 1);
    EXPECT_EQ(fileSize("full.txt"), kListTextBytes);
    std::string bytes = readFile("full.txt");
    EXPECT_EQ(bytes.substr(kListTextBytes - 128), names.back() + "\n");
}

TEST_F(TrackList, EmptyTableWritesAnEmptyFile)
{
    writeFile("l.txt", "old\n");
    s->count = 0;
    std::string printed;
    EXPECT_EQ(save("l.txt", &printed), 1);
    EXPECT_TRUE(fileExists("l.txt"));
    EXPECT_EQ(fileSize("l.txt"), 0);
}

TEST_F(TrackList, FailedSaveKeepsTheOldList)
{
    writeFile("l.txt", "old.wav\n");
    fill(*s, {"new.wav", std::string(100, 'n')});
    // The new file cannot be written whole: writes past 64 bytes fail, as
    // on a full disk (permissions alone do not stop root).
    std::string printed;
    int result = -1;
    withFileSizeLimit(64, [&] { result = save("l.txt", &printed); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(printed, "Unable to open l.txt\n");
    EXPECT_EQ(readFile("l.txt"), "old.wav\n");
    EXPECT_EQ(entries(*s), (Names{"new.wav", std::string(100, 'n')}));
    EXPECT_EQ(listDir("."), (Names{"l.txt"}));   // no temporary file left

    // The list name is a directory: it is not replaced, no temporary file
    // is made, the directory stays.
    ASSERT_EQ(mkdir("ldir", 0755), 0);
    writeFile("ldir/inside", "i");
    EXPECT_EQ(save("ldir", &printed), 0);
    EXPECT_EQ(printed, "Unable to open ldir\n");
    EXPECT_FALSE(fileExists("ldir.tmp"));
    EXPECT_EQ(readFile("ldir/inside"), "i");

    // A directory that does not exist.
    EXPECT_EQ(save("nodir/l.txt", &printed), 0);
    EXPECT_EQ(printed, "Unable to open nodir/l.txt\n");
    EXPECT_EQ(save("", &printed), 0);
    EXPECT_EQ(printed, "Unable to open \n");
}

TEST_F(TrackList, SaveInsideASubdirectoryAndWithTheLongestName)
{
    ASSERT_EQ(mkdir("sub", 0755), 0);
    fill(*s, {"a.wav"});
    std::string printed;
    EXPECT_EQ(save("sub/l.txt", &printed), 1);
    EXPECT_EQ(readFile("sub/l.txt"), "a.wav\n");
    EXPECT_FALSE(fileExists("sub/l.txt.tmp"));

    // A 255-character file name leaves no room for a suffix: the save
    // still works.
    std::string longName(kListNameBytes - 1, 'n');
    EXPECT_EQ(save(longName.c_str(), &printed), 1);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(readFile(longName), "a.wav\n");
    std::string loaded;
    s->count = 0;
    EXPECT_EQ(load(longName.c_str(), &loaded), 0);
    EXPECT_EQ(entries(*s), (Names{"a.wav"}));
}

TEST_F(TrackList, RemoveMovesLaterEntriesUp)
{
    fill(*s, {"a", "b", "c"});
    RemoveTrack(s->table, 2, 3);
    s->count = 2;
    EXPECT_EQ(entries(*s), (Names{"a", "c"}));
    EXPECT_TRUE(restIsEmpty(*s));

    RemoveTrack(s->table, 2, 2);   // the last track
    s->count = 1;
    EXPECT_EQ(entries(*s), (Names{"a"}));
    EXPECT_TRUE(restIsEmpty(*s));

    RemoveTrack(s->table, 1, 1);
    s->count = 0;
    EXPECT_TRUE(restIsEmpty(*s));
}

TEST_F(TrackList, RemoveFromAFullTableEmptiesTheLastSlot)
{
    Names names;
    for (int k = 0; k < kTableSlots; k++) names.push_back("t" + std::to_string(k + 1));
    fill(*s, names);
    RemoveTrack(s->table, 1, kTableSlots);
    s->count = kTableSlots - 1;
    Names expected(names.begin() + 1, names.end());
    EXPECT_EQ(entries(*s), expected);
    EXPECT_TRUE(restIsEmpty(*s));

    fill(*s, names);
    RemoveTrack(s->table, kTableSlots, kTableSlots);
    s->count = kTableSlots - 1;
    EXPECT_EQ(entries(*s), Names(names.begin(), names.end() - 1));
    EXPECT_TRUE(restIsEmpty(*s));
}

// Loading a list into a fresh table (count 0) writes only the slots it
// fills: the pages after the first are made read-only, so a write there
// (clearing the whole table) would crash the test.
TEST(TrackListMemory, LoadingDoesNotWriteTheUnusedTable)
{
    long page = sysconf(_SC_PAGESIZE);
    ASSERT_GT(page, 0);
    ASSERT_EQ(kTableBytes % page, 0);
    void *mapped = mmap(nullptr, (size_t)kTableBytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    char *table = (char *)mapped;
    ASSERT_EQ(mprotect(table + page, (size_t)(kTableBytes - page), PROT_READ), 0);

    int count = 0;
    std::string text = numberedLines(5);
    ParseListBytes(text.data(), (long)text.size(), table, &count, kTableBytes);
    ASSERT_EQ(count, 5);
    EXPECT_STREQ(table + 4 * kSlotBytes, "t0005.wav");
    // A shorter list afterwards: the two slots it no longer uses are
    // emptied to their last byte.
    ParseList("a.wav\nb.wav\nc.wav\n", table, &count, kTableBytes);
    ASSERT_EQ(count, 3);
    for (long b = 3 * kSlotBytes; b < kTableBytes; b++) ASSERT_EQ(table[b], 0) << b;
    munmap(mapped, (size_t)kTableBytes);
}

// Every way the table is changed leaves the unused slots empty, so a later
// load that clears only the slots in use still has nothing left over from
// before.
TEST_F(TrackList, ReloadAfterRemovalsAndAFullTableLeavesNothingBehind)
{
    Names names;
    for (int k = 0; k < kTableSlots; k++) names.push_back(std::string(127, (char)('a' + k % 26)));
    fill(*s, names);
    RemoveTrack(s->table, 1, kTableSlots);
    s->count = kTableSlots - 1;
    RemoveTrack(s->table, 500, s->count);
    s->count -= 1;
    parse("one\ntwo");
    EXPECT_EQ(entries(*s), (Names{"one", "two"}));
    EXPECT_TRUE(restIsEmpty(*s));
    // Each filled slot is clean past its entry as well.
    for (long b = 4; b < kSlotBytes; b++) EXPECT_EQ(s->table[kSlotBytes + b], 0);

    writeFile("long.txt", numberedLines(1100));
    std::string printed;
    ASSERT_EQ(load("long.txt", &printed), 0);
    ASSERT_EQ(s->count, 1022);
    parse("");
    EXPECT_EQ(s->count, 0);
    EXPECT_TRUE(restIsEmpty(*s));
}

// A line of NUL bytes is an entry whose slot is all zeros; the entries
// after it must still go when a shorter list is loaded.
TEST_F(TrackList, AnEmptyEntryDoesNotKeepLaterOnesAlive)
{
    std::string text("\0\nfoo\n\0\0\0\nbar", 13);
    parse(text);
    ASSERT_EQ(s->count, 4);
    EXPECT_STREQ(s->table + kSlotBytes, "foo");
    EXPECT_STREQ(s->table + 3 * kSlotBytes, "bar");
    parse("");
    EXPECT_EQ(s->count, 0);
    EXPECT_TRUE(restIsEmpty(*s));

    // A list file holding them is not loaded at all: the table stays.
    writeFile("nul.txt", text);
    fill(*s, {"kept.wav"});
    std::string printed;
    ASSERT_EQ(load("nul.txt", &printed), kListRefused);
    EXPECT_EQ(entries(*s), (Names{"kept.wav"}));
    EXPECT_TRUE(restIsEmpty(*s));
}

// A count that says nothing about the table clears all of it.
TEST_F(TrackList, AnUnknownCountClearsTheWholeTable)
{
    fill(*s, {"a", "b", "c"});
    for (int unknown : {-1, kTableSlots + 1}) {
        memset(s->table, 'x', sizeof s->table);
        s->count = unknown;
        parse("one");
        EXPECT_EQ(entries(*s), (Names{"one"}));
        EXPECT_TRUE(restIsEmpty(*s));
    }
}

TEST_F(TrackList, RemoveRefusesNumbersOutsideTheList)
{
    fill(*s, {"a", "b", "c"});
    std::string before(s->table, kTableBytes);
    RemoveTrack(s->table, 0, 3);
    RemoveTrack(s->table, -1, 3);
    RemoveTrack(s->table, 4, 3);
    RemoveTrack(s->table, 1, 0);
    EXPECT_EQ(std::string(s->table, kTableBytes), before);
}

// Lists the table cannot hold whole: what the load says, and what saves
// after an optional removal leave in the file. Every line that was not
// loaded, or loaded cut, goes back unchanged; a second save (which copies
// from the file the first one wrote) leaves the same bytes.
TEST_F(TrackList, WhatTheTableCannotHoldIsWrittenBackWhole)
{
    const std::string cut = "Track list entries cut to fit, kept whole in l.txt: ";
    const std::string notLoaded = "Track list entries not loaded, kept in l.txt: ";
    const std::string l200(200, 'L'), edge(kListTextBytes - 3, '\n');
    std::string twenty;
    for (int k = 0; k < 20; k++) twenty += std::string(130, (char)('a' + k)) + "\n";
    std::string after1022;
    for (int k = 1023; k <= 1030; k++) after1022 += "t" + std::to_string(k) + ".wav\n";
    struct Case {
        const char *name;
        std::string file;
        int remove;   // track removed before the save; 0 none
        std::string said;
        std::string saved;
    } cases[] = {
        {"CR LF lines, one of them cut", "a\r\n" + l200 + "\r\r\n\r\nb\r\n", 0, cut + "2\n",
         "a\n" + l200 + "\nb\n"},
        {"CR LF lines after the 1022nd", numberedLines(1022) + "\r\nx\r\n\r\ny\r", 0, notLoaded + "1023 to 1024\n",
         numberedLines(1022) + "x\n\ny"},
        {"the cut entry removed", "a\n" + l200 + "\n" + l200 + "x\n", 2, cut + "2 3\n",
         "a\n" + l200 + "x\n"},
        {"more than 16 cut", twenty, 0, cut + "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 and 4 more\n",
         twenty},
        {"the last loaded entry removed", numberedLines(1022) + after1022, 1022,
         notLoaded + "1023 to 1030\n", numberedLines(1021) + after1022},
        {"one more line after blank ones, without a line feed", numberedLines(1022) + "\n\n\nlast", 1,
         notLoaded + "1023\n", numberedLines(1022).substr(10) + "last"},
        {"only blank lines after the 1022nd", numberedLines(1022) + "\n\n\n", 0, "",
         numberedLines(1022)},
        {"a short entry cut at the size limit", edge + "abcdef", 0,
         "List file is too large. 3 bytes not loaded\n" + cut + "1\n", "abcdef\n"},
        {"a line feed just after the size limit", edge + "abc\nd", 0,
         "List file is too large. 2 bytes not loaded\n" + notLoaded + "2\n", "abc\nd"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        writeFile("l.txt", c.file);
        std::string printed;
        ASSERT_EQ(load("l.txt", &printed), 0);
        EXPECT_EQ(printed, "Opening existing list: l.txt\n" + c.said);
        if (c.remove > 0) {
            RemoveTrack(s->table, c.remove, s->count);
            removeKeptLine(&s->origin, c.remove, s->count);
            s->count -= 1;
        }
        ASSERT_EQ(save("l.txt", &printed), 1);
        EXPECT_EQ(printed, "");
        EXPECT_TRUE(readFile("l.txt") == c.saved);
        ASSERT_EQ(save("l.txt", &printed), 1);
        EXPECT_TRUE(readFile("l.txt") == c.saved);
        EXPECT_EQ(listDir("."), (Names{"l.txt"}));
    }
}

// A WAV file or a file holding NUL bytes is no list: it is not loaded,
// and a save does not replace it.
TEST_F(TrackList, AFileThatIsNoListIsNeitherLoadedNorReplaced)
{
    const std::string wav = wavBytes(44100, 2, 16, patternBytes(400, 5)), isWav = "is a WAV file", nul = "holds NUL bytes";
    const std::pair<std::string, std::string> cases[] = {
        {wav, isWav}, {"RF64" + wav.substr(4), isWav}, {"BW64" + wav.substr(4), isWav},
        {"RIFF\x7f\x7f\x7f\x7fWAVE\n", isWav},          // a WAV header without NUL bytes
        {"RIFF" + wav.substr(4, 4) + "AVI x.wav\n", nul},  // another RIFF file
        {std::string("a\nx\0y\nb", 7), nul}, {numberedLines(14000) + '\0', nul},   // past the bytes loaded
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first.substr(0, 12));
        fill(*s, {"keep.wav"});
        writeFile("l.txt", c.first);
        std::string printed;
        ASSERT_EQ(load("l.txt", &printed), kListRefused);
        EXPECT_EQ(printed, "l.txt " + c.second + ", not a track list\n");
        EXPECT_EQ(entries(*s), (Names{"keep.wav"}));
        EXPECT_EQ(save("l.txt", &printed), 0);
        EXPECT_EQ(printed, "Unable to save l.txt: it " + c.second + ", not a track list\n");
        EXPECT_TRUE(readFile("l.txt") == c.first);
        EXPECT_EQ(listDir("."), (Names{"l.txt"}));
    }
}

// The lines to keep are copied from the file they were loaded from; when
// that file is no longer the one that was read, the save refuses and the
// file stays as it is now. A list held whole is saved as before.
TEST_F(TrackList, SaveRefusesWhenTheLinesToKeepAreGone)
{
    std::string l200(200, 'L');
    const std::string refused =
        "Unable to save l.txt: l.txt changed since it was loaded, and the lines not loaded from "
        "it would be lost\n";
    struct Case {
        const char *name;
        std::function<void()> change;
        bool exists;
    } cases[] = {
        {"rewritten by another program", [] { writeFile("l.txt", "theirs.wav\n"); }, true},
        {"removed", [] { unlink("l.txt"); }, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        writeFile("l.txt", "a\n" + l200 + "\n");
        std::string printed;
        ASSERT_EQ(load("l.txt", &printed), 0);
        std::string now;
        c.change();
        if (c.exists) now = readFile("l.txt");
        EXPECT_EQ(save("l.txt", &printed), 0);
        EXPECT_EQ(printed, refused);
        EXPECT_EQ(fileExists("l.txt"), c.exists);
        EXPECT_EQ(readFile("l.txt"), now);
    }

    writeFile("l.txt", "a\nb\n");
    std::string printed;
    ASSERT_EQ(load("l.txt", &printed), 0);
    writeFile("l.txt", "theirs.wav\n");
    EXPECT_EQ(save("l.txt", &printed), 1);
    EXPECT_EQ(readFile("l.txt"), "a\nb\n");
}

// A save replaces only the file the list was loaded from or last saved
// to: not one that appeared where none was (a recording made under the
// list's name), nor one put in the loaded or saved file's place.
TEST_F(TrackList, SaveRefusesAFileThatTookTheListsName)
{
    const std::string wav = wavBytes(44100, 1, 16, patternBytes(64, 3)), said = "Unable to save l.txt: ",
                      appeared = "a file has appeared under that name since the list was found missing\n",
                      taken = "another file has taken that name since the list was loaded or saved\n";
    struct Case {
        bool listThere, savedFirst;
        std::string after, why;   // put in the list's place before the save
    } cases[] = {{false, false, wav, appeared}, {false, false, "x.wav\n", appeared},
                 {true, false, "x.wav\n", taken}, {true, true, "x.wav\n", taken}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why + c.after.substr(0, 4) + (c.savedFirst ? " saved first" : ""));
        unlink("l.txt");
        if (c.listThere) writeFile("l.txt", "a.wav\n");
        fill(*s, {"old.wav"});
        std::string printed;
        ASSERT_EQ(load("l.txt", &printed), c.listThere ? 0 : 1);
        if (c.savedFirst) {
            ASSERT_EQ(save("l.txt", &printed), 1);
        }
        writeFile("new", c.after);
        ASSERT_EQ(rename("new", "l.txt"), 0);
        EXPECT_EQ(save("l.txt", &printed), 0);
        EXPECT_EQ(printed, said + c.why);
        EXPECT_TRUE(readFile("l.txt") == c.after);
    }
}

// After "L" names a list that does not exist, the next save writes the
// table under the new name: the whole lines come from the old file, which
// stays as it was, and later saves copy them from the new one.
TEST_F(TrackList, SaveUnderANewNameCarriesTheWholeLines)
{
    std::string l200(200, 'L');
    std::string old = "a\n" + l200 + "\n" + numberedLines(1021);
    writeFile("old.txt", old);
    std::string printed;
    ASSERT_EQ(load("old.txt", &printed), 0);
    ASSERT_EQ(load("new.txt", &printed), 1);   // the table stays
    ASSERT_EQ(s->count, 1022);
    ASSERT_EQ(save("new.txt", &printed), 1);
    EXPECT_TRUE(readFile("new.txt") == old);
    writeFile("old.txt", "changed\n");
    ASSERT_EQ(save("new.txt", &printed), 1);
    EXPECT_TRUE(readFile("new.txt") == old);
}

}  // namespace
