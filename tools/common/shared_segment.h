// A named shared-memory segment as the companion stand-in sees the two small control blocks: opened as
// it is, read-only or read-write, or created anew when it is missing; and, for `watch`, any segment
// looked at only through copies (SegmentReader).
//
// The library's own opens (src/platform/segment.h) create or reset a control block whenever they can,
// which is right for the plug-in side but wrong here: `watch` must leave a block exactly as it finds
// it, and `serve-mode` must pick up a request the plug-in already made. Hence these separate opens,
// which never create unless asked to and never reset anything. The audio ring is created by the
// producer (protocol/ring_producer.h). All of them stand on the library's platform layer, so an
// object of another user is refused here as the library refuses it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace ondara::tools {

// Why `name` cannot be a segment name for these tools, or empty when it can. Names are kept to ASCII
// letters, digits, '.', '_' and '-' so that the UTF-16 form the library takes and the UTF-8 object
// name it derives are the same characters.
std::string check_segment_name(const std::string& name);

class SharedSegment {
public:
    enum class Access { ReadOnly, ReadWrite };
    enum class Failure { None, Missing, Exists, Other };

    // Opens the existing segment `name` and maps all of it; never creates one. A read-only segment is
    // mapped read-only, so that a stray store faults instead of changing the other side's block. Null
    // on failure, with the reason in `error` and its kind in `failure` (Missing: no such segment).
    static std::unique_ptr<SharedSegment> open(const std::string& name, Access access, std::string& error,
                                               Failure* failure = nullptr);

    // Creates the segment `name` with `bytes` zero bytes, its pages reserved, mapped
    // read-write; fails (Exists) when a segment of that name is already there, so that it never takes
    // over someone else's, and (Other) when shared memory has no room for it.
    static std::unique_ptr<SharedSegment> create(const std::string& name, std::size_t bytes, std::string& error,
                                                 Failure* failure = nullptr);

    // Removes the name while it still leads to this segment (nothing to do on Windows, where a mapping
    // goes with its last handle or view); false, with the reason in `error`, when that fails.
    bool remove_own_name(std::string& error) noexcept;
    // Removes the name of whatever segment of ours has it; a missing name is fine. For cleaning up.
    static void remove_name(const std::string& name) noexcept;

    // Unmaps and closes; the segment and its name stay (see remove_name).
    ~SharedSegment();
    SharedSegment(const SharedSegment&) = delete;
    SharedSegment& operator=(const SharedSegment&) = delete;

    void* data() const noexcept { return view_; }
    // Bytes mapped: the object's size on POSIX; on Windows the view's whole pages, since a mapping
    // does not tell its exact size.
    std::size_t size() const noexcept { return length_; }
    bool writable() const noexcept { return access_ == Access::ReadWrite; }

private:
    SharedSegment() = default;

    std::string name_;
    void* view_ = nullptr;
    std::size_t length_ = 0;
    Access access_ = Access::ReadOnly;
    platform::Handle mapping_ = platform::kNoHandle;
};

// An existing segment read only through copies (platform::read_object), so that nothing another
// process does to it can fault this one: a mapping of a POSIX object that someone truncates faults
// with SIGBUS on the next load from a page past the new end.
class SegmentReader {
public:
    // Opens the existing segment `name` read-only; never creates one. Null on failure, with the reason
    // in `error` and its kind in `failure` (Missing: no such segment).
    static std::unique_ptr<SegmentReader> open(const std::string& name, std::string& error,
                                               SharedSegment::Failure* failure = nullptr);

    ~SegmentReader();
    SegmentReader(const SegmentReader&) = delete;
    SegmentReader& operator=(const SegmentReader&) = delete;

    // The segment's size when it was opened (on Windows the view's whole pages).
    std::size_t opened_size() const noexcept { return opened_size_; }

    // Copies the first min(`capacity`, size now) bytes of the segment into `out` and sets `size_now` to
    // its size at this moment, which may be smaller than at open (or 0). False, with the reason in
    // `error`, when it cannot be read at all.
    bool read(void* out, std::size_t capacity, std::size_t& size_now, std::string& error) const;

private:
    SegmentReader() = default;

    std::string name_;
    std::size_t opened_size_ = 0;
    platform::Handle mapping_ = platform::kNoHandle;
};

}  // namespace ondara::tools
