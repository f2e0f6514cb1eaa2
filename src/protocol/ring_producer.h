// The producer's half of the audio ring: the side that creates a ring, writes its header, appends
// frames and publishes write_pos. The companion application is that side; in this tree the companion
// stand-in, the demo, the benchmarks and the tests play it, all through this one writer. The library's
// exports only ever read rings (ring.h) and never call this.
//
// RingWriter writes into a view it does not own. RingProducer owns a ring by name: its object, its
// view, and the producer lock (platform.h), held for as long as the producer lives and dropped by the
// system when its process ends, however it ends. Only a producer that holds the lock writes: a second
// one is refused while the first lives, also while it is stopped or slow, and takes the ring over once
// the first is gone, at once, whether or not a reader still maps it. The readers follow a take-over by
// their restart rule (write_pos back at 0).
//
// Its stores are ordered as the reader's loads are (shared_access.h): x86-64 keeps stores in program
// order, and compiler fences, or the release store of write_pos, keep the code in that order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "protocol/ring.h"

namespace ondara {

struct RingFormat {
    std::uint32_t sample_rate;
    std::uint32_t channels;
    std::uint32_t capacity_frames;
};

// Why a reader would refuse a ring of `format`, or empty when it would take it.
std::string check_ring_format(const RingFormat& format);

// What a user reads when shared memory has no room for `bytes` more bytes of the segment `name`.
std::string no_space_message(std::uint64_t bytes, std::string_view name);

// The bytes of a ring of `format`: header and data area. Only for a format check_ring_format accepts.
std::uint64_t ring_bytes(const RingFormat& format) noexcept;

// Writing a ring through a view owned elsewhere. Every store to a shared field is a single store at
// the field's width; write_pos is published with release order after the frames below it.
class RingWriter {
public:
    RingWriter() noexcept = default;

    // Fills in the header of a zeroed view for `format`, with write_pos at `write_pos` (a producer that
    // has been running a while, for the tests) and read_pos at 0.
    // The magic goes last, so that a reader polling for the ring never validates half a header;
    // `announce` false leaves it out, for the caller to write with announce().
    static RingWriter start(void* view, const RingFormat& format, std::uint64_t write_pos = 0,
                            bool announce = true) noexcept;
    void announce() noexcept;
    // A writer of a ring whose header is already complete.
    static RingWriter over(RingHeader* header, std::uint32_t channels, std::uint32_t capacity) noexcept {
        return RingWriter(header, channels, capacity);
    }

    RingHeader* header() const noexcept { return header_; }
    float* data() const noexcept { return data_; }
    std::uint32_t channels() const noexcept { return channels_; }
    std::uint32_t capacity() const noexcept { return capacity_; }
    // The samples of frame `frame`, which lives in slot frame mod capacity_frames.
    float* slot(std::uint64_t frame) const noexcept { return data_ + (frame % capacity_) * channels_; }

    // Copies `frames` interleaved frames into the slots of frames [first, first + frames), wrapping
    // round the end of the data area; write_pos is not touched. More than a ring keeps the last
    // capacity_frames of them, which is all a ring can hold.
    void write(std::uint64_t first, const float* samples, std::uint64_t frames) noexcept;
    // write_pos as this producer last published it.
    std::uint64_t write_pos() const noexcept;
    // Raises write_pos to `pos`; the frames below it must already be written.
    void publish(std::uint64_t pos) noexcept;
    // write() at write_pos, then publish() past the frames.
    void append(const float* samples, std::uint64_t frames) noexcept;

    // What the readers wrote back.
    std::uint64_t read_pos() const noexcept;
    std::uint32_t backlog_frames() const noexcept;

private:
    RingWriter(RingHeader* header, std::uint32_t channels, std::uint32_t capacity) noexcept;

    RingHeader* header_ = nullptr;
    float* data_ = nullptr;
    std::uint32_t channels_ = 0;
    std::uint32_t capacity_ = 0;

    friend class RingProducer;
};

class RingProducer {
public:
    enum class Failure : std::uint8_t {
        None,
        BadName,    // empty
        BadFormat,  // one that readers refuse
        Exists,     // create: an object of that name is there
        Missing,    // take_over: there is none
        Denied,     // it belongs to another user, or may not be opened
        Held,       // take_over: a live producer holds the lock
        NotARing,   // take_over: it holds something else
        TooSmall,   // take_over: a ring, but too small for the format
        NoSpace,    // shared memory has no room for its pages
        Failed      // any other failure of the system
    };
    struct Error {
        Failure kind = Failure::None;
        std::uint32_t os_error = 0;
        std::uint32_t holder = 0;  // Held: the holder's process id where the system tells it, else 0
        std::string message;       // in words for the user, naming the ring
    };

    // Creates the ring `name` (never one that exists), locks it and writes its header; `announce` false
    // leaves the magic to writer().announce(), for a producer that fills the ring first.
    static std::optional<RingProducer> create(std::string_view name, const RingFormat& format, Error& error,
                                              bool announce = true);
    // Takes over the existing ring `name` whose producer is gone: locks it, reserves the pages of the
    // new format and writes a fresh header with write_pos back at 0. Nothing is written unless it
    // succeeds.
    static std::optional<RingProducer> take_over(std::string_view name, const RingFormat& format, Error& error);
    // create, and take_over when the name exists; `taken_over` says which happened.
    static std::optional<RingProducer> create_or_take_over(std::string_view name, const RingFormat& format,
                                                           Error& error, bool& taken_over);

    RingProducer(RingProducer&& other) noexcept;
    RingProducer& operator=(RingProducer&& other) noexcept;
    RingProducer(const RingProducer&) = delete;
    RingProducer& operator=(const RingProducer&) = delete;
    // Unmaps, closes and lets go of the lock; the name stays (see remove_name).
    ~RingProducer();

    RingWriter& writer() noexcept { return writer_; }
    const RingWriter& writer() const noexcept { return writer_; }
    const std::string& name() const noexcept { return name_; }
    std::size_t length() const noexcept { return length_; }

    // Removes the name while it still leads to this ring (Removed), leaves it to the ring that has
    // since taken it (NotOurs), or fails with the reason in `os_error`. Readers that map the ring
    // keep it until they let go.
    platform::Removal remove_name(std::uint32_t& os_error) noexcept;
    // Makes the release remove the name too (as remove_name, the outcome unreported), for producers
    // that have no use for it: the benchmarks and the tests.
    void remove_name_on_release() noexcept { remove_on_release_ = true; }

private:
    RingProducer() noexcept = default;
    // Takes the producer lock of the open object without waiting; a held lock names its holder.
    bool lock(Error& error);
    void release() noexcept;

    std::string name_;
    std::u16string encoded_;
    platform::Handle mapping_ = platform::kNoHandle;
    platform::Handle lock_ = platform::kNoHandle;
    void* view_ = nullptr;
    std::size_t length_ = 0;
    RingWriter writer_;
    bool remove_on_release_ = false;
};

}  // namespace ondara
