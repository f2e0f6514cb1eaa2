#include "common/companion_ring.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <thread>

#include "common/segment_create.h"
#include "protocol/shared_access.h"

namespace ondara::tools {
namespace {

std::uint64_t ring_bytes(std::uint32_t channels, std::uint32_t capacity_frames) {
    return kRingHeaderSize + std::uint64_t{channels} * capacity_frames * sizeof(float);
}

}  // namespace

std::string CompanionRing::check_name(const std::string& name) {
    if (name.empty()) return "the segment name is empty";
    if (name.size() > 200) return "the segment name is longer than 200 characters";
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '_' || c == '-';
        if (!ok) return "the segment name may hold only letters, digits, '.', '_' and '-'";
    }
    return {};
}

std::string CompanionRing::check_format(std::uint32_t sample_rate, std::uint32_t channels,
                                        std::uint32_t capacity_frames) {
    if (sample_rate == 0) return "the sample rate must not be 0";
    if (channels < 1 || channels > kMaxRingChannels) return "the channel count must be 1 to 6";
    if (capacity_frames == 0) return "the ring capacity must not be 0";
    if (std::uint64_t{channels} * capacity_frames > kMaxRingSamples) {
        return "the ring holds more than " + std::to_string(kMaxRingSamples) + " samples";
    }
    if (ring_bytes(channels, capacity_frames) > std::numeric_limits<std::size_t>::max()) {
        return "the ring does not fit in this process's address space";
    }
    return {};
}

std::unique_ptr<CompanionRing> CompanionRing::create(const std::string& name, std::uint32_t sample_rate,
                                                     std::uint32_t channels, std::uint32_t capacity_frames,
                                                     std::string& error, bool* exists) {
    if (exists != nullptr) *exists = false;
    error = check_name(name);
    if (error.empty()) error = check_format(sample_rate, channels, capacity_frames);
    if (!error.empty()) return nullptr;

    const std::uint64_t bytes = ring_bytes(channels, capacity_frames);
    std::unique_ptr<CompanionRing> ring(new CompanionRing);
    ring->name_ = name;
    ring->utf16_name_.assign(name.begin(), name.end());  // ASCII only, see check_name
    ring->channels_ = channels;
    ring->capacity_ = capacity_frames;
    ring->length_ = static_cast<std::size_t>(bytes);

    segment::Created created;
    const segment::CreateResult made = segment::create(name, bytes, created, error);
    if (made != segment::CreateResult::Created) {
        if (exists != nullptr) *exists = made == segment::CreateResult::Exists;
        return nullptr;
    }
    ring->view_ = created.view;
    ring->mapping_ = created.mapping;

    // A fresh segment reads as zeros, so the positions, the backlog and the reserved fields already
    // hold their initial values; only the format is written. No reader can have the ring open yet.
    RingHeader* h = ring->header();
    h->magic = kRingMagic;
    h->version = kRingVersion;
    h->sample_rate = sample_rate;
    h->channels = channels;
    h->capacity_frames = capacity_frames;
    return ring;
}

std::unique_ptr<CompanionRing> CompanionRing::take_over(const std::string& name, std::uint32_t sample_rate,
                                                        std::uint32_t channels, std::uint32_t capacity_frames,
                                                        std::string& error, TakeOver& result) {
    result = TakeOver::Failed;
    error = check_name(name);
    if (error.empty()) error = check_format(sample_rate, channels, capacity_frames);
    if (!error.empty()) return nullptr;

    segment::Created existing;
    bool missing = false;
    if (!segment::open_existing(name, true, existing, error, missing)) return nullptr;
    std::unique_ptr<CompanionRing> ring(new CompanionRing);
    ring->name_ = name;
    ring->utf16_name_.assign(name.begin(), name.end());
    ring->view_ = existing.view;
    ring->length_ = existing.length;
    ring->mapping_ = existing.mapping;
    // From here on the destructor releases the view; it must not remove a name that is not ours yet.
    ring->owned_ = false;

    RingHeader* h = ring->header();
    if (existing.length < kRingHeaderSize || load_shared(&h->magic) != kRingMagic ||
        load_shared(&h->version) != kRingVersion) {
        result = TakeOver::NotARing;
        error = "a segment named " + name + " already exists and is not an audio ring";
        return nullptr;
    }
    // A producer writes every few milliseconds; one that has not moved write_pos for a fifth of a
    // second has ended (or hangs, and then its ring is as good as abandoned).
    const std::uint64_t before = load_shared(&h->write_pos);
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (load_shared(&h->write_pos) != before) {
            result = TakeOver::Live;
            error = "another producer is writing into the ring " + name;
            return nullptr;
        }
    }
    const std::uint64_t bytes = ring_bytes(channels, capacity_frames);
    if (bytes > existing.length) {
        result = TakeOver::TooSmall;
        error = "the ring " + name + " that is still there is too small for " + std::to_string(channels) +
                " channels of " + std::to_string(capacity_frames) + " frames (" + std::to_string(existing.length) +
                " bytes, " + std::to_string(bytes) + " needed)";
        return nullptr;
    }

    // A reader that still has the ring open reads it all the while. Channels 0 makes it render silence
    // and leave the data area alone until the new format is complete; the new channel count goes last.
    store_shared(&h->channels, std::uint32_t{0});
    std::atomic_thread_fence(std::memory_order_seq_cst);
    std::memset(ring->data(), 0, static_cast<std::size_t>(bytes - kRingHeaderSize));
    store_shared(&h->write_pos, std::uint64_t{0});
    store_shared(&h->read_pos, std::uint64_t{0});
    store_shared(&h->backlog_frames, std::uint32_t{0});
    store_shared(&h->reserved0, std::uint64_t{0});
    store_shared(&h->reserved1, std::uint64_t{0});
    store_shared(&h->reserved2, std::uint32_t{0});
    for (std::uint8_t& b : h->reserved3) store_shared(&b, std::uint8_t{0});
    store_shared(&h->sample_rate, sample_rate);
    store_shared(&h->capacity_frames, capacity_frames);
    std::atomic_thread_fence(std::memory_order_release);
    store_shared(&h->channels, channels);
    ring->channels_ = channels;
    ring->capacity_ = capacity_frames;
    ring->owned_ = true;
    result = TakeOver::Done;
    return ring;
}

CompanionRing::~CompanionRing() {
    // A create that failed cleans up what it made itself; above all it must not remove the name,
    // which then belongs to whoever already had a segment by it.
    if (view_ == nullptr) return;
    segment::Created created{view_, length_, mapping_};
    segment::close(created);  // on Windows the mapping goes with its last handle or view, the library's included
    if (owned_) segment::remove_name(name_);
}

float* CompanionRing::data() const noexcept {
    return reinterpret_cast<float*>(static_cast<unsigned char*>(view_) + kRingHeaderSize);
}

std::uint64_t CompanionRing::write_pos() const noexcept {
    return std::atomic_ref<std::uint64_t>(header()->write_pos).load(std::memory_order_relaxed);
}

void CompanionRing::publish(std::uint64_t pos) noexcept {
    std::atomic_ref<std::uint64_t>(header()->write_pos).store(pos, std::memory_order_release);
}

void CompanionRing::append(const float* samples, std::uint64_t frames) noexcept {
    const std::uint64_t from = write_pos();
    std::uint64_t skip = 0;
    if (frames > capacity_) skip = frames - capacity_;  // would be overwritten within this call anyway
    const std::uint64_t first_frame = from + skip;
    const std::uint64_t count = frames - skip;
    const std::uint64_t slot = first_frame % capacity_;
    const std::uint64_t head = std::min(count, capacity_ - slot);
    const float* src = samples + skip * channels_;
    std::memcpy(data() + slot * channels_, src, head * channels_ * sizeof(float));
    if (count > head) std::memcpy(data(), src + head * channels_, (count - head) * channels_ * sizeof(float));
    publish(from + frames);
}

std::uint64_t CompanionRing::read_pos() const noexcept {
    return std::atomic_ref<std::uint64_t>(header()->read_pos).load(std::memory_order_acquire);
}

std::uint32_t CompanionRing::backlog_frames() const noexcept {
    return std::atomic_ref<std::uint32_t>(header()->backlog_frames).load(std::memory_order_relaxed);
}

}  // namespace ondara::tools
