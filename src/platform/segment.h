// One named shared-memory object, mapped: its mapping handle and the base of its view. A Segment owns
// both: it can be moved but not copied, and its destructor is the one place that releases them.
//
// Two ways in. create_or_open serves blocks that either side may create (mic, mode): whenever the create
// call yields a handle, new object or existing, the block is initialised, so a second open resets the
// block, unless the object already holds another kind of segment, which is refused untouched; only
// when create fails is an existing object opened and validated, and then used as found.
// open serves the audio ring, which only the companion creates: it probes a header, lets the caller
// size the full view from it, and maps that. Neither path ever removes an object: the companion owns
// their lifetime (a POSIX object lasts until someone unlinks it; a Win32 one until its last handle
// and view are gone).
//
// Every failure releases what it acquired before returning, so an error never leaves a handle or a
// view behind.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <new>
#include <utility>

#include "platform/names.h"
#include "platform/platform.h"

namespace ondara {

struct SegmentError {
    enum class Kind : std::uint8_t { CreateOrOpenFailed, OpenFailed, MapFailed, InvalidHeader, InvalidFormat };

    Kind kind;
    std::uint32_t os_error = 0;       // CreateOrOpenFailed, OpenFailed, MapFailed
    std::string name;                 // CreateOrOpenFailed, OpenFailed: the UTF-8 name as given
    std::array<std::uint32_t, 3> format{};  // InvalidFormat: sample_rate, channels, capacity_frames

    static SegmentError create_or_open_failed(std::uint32_t os_error, std::string_view name) {
        return with_name(Kind::CreateOrOpenFailed, os_error, name);
    }
    static SegmentError open_failed(std::uint32_t os_error, std::string_view name) {
        return with_name(Kind::OpenFailed, os_error, name);
    }
    static SegmentError map_failed(std::uint32_t os_error) {
        SegmentError e{Kind::MapFailed};
        e.os_error = os_error;
        return e;
    }
    static SegmentError invalid_header() { return SegmentError{Kind::InvalidHeader}; }
    static SegmentError invalid_format(std::uint32_t rate, std::uint32_t channels, std::uint32_t capacity) {
        SegmentError e{Kind::InvalidFormat};
        e.format = {rate, channels, capacity};
        return e;
    }

private:
    explicit SegmentError(Kind k) : kind(k) {}
    static SegmentError with_name(Kind k, std::uint32_t os_error, std::string_view name) {
        SegmentError e{k};
        e.os_error = os_error;
        e.name = std::string(name);  // after os_error was taken: allocating may change it
        return e;
    }
};

// A value or the SegmentError that prevented it. A plain tagged union rather than std::variant, whose
// exception type's run-time type information would otherwise be emitted into every module that links
// the archive, with default visibility: a plug-in would export it as if it were its own.
template <class T>
class [[nodiscard]] Expected {
public:
    Expected(T value) : ok_(true) { ::new (static_cast<void*>(&value_)) T(std::move(value)); }
    Expected(SegmentError error) : ok_(false) { ::new (static_cast<void*>(&error_)) SegmentError(std::move(error)); }
    Expected(Expected&& other) : ok_(other.ok_) {
        if (ok_) {
            ::new (static_cast<void*>(&value_)) T(std::move(other.value_));
        } else {
            ::new (static_cast<void*>(&error_)) SegmentError(std::move(other.error_));
        }
    }
    Expected(const Expected&) = delete;
    Expected& operator=(const Expected&) = delete;
    Expected& operator=(Expected&&) = delete;
    ~Expected() {
        if (ok_) {
            value_.~T();
        } else {
            error_.~SegmentError();
        }
    }

    bool ok() const noexcept { return ok_; }
    T& value() noexcept { return value_; }
    T&& take_value() noexcept { return std::move(value_); }
    const SegmentError& error() const noexcept { return error_; }
    SegmentError&& take_error() noexcept { return std::move(error_); }

private:
    bool ok_;
    union {
        T value_;
        SegmentError error_;
    };
};

class Segment {
public:
    Segment() noexcept = default;  // holds nothing
    Segment(Segment&& other) noexcept
        : mapping_(std::exchange(other.mapping_, platform::kNoHandle)),
          view_(std::exchange(other.view_, nullptr)),
          length_(std::exchange(other.length_, 0)) {}
    Segment& operator=(Segment&& other) noexcept {
        if (this != &other) {
            release();
            mapping_ = std::exchange(other.mapping_, platform::kNoHandle);
            view_ = std::exchange(other.view_, nullptr);
            length_ = std::exchange(other.length_, 0);
        }
        return *this;
    }
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;
    ~Segment() { release(); }

    void* view() const noexcept { return view_; }
    std::size_t length() const noexcept { return length_; }

    // `may_reset(const void* view)` answers whether the object found may be overwritten (false when it
    // holds another kind of segment, which is then left as it is); `initialise(void* view)` writes a
    // complete initial block; `validate(const void* view)` copies the block out of the view and answers
    // whether it is acceptable.
    template <class MayReset, class Initialise, class Validate>
    static Expected<Segment> create_or_open(std::string_view name, std::uint32_t size, MayReset&& may_reset,
                                            Initialise&& initialise, Validate&& validate);

    // `copy_probe(const void* view)` copies the probed header out; the probe view is unmapped before
    // `check()` runs on that copy and returns either the full length to map or the error to fail with.
    template <class CopyProbe, class Check>
    static Expected<Segment> open(std::string_view name, std::size_t probe_size, CopyProbe&& copy_probe,
                                  Check&& check);

    // What the check callback of open() returns: the full length to map, or the error to fail with.
    using CheckResult = Expected<std::size_t>;

private:
    explicit Segment(platform::Handle h) noexcept : mapping_(h) {}

    // Maps `size` bytes at offset 0 of the mapping; false (and the platform's error code in `error`)
    // when that fails. The handle is not touched.
    bool map(std::size_t size, std::uint32_t& error) noexcept;

    // Unmaps the view, if any, and keeps the handle.
    void unmap() noexcept;

    // Unmaps the view, then closes the handle. The block is not touched.
    void release() noexcept;

    platform::Handle mapping_ = platform::kNoHandle;
    void* view_ = nullptr;
    std::size_t length_ = 0;  // of the view; POSIX needs it to unmap
};

template <class MayReset, class Initialise, class Validate>
Expected<Segment> Segment::create_or_open(std::string_view name, std::uint32_t size, MayReset&& may_reset,
                                          Initialise&& initialise, Validate&& validate) {
    const std::u16string encoded = encode_name(name);
    std::uint32_t error = 0;
    if (const platform::Handle created = platform::create_mapping(encoded.c_str(), size);
        created != platform::kNoHandle) {
        // New or already there: the sequence does not ask which, and resets the block either way.
        Segment s(created);
        if (!s.map(size, error)) return SegmentError::map_failed(error);  // s closes the handle
        // Another kind of segment under this name is left as it is; s unmaps and closes.
        if (!may_reset(static_cast<const void*>(s.view_))) return SegmentError::invalid_header();
        initialise(s.view_);
        return s;
    }
    const platform::Handle found = platform::open_mapping(encoded.c_str());
    if (found == platform::kNoHandle) {
        return SegmentError::create_or_open_failed(platform::last_error(), name);
    }
    Segment s(found);
    if (!s.map(size, error)) return SegmentError::map_failed(error);
    if (!validate(static_cast<const void*>(s.view_))) return SegmentError::invalid_header();
    return s;
}

template <class CopyProbe, class Check>
Expected<Segment> Segment::open(std::string_view name, std::size_t probe_size, CopyProbe&& copy_probe,
                                Check&& check) {
    const std::u16string encoded = encode_name(name);
    const platform::Handle h = platform::open_mapping(encoded.c_str());
    if (h == platform::kNoHandle) {
        return SegmentError::open_failed(platform::last_error(), name);
    }
    Segment s(h);
    std::uint32_t error = 0;
    if (!s.map(probe_size, error)) return SegmentError::map_failed(error);
    copy_probe(static_cast<const void*>(s.view_));
    s.unmap();

    CheckResult checked = check();
    if (!checked.ok()) return checked.take_error();
    if (!s.map(checked.value(), error)) return SegmentError::map_failed(error);
    return s;
}

}  // namespace ondara
