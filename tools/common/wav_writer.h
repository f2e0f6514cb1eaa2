// A minimal RIFF/WAVE writer for the demo's stereo output: 16-bit PCM (what every reader accepts) or
// 32-bit IEEE float (the samples exactly as rendered).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace ondara::tools {

class WavWriter {
public:
    enum class Format { Pcm16, Float32 };

    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Creates `path` and writes a header with provisional sizes. False, with the reason in `error`.
    bool open(const std::string& path, std::uint32_t sample_rate, Format format, std::string& error);

    // Appends `frames` stereo frames. False once the file cannot take them.
    bool write(const float* left, const float* right, std::size_t frames, std::string& error);

    // Writes the final chunk sizes and closes the file.
    bool close(std::string& error);

    std::uint64_t frames_written() const noexcept { return frames_; }

private:
    bool write_header(std::string& error);

    std::FILE* file_ = nullptr;
    std::string path_;
    std::uint32_t sample_rate_ = 0;
    Format format_ = Format::Pcm16;
    std::uint64_t frames_ = 0;
};

}  // namespace ondara::tools
