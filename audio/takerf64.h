// What the take file's own files share about its RF64 layout: where an
// RF64 take keeps its sizes, and putting right a take file that a kill or a
// power cut left in the middle of its turn to RF64 (takerf64.cpp). Nothing
// outside the take file's files includes it.
#ifndef TUNEVAT_AUDIO_TAKERF64_H
#define TUNEVAT_AUDIO_TAKERF64_H

#include "audio/takefile.h"

// An RF64 take's sizes, in the ds64 chunk right after "WAVE": the RIFF
// size, the data size and the frames, 8 bytes each.
const long kDs64SizesAt = 20;
const long kDs64SizesBytes = 24;
// Added to the take file's name for the copy that turns it RF64 where no
// block can be inserted.
const char kRf64CopySuffix[] = ".rf64";

// What a turn to RF64 that a kill or a power cut cut short leaves: the
// RIFF take behind a block that holds zeros, or an RF64 header and zeros
// (no JUNK chunk yet). Puts the take file open as fd right when it is one:
// the block goes out again (the RIFF take it was) where the file system
// can take it out and the RIFF sizes can state the audio; otherwise the
// block takes the whole RF64 header and its JUNK chunk. Returns 1 when it
// was put right, 0 when the file is no such take (it is left as it is), -1
// with errno set when it is one that could not be put right (*audioAt then
// says where its audio starts).
int mendTurn(int fd, long long *audioAt);

#endif
