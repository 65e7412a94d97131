#pragma once

#include <cstddef>

// Synchronous playback of a short sound held in memory. The caller waits until the sound has finished
// (the check boxes' click pauses the user interface for its length on purpose). Playback is best
// effort: no sound device, a busy device or an unreadable wave image all mean silence, never an error,
// and the wait is bounded even when a device stops consuming samples.
namespace signposter::ui {

// Plays a complete RIFF/WAVE file image (uncompressed PCM, 8 or 16 bits, mono or stereo). Returns true
// when the sound was handed to a device and played to its end.
bool PlayWaveSync(const void* data, std::size_t size);

}  // namespace signposter::ui
