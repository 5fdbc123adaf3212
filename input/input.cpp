#include "input/input.h"

#include <cctype>
#include <cstdio>

static int endOfInput = 0;

int inputEnded() { return endOfInput; }

// Whatever the program printed reaches the terminal (or a pipe) before it
// waits for the user's answer.
static void flushPrompt() { fflush(stdout); }

int readWord(char *buf, int size)
{
    if (size < 1) return 0;
    buf[0] = '\0';
    flushPrompt();
    int c = getchar();
    while (c != EOF && isspace(c)) c = getchar();
    if (c == EOF) {
        endOfInput = 1;
        return 0;
    }
    int n = 0;
    while (c != EOF && !isspace(c)) {
        if (n < size - 1) buf[n++] = (char)c;
        c = getchar();
    }
    buf[n] = '\0';
    // The whitespace that ended the word is left in the stream, as "%s" does.
    if (c != EOF) ungetc(c, stdin);
    return 1;
}

int readInt(int *value)
{
    int v = 0;
    flushPrompt();
    int r = scanf("%i", &v);
    if (r == EOF) {
        endOfInput = 1;
        return -1;
    }
    if (r != 1) return 0;
    *value = v;
    return 1;
}

int readFloat(float *value)
{
    float v = 0.0f;
    flushPrompt();
    int r = scanf("%f", &v);
    if (r == EOF) {
        endOfInput = 1;
        return -1;
    }
    if (r != 1) return 0;
    *value = v;
    return 1;
}
