// WAV files built byte by byte for the tests, so that every header field is what the test says,
// malformed ones included.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tools_support.h"

namespace ondara::toolstest {

using Bytes = std::vector<unsigned char>;

inline void put16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<unsigned char>(v));
    b.push_back(static_cast<unsigned char>(v >> 8));
}
inline void put32(Bytes& b, std::uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}
inline void put_tag(Bytes& b, const char* tag) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(tag[i]));
}

inline void put_chunk(Bytes& b, const char* tag, const Bytes& body, std::uint32_t claimed = 0xFFFFFFFF) {
    put_tag(b, tag);
    put32(b, claimed != 0xFFFFFFFF ? claimed : static_cast<std::uint32_t>(body.size()));
    b.insert(b.end(), body.begin(), body.end());
    if (body.size() % 2 == 1) b.push_back(0);  // RIFF pads every chunk to an even length
}

inline Bytes fmt_body(std::uint16_t format, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
               std::uint16_t block_align = 0) {
    if (block_align == 0) block_align = static_cast<std::uint16_t>(channels * bits / 8);
    Bytes f;
    put16(f, format);
    put16(f, channels);
    put32(f, rate);
    put32(f, rate * block_align);
    put16(f, block_align);
    put16(f, bits);
    return f;
}

// WAVE_FORMAT_EXTENSIBLE around `subformat` (1 PCM, 3 float), with the standard GUID tail unless broken.
inline Bytes extensible_body(std::uint16_t subformat, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                      bool bad_guid = false) {
    Bytes f = fmt_body(0xFFFE, channels, rate, bits);
    put16(f, 22);    // cbSize
    put16(f, bits);  // valid bits
    put32(f, 0);     // channel mask
    put16(f, subformat);
    const unsigned char tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                    0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    f.insert(f.end(), tail, tail + 14);
    if (bad_guid) f.back() ^= 0xFF;
    return f;
}

inline Bytes riff(const std::vector<std::pair<const char*, Bytes>>& chunks) {
    Bytes body;
    put_tag(body, "WAVE");
    for (const auto& [tag, data] : chunks) put_chunk(body, tag, data);
    Bytes b;
    put_tag(b, "RIFF");
    put32(b, static_cast<std::uint32_t>(body.size()));
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

class WavFile {
public:
    explicit WavFile(const Bytes& bytes) : path_(unique_name("wav") + "-" + std::to_string(counter_++) + ".wav") {
        std::ofstream(path_, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                     static_cast<std::streamsize>(bytes.size()));
    }
    ~WavFile() { remove_file(path_); }
    const std::string& path() const { return path_; }

private:
    static inline int counter_ = 0;
    std::string path_;
};

}  // namespace ondara::toolstest
