#include "ui/sound.h"

#include <alsa/asoundlib.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

namespace signposter::ui {
namespace {

struct WaveFormat {
    unsigned channels = 0;
    unsigned rate = 0;
    unsigned bitsPerSample = 0;
    const std::uint8_t* samples = nullptr;
    std::size_t sampleBytes = 0;
};

std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
std::uint16_t Le16(const std::uint8_t* p) {
    return std::uint16_t(p[0] | p[1] << 8);
}

// Walks the RIFF chunks; every length is checked against the bytes that are really there, so a damaged
// image is rejected instead of being read past its end.
bool ParseWave(const std::uint8_t* data, std::size_t size, WaveFormat& wave) {
    if (size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WAVE", 4) != 0) {
        return false;
    }
    bool haveFormat = false;
    std::size_t pos = 12;
    while (pos + 8 <= size) {
        const std::uint8_t* chunk = data + pos;
        const std::size_t length = Le32(chunk + 4);
        const std::size_t available = size - pos - 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (length < 16 || length > available) {
                return false;
            }
            if (Le16(chunk + 8) != 1) {  // PCM only
                return false;
            }
            wave.channels = Le16(chunk + 10);
            wave.rate = Le32(chunk + 12);
            wave.bitsPerSample = Le16(chunk + 22);
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) {
                return false;
            }
            wave.samples = chunk + 8;
            // A data chunk that claims more than the image holds is played as far as it goes.
            wave.sampleBytes = length < available ? length : available;
            break;
        }
        if (length > available) {
            return false;
        }
        pos += 8 + length + (length & 1);
    }
    if (!haveFormat || wave.samples == nullptr) {
        return false;
    }
    if ((wave.channels != 1 && wave.channels != 2) || (wave.bitsPerSample != 8 && wave.bitsPerSample != 16) ||
        wave.rate < 1000 || wave.rate > 192000) {
        return false;
    }
    return true;
}

// ALSA prints configuration complaints to stderr when there is no card; silence is what we want then.
void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

struct PcmCloser {
    snd_pcm_t* pcm;
    ~PcmCloser() {
        if (pcm != nullptr) {
            snd_pcm_drop(pcm);
            snd_pcm_close(pcm);
        }
    }
};

}  // namespace

bool PlayWaveSync(const void* data, std::size_t size) {
    WaveFormat wave;
    if (data == nullptr || !ParseWave(static_cast<const std::uint8_t*>(data), size, wave)) {
        return false;
    }
    const std::size_t frameBytes = wave.channels * wave.bitsPerSample / 8;
    const std::size_t frames = wave.sampleBytes / frameBytes;
    if (frames == 0) {
        return true;
    }

    static const bool quieted = [] {
        snd_lib_error_set_handler(&QuietAlsaErrors);
        return true;
    }();
    (void)quieted;

    // Non-blocking open: a device held by another program must not stall the caller.
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
        return false;
    }
    PcmCloser closer{pcm};
    const snd_pcm_format_t format = wave.bitsPerSample == 16 ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_U8;
    if (snd_pcm_set_params(pcm, format, SND_PCM_ACCESS_RW_INTERLEAVED, wave.channels, wave.rate, 1, 100000) <
        0) {
        return false;
    }

    // The whole wait is bounded by the sound's own length plus a generous margin, so a device that stops
    // taking samples costs at most half a second more than the sound itself.
    using Clock = std::chrono::steady_clock;
    const auto length = std::chrono::milliseconds(frames * 1000 / wave.rate);
    const auto deadline = Clock::now() + length + std::chrono::milliseconds(500);
    auto remainingMs = [&] {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return left > 0 ? int(left) : 0;
    };

    const std::uint8_t* next = wave.samples;
    std::size_t left = frames;
    while (left > 0) {
        const snd_pcm_sframes_t written = snd_pcm_writei(pcm, next, left);
        if (written == -EAGAIN) {
            const int wait = remainingMs();
            if (wait == 0) {
                return false;
            }
            snd_pcm_wait(pcm, wait < 50 ? wait : 50);
            continue;
        }
        if (written < 0) {
            if (snd_pcm_recover(pcm, int(written), 1) < 0 || remainingMs() == 0) {
                return false;
            }
            continue;
        }
        next += std::size_t(written) * frameBytes;
        left -= std::size_t(written);
    }

    // In non-blocking mode drain only starts the draining; poll the state until the last sample is out.
    snd_pcm_drain(pcm);
    while (snd_pcm_state(pcm) == SND_PCM_STATE_DRAINING) {
        const int wait = remainingMs();
        if (wait == 0) {
            return false;
        }
        // Polling a draining stream may report ready at once, so sleep instead of spinning.
        std::this_thread::sleep_for(std::chrono::milliseconds(wait < 5 ? wait : 5));
    }
    return true;
}

}  // namespace signposter::ui
