// The companion's half of an audio ring, for the demo and the benchmarks.
//
// The library only ever opens rings; creating one, filling its header and producing the audio is the
// companion's job. These tools play that part themselves, so this class creates the named segment the
// library will look for (the POSIX object "/" + name, or a Win32 mapping of that name), writes a
// complete header, and is the ring's only writer of audio and of write_pos. It owns the segment: the
// destructor unmaps it and, on POSIX, removes the object, which the library never does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/ring.h"

namespace ondara::tools {

class CompanionRing {
public:
    // Creates the ring `name` with a zeroed data area, its pages reserved (segment_create.h); fails
    // when a segment of that name already exists (it belongs to someone else; then `*exists` is set
    // where given), when shared memory has no room for it, or when the format is one the library would
    // refuse. Null on failure, with the reason in `error`.
    static std::unique_ptr<CompanionRing> create(const std::string& name, std::uint32_t sample_rate,
                                                 std::uint32_t channels, std::uint32_t capacity_frames,
                                                 std::string& error, bool* exists = nullptr);

    // What take_over found.
    enum class TakeOver {
        Done,      // the ring is ours now, with a fresh header
        NotARing,  // the segment holds something else, or too little to be a ring
        Live,      // a producer still writes into it
        TooSmall,  // it is a ring that nobody writes, but too small for the format asked for
        Failed     // it could not be opened or mapped
    };

    // Takes over the existing ring `name` once no producer writes into it any more: a ring whose
    // companion ended while a reader still holds it (Windows keeps a segment while any process has it
    // open), or on POSIX one whose companion was killed before it could remove the name. When it is
    // large enough for the format, its data area is cleared and a fresh header written, with write_pos
    // back at 0: readers that still have it open take that as a restart of the producer's counter and
    // play on. Watching write_pos for that takes a fifth of a second. Null unless Done, with the reason
    // in `error`; nothing is written in any other case.
    static std::unique_ptr<CompanionRing> take_over(const std::string& name, std::uint32_t sample_rate,
                                                    std::uint32_t channels, std::uint32_t capacity_frames,
                                                    std::string& error, TakeOver& result);

    // Why `name` cannot be a segment name for these tools, or empty when it can. Names are kept to
    // ASCII letters, digits, '.', '_' and '-' so that the UTF-16 form the library takes and the UTF-8
    // object name it derives are the same characters.
    static std::string check_name(const std::string& name);

    // Why the library would refuse this format, or empty when it is usable.
    static std::string check_format(std::uint32_t sample_rate, std::uint32_t channels, std::uint32_t capacity_frames);

    ~CompanionRing();
    CompanionRing(const CompanionRing&) = delete;
    CompanionRing& operator=(const CompanionRing&) = delete;

    const std::string& name() const noexcept { return name_; }
    // The name as the UTF-16 code units ondara_receiver_open takes (no terminator).
    const std::vector<std::uint16_t>& utf16_name() const noexcept { return utf16_name_; }

    RingHeader* header() const noexcept { return static_cast<RingHeader*>(view_); }
    std::uint32_t channels() const noexcept { return channels_; }
    std::uint64_t capacity_frames() const noexcept { return capacity_; }
    // The whole data area: capacity_frames x channels interleaved floats.
    float* data() const noexcept;
    // The samples of frame `frame`, which lives in slot frame mod capacity_frames.
    float* frame_slot(std::uint64_t frame) const noexcept { return data() + (frame % capacity_) * channels_; }

    // write_pos as this producer last published it.
    std::uint64_t write_pos() const noexcept;
    // Raises write_pos to `pos`; the frames below it must already be written. A release store, so a
    // reader that sees the new position also sees the samples.
    void publish(std::uint64_t pos) noexcept;

    // Writes `frames` interleaved frames (frames x channels floats) at write_pos, wrapping round the
    // end of the data area, then publishes them. More than a whole ring at once keeps only the last
    // capacity_frames of them, which is all a ring can hold.
    void append(const float* samples, std::uint64_t frames) noexcept;

    // What the readers wrote back.
    std::uint64_t read_pos() const noexcept;
    std::uint32_t backlog_frames() const noexcept;

private:
    CompanionRing() = default;

    std::string name_;
    std::vector<std::uint16_t> utf16_name_;
    void* view_ = nullptr;
    std::size_t length_ = 0;
    std::uint32_t channels_ = 0;
    std::uint64_t capacity_ = 0;
    void* mapping_ = nullptr;  // the mapping handle on Windows
    bool owned_ = true;        // the name is this producer's to remove when it ends
};

}  // namespace ondara::tools
