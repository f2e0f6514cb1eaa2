#include "platform/segment.h"

namespace ondara {

bool Segment::map(std::size_t size, std::uint32_t& error) noexcept {
    void* v = platform::map_view(mapping_, size);
    if (v == nullptr) {
        error = platform::last_error();
        return false;
    }
    view_ = v;
    length_ = size;
    return true;
}

void Segment::unmap() noexcept {
    if (view_ != nullptr) platform::unmap_view(view_, length_);
    view_ = nullptr;
    length_ = 0;
}

void Segment::release() noexcept {
    unmap();
    if (mapping_ != platform::kNoHandle) platform::close_mapping(mapping_);
    mapping_ = platform::kNoHandle;
}

}  // namespace ondara
