// Keeps a named pipe full of audio for the hour-long capture benchmark,
// so that the virtual card's capture input needs no file of an hour:
//
//   feed FIFO FILE
//
// Reads FILE (raw frames, a few seconds of them) into memory, opens FIFO
// for reading and writing (so the feeder neither waits for a reader nor
// ends when one closes the card: every run of the benchmark finds the
// pipe fed), grows the pipe to 1 MiB so that a recorder's read finds a
// whole period waiting, and writes FILE's bytes into it over and over
// until it is killed. What the recorders read is that sound, repeated;
// the feeder's own CPU time is not counted in theirs.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static const int kPipeBytes = 1 << 20;

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: feed FIFO FILE\n");
        return 2;
    }
    int in = open(argv[2], O_RDONLY);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0 || st.st_size <= 0) {
        fprintf(stderr, "feed: cannot read %s: %s\n", argv[2], strerror(errno));
        return 1;
    }
    size_t size = (size_t)st.st_size;
    char *sound = (char *)malloc(size);
    size_t got = 0;
    while (sound && got < size) {
        ssize_t n = read(in, sound + got, size - got);
        if (n <= 0) break;
        got += (size_t)n;
    }
    close(in);
    if (!sound || got != size) {
        fprintf(stderr, "feed: cannot read %s\n", argv[2]);
        return 1;
    }
    int out = open(argv[1], O_RDWR);
    if (out < 0) {
        fprintf(stderr, "feed: cannot open %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    // A smaller pipe still works; reads then may come back short.
    fcntl(out, F_SETPIPE_SZ, kPipeBytes);
    for (;;) {
        for (size_t done = 0; done < size;) {
            ssize_t n = write(out, sound + done, size - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                fprintf(stderr, "feed: cannot write %s: %s\n", argv[1], strerror(errno));
                return 1;
            }
            done += (size_t)n;
        }
    }
}
