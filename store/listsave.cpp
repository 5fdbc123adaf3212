// The track list file, saved: a new file beside the old one, renamed over
// it once whole, with the lines the table could not hold copied back from
// the file they were loaded from; and the removal of a track.
#include "store/list_private.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Whether the file is still the one origin noted at the load or the last
// save: the same file, not written since.
bool unchangedSinceLoaded(const struct stat &sb, const ListOrigin *origin)
{
    return sb.st_dev == origin->device && sb.st_ino == origin->inode &&
           sb.st_size == origin->size && sb.st_mtim.tv_sec == origin->modified.tv_sec &&
           sb.st_mtim.tv_nsec == origin->modified.tv_nsec;
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
