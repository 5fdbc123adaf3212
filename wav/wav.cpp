// Placeholder until the WAV room is written.
#include "wav/wav.h"
void Decon2(unsigned short, char *) {}
void Decon3(unsigned long, char *) {}
void Decon4(long, char *) {}
unsigned int Assem2(const char *) { return 0; }
unsigned long Assem4(const char *) { return 0; }
int MAKE_HEADER(const char *, unsigned int, unsigned int, unsigned int, long) { return 0; }
long FindChunk(FILE *, const char *, int) { return -1; }
int GetAttributes(const char *, unsigned long *, unsigned int *, unsigned int *, unsigned long *, unsigned long *, int) { return 0; }
double GET_LENGTH(const char *) { return 0; }
int FIX_SIZE(const char *, long) { return 0; }
int APPEND(const char *, const char *, long) { return 0; }
