// A named shared-memory segment as the companion stand-in sees the two small control blocks (and, for
// `watch`, any segment): opened as it is, read-only or read-write, or created anew when it is missing.
//
// The library's own opens (bridge/src/segment.h) create or reset a control block whenever they can,
// which is right for the plug-in side but wrong here: `watch` must leave a block exactly as it finds
// it, and `serve-mode` must pick up a request the plug-in already made. Hence these separate opens,
// which never create unless asked to and never reset anything. The audio ring is created by
// CompanionRing.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace ondara::tools {

class SharedSegment {
public:
    enum class Access { ReadOnly, ReadWrite };
    enum class Failure { None, Missing, Exists, Other };

    // Opens the existing segment `name` and maps all of it; never creates one. A read-only segment is
    // mapped read-only, so that a stray store faults instead of changing the other side's block. Null
    // on failure, with the reason in `error` and its kind in `failure` (Missing: no such segment).
    static std::unique_ptr<SharedSegment> open(const std::string& name, Access access, std::string& error,
                                               Failure* failure = nullptr);

    // Creates the segment `name` with `bytes` zero bytes, mapped read-write; fails (Exists) when a
    // segment of that name is already there, so that it never takes over someone else's.
    static std::unique_ptr<SharedSegment> create(const std::string& name, std::size_t bytes, std::string& error,
                                                 Failure* failure = nullptr);

    // Removes the name (POSIX shm_unlink; a missing name is fine). Nothing on Windows, where a mapping
    // goes with its last handle or view.
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

    void* view_ = nullptr;
    std::size_t length_ = 0;
    Access access_ = Access::ReadOnly;
#if defined(_WIN32)
    void* mapping_ = nullptr;
#endif
};

}  // namespace ondara::tools
