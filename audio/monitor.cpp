// Watching the input level without recording: the capture device read as
// an endless take whose frames are measured and let go, the meter on a
// terminal, a line a second on a pipe, until Enter.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "audio/audio.h"
#include "audio/capture.h"
#include "audio/meter.h"
#include "audio/running_line.h"
#include "input/input.h"

// The endless take: more frames than any device gives in centuries, and
// far from what the counts in frames can hold.
static const long long kEndlessFrames = 1LL << 60;
// The most frames measured at once.
static const long kMostSpanFrames = 65536;

// What a pipe gets: each channel's peak over a second of audio.
struct SecondLevels {
    long long frames;           // frames of the second so far
    long peaks[2];
    long clips[2];
};

static void printSecond(const SecondLevels *s, int channels, int bytesPerSample)
{
    for (int c = 0; c < channels; ++c) {
        char level[16];
        formatDb(s->peaks[c], bytesPerSample, level);
        printf("%sChannel %d peak = %s dBFS", c > 0 ? ", " : "", c + 1, level);
        if (s->clips[c] > 0) printf(" (%ld clipped)", s->clips[c]);
    }
    printf("\n");
    fflush(stdout);
}

// Adds a block's frames to the seconds under way, printing each second
// once its frames are in: a second is exactly rate frames of the device,
// wherever the blocks it came in begin and end.
static void addToSeconds(SecondLevels *s, long frames, const char *data, int channels,
                         int bytesPerSample, unsigned int rate)
{
    size_t frameBytes = 2 * (size_t)bytesPerSample;
    while (frames > 0) {
        long long left = (long long)rate - s->frames;
        long n = frames < left ? frames : (long)left;
        measureFrames(n, data, (unsigned int)bytesPerSample, s->peaks, s->clips);
        s->frames += n;
        data += (size_t)n * frameBytes;
        frames -= n;
        if (s->frames < (long long)rate) return;
        printSecond(s, channels, bytesPerSample);
        memset(s, 0, sizeof *s);
    }
}

// Whether the user ended the watch: a line typed (dropped), or the end of
// the input.
static int enterPressed()
{
    if (waitForInputWithin(0) <= 0) return 0;
    return dropLineSoFar() != 0;
}

// Reads the device until Enter, a signal, or the device fails, showing
// what comes. Returns 1 when the device failed.
static int watch(CaptureDevice *dev, int channels, int bytesPerSample, unsigned int rate)
{
    LevelMeter meter;
    int onTerminal = startMeterOnTerminal(&meter, channels, bytesPerSample);
    SecondLevels second;
    memset(&second, 0, sizeof second);
    CaptureSpan span;
    while (nextCaptureSpan(dev, kMostSpanFrames, &span)) {
        // Frames lost to the device are nothing a meter can show.
        if (span.data && onTerminal) {
            long peaks[2] = {0, 0}, clips[2] = {0, 0};
            measureFrames(span.frames, span.data, (unsigned int)bytesPerSample, peaks, clips);
            long long nowNs = monotonicNs();
            feedMeter(&meter, peaks, clips, nowNs);
            if (meterDue(&meter, nowNs)) drawMeter(&meter, "", nowNs);
        } else if (span.data) {
            addToSeconds(&second, span.frames, span.data, channels, bytesPerSample, rate);
        }
        if (span.data) releaseCaptureFrames(dev, span.frames);
        if (caughtSignal() || enterPressed()) {
            stopCaptureTake(dev);
            break;
        }
    }
    finishCaptureTake(dev);
    if (onTerminal) printf("\n");
    return dev->end == kCaptureFailed;
}

int watchInputLevel(const char *device, unsigned int rate, int channels, int bits)
{
    int bytesPerSample = bits / 8;
    CaptureDevice dev;
    memset(&dev, 0, sizeof dev);
    if (!openCapture(&dev, device, rate, bytesPerSample, 0)) return 0;
    // Ctrl-C ends the watch, SIGTERM and SIGHUP too (the caller then ends
    // the program); the console catches them already.
    SignalCatch signals;
    catchSignals(&signals, 1);
    printf("Showing the input level of %s until Enter is pressed\n", device);
    // The line "m" was typed on ends with the Enter that ran it.
    dropBlankLineEnd();
    if (!startCaptureTake(&dev, kEndlessFrames)) {
        printf("Cannot record from %s: %s\n", device, strerror(errno));
    } else if (watch(&dev, channels, bytesPerSample, rate) && !caughtSignal()) {
        reportCaptureFailure(&dev);
    }
    fflush(stdout);
    closeCapture(&dev);
    releaseSignals(&signals);
    return 1;
}
