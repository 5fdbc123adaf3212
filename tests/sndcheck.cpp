// A small command around libsndfile, for the tests that hold tunevat's
// reading of WAV files up against another reader's, and that need WAV
// files as libsndfile writes them.
//
//   sndcheck read FILE RAW
//       prints "CHANNELS RATE FRAMES BITS" (BITS from the sample format:
//       8, 16, 24, 32 or 64) and, for integer and float samples, writes
//       the decoded samples to RAW as the file stores them (8 bits
//       unsigned, packed little-endian integers of that width, IEEE
//       floats), channels interleaved. Exit status 1, with
//       libsndfile's reason on standard error, when it cannot read FILE.
//   sndcheck window FILE FROM COUNT RAW
//       the same, but RAW holds only COUNT frames from frame FROM on (a
//       window of a file too big to decode whole).
//   sndcheck bext FILE
//       prints the bext chunk's "TIMEREFERENCE DATE TIME ORIGINATOR".
//   sndcheck write FILE MAJOR BITS CHANNELS RATE FRAMES [OPTION...]
//       writes FRAMES frames of a tone as MAJOR (wav, wavex or rf64) with
//       8-, 16-, 24- or 32-bit integers, or BITS float or double.
//       Options: title-before=TEXT and
//       title-after=TEXT (a title set before or after the samples are
//       written; after them, libsndfile puts its LIST chunk after the
//       audio), bext=TEXT (a broadcast chunk with that description), cue
//       (three cue points).
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int bitsOf(int format)
{
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_ALAW:
    case SF_FORMAT_ULAW: return 8;
    case SF_FORMAT_PCM_16: return 16;
    case SF_FORMAT_PCM_24: return 24;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT: return 32;
    case SF_FORMAT_DOUBLE: return 64;
    default: return 0;
    }
}

int readFile(const char *path, const char *rawPath, sf_count_t from = 0, sf_count_t count = -1)
{
    SF_INFO info;
    memset(&info, 0, sizeof info);
    SNDFILE *f = sf_open(path, SFM_READ, &info);
    if (!f) {
        fprintf(stderr, "%s\n", sf_strerror(nullptr));
        return 1;
    }
    int bits = bitsOf(info.format);
    int sub = info.format & SF_FORMAT_SUBMASK;
    printf("%d %d %lld %d\n", info.channels, info.samplerate, (long long)info.frames, bits);
    bool samples = bits >= 8 && sub != SF_FORMAT_ALAW && sub != SF_FORMAT_ULAW;
    if (samples && from > 0 && sf_seek(f, from, SEEK_SET) != from) {
        fprintf(stderr, "cannot seek to frame %lld\n", (long long)from);
        sf_close(f);
        return 1;
    }
    if (samples) {
        FILE *out = fopen(rawPath, "wb");
        if (!out) {
            perror(rawPath);
            sf_close(f);
            return 1;
        }
        std::vector<int> frame((size_t)info.channels * 1024);
        std::vector<double> real((size_t)info.channels * 1024);
        bool isFloat = sub == SF_FORMAT_FLOAT || sub == SF_FORMAT_DOUBLE;
        int bytes = bits / 8;
        sf_count_t n;
        sf_count_t left = count < 0 ? info.frames : count;
        sf_count_t want = left < 1024 ? left : 1024;
        while (left > 0 && (n = isFloat ? sf_readf_double(f, real.data(), want)
                                        : sf_readf_int(f, frame.data(), want)) > 0) {
            left -= n;
            want = left < 1024 ? left : 1024;
            for (sf_count_t i = 0; i < n * info.channels; ++i) {
                float single = (float)real[(size_t)i];
                if (sub == SF_FORMAT_FLOAT) fwrite(&single, 4, 1, out);
                if (sub == SF_FORMAT_DOUBLE) fwrite(&real[(size_t)i], 8, 1, out);
                if (isFloat) continue;
                // libsndfile gives every sample left-justified in 32 bits;
                // 8-bit WAV samples are unsigned.
                unsigned int v = (unsigned int)frame[(size_t)i] >> (32 - bits);
                if (bits == 8) v ^= 0x80;
                for (int b = 0; b < bytes; ++b) fputc((int)((v >> (8 * b)) & 0xff), out);
            }
        }
        fclose(out);
    }
    sf_close(f);
    return 0;
}

int writeFile(int argc, char **argv)
{
    const char *path = argv[2];
    const char *major = argv[3];
    int bits = atoi(argv[4]);
    int channels = atoi(argv[5]);
    int rate = atoi(argv[6]);
    long frames = atol(argv[7]);
    SF_INFO info;
    memset(&info, 0, sizeof info);
    info.channels = channels;
    info.samplerate = rate;
    info.format = (strcmp(major, "wavex") == 0 ? SF_FORMAT_WAVEX
                   : strcmp(major, "rf64") == 0 ? SF_FORMAT_RF64
                                                : SF_FORMAT_WAV) |
                  (strcmp(argv[4], "float") == 0    ? SF_FORMAT_FLOAT
                   : strcmp(argv[4], "double") == 0 ? SF_FORMAT_DOUBLE
                   : bits == 8                      ? SF_FORMAT_PCM_U8
                   : bits == 32                     ? SF_FORMAT_PCM_32
                   : bits == 24                     ? SF_FORMAT_PCM_24
                                                    : SF_FORMAT_PCM_16);
    SNDFILE *f = sf_open(path, SFM_WRITE, &info);
    if (!f) {
        fprintf(stderr, "%s\n", sf_strerror(nullptr));
        return 1;
    }
    // Float files get the integers as fractions of full scale.
    sf_command(f, SFC_SET_SCALE_INT_FLOAT_WRITE, nullptr, SF_TRUE);
    const char *titleAfter = nullptr;
    for (int i = 8; i < argc; ++i) {
        const char *o = argv[i];
        if (strncmp(o, "title-before=", 13) == 0) {
            sf_set_string(f, SF_STR_TITLE, o + 13);
        } else if (strncmp(o, "title-after=", 12) == 0) {
            titleAfter = o + 12;
        } else if (strncmp(o, "bext=", 5) == 0) {
            SF_BROADCAST_INFO bext;
            memset(&bext, 0, sizeof bext);
            snprintf(bext.description, sizeof bext.description, "%s", o + 5);
            snprintf(bext.originator, sizeof bext.originator, "sndcheck");
            sf_command(f, SFC_SET_BROADCAST_INFO, &bext, sizeof bext);
        } else if (strcmp(o, "cue") == 0) {
            SF_CUES cues;
            memset(&cues, 0, sizeof cues);
            cues.cue_count = 3;
            for (int k = 0; k < 3; ++k) {
                cues.cue_points[k].indx = k + 1;
                cues.cue_points[k].position = (uint32_t)(k * frames / 3);
                cues.cue_points[k].fcc_chunk = 0x61746164;   // "data"
                cues.cue_points[k].sample_offset = (uint32_t)(k * frames / 3);
            }
            sf_command(f, SFC_SET_CUE, &cues, sizeof cues);
        } else {
            fprintf(stderr, "unknown option %s\n", o);
            sf_close(f);
            return 2;
        }
    }
    std::vector<int> frame((size_t)channels);
    for (long k = 0; k < frames; ++k) {
        // Left-justified 32-bit samples: the file keeps their top bits.
        for (int c = 0; c < channels; ++c)
            frame[(size_t)c] = (int)(1.2e9 * sin(0.05 * (double)k * (c + 1))) + 65536 * 37 * c;
        if (sf_writef_int(f, frame.data(), 1) != 1) {
            fprintf(stderr, "%s\n", sf_strerror(f));
            sf_close(f);
            return 1;
        }
    }
    if (titleAfter) sf_set_string(f, SF_STR_TITLE, titleAfter);
    return sf_close(f) == 0 ? 0 : 1;
}

int bextOf(const char *path)
{
    SF_INFO info;
    memset(&info, 0, sizeof info);
    SNDFILE *f = sf_open(path, SFM_READ, &info);
    SF_BROADCAST_INFO b;
    memset(&b, 0, sizeof b);
    if (!f || sf_command(f, SFC_GET_BROADCAST_INFO, &b, sizeof b) != SF_TRUE) {
        fprintf(stderr, "no bext chunk: %s\n", sf_strerror(f));
        if (f) sf_close(f);
        return 1;
    }
    printf("%llu %.10s %.8s %.32s\n",
           (unsigned long long)b.time_reference_low | (unsigned long long)b.time_reference_high << 32,
           b.origination_date, b.origination_time, b.originator);
    sf_close(f);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "bext") == 0) return bextOf(argv[2]);
    if (argc == 4 && strcmp(argv[1], "read") == 0) return readFile(argv[2], argv[3]);
    if (argc == 6 && strcmp(argv[1], "window") == 0)
        return readFile(argv[2], argv[5], atoll(argv[3]), atoll(argv[4]));
    if (argc >= 8 && strcmp(argv[1], "write") == 0) return writeFile(argc, argv);
    fprintf(stderr, "usage: sndcheck read FILE RAW | window FILE FROM COUNT RAW | write FILE MAJOR BITS CHANNELS RATE FRAMES [OPTION...]\n");
    return 2;
}
