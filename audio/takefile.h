// The take file: one recorder per folder, and no take ever emptied.
//
// A recording claims the take file before it writes its header and holds
// it, locked with flock, until the record command has turned the take into
// the target (or left it where it is). A take that the file still holds
// when a recording starts, or when the program starts (left by a kill, a
// crash, or kept after a failed move), is first moved aside to a new name
// beside it, with its sizes made exact, and one line says where it went.
#ifndef TUNEVAT_AUDIO_TAKEFILE_H
#define TUNEVAT_AUDIO_TAKEFILE_H

// Claims the take file at path for a recording: opened only when it is a
// regular file and never through a symlink (created when missing), locked
// against every other tunevat, a take left in it moved aside, then emptied.
// Returns the descriptor, which stays open and locked until
// releaseTakeFile; -1 after a message (another recorder holds it, it is
// no regular file, or it cannot be opened or moved aside), with nothing
// that held audio changed.
int claimTakeFile(const char *path);

// Lets go of what claimTakeFile took; nothing happens when nothing is held.
void releaseTakeFile();

// 1, after a message naming the folder, when another program holds the
// take file at path; 0 otherwise. Changes nothing.
int takeFileBusy(const char *path);

// Moves a take left in the take file at path aside, with a line saying
// where, unless a recording under way holds it. Creates nothing.
void keepLeftoverTake(const char *path);

// Where a take left in path goes: path without ".wav", a dash, the date
// and time stamp (YYYYMMDD-HHMMSS), then ".wav". name holds size bytes.
// Returns 0 when the name does not fit.
int asideName(const char *path, const char *stamp, char *name, int size);

#endif
