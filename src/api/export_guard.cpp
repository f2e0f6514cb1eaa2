#include "api/export_guard.h"

#include "platform/names.h"

namespace ondara {

std::optional<std::string> open_name(const std::uint16_t* name, std::size_t name_len, bool values_ok) {
    if (name == nullptr || name_len == 0 || !values_ok) return std::nullopt;
    static_assert(sizeof(std::uint16_t) == sizeof(char16_t));
    return decode_name(reinterpret_cast<const char16_t*>(name), name_len);
}

}  // namespace ondara
