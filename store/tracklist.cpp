// The track list file, loaded: one path per line into the console's table
// of 1024 slots of 128 bytes, with what the table cannot hold noted so
// that a save writes it back (listsave.cpp saves). Also what the load and
// the save share: telling a file that is no list, and noting a file.
#include "store/list_private.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

const char *const kNotAListReason[] = {"", "is a WAV file", "holds NUL bytes"};

NotAList whyNotAList(FILE *f)
{
    char chunk[4096];
    if (fseek(f, 0, SEEK_SET) != 0) return kIsAList;
    size_t got = fread(chunk, 1, sizeof chunk, f);
    if (got >= 12 && memcmp(chunk + 8, "WAVE", 4) == 0 &&
        (memcmp(chunk, "RIFF", 4) == 0 || memcmp(chunk, "RF64", 4) == 0 ||
         memcmp(chunk, "BW64", 4) == 0))
        return kWavFile;
    for (; got > 0; got = fread(chunk, 1, sizeof chunk, f))
        if (memchr(chunk, '\0', got)) return kNulBytes;
    return kIsAList;
}

void noteFile(ListOrigin *origin, const struct stat &sb)
{
    origin->device = sb.st_dev;
    origin->inode = sb.st_ino;
    origin->size = sb.st_size;
    origin->modified = sb.st_mtim;
}

void noteName(ListOrigin *origin, const struct stat *sb)
{
    origin->nameNote = sb ? kNameFile : kNameNoFile;
    origin->nameDevice = sb ? sb->st_dev : 0;
    origin->nameInode = sb ? sb->st_ino : 0;
}

namespace {

// Cut entries named by number in the message at load; the rest are counted.
const int kCutNumbersShown = 16;

// How the split of a loaded text ended.
struct SplitEnd {
    long stop;        // offset just after the last entry taken
    long lastStart;   // offset of the last entry taken (-1: none)
};

// Sets the first tableBytes bytes of the table to zero. usedSlots is how
// many slots the table uses now: every function here leaves the slots
// after the used ones all zeros, so only the used ones need clearing, and
// a table holding a few names is not written through its whole 128 KiB
// (which would make all of it resident memory). A count outside
// 0..1024 means it is not known: then all tableBytes bytes are cleared.
void emptyTable(char *table, long tableBytes, int usedSlots)
{
    long bytes = tableBytes;
    if (usedSlots >= 0 && usedSlots <= kTableSlots && (long)usedSlots * kSlotBytes < bytes)
        bytes = (long)usedSlots * kSlotBytes;
    if (bytes > 0) memset(table, 0, (size_t)bytes);
}

// Forgets everything origin keeps; its notes are cleared in the slots in
// use (all of them when the count is not known), as the table is.
void forgetOrigin(ListOrigin *origin, int usedSlots)
{
    int slots = usedSlots >= 0 && usedSlots <= kTableSlots ? usedSlots : kTableSlots;
    for (int k = 0; k < slots; k++) origin->lineBytes[k] = 0;
    origin->path[0] = '\0';
    origin->hasTail = 0;
    origin->tailStart = 0;
}

// Line feeds separate the entries; a run of them is one separator, so
// empty lines vanish. The carriage returns that end a line are its CR LF
// line end (a list edited on another system), not part of a file name; a
// line of nothing else is empty. Everything else, blanks and carriage
// returns inside a line included, belongs to the entry. A line longer than
// a slot keeps its first 127 bytes. With origin, an entry that is not held
// whole is noted there with its line's place in the text.
SplitEnd splitList(const char *text, long length, char *table, int *count,
                   long tableBytes, ListOrigin *origin)
{
    // The table never holds more than its 1024 slots.
    if (tableBytes > kTableBytes) tableBytes = kTableBytes;
    emptyTable(table, tableBytes, *count);
    *count = 0;
    SplitEnd end = {0, -1};
    long pos = 0;
    while (*count < kListLoadLimit) {
        while (pos < length && text[pos] == '\n') pos++;
        if (pos >= length) break;
        long start = pos;
        while (pos < length && text[pos] != '\n') pos++;
        long lineLength = pos - start;
        long nameLength = lineLength;
        while (nameLength > 0 && text[start + nameLength - 1] == '\r') nameLength--;
        if (nameLength == 0) continue;
        long entryLength = nameLength > kSlotBytes - 1 ? kSlotBytes - 1 : nameLength;
        char *slot = table + (long)*count * kSlotBytes;
        memcpy(slot, text + start, (size_t)entryLength);
        slot[entryLength] = '\0';
        if (origin && nameLength > entryLength) {
            origin->lineStart[*count] = start;
            origin->lineBytes[*count] = lineLength;
        }
        (*count)++;
        end.stop = pos;
        end.lastStart = start;
    }
    return end;
}

// What lies in the file after the bytes that were split.
struct Rest {
    long cutRest;       // bytes of the last entry's line after the split's end
    long tailStart;     // offset of the first line not loaded (-1: none)
    long tailEntries;   // lines not loaded
};

// Reads f from offset from to its end through buffer (bytes long). With
// inLine, the first bytes up to a line feed finish a line already begun.
// As in the split, carriage returns at the end of a line do not count: a
// line of nothing else is no entry.
Rest scanRest(FILE *f, long from, int inLine, char *buffer, long bytes)
{
    Rest rest = {0, -1, 0};
    if (bytes <= 0 || fseek(f, from, SEEK_SET) != 0) return rest;
    long pos = from;
    long lineStart = from;   // where the line being read began
    long returns = 0;        // carriage returns of the begun line not yet counted
    int inEntry = 0;
    size_t got;
    while ((got = fread(buffer, 1, (size_t)bytes, f)) > 0) {
        for (size_t i = 0; i < got; i++) {
            char c = buffer[i];
            if (c == '\n') {
                inLine = 0;
                inEntry = 0;
                lineStart = pos + (long)i + 1;
            } else if (inLine) {
                if (c == '\r') {
                    returns++;
                } else {
                    rest.cutRest += returns + 1;
                    returns = 0;
                }
            } else if (c != '\r' && !inEntry) {
                inEntry = 1;
                if (rest.tailEntries++ == 0) rest.tailStart = lineStart;
            }
        }
        pos += (long)got;
    }
    return rest;
}

// Says once which entries the table holds cut, and which were not loaded.
void reportCuts(const char *listPath, const ListOrigin *origin, int count, long tailEntries)
{
    long cut = 0;
    char numbers[kCutNumbersShown * 8];
    int used = 0;
    for (int k = 0; k < count; k++) {
        if (origin->lineBytes[k] == 0) continue;
        if (cut++ < kCutNumbersShown)
            used += snprintf(numbers + used, sizeof numbers - (size_t)used, "%s%i",
                             used ? " " : "", k + 1);
    }
    if (cut > kCutNumbersShown) {
        printf("Track list entries cut to fit, kept whole in %s: %s and %li more\n", listPath,
               numbers, cut - kCutNumbersShown);
    } else if (cut > 0) {
        printf("Track list entries cut to fit, kept whole in %s: %s\n", listPath, numbers);
    }
    if (tailEntries == 1) {
        printf("Track list entries not loaded, kept in %s: %i\n", listPath, count + 1);
    } else if (tailEntries > 1) {
        printf("Track list entries not loaded, kept in %s: %i to %li\n", listPath, count + 1,
               count + tailEntries);
    }
}

// After the split of the got bytes read from f (fileBytes long): notes
// the end of an entry cut by the size limit and the lines after the last
// entry, which are read through once more in the text buffer, and says
// what the table holds cut or left out.
void keepRest(FILE *f, const char *listPath, char *text, long capacity, long got,
              long fileBytes, const SplitEnd &end, int count, ListOrigin *origin)
{
    Rest rest = {0, -1, 0};
    long last = count - 1;
    bool cutAtEdge = last >= 0 && end.stop == got && got < fileBytes;
    if (cutAtEdge || end.stop < fileBytes)
        rest = scanRest(f, end.stop, cutAtEdge, text, capacity);
    if (cutAtEdge && rest.cutRest > 0) {
        origin->lineStart[last] = end.lastStart;
        origin->lineBytes[last] = end.stop - end.lastStart + rest.cutRest;
    }
    bool anyCut = false;
    for (int k = 0; k < count && !anyCut; k++) anyCut = origin->lineBytes[k] > 0;
    if (anyCut || rest.tailEntries > 0) {
        // A file that cannot be looked at is noted as no file at all: the
        // save then refuses rather than write the cut entries short.
        struct stat sb;
        if (fstat(fileno(f), &sb) != 0) memset(&sb, 0, sizeof sb);
        if (!resolveLinks(listPath, origin->path, sizeof origin->path))
            snprintf(origin->path, sizeof origin->path, "%s", listPath);
        noteFile(origin, sb);
        origin->hasTail = rest.tailEntries > 0;
        origin->tailStart = rest.tailStart;
    }
    reportCuts(listPath, origin, count, rest.tailEntries);
}

}  // namespace

int GetList(char *text, char *table, const char *listPath, int *count,
            long capacity, ListOrigin *origin)
{
    // Only a regular file is read: a FIFO would block the program for ever,
    // a device or a directory has no list to give.
    int notRegular = 0;
    FILE *f = fopenRegular(listPath, "rb", &notRegular);
    if (!f) {
        if (notRegular) printf("Cannot read %s: not a regular file\n", listPath);
        else if (errno != ENOENT) printf("Cannot read %s: %s\n", listPath, strerror(errno));
        printf("Creating a new list: %s\n", listPath);
        noteName(origin, nullptr);
        return 1;
    }
    // A recording named as the list would be rewritten as one at the next
    // save, its audio lost: such a file is refused whole.
    NotAList why = whyNotAList(f);
    if (why != kIsAList) {
        printf("%s %s, not a track list\n", listPath, kNotAListReason[why]);
        fclose(f);
        return kListRefused;
    }
    printf("Opening existing list: %s\n", listPath);
    long size = 0;
    if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
    if (size < 0) size = 0;
    long fileBytes = size;
    if (size > capacity) {
        printf("List file is too large. %li bytes not loaded\n", size - capacity);
        size = capacity;
    }
    rewind(f);
    size_t got = size > 0 ? fread(text, 1, (size_t)size, f) : 0;
    forgetOrigin(origin, *count);
    // Only the bytes just read take part; the buffer may be full to its
    // last byte, so no terminating NUL is relied on.
    SplitEnd end = splitList(text, (long)got, table, count, capacity, origin);
    keepRest(f, listPath, text, capacity, (long)got, fileBytes, end, *count, origin);
    struct stat sb;
    noteName(origin, fstat(fileno(f), &sb) == 0 ? &sb : nullptr);
    fclose(f);
    return 0;
}

void ParseList(const char *text, char *table, int *count, long tableBytes)
{
    splitList(text, (long)strlen(text), table, count, tableBytes, nullptr);
}

void ParseListBytes(const char *text, long length, char *table, int *count,
                    long tableBytes)
{
    splitList(text, length, table, count, tableBytes, nullptr);
}

