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
