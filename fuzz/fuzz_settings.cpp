// Feeds arbitrary bytes to the settings reader as rcvat.txt, then saves
// what it read and reads that back: the text values and numbers must come
// back unchanged (but for a trailing carriage return, which the reader
// drops once more), the lines of the input that hold no setting must end
// the saved file unchanged, a save of what was read back must be stable,
// and nothing may be written past the console's buffers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "store/store.h"

namespace {

struct Values {
    int channels;
    char device[kDeviceBytes];
    unsigned int rate;
    unsigned int bits;
    float in, out, dur;
    char list[kListNameBytes];
    int listGiven;
    char rname[kRecordNameBytes];
    TakeStartSettings start;
    WavSettings wav;
};

void defaults(Values *v)
{
    memset(v, 0, sizeof *v);
    v->channels = 2;
    strcpy(v->device, "default");
    v->rate = 44100;
    v->bits = 16;
    strcpy(v->list, "tlist.txt");
}

void readSettings(Values *v)
{
    GET_PARAMS(&v->channels, v->device, &v->rate, &v->bits, &v->in, &v->out,
               &v->dur, v->list, &v->listGiven, "rcvat.txt", v->rname, &v->start, &v->wav);
}

int save(const Values *v)
{
    return Store_Settings(v->channels, v->device, v->rate, v->bits, v->in, v->out, v->dur,
                          v->list, v->rname, &v->start, &v->wav);
}

std::string fileBytes()
{
    std::string bytes;
    FILE *f = fopen("rcvat.txt", "rb");
    if (!f) abort();
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, got);
    fclose(f);
    return bytes;
}

// A value as it reads back after a save: without one trailing CR.
std::string readBack(const char *value)
{
    std::string v = value;
    if (!v.empty() && v.back() == '\r') v.pop_back();
    return v;
}

// The input's lines in which no word is a key and that are not blank.
std::string otherLines(const uint8_t *data, size_t size)
{
    static const char *const keys[] = {"dv", "sr", "bits", "ch", "i", "o", "d", "tlist", "rname",
                                       "pre",  "trig", "bwf", "pair"};
    std::string out;
    size_t pos = 0;
    while (pos < size) {
        size_t start = pos;
        while (pos < size && data[pos] != '\n') pos++;
        if (pos < size) pos++;
        std::string line((const char *)data + start, pos - start);
        bool blank = line.find_first_not_of(" \t\r\n") == std::string::npos;
        bool key = false;
        size_t w = 0;
        while (!key && w < line.size()) {
            size_t e = line.find_first_of(" \t\n", w);
            if (e == std::string::npos) e = line.size();
            for (const char *k : keys) key = key || line.compare(w, e - w, k) == 0;
            w = e + 1;
        }
        if (!blank && !key) out += line;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = fopen("rcvat.txt", "wb");
    if (!f) return 0;
    if (size > 0) fwrite(data, 1, size, f);
    fclose(f);

    Values a;
    defaults(&a);
    readSettings(&a);
    if (strnlen(a.device, kDeviceBytes) == kDeviceBytes ||
        strnlen(a.list, kListNameBytes) == kListNameBytes ||
        strnlen(a.rname, kRecordNameBytes) == kRecordNameBytes) {
        abort();
    }

    if (save(&a) != 1) abort();
    std::string kept = otherLines(data, size);
    std::string saved = fileBytes();
    if (saved.size() < kept.size() || saved.compare(saved.size() - kept.size(), kept.size(), kept) != 0)
        abort();
    Values b;
    defaults(&b);
    b.list[0] = '\0';
    readSettings(&b);
    if (b.channels != a.channels || b.rate != a.rate || b.bits != a.bits ||
        b.device != readBack(a.device) || b.list != readBack(a.list) ||
        b.rname != readBack(a.rname) || b.listGiven != !readBack(a.list).empty() ||
        b.wav.bwf != a.wav.bwf || b.wav.pair[0] != a.wav.pair[0] ||
        b.wav.pair[1] != a.wav.pair[1]) {
        abort();
    }
    if (save(&b) != 1) abort();
    std::string again = fileBytes();
    if (save(&b) != 1 || fileBytes() != again) abort();
    return 0;
}
