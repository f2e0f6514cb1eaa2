// The 40-byte mic level block. The plug-in side publishes two levels in dB with a heartbeat time stamp
// and the token of the writer that published last; the companion reads them. Either side may create
// the block. Layout is little-endian and fixed: a wire format between two processes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/control_block.h"

namespace ondara {

inline constexpr float kMinLevelDb = -120.0f;
inline constexpr float kMaxLevelDb = 6.0f;

struct MicLevelBlock {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint64_t updated_ms;  // 0 counts as never written
    float level_a_db;
    float level_b_db;
    std::uint32_t active;
    std::uint32_t published;
    std::uint64_t writer_token;  // 0: nobody has published
};

static_assert(sizeof(MicLevelBlock) == 40);
static_assert(offsetof(MicLevelBlock, magic) == 0);
static_assert(offsetof(MicLevelBlock, version) == 4);
static_assert(offsetof(MicLevelBlock, updated_ms) == 8);
static_assert(offsetof(MicLevelBlock, level_a_db) == 16);
static_assert(offsetof(MicLevelBlock, level_b_db) == 20);
static_assert(offsetof(MicLevelBlock, active) == 24);
static_assert(offsetof(MicLevelBlock, published) == 28);
static_assert(offsetof(MicLevelBlock, writer_token) == 32);

struct MicLevel {
    using Block = MicLevelBlock;
    static constexpr std::uint32_t kMagic = kMicMagic;

    static void initialise(Block* view) noexcept;
    static Block snapshot(const Block* view) noexcept;
    static bool validate(const Block& copy) noexcept;
};

using MicLevelSegment = BlockSegment<MicLevelBlock>;

inline Expected<MicLevelSegment> create_or_open_mic_level(std::string_view name) {
    return create_or_open_block<MicLevel>(name);
}

}  // namespace ondara
