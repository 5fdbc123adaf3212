// Waiting for a take to start: the device is read while the take waits
// for Enter or for sound, the last seconds kept in the ring for its
// pre-roll, and the meter shown on a terminal.
#include <cstdio>

#include "audio/audio.h"
#include "audio/running_line.h"
#include "audio/takeloop.h"
#include "input/input.h"

// Says once what the take waits for.
static void sayWhatStartsIt(const Capture *c)
{
    if (c->triggerLevel > 0)
        printf("The take starts when the level passes %.1f dBFS or Enter is pressed", c->triggerDb);
    else
        printf("The take starts when Enter is pressed");
    if (c->preFrames > 0)
        printf(", with up to %.1f sec from before it", (double)c->preFrames / c->rateHz);
    printf("\n");
    fflush(stdout);
}

// Whether the user started the take: a line typed (dropped), or the end of
// the input, after which no Enter can come.
static int enterPressed()
{
    if (waitForInputWithin(0) <= 0) return 0;
    return dropLineSoFar() != 0;
}

// The frames kept for the pre-roll: from *oldest to what has been taken.
// Those older than the pre-roll needs go back to the reading.
static void keepOnlyPreRoll(Capture *c, long long *oldest)
{
    long long taken = captureTaken(&c->dev);
    long long from = taken - c->preFrames;
    if (from > *oldest) {
        releaseCaptureFrames(&c->dev, from - *oldest);
        *oldest = from;
    }
}

int waitForTakeStart(Capture *c, long long *startAt, long long *preRoll)
{
    sayWhatStartsIt(c);
    // The line the last answer was typed on ends with the Enter that gave
    // it: that Enter does not start the take.
    dropBlankLineEnd();
    const char *lead = c->triggerLevel > 0 ? "Waiting for sound" : "Waiting for Enter";
    long long oldest = 0;   // the oldest frame taken and not released
    CaptureSpan sp;
    while (nextCaptureSpan(&c->dev, c->dev.ring.frames, &sp)) {
        long long spanAt = captureTaken(&c->dev) - sp.frames;
        if (!sp.data) {
            // Frames lost: the pre-roll starts again after them.
            releaseCaptureFrames(&c->dev, captureTaken(&c->dev) - oldest);
            oldest = captureTaken(&c->dev);
            continue;
        }
        long peaks[2] = {0, 0}, clips[2] = {0, 0};
        measureFrames(sp.frames, sp.data, (unsigned int)c->bytesPerSample, peaks, clips);
        long long nowNs = monotonicNs();
        if (c->meterShown) {
            feedMeter(&c->meter, peaks, clips, nowNs);
            if (meterDue(&c->meter, nowNs)) drawMeter(&c->meter, lead, nowNs);
        }
        long long start = -1;
        if (c->triggerLevel > 0) {
            long first = firstFrameOver(sp.frames, sp.data, (unsigned int)c->bytesPerSample,
                                        c->channels, c->triggerLevel);
            if (first >= 0) start = spanAt + first;
        }
        if (start < 0 && (caughtSignal() || enterPressed())) {
            if (caughtSignal()) return 0;
            start = captureTaken(&c->dev);
        }
        if (start >= 0) {
            *startAt = start - c->preFrames > oldest ? start - c->preFrames : oldest;
            *preRoll = start - *startAt;
            releaseCaptureFrames(&c->dev, *startAt - oldest);
            return 1;
        }
        keepOnlyPreRoll(c, &oldest);
    }
    // The reading ended: a signal stopped it, or the device failed.
    return caughtSignal() ? 0 : -1;
}
