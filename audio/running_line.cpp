// The running display line: its text and the pacing of its flushes.
#include "audio/running_line.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>

static_assert(std::numeric_limits<double>::is_iec559 && sizeof(double) == 8,
              "the clock text reads doubles as IEEE 754 binary64");

int formatHundredths(double seconds, char *text)
{
    // The exact binary value is rounded to hundredths, ties to even, as
    // printf does. Anything outside the plain range (negative, negative
    // zero, huge, not a number) is left to printf itself.
    if (!(seconds >= 0.0) || std::signbit(seconds) || seconds >= 1e9) return 0;
    uint64_t hundredths = 0;
    if (seconds > 0.0) {
        // seconds = mantissa * 2^-shift exactly, mantissa below 2^53, taken
        // straight from the IEEE 754 bits (no library call per line); below
        // 1e9 the shift is at least 23, so hundredths * 2^shift fits 64 bits
        // whenever the shift is below 64 (mantissa * 100 < 2^60).
        uint64_t bits = 0;
        memcpy(&bits, &seconds, sizeof bits);
        int biased = (int)((bits >> 52) & 0x7ff);
        uint64_t mantissa = bits & (((uint64_t)1 << 52) - 1);
        int shift = 1074;   // subnormal: mantissa * 2^-1074
        if (biased != 0) {
            mantissa |= (uint64_t)1 << 52;
            shift = 1075 - biased;
        }
        uint64_t scaled = mantissa * 100;
        if (shift < 64) {
            uint64_t whole = scaled >> shift;
            uint64_t rest = scaled & (((uint64_t)1 << shift) - 1);
            uint64_t half = (uint64_t)1 << (shift - 1);
            if (rest > half || (rest == half && (whole & 1))) ++whole;
            hundredths = whole;
        }   // else below half a hundredth: 0.00
    }
    char digits[24];
    int n = 0;
    uint64_t units = hundredths / 100;
    do {
        digits[n++] = (char)('0' + units % 10);
        units /= 10;
    } while (units);
    int length = 0;
    while (n) text[length++] = digits[--n];
    text[length++] = '.';
    text[length++] = (char)('0' + hundredths / 10 % 10);
    text[length++] = (char)('0' + hundredths % 10);
    text[length] = '\0';
    return length;
}

void printRunningSeconds(const char *prefix, double seconds)
{
    char line[16 + kHundredthsBytes + 4];
    size_t n = strlen(prefix);
    if (n > 15) n = 15;
    memcpy(line, prefix, n);
    int length = formatHundredths(seconds, line + n);
    if (length > 0) {
        memcpy(line + n + length, " sec", 4);
        fwrite(line, 1, n + (size_t)length + 4, stdout);
    } else {
        printf("%.*s%.2f sec", (int)n, prefix, seconds);
    }
}

int runningFlushDue(long long nowNs, long long lastFlushNs)
{
    // A clock that went backwards (it should not) also flushes.
    return lastFlushNs < 0 || nowNs - lastFlushNs >= kRunningFlushNs || nowNs < lastFlushNs;
}

long long monotonicNs()
{
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return -1;
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

void flushRunningLine(long long *lastFlushNs)
{
    long long nowNs = monotonicNs();
    // Without a clock every line is flushed.
    if (nowNs < 0 || runningFlushDue(nowNs, *lastFlushNs)) {
        fflush(stdout);
        *lastFlushNs = nowNs;
    }
}
