// The companion's WAV reader (tools/common/wav_reader.cpp) over arbitrary file contents: `play --wav` takes
// files from anywhere. The input is the whole file, handed to the reader through a memory file, so
// that its own fopen, seeks and reads run as they do on disk.
//
// Whatever the bytes, open either refuses with a reason or yields a format the reader can decode: at
// least one channel, a non-zero rate, and frames that lie inside the file. Reading then gives exactly
// frames() frames in pieces of any size, never writes past what it returns, turns every sample into a
// finite float (integers into [-1, 1]), and after a rewind gives the same samples again.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/wav_reader.h"
#include "fuzz_check.h"

namespace {

using ondara::tools::WavReader;

// One memory file for the whole run, refilled for each input.
int memory_file() {
    static const int fd = ::memfd_create("fuzz_wav", MFD_CLOEXEC);
    return fd;
}

bool is_integer(WavReader::Encoding e) {
    return e == WavReader::Encoding::Pcm16 || e == WavReader::Encoding::Pcm24 || e == WavReader::Encoding::Pcm32;
}

std::size_t bytes_per_sample(WavReader::Encoding e) {
    switch (e) {
        case WavReader::Encoding::Pcm16: return 2;
        case WavReader::Encoding::Pcm24: return 3;
        case WavReader::Encoding::Pcm32: return 4;
        case WavReader::Encoding::Float32: return 4;
        case WavReader::Encoding::Float64: return 8;
    }
    return 0;
}

// Reads everything in pieces of varying size into one vector, checking each piece.
std::vector<float> read_all(WavReader& r, std::size_t first_piece) {
    const std::size_t channels = r.channels();
    std::vector<float> all;
    std::size_t piece = first_piece;
    for (;;) {
        // Exactly the asked size, so that ASan catches a write past it; one spare slot with a marker
        // catches a write past the frames returned.
        std::vector<float> out(piece * channels + 1, -7.0f);
        std::string error;
        const std::size_t got = r.read(out.data(), piece, error);
        FUZZ_CHECK(error.empty());
        FUZZ_CHECK(got <= piece);
        if (got < piece) FUZZ_CHECK(out[got * channels] == -7.0f);
        const bool integer = is_integer(r.encoding());
        for (std::size_t i = 0; i < got * channels; ++i) {
            FUZZ_CHECK(std::isfinite(out[i]));
            if (integer) FUZZ_CHECK(out[i] >= -1.0f && out[i] <= 1.0f);
        }
        all.insert(all.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(got * channels));
        if (got < piece) break;
        piece = piece * 3 + 1;  // 1, 4, 13, ...: pieces of many sizes
    }
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = memory_file();
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::ftruncate(fd, 0) == 0);
    FUZZ_CHECK(size == 0 || ::pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    WavReader r;
    std::string error;
    if (!r.open(path, error)) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    FUZZ_CHECK(error.empty());
    FUZZ_CHECK(r.channels() >= 1);
    FUZZ_CHECK(r.sample_rate() > 0);
    // The frames lie inside the file, beside at least the RIFF header, a 16-byte format chunk and the
    // data chunk's own header: 12 + 24 + 8 bytes.
    const std::uint64_t frame_bytes = std::uint64_t{r.channels()} * bytes_per_sample(r.encoding());
    FUZZ_CHECK(frame_bytes > 0);
    FUZZ_CHECK(size >= 44 && r.frames() <= (size - 44) / frame_bytes);

    const std::vector<float> first = read_all(r, 1);
    FUZZ_CHECK(first.size() == r.frames() * r.channels());
    FUZZ_CHECK(r.rewind(error));
    const std::vector<float> again = read_all(r, static_cast<std::size_t>(r.frames()) + 1);
    FUZZ_CHECK(again.size() == first.size());
    FUZZ_CHECK(again.empty() || std::memcmp(again.data(), first.data(), first.size() * sizeof(float)) == 0);
    return 0;
}
