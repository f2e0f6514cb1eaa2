#include "platform/names.h"

#include <cstdint>

namespace ondara {
namespace {

bool is_high(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Converts valid UTF-16; stops at the first zero when `stop_at_zero`. Returns false on a lone surrogate.
bool utf16_to_utf8(const char16_t* units, std::size_t len, bool stop_at_zero, std::string& out) {
    out.reserve(len);
    for (std::size_t i = 0; i < len; ++i) {
        const char16_t u = units[i];
        if (stop_at_zero && u == 0) break;
        if (is_high(u)) {
            if (i + 1 >= len || !is_low(units[i + 1])) return false;
            const char32_t c = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(units[i + 1]) - 0xDC00);
            append_utf8(out, c);
            ++i;
        } else if (is_low(u)) {
            return false;
        } else {
            append_utf8(out, u);
        }
    }
    return true;
}

}  // namespace

std::optional<std::string> decode_name(const char16_t* units, std::size_t len) {
    std::string out;
    if (!utf16_to_utf8(units, len, false, out)) return std::nullopt;
    return out;
}

std::u16string encode_name(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size() + 1);
    const std::size_t n = utf8.size();
    std::size_t i = 0;
    while (i < n) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        std::size_t extra = 0;
        char32_t c = b;
        if ((b & 0xE0) == 0xC0) {
            extra = 1, c = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2, c = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3, c = b & 0x07;
        } else if (b >= 0x80) {
            extra = 4;  // not a lead byte
        }
        // Only text from decode_name arrives here, but a malformed sequence still becomes U+FFFD
        // instead of letting a lead byte walk past the end of the input.
        bool ok = extra < 4 && extra < n - i;
        for (std::size_t k = 1; ok && k <= extra; ++k) {
            const auto cb = static_cast<unsigned char>(utf8[i + k]);
            ok = (cb & 0xC0) == 0x80;
            c = (c << 6) | (cb & 0x3F);
        }
        if (!ok) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        i += extra + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    out.push_back(u'\0');
    return out;
}

std::string utf8_up_to_zero(const char16_t* terminated) {
    std::size_t len = 0;
    while (terminated[len] != 0) ++len;
    std::string out;
    if (!utf16_to_utf8(terminated, len, true, out)) out.clear();
    return out;
}

}  // namespace ondara
