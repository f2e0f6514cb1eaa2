#include "protocol/ring.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "protocol/shared_access.h"

namespace ondara {

RingHeader snapshot_ring_header(const RingHeader* live) noexcept {
    RingHeader h{};
    h.magic = load_shared(&live->magic);
    h.version = load_shared(&live->version);
    h.sample_rate = load_shared(&live->sample_rate);
    h.channels = load_shared(&live->channels);
    h.capacity_frames = load_shared(&live->capacity_frames);
    h.backlog_frames = load_shared(&live->backlog_frames);
    h.write_pos = load_shared(&live->write_pos);
    h.read_pos = load_shared(&live->read_pos);
    h.reserved0 = load_shared(&live->reserved0);
    h.reserved1 = load_shared(&live->reserved1);
    h.reserved2 = load_shared(&live->reserved2);
    // The 12 opaque bytes at offset 60, as three aligned 32-bit loads.
    const auto* words = reinterpret_cast<const std::uint32_t*>(live->reserved3);
    for (std::size_t i = 0; i < 3; ++i) {
        const std::uint32_t w = load_shared(&words[i]);
        std::memcpy(h.reserved3 + 4 * i, &w, sizeof w);
    }
    return h;
}

Segment::CheckResult check_ring_header(const RingHeader& h) {
    if (h.magic != kRingMagic || h.version != kRingVersion || h.channels < 1 || h.channels > kMaxRingChannels ||
        h.capacity_frames == 0) {
        return SegmentError::invalid_header();
    }
    // The product is formed in 64 bits so that a 32-bit wrap can never make a huge ring look small.
    const std::uint64_t samples = std::uint64_t{h.channels} * h.capacity_frames;
    const std::uint64_t bytes = kRingHeaderSize + samples * sizeof(float);
    if (h.sample_rate == 0 || samples > kMaxRingSamples || bytes > std::numeric_limits<std::size_t>::max()) {
        return SegmentError::invalid_format(h.sample_rate, h.channels, h.capacity_frames);
    }
    return static_cast<std::size_t>(bytes);
}

Expected<RingReader> RingReader::open(std::string_view name) {
    RingHeader probe{};
    auto opened = Segment::open(
        name, kRingHeaderSize,
        [&](const void* view) { probe = snapshot_ring_header(static_cast<const RingHeader*>(view)); },
        [&] { return check_ring_header(probe); });
    if (!opened.ok()) return opened.take_error();

    RingReader r;
    r.segment_ = opened.take_value();
    r.mapped_samples_ = (r.mapped_len() - kRingHeaderSize) / sizeof(float);
    // Start at most 1024 frames, and never more than one ring, behind the producer.
    const std::uint64_t behind = std::min<std::uint64_t>(probe.capacity_frames, kReaderStartBehind);
    r.cursor_ = probe.write_pos >= behind ? probe.write_pos - behind : 0;
    return r;
}

}  // namespace ondara
