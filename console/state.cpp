// The console state and the small helpers every command shares: the take
// file's name, the defaults, text copies, track slots and the "c" wait.
// The command files call these; nothing here calls a command or the loop.
#include "console/console.h"

#include <cstdio>
#include <cstring>

#include "files/files.h"
#include "input/input.h"

const char *const kTakeFile = "tunevat_temp.wav";

int readRecordName(const ConsoleState *st, char *name)
{
    // The word and ".wav" must fit the field: 123 characters at most.
    char word[kRecordNameBytes - 4];
    int got = readWord(word, (int)sizeof word);
    if (!got) return 0;
    // A cut name would record into some other file, perhaps in another
    // folder.
    if (got == kWordTooLong) {
        printf("Recording names are at most %i characters before .wav\n", (int)sizeof word - 1);
        return -1;
    }
    copyText(name, word, kRecordNameBytes);
    appendWav(name, kRecordNameBytes);
    if (sameFileName(name, st->listName)) {
        printf("%s is the track list file, not a recording\n", name);
        return -1;
    }
    return 1;
}

void appendWav(char *name, int size)
{
    int room = size - 1 - 4;   // 4 = ".wav"
    if ((int)strlen(name) > room) name[room] = '\0';
    strcat(name, ".wav");
}

void setDefaults(ConsoleState *st)
{
    // Every field but the two big buffers, one by one, so that none is
    // forgotten when a field is added. The table and the list text are left
    // alone: the caller hands over a zero-filled state, and pages that were
    // never written cost the program no memory.
    st->channels = 2;
    st->rate = 44100;
    st->bits = 16;
    copyText(st->device, "default", sizeof st->device);
    st->inPoint = 0.0f;
    st->outPoint = 0.0f;
    st->duration = 0.0f;
    copyText(st->listName, "tlist.txt", sizeof st->listName);
    copyText(st->recordName, "", sizeof st->recordName);
    st->listGiven = 0;
    st->takeStart.preSeconds = 0.0f;
    st->takeStart.trigDb = 0.0f;
    st->wav.bwf = 0;
    st->wav.pair[0] = 0;
    st->wav.pair[1] = 0;

    st->trackNumber = 1;
    st->listHidden = 0;
    st->saveOnExit = 1;
    st->selection = 0;
    st->endSignal = 0;

    st->count = 0;
    // Nothing of a list file is kept yet. The notes per slot are part of
    // the zero-filled state, like the table they describe.
    st->listOrigin.path[0] = '\0';
    st->listOrigin.hasTail = 0;
    st->listOrigin.tailStart = 0;
    st->listOrigin.nameNote = kNameNotNoted;

    copyText(st->command, "0", sizeof st->command);
    copyText(st->answer, "0", sizeof st->answer);
    copyText(st->menuAnswer, "0", sizeof st->menuAnswer);
}

char *trackSlot(ConsoleState *st, int n)
{
    if (n < 1 || n > kTableSlots) return nullptr;
    return st->table + (long)(n - 1) * kSlotBytes;
}

void waitForC(char *answer, int size, const char *prompt)
{
    copyText(answer, "0", size);
    while (strcmp(answer, "c") != 0) {
        printf("%s", prompt);
        if (!readWord(answer, size)) break;   // end of input counts as "c"
    }
}
