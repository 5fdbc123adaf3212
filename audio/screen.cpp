// The meter and the picture of a take on the terminal: whether standard
// output is one, how wide, whether it shows block characters, and the
// drawing itself. Only a terminal gets any of it.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

#include "audio/meter.h"

// The width assumed for a terminal that does not say.
static const int kDefaultColumns = 80;

int terminalColumns()
{
    if (!isatty(1)) return 0;
    struct winsize size;
    if (ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return kDefaultColumns;
}

// Whether a locale's name ("en_US.UTF-8", "C.utf8") names UTF-8.
static int namesUtf8(const char *name)
{
    char lower[64];
    size_t n = 0;
    for (; name[n] && n < sizeof lower - 1; ++n) lower[n] = (char)tolower((unsigned char)name[n]);
    lower[n] = '\0';
    return strstr(lower, "utf-8") != nullptr || strstr(lower, "utf8") != nullptr;
}

int unicodeLocale()
{
    // The program itself runs in the C locale (its numbers must not change
    // with the user's); the terminal's character set is read from the
    // names the C library would take, first set first.
    static const char *const names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
    for (const char *name : names) {
        const char *value = getenv(name);
        if (value && *value) return namesUtf8(value);
    }
    return 0;
}

int startMeterOnTerminal(LevelMeter *m, int channels, int bytesPerSample)
{
    int columns = terminalColumns();
    startMeter(m, channels, bytesPerSample, columns, columns > 0 ? unicodeLocale() : 0);
    return columns > 0;
}

void drawMeter(LevelMeter *m, const char *lead, long long nowNs)
{
    if (m->columns <= 0) return;
    takeMeterLevels(m, nowNs);
    char text[kMeterTextBytes];
    int lines = renderMeter(m, lead, m->columns, m->unicode, text, (int)sizeof text);
    // Back to the start of the first line drawn last time (ESC [ A: the
    // line above), then each line; "\r\n" between them, so that the second
    // starts at the left whatever the terminal does with a line feed.
    fputs(m->linesDrawn == 2 ? "\r\x1b[A" : "\r", stdout);
    char *line = text;
    for (char *end; (end = strchr(line, '\n')) != nullptr; line = end + 1) {
        fwrite(line, 1, (size_t)(end - line), stdout);
        fputs("\r\n", stdout);
    }
    fputs(line, stdout);
    // Two lines last time and one now: the second is blanked, and stays
    // the meter's.
    if (lines < m->linesDrawn) printf("\r\n%*s", (m->columns > 120 ? 120 : m->columns) - 1, "");
    if (lines > m->linesDrawn) m->linesDrawn = lines;
    fflush(stdout);
}

void showTakePicture(const TakePicture *p)
{
    int columns = terminalColumns();
    if (columns <= 0) return;
    int unicode = unicodeLocale();
    // "Channel 1 |" and "|" around the cells, and the last column free.
    int cells = columns - 13 < kPictureCells ? columns - 13 : kPictureCells;
    char text[kMeterTextBytes];
    for (int c = 0; c < p->channels; ++c) {
        renderPictureLine(p, c, cells, unicode, text, (int)sizeof text);
        printf("%s\n", text);
    }
    if (pictureHasMarks(p)) printf("          ! clipped, x frames lost\n");
    fflush(stdout);
}
