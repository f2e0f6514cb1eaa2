// The audio ring: a 72-byte header and a circular area of interleaved 32-bit float frames.
//
// The companion creates the ring, fills the header and is the only writer of the audio and of
// `write_pos`; it writes a frame's samples before it raises `write_pos` past that frame, and keeps
// `channels` and `capacity_frames` fixed while readers have the ring open. Readers write only
// `read_pos` (an atomic maximum, so several readers never lower each other's progress) and
// `backlog_frames` (a plain store: the last reader wins). Frame f lives in slot f mod capacity_frames.
// Layout is little-endian and fixed; it is a wire format between two processes.
//
// A reader loads write_pos before any frame below it and raises read_pos only after it has copied
// the frames out; compiler fences pin both orders in the code, and on x86-64, which keeps loads in
// order and stores in order, that is all the companion needs (see shared_access.h).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/segment.h"
#include "protocol/shared_access.h"

namespace ondara {

inline constexpr std::uint32_t kRingMagic = 0x42414E4F;  // "ONAB" in memory order
inline constexpr std::uint32_t kRingVersion = 1;
inline constexpr std::uint32_t kMaxRingChannels = 6;
inline constexpr std::uint64_t kMaxRingSamples = 0x3FFFFFFF;
inline constexpr std::uint64_t kReaderStartBehind = 1024;

struct RingHeader {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t sample_rate;
    std::uint32_t channels;
    std::uint32_t capacity_frames;
    std::uint32_t backlog_frames;
    std::uint64_t write_pos;
    std::uint64_t read_pos;
    std::uint64_t reserved0;
    std::uint64_t reserved1;
    std::uint32_t reserved2;
    std::uint8_t reserved3[12];
};

static_assert(sizeof(RingHeader) == 72);
static_assert(offsetof(RingHeader, magic) == 0);
static_assert(offsetof(RingHeader, version) == 4);
static_assert(offsetof(RingHeader, sample_rate) == 8);
static_assert(offsetof(RingHeader, channels) == 12);
static_assert(offsetof(RingHeader, capacity_frames) == 16);
static_assert(offsetof(RingHeader, backlog_frames) == 20);
static_assert(offsetof(RingHeader, write_pos) == 24);
static_assert(offsetof(RingHeader, read_pos) == 32);
static_assert(offsetof(RingHeader, reserved0) == 40);
static_assert(offsetof(RingHeader, reserved1) == 48);
static_assert(offsetof(RingHeader, reserved2) == 56);
static_assert(offsetof(RingHeader, reserved3) == 60);
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free,
              "read_pos is raised in place in shared memory, which needs a lock-free 64-bit CAS");

inline constexpr std::size_t kRingHeaderSize = sizeof(RingHeader);

// A field-by-field copy of a header in shared memory.
RingHeader snapshot_ring_header(const RingHeader* live) noexcept;

// Validates a probed header: the full length of the segment in bytes, or why it is refused.
Segment::CheckResult check_ring_header(const RingHeader& header);

// What one block works from: the live header's geometry, counter and rate, each loaded once. Every size,
// bound and slot of the read is derived from this copy alone, so a companion that rewrites the header
// meanwhile can make the audio wrong, but never make the read leave its buffers or the view.
struct RingState {
    std::uint32_t channels;
    std::uint32_t capacity;
    std::uint64_t write_pos;
    std::uint32_t sample_rate;  // only reported back to the caller
    const float* data;          // the data area of the view that the header was read from
};

// Where the frames that one read takes lie in the data area: `first_frames` frames from `first` on,
// then the rest from the start of the data area (`second`). Each frame is `channels` floats.
struct RingSpans {
    const float* first = nullptr;
    const float* second = nullptr;
    std::uint64_t first_frames = 0;
    std::uint64_t frames = 0;  // in all, at most the number asked for
};

// One opened ring and this reader's cursor in it. Move-only: the ring's segment is unmapped and closed
// when the reader that owns it goes.
class RingReader {
public:
    RingReader() noexcept = default;  // holds no ring

    static Expected<RingReader> open(std::string_view name);

    // The header at the start of the view.
    RingHeader* block() const noexcept { return static_cast<RingHeader*>(segment_.view()); }
    // Bytes mapped: the header and the data area as they were validated at open.
    std::uint64_t mapped_len() const noexcept { return segment_.length(); }
    // The absolute index of the next frame this reader takes.
    std::uint64_t cursor() const noexcept { return cursor_; }

    // One load each of channels, capacity_frames, write_pos and sample_rate, then a compiler fence: no
    // frame is loaded before write_pos has been.
    RingState state() const noexcept {
        const RingHeader* h = block();
        const RingState s{load_shared(&h->channels), load_shared(&h->capacity_frames), load_shared(&h->write_pos),
                          load_shared(&h->sample_rate), data_of(h)};
        std::atomic_signal_fence(std::memory_order_acquire);
        return s;
    }

    // Whether `s` can be read at all: a channel count of zero, or a data area larger than the view
    // that was mapped, is silence, and a read of it makes no progress.
    bool fits(const RingState& s) const noexcept {
        return s.channels != 0 && std::uint64_t{s.channels} * s.capacity <= mapped_samples_;
    }

    // For a state that fits: catches the cursor up to the frames still in the ring, then moves it past
    // up to `max_frames` available frames and says where they lie. They stay in the ring, so the
    // caller copies them out before it publishes.
    RingSpans take(const RingState& s, std::uint64_t max_frames) noexcept;

    // Raises read_pos to the cursor and stores the backlog against `s`; the caller is done with the
    // frames that take() gave it.
    void publish(const RingState& s) noexcept;

    RingHeader snapshot() const noexcept { return snapshot_ring_header(block()); }

private:
    static const float* data_of(const RingHeader* h) noexcept {
        return reinterpret_cast<const float*>(reinterpret_cast<const unsigned char*>(h) + kRingHeaderSize);
    }

    Segment segment_;
    std::uint64_t cursor_ = 0;
    std::uint64_t mapped_samples_ = 0;  // floats of data area in the view
    // Where the last read ended, so that the next one finds its slot without a division; only used
    // while the cursor and the capacity are still what they were then.
    std::uint64_t next_cursor_ = ~std::uint64_t{0};
    std::uint64_t next_slot_ = 0;
    std::uint64_t next_capacity_ = 0;
};

// Both run on the audio thread once per block, so they are inline for the render to fold them in. In the
// library only the render calls them; any other file that does must be built with the audio path's
// shared-access hook setting (the ring tests are), or the two copies of them would differ.
inline RingSpans RingReader::take(const RingState& s, std::uint64_t max_frames) noexcept {
    const std::uint64_t capacity = s.capacity;
    const std::uint64_t oldest = s.write_pos > capacity ? s.write_pos - capacity : 0;
    if (cursor_ < oldest) {
        cursor_ = oldest;  // more than a whole ring behind: the lost frames are skipped
    } else if (cursor_ > s.write_pos) {
        cursor_ = s.write_pos;  // the producer restarted its counter
    }
    RingSpans spans;
    spans.frames = std::min(s.write_pos - cursor_, max_frames);
    if (spans.frames == 0) return spans;  // also whenever the capacity is 0: no slot is addressed

    // Reading on from where the previous call stopped, the slot is known without a division.
    const std::uint64_t slot = cursor_ == next_cursor_ && capacity == next_capacity_ ? next_slot_ : cursor_ % capacity;
    spans.first = s.data + slot * s.channels;
    spans.second = s.data;
    spans.first_frames = std::min(spans.frames, capacity - slot);
    cursor_ += spans.frames;
    next_cursor_ = cursor_;
    next_capacity_ = capacity;
    next_slot_ = slot + spans.frames >= capacity ? slot + spans.frames - capacity : slot + spans.frames;
    return spans;
}

inline void RingReader::publish(const RingState& s) noexcept {
    // A peer that keeps lowering read_pos between our load and our swap could hold the audio thread
    // here for as long as it likes; after a few attempts the raise is left to the next read, which
    // publishes the cursor again.
    constexpr int kAttempts = 4;
    // A compiler fence: every frame of the block has been loaded before read_pos frees its slot.
    std::atomic_signal_fence(std::memory_order_release);
    RingHeader* const h = block();
    std::atomic_ref<std::uint64_t> read_pos(h->read_pos);
    before_shared_access(&h->read_pos);
    std::uint64_t seen = read_pos.load();
    for (int attempt = 0; attempt < kAttempts && seen < cursor_; ++attempt) {
        before_shared_access(&h->read_pos);
        if (read_pos.compare_exchange_strong(seen, cursor_)) break;
    }
    store_shared(&h->backlog_frames,
                 static_cast<std::uint32_t>(std::min<std::uint64_t>(s.write_pos - cursor_, 0xFFFFFFFF)));
}

}  // namespace ondara
