// Writes raw 16-bit stereo little-endian samples at 44100 Hz: a 440 Hz
// tone on the left and a 660 Hz tone on the right at half scale. The
// virtual sound card of the run script captures from this file.
//   tonegen FILE [SECONDS]
#include <cmath>
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: tonegen FILE [SECONDS]\n");
        return 2;
    }
    long seconds = argc > 2 ? strtol(argv[2], nullptr, 10) : 120;
    if (seconds < 1 || seconds > 3600) seconds = 120;
    FILE *f = fopen(argv[1], "wb");
    if (!f) {
        perror(argv[1]);
        return 1;
    }
    const double rate = 44100.0, pi = 3.14159265358979323846;
    static unsigned char block[4096 * 4];
    long total = (long)(seconds * rate), n = 0;
    while (n < total) {
        int frames = 0;
        for (; frames < 4096 && n < total; ++frames, ++n) {
            int left = (int)lrint(16383.0 * sin(2 * pi * 440.0 * n / rate));
            int right = (int)lrint(16383.0 * sin(2 * pi * 660.0 * n / rate));
            unsigned char *p = block + frames * 4;
            p[0] = (unsigned char)(left & 0xff);
            p[1] = (unsigned char)((left >> 8) & 0xff);
            p[2] = (unsigned char)(right & 0xff);
            p[3] = (unsigned char)((right >> 8) & 0xff);
        }
        if (fwrite(block, 4, (size_t)frames, f) != (size_t)frames) {
            perror(argv[1]);
            fclose(f);
            return 1;
        }
    }
    if (fclose(f) != 0) {
        perror(argv[1]);
        return 1;
    }
    return 0;
}
