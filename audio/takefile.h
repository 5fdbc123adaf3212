// The take file: where a recording's takes are written, and the one place
// that knows its layout on disk.
//
// One recorder per folder, and no take ever emptied. A recording claims
// the take file before it writes its header and holds it, locked with
// flock, until the record command has turned the take into the target (or
// left it where it is). A take that the file still holds when a recording
// starts, or when the program starts (left by a kill, a crash, or kept
// after a failed move), is first moved aside to a new name beside it, with
// its length set, and one line says where it went.
//
// The file is a header, then the audio, frame n at byte header + frame
// size x n. The header is the 44-byte RIFF header while the audio fits its
// sizes (4 GiB), and an RF64 header past that: 80 bytes for a take whose
// planned length passes the limit, or, for a recording that continued
// takes carry past it, the RIFF header with a block of the file system
// inserted before it (no audio is copied) that holds the RF64 header and
// a JUNK chunk; where the file system cannot insert, the audio is copied
// once behind an 80-byte header. Its sizes always state whole frames that
// are all in the file, so it reads whole at any moment, also after a kill,
// and also in the middle of the turn to RF64 (the next start puts a turn
// cut short right).
//
// takefile.cpp writes the file, takeclaim.cpp claims it and keeps the
// takes left in it, takerf64.cpp turns it RF64.
#ifndef TUNEVAT_AUDIO_TAKEFILE_H
#define TUNEVAT_AUDIO_TAKEFILE_H

#include <cstddef>
#include <sys/types.h>
#include <sys/uio.h>

#include "wav/wav.h"

// A take file claimed for a recording.
struct TakeFile {
    int fd;                         // open for update and locked; -1 when none is held
    const char *path;
    char header[kRf64HeaderBytes];  // the header's first bytes as they stand in the file
    long headerBytes;               // where the audio starts: 44, 80, or a block and 44
                                    // (more by a bext chunk between the format and the data)
    int rf64;                       // 1: the sizes are in the ds64 chunk
    long frameBytes;                // bytes of one frame
    long long dataBytes;            // audio bytes the header's sizes state
    long long fileBytes;            // bytes the file holds, header included
    unsigned int rate;              // the recording's format, for a new header
    int channels;
    int bits;
};

// Claims the take file at path for a recording: opened only when it is a
// regular file and never through a symlink (created when missing), locked
// against every other tunevat, a take left in it moved aside, then emptied.
// Returns the claimed take file, which stays open and locked until
// releaseTakeFile; nullptr after a message (another recorder holds it, it
// is no regular file, or it cannot be opened or moved aside), with nothing
// that held audio changed.
TakeFile *claimTakeFile(const char *path);

// The take file claimed and not yet released, or nullptr.
TakeFile *heldTake();

// Lets go of what claimTakeFile took; nothing happens when nothing is held.
void releaseTakeFile();

// Writes the header of a recording of frames planned frames of channels
// x (bits / 8)-byte samples at rate Hz into the claimed, empty take file,
// with the bext chunk stamp gives it when stamp is not null (see
// bwfHeaderBytes in wav/wav.h). Returns 1; 0 after a message naming the
// file and the reason.
int startTake(TakeFile *t, unsigned int rate, int channels, int bits, long long frames,
              const BextStamp *stamp);

// Writes n bytes of whole frames at frame number frame (counted from the
// first frame of the audio). Returns 1; 0 with errno set (ENOSPC for a
// write that took nothing) when the file took fewer; *written then says
// how many bytes did go in.
int writeTakeFrames(TakeFile *t, long long frame, const char *bytes, size_t n, size_t *written);

// The same for the count pieces iov names, written one after another
// (iov is used up in the writing).
int writeTakeFramesv(TakeFile *t, long long frame, struct iovec *iov, int count, size_t *written);

// The one call that sets a take's length: the header's sizes say frames
// frames, and whatever the file holds after them (a take that was redone,
// continued over or dropped) is cut off. Every frame it states must be in
// the file already. Returns 1; 0 when the header or the cut could not be
// written (the file still reads whole, as far as its old sizes say).
int setTakeLength(TakeFile *t, long long frames);

// Makes the take file an RF64 file, so that its audio may pass 4 GiB;
// nothing happens to one that is. The audio stays where it is where the
// file system can insert a block before it (ext4, XFS); elsewhere it is
// copied once behind an RF64 header, into a file that takes the take
// file's name and lock; a take file without audio yet gets the RF64 header
// in place. Returns 1; 0 after a line saying why, with the take file the
// RIFF take it was (or, should the inserted block not come out again, let
// go: its descriptor closed, for the next start to put right).
int makeTakeRf64(TakeFile *t);

// Flushes the take file to disk. Returns 1; 0 with errno set.
int syncTake(TakeFile *t);

// The device and inode of the take file, for telling later whether a file
// is this take.
void takeIdentity(const TakeFile *t, dev_t *device, ino_t *inode);

// 1, after a message naming the folder, when another program holds the
// take file at path; 0 otherwise. Changes nothing.
int takeFileBusy(const char *path);

// Moves a take left in the take file at path aside, with a line saying
// where, unless a recording under way holds it; a turn to RF64 that a
// kill cut short is put right first, and a copy such a turn left beside
// it is removed. Creates nothing.
void keepLeftoverTake(const char *path);

// Where a take left in path goes: path without ".wav", a dash, the date
// and time stamp (YYYYMMDD-HHMMSS), then ".wav". name holds size bytes.
// Returns 0 when the name does not fit.
int asideName(const char *path, const char *stamp, char *name, int size);

#endif
