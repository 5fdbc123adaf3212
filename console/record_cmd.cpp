// The record command, "r": name and duration, the existing-file menu, the
// append check, the recording itself, turning the take file into the
// target, and adding the target to the track list.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "audio/audio.h"
#include "audio/takefile.h"
#include "console/console.h"
#include "files/files.h"
#include "input/input.h"
#include "wav/wav.h"

enum RecordMode { kModeNew, kModeAppend, kModeAbandoned };

// Asks for the duration until it is above zero. A word that is not a
// number is read and thrown away before asking again. Returns 0 at end of
// input.
static int askDuration(ConsoleState *st)
{
    while (!(st->duration > 0)) {
        printf("Enter the length of recording time in seconds:\n");
        int r = readFloat(&st->duration);
        if (r < 0) return 0;
        if (r == 0) {
            char word[kAnswerBytes];
            if (!readWord(word, (int)sizeof word)) return 0;
        }
    }
    return 1;
}

// Room a header may grow by when the target turns RF64: the ds64 chunk.
static const long long kRf64Growth = 36;
// Frames a take is rounded up to at most: the period asked of a device.
static const long long kTakeRounding = 4096;

// The audio bytes a take may bring to the target, which is length bytes
// long now (0: made new, with a header of header bytes at most), as its
// file system keeps files: -1 for no limit.
static long long targetRoom(const char *name, long long length, long long header)
{
    long long largest = largestFile(name);
    if (largest < 0 || largest == LLONG_MAX) return -1;
    long long room = largest - (length > 0 ? length : header) - kRf64Growth;
    return room > 0 ? room : 0;
}

// Whether one take of the planned duration fits what the target's file
// system keeps, the target being length bytes long now (0: made new); says
// why not. Sets the room RECORD may fill.
static int takeFitsTarget(ConsoleState *st, long long length)
{
    long long header = st->wav.bwf ? kMaxHeaderBytes : kRf64HeaderBytes;
    long long room = targetRoom(st->recordName, length, header);
    limitRecording(room);
    if (room < 0) return 1;
    long long frames = (long long)((double)st->rate * st->duration);
    frames = (frames + kTakeRounding - 1) / kTakeRounding * kTakeRounding;
    long long bytes = frames * st->channels * (long long)(st->bits / 8);
    if (bytes <= room) return 1;
    printf("%s cannot take another %.2f sec: its file system keeps files of at most %lli bytes\n",
           st->recordName, st->duration, largestFile(st->recordName));
    return 0;
}

// Describes in what (whatBytes bytes) a format that no setting can record:
// samples other than 2 or 3 bytes, more than two channels; what stays ""
// for one that a setting can.
static void unsettableFormat(unsigned int bytesPerSample, unsigned int channels, char *what,
                             size_t whatBytes)
{
    int width = bytesPerSample != 2 && bytesPerSample != 3;
    int many = channels != 1 && channels != 2;
    if (width && many)
        snprintf(what, whatBytes, "%u channels of %u-bit samples", channels, bytesPerSample * 8);
    else if (width)
        snprintf(what, whatBytes, "%u-bit samples", bytesPerSample * 8);
    else if (many)
        snprintf(what, whatBytes, "%u channels", channels);
    else
        what[0] = '\0';
}

// The append check on the existing target. Returns kModeAppend, with the
// target's audio bytes in whole frames in *existing, when the user may
// write it, its samples are integer PCM, its format equals the settings
// and its audio can take another take; otherwise kModeAbandoned after
// saying why.
static RecordMode appendCheck(ConsoleState *st, long long *existing)
{
    const char *name = st->recordName;
    if (!targetWritable(name)) return kModeAbandoned;
    unsigned long rate = 0;
    unsigned long long dataOffset = 0, frames = 0;
    unsigned int bytesPerSample = 0, channels = 0;
    if (!GetAttributes(name, &rate, &bytesPerSample, &channels, &dataOffset, &frames, 0))
        return kModeAbandoned;
    // No setting makes such samples match (a coded format, 8 or 32 bits,
    // more than two channels): say what the file holds, rather than ask for
    // a setting that does not exist.
    char what[kFormatTextBytes];
    if (!unsupportedFormat(name, what, sizeof what)) unsettableFormat(bytesPerSample, channels, what, sizeof what);
    if (what[0] != '\0') {
        printf("Cannot record at the end of %s: it holds %s\n", name, what);
        return kModeAbandoned;
    }
    int failed = 0;
    if (rate != st->rate) {
        printf("You cannot record into this file until you change the recording samplerate to %i\n",
               (int)rate);
        failed = 1;
    }
    if (bytesPerSample != st->bits / 8) {
        printf("You cannot record into this file until you change the recording bit depth to %i\n",
               (int)bytesPerSample * 8);
        failed = 1;
    }
    if (channels != (unsigned int)st->channels) {
        printf("You cannot record into this file until you change the recording channels to %i\n",
               (int)channels);
        failed = 1;
    }
    if (failed) {
        waitForC(st->answer, (int)sizeof st->answer, "Enter 'c' to continue\n");
        return kModeAbandoned;
    }
    *existing = (long long)frames * channels * bytesPerSample;
    // Refuse before recording what the target's file system could not
    // keep afterwards (FAT keeps files under 4 GiB).
    struct stat sb;
    long long length = stat(name, &sb) == 0 ? (long long)sb.st_size : 0;
    return takeFitsTarget(st, length) ? kModeAppend : kModeAbandoned;
    return kModeAppend;
}

// The existing-file menu. Returns the mode chosen: new (replace or a new
// name that does not exist), append (check passed; the target's audio
// bytes in *existing) or abandoned.
static RecordMode existingFileMenu(ConsoleState *st, long long *existing)
{
    for (;;) {
        const char *name = st->recordName;
        if (sameFileName(name, kTakeFile)) {
            printf("%s is where takes are recorded; choose another name\n", name);
            return kModeAbandoned;
        }
        // A name from the settings or the list may lead to the list file.
        if (sameFileName(name, st->listName)) {
            printf("%s is the track list file, not a recording\n", name);
            return kModeAbandoned;
        }
        // stat, not an open for reading: a file that exists but cannot be
        // read must not be replaced without asking.
        struct stat sb;
        if (stat(name, &sb) != 0) return kModeNew;
        printf("%s exists\n", name);
        printf("1 = erase and record over %s\n", name);
        printf("2 = enter a different name\n");
        printf("3 = play %s\n", name);
        printf("4 = record at the end of %s\n", name);
        printf("5 = return without recording\n");
        // End of input gives up, as "5" does.
        if (!readWord(st->menuAnswer, (int)sizeof st->menuAnswer))
            snprintf(st->menuAnswer, sizeof st->menuAnswer, "5");
        const char *a = st->menuAnswer;
        if (strcmp(a, "1") == 0) {
            // A file that may not be written is not recorded over; the
            // menu comes again for another name.
            if (targetWritable(name)) return kModeNew;
        } else if (strcmp(a, "2") == 0) {
            printf("Enter a new filename:\n");
            // A name refused (too long, the list file) leaves the menu for
            // the name it was shown for.
            char newName[kRecordNameBytes];
            int got = readRecordName(st, newName);
            if (got == 0) return kModeAbandoned;
            if (got > 0) copyText(st->recordName, newName, sizeof st->recordName);
        } else if (strcmp(a, "3") == 0) {
            printf("Playing %s ...\n", name);
            PLAY(name, st->device, 0.0f, 3600.0f);
            forgetStop();   // a Ctrl-C that stopped it has done its work
        } else if (strcmp(a, "4") == 0) {
            return appendCheck(st, existing);
        } else if (strcmp(a, "5") == 0) {
            return kModeAbandoned;
        }
    }
}

// Does the claimed take file hold all kept bytes? A take that could not
// be written whole (a full disk, say) must neither replace nor extend the
// target: the target keeps its audio and the take file what reached it.
static int takeWhole(const char *name, long long kept)
{
    TakeFile *t = heldTake();
    struct stat sb;
    if (!t || fstat(t->fd, &sb) != 0) {
        printf("Cannot open %s: %s\n", kTakeFile, strerror(t ? errno : EBADF));
        return 0;
    }
    long long held = (long long)sb.st_size - t->headerBytes;
    if (held >= kept) return 1;
    printf("%s holds only %lli of the %lli bytes recorded; %s was not changed\n", kTakeFile,
           held < 0 ? 0LL : held, kept, name);
    printf("The recording is kept in %s\n", kTakeFile);
    return 0;
}

// Turns the kept take into the target and lists it. SIGINT, SIGTERM and
// SIGHUP wait meanwhile, so the target, the take file and the list each
// end up whole; a kill, which nothing holds back, is made good at the
// next start (finish.cpp).
static void finalise(ConsoleState *st, RecordMode mode, long long kept, long long existing)
{
    sigset_t outside;
    holdSignals(&outside);
    if (takeWhole(st->recordName, kept)) finishRecording(st, mode == kModeAppend, kept, existing);
    restoreSignals(&outside);
}

void recordCommand(ConsoleState *st)
{
    // One recorder per folder: a second one is turned away before it asks
    // anything or touches any file.
    if (takeFileBusy(kTakeFile)) return;
    if (st->recordName[0] == '\0') {
        printf("Enter the recording file name:\n");
        char name[kRecordNameBytes];
        if (readRecordName(st, name) <= 0) return;
        copyText(st->recordName, name, sizeof st->recordName);
    }
    if (!askDuration(st)) return;

    long long existing = 0;
    RecordMode mode = existingFileMenu(st, &existing);
    if (mode == kModeAbandoned) return;
    if (mode == kModeNew && !takeFitsTarget(st, 0)) return;

    // A save that a kill cut short is made good before the take file is
    // claimed again.
    recoverInterruptedSave(st);
    // An append goes on right after what the file holds: no pre-roll.
    startTakesWith(mode == kModeAppend ? 0.0f : st->takeStart.preSeconds,
                   st->takeStart.trigDb);
    recordBroadcastWav(st->wav.bwf);
    long long kept =
        RECORD(st->device, st->rate, st->duration, st->channels, (int)st->bits, kTakeFile);
    if (kept == kRecordEnded) {
        st->endSignal = caughtSignal();
    } else if (kept > 0) {
        finalise(st, mode, kept, existing);
    }
    // Nothing kept: the target is not touched. The take file is let go
    // only now, once the take has gone where it belongs.
    releaseTakeFile();
}
