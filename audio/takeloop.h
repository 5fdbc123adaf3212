// A take of the capture engine, from the device's ring to the take file:
// the state every take of a RECORD call shares, and the take loop that
// records one. Only the capture engine's files include it.
#ifndef TUNEVAT_AUDIO_TAKELOOP_H
#define TUNEVAT_AUDIO_TAKELOOP_H

#include <cstddef>
#include <sys/uio.h>

#include "audio/capture.h"
#include "audio/meter.h"
#include "audio/takefile.h"

// Frames that a device delivers faster than real time are gathered into
// writes of up to this many bytes (at least one period).
const size_t kPendingBytes = 262144;
// Pieces gathered into one write at most: their ends are where a write the
// disk cut short is cut back to.
const int kMaxPendingPieces = 64;

// How a take ended.
enum TakeEnd {
    kTakeRanOut,       // its planned length was reached
    kTakeStopped,      // Ctrl-C: kept as far as it got
    kTakeEnded,        // SIGTERM or SIGHUP: the program ends
    kTakeWriteFailed,  // the take file took no more (a full disk)
    kTakeReadFailed,   // the device failed
    kTakeCancelled,    // Ctrl-C while it waited to start: nothing recorded
};

// Everything one RECORD call works with: set up once, used by every take.
// Plain data; RECORD owns the device, the claim on the take file and the
// buffers.
struct Capture {
    CaptureDevice dev;
    TakeFile *take;             // claimed for the call (and after it)
    int channels;               // kept in the file: 1 or 2
    int bytesPerSample;         // 2 or 3
    long frameBytes;            // bytes of one frame in the file
    long long plannedFrames;    // planned length of every take
    float durationSeconds;      // planned length of one take
    float rateHz;               // divisor of the remaining-time display
    // Frames read and not yet written, as the file holds them, in pieces
    // written with one call: stereo frames where the device's ring holds
    // them (their room kept until written), mono frames and silence copied
    // into pending.
    char *pending;              // room for copied frames
    size_t pendingCapacityBytes;   // bytes of it: at least a period
    size_t pendingUsedBytes;    // bytes of it in use
    size_t stagedBytes;         // bytes in all pieces
    int stagedPieces;
    struct iovec stagedIov[kMaxPendingPieces];
    long stagedFrames[kMaxPendingPieces];
    long long stagedRingFrames; // frames of the ring the pieces hold

    long long keptBytes;        // audio bytes of the takes kept so far
    long long takeStartFrame;   // frame at which the current take begins
    long long recordedFrames;   // frames the current take holds in the file
    float lastTakeStartSeconds; // from the audio's start to the current take
    float lastTakeSeconds;      // the current take's planned length
    long peak1, peak2;          // the current take's peaks

    // A take that begins the recording (not one that continues it) may
    // wait to start: for Enter, or for the first frame over a level; and
    // it may keep frames from before that moment.
    long long preFrames;        // frames kept from before the start at most (0: none)
    long triggerLevel;          // the absolute sample value to pass (0: no trigger)
    float triggerDb;            // the same in dBFS
    long long takePlannedFrames;   // the current take's planned length, its pre-roll included
    int broadcastWav;           // the take file has a bext chunk, stamped when the audio starts

    // What a terminal shows of the take: the meter beside the running
    // line, and the picture after it.
    LevelMeter meter;
    int meterShown;             // standard output is a terminal
    TakePicture picture;
};


// Frames a take really records: whole periods, the fewest that reach the
// planned length.
long long takeFrames(const Capture *c);

// Whether a take at startFrame waits to start (it begins the recording,
// and a pre-roll or a trigger is set).
int takeWaitsToStart(const Capture *c, long long startFrame);

// The bext stamp of a take at rate Hz whose first frame came secondsAgo
// seconds ago, with a reference no other take shares.
void stampTakeStart(BextStamp *s, unsigned int rate, double secondsAgo);

// Bytes of one period as the take file holds it.
size_t periodBytes(const Capture *c);

// Records one take at the take start frame: the device is read on its own
// thread, the blocks written here. A take that waits to start shows what
// it waits for and takes the frames of its pre-roll first (Ctrl-C while it
// waits: kTakeCancelled, nothing recorded). It ends when its planned
// length is reached, at Ctrl-C (kept as far as it got), at SIGTERM or SIGHUP, or at
// once when the device or the take file fails; the take file then holds
// every frame read and written before, its sizes count them all, and
// nothing after them. Before it, a line says so when the disk has less
// room than the take needs.
TakeEnd recordTake(Capture *c);

// --- Waiting for the start (takestart.cpp).

// Reads the device (the take under way, endless) until the take starts:
// Enter (a line typed, dropped; or the end of the input), or the first
// frame over the trigger level. Shows the meter on a terminal meanwhile.
// Returns 1 with *startAt the frame (as captureTaken counts) the take's
// first frame is, up to c->preFrames before the start, and *preRoll the
// frames from there to the start; the frames from *startAt on are taken
// and not yet released, those before it released. 0 when a signal ended
// the wait; -1 when the reading ended (the device failed).
int waitForTakeStart(Capture *c, long long *startAt, long long *preRoll);

#endif
