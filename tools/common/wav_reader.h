// A small RIFF/WAVE reader for `ondara-companion play --wav`: 16-, 24- and 32-bit integer PCM and
// 32- and 64-bit IEEE float, plain or in WAVE_FORMAT_EXTENSIBLE form, any channel count.
//
// Written here rather than taken from a library so that the stand-in has no dependency beyond the C++
// standard library and builds the same way for Linux and, cross-compiled, for Windows, where no
// audio-file package exists for the cross compiler. It streams the data chunk, so a long file is never
// held in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace ondara::tools {

class WavReader {
public:
    enum class Encoding { Pcm16, Pcm24, Pcm32, Float32, Float64 };

    WavReader() = default;
    ~WavReader();
    WavReader(const WavReader&) = delete;
    WavReader& operator=(const WavReader&) = delete;

    // Opens `path` and reads its format. False, with the reason in `error`, for anything but a WAVE
    // file in one of the encodings above with at least one channel and a non-zero sample rate.
    bool open(const std::string& path, std::string& error);

    // Reads up to `frames` frames as interleaved floats (channels() per frame) into `out`: integers
    // scaled to [-1, 1), floats as they are except that NaN and infinities become 0, since they would
    // reach the plug-in's output unchanged. Returns the frames read; fewer than asked only at the end
    // of the data (then `error` stays empty) or on a read error (then `error` says why).
    std::size_t read(float* out, std::size_t frames, std::string& error);

    // Goes back to the first frame.
    bool rewind(std::string& error);

    std::uint32_t channels() const noexcept { return channels_; }
    std::uint32_t sample_rate() const noexcept { return sample_rate_; }
    std::uint64_t frames() const noexcept { return frames_; }
    Encoding encoding() const noexcept { return encoding_; }

    static const char* encoding_name(Encoding e) noexcept;

private:
    std::FILE* file_ = nullptr;
    std::string path_;
    std::uint32_t channels_ = 0;
    std::uint32_t sample_rate_ = 0;
    std::uint32_t bytes_per_sample_ = 0;
    Encoding encoding_ = Encoding::Pcm16;
    std::uint64_t data_offset_ = 0;
    std::uint64_t frames_ = 0;
    std::uint64_t position_ = 0;  // frames read since the start of the data
    std::vector<unsigned char> buffer_;
};

}  // namespace ondara::tools
