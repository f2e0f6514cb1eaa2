#include "common/wav_reader.h"

#include <cerrno>
#include <cmath>
#include <cstring>

namespace ondara::tools {
namespace {

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatFloat = 3;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;

// The tail every KSDATAFORMAT_SUBTYPE_* GUID shares after its first two bytes (which carry the plain
// format code): {xxxx0000-0000-0010-8000-00aa00389b71} in file byte order.
constexpr unsigned char kSubformatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                              0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

std::uint32_t le16(const unsigned char* p) { return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8; }
std::uint32_t le32(const unsigned char* p) { return le16(p) | le16(p + 2) << 16; }

bool seek_to(std::FILE* f, std::uint64_t offset) {
#if defined(_WIN32)
    return _fseeki64(f, static_cast<long long>(offset), SEEK_SET) == 0;
#else
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

bool file_length(std::FILE* f, std::uint64_t& out) {
#if defined(_WIN32)
    if (_fseeki64(f, 0, SEEK_END) != 0) return false;
    const long long n = _ftelli64(f);
#else
    if (fseeko(f, 0, SEEK_END) != 0) return false;
    const off_t n = ftello(f);
#endif
    if (n < 0) return false;
    out = static_cast<std::uint64_t>(n);
    return true;
}

float finite_or_zero(double v) {
    // Out-of-range doubles would turn into infinities as floats: clamp them first.
    if (!std::isfinite(v)) return 0.0f;
    if (v > 3.0e38) return 3.0e38f;
    if (v < -3.0e38) return -3.0e38f;
    return static_cast<float>(v);
}

}  // namespace

WavReader::~WavReader() {
    if (file_ != nullptr) std::fclose(file_);
}

const char* WavReader::encoding_name(Encoding e) noexcept {
    switch (e) {
        case Encoding::Pcm16: return "16-bit PCM";
        case Encoding::Pcm24: return "24-bit PCM";
        case Encoding::Pcm32: return "32-bit PCM";
        case Encoding::Float32: return "32-bit float";
        case Encoding::Float64: return "64-bit float";
    }
    return "?";
}

bool WavReader::open(const std::string& path, std::string& error) {
    if (file_ != nullptr) std::fclose(file_);
    path_ = path;
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    const auto fail = [&](const std::string& why) {
        error = path + ": " + why;
        return false;
    };

    std::uint64_t length = 0;
    if (!file_length(file_, length) || !seek_to(file_, 0)) return fail("cannot determine the file's size");
    unsigned char riff[12];
    if (std::fread(riff, 1, sizeof riff, file_) != sizeof riff) return fail("too short for a WAV file");
    if (std::memcmp(riff, "RF64", 4) == 0) return fail("RF64 files are not supported");
    if (std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
        return fail("not a RIFF/WAVE file");
    }

    // Walk the chunks for "fmt " and "data"; everything else (LIST, fact, cue, ...) is skipped.
    bool have_format = false, have_data = false;
    std::uint32_t format = 0, block_align = 0, bits = 0;
    std::uint64_t data_size = 0;
    std::uint64_t pos = sizeof riff;
    while (!(have_format && have_data)) {
        unsigned char head[8];
        if (pos + 8 > length || !seek_to(file_, pos) || std::fread(head, 1, 8, file_) != 8) break;
        const std::uint64_t size = le32(head + 4);
        const std::uint64_t body = pos + 8;
        if (std::memcmp(head, "fmt ", 4) == 0) {
            if (size < 16) return fail("its format chunk is too short");
            unsigned char fmt[40] = {};
            const std::size_t want = size < sizeof fmt ? static_cast<std::size_t>(size) : sizeof fmt;
            if (std::fread(fmt, 1, want, file_) != want) return fail("its format chunk is cut short");
            format = le16(fmt);
            channels_ = le16(fmt + 2);
            sample_rate_ = le32(fmt + 4);
            block_align = le16(fmt + 12);
            bits = le16(fmt + 14);
            if (format == kFormatExtensible) {
                if (want < 40) return fail("its extensible format chunk is too short");
                if (std::memcmp(fmt + 26, kSubformatTail, sizeof kSubformatTail) != 0) {
                    return fail("its extensible format has an unknown sub-format");
                }
                format = le16(fmt + 24);
            }
            have_format = true;
        } else if (std::memcmp(head, "data", 4) == 0) {
            data_offset_ = body;
            // A file still being written, or cut short, claims more than it holds: take what is there.
            data_size = size <= length - body ? size : length - body;
            have_data = true;
        }
        pos = body + size + (size & 1);  // chunks are padded to an even length
    }
    if (!have_format) return fail("no format chunk");
    if (!have_data) return fail("no data chunk");

    if (format == kFormatPcm && bits == 16) {
        encoding_ = Encoding::Pcm16;
    } else if (format == kFormatPcm && bits == 24) {
        encoding_ = Encoding::Pcm24;
    } else if (format == kFormatPcm && bits == 32) {
        encoding_ = Encoding::Pcm32;
    } else if (format == kFormatFloat && bits == 32) {
        encoding_ = Encoding::Float32;
    } else if (format == kFormatFloat && bits == 64) {
        encoding_ = Encoding::Float64;
    } else {
        return fail("unsupported encoding (format " + std::to_string(format) + ", " + std::to_string(bits) +
                    " bits); 16-, 24- and 32-bit PCM and 32- and 64-bit float are read");
    }
    if (channels_ == 0) return fail("it has no channels");
    if (sample_rate_ == 0) return fail("its sample rate is 0");
    bytes_per_sample_ = bits / 8;
    if (block_align != channels_ * bytes_per_sample_) {
        return fail("its block size " + std::to_string(block_align) + " does not match " + std::to_string(channels_) +
                    " channels of " + std::to_string(bits) + " bits");
    }
    frames_ = data_size / block_align;
    return rewind(error);
}

bool WavReader::rewind(std::string& error) {
    if (file_ == nullptr || !seek_to(file_, data_offset_)) {
        error = "cannot seek in " + path_;
        return false;
    }
    position_ = 0;
    return true;
}

std::size_t WavReader::read(float* out, std::size_t frames, std::string& error) {
    if (file_ == nullptr) return 0;
    const std::uint64_t left = frames_ - position_;
    const std::size_t want = static_cast<std::size_t>(frames < left ? frames : left);
    const std::size_t frame_bytes = std::size_t{channels_} * bytes_per_sample_;
    buffer_.resize(want * frame_bytes);
    const std::size_t got_bytes = want == 0 ? 0 : std::fread(buffer_.data(), 1, buffer_.size(), file_);
    const std::size_t got = got_bytes / frame_bytes;
    if (got < want) error = std::ferror(file_) ? "cannot read " + path_ : path_ + " ended early";

    const unsigned char* p = buffer_.data();
    const std::size_t samples = got * channels_;
    for (std::size_t i = 0; i < samples; ++i, p += bytes_per_sample_) {
        switch (encoding_) {
            case Encoding::Pcm16:
                out[i] = static_cast<float>(static_cast<std::int16_t>(le16(p))) / 32768.0f;
                break;
            case Encoding::Pcm24: {
                // Three bytes into the top of a 32-bit word, then an arithmetic shift back down, which
                // carries the sample's sign bit through the top byte.
                const std::uint32_t raw = std::uint32_t{p[0]} << 8 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 24;
                out[i] = static_cast<float>(static_cast<std::int32_t>(raw) >> 8) / 8388608.0f;
                break;
            }
            case Encoding::Pcm32:
                out[i] = static_cast<float>(static_cast<double>(static_cast<std::int32_t>(le32(p))) / 2147483648.0);
                break;
            case Encoding::Float32: {
                const std::uint32_t bits = le32(p);
                float v;
                std::memcpy(&v, &bits, sizeof v);
                out[i] = finite_or_zero(v);
                break;
            }
            case Encoding::Float64: {
                const std::uint64_t bits = std::uint64_t{le32(p)} | std::uint64_t{le32(p + 4)} << 32;
                double v;
                std::memcpy(&v, &bits, sizeof v);
                out[i] = finite_or_zero(v);
                break;
            }
        }
    }
    position_ += got;
    return got;
}

}  // namespace ondara::tools
