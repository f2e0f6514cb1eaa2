// The 48-byte mode control block. The plug-in side writes requests (`requested_mode`, bit 0 of
// `flags`, `updated_ms`); the companion writes what it applied (`applied_mode`, bit 1 of `flags`, the
// four mixer volumes). Either side may create the block. Layout is little-endian and fixed: a wire
// format between two processes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/control_block.h"

namespace ondara {

inline constexpr std::uint32_t kModeCount = 4;  // modes 0 to 3
inline constexpr std::uint32_t kModeFlagRequested = 1u << 0;
inline constexpr std::uint32_t kModeFlagVst3BridgeActive = 1u << 1;

struct ModeControlBlock {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint64_t updated_ms;
    std::int32_t requested_mode;  // -1: nothing requested yet
    std::int32_t applied_mode;
    std::uint32_t flags;
    float mixer_volumes[4];
    std::uint32_t reserved;
};

static_assert(sizeof(ModeControlBlock) == 48);
static_assert(offsetof(ModeControlBlock, magic) == 0);
static_assert(offsetof(ModeControlBlock, version) == 4);
static_assert(offsetof(ModeControlBlock, updated_ms) == 8);
static_assert(offsetof(ModeControlBlock, requested_mode) == 16);
static_assert(offsetof(ModeControlBlock, applied_mode) == 20);
static_assert(offsetof(ModeControlBlock, flags) == 24);
static_assert(offsetof(ModeControlBlock, mixer_volumes) == 28);
static_assert(offsetof(ModeControlBlock, reserved) == 44);

struct ModeControlLayout {
    using Block = ModeControlBlock;
    static constexpr std::uint32_t kMagic = kModeMagic;

    static void initialise(Block* view) noexcept;
    static Block snapshot(const Block* view) noexcept;
    static bool validate(const Block& copy) noexcept;
};

using ModeControlSegment = BlockSegment<ModeControlBlock>;

inline Expected<ModeControlSegment> create_or_open_mode_control(std::string_view name) {
    return create_or_open_block<ModeControlLayout>(name);
}

}  // namespace ondara
