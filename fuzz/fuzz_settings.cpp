// Feeds arbitrary bytes to the settings reader as rcvat.txt, then saves
// what it read and reads that back: the text values and numbers must come
// back unchanged, and nothing may be written past the console's buffers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
               &v->dur, v->list, &v->listGiven, "rcvat.txt", v->rname);
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

    if (Store_Settings(a.channels, a.device, a.rate, a.bits, a.in, a.out, a.dur,
                       a.list, a.rname) != 1) {
        abort();
    }
    Values b;
    defaults(&b);
    b.list[0] = '\0';
    readSettings(&b);
    if (b.channels != a.channels || b.rate != a.rate || b.bits != a.bits ||
        strcmp(b.device, a.device) != 0 || strcmp(b.list, a.list) != 0 ||
        strcmp(b.rname, a.rname) != 0 || b.listGiven != (a.list[0] != '\0')) {
        abort();
    }
    return 0;
}
