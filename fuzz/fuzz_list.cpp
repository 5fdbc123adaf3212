// Feeds arbitrary bytes to the list splitter directly and as a list file,
// saves the loaded table and loads it again: the saved file must hold
// every line of the input that is not empty, unchanged but for the
// carriage returns that end it (the lines the table holds cut and the ones
// after the 1022nd as well), the same entries must load again, a second
// save must write the same bytes, and nothing may be written past the
// table or the text buffer. Input that begins as a WAV file or holds a NUL
// byte must be neither loaded nor replaced.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "store/store.h"

namespace {

char table[kTableBytes];
char text[kListTextBytes];
char again[kTableBytes];
char scratch[kListTextBytes];
ListOrigin origin;

std::string fileBytes(const char *path)
{
    std::string bytes;
    FILE *f = fopen(path, "rb");
    if (!f) abort();
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, got);
    fclose(f);
    return bytes;
}

// The bytes with every run of carriage returns that ends a line (before a
// line feed, or at the end) left out.
std::string withoutLineEndReturns(const char *data, size_t size)
{
    std::string out;
    for (size_t pos = 0; pos < size; pos++) {
        size_t run = pos;
        while (run < size && data[run] == '\r') run++;
        if (run == pos) {
            out.push_back(data[pos]);
        } else {
            if (run < size && data[run] != '\n') out.append(data + pos, run - pos);
            pos = run - 1;
        }
    }
    return out;
}

// What a save of the unchanged list must leave: the first 1022 lines that
// hold more than carriage returns, without the ones that end them, each
// ended by a line feed, then the input from the next such line on, without
// the carriage returns that end its lines.
std::string expectedSave(const char *data, size_t size)
{
    std::string out;
    int lines = 0;
    for (size_t pos = 0; pos < size; pos++) {
        size_t start = pos;
        while (pos < size && data[pos] != '\n') pos++;
        size_t end = pos;
        while (end > start && data[end - 1] == '\r') end--;
        if (end == start) continue;
        if (lines == kListLoadLimit) return out + withoutLineEndReturns(data + start, size - start);
        out.append(data + start, end - start).push_back('\n');
        lines++;
    }
    return out;
}

// Whether GetList must refuse the bytes as no list.
bool notAList(const char *data, size_t size)
{
    bool wav = size >= 12 && memcmp(data + 8, "WAVE", 4) == 0 &&
               (memcmp(data, "RIFF", 4) == 0 || memcmp(data, "RF64", 4) == 0 || memcmp(data, "BW64", 4) == 0);
    return wav || memchr(data, '\0', size) != nullptr;
}

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
    if (notAList((const char *)data, size)) {
        // Nothing loaded, and the file stays as it is.
        memset(again, 'J', sizeof again);
        if (GetList(text, again, "list.txt", &loaded, kListTextBytes, &origin) != kListRefused) abort();
        if (loaded != -1 || again[0] != 'J' || again[sizeof again - 1] != 'J') abort();
        if (WriteList("list.txt", table, text, count, &origin) != 0) abort();
        if (fileBytes("list.txt") != std::string((const char *)data, size)) abort();
        return 0;
    }
    if (GetList(text, again, "list.txt", &loaded, kListTextBytes, &origin) != 0) abort();
    checkTable(again, loaded);
    if (loaded != count || memcmp(table, again, sizeof table) != 0) abort();

    if (WriteList("list.txt", table, text, count, &origin) != 1) abort();
    std::string saved = fileBytes("list.txt");
    if (saved != expectedSave((const char *)data, size)) abort();
    // The second save copies the kept lines from the file the first wrote.
    if (WriteList("list.txt", table, text, count, &origin) != 1) abort();
    if (fileBytes("list.txt") != saved) abort();
    int reloaded = -1;
    if (GetList(scratch, again, "list.txt", &reloaded, kListTextBytes, &origin) != 0) abort();
    checkTable(again, reloaded);
    // Every line went back whole, so the same entries load again, byte
    // for byte.
    if (reloaded != count || memcmp(table, again, sizeof table) != 0) abort();
    return 0;
}
