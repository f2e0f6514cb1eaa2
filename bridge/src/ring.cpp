#include "ring.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "shared_access.h"

namespace ondara {
namespace {

// Frame data is copied with plain loads after the header pass that gave write_pos; the producer only
// writes slots past write_pos, except when the reader is nearly a whole ring behind, and then the frame
// is delivered as read. This is the one place that reads the data area.
void copy_ring_frames(float* dest, const float* data, std::uint64_t slot, std::uint64_t frames,
                      std::uint64_t capacity, std::uint64_t channels) noexcept {
    // At most two spans: up to the end of the data area, then from its start.
    const std::uint64_t first = std::min(frames, capacity - slot);
    std::memcpy(dest, data + slot * channels, first * channels * sizeof(float));
    if (frames > first) std::memcpy(dest + first * channels, data, (frames - first) * channels * sizeof(float));
}

// samples / channels, with the usual channel counts divided by constants rather than a division
// instruction on every block.
std::uint64_t whole_frames(std::uint64_t samples, std::uint64_t channels) noexcept {
    switch (channels) {
        case 1: return samples;
        case 2: return samples / 2;
        case 3: return samples / 3;
        case 4: return samples / 4;
        case 5: return samples / 5;
        case 6: return samples / 6;
        default: return samples / channels;
    }
}

}  // namespace

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
    r.segment = opened.value();
    r.block = static_cast<RingHeader*>(r.segment.view);
    r.mapped_len = r.segment.length;
    // Start at most 1024 frames, and never more than one ring, behind the producer.
    const std::uint64_t behind = std::min<std::uint64_t>(probe.capacity_frames, kReaderStartBehind);
    r.cursor = probe.write_pos >= behind ? probe.write_pos - behind : 0;
    return r;
}

std::uint64_t RingReader::read(float* dest, std::size_t sample_count) noexcept {
    // One pass over the live header; a producer that writes during the call is seen next call.
    const std::uint64_t channels = load_shared(&block->channels);
    const std::uint64_t capacity = load_shared(&block->capacity_frames);
    const std::uint64_t write_pos = load_shared(&block->write_pos);

    // A header that no longer matches the view it was mapped for (or a zero channel count) is silence:
    // addressing slots with it could reach outside the mapping.
    const std::uint64_t mapped_samples = (mapped_len - kRingHeaderSize) / sizeof(float);
    if (channels == 0 || channels * capacity > mapped_samples) {
        std::fill_n(dest, sample_count, 0.0f);
        return 0;
    }

    const std::uint64_t oldest = write_pos > capacity ? write_pos - capacity : 0;
    if (cursor < oldest) {
        cursor = oldest;  // more than a whole ring behind: the lost frames are skipped
    } else if (cursor > write_pos) {
        cursor = write_pos;  // the producer restarted its counter
    }

    const std::uint64_t dest_frames = whole_frames(sample_count, channels);
    const std::uint64_t taken = std::min(write_pos - cursor, dest_frames);
    if (taken > 0) {
        // Reading on from where the previous call stopped, the slot is known without a division.
        const std::uint64_t slot =
            cursor == next_cursor_ && capacity == next_capacity_ ? next_slot_ : cursor % capacity;
        const auto* data = reinterpret_cast<const float*>(reinterpret_cast<const unsigned char*>(block) + kRingHeaderSize);
        copy_ring_frames(dest, data, slot, taken, capacity, channels);
        cursor += taken;
        next_cursor_ = cursor;
        next_capacity_ = capacity;
        next_slot_ = slot + taken >= capacity ? slot + taken - capacity : slot + taken;
    }
    if (taken < dest_frames) std::fill(dest + taken * channels, dest + dest_frames * channels, 0.0f);

    std::atomic_ref<std::uint64_t> read_pos(block->read_pos);
    std::uint64_t seen = read_pos.load();
    while (seen < cursor && !read_pos.compare_exchange_weak(seen, cursor)) {
    }
    store_shared(&block->backlog_frames,
                 static_cast<std::uint32_t>(std::min<std::uint64_t>(write_pos - cursor, 0xFFFFFFFF)));
    return taken;
}

}  // namespace ondara
