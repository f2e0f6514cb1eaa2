// The companion's side of the mode control block: it reads the plug-in's requests and answers them by
// writing its own fields (applied_mode, the mixer volumes, the bridge flag), never the plug-in's
// (requested_mode, bit 0 of flags, updated_ms). Built, like the ring's producer, into the tools and
// tests that play the companion, never into the library.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "protocol/mode_block.h"

namespace ondara {

// What identifies one request: a new request changes the mode or, for the same mode, the time stamp.
struct ModeRequest {
    std::int32_t mode = 0;
    std::uint64_t stamp = 0;
    bool operator==(const ModeRequest&) const = default;
};

// The request a snapshot carries (bit 0 of flags set), whatever its mode; see mode_exists.
std::optional<ModeRequest> request_in(const ModeControlBlock& snapshot) noexcept;

// Whether a requested mode is one the companion can apply; the plug-in may be hostile or broken.
constexpr bool mode_exists(std::int32_t mode) noexcept { return mode >= 0 && static_cast<std::uint32_t>(mode) < kModeCount; }

// What the companion applied, and keeps in the block: the volumes and the bridge flag only where it
// reports them.
struct AppliedState {
    std::int32_t mode = 0;
    std::optional<std::array<float, 4>> volumes;
    std::optional<bool> bridge;
};

// Writes the companion's fields of `state` into the live block, applied_mode last: a plug-in that
// sees the new mode also sees the volumes and the flag that go with it.
void write_applied_state(ModeControlBlock* live, const AppliedState& state) noexcept;

// Whether a snapshot still carries all of `state` (another plug-in instance that opens the block
// resets it, and the companion has to put its state back then).
bool carries_applied_state(const ModeControlBlock& snapshot, const AppliedState& state) noexcept;

}  // namespace ondara
