// Feeds arbitrary bytes to the list splitter directly and as a list file,
// saves the loaded table and loads it again: the entries must come back
// in order (empty ones excepted, as a save cannot keep them), and nothing
// may be written past the table or the text buffer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "store/store.h"

namespace {

char table[kTableBytes];
char text[kListTextBytes];
char again[kTableBytes];
char scratch[kListTextBytes];

// Every slot holds a terminated entry, and the unused ones are empty.
void checkTable(const char *t, int count)
{
    if (count < 0 || count > kListLoadLimit) abort();
    for (int k = 0; k < kTableSlots; k++) {
        const char *slot = t + (long)k * kSlotBytes;
        if (strnlen(slot, kSlotBytes) == (size_t)kSlotBytes) abort();
        if (k >= count && slot[0] != '\0') abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The loader's messages are not what is being tested.
    if (!freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (size_t)kListTextBytes) return 0;
    int count = -1;
    ParseListBytes((const char *)data, (long)size, table, &count, kTableBytes);
    checkTable(table, count);

    FILE *f = fopen("list.txt", "wb");
    if (!f) return 0;
    if (size > 0) fwrite(data, 1, size, f);
    fclose(f);
    int loaded = -1;
    if (GetList(text, again, "list.txt", &loaded, kListTextBytes) != 0) abort();
    checkTable(again, loaded);
    if (loaded != count || memcmp(table, again, sizeof table) != 0) abort();

    if (WriteList("list.txt", table, text, count) != 1) abort();
    int reloaded = -1;
    if (GetList(scratch, again, "list.txt", &reloaded, kListTextBytes) != 0) abort();
    checkTable(again, reloaded);
    int j = 0;
    for (int k = 0; k < count; k++) {
        const char *entry = table + (long)k * kSlotBytes;
        if (entry[0] == '\0') continue;
        if (j >= reloaded || strcmp(entry, again + (long)j * kSlotBytes) != 0) abort();
        j++;
    }
    if (j != reloaded) abort();
    return 0;
}
