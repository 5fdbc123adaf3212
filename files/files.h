// The user's files, opened and saved safely. Below store/ and wav/ (and
// usable by every room); calls nothing of the program's own.
//
// Opening: only regular files are opened as data. A FIFO, a device or a
// directory under a track's, a target's or a list's name is refused at
// once, never waited on.
//
// Saving: a file is never rewritten in place. The new bytes go into a
// temporary file with a unique name, created with O_EXCL in the directory
// of the file being replaced; it is flushed to disk and renamed over the
// old file only when complete, and the directory is flushed after the
// rename. A symlink is followed to the file it names, and that file is
// replaced, keeping its mode (and its owner where the program may set
// it). SIGINT, SIGTERM and SIGHUP wait while a save is under way, so a
// save finishes or is abandoned whole and leaves no temporary file. The
// temporary file is locked (flock) until it has been renamed or removed:
// one that a kill left behind has no lock, and the next start removes it
// (removeLeftSaves).
#ifndef TUNEVAT_FILES_FILES_H
#define TUNEVAT_FILES_FILES_H

#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <sys/types.h>

// Longest path the save helper handles, NUL included.
const int kPathBytes = 4096;

// Result of openRegular for a name that exists but is not a regular file.
const int kNotRegularFile = -2;

// open(2) of path with flags (O_RDONLY, O_RDWR, O_WRONLY, with O_CREAT,
// O_EXCL, O_TRUNC, O_NOFOLLOW as wanted; mode for a created file) that
// never blocks on what it finds: the open itself does not wait, and the
// descriptor is kept only when it names a regular file (it is then in
// blocking mode again). Returns the descriptor; -1 with errno when the
// open failed; kNotRegularFile when the name exists but is a FIFO, a
// device, a socket or a directory (nothing was read from or written to
// it, and errno is EINVAL).
int openRegular(const char *path, int flags, mode_t mode);

// fopen(3) on top of openRegular. mode is "rb", "rb+", "wb", "ab" and the
// like ("w" and "a" create with 0666 less the umask). Returns the stream,
// or nullptr with errno set; *notRegular (when not null) is set to 1 when
// the name exists but is not a regular file, 0 otherwise.
FILE *fopenRegular(const char *path, const char *mode, int *notRegular);

// Follows path through any symlinks (relative ones from the link's own
// directory, at most 40) to the name of the file they lead to, which need
// not exist yet. Returns 1 with the name in out (outBytes bytes), 0 with
// errno set (ELOOP, ENAMETOOLONG, or what readlink reports).
int resolveLinks(const char *path, char *out, size_t outBytes);

// A save under way: built by beginSave, ended by finishSave.
struct SaveBeside {
    char target[kPathBytes];   // the file that is replaced, links resolved
    char temp[kPathBytes];     // the new file beside it, until the rename
    FILE *file;                // the new file, open for writing
    sigset_t oldMask;          // the signal mask to restore at the end
};

// Starts replacing path: resolves its links, creates the temporary file
// beside the target (mode and owner copied from the old file when it
// exists; otherwise 0666 less the umask) and opens it for writing, with
// SIGINT, SIGTERM and SIGHUP held back until finishSave. Returns 1, or 0
// with errno set and nothing left behind.
int beginSave(const char *path, SaveBeside *s);

// Ends the save: with ok, the file is flushed and synced, closed and
// renamed over the target, and the directory synced; returns 1. Without
// ok, or when any step fails, the temporary file is removed, the target
// is untouched, and 0 is returned with errno from the failing step. The
// signal mask is restored either way.
int finishSave(SaveBeside *s, int ok);

// Flushes the directory that holds path to disk, so that a rename in it
// survives a crash. File systems that cannot do it are left as they are.
void syncDirectory(const char *path);

// Removes the temporary files of saves (".tunevat-" and six characters)
// in the directory that holds path whose lock no running process holds:
// what a kill in the middle of a save left behind. Returns how many.
int removeLeftSaves(const char *path);

// Holds SIGINT, SIGTERM and SIGHUP back (they wait, pending) while files
// are changed that must change whole; restoreSignals lets them through.
void holdSignals(sigset_t *saved);
void restoreSignals(const sigset_t *saved);

// Gives the open file fd the owner and group of old where the program may
// (otherwise the group alone, or neither), then old's mode: the owner
// first, since a change of owner may clear set-id bits the mode then puts
// back.
void copyOwnerAndMode(int fd, const struct stat *old);

// Whether the names a and b lead to the same file: 1 when they are the
// same text, or when both exist and, links followed, are the same file
// (same device and inode: a hard link, "./x" for "x", a link to it); 0
// otherwise, also when either does not exist yet.
int sameFileName(const char *a, const char *b);

// Whether the name path (not followed when a link) still leads to the file
// open as fd: 1 yes, 0 when it names another file or nothing.
int stillNamed(int fd, const char *path);

// The free bytes of the file system that holds path (the folder of a
// file that does not exist yet) that this user may fill (root also the
// blocks kept back for root), or -1 when it cannot tell.
long long freeBytes(const char *path);

// The largest file the file system that holds path can keep: 4 GiB less
// one byte for FAT (as on most SD cards and USB sticks), whose type statfs
// names; as large as a file may be for every other type, an unknown one
// included. -1 when it cannot tell.
long long largestFile(const char *path);

// Whether the user may write path (links followed): 1 yes or no such
// file; 0 with errno when it exists and is not writable (root may write
// every file, as the kernel lets it).
int mayWrite(const char *path);

#endif
