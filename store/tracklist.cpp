// The track list file: one path per line, loaded into and saved from the
// console's table of 1024 slots of 128 bytes.
#include "store/store.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

// Room for the list name, ".tmp" and the NUL.
const int kTempPathBytes = kListNameBytes + 8;
// Longest file name component most Linux file systems accept.
const int kNameMax = 255;
const char kTempSuffix[] = ".tmp";

// Builds the name of the temporary file that WriteList fills before it
// renames it over listPath: listPath + ".tmp", in the same directory so
// the rename stays within one file system. A last component too long to
// take the suffix is shortened first. False when the path does not fit.
bool tempPathFor(const char *listPath, char *tempPath)
{
    size_t length = strlen(listPath);
    if (length == 0) return false;
    const char *slash = strrchr(listPath, '/');
    size_t dirLength = slash ? (size_t)(slash - listPath) + 1 : 0;
    size_t baseLength = length - dirLength;
    if (baseLength == 0) return false;   // names a directory
    size_t suffixLength = sizeof kTempSuffix - 1;
    if (baseLength + suffixLength > (size_t)kNameMax) {
        baseLength = (size_t)kNameMax - suffixLength;
    }
    size_t keep = dirLength + baseLength;
    if (keep + suffixLength + 1 > (size_t)kTempPathBytes) return false;
    memcpy(tempPath, listPath, keep);
    memcpy(tempPath + keep, kTempSuffix, suffixLength + 1);
    return true;
}

}  // namespace

int GetList(char *text, char *table, const char *listPath, int *count,
            long capacity)
{
    FILE *f = fopen(listPath, "rb");
    // A directory opens for reading on Linux but has no bytes to give;
    // it is treated like a list that cannot be opened, so the table keeps
    // what it holds.
    struct stat info;
    if (f && fstat(fileno(f), &info) == 0 && S_ISDIR(info.st_mode)) {
        fclose(f);
        f = nullptr;
    }
    if (!f) {
        printf("Creating a new list: %s\n", listPath);
        return 1;
    }
    printf("Opening existing list: %s\n", listPath);
    long size = 0;
    if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
    if (size < 0) size = 0;
    if (size > capacity) {
        printf("List file is too large. %li bytes not loaded\n", size - capacity);
        size = capacity;
    }
    rewind(f);
    size_t got = size > 0 ? fread(text, 1, (size_t)size, f) : 0;
    fclose(f);
    // Only the bytes just read take part; the buffer may be full to its
    // last byte, so no terminating NUL is relied on.
    ParseListBytes(text, (long)got, table, count, capacity);
    return 0;
}

void ParseList(const char *text, char *table, int *count, long tableBytes)
{
    ParseListBytes(text, (long)strlen(text), table, count, tableBytes);
}

// Sets the first tableBytes bytes of the table to zero. usedSlots is how
// many slots the table uses now: every function here leaves the slots
// after the used ones all zeros, so only the used ones need clearing, and
// a table holding a few names is not written through its whole 128 KiB
// (which would make all of it resident memory). A count outside
// 0..1024 means it is not known: then all tableBytes bytes are cleared.
static void emptyTable(char *table, long tableBytes, int usedSlots)
{
    long bytes = tableBytes;
    if (usedSlots >= 0 && usedSlots <= kTableSlots && (long)usedSlots * kSlotBytes < bytes)
        bytes = (long)usedSlots * kSlotBytes;
    if (bytes > 0) memset(table, 0, (size_t)bytes);
}

// Line feeds separate the entries; a run of them is one separator, so
// empty lines vanish. Everything else, carriage returns and blanks
// included, belongs to the entry. A line longer than a slot keeps its
// first 127 bytes.
void ParseListBytes(const char *text, long length, char *table, int *count,
                    long tableBytes)
{
    // The table never holds more than its 1024 slots.
    if (tableBytes > kTableBytes) tableBytes = kTableBytes;
    emptyTable(table, tableBytes, *count);
    *count = 0;
    long pos = 0;
    while (*count < kListLoadLimit) {
        while (pos < length && text[pos] == '\n') pos++;
        if (pos >= length) break;
        long start = pos;
        while (pos < length && text[pos] != '\n') pos++;
        long entryLength = pos - start;
        if (entryLength > kSlotBytes - 1) entryLength = kSlotBytes - 1;
        char *slot = table + (long)*count * kSlotBytes;
        memcpy(slot, text + start, (size_t)entryLength);
        slot[entryLength] = '\0';
        (*count)++;
    }
}

// The list is written to a temporary file beside it and renamed over it
// only once every byte is out, so a failed save leaves the old list whole.
int WriteList(const char *listPath, const char *table, char *text,
              int count)
{
    if (count < 0) count = 0;
    if (count > kTableSlots) count = kTableSlots;
    // 1024 entries of at most 127 bytes and a line feed each fill the
    // 131072-byte text exactly, so the assembly always fits.
    long used = 0;
    for (int k = 0; k < count; k++) {
        const char *entry = table + (long)k * kSlotBytes;
        size_t length = strnlen(entry, kSlotBytes - 1);
        if (used + (long)length + 1 > kListTextBytes) break;
        memcpy(text + used, entry, length);
        used += (long)length;
        text[used++] = '\n';
    }

    char tempPath[kTempPathBytes];
    if (!tempPathFor(listPath, tempPath)) {
        printf("Unable to open %s\n", listPath);
        return 0;
    }
    FILE *f = fopen(tempPath, "wb");
    if (!f) {
        printf("Unable to open %s\n", listPath);
        return 0;
    }
    bool ok = used == 0 || fwrite(text, 1, (size_t)used, f) == (size_t)used;
    if (fclose(f) != 0) ok = false;
    if (ok && rename(tempPath, listPath) != 0) ok = false;
    if (!ok) {
        remove(tempPath);
        printf("Unable to open %s\n", listPath);
        return 0;
    }
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
