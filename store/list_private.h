// What the track list's load (tracklist.cpp) and save (listsave.cpp)
// share; nothing outside store/ includes it.
#ifndef TUNEVAT_STORE_LIST_PRIVATE_H
#define TUNEVAT_STORE_LIST_PRIVATE_H

#include <cstdio>
#include <sys/stat.h>

#include "store/store.h"

// Why a file is no track list, when it is not one, and the words for it
// ("song.wav is a WAV file, not a track list").
enum NotAList { kIsAList, kWavFile, kNulBytes };
extern const char *const kNotAListReason[];

// Reads f from its start to its end. A WAV file begins with a RIFF, RF64
// or BW64 tag and has "WAVE" at offset 8; a NUL byte anywhere marks any
// other binary file, a RIFF file of another kind included (its chunk
// sizes are full of zero bytes). A list is text: one name a line.
NotAList whyNotAList(FILE *f);

// Notes in origin the file sb describes, as it is now: device, inode, size
// and modification time.
void noteFile(ListOrigin *origin, const struct stat &sb);

// Notes in origin the file that the list name leads to now (sb), or that
// no list came from it (sb null).
void noteName(ListOrigin *origin, const struct stat *sb);

#endif
