#include "segment.h"

namespace ondara {

bool Segment::map(std::size_t size, std::uint32_t& error) noexcept {
    void* v = platform::map_view(mapping, size);
    if (v == nullptr) {
        error = platform::last_error();
        return false;
    }
    view = v;
    length = size;
    return true;
}

void Segment::close() noexcept {
    if (view != nullptr) platform::unmap_view(view, length);
    if (mapping != platform::kNoHandle) platform::close_mapping(mapping);
    view = nullptr;
    length = 0;
    mapping = platform::kNoHandle;
}

}  // namespace ondara
