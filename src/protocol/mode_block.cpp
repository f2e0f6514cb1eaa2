#include "protocol/mode_block.h"

#include "platform/clock.h"

namespace ondara {

void ModeControlLayout::initialise(Block* v) noexcept {
    const std::uint64_t now = now_ms();
    store_shared(&v->magic, kModeMagic);
    store_shared(&v->version, std::uint32_t{1});
    store_shared(&v->updated_ms, now);
    store_shared(&v->requested_mode, std::int32_t{-1});
    store_shared(&v->applied_mode, std::int32_t{0});
    store_shared(&v->flags, std::uint32_t{0});
    for (float& volume : v->mixer_volumes) store_shared(&volume, 1.0f);
    store_shared(&v->reserved, std::uint32_t{0});
}

ModeControlBlock ModeControlLayout::snapshot(const Block* v) noexcept {
    Block b{};
    b.magic = load_shared(&v->magic);
    b.version = load_shared(&v->version);
    b.updated_ms = load_shared(&v->updated_ms);
    b.requested_mode = load_shared(&v->requested_mode);
    b.applied_mode = load_shared(&v->applied_mode);
    b.flags = load_shared(&v->flags);
    for (int i = 0; i < 4; ++i) b.mixer_volumes[i] = load_shared(&v->mixer_volumes[i]);
    b.reserved = load_shared(&v->reserved);
    return b;
}

bool ModeControlLayout::validate(const Block& b) noexcept { return b.magic == kModeMagic && b.version == 1; }

}  // namespace ondara
