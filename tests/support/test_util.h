// Small helpers shared by the unit tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fake_platform.h"
#include "ondara.h"
#include "protocol/ring.h"
#include "protocol/ring_producer.h"

namespace ondara::test {

inline std::u16string u16(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

inline const std::uint16_t* units(const std::u16string& s) { return reinterpret_cast<const std::uint16_t*>(s.data()); }

// A ring held by a fake companion, written by the companion's own writer: header filled in, data
// area zeroed.
struct FakeRing {
    RingHeader* header;
    float* data;
    std::uint32_t channels;
    std::uint32_t capacity;

    static FakeRing add(std::u16string_view name, std::uint32_t channels, std::uint32_t capacity,
                        std::uint64_t write_pos = 0, std::uint32_t rate = 48000) {
        unsigned char* bytes = fake::add_object(name, kRingHeaderSize + std::size_t{channels} * capacity * 4);
        const RingWriter w = RingWriter::start(bytes, RingFormat{rate, channels, capacity}, write_pos);
        return {w.header(), w.data(), channels, capacity};
    }

    // Writes frames [from, to) with sample j of frame f = value(f, j), then raises write_pos to `to`.
    template <class Value>
    void produce(std::uint64_t from, std::uint64_t to, Value value) {
        RingWriter w = writer();
        for (std::uint64_t f = from; f < to; ++f) {
            for (std::uint32_t j = 0; j < channels; ++j) w.slot(f)[j] = value(f, j);
        }
        w.publish(to);
    }

    RingWriter writer() const noexcept { return RingWriter::over(header, channels, capacity); }
};

// A recognisable sample for frame f, channel j.
inline float sample_of(std::uint64_t f, std::uint32_t j) { return static_cast<float>(f % 100000) + 0.125f * static_cast<float>(j + 1); }

}  // namespace ondara::test
