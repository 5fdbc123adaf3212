// Placeholder until the store room is written.
#include "store/store.h"
void GET_PARAMS(int *, char *, unsigned int *, unsigned int *, float *, float *, float *, char *, int *, const char *, char *) {}
int Store_Settings(int, const char *, unsigned int, unsigned int, float, float, float, const char *, const char *) { return 0; }
int GetList(char *, char *, const char *, int *, long) { return 1; }
void ParseList(const char *, char *, int *, long) {}
void ParseListBytes(const char *, long, char *, int *, long) {}
int WriteList(const char *, const char *, char *, int) { return 0; }
void RemoveTrack(char *, int, int) {}
