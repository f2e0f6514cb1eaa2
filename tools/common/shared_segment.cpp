#include "common/shared_segment.h"

#include <cstdint>

#include "platform/names.h"
#include "protocol/ring_producer.h"

namespace ondara::tools {
namespace {

void set_failure(SharedSegment::Failure* out, SharedSegment::Failure f) {
    if (out != nullptr) *out = f;
}

std::string os_message(const char* what, const std::string& name, std::uint32_t code) {
    return std::string(what) + " " + name + ": " + platform::error_text(code);
}

// Why an open of `name` failed, with its kind.
std::string open_failure(const std::string& name, SharedSegment::Failure* failure) {
    const std::uint32_t code = platform::last_error();
    switch (platform::error_kind(code)) {
        case platform::ErrorKind::Missing:
            set_failure(failure, SharedSegment::Failure::Missing);
            return "no segment named " + name;
        case platform::ErrorKind::Denied:
            return "the segment " + name + " belongs to another user or may not be opened";
        default:
            return os_message("cannot open", name, code);
    }
}

// The size of the object behind `mapping`; 0 after setting `error`.
std::size_t size_of(platform::Handle mapping, const std::string& name, std::string& error) {
    std::uint64_t size = 0;
    if (!platform::object_size(mapping, size)) {
        error = os_message("cannot tell the size of", name, platform::last_error());
        return 0;
    }
    if (size == 0) error = "the segment " + name + " is empty";
    return static_cast<std::size_t>(size);
}

}  // namespace

std::string check_segment_name(const std::string& name) {
    if (name.empty()) return "the segment name is empty";
    if (name.size() > 200) return "the segment name is longer than 200 characters";
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '_' || c == '-';
        if (!ok) return "the segment name may hold only letters, digits, '.', '_' and '-'";
    }
    return {};
}

std::unique_ptr<SharedSegment> SharedSegment::open(const std::string& name, Access access, std::string& error,
                                                   Failure* failure) {
    set_failure(failure, Failure::Other);
    error = check_segment_name(name);
    if (!error.empty()) return nullptr;
    std::unique_ptr<SharedSegment> s(new SharedSegment);
    s->name_ = name;
    s->access_ = access;
    const std::u16string encoded = encode_name(name);
    s->mapping_ = access == Access::ReadWrite ? platform::open_mapping(encoded.c_str())
                                              : platform::open_read_only(encoded.c_str());
    if (s->mapping_ == platform::kNoHandle) {
        error = open_failure(name, failure);
        return nullptr;
    }
    const std::size_t size = size_of(s->mapping_, name, error);
    if (size == 0) return nullptr;
    // A read-write view reserves its pages first, so that a full tmpfs is an error here and not a
    // SIGBUS on the first access; a read-only one maps what the object holds.
    s->view_ = access == Access::ReadWrite ? platform::map_view(s->mapping_, size)
                                           : const_cast<void*>(platform::map_read_only(s->mapping_, size));
    if (s->view_ == nullptr) {
        error = os_message("cannot map", name, platform::last_error());
        return nullptr;
    }
    s->length_ = size;
    set_failure(failure, Failure::None);
    return s;
}

std::unique_ptr<SharedSegment> SharedSegment::create(const std::string& name, std::size_t bytes, std::string& error,
                                                     Failure* failure) {
    set_failure(failure, Failure::Other);
    error = check_segment_name(name);
    if (!error.empty()) return nullptr;
    if (bytes == 0) {
        error = "a segment needs at least one byte";
        return nullptr;
    }
    std::unique_ptr<SharedSegment> s(new SharedSegment);
    s->name_ = name;
    s->access_ = Access::ReadWrite;
    const std::u16string encoded = encode_name(name);
    s->mapping_ = platform::create_exclusive(encoded.c_str(), bytes);
    if (s->mapping_ == platform::kNoHandle) {
        const std::uint32_t code = platform::last_error();
        switch (platform::error_kind(code)) {
            case platform::ErrorKind::Exists:
                set_failure(failure, Failure::Exists);
                error = "a segment named " + name + " already exists";
                break;
            case platform::ErrorKind::NoSpace:
                error = no_space_message(bytes, name);
                break;
            default: error = os_message("cannot create", name, code);
        }
        return nullptr;
    }
    s->view_ = platform::map_view(s->mapping_, bytes);
    if (s->view_ == nullptr) {
        error = os_message("cannot map", name, platform::last_error());
        std::string ignored;
        s->remove_own_name(ignored);  // ours, and unusable
        return nullptr;
    }
    s->length_ = bytes;
    set_failure(failure, Failure::None);
    return s;
}

void SharedSegment::remove_name(const std::string& name) noexcept {
    try {
        const std::u16string encoded = encode_name(name);
        const platform::Handle h = platform::open_read_only(encoded.c_str());
        if (h == platform::kNoHandle) return;
        platform::remove_name(encoded.c_str(), h);
        platform::close_mapping(h);
    } catch (...) {
    }
}

bool SharedSegment::remove_own_name(std::string& error) noexcept {
    try {
        const std::u16string encoded = encode_name(name_);
        switch (platform::remove_name(encoded.c_str(), mapping_)) {
            case platform::Removal::Removed: return true;
            case platform::Removal::NotOurs:
                error = "the name " + name_ + " now belongs to another segment and is left to it";
                return false;
            case platform::Removal::Failed:
                error = os_message("cannot remove", name_, platform::last_error());
                return false;
        }
    } catch (...) {
        error.clear();
    }
    return false;
}

SharedSegment::~SharedSegment() {
    if (view_ != nullptr) platform::unmap_view(view_, length_);
    if (mapping_ != platform::kNoHandle) platform::close_mapping(mapping_);
}

std::unique_ptr<SegmentReader> SegmentReader::open(const std::string& name, std::string& error,
                                                   SharedSegment::Failure* failure) {
    set_failure(failure, SharedSegment::Failure::Other);
    error = check_segment_name(name);
    if (!error.empty()) return nullptr;
    std::unique_ptr<SegmentReader> r(new SegmentReader);
    r->name_ = name;
    r->mapping_ = platform::open_read_only(encode_name(name).c_str());
    if (r->mapping_ == platform::kNoHandle) {
        error = open_failure(name, failure);
        return nullptr;
    }
    r->opened_size_ = size_of(r->mapping_, name, error);
    if (r->opened_size_ == 0) return nullptr;
    set_failure(failure, SharedSegment::Failure::None);
    return r;
}

SegmentReader::~SegmentReader() {
    if (mapping_ != platform::kNoHandle) platform::close_mapping(mapping_);
}

bool SegmentReader::read(void* out, std::size_t capacity, std::size_t& size_now, std::string& error) const {
    std::uint64_t size = 0;
    if (!platform::read_object(mapping_, out, capacity, size)) {
        error = os_message("cannot read", name_, platform::last_error());
        return false;
    }
    size_now = static_cast<std::size_t>(size);
    return true;
}

}  // namespace ondara::tools
