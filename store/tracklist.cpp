// The track list file: one path per line, loaded into and saved from the
// console's table of 1024 slots of 128 bytes.
#include "store/store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Whether the file is still the one origin noted at the load or the last
// save: the same file, not written since.
bool unchangedSinceLoaded(const struct stat &sb, const ListOrigin *origin)
{
    return sb.st_dev == origin->device && sb.st_ino == origin->inode &&
           sb.st_size == origin->size && sb.st_mtim.tv_sec == origin->modified.tv_sec &&
           sb.st_mtim.tv_nsec == origin->modified.tv_nsec;
}

void noteFile(ListOrigin *origin, const struct stat &sb)
{
    origin->device = sb.st_dev;
    origin->inode = sb.st_ino;
    origin->size = sb.st_size;
    origin->modified = sb.st_mtim;
}

// Bytes on their way to the new list file, gathered in the text buffer.
struct ListOut {
    char *buffer;
    long capacity;
    long used;
    long written;   // bytes handed to the file before the buffer's
    FILE *file;
    bool ok;
};

void flushOut(ListOut *out)
{
    if (out->used > 0 && fwrite(out->buffer, 1, (size_t)out->used, out->file) != (size_t)out->used)
        out->ok = false;
    out->written += out->used;
    out->used = 0;
}

// Offset in the new file of the next byte put.
long outPos(const ListOut *out)
{
    return out->written + out->used;
}

void putBytes(ListOut *out, const char *bytes, long n)
{
    while (n > 0) {
        if (out->used == out->capacity) flushOut(out);
        long room = out->capacity - out->used;
        long step = n < room ? n : room;
        memcpy(out->buffer + out->used, bytes, (size_t)step);
        out->used += step;
        bytes += step;
        n -= step;
    }
}

// Copies bytes bytes of src from offset from (to its end when bytes is
// -1), leaving out the carriage returns that end a line: those before a
// line feed, and those at the end of what is copied (a line is copied
// without its line feed). A list is saved with line feeds only. False
// when the file gives fewer bytes.
bool copyFrom(FILE *src, long from, long bytes, ListOut *out)
{
    if (fseek(src, from, SEEK_SET) != 0) return false;
    char chunk[4096];
    long returns = 0;   // carriage returns read and not yet put
    while (bytes != 0) {
        size_t want = sizeof chunk;
        if (bytes > 0 && bytes < (long)want) want = (size_t)bytes;
        size_t got = fread(chunk, 1, want, src);
        if (got == 0) break;
        if (bytes > 0) bytes -= (long)got;
        for (size_t i = 0; i < got; i++) {
            if (chunk[i] == '\r') {
                returns++;
                continue;
            }
            if (chunk[i] != '\n')
                for (; returns > 0; returns--) putBytes(out, "\r", 1);
            returns = 0;
            putBytes(out, chunk + i, 1);
        }
    }
    return bytes <= 0 && !ferror(src);
}

// A file that is there but that the user may not read: replacing it would
// lose every line of it.
bool unreadable(const char *path)
{
    return faccessat(AT_FDCWD, path, R_OK, AT_EACCESS) != 0 && errno == EACCES;
}

// Why a file is no track list, when it is not one.
enum NotAList { kIsAList, kWavFile, kNulBytes };
const char *const kNotAListReason[] = {"", "is a WAV file", "holds NUL bytes"};

// Reads f from its start to its end. A WAV file begins with a RIFF, RF64
// or BW64 tag and has "WAVE" at offset 8; a NUL byte anywhere marks any
// other binary file, a RIFF file of another kind included (its chunk
// sizes are full of zero bytes). A list is text: one name a line.
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

// Notes in origin the file that the list name leads to now (sb), or that
// no list came from it (sb null).
void noteName(ListOrigin *origin, const struct stat *sb)
{
    origin->nameNote = sb ? kNameFile : kNameNoFile;
    origin->nameDevice = sb ? sb->st_dev : 0;
    origin->nameInode = sb ? sb->st_ino : 0;
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

// The file the kept lines are copied from, when the table holds cut
// entries or lines were not loaded (*keeping): it must still be the file
// they were noted in. nullptr when nothing is kept, or, with *refused set
// and the reason said, when that file changed.
FILE *openKeptLines(const char *listPath, int count, const ListOrigin *origin, bool *keeping,
                    bool *refused)
{
    *keeping = false;
    *refused = false;
    if (!origin || origin->path[0] == '\0') return nullptr;
    *keeping = origin->hasTail != 0;
    for (int k = 0; k < count && !*keeping; k++) *keeping = origin->lineBytes[k] > 0;
    if (!*keeping) return nullptr;
    struct stat sb;
    FILE *src = fopenRegular(origin->path, "rb", nullptr);
    if (src && fstat(fileno(src), &sb) == 0 && unchangedSinceLoaded(sb, origin)) return src;
    if (src) fclose(src);
    printf("Unable to save %s: %s changed since it was loaded, and the lines not loaded from it "
           "would be lost\n",
           listPath, origin->path);
    *refused = true;
    return nullptr;
}

// Whether the file a save would replace (target, links resolved) may go:
// there is none, or it is the one the list was loaded from or last saved
// to, and it is a track list. A recording that took the name since, or
// any file where none was, stays; the reason is said.
bool mayReplace(const char *listPath, const char *target, const ListOrigin *origin)
{
    struct stat sb;
    if (stat(target, &sb) != 0) return true;
    if (origin && origin->nameNote == kNameNoFile) {
        printf("Unable to save %s: a file has appeared under that name since the list was found "
               "missing\n",
               listPath);
        return false;
    }
    if (origin && origin->nameNote == kNameFile &&
        (sb.st_dev != origin->nameDevice || sb.st_ino != origin->nameInode)) {
        printf("Unable to save %s: another file has taken that name since the list was loaded "
               "or saved\n",
               listPath);
        return false;
    }
    FILE *old = fopenRegular(target, "rb", nullptr);
    NotAList why = old ? whyNotAList(old) : kIsAList;
    if (old) fclose(old);
    if (why != kIsAList) {
        printf("Unable to save %s: it %s, not a track list\n", listPath, kNotAListReason[why]);
        return false;
    }
    return true;
}

// Puts the entries, each followed by a line feed, and then the lines not
// loaded into out. With src, the entries origin notes as cut and the lines
// not loaded are copied from it, and newStart/newBytes/newTail receive
// where they land in the new file.
void putList(ListOut *out, const char *table, int count, FILE *src, const ListOrigin *origin,
             long *newStart, long *newBytes, long *newTail)
{
    for (int k = 0; k < count && out->ok; k++) {
        if (src && origin->lineBytes[k] > 0) {
            newStart[k] = outPos(out);
            out->ok = copyFrom(src, origin->lineStart[k], origin->lineBytes[k], out);
            newBytes[k] = outPos(out) - newStart[k];
        } else {
            const char *entry = table + (long)k * kSlotBytes;
            putBytes(out, entry, (long)strnlen(entry, kSlotBytes - 1));
        }
        putBytes(out, "\n", 1);
    }
    if (out->ok && src && origin->hasTail) {
        *newTail = outPos(out);
        out->ok = copyFrom(src, origin->tailStart, -1, out);
    }
}

// Once the new file is in place: origin notes it as the list's file, and,
// when lines were kept, where they now lie in it.
void noteSaved(ListOrigin *origin, const char *target, int count, bool keeping,
               const long *newStart, const long *newBytes, long newTail)
{
    struct stat sb;
    bool found = stat(target, &sb) == 0;
    if (keeping) {
        // A file that cannot be looked at now is taken as changed at the
        // next save, which then refuses rather than write cut lines.
        struct stat kept;
        if (found) kept = sb;
        else memset(&kept, 0, sizeof kept);
        noteFile(origin, kept);
        snprintf(origin->path, sizeof origin->path, "%s", target);
        for (int k = 0; k < count; k++) {
            if (origin->lineBytes[k] == 0) continue;
            origin->lineStart[k] = newStart[k];
            origin->lineBytes[k] = newBytes[k];
        }
        origin->tailStart = newTail;
    }
    noteName(origin, found ? &sb : nullptr);
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

// The list goes to a new file beside the old one (files/ beginSave), which
// is renamed over it only once every byte is out and synced, so a failed
// save leaves the old list whole. The lines the table could not hold are
// copied from the file they were loaded from, so a save never deletes what
// the user could not see; and a file that is not the list's own is never
// replaced.
int WriteList(const char *listPath, const char *table, char *text,
              int count, ListOrigin *origin)
{
    if (count < 0) count = 0;
    if (count > kTableSlots) count = kTableSlots;

    bool keeping = false, refused = false;
    FILE *src = openKeptLines(listPath, count, origin, &keeping, &refused);
    if (refused) return 0;
    SaveBeside save;
    if (unreadable(listPath) || !beginSave(listPath, &save)) {
        if (src) fclose(src);
        printf("Unable to open %s\n", listPath);
        return 0;
    }
    if (!mayReplace(listPath, save.target, origin)) {
        finishSave(&save, 0);
        if (src) fclose(src);
        return 0;
    }
    // Where the kept lines land in the new file; origin learns it only
    // once the file is in place.
    long newStart[kTableSlots], newBytes[kTableSlots], newTail = 0;
    ListOut out = {text, kListTextBytes, 0, 0, save.file, true};
    putList(&out, table, count, src, origin, newStart, newBytes, &newTail);
    flushOut(&out);
    if (src) fclose(src);
    if (!finishSave(&save, out.ok)) {
        printf("Unable to open %s\n", listPath);
        return 0;
    }
    if (origin) noteSaved(origin, save.target, count, keeping, newStart, newBytes, newTail);
    return 1;
}

void RemoveTrack(char *table, int trackNumber, int count)
{
    if (count > kTableSlots) count = kTableSlots;
    if (trackNumber < 1 || trackNumber > count) return;
    for (int k = trackNumber; k < count; k++) {
        memcpy(table + (long)(k - 1) * kSlotBytes, table + (long)k * kSlotBytes,
               kSlotBytes);
    }
    memset(table + (long)(count - 1) * kSlotBytes, 0, kSlotBytes);
}

void removeKeptLine(ListOrigin *origin, int trackNumber, int count)
{
    if (count > kTableSlots) count = kTableSlots;
    if (trackNumber < 1 || trackNumber > count) return;
    for (int k = trackNumber; k < count; k++) {
        origin->lineStart[k - 1] = origin->lineStart[k];
        origin->lineBytes[k - 1] = origin->lineBytes[k];
    }
    origin->lineStart[count - 1] = 0;
    origin->lineBytes[count - 1] = 0;
}
