// The mechanism shared by the two small control blocks (mic level, mode control): create-or-open with
// the block's own initialise and validate, and a write that stores the block in pieces from its end
// towards its start, so that the header, which carries the fresh time stamp, lands last. A reader in
// the other process may see a write of which only some pieces have landed; the order of the pieces is
// the only ordering a write gives.
//
// A layout supplies: `Block` (standard layout, size a multiple of 8), `kMagic` (its first word),
// `initialise(Block*)`, `snapshot(const Block*)` (one volatile load per field) and
// `validate(const Block&)`.
//
// An open resets an existing block of its own kind, and also zeros or garbage, but never an object
// that starts with the magic of another kind of segment: a name mixed up in a configuration must not
// wipe out the companion's audio ring or the other control block.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define ONDARA_HAVE_SSE2 1
#endif

#include "platform/clock.h"
#include "platform/segment.h"
#include "protocol/ring.h"
#include "protocol/shared_access.h"

namespace ondara {

inline constexpr std::uint32_t kMicMagic = 0x43494D4F;   // "OMIC" in memory order
inline constexpr std::uint32_t kModeMagic = 0x4C54434F;  // "OCTL" in memory order

// Whether an object whose first word is `first` may be reset into a block of magic `own`.
constexpr bool may_reset_into(std::uint32_t own, std::uint32_t first) noexcept {
    return first == own || (first != kRingMagic && first != kMicMagic && first != kModeMagic);
}

// A control block's segment with the block it holds. Move-only: the segment is unmapped and closed when
// its owner goes.
template <class Block>
class BlockSegment {
public:
    explicit BlockSegment(Segment segment) noexcept : segment_(std::move(segment)) {}

    Block* block() const noexcept { return static_cast<Block*>(segment_.view()); }

private:
    Segment segment_;
};

template <class Layout>
Expected<BlockSegment<typename Layout::Block>> create_or_open_block(std::string_view name) {
    using Block = typename Layout::Block;
    auto opened = Segment::create_or_open(
        name, sizeof(Block),
        [](const void* view) {
            return may_reset_into(Layout::kMagic, load_shared(static_cast<const std::uint32_t*>(view)));
        },
        [](void* view) { Layout::initialise(static_cast<Block*>(view)); },
        [](const void* view) { return Layout::validate(Layout::snapshot(static_cast<const Block*>(view))); });
    if (!opened.ok()) return opened.take_error();
    return BlockSegment<Block>(opened.take_value());
}

namespace detail {

inline void store_piece8(unsigned char* dst, const unsigned char* src) noexcept {
    std::uint64_t v;
    std::memcpy(&v, src, sizeof v);
    store_shared(reinterpret_cast<std::uint64_t*>(dst), v);
}

inline void store_piece16(unsigned char* dst, const unsigned char* src) noexcept {
#if defined(ONDARA_HAVE_SSE2)
    // One 16-byte store; the compiler-only fences keep it in program order with the volatile accesses
    // around it (x86-64 keeps stores in order in hardware).
    std::atomic_signal_fence(std::memory_order_seq_cst);
    _mm_store_si128(reinterpret_cast<__m128i*>(dst), _mm_loadu_si128(reinterpret_cast<const __m128i*>(src)));
    std::atomic_signal_fence(std::memory_order_seq_cst);
#else
    store_piece8(dst, src);
    store_piece8(dst + 8, src + 8);
#endif
}

}  // namespace detail

// Stores `value` into `view` piece by piece from the end: an 8-byte piece first when the size is an odd
// number of 8-byte words, then 16-byte pieces down to offset 0. The view must be 16-byte aligned.
template <class Block>
void store_block_pieces(Block* view, const Block& value) noexcept {
    static_assert(sizeof(Block) % 8 == 0);
    auto* dst = reinterpret_cast<unsigned char*>(view);
    const auto* src = reinterpret_cast<const unsigned char*>(&value);
    std::size_t end = sizeof(Block);
    if (end % 16 == 8) {
        end -= 8;
        detail::store_piece8(dst + end, src + end);
    }
    while (end > 0) {
        end -= 16;
        detail::store_piece16(dst + end, src + end);
    }
}

// Stamps `updated_ms` with the current time, whatever the caller put there, and stores the block.
template <class Block>
void write_block(Block* view, Block value) noexcept {
    value.updated_ms = now_ms();
    store_block_pieces(view, value);
}

}  // namespace ondara
