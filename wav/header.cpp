// Byte packing: the little-endian writers and readers; and the canonical
// 44-byte header.
#include "wav/wav_private.h"

#include <cerrno>
#include <cstring>

void Decon2(unsigned short value, char *out)
{
    out[0] = (char)(value % 256);
    out[1] = (char)(value / 256);
}

void Decon3(unsigned long value, char *out)
{
    out[0] = (char)(value & 0xff);
    out[1] = (char)((value >> 8) & 0xff);
    out[2] = (char)((value >> 16) & 0xff);
}

void Decon4(long value, char *out)
{
    // The low 32 bits, least significant byte first. The header fields
    // only ever receive 0 .. 2^31-1; callers refuse anything else first.
    unsigned long v = (unsigned long)value;
    out[0] = (char)(v & 0xff);
    out[1] = (char)((v >> 8) & 0xff);
    out[2] = (char)((v >> 16) & 0xff);
    out[3] = (char)((v >> 24) & 0xff);
}

unsigned int Assem2(const char *bytes)
{
    const unsigned char *b = (const unsigned char *)bytes;
    return (unsigned int)b[0] + 256u * b[1];
}

unsigned long Assem4(const char *bytes)
{
    const unsigned char *b = (const unsigned char *)bytes;
    return (unsigned long)b[0] | ((unsigned long)b[1] << 8) |
           ((unsigned long)b[2] << 16) | ((unsigned long)b[3] << 24);
}

int headerBytes(char *header, unsigned int rate, unsigned int channels, unsigned int bits,
                long frames)
{
    // Only the low 16 bits of the channel count reach the header.
    unsigned long ch = channels & 0xffffUL;
    unsigned long bytesPerSample = bits / 8;
    unsigned long frameBytes = ch * bytesPerSample;

    // Refuse what the 32-bit fields cannot state rather than let a size
    // wrap: data bytes (with room for RIFF size = data + 36) and byte rate.
    int fits = frames >= 0 && rate <= (unsigned long)kMaxField;
    if (fits && frameBytes != 0) {
        fits = (unsigned long)frames <= (unsigned long)kMaxDataBytes / frameBytes &&
               rate <= (unsigned long)kMaxField / frameBytes;
    }
    if (!fits) return 0;
    long dataBytes = (long)(frameBytes * (unsigned long)frames);
    long byteRate = (long)(rate * frameBytes);

    memcpy(header + 0, "RIFF", 4);
    Decon4(dataBytes + 36, header + 4);   // 36 = the header after this field
    memcpy(header + 8, "WAVE", 4);
    memcpy(header + 12, "fmt ", 4);
    memcpy(header + 16, "\x10\x00\x00\x00", 4);   // format chunk size 16
    Decon2(1, header + 20);                       // integer PCM
    Decon2((unsigned short)ch, header + 22);
    Decon4((long)rate, header + 24);
    Decon4(byteRate, header + 28);
    Decon2((unsigned short)(frameBytes & 0xffff), header + 32);   // block align
    Decon2((unsigned short)(8 * bytesPerSample), header + 34);
    memcpy(header + 36, "data", 4);
    Decon4(dataBytes, header + 40);
    return 1;
}

int MAKE_HEADER(const char *path, unsigned int rate, unsigned int channels,
                unsigned int bits, long frames)
{
    char header[kWavHeaderBytes];
    if (!headerBytes(header, rate, channels, bits, frames)) {
        printf("Recording does not fit a wave file: %s\n", path);
        return 0;
    }

    FILE *f = fopen(path, "wb");
    if (!f) {
        cannotOpen(path);
        return 0;
    }
    int ok = fwrite(header, 1, sizeof header, f) == sizeof header;
    int err = errno;
    if (fclose(f) != 0 && ok) {
        ok = 0;
        err = errno;
    }
    if (!ok) {
        cannotWrite(path, err);
        return 0;
    }
    return 1;
}
