// Loaded into tunevat with LD_PRELOAD: every ALSA device then appears to
// offer no interleaved access, so the capture engine takes its channel
// buffer path (snd_pcm_readn) on the virtual card as well.
#include <alsa/asoundlib.h>

#include <cerrno>

extern "C" int snd_pcm_hw_params_test_access(snd_pcm_t *, snd_pcm_hw_params_t *,
                                             snd_pcm_access_t access)
{
    return access == SND_PCM_ACCESS_RW_NONINTERLEAVED ? 0 : -EINVAL;
}
