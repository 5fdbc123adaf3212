// Writes 16-bit stereo frames, for ever, whose samples say which frame of
// the stream each is, as the paced test device's do: each sample has its
// lowest bit set, the left one holds bits 0-14 of the index above it, the
// right one bits 15-29. A recording of them shows every frame lost,
// repeated or moved, to the frame (bench/pipewire.sh reads them back).
//
//   framecount | pw-play --rate 44100 --channels 2 --format s16 -
#include <cstdint>
#include <cstdio>

int main()
{
    static uint16_t block[2 * 1024];
    for (unsigned long long index = 0;; ) {
        for (int i = 0; i < 1024; ++i, ++index) {
            block[2 * i] = (uint16_t)(((index & 0x7fff) << 1) | 1);
            block[2 * i + 1] = (uint16_t)((((index >> 15) & 0x7fff) << 1) | 1);
        }
        if (fwrite(block, sizeof block, 1, stdout) != 1) return 0;
    }
}
