// Segment names cross three forms: the caller's UTF-16 code units (no terminator), the UTF-8 text the
// library carries internally, and the NUL-terminated UTF-16 buffer the platform call takes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ondara {

// Validates `len` UTF-16 code units and converts them to UTF-8. Unpaired surrogates are refused;
// U+0000 is an ordinary character.
std::optional<std::string> decode_name(const char16_t* units, std::size_t len);

// UTF-8 back to UTF-16 plus exactly one terminating zero code unit. A zero already inside the name is
// copied like any other character, so the platform sees only the part before it.
std::u16string encode_name(std::string_view utf8);

// The UTF-8 form of a NUL-terminated UTF-16 name, up to its first zero code unit.
std::string utf8_up_to_zero(const char16_t* terminated);

}  // namespace ondara
