// The record command, "r": name and duration, the existing-file menu, the
// append check, the recording itself, turning the take file into the
// target, and adding the target to the track list.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "audio/audio.h"
#include "audio/takefile.h"
#include "console/console.h"
#include "input/input.h"
#include "wav/wav.h"

enum RecordMode { kModeNew, kModeAppend, kModeAbandoned };

// A typed name gets ".wav" appended; reading stops at 123 characters so
// that the name with its extension fits the 128-byte field.
static const int kTypedNameBytes = kRecordNameBytes - 4;

// Reads a typed name into name and appends ".wav". Returns 0 at end of
// input (name unchanged).
static int readTypedName(char *name)
{
    char word[kTypedNameBytes];
    if (!readWord(word, (int)sizeof word)) return 0;
    snprintf(name, (size_t)kRecordNameBytes, "%s.wav", word);
    return 1;
}

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

// Is name the take file itself (the same name, or the same file)?
static int isTakeFile(const char *name)
{
    if (strcmp(name, kTakeFile) == 0) return 1;
    struct stat a, b;
    return stat(name, &a) == 0 && stat(kTakeFile, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
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
    // No setting makes such samples match: say what the file holds.
    char what[kFormatTextBytes];
    if (unsupportedFormat(name, what, sizeof what)) {
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
    *existing = (long long)(frames * channels * bytesPerSample);
    // Refuse before recording what the data size field could not state
    // afterwards.
    double planned = (double)st->rate * st->duration * (double)(st->channels * (int)(st->bits / 8));
    if ((double)*existing + planned > (double)kMaxAudioBytes) {
        printf("%s cannot take another %.2f sec: a WAV file holds at most %lli bytes of audio\n",
               name, st->duration, kMaxAudioBytes);
        return kModeAbandoned;
    }
    return kModeAppend;
}

static void takeKept()
{
    printf("The recording is kept in %s\n", kTakeFile);
}

// Does the take file hold all kept bytes? A take that could not be
// written whole (a full disk, say) must neither replace nor extend the
// target: the target keeps its audio and the take file what reached it.
static int takeWhole(const char *name, long kept)
{
    struct stat sb;
    if (stat(kTakeFile, &sb) != 0) {
        printf("Cannot open %s: %s\n", kTakeFile, strerror(errno));
        return 0;
    }
    long held = (long)sb.st_size - kWavHeaderBytes;
    if (held >= kept) return 1;
    printf("%s holds only %li of the %li bytes recorded; %s was not changed\n", kTakeFile,
           held < 0 ? 0L : held, kept, name);
    takeKept();
    return 0;
}

// Turns the take file (kept bytes of audio) into a new or replaced target.
// The take file is finished first (data size, dropped takes cut off, RIFF
// size) and then moved, so a failure never touches the target. Returns 1
// when the target holds the recording.
static int finaliseNew(const char *name, long kept)
{
    if (!FIX_SIZE(kTakeFile, kept) || !truncateFile(kTakeFile, kWavHeaderBytes + kept) ||
        !setRiffSize(kTakeFile)) {
        takeKept();
        return 0;
    }
    // Onto the file a link names, or copied onto another file system.
    if (moveOver(kTakeFile, name)) return 1;
    takeKept();
    return 0;
}

// Adds kept bytes of the take file to the audio of the existing target,
// which held existing bytes of whole frames at the append check. Returns 1
// when the target holds them; otherwise it is as it was and the take file
// stays.
static int finaliseAppend(const char *name, long kept, long long existing)
{
    if (!appendTake(name, kTakeFile, kept, existing)) {
        takeKept();
        return 0;
    }
    remove(kTakeFile);
    return 1;
}

// Adds the target to the track list once, and rewrites the list file.
static void addToList(ConsoleState *st)
{
    for (int i = 1; i <= st->count; ++i) {
        if (strcmp(trackSlot(st, i), st->recordName) == 0) return;
    }
    if (st->count >= kTableSlots) {
        printf("The track list is full (%i tracks): %s was not added\n", kTableSlots,
               st->recordName);
        return;
    }
    snprintf(trackSlot(st, st->count + 1), (size_t)kSlotBytes, "%s", st->recordName);
    st->count += 1;
    WriteList(st->listName, st->table, st->listText, st->count, &st->listOrigin);
}

// The existing-file menu. Returns the mode chosen: new (replace or a new
// name that does not exist), append (check passed; the target's audio
// bytes in *existing) or abandoned.
static RecordMode existingFileMenu(ConsoleState *st, long long *existing)
{
    for (;;) {
        const char *name = st->recordName;
        if (isTakeFile(name)) {
            printf("%s is where takes are recorded; choose another name\n", name);
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
            if (!readTypedName(st->recordName)) return kModeAbandoned;
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

// Turns the kept take into the target and lists it. SIGINT, SIGTERM and
// SIGHUP wait meanwhile, so the target, the take file and the list each
// end up whole: as they were, or with the take.
static void finalise(ConsoleState *st, RecordMode mode, long kept, long long existing)
{
    sigset_t outside;
    holdSignals(&outside);
    if (takeWhole(st->recordName, kept)) {
        int received = mode == kModeAppend ? finaliseAppend(st->recordName, kept, existing)
                                           : finaliseNew(st->recordName, kept);
        if (received) addToList(st);
    }
    restoreSignals(&outside);
}

void recordCommand(ConsoleState *st)
{
    // One recorder per folder: a second one is turned away before it asks
    // anything or touches any file.
    if (takeFileBusy(kTakeFile)) return;
    if (st->recordName[0] == '\0') {
        printf("Enter the recording file name:\n");
        if (!readTypedName(st->recordName)) return;
    }
    if (!askDuration(st)) return;

    long long existing = 0;
    RecordMode mode = existingFileMenu(st, &existing);
    if (mode == kModeAbandoned) return;

    long kept = RECORD(st->device, st->rate, st->duration, st->channels, (int)st->bits, kTakeFile);
    if (kept == kRecordEnded) {
        st->endSignal = caughtSignal();
    } else if (kept > 0) {
        finalise(st, mode, kept, existing);
    }
    // Nothing kept: the target is not touched. The take file is let go
    // only now, once the take has gone where it belongs.
    releaseTakeFile();
}
