#include "protocol/ring_producer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "platform/names.h"
#include "protocol/shared_access.h"

namespace ondara {
namespace {

// The failure of a system call on `name`, in words, with the code's kind.
RingProducer::Error system_error(std::uint32_t code, const std::string& what) {
    RingProducer::Error e;
    e.os_error = code;
    switch (platform::error_kind(code)) {
        case platform::ErrorKind::Exists: e.kind = RingProducer::Failure::Exists; break;
        case platform::ErrorKind::Missing: e.kind = RingProducer::Failure::Missing; break;
        case platform::ErrorKind::NoSpace: e.kind = RingProducer::Failure::NoSpace; break;
        case platform::ErrorKind::Denied: e.kind = RingProducer::Failure::Denied; break;
        case platform::ErrorKind::Held: e.kind = RingProducer::Failure::Held; break;
        case platform::ErrorKind::Other: e.kind = RingProducer::Failure::Failed; break;
    }
    e.message = what + ": " + platform::error_text(code);
    return e;
}

RingProducer::Error failure(RingProducer::Failure kind, std::string message) {
    RingProducer::Error e;
    e.kind = kind;
    e.message = std::move(message);
    return e;
}

RingProducer::Error held_error(std::string_view name, std::uint32_t holder) {
    RingProducer::Error e =
        failure(RingProducer::Failure::Held,
                "a producer" + (holder != 0 ? " (process " + std::to_string(holder) + ")" : std::string()) +
                    " holds the ring " + std::string(name) + "; it is left as it is");
    e.holder = holder;
    return e;
}

// Checks the name and the format before anything is created or opened.
bool check_request(std::string_view name, const RingFormat& format, RingProducer::Error& error) {
    if (name.empty()) {
        error = failure(RingProducer::Failure::BadName, "the ring's name is empty");
        return false;
    }
    if (std::string why = check_ring_format(format); !why.empty()) {
        error = failure(RingProducer::Failure::BadFormat, std::move(why));
        return false;
    }
    return true;
}

}  // namespace

std::string no_space_message(std::uint64_t bytes, std::string_view name) {
#if defined(__linux__)
    const char* place = "/dev/shm";
#else
    const char* place = "shared memory";
#endif
    return "no space left in " + std::string(place) + " for the " + std::to_string(bytes) + " bytes of " +
           std::string(name);
}

std::string check_ring_format(const RingFormat& f) {
    // The reader's own check, on the header this format would give.
    RingHeader h{};
    h.magic = kRingMagic;
    h.version = kRingVersion;
    h.sample_rate = f.sample_rate;
    h.channels = f.channels;
    h.capacity_frames = f.capacity_frames;
    const Segment::CheckResult checked = check_ring_header(h);
    if (checked.ok()) return {};
    if (f.channels < 1 || f.channels > kMaxRingChannels) {
        return "the channel count must be 1 to " + std::to_string(kMaxRingChannels);
    }
    if (f.capacity_frames == 0) return "the ring capacity must not be 0";
    if (f.sample_rate == 0) return "the sample rate must not be 0";
    return "the ring would hold more than " + std::to_string(kMaxRingSamples) + " samples";
}

std::uint64_t ring_bytes(const RingFormat& f) noexcept {
    return kRingHeaderSize + std::uint64_t{f.channels} * f.capacity_frames * sizeof(float);
}

// ---- RingWriter -----------------------------------------------------------------------------------

RingWriter::RingWriter(RingHeader* header, std::uint32_t channels, std::uint32_t capacity) noexcept
    : header_(header),
      data_(reinterpret_cast<float*>(reinterpret_cast<unsigned char*>(header) + kRingHeaderSize)),
      channels_(channels),
      capacity_(capacity) {}

RingWriter RingWriter::start(void* view, const RingFormat& f, std::uint64_t write_pos, bool announce) noexcept {
    RingWriter w(static_cast<RingHeader*>(view), f.channels, f.capacity_frames);
    RingHeader* h = w.header_;
    store_shared(&h->version, kRingVersion);
    store_shared(&h->sample_rate, f.sample_rate);
    store_shared(&h->channels, f.channels);
    store_shared(&h->capacity_frames, f.capacity_frames);
    store_shared(&h->backlog_frames, std::uint32_t{0});
    store_shared(&h->read_pos, std::uint64_t{0});
    store_shared(&h->write_pos, write_pos);
    if (announce) w.announce();
    return w;
}

void RingWriter::announce() noexcept {
    std::atomic_signal_fence(std::memory_order_release);
    store_shared(&header_->magic, kRingMagic);
}

void RingWriter::write(std::uint64_t first, const float* samples, std::uint64_t frames) noexcept {
    const std::uint64_t skip = frames > capacity_ ? frames - capacity_ : 0;  // overwritten within this call
    const std::uint64_t from = first + skip;
    const std::uint64_t count = frames - skip;
    const std::uint64_t slot_index = from % capacity_;
    const std::uint64_t head = std::min<std::uint64_t>(count, capacity_ - slot_index);
    const float* src = samples + skip * channels_;
    std::memcpy(data_ + slot_index * channels_, src, static_cast<std::size_t>(head * channels_ * sizeof(float)));
    if (count > head) {
        std::memcpy(data_, src + head * channels_, static_cast<std::size_t>((count - head) * channels_ * sizeof(float)));
    }
}

std::uint64_t RingWriter::write_pos() const noexcept {
    return load_shared(&header_->write_pos);  // only this side writes it
}

void RingWriter::publish(std::uint64_t pos) noexcept {
    // A reader that loads the new position also sees every sample stored before it: x86-64 keeps
    // stores in order, so only the compiler must not move the samples' stores past this one.
    std::atomic_signal_fence(std::memory_order_release);
    store_shared(&header_->write_pos, pos);
}

void RingWriter::append(const float* samples, std::uint64_t frames) noexcept {
    const std::uint64_t from = write_pos();
    write(from, samples, frames);
    publish(from + frames);
}

std::uint64_t RingWriter::read_pos() const noexcept {
    return std::atomic_ref<std::uint64_t>(header_->read_pos).load(std::memory_order_acquire);
}

std::uint32_t RingWriter::backlog_frames() const noexcept { return load_shared(&header_->backlog_frames); }

// ---- RingProducer ---------------------------------------------------------------------------------

bool RingProducer::lock(Error& error) {
    std::uint32_t holder = 0;
    lock_ = platform::lock_producer(encoded_.c_str(), mapping_, holder);
    if (lock_ != platform::kNoHandle) return true;
    const std::uint32_t code = platform::last_error();
    if (platform::error_kind(code) == platform::ErrorKind::Held) {
        error = held_error(name_, holder);
    } else {
        error = system_error(code, "cannot lock the ring " + name_);
    }
    return false;
}

std::optional<RingProducer> RingProducer::create(std::string_view name, const RingFormat& format, Error& error,
                                                 bool announce) {
    error = Error{};
    if (!check_request(name, format, error)) return std::nullopt;
    const std::uint64_t bytes = ring_bytes(format);
    RingProducer p;
    p.name_ = std::string(name);
    p.encoded_ = encode_name(name);
    p.mapping_ = platform::create_exclusive(p.encoded_.c_str(), bytes);
    if (p.mapping_ == platform::kNoHandle) {
        const std::uint32_t code = platform::last_error();
        error = system_error(code, "cannot create the " + std::to_string(bytes) + " bytes of the ring " + std::string(name));
        if (error.kind == Failure::Exists) error.message = "a segment named " + std::string(name) + " already exists";
        if (error.kind == Failure::NoSpace) error.message = no_space_message(bytes, name);
        return std::nullopt;
    }
    // Locked before the header is written. Another producer could only have come in between by taking
    // over this new, still empty object; it refuses that (not a ring), and this one stays the owner.
    if (!p.lock(error)) return std::nullopt;  // not removed: whoever holds the lock owns it now
    p.view_ = platform::map_view(p.mapping_, static_cast<std::size_t>(bytes));
    if (p.view_ == nullptr) {
        error = system_error(platform::last_error(), "cannot map the ring " + std::string(name));
        std::uint32_t ignored = 0;
        (void)p.remove_name(ignored);  // ours, and of no use to anyone
        return std::nullopt;
    }
    p.length_ = static_cast<std::size_t>(bytes);
    p.writer_ = RingWriter::start(p.view_, format, 0, announce);
    return p;
}

std::optional<RingProducer> RingProducer::take_over(std::string_view name, const RingFormat& format, Error& error) {
    error = Error{};
    if (!check_request(name, format, error)) return std::nullopt;
    RingProducer p;
    p.name_ = std::string(name);
    p.encoded_ = encode_name(name);
    // The library's own open: an object of another user is refused.
    p.mapping_ = platform::open_mapping(p.encoded_.c_str());
    if (p.mapping_ == platform::kNoHandle) {
        error = system_error(platform::last_error(), "cannot open the ring " + std::string(name));
        if (error.kind == Failure::Denied) {
            error.message = "the segment " + std::string(name) + " belongs to another user or may not be opened";
        }
        return std::nullopt;
    }
    if (!p.lock(error)) return std::nullopt;
    std::uint64_t size = 0;
    if (!platform::object_size(p.mapping_, size)) {
        error = system_error(platform::last_error(), "cannot tell the size of the ring " + std::string(name));
        return std::nullopt;
    }
    const std::uint64_t bytes = ring_bytes(format);
    if (size < kRingHeaderSize) {
        error = failure(Failure::NotARing, "a segment named " + std::string(name) + " already exists and is not an audio ring");
        return std::nullopt;
    }
    // The header is looked at through a view of its own first: mapping it reserves its page, so a
    // header that was never given one is a clean failure too.
    void* probe = platform::map_view(p.mapping_, kRingHeaderSize);
    if (probe == nullptr) {
        error = system_error(platform::last_error(), "cannot map the header of the ring " + std::string(name));
        return std::nullopt;
    }
    const RingHeader found = snapshot_ring_header(static_cast<const RingHeader*>(probe));
    platform::unmap_view(probe, kRingHeaderSize);
    if (found.magic != kRingMagic || found.version != kRingVersion) {
        error = failure(Failure::NotARing, "a segment named " + std::string(name) + " already exists and is not an audio ring");
        return std::nullopt;
    }
    if (bytes > size) {
        error = failure(Failure::TooSmall, "the ring " + std::string(name) + " that is still there is too small for " +
                                               std::to_string(format.channels) + " channels of " +
                                               std::to_string(format.capacity_frames) + " frames (" +
                                               std::to_string(size) + " bytes, " + std::to_string(bytes) + " needed)");
        return std::nullopt;
    }
    // Mapping reserves every page of the new format before any is written: on a full tmpfs that is an
    // error here, never a fault in the clearing below.
    p.view_ = platform::map_view(p.mapping_, static_cast<std::size_t>(bytes));
    if (p.view_ == nullptr) {
        const std::uint32_t code = platform::last_error();
        error = system_error(code, "cannot map the " + std::to_string(bytes) + " bytes of the ring " + std::string(name));
        if (error.kind == Failure::NoSpace) error.message = no_space_message(bytes, name) + "; it is left as it is";
        return std::nullopt;
    }
    p.length_ = static_cast<std::size_t>(bytes);

    // A reader that still maps the ring reads it all the while. Channels 0 makes it render silence and
    // leave the data area alone until the new format is complete; the channel count goes in last.
    auto* h = static_cast<RingHeader*>(p.view_);
    store_shared(&h->channels, std::uint32_t{0});
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::memset(static_cast<unsigned char*>(p.view_) + kRingHeaderSize, 0,
                static_cast<std::size_t>(bytes - kRingHeaderSize));
    store_shared(&h->write_pos, std::uint64_t{0});
    store_shared(&h->read_pos, std::uint64_t{0});
    store_shared(&h->backlog_frames, std::uint32_t{0});
    store_shared(&h->reserved0, std::uint64_t{0});
    store_shared(&h->reserved1, std::uint64_t{0});
    store_shared(&h->reserved2, std::uint32_t{0});
    for (std::uint8_t& b : h->reserved3) store_shared(&b, std::uint8_t{0});
    store_shared(&h->sample_rate, format.sample_rate);
    store_shared(&h->capacity_frames, format.capacity_frames);
    std::atomic_signal_fence(std::memory_order_release);
    store_shared(&h->channels, format.channels);
    p.writer_ = RingWriter(h, format.channels, format.capacity_frames);
    return p;
}

std::optional<RingProducer> RingProducer::create_or_take_over(std::string_view name, const RingFormat& format,
                                                              Error& error, bool& taken_over) {
    taken_over = false;
    std::optional<RingProducer> p = create(name, format, error);
    if (p || error.kind != Failure::Exists) return p;
    p = take_over(name, format, error);
    taken_over = p.has_value();
    return p;
}

RingProducer::RingProducer(RingProducer&& o) noexcept
    : name_(std::move(o.name_)),
      encoded_(std::move(o.encoded_)),
      mapping_(std::exchange(o.mapping_, platform::kNoHandle)),
      lock_(std::exchange(o.lock_, platform::kNoHandle)),
      view_(std::exchange(o.view_, nullptr)),
      length_(std::exchange(o.length_, 0)),
      writer_(std::exchange(o.writer_, RingWriter{})),
      remove_on_release_(std::exchange(o.remove_on_release_, false)) {}

RingProducer& RingProducer::operator=(RingProducer&& o) noexcept {
    if (this != &o) {
        release();
        name_ = std::move(o.name_);
        encoded_ = std::move(o.encoded_);
        mapping_ = std::exchange(o.mapping_, platform::kNoHandle);
        lock_ = std::exchange(o.lock_, platform::kNoHandle);
        view_ = std::exchange(o.view_, nullptr);
        length_ = std::exchange(o.length_, 0);
        writer_ = std::exchange(o.writer_, RingWriter{});
        remove_on_release_ = std::exchange(o.remove_on_release_, false);
    }
    return *this;
}

RingProducer::~RingProducer() { release(); }

void RingProducer::release() noexcept {
    if (remove_on_release_ && mapping_ != platform::kNoHandle) platform::remove_name(encoded_.c_str(), mapping_);
    remove_on_release_ = false;
    if (view_ != nullptr) platform::unmap_view(view_, length_);
    if (mapping_ != platform::kNoHandle) platform::close_mapping(mapping_);
    // Last: until the object is let go, no other producer may take it.
    if (lock_ != platform::kNoHandle) platform::unlock_producer(lock_);
    view_ = nullptr;
    length_ = 0;
    mapping_ = platform::kNoHandle;
    lock_ = platform::kNoHandle;
    writer_ = RingWriter{};
}

platform::Removal RingProducer::remove_name(std::uint32_t& os_error) noexcept {
    os_error = 0;
    if (mapping_ == platform::kNoHandle) return platform::Removal::NotOurs;
    const platform::Removal r = platform::remove_name(encoded_.c_str(), mapping_);
    if (r == platform::Removal::Failed) os_error = platform::last_error();
    return r;
}

}  // namespace ondara
