// The capture device: opening and configuring it, reading a take's frames
// on a thread of its own, and closing it. The twin of the playback
// engine's device half; the take loop (record.cpp) takes the frames from it
// block by block and knows nothing of ALSA.
//
// While a take runs, the device is read by its own thread, which never
// waits on the terminal or the disk: the frames go into a queue of blocks
// that the take loop empties at its own pace. The queue holds at most
// kCaptureQueueSeconds of audio; only a take loop that falls that far
// behind makes the reading wait, and then the device itself over-runs, as
// it would without the queue. Frames that are lost anyway (an over-run, a
// suspend, the program stopped by Ctrl-Z) are counted from the device's
// position and the clock, and the block after the gap says how many: the
// take keeps its timeline.
#ifndef TUNEVAT_AUDIO_CAPTURE_H
#define TUNEVAT_AUDIO_CAPTURE_H

#include <alsa/asoundlib.h>
#include <pthread.h>

// Capture always runs in stereo; a mono recording keeps channel 1 (left).
const unsigned int kCaptureChannels = 2;

// Audio the queue between the device and the take loop holds at most.
const int kCaptureQueueSeconds = 15;

// Frames of a take on their way from the device to the take loop.
struct CaptureBlock {
    CaptureBlock *next;
    long long gapFrames;   // frames lost just before this block's frames (silence in the take)
    int overRuns;          // over-runs and suspends the device reported in the gap
    long frames;           // frames held: two channels interleaved, as the device gives them
    char *data;            // room for a period of frames
};

// How the reading of a take ended.
enum CaptureEnd {
    kCaptureRanOut,     // the take's frames are all read
    kCaptureStopped,    // a signal, or the take loop asked it to stop
    kCaptureFailed,     // the device failed; deviceError says how
};

// An open capture device, what it settled on, and the reading of a take.
struct CaptureDevice {
    snd_pcm_t *pcm;            // nullptr when closed
    const char *name;          // the ALSA device name, for messages
    long periodFrames;         // frames per read, as the device settled it
    long bufferFrames;         // the device's own buffer, in frames
    int bytesPerSample;        // 2 or 3
    int interleavedAccess;     // read with snd_pcm_readi (else channel buffers, snd_pcm_readn)
    char *channelHalves;       // a period of each channel, for snd_pcm_readn
    double rateHz;             // the rate asked for (and granted)

    // The reading thread and the queue it fills; all below is shared and
    // guarded by lock, except where a field says it is the thread's own.
    pthread_t thread;
    int threadRunning;         // the take loop's own: a thread was started
    pthread_mutex_t lock;
    pthread_cond_t changed;    // a block was queued or freed, or the reading ended
    CaptureBlock *queueHead, *queueTail;   // read, not yet taken
    CaptureBlock *freeBlocks;  // taken back, for reuse (last freed first)
    long freeCount;            // blocks in freeBlocks
    long blocksMade;           // blocks allocated so far
    int readerWaiting;         // the reading thread waits for room
    int loopWaiting;           // the take loop waits for a block
    long maxBlocks;            // the queue's bound
    int stopAsked;             // the take loop wants the reading to end
    int ended;                 // the thread has queued its last block
    CaptureEnd end;
    int deviceError;           // the failing call's negative error, for kCaptureFailed

    // The thread's own while a take is read.
    long long takeFrames;      // frames of the take, gaps included
    long long takenFrames;     // frames of the take so far, gaps included
    long long readSinceStart;  // frames read since the stream last started
    long long startedAtNs;     // when it last started (CLOCK_BOOTTIME), -1 before
    long long seenAtNs;        // when the device last said how much it held
    long long seenReady;       // what it held then
    long long seenRead;        // readSinceStart then
    long long lastFramesNs;    // when the device last gave frames (or the take began)
    unsigned resumeMark;       // the program's resumptions (SIGCONT) counted so far
    int lostInRow;             // over-runs and suspends with no frame read between
    long long dropSeen;        // frames a device seems to have dropped unsaid, or 0
    // A gap a device may have dropped unsaid, until the frames after it
    // tell: its blocks are held back from the queue meanwhile.
    CaptureBlock *heldHead, *heldTail;
    long heldBlocks;
    long long gapSeenAtNs;     // when it was seen
    long long gapSeenRead;     // readSinceStart then
};

// Opens device for capture at rate Hz with 2- or 3-byte samples, two
// channels. Interleaved frames (snd_pcm_readi) are asked for first, and
// channel buffers (snd_pcm_readn) where the device has nothing else: the
// bytes a take gets are the same either way. A device that grants other
// channels, another format or another rate than asked is refused before
// the take: a take at another rate would play at the wrong speed. Returns
// 1 with d open; 0 after printing why (d closed, nothing to release).
int openCapture(CaptureDevice *d, const char *device, unsigned int rate, int bytesPerSample);

// Starts reading a take of frames frames (whole periods; gaps count) on
// the reading thread. Returns 1; 0 when the thread could not be started
// (nothing to release).
int startCaptureTake(CaptureDevice *d, long long frames);

// The next block of the take, waiting for it; nullptr once the reading has
// ended and every block has been taken (d->end then says why). Every block
// taken goes back with releaseCaptureBlock.
CaptureBlock *nextCaptureBlock(CaptureDevice *d);
void releaseCaptureBlock(CaptureDevice *d, CaptureBlock *b);

// Asks the reading to end (the take file took no more); the blocks already
// queued still come from nextCaptureBlock. The reading ends once the
// device's read under way returns.
void stopCaptureTake(CaptureDevice *d);

// Waits for the reading thread to end (after nextCaptureBlock returned
// nullptr, or after stopCaptureTake), drops what the device still holds,
// and keeps the blocks the take loop did not take for the next take. The
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
