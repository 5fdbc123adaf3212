// The peak meter: a running peak per channel while a take is recorded, and
// the level line of the report after it.
#include <cmath>
#include <cstdio>

#include "audio/audio.h"

// Full scale of a sample: the magnitude of the most negative value.
static const float kFullScale16 = 32768.0f;
static const float kFullScale24 = 8388608.0f;

void CheckPeak(int count, long *peak, const char *data, unsigned int bytesPerSample)
{
    if (count <= 0) return;
    // This runs for every period of every take, so it is one tight pass
    // over the block with the running peak kept in a register.
    const unsigned char *p = (const unsigned char *)data;
    long best = *peak;
    if (bytesPerSample == 2) {
        for (int i = 0; i < count; ++i, p += 2) {
            long aword1 = p[0];                      // low byte, unsigned
            long aword2 = (signed char)p[1];         // high byte, signed
            long value = aword2 * 256 + aword1;
            long sample = value < 0 ? -value : value;
            if (sample > best) best = sample;
        }
    } else if (bytesPerSample == 3) {
        for (int i = 0; i < count; ++i, p += 3) {
            long aword1 = p[0];                      // low byte, unsigned
            long aword2 = p[1];                      // middle byte, unsigned
            long aword3 = (signed char)p[2];         // high byte, signed
            long value = aword3 * 65536 + aword2 * 256 + aword1;
            long sample = value < 0 ? -value : value;
            if (sample > best) best = sample;
        }
    }
    *peak = best;
}

void ShowPeaks(int channel, long peak, long bytesPerSample)
{
    if (peak == 0) {
        // Silence has no logarithm: a fixed floor a little below the
        // quietest level a sample of this size can show.
        if (bytesPerSample == 3) printf("Channel %i peak = -144 dB\n", channel);
        else printf("Channel %i peak = -96 dB\n", channel);
        return;
    }
    float fullScale = bytesPerSample == 3 ? kFullScale24 : kFullScale16;
    float logarg = fullScale / (float)peak;
    // At full scale the ratio is exactly 1 and the level prints as -0.00.
    float level = (float)(-20.0 * log10((double)logarg));
    printf("Channel %i peak = %.2f dB\n", channel, level);
}
