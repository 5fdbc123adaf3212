// The capture device: opening and configuring it, reading a take's frames
// on a thread of its own, and closing it. The twin of the playback
// engine's device half; the take loop (record.cpp) takes the frames from it
// in spans and knows nothing of ALSA.
//
// While a take runs, the device is read by its own thread, which never
// waits on the terminal or the disk: the frames go into a ring that the
// take loop empties at its own pace, as much as it finds there at a time.
// The ring holds kCaptureQueueSeconds of audio; only a take loop that
// falls that far behind makes the reading wait, and then the device itself
// over-runs, as it would without the ring. Frames that are lost anyway (an
// over-run, a suspend, the program stopped by Ctrl-Z, frames a device
// drops without saying so) are counted from the device's position and the
// clock, and a gap in the spans says where and how many: the take keeps
// its timeline.
#ifndef TUNEVAT_AUDIO_CAPTURE_H
#define TUNEVAT_AUDIO_CAPTURE_H

#include <alsa/asoundlib.h>
#include <pthread.h>

#include "audio/framering.h"
#include "audio/lossjudge.h"

// Capture always runs in stereo; a mono recording keeps channel 1 (left).
const unsigned int kCaptureChannels = 2;

// Audio the ring between the device and the take loop holds.
const int kCaptureQueueSeconds = 10;

// How the reading of a take ended.
enum CaptureEnd {
    kCaptureRanOut,     // the take's frames are all read
    kCaptureStopped,    // a signal, or the take loop asked it to stop
    kCaptureFailed,     // the device failed; deviceError says how
};

// A stretch of the take for the take loop: frames read from the device
// (two channels interleaved, contiguous, in the ring), or a gap.
typedef RingSpan CaptureSpan;

// An open capture device, what it settled on, and the reading of a take.
struct CaptureDevice {
    snd_pcm_t *pcm;            // nullptr when closed
    const char *name;          // the ALSA device name, for messages
    long periodFrames;         // frames per read at most, as the device settled it
    long bufferFrames;         // the device's own buffer, in frames
    int bytesPerSample;        // 2 or 3
    long frameBytes;           // bytes of a device frame: two channels
    int interleavedAccess;     // read with snd_pcm_readi (else channel buffers, snd_pcm_readn)
    char *channelHalves;       // a period of each channel, for snd_pcm_readn
    double rateHz;             // the rate asked for (and granted)

    FrameRing ring;            // from the reading thread to the take loop
    pthread_t thread;
    int threadRunning;         // the take loop's own: a thread was started
    int stopAsked;             // the take loop wants the reading to end (atomic)
    // Set by the thread before it ends the ring; read once the take loop
    // has seen the end.
    CaptureEnd end;
    int deviceError;           // the failing call's negative error, for kCaptureFailed

    // The thread's own while a take is read.
    LossJudge judge;           // what the device lost, from its reports and the clock
    long long takeFrames;      // frames of the take, gaps included
    long long takeSoFar;       // frames of the take so far, gaps included
    long long lastFramesNs;    // when the device last gave frames (or the take began)
    unsigned resumeMark;       // the program's resumptions (SIGCONT) counted so far
    int lostInRow;             // over-runs and suspends with no frame read between
    long long heldGapAt;       // where a gap held by the judge lies in the ring
};

// Opens device for capture at rate Hz with 2- or 3-byte samples, two
// channels, with a ring that holds kCaptureQueueSeconds of audio and
// keepSeconds more (what a take keeps from before its start). Interleaved frames (snd_pcm_readi) are asked for first, and
// channel buffers (snd_pcm_readn) where the device has nothing else: the
// bytes a take gets are the same either way. A device that grants other
// channels, another format or another rate than asked is refused before
// the take: a take at another rate would play at the wrong speed. Returns
// 1 with d open; 0 after printing why (d closed, nothing to release).
int openCapture(CaptureDevice *d, const char *device, unsigned int rate, int bytesPerSample,
                int keepSeconds);

// Starts reading a take of frames frames (whole periods; gaps count) on
// the reading thread. Returns 1; 0 when the thread could not be started
// (nothing to release).
int startCaptureTake(CaptureDevice *d, long long frames);

// The next span of the take, waiting for it: the frames read after those
// taken so far (at most maxFrames, and never past a gap), or the gap that
// comes next. Returns 1; 0 once the reading has ended and everything has
// been taken (d->end then says why). The frames stay in the ring until
// releaseCaptureFrames says they are written.
int nextCaptureSpan(CaptureDevice *d, long maxFrames, CaptureSpan *span);

// Frames the take loop has taken in spans since the take began.
long long captureTaken(const CaptureDevice *d);

// Frames at frame number at (counted as captureTaken counts), which the
// take loop took and has not released: a span of at most maxFrames of
// them that lies whole in the ring.
void captureFramesAt(const CaptureDevice *d, long long at, long maxFrames, CaptureSpan *span);

// The take loop is done with the first frames frames it took that it has
// not released yet: their room goes back to the reading.
void releaseCaptureFrames(CaptureDevice *d, long long frames);

// Asks the reading to end (the take file took no more); what was read
// still comes from nextCaptureSpan. The reading ends once the device's
// read under way returns.
void stopCaptureTake(CaptureDevice *d);

// Waits for the reading thread to end (after nextCaptureSpan returned 0,
// or after stopCaptureTake) and drops what the device still holds. The
// next take and closeCapture call it too, for a take that ended early.
// Nothing happens when no thread runs.
void finishCaptureTake(CaptureDevice *d);

// Prints why the take's reading failed: the device's name and ALSA's
// reason, on standard error. The take loop calls it, so that the message
// comes in its place in the console's output.
void reportCaptureFailure(const CaptureDevice *d);

// Closes the device and frees what openCapture and the takes allocated.
// The one place a capture device is closed; nothing happens when d is
// closed.
void closeCapture(CaptureDevice *d);

#endif
