// Finishing a recorded file: the RIFF size, cutting a file to length, and
// the two ways of changing a file that must never leave it half-written:
// inserting audio before trailing chunks, and copying onto a target on
// another file system. Both build the new file beside the target and
// rename it over the target at the end.
#include "wav/wav_private.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

// Copies go through a buffer of this size.
static const long kCopyBytes = 65536;

// Writes value into the 4-byte size field at pos of the open file.
static int writeSizeField(FILE *f, long pos, long value)
{
    char field[kSizeFieldBytes];
    Decon4(value, field);
    return fseek(f, pos, SEEK_SET) == 0 && fwrite(field, 1, sizeof field, f) == sizeof field;
}

int setRiffSize(const char *path)
{
    FILE *f = fopen(path, "rb+");
    if (!f) {
        cannotOpen(path);
        return 0;
    }
    long length = fileLength(f);
    int ok = 0;
    if (length < kWavHeaderBytes || length - kChunkHeaderBytes > kMaxField) {
        printf("Cannot set the RIFF size of %s: the file is %li bytes long\n", path, length);
    } else {
        // The RIFF chunk's own tag and size field are not counted.
        ok = writeSizeField(f, kRiffSizeAt, length - kChunkHeaderBytes);
        if (!ok) cannotWrite(path, errno);
    }
    if (fclose(f) != 0 && ok) {
        cannotWrite(path, errno);
        ok = 0;
    }
    return ok;
}

int truncateFile(const char *path, long length)
{
    if (length < 0 || truncate(path, (off_t)length) != 0) {
        printf("Cannot cut %s to %li bytes: %s\n", path, length,
               length < 0 ? strerror(EINVAL) : strerror(errno));
        return 0;
    }
    return 1;
}

// Do the bytes from pos to length form a run of whole chunks (printable
// four-letter tags, sizes that lead exactly to the end of the file)?
static int chunksFill(FILE *f, long pos, long length)
{
    while (pos < length) {
        char head[kChunkHeaderBytes];
        if (length - pos < kChunkHeaderBytes || !readAt(f, pos, head, sizeof head)) return 0;
        for (int i = 0; i < kTagBytes; ++i) {
            if (head[i] < 0x20 || head[i] > 0x7e) return 0;
        }
        long size = (long)Assem4(head + kTagBytes);
        pos += kChunkHeaderBytes + size + (size & 1);   // chunks are padded to even sizes
        // The last chunk may lack its pad byte.
        if (pos == length + 1 && (size & 1)) return 1;
    }
    return pos == length;
}

int findAudio(const char *path, long *dataOffset, long *audioBytes, long *tailStart,
              long *length)
{
    FILE *f = fopen(path, "rb");
    if (!f) {
        cannotOpen(path);
        return 0;
    }
    long len = fileLength(f);
    long tag = FindChunk(f, "data", 4);
    char field[kSizeFieldBytes];
    if (len < 0 || tag < 0 || !readAt(f, tag + kTagBytes, field, sizeof field)) {
        fputs(kNoDataMessage, stdout);
        fclose(f);
        return 0;
    }
    long offset = tag + kChunkHeaderBytes;
    long declared = (long)Assem4(field);
    *dataOffset = offset;
    *length = len;
    *audioBytes = len - offset;
    *tailStart = len;
    if (declared < len - offset) {
        long tail = offset + declared + (declared & 1);
        if (tail <= len && chunksFill(f, tail, len)) {
            *audioBytes = declared;
            *tailStart = tail;
        }
    }
    fclose(f);
    return 1;
}

// Opens a new temporary file in the directory of target; its name goes to
// tempPath (size bytes). Returns nullptr after a message.
static FILE *openBeside(const char *target, char *tempPath, size_t size)
{
    const char *slash = strrchr(target, '/');
    int dirLength = slash ? (int)(slash - target) + 1 : 0;
    if (snprintf(tempPath, size, "%.*s.tunevat-XXXXXX", dirLength, target) >= (int)size) {
        printf("Cannot make a temporary file beside %s: the name is too long\n", target);
        return nullptr;
    }
    int fd = mkstemp(tempPath);
    if (fd < 0) {
        printf("Cannot make a temporary file beside %s: %s\n", target, strerror(errno));
        return nullptr;
    }
    // The finished file gets the target's permissions, or those a new
    // file would get.
    struct stat sb;
    mode_t mode;
    if (stat(target, &sb) == 0) {
        mode = sb.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    FILE *f = fchmod(fd, mode) == 0 ? fdopen(fd, "wb") : nullptr;
    if (!f) {
        printf("Cannot make a temporary file beside %s: %s\n", target, strerror(errno));
        close(fd);
        unlink(tempPath);
    }
    return f;
}

// Copies count bytes from position from of in to the end of out.
static int copyBytes(FILE *in, long from, long count, FILE *out)
{
    static char buf[kCopyBytes];
    if (fseek(in, from, SEEK_SET) != 0) return 0;
    while (count > 0) {
        size_t n = (size_t)(count < kCopyBytes ? count : kCopyBytes);
        if (fread(buf, 1, n, in) != n || fwrite(buf, 1, n, out) != n) return 0;
        count -= (long)n;
    }
    return 1;
}

// Makes the temporary file durable, closes it and renames it over target.
// On failure the temporary file is removed and target is unchanged.
static int finishBeside(FILE *tmp, const char *tempPath, const char *target, int ok)
{
    if (ok) ok = fflush(tmp) == 0 && fsync(fileno(tmp)) == 0;
    if (fclose(tmp) != 0) ok = 0;
    if (ok && rename(tempPath, target) != 0) ok = 0;
    if (!ok) {
        cannotWrite(target, errno);
        unlink(tempPath);
    }
    return ok;
}

int insertAudio(const char *target, const char *source, long count)
{
    long offset, audio, tail, length;
    if (!findAudio(target, &offset, &audio, &tail, &length)) return 0;
    FILE *in = fopen(target, "rb");
    FILE *src = fopen(source, "rb");
    if (!in || !src) {
        cannotOpen(in ? source : target);
        if (in) fclose(in);
        if (src) fclose(src);
        return 0;
    }
    long sourceLength = fileLength(src);
    // The same report as an append at the end of the file gives.
    if (sourceLength >= 0) printf("Append file is %li bytes\n", sourceLength);
    long sourceTag = FindChunk(src, "data", 4);
    long newData = audio + count;
    long pad = newData & 1;
    long newLength = offset + newData + pad + (length - tail);
    int ok = 0;
    if (sourceTag < 0) {
        fputs(kNoDataMessage, stdout);
    } else if (count < 0 || sourceLength - (sourceTag + kChunkHeaderBytes) < count) {
        printf("%s holds fewer than %li bytes of audio\n", source, count);
    } else if (newData > kMaxDataBytes || newLength - kChunkHeaderBytes > kMaxField) {
        printf("Appending would make %s too large for a wave file!\n", target);
    } else {
        ok = 1;
    }
    char tempPath[4096];
    FILE *out = ok ? openBeside(target, tempPath, sizeof tempPath) : nullptr;
    if (!out) {
        fclose(in);
        fclose(src);
        return 0;
    }
    // Header and old audio, the new audio, a pad byte when the data ends
    // on an odd byte, then the chunks that followed the old audio.
    ok = copyBytes(in, 0, offset + audio, out) &&
         copyBytes(src, sourceTag + kChunkHeaderBytes, count, out) &&
         (pad == 0 || fputc(0, out) == 0) && copyBytes(in, tail, length - tail, out);
    // The RIFF size, then the data size, whose field ends where the audio
    // begins.
    if (ok) ok = writeSizeField(out, kRiffSizeAt, newLength - kChunkHeaderBytes);
    if (ok) ok = writeSizeField(out, offset - kSizeFieldBytes, newData);
    fclose(in);
    fclose(src);
    return finishBeside(out, tempPath, target, ok);
}

int copyOver(const char *source, const char *target)
{
    FILE *in = fopen(source, "rb");
    if (!in) {
        cannotOpen(source);
        return 0;
    }
    long length = fileLength(in);
    char tempPath[4096];
    FILE *out = length >= 0 ? openBeside(target, tempPath, sizeof tempPath) : nullptr;
    if (!out) {
        if (length < 0) printf("Cannot read %s: %s\n", source, strerror(errno));
        fclose(in);
        return 0;
    }
    int ok = copyBytes(in, 0, length, out);
    fclose(in);
    return finishBeside(out, tempPath, target, ok);
}
