#include "common/shared_segment.h"

#include <cstdint>
#include <cstring>

#include "common/companion_ring.h"
#include "common/segment_create.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace ondara::tools {
namespace {

void set_failure(SharedSegment::Failure* out, SharedSegment::Failure f) {
    if (out != nullptr) *out = f;
}

}  // namespace

std::unique_ptr<SharedSegment> SharedSegment::open(const std::string& name, Access access, std::string& error,
                                                   Failure* failure) {
    set_failure(failure, Failure::Other);
    error = CompanionRing::check_name(name);
    if (!error.empty()) return nullptr;
    segment::Created opened;
    bool missing = false;
    if (!segment::open_existing(name, access == Access::ReadWrite, opened, error, missing)) {
        if (missing) set_failure(failure, Failure::Missing);
        return nullptr;
    }
    std::unique_ptr<SharedSegment> s(new SharedSegment);
    s->access_ = access;
    s->view_ = opened.view;
    s->length_ = opened.length;
    s->mapping_ = opened.mapping;
    set_failure(failure, Failure::None);
    return s;
}

std::unique_ptr<SharedSegment> SharedSegment::create(const std::string& name, std::size_t bytes, std::string& error,
                                                     Failure* failure) {
    set_failure(failure, Failure::Other);
    error = CompanionRing::check_name(name);
    if (!error.empty()) return nullptr;
    if (bytes == 0) {
        error = "a segment needs at least one byte";
        return nullptr;
    }
    segment::Created created;
    const segment::CreateResult result = segment::create(name, bytes, created, error);
    if (result != segment::CreateResult::Created) {
        if (result == segment::CreateResult::Exists) set_failure(failure, Failure::Exists);
        return nullptr;
    }
    std::unique_ptr<SharedSegment> s(new SharedSegment);
    s->access_ = Access::ReadWrite;
    s->view_ = created.view;
    s->length_ = created.length;
    s->mapping_ = created.mapping;
    set_failure(failure, Failure::None);
    return s;
}

void SharedSegment::remove_name(const std::string& name) noexcept { segment::remove_name(name); }

SharedSegment::~SharedSegment() {
    segment::Created mapped{view_, length_, mapping_};
    segment::close(mapped);
}

std::unique_ptr<SegmentReader> SegmentReader::open(const std::string& name, std::string& error,
                                                   SharedSegment::Failure* failure) {
    set_failure(failure, SharedSegment::Failure::Other);
    error = CompanionRing::check_name(name);
    if (!error.empty()) return nullptr;
    std::unique_ptr<SegmentReader> r(new SegmentReader);
    r->name_ = name;
    bool missing = false;
#if defined(_WIN32)
    segment::Created opened;
    if (!segment::open_mapping(name, FILE_MAP_READ, opened, error, missing)) {
        if (missing) set_failure(failure, SharedSegment::Failure::Missing);
        return nullptr;
    }
    r->view_ = opened.view;
    r->mapping_ = opened.mapping;
    r->opened_size_ = opened.length;
#else
    r->fd_ = segment::open_object(name, false, r->opened_size_, error, missing);
    if (r->fd_ < 0) {
        if (missing) set_failure(failure, SharedSegment::Failure::Missing);
        return nullptr;
    }
#endif
    set_failure(failure, SharedSegment::Failure::None);
    return r;
}

SegmentReader::~SegmentReader() {
#if defined(_WIN32)
    if (view_ != nullptr) UnmapViewOfFile(view_);
    if (mapping_ != nullptr) CloseHandle(static_cast<HANDLE>(mapping_));
#else
    if (fd_ >= 0) ::close(fd_);
#endif
}

bool SegmentReader::read(void* out, std::size_t capacity, std::size_t& size_now, std::string& error) const {
#if defined(_WIN32)
    (void)error;
    // The other side writes at any time: byte by byte through volatile loads, as every shared field is read.
    const auto* from = static_cast<const volatile unsigned char*>(view_);
    auto* to = static_cast<unsigned char*>(out);
    const std::size_t n = capacity < opened_size_ ? capacity : opened_size_;
    for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
    size_now = opened_size_;
    return true;
#else
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        error = segment::os_message("fstat", "/" + name_, errno);
        return false;
    }
    std::size_t size = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
    const std::size_t want = capacity < size ? capacity : size;
    std::size_t got = 0;
    while (got < want) {
        const ssize_t n = ::pread(fd_, static_cast<unsigned char*>(out) + got, want - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = segment::os_message("pread", "/" + name_, errno);
            return false;
        }
        if (n == 0) {
            size = got;  // it shrank between the fstat and the read
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    size_now = size;
    return true;
#endif
}

}  // namespace ondara::tools
