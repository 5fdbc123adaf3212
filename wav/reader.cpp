// Reading WAV files: the two attribute readers, both on what locateWav
// finds.
#include "wav/wav_private.h"

#include <cstring>

#include "files/files.h"


// Says why the audio of a located file with frames of frameBytes bytes
// cannot be counted (a frame size of zero, no data chunk, a file that ends
// inside the data chunk's header); 1 when it can.
static int audioFound(const WavLayout *w, unsigned long frameBytes)
{
    if (frameBytes == 0) {
        fputs(kZeroFrameMessage, stdout);
        return 0;
    }
    return dataFound(w);
}

// The sample format, for samples other than 16- or 24-bit integers: one
// line, "  format: 32-bit float" and the like.
static void showFormat(const WavLayout *w)
{
    char what[kFormatTextBytes];
    SampleEncoding e = layoutEncoding(w, what, sizeof what);
    if (e == kSampleS16 || e == kSampleS24) return;
    if (e == kSampleU8) snprintf(what, sizeof what, "8-bit unsigned integer");
    if (e == kSampleF32 || e == kSampleF64) snprintf(what, sizeof what, "%u-bit float", w->bits);
    if (e == kSampleS32 && w->validBits != 0 && w->validBits < w->bits)
        snprintf(what, sizeof what, "%u-bit integer in 4-byte containers", w->validBits);
    else if (e == kSampleS32)
        snprintf(what, sizeof what, "32-bit integer");
    printf("  format: %s\n", what);
}

// A bext field of n bytes as text: printable characters up to the first
// NUL, and the separators of a date ("yyyy-mm-dd") or a time ("hh:mm:ss")
// as these write them, whatever the writer used.
static void bextText(const char *field, size_t n, char separator, char *out)
{
    size_t k = 0;
    for (; k < n && field[k] != '\0'; ++k)
        out[k] = field[k] >= 0x20 && field[k] < 0x7f ? field[k] : '?';
    out[k] = '\0';
    while (k > 0 && out[k - 1] == ' ') out[--k] = '\0';
    // The separators the format allows: yyyy-mm-dd, hh:mm:ss.
    for (size_t at = separator == '-' ? 4 : 2; k == n && at < n; at += 3)
        if (strchr(" -_:./", out[at])) out[at] = separator;
}

// For a file with a bext chunk: "  recorded: DATE TIME, starts at
// hh:mm:ss.mmm", its time reference as a time of day.
static void showRecorded(const WavLayout *w)
{
    if (w->bextAt < 0) return;
    char date[11], time[9];
    bextText(w->bextDate, 10, '-', date);
    bextText(w->bextTime, 8, ':', time);
    char when[24] = "unknown";
    if (date[0] || time[0])
        snprintf(when, sizeof when, "%s%s%s", date, date[0] && time[0] ? " " : "", time);
    printf("  recorded: %s", when);
    if (w->rate > 0) {
        unsigned long long seconds = w->timeReference / w->rate;
        unsigned long long ms = w->timeReference % w->rate * 1000 / w->rate;
        printf(", starts at %02llu:%02llu:%02llu.%03llu", seconds / 3600 % 24, seconds / 60 % 60,
               seconds % 60, ms);
    }
    printf("\n");
}

int GetAttributes(const char *path, unsigned long *rate,
                  unsigned int *bytesPerSample, unsigned int *channels,
                  unsigned long long *dataOffset, unsigned long long *frames,
                  int verbose)
{
    int special = 0;
    FILE *f = fopenRegular(path, "rb", &special);
    if (!f) {
        if (special) notRegular(path);
        else printf("The file called %s cannot be found!\n", path);
        return 0;
    }
    if (verbose == 1) printf("\nFile: %s\n", path);

    WavLayout w;
    locateWav(f, &w);
    fclose(f);
    if (w.fmtAt < 0) {
        fputs(kNoFormatMessage, stdout);
        return 0;
    }
    // Each value is stored, and shown, as soon as it is known.
    *channels = w.channels;
    if (verbose == 1) printf("  channels: %i\n", (int)w.channels);
    *bytesPerSample = w.bits / 8;
    if (verbose == 1) printf("  bits: %i\n", (int)w.bits);
    *rate = w.rate;
    if (verbose == 1) printf("  samplerate: %lu\n", w.rate);

    unsigned long frameBytes = layoutFrameBytes(&w);
    if (!audioFound(&w, frameBytes)) return 0;
    *dataOffset = (unsigned long long)w.dataOffset;
    unsigned long long count = (unsigned long long)w.audioBytes / frameBytes;
    *frames = count;
    if (verbose == 1) {
        double seconds = w.rate ? (double)count / (double)w.rate : 0.0;
        printf("  length (sec): %.3f\n", seconds);
        showFormat(&w);
        showRecorded(&w);
    }
    return 1;
}

double GET_LENGTH(const char *path)
{
    int special = 0;
    FILE *f = fopenRegular(path, "rb", &special);
    if (!f) {
        if (special) notRegular(path);
        else printf("Cannot find file in track list called %s\n", path);
        return 0;
    }
    WavLayout w;
    locateWav(f, &w);
    fclose(f);
    if (w.fmtAt < 0) {
        fputs(kNoFormatMessage, stdout);
        return 0;
    }
    unsigned long frameBytes = layoutFrameBytes(&w);
    if (!audioFound(&w, frameBytes)) return 0;
    return (double)((unsigned long long)w.audioBytes / frameBytes);
}
