#include "common/wav_writer.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

namespace ondara::tools {
namespace {

constexpr std::uint32_t kChannels = 2;

// RIFF sizes are 32-bit: keep the whole file below 4 GiB.
constexpr std::uint64_t kMaxDataBytes = 0xFFFFFF00u;

std::uint32_t bytes_per_sample(WavWriter::Format f) { return f == WavWriter::Format::Pcm16 ? 2 : 4; }

void put16(std::vector<unsigned char>& b, std::uint32_t v) {
    b.push_back(static_cast<unsigned char>(v));
    b.push_back(static_cast<unsigned char>(v >> 8));
}

void put32(std::vector<unsigned char>& b, std::uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

void put_tag(std::vector<unsigned char>& b, const char* tag) { b.insert(b.end(), tag, tag + 4); }

std::int16_t to_pcm16(float s) {
    if (!(s > -1.0f)) return -32767;  // NaN lands here too
    if (s >= 1.0f) return 32767;
    return static_cast<std::int16_t>(std::lround(s * 32767.0f));
}

// The sample's bytes in little-endian order, whatever the host's order.
void put_sample(std::vector<unsigned char>& b, float s, WavWriter::Format f) {
    if (f == WavWriter::Format::Pcm16) {
        put16(b, static_cast<std::uint16_t>(to_pcm16(s)));
    } else {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &s, sizeof bits);
        put32(b, bits);
    }
}

}  // namespace

WavWriter::~WavWriter() {
    if (file_ != nullptr) std::fclose(file_);
}

bool WavWriter::open(const std::string& path, std::uint32_t sample_rate, Format format, std::string& error) {
    path_ = path;
    sample_rate_ = sample_rate;
    format_ = format;
    frames_ = 0;
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    return write_header(error);
}

bool WavWriter::write_header(std::string& error) {
    const std::uint32_t bps = bytes_per_sample(format_);
    const std::uint32_t data_bytes = static_cast<std::uint32_t>(frames_ * kChannels * bps);
    const bool pcm = format_ == Format::Pcm16;

    // PCM takes the 16-byte fmt chunk. Float is a non-PCM format: its fmt chunk carries the cbSize
    // field and a fact chunk with the frame count follows, as the format requires.
    std::vector<unsigned char> b;
    const std::uint32_t fmt_size = pcm ? 16 : 18;
    const std::uint32_t fact_bytes = pcm ? 0 : 12;
    put_tag(b, "RIFF");
    put32(b, 4 + (8 + fmt_size) + fact_bytes + 8 + data_bytes);
    put_tag(b, "WAVE");
    put_tag(b, "fmt ");
    put32(b, fmt_size);
    put16(b, pcm ? 1 : 3);  // WAVE_FORMAT_PCM, WAVE_FORMAT_IEEE_FLOAT
    put16(b, kChannels);
    put32(b, sample_rate_);
    put32(b, sample_rate_ * kChannels * bps);
    put16(b, kChannels * bps);
    put16(b, bps * 8);
    if (!pcm) {
        put16(b, 0);
        put_tag(b, "fact");
        put32(b, 4);
        put32(b, static_cast<std::uint32_t>(frames_));
    }
    put_tag(b, "data");
    put32(b, data_bytes);

    if (std::fseek(file_, 0, SEEK_SET) != 0 || std::fwrite(b.data(), 1, b.size(), file_) != b.size()) {
        error = "cannot write " + path_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool WavWriter::write(const float* left, const float* right, std::size_t frames, std::string& error) {
    const std::uint32_t bps = bytes_per_sample(format_);
    if ((frames_ + frames) * kChannels * bps > kMaxDataBytes) {
        error = path_ + " would exceed the 4 GiB a WAV file can hold";
        return false;
    }
    std::vector<unsigned char> b;
    b.reserve(frames * kChannels * bps);
    for (std::size_t i = 0; i < frames; ++i) {
        put_sample(b, left[i], format_);
        put_sample(b, right[i], format_);
    }
    if (std::fwrite(b.data(), 1, b.size(), file_) != b.size()) {
        error = "cannot write " + path_ + ": " + std::strerror(errno);
        return false;
    }
    frames_ += frames;
    return true;
}

bool WavWriter::close(std::string& error) {
    if (file_ == nullptr) return true;
    bool ok = write_header(error);
    if (std::fclose(file_) != 0 && ok) {
        error = "cannot write " + path_ + ": " + std::strerror(errno);
        ok = false;
    }
    file_ = nullptr;
    return ok;
}

}  // namespace ondara::tools
