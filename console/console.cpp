// Start-up, the command loop and its table, the parameter commands, the
// record settings menu, Help and the two ways of leaving. The commands of
// the other files are called from the table; they never call back here.
#include "console/console.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/audio.h"
#include "audio/takefile.h"
#include "files/files.h"
#include "input/input.h"
#include "store/store.h"

void Help()
{
    static const char *const lines[] = {
        "\nList Commands\n",
        "   'l' to hide or show track list",
        "   'L' to reload track list from file",
        "   '-' to remove a track from the list",
        "\nRecording Commands\n",
        "   'r' to record",
        "   'd' to set recording duration",
        "   'f' to enter filename for recording",
        "   'F' to select file in list to record to",
        "   'u' to adjust recording hardware settings",
        "\nPlayback Commands\n",
        "   'p' to play a track, or 2p for track 2, etc",
        "   'a' to play all playlist tracks in order",
        "   'i' to set in point of playback",
        "   'o' to set out point of playback",
        "   'j' to jump forward: out-point becomes in-point",
        "   'J' to jump backward: in-point becomes out-point",
        "   't' to check attributes of files in list",
        "",
        "   's' to save file list and settings",
        "   'q' to quit and save",
        "   'x' to exit without saving list or parameters",
        "\nLevel Commands\n",
        "   'm' to watch the input level without recording",
        "   'b' to set pre-roll: seconds a take keeps from before it starts",
        "   'g' to set a trigger level: a take starts when the input passes it",
        "\nWAV Commands\n",
        "   'w' to turn Broadcast WAV (the recording time) in new recordings on or off",
        "   'n' to choose the two channels played from files with more than two",
    };
    // A line that carries its own line feed is printed as it is; every
    // other one gets a line feed after it.
    for (const char *line : lines) {
        size_t n = strlen(line);
        printf(n > 0 && line[n - 1] == '\n' ? "%s" : "%s\n", line);
    }
    char answer[kAnswerBytes];
    waitForC(answer, sizeof answer, "\nEnter 'c' to continue\n");
}

// Asks for the list name until one is given that may name a list. At end
// of input the name stays as it was and 0 is returned.
static int askListName(ConsoleState *st)
{
    char word[kListNameBytes];
    for (;;) {
        printf("Enter the name of a new or existing wavefile list:\n");
        int got = readListName(st, word);
        if (got == 0) return 0;
        if (got > 0) {
            copyText(st->listName, word, sizeof st->listName);
            return 1;
        }
    }
}

// Loads the list. A name that is the recording file, or a file that is no
// list (a recording, a file holding NUL bytes), also one that the settings
// name, is refused, and another name asked for until one loads or is new.
// When input ends first the list has no name: the table stays empty, and
// no save can write it over the refused file.
static void loadListAtStart(ConsoleState *st)
{
    for (;;) {
        if (st->recordName[0] != '\0' && sameFileName(st->listName, st->recordName))
            printf("%s is the recording file, not a track list\n", st->listName);
        else if (GetList(st->listText, st->table, st->listName, &st->count, kListTextBytes,
                         &st->listOrigin) != kListRefused)
            return;
        if (!askListName(st)) {
            copyText(st->listName, "", sizeof st->listName);
            printf("No list name: the track list will not be saved\n");
            return;
        }
    }
}

// What "b" and "g" take, and what the settings file may set; not a
// number (NaN) is refused too.
static int preRollAllowed(float seconds) { return seconds >= 0.0f && seconds <= kMaxPreSeconds; }
static int triggerAllowed(float db) { return db >= kLowestTrigDb && db <= 0.0f; }

// Names in the settings file that do not fit are refused as the prompts
// refuse them, one line each; the default (or the prompt) stands.
static void sayTooLong(int tooLong)
{
    if (tooLong & kTooLongDevice)
        printf("Device names are at most %i characters: the one in %s is not used\n",
               kDeviceBytes - 1, kSettingsFile);
    if (tooLong & kTooLongList)
        printf("List names are at most %i characters: the one in %s is not used\n",
               kListNameBytes - 1, kSettingsFile);
    if (tooLong & kTooLongRecordName)
        printf("Recording names are at most %i characters: the one in %s is not used\n",
               kRecordNameBytes - 1, kSettingsFile);
}

static void startUp(ConsoleState *st)
{
    printf("\nTunevat 1.05 by Anwick\n\n");
    setDefaults(st);

    // A settings file that is a FIFO, a device or a directory is not read
    // (a FIFO would block for ever), nor one the user may not read; both
    // are said, and the defaults stand. A missing one is silent.
    int notRegular = 0;
    FILE *f = fopenRegular(kSettingsFile, "r", &notRegular);
    if (f) {
        fclose(f);
        printf("Reading rcvat.txt file\n");
        int tooLong = 0;
        GET_PARAMS(&st->channels, st->device, &st->rate, &st->bits, &st->inPoint,
                   &st->outPoint, &st->duration, st->listName, &st->listGiven,
                   kSettingsFile, st->recordName, &st->takeStart, &st->wav,
                   &tooLong);
        sayTooLong(tooLong);
        long readBytes = 0;
        long unread = unreadSettingsLines(kSettingsFile, &readBytes);
        if (unread > 0)
            printf("Lines of %s not read (after its first %li bytes), left out when saving: %li\n",
                   kSettingsFile, readBytes, unread);
    } else if (notRegular) {
        printf("Cannot read %s: not a regular file\n", kSettingsFile);
    } else if (errno != ENOENT) {
        printf("Cannot read %s: %s\n", kSettingsFile, strerror(errno));
    }
    // At end of input the list name keeps its default.
    if (st->listGiven == 0) askListName(st);
    if (st->channels != 1 && st->channels != 2) {
        st->channels = 2;
        printf("Channels were set to illegal value, setting to 2.\n");
    }
    if (st->bits != 16 && st->bits != 24) {
        st->bits = 16;
        printf("Bits were set to illegal value, setting to 16.\n");
    }
    if (!preRollAllowed(st->takeStart.preSeconds)) {
        st->takeStart.preSeconds = 0.0f;
        printf("Pre-roll was set to illegal value, setting to 0.\n");
    }
    if (!triggerAllowed(st->takeStart.trigDb)) {
        st->takeStart.trigDb = 0.0f;
        printf("Trigger level was set to illegal value, turning it off.\n");
    }
    printf("-----------------------------\n");
    printf("Current Recording Parameters:\n");
    printf("   Channels: %i\n", st->channels);
    printf("   Sample rate: %i\n", (int)st->rate);
    printf("   Bits: %i\n", (int)st->bits);
    printf("   Device: %s\n", st->device);
    printf("   File: %s\n", st->recordName);
    printf("-----------------------------\n\n");

    choosePlayedPair(st->wav.pair[0], st->wav.pair[1]);
    loadListAtStart(st);
    // A recording whose final save a kill cut short is made good; a take
    // that a kill or a failed move left behind is then put where no
    // recording will empty it, and the user is told where; and what saves
    // that a kill cut short left beside the settings and the list goes.
    recoverInterruptedSave(st);
    keepLeftoverTake(kTakeFile);
    removeLeftSaves(kSettingsFile);
    removeLeftSaves(st->listName);
    printf("Type h at any time to get a list of commands\n");
}

// "b": the pre-roll in seconds. A value out of range is refused with a
// line and the pre-roll stays; a word that is no number is read as the
// next command, as at the other number prompts.
static void askPreRoll(ConsoleState *st)
{
    printf("Enter pre-roll in seconds (0 to %g):\n", (double)kMaxPreSeconds);
    float seconds = 0.0f;
    if (readFloat(&seconds) != 1) return;
    if (preRollAllowed(seconds)) st->takeStart.preSeconds = seconds;
    else printf("Pre-roll is 0 to %g seconds\n", (double)kMaxPreSeconds);
}

// "g": the trigger level in dBFS, 0 for off; as "b" for the rest.
static void askTrigger(ConsoleState *st)
{
    printf("Enter trigger level in dBFS (%g to 0, 0 for off):\n", (double)kLowestTrigDb);
    float db = 0.0f;
    if (readFloat(&db) != 1) return;
    if (triggerAllowed(db)) st->takeStart.trigDb = db;
    else printf("The trigger level is %g to 0 dBFS\n", (double)kLowestTrigDb);
}

static void showStatus(const ConsoleState *st)
{
    if (st->listHidden != 1) {
        printf("\nTrack List:\n");
        for (int i = 1; i <= st->count; ++i)
            printf("\t%i %s\n", i, st->table + (long)(i - 1) * kSlotBytes);
        printf("\n");
    }
    printf("Playback:\tIn %.2f\t\tOut %.2f\n", st->inPoint, st->outPoint);
    printf("Recording: \tDur %.2f\tFilename: %s\n", st->duration, st->recordName);
}

static void jumpForward(ConsoleState *st)
{
    float oldIn = st->inPoint;
    st->inPoint = st->outPoint;
    st->outPoint = st->outPoint + (st->outPoint - oldIn);
}

static void jumpBackward(ConsoleState *st)
{
    float oldIn = st->inPoint;
    float oldOut = st->outPoint;
    st->outPoint = oldIn;
    st->inPoint = oldIn - (oldOut - oldIn);
    if (st->inPoint < 0) st->inPoint = 0;
    if (oldIn < 0) st->outPoint = 0;
}

static void selectRecordName(ConsoleState *st)
{
    printf("Select a file in list for record filename (1-%i)\n", st->count);
    // A word that is not a number must not select a track left over from
    // an earlier prompt.
    st->selection = 0;
    readInt(&st->selection);
    if (st->selection < 1 || st->selection > st->count) return;
    const char *track = trackSlot(st, st->selection);
    // A track the table holds cut names some other file, and the list file
    // is no recording: neither is taken.
    if (st->listOrigin.lineBytes[st->selection - 1] > 0)
        printf("Track %i is longer than %i characters: it cannot be recorded to\n", st->selection,
               kRecordNameBytes - 1);
    else if (sameFileName(track, st->listName))
        printf("%s is the track list file, not a recording\n", track);
    else
        copyText(st->recordName, track, sizeof st->recordName);
}

static void recordSettingsMenu(ConsoleState *st)
{
    for (;;) {
        printf("Record Settings\n");
        printf("1 = change samplerate: %i\n", (int)st->rate);
        printf("2 = toggle bit depth: %i\n", (int)st->bits);
        printf("3 = toggle channels: %i\n", st->channels);
        printf("4 = change soundcard: %s\n", st->device);
        printf("5 = done\n");
        // End of input leaves the menu as "5" does.
        if (!readWord(st->command, sizeof st->command)) copyText(st->command, "5", sizeof st->command);
        if (strtol(st->command, nullptr, 10) == 1) {
            printf("Enter samplerate:\n");
            // End of input keeps the rate and leaves the menu.
            if (readWord(st->command, sizeof st->command))
                st->rate = (unsigned int)strtol(st->command, nullptr, 10);
            else
                copyText(st->command, "5", sizeof st->command);
        }
        if (strtol(st->command, nullptr, 10) == 2) st->bits = st->bits == 16 ? 24 : 16;
        if (strtol(st->command, nullptr, 10) == 3) st->channels = st->channels == 2 ? 1 : 2;
        if (strtol(st->command, nullptr, 10) == 4) {
            printf("Enter soundcard device name:\n");
            char word[kDeviceBytes];
            int got = readWord(word, sizeof word);
            // A cut name would open some other device, or none.
            if (got == kWordTooLong) printf("Device names are at most %i characters\n", kDeviceBytes - 1);
            else if (got) copyText(st->device, word, sizeof st->device);
            else copyText(st->command, "5", sizeof st->command);
        }
        if (strtol(st->command, nullptr, 10) == 5) return;
    }
}

// "w": new recordings carry a bext chunk, or stop carrying it.
static void toggleBroadcastWav(ConsoleState *st)
{
    st->wav.bwf = !st->wav.bwf;
    printf("Broadcast WAV (bext chunk) in new recordings: %s\n", st->wav.bwf ? "on" : "off");
}

// "n": the two channels played from files of more than two, or 0 for all
// of them (1 and 2 where the device takes no more). A word that is not a
// number, or a channel outside 1..65535, leaves the pair as it was.
static void choosePairCommand(ConsoleState *st)
{
    char now[32] = "all";
    if (st->wav.pair[0] > 0)
        snprintf(now, sizeof now, "%i and %i", st->wav.pair[0], st->wav.pair[1]);
    printf("Enter the two channels to play from files with more than two, or 0 for all (now %s):\n",
           now);
    int first = -1, second = -1;
    if (readInt(&first) <= 0) return;
    if (first != 0 && readInt(&second) <= 0) return;
    if (first == 0) second = 0;
    else if (first < 1 || first > 65535 || second < 1 || second > 65535) return;
    st->wav.pair[0] = first;
    st->wav.pair[1] = second;
    choosePlayedPair(first, second);
}

// Runs one command word; the word stays in st->command for the loop test.
static void dispatch(ConsoleState *st)
{
    const char *w = st->command;
    if (strcmp(w, "r") == 0) recordCommand(st);
    else if (strcmp(w, "p") == 0) playTrack(st);
    else if (strchr(w, 'p')) playByNumber(st, st->command);
    else if (strcmp(w, "a") == 0) playAll(st);
    else if (strcmp(w, "i") == 0) {
        printf("Enter start time in seconds:\n");
        readFloat(&st->inPoint);
    } else if (strcmp(w, "o") == 0) {
        printf("Enter stop time in seconds:\n");
        readFloat(&st->outPoint);
    } else if (strcmp(w, "j") == 0) jumpForward(st);
    else if (strcmp(w, "J") == 0) jumpBackward(st);
    else if (strcmp(w, "d") == 0) {
        printf("Enter record duration in seconds:\n");
        readFloat(&st->duration);
    } else if (strcmp(w, "f") == 0) {
        printf("Enter recording file name:\n");
        char name[kRecordNameBytes];
        if (readRecordName(st, name) > 0) copyText(st->recordName, name, sizeof st->recordName);
    } else if (strcmp(w, "F") == 0) selectRecordName(st);
    else if (strcmp(w, "l") == 0) st->listHidden = !st->listHidden;
    else if (strcmp(w, "s") == 0) saveAll(st);
    else if (strcmp(w, "t") == 0) showAttributes(st);
    else if (strcmp(w, "h") == 0) Help();
    else if (strcmp(w, "L") == 0) reloadList(st);
    else if (strcmp(w, "-") == 0) removeTrackCommand(st);
    else if (strcmp(w, "x") == 0) st->saveOnExit = 0;
    else if (strcmp(w, "u") == 0) recordSettingsMenu(st);
    else if (strcmp(w, "m") == 0)
        watchInputLevel(st->device, st->rate, st->channels, (int)st->bits);
    else if (strcmp(w, "b") == 0) askPreRoll(st);
    else if (strcmp(w, "g") == 0) askTrigger(st);
    else if (strcmp(w, "w") == 0) toggleBroadcastWav(st);
    else if (strcmp(w, "n") == 0) choosePairCommand(st);
    // "q" and unknown words: nothing to do here.
}

static void leave(ConsoleState *st)
{
    if (st->saveOnExit == 0) {
        printf("Exit without saving list and settings? (y,n)\n");
        // End of input is not a "y": the list and settings are saved.
        if (!readWord(st->answer, sizeof st->answer)) copyText(st->answer, "", sizeof st->answer);
        if (strcmp(st->answer, "y") == 0) return;
    }
    printf("Saving list and parameters\n");
    WriteList(st->listName, st->table, st->listText, st->count, &st->listOrigin);
    // As "s" does: a settings file that could not be written is not
    // passed over in silence (the old file is still whole).
    if (!Store_Settings(st->channels, st->device, st->rate, st->bits, st->inPoint, st->outPoint,
                        st->duration, st->listName, st->recordName, &st->takeStart, &st->wav))
        printf("Unable to open %s\n", kSettingsFile);
}

// Runs one command with the user's signals caught for the whole of it:
// Ctrl-C stops what the command does and returns to the prompt, SIGTERM
// and SIGHUP end the program once the command has let go of its files.
static void runCommand(ConsoleState *st)
{
    SignalCatch signals;
    catchSignals(&signals, 1);
    dispatch(st);
    releaseSignals(&signals);
    // A Ctrl-C that stopped a playback or a take has done its work.
    forgetStop();
    if (endRequested() && !st->endSignal) st->endSignal = caughtSignal();
}

int runConsole(ConsoleState *st)
{
    startUp(st);
    for (;;) {
        if (strcmp(st->command, "q") == 0 || strcmp(st->command, "x") == 0) break;
        showStatus(st);
        // End of input at the prompt quits as "q" does, saving everything.
        if (!readWord(st->command, sizeof st->command)) copyText(st->command, "q", sizeof st->command);
        runCommand(st);
        // SIGTERM or SIGHUP during a command (a recording's take is in the
        // take file): nothing else is to be touched.
        if (st->endSignal) {
            fflush(stdout);
            return 0;
        }
    }
    leave(st);
    fflush(stdout);
    return 0;
}
