#include "protocol/mic_block.h"

#include "platform/clock.h"

namespace ondara {

void MicLevel::initialise(Block* v) noexcept {
    const std::uint64_t now = now_ms();
    store_shared(&v->magic, kMicMagic);
    store_shared(&v->version, std::uint32_t{1});
    store_shared(&v->updated_ms, now);
    store_shared(&v->level_a_db, kMinLevelDb);
    store_shared(&v->level_b_db, kMinLevelDb);
    store_shared(&v->active, std::uint32_t{1});
    store_shared(&v->published, std::uint32_t{0});
    store_shared(&v->writer_token, std::uint64_t{0});
}

MicLevelBlock MicLevel::snapshot(const Block* v) noexcept {
    Block b{};
    b.magic = load_shared(&v->magic);
    b.version = load_shared(&v->version);
    b.updated_ms = load_shared(&v->updated_ms);
    b.level_a_db = load_shared(&v->level_a_db);
    b.level_b_db = load_shared(&v->level_b_db);
    b.active = load_shared(&v->active);
    b.published = load_shared(&v->published);
    b.writer_token = load_shared(&v->writer_token);
    return b;
}

bool MicLevel::validate(const Block& b) noexcept { return b.magic == kMicMagic && b.version == 1 && b.active == 1; }

}  // namespace ondara
