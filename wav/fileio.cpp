// The wav room's shared messages and file helpers.
#include "wav/wav_private.h"

#include <cerrno>
#include <cstring>

#include "files/files.h"

const char kNoFormatMessage[] = "Can't find format chunk in wave file!\n";
const char kNoDataMessage[] = "Can't find data block in wave file!\n";
const char kZeroFrameMessage[] = "Wave file has a frame size of zero!\n";
const char kCutDataMessage[] = "Wave file ends before its sample data!\n";

void notRegular(const char *path)
{
    printf("The file called %s is not a regular file!\n", path);
}

FILE *openWavFile(const char *path, const char *mode)
{
    int special = 0;
    FILE *f = fopenRegular(path, mode, &special);
    if (!f) {
        if (special) notRegular(path);
        else cannotOpen(path);
    }
    return f;
}

void cannotOpen(const char *path)
{
    printf("Cannot open %s: %s\n", path, strerror(errno));
}

void cannotRead(const char *path, FILE *f)
{
    printf("Cannot read %s: %s\n", path, ferror(f) ? strerror(errno) : "unexpected end of file");
}

void cannotWrite(const char *path, int err)
{
    printf("Cannot write %s: %s\n", path, strerror(err));
}

long long fileLength(FILE *f)
{
    if (fseeko(f, 0, SEEK_END) != 0) return -1;
    return (long long)ftello(f);
}

unsigned long layoutFrameBytes(const WavLayout *w)
{
    if (w->fmtAt < 0) return 0;
    unsigned long whole = (unsigned long)(w->bits / 8) * w->channels;
    // 20 bits of integer PCM in 3 bytes: bits / 8 would count 2 bytes a
    // sample. Only a walked format chunk's block align is a real field.
    unsigned int code = w->formatTag == 0xfffe ? w->subFormat : w->formatTag;
    unsigned int container = (w->bits + 7) / 8;
    if (w->walked && code == 1 && w->bits > 8 && w->bits % 8 != 0 &&
        w->blockAlign == container * w->channels)
        return w->blockAlign;
    return whole;
}

size_t readUpTo(FILE *f, char *buf, size_t n)
{
    size_t got = 0;
    while (got < n) {
        size_t r = fread(buf + got, 1, n - got, f);
        if (r == 0) break;
        got += r;
    }
    return got;
}

int readAt(FILE *f, long long pos, char *buf, size_t n)
{
    if (pos < 0 || fseeko(f, (off_t)pos, SEEK_SET) != 0) return 0;
    return readUpTo(f, buf, n) == n;
}

int writeField(FILE *f, long long pos, unsigned long long value, int width)
{
    char field[kWideSizeBytes];
    for (int i = 0; i < width; ++i) field[i] = (char)((value >> (8 * i)) & 0xff);
    return fseeko(f, (off_t)pos, SEEK_SET) == 0 && fwrite(field, 1, (size_t)width, f) == (size_t)width;
}

int dataFound(const WavLayout *w)
{
    if (w->dataAt < 0) {
        fputs(kNoDataMessage, stdout);
        return 0;
    }
    if (w->dataCut) {
        fputs(kCutDataMessage, stdout);
        return 0;
    }
    return 1;
}
