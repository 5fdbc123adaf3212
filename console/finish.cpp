// The final save of a recording: the kept take becomes the target (moved
// onto it, or its audio added to it) and the target joins the track list.
//
// A kill can come at any instant of it. Before the first step that changes
// the target, a note is written beside the take file (and synced) that
// names the target, the take and the list; it is removed, and the removal
// synced, only once the list names the target. The next start that finds
// the note (its lock free: no tunevat is still saving) tells from the
// files which side of the change the kill fell on:
// - the target does not hold the take yet: the take stays in the take file
//   and is moved aside with the usual line, the target as it was;
// - the target holds it (it is the take file renamed, or its audio holds
//   every byte of the take): the take file is removed if it is still there
//   (its audio is in the target), the start says where the take is, and
//   the target is added to the list if the list lacks it.
// Unfinished temporary files of saves that a kill left beside the target
// or the list are removed then too.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "audio/takefile.h"
#include "console/console.h"
#include "files/files.h"
#include "wav/wav.h"

// The note beside the take file while a recording is saved.
const char *const kSaveNote = ".tunevat_temp.wav.saving";

// Bytes compared at a time when telling whether the target holds the take.
static const long long kCompareBytes = 65536;
// Tries at writing the note when another tunevat's start removes its name.
static const int kNoteTries = 3;

// What the note says.
struct SaveNote {
    int append;                  // 1: the take's audio was being added to the target
    char target[kPathBytes];     // the recording name, as the record command used it
    char list[kListNameBytes];   // the list file it was to join
    unsigned long long takeDevice, takeInode;
    long long keptBytes;         // audio bytes of the take
    long long takeAudioAt;       // where the take's audio starts in the take file
    long long beforeBytes;       // append: the target's audio before it
};

// --- The note on disk.

// Writes the note and syncs it and its folder. Returns the descriptor,
// open and locked until endNote, or -1 when it could not be written (a
// full disk, say: then nothing of it is left, and the save goes on
// without it, since moving a take onto its target needs no space).
static int beginNote(const SaveNote *n)
{
    char text[2 * kPathBytes + 256];
    int length = snprintf(text, sizeof text,
                          "kind\t%s\ntarget\t%s\nlist\t%s\ntake\t%llu %llu\nkept\t%lld\n"
                          "audio\t%lld\nbefore\t%lld\n",
                          n->append ? "append" : "new", n->target, n->list, n->takeDevice,
                          n->takeInode, n->keptBytes, n->takeAudioAt, n->beforeBytes);
    if (length <= 0 || length >= (int)sizeof text) return -1;
    // Locked before anything is written to it: another tunevat that starts
    // meanwhile removes only a note whose lock is free, so it never removes
    // this one; a name it removed between the open and the lock is made
    // anew.
    for (int attempt = 0; attempt < kNoteTries; ++attempt) {
        int fd = openRegular(kSaveNote, O_WRONLY | O_CREAT | O_NOFOLLOW, 0666);
        if (fd < 0) return -1;
        if (flock(fd, LOCK_EX) != 0) {
            close(fd);
            return -1;
        }
        if (!stillNamed(fd, kSaveNote)) {
            close(fd);
            continue;
        }
        if (ftruncate(fd, 0) != 0 || write(fd, text, (size_t)length) != length || fsync(fd) != 0) {
            unlink(kSaveNote);
            close(fd);
            return -1;
        }
        syncDirectory(kSaveNote);
        return fd;
    }
    return -1;
}

// The save is over (done or given up): the note goes, for good.
static void endNote(int fd)
{
    unlink(kSaveNote);
    syncDirectory(kSaveNote);
    close(fd);
}

// Reads the note open as fd. Returns 1 when it says all it must.
static int readNote(int fd, SaveNote *n)
{
    char text[2 * kPathBytes + 256];
    ssize_t got = pread(fd, text, sizeof text - 1, 0);
    if (got <= 0) return 0;
    text[got] = '\0';
    memset(n, 0, sizeof *n);
    int found = 0;
    for (char *line = strtok(text, "\n"); line; line = strtok(nullptr, "\n")) {
        char *tab = strchr(line, '\t');
        if (!tab) continue;
        *tab = '\0';
        const char *value = tab + 1;
        if (strcmp(line, "kind") == 0) {
            n->append = strcmp(value, "append") == 0;
            found |= 1;
        } else if (strcmp(line, "target") == 0) {
            found |= snprintf(n->target, sizeof n->target, "%s", value) < (int)sizeof n->target ? 2 : 0;
        } else if (strcmp(line, "list") == 0) {
            snprintf(n->list, sizeof n->list, "%s", value);
        } else if (strcmp(line, "take") == 0) {
            found |= sscanf(value, "%llu %llu", &n->takeDevice, &n->takeInode) == 2 ? 4 : 0;
        } else if (strcmp(line, "kept") == 0) {
            found |= sscanf(value, "%lld", &n->keptBytes) == 1 ? 8 : 0;
        } else if (strcmp(line, "audio") == 0) {
            found |= sscanf(value, "%lld", &n->takeAudioAt) == 1 ? 16 : 0;
        } else if (strcmp(line, "before") == 0) {
            sscanf(value, "%lld", &n->beforeBytes);
        }
    }
    return found == 31 && n->target[0] != '\0';
}

// --- Does the target hold the take?

// Whether n bytes at a in fd a equal n bytes at b in fd b, all of them.
static int sameBytes(int fdA, long long a, int fdB, long long b, long long n)
{
    char *bufA = (char *)malloc(2 * (size_t)kCompareBytes);
    if (!bufA) return 0;
    char *bufB = bufA + kCompareBytes;
    int same = 1;
    for (long long done = 0; same && done < n;) {
        size_t step = (size_t)(n - done < kCompareBytes ? n - done : kCompareBytes);
        same = pread(fdA, bufA, step, (off_t)(a + done)) == (ssize_t)step &&
               pread(fdB, bufB, step, (off_t)(b + done)) == (ssize_t)step &&
               memcmp(bufA, bufB, step) == 0;
        done += (long long)step;
    }
    free(bufA);
    return same;
}

// Whether the audio at dataAt of the file open as target holds the take's
// kept bytes (the take file open as take, audio from takeAt): its length
// and every byte. An old recording of the same length whose ends match the
// take's is not the take.
static int holdsTake(int target, long long dataAt, long long targetAudio, int take,
                     long long takeAt, long long kept, long long before)
{
    return targetAudio == before + kept && sameBytes(target, dataAt + before, take, takeAt, kept);
}

// Whether the take file open as take (-1: gone) is the note's take.
static int isNotedTake(int take, const SaveNote *n)
{
    struct stat sb;
    return take >= 0 && fstat(take, &sb) == 0 && (unsigned long long)sb.st_dev == n->takeDevice &&
           (unsigned long long)sb.st_ino == n->takeInode;
}

// Whether the change of the target was made. take is the take file (-1
// when its name is gone: it was moved onto the target, or removed after
// its audio was added, both after the change).
static int targetChanged(const SaveNote *n, int take)
{
    if (!isNotedTake(take, n)) return 1;
    struct stat sb;
    if (stat(n->target, &sb) != 0) return 0;
    if (!n->append && (unsigned long long)sb.st_dev == n->takeDevice &&
        (unsigned long long)sb.st_ino == n->takeInode)
        return 1;   // renamed onto the target (the take name is another file now)
    // Copied onto another file system, or its audio added: the bytes tell.
    FILE *f = fopenRegular(n->target, "rb", nullptr);
    if (!f) return 0;
    WavLayout w;
    locateWav(f, &w);
    int held = w.dataAt >= 0 && !w.dataCut &&
               holdsTake(fileno(f), w.dataOffset, w.audioBytes, take, n->takeAudioAt, n->keptBytes,
                         n->append ? n->beforeBytes : 0);
    fclose(f);
    return held;
}

// --- The track list.

// Adds name to the track list once, and rewrites the list file.
static void addToList(ConsoleState *st, const char *name)
{
    for (int i = 1; i <= st->count; ++i) {
        if (strcmp(trackSlot(st, i), name) == 0) return;
    }
    if (st->count >= kTableSlots) {
        printf("The track list is full (%i tracks): %s was not added\n", kTableSlots, name);
        return;
    }
    snprintf(trackSlot(st, st->count + 1), (size_t)kSlotBytes, "%s", name);
    st->count += 1;
    WriteList(st->listName, st->table, st->listText, st->count, &st->listOrigin);
}

// --- The save, and what the next start makes of a note.

static void takeKept()
{
    printf("The recording is kept in %s\n", kTakeFile);
}

int finishRecording(ConsoleState *st, int append, long long kept, long long existing)
{
    TakeFile *t = heldTake();
    SaveNote n;
    memset(&n, 0, sizeof n);
    n.append = append;
    snprintf(n.target, sizeof n.target, "%s", st->recordName);
    snprintf(n.list, sizeof n.list, "%s", st->listName);
    dev_t device;
    ino_t inode;
    takeIdentity(t, &device, &inode);
    n.takeDevice = (unsigned long long)device;
    n.takeInode = (unsigned long long)inode;
    n.keptBytes = kept;
    n.takeAudioAt = t->headerBytes;
    n.beforeBytes = append ? existing : 0;
    int note = beginNote(&n);
    int received;
    if (append) {
        received = appendTake(st->recordName, kTakeFile, kept, existing);
        if (received) {
            // Its audio is in the target now; the take file's name goes,
            // for good (a power cut must not bring it back as a take).
            remove(kTakeFile);
            syncDirectory(kTakeFile);
        }
    } else {
        // Onto the file a link names, or copied onto another file system.
        received = moveOver(kTakeFile, st->recordName);
    }
    if (received) addToList(st, st->recordName);
    else takeKept();
    if (note >= 0) endNote(note);
    return received;
}

void recoverInterruptedSave(ConsoleState *st)
{
    int fd = openRegular(kSaveNote, O_RDWR | O_NOFOLLOW, 0);
    if (fd < 0) return;
    // A note whose lock is held belongs to a tunevat that is saving now; a
    // note that lost its name before the lock was had is that tunevat's
    // finished one.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !stillNamed(fd, kSaveNote)) {
        close(fd);
        return;
    }
    SaveNote n;
    if (readNote(fd, &n)) {
        int take = openRegular(kTakeFile, O_RDONLY | O_NOFOLLOW, 0);
        if (take < 0) take = -1;
        if (targetChanged(&n, take)) {
            if (isNotedTake(take, &n)) {
                remove(kTakeFile);
                syncDirectory(kTakeFile);
            }
            printf("The take recorded before tunevat stopped is in %s\n", n.target);
            if (strcmp(n.list, st->listName) == 0) addToList(st, n.target);
        }
        if (take >= 0) close(take);
        removeLeftSaves(n.target);
        char real[kPathBytes];
        if (resolveLinks(n.target, real, sizeof real)) removeLeftSaves(real);
        removeLeftSaves(n.list);
    }
    endNote(fd);
}
