// The track-list and playback commands: play one track (p, 2p, p3, pp),
// play all (a), show attributes (t), reload (L), remove (-) and save (s).
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/audio.h"
#include "console/console.h"
#include "files/files.h"
#include "input/input.h"
#include "store/store.h"
#include "wav/wav.h"

// Plays track number n between the in and out points. A number outside
// the table names no slot and is passed over without a word; a number
// past the count names an empty slot, which PLAY reports as not found.
static void playNumber(ConsoleState *st, int n)
{
    char *name = trackSlot(st, n);
    if (!name) return;
    PLAY(name, st->device, st->inPoint, st->outPoint);
}

void playTrack(ConsoleState *st)
{
    printf("Enter track number:\n");
    // At end of input there is nothing to play; the loop then quits.
    if (readInt(&st->trackNumber) < 0) return;
    playNumber(st, st->trackNumber);
}

void playByNumber(ConsoleState *st, char *word)
{
    // strtok writes into the text it splits; the command word must stay
    // as typed for the loop's own test.
    char copy[kCommandBytes];
    snprintf(copy, sizeof copy, "%s", word);
    char *piece = strtok(copy, "p");
    // A word of nothing but p letters replays the current track.
    if (piece) {
        long n = strtol(piece, nullptr, 10);
        if (n > INT_MAX) n = INT_MAX;
        if (n < INT_MIN) n = INT_MIN;
        st->trackNumber = (int)n;
    }
    playNumber(st, st->trackNumber);
}

void playAll(ConsoleState *st)
{
    printf("Playing all!\n");
    for (int i = 1; i <= st->count; ++i) {
        printf("\nTrack %i\n", i);
        playNumber(st, i);
        if (caughtSignal()) break;   // Ctrl-C stops the whole list
    }
}

void showAttributes(ConsoleState *st)
{
    unsigned long rate;
    unsigned long long dataOffset, frames;
    unsigned int bytesPerSample, channels;
    for (int i = 1; i <= st->count; ++i) {
        char *name = trackSlot(st, i);
        if (!name) break;
        GetAttributes(name, &rate, &bytesPerSample, &channels, &dataOffset, &frames, 1);
    }
    waitForC(st->answer, sizeof st->answer, "\nEnter 'c' to continue\n");
    printf("\n");
}

int readListName(const ConsoleState *st, char *name)
{
    int got = readWord(name, kListNameBytes);
    if (!got) return 0;
    // A cut name would load, and later replace, some other file.
    if (got == kWordTooLong) {
        printf("List names are at most %i characters\n", kListNameBytes - 1);
        return -1;
    }
    if (st->recordName[0] != '\0' && sameFileName(name, st->recordName)) {
        printf("%s is the recording file, not a track list\n", name);
        return -1;
    }
    return 1;
}

void reloadList(ConsoleState *st)
{
    printf("1 = Load list from file: %s\n", st->listName);
    printf("2 = Enter new file name and load list\n");
    printf("3 = Return\n");
    // A word that is not a number must not act on an earlier selection.
    st->selection = 0;
    if (readInt(&st->selection) < 0) return;
    char previous[kListNameBytes];
    snprintf(previous, sizeof previous, "%s", st->listName);
    if (st->selection == 2) {
        printf("Enter file name containing list\n");
        char word[kListNameBytes];
        if (readListName(st, word) <= 0) return;
        snprintf(st->listName, sizeof st->listName, "%s", word);
    }
    // A file that is no list (a recording) was not loaded, and must not be
    // saved over as the list: the list keeps the name it had.
    if ((st->selection == 1 || st->selection == 2) &&
        GetList(st->listText, st->table, st->listName, &st->count, kListTextBytes,
                &st->listOrigin) == kListRefused)
        snprintf(st->listName, sizeof st->listName, "%s", previous);
}

void removeTrackCommand(ConsoleState *st)
{
    printf("Enter a track (1-%i) to remove from list or '0' to return\n", st->count);
    st->selection = 0;
    if (readInt(&st->selection) < 0) return;
    if (st->selection >= 1 && st->selection <= st->count) {
        RemoveTrack(st->table, st->selection, st->count);
        removeKeptLine(&st->listOrigin, st->selection, st->count);
        st->count -= 1;
    }
}

void saveAll(ConsoleState *st)
{
    // Only a list that really reached its file is reported as saved;
    // WriteList has said so when it could not.
    if (WriteList(st->listName, st->table, st->listText, st->count, &st->listOrigin))
        printf("Saved track list (%s)\n", st->listName);
    if (Store_Settings(st->channels, st->device, st->rate, st->bits, st->inPoint, st->outPoint,
                       st->duration, st->listName, st->recordName, &st->takeStart, &st->wav))
        printf("Saved settings\n");
    else
        printf("Unable to open %s\n", kSettingsFile);
}
