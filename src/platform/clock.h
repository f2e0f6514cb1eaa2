// Wall-clock time stamps shared with the companion: whole milliseconds since 1970-01-01 UTC.
// Both processes compare these values, so they come from the wall clock, never a monotonic one; a
// clock set back simply yields smaller values and callers age them with a subtraction that stops at 0.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace ondara {

// 1970-01-01 on the 100-nanosecond-since-1601 scale.
inline constexpr std::int64_t kUnixEpochFiletime = 116444736000000000;

// Converts a clock reading; anything at or before the Unix epoch gives 0.
constexpr std::uint64_t filetime_to_unix_ms(platform::ClockReading r) noexcept {
    const auto t = static_cast<std::int64_t>((std::uint64_t{r.high} << 32) | r.low);
    if (t < kUnixEpochFiletime) return 0;
    const auto d = static_cast<std::uint64_t>(t - kUnixEpochFiletime);
    const std::uint64_t seconds = d / 10'000'000;
    const std::uint64_t nanos = (d % 10'000'000) * 100;
    return seconds * 1000 + nanos / 1'000'000;
}

inline std::uint64_t now_ms() noexcept { return filetime_to_unix_ms(platform::read_clock()); }

}  // namespace ondara
