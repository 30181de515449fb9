// Conversions between audio files and the raw 16 kHz mono 16-bit PCM the library cleans.
#pragma once

#include <optional>
#include <string>

namespace wrenpad_clean {

// True when the file should be handed to the library as it is: a name ending in .raw or
// .pcm, or a file that no audio format recognises (headerless PCM).
bool is_raw_pcm(const std::string& path);

// Decodes an audio file of any rate and channel count, mixes it down to mono, resamples
// it to 16 kHz and writes it as raw PCM. Returns an error text on failure.
std::optional<std::string> decode_to_raw(const std::string& audio_path,
                                         const std::string& raw_path);

// Wraps raw PCM into a 16 kHz mono 16-bit WAV file.
std::optional<std::string> raw_to_wav(const std::string& raw_path, const std::string& wav_path);

}  // namespace wrenpad_clean
