// The mic publisher. Several publishers, in one process or several, share one block by a soft rule:
// a block that another writer refreshed at most 300 ms ago, or stamped at most 300 ms ahead of this
// clock, is left alone; any other is overwritten. One live writer therefore keeps the block and another
// takes over about 300 ms after it stops. The test and the write are not atomic together: two writers
// that both find the block free may both write; the later one wins and the other then holds back.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>

#include "api/export_guard.h"
#include "platform/clock.h"
#include "protocol/mic_block.h"

namespace ondara {
namespace {

inline constexpr std::uint64_t kWriterFreshMs = 300;

struct MicPublisher {
    MicLevelSegment segment;
    std::uint64_t writer_token;  // process id in the high half, a per-process serial in the low half
};

// The serials come from one counter shared by every copy of the library in the process (a host may
// load several plug-ins that each carry a copy), so that no two live publishers share a token. Only
// when that counter cannot be reached does this copy number on its own, from a random start: its own
// serials stay distinct, and they meet another copy's only when the two ranges happen to overlap.
// Constant-initialised, so loading the library runs no code for them.
constinit std::atomic<std::uint32_t> own_start{0};  // 0: not drawn yet
constinit std::atomic<std::uint32_t> own_count{0};

std::uint32_t random_start() noexcept {
    // The clock and this copy's own addresses, which differ between copies (each is mapped at an
    // address of its own, randomised by the system), so that copies started together still start
    // apart. No entropy source of the standard library: std::random_device would bind plug-ins that
    // link the archive to a newer C library than the rest of the code needs.
    const int local = 0;
    std::uint64_t seed = now_ms() ^ (std::uint64_t{reinterpret_cast<std::uintptr_t>(&own_start)} << 20) ^
                         (std::uint64_t{reinterpret_cast<std::uintptr_t>(&local)} << 7);
    seed += 0x9E3779B97F4A7C15u;  // splitmix64's finaliser spreads every input bit over the result
    seed = (seed ^ (seed >> 30)) * 0xBF58476D1CE4E5B9u;
    seed = (seed ^ (seed >> 27)) * 0x94D049BB133111EBu;
    seed ^= seed >> 31;
    const auto start = static_cast<std::uint32_t>(seed ^ (seed >> 32));
    return start != 0 ? start : 1;
}

std::uint32_t next_serial() noexcept {
    if (const std::uint32_t shared = platform::next_writer_serial(); shared != 0) return shared;
    std::uint32_t start = own_start.load(std::memory_order_relaxed);
    if (start == 0) {
        const std::uint32_t drawn = random_start();
        start = own_start.compare_exchange_strong(start, drawn, std::memory_order_relaxed) ? drawn : start;
    }
    for (;;) {
        const std::uint32_t serial = start + own_count.fetch_add(1, std::memory_order_relaxed);
        if (serial != 0) return serial;
    }
}

bool finite(float v) noexcept { return (std::bit_cast<std::uint32_t>(v) & 0x7FFFFFFFu) < 0x7F800000u; }

float clamp_level(float v) noexcept { return std::min(kMaxLevelDb, std::max(kMinLevelDb, v)); }

// Fresh means within 300 ms of now on either side. A stamp slightly ahead comes from a writer whose
// clock runs a little ahead of ours; one further ahead was left by a writer that stopped before the
// wall clock was set back, and must not hold every other publisher back until the clock catches up.
bool held_by_another(const MicLevelBlock& b, std::uint64_t now, std::uint64_t own_token) noexcept {
    const std::uint64_t distance = now >= b.updated_ms ? now - b.updated_ms : b.updated_ms - now;
    return b.magic == kMicMagic && b.version == 1 && b.active == 1 && b.published == 1 && b.updated_ms != 0 &&
           distance <= kWriterFreshMs && b.writer_token != 0 && b.writer_token != own_token;
}

Status open_mic(const std::uint16_t* name, std::size_t name_len, OndaraMicPublisher** out) {
    if (out == nullptr) return Status::NullPointer;
    *out = nullptr;
    const auto decoded = open_name(name, name_len, true);
    if (!decoded) return Status::InvalidArgument;
    auto opened = create_or_open_mic_level(*decoded);
    if (!opened.ok()) return Status::OpenBridgeFailed;
    const std::uint64_t token = (std::uint64_t{platform::current_process_id()} << 32) | next_serial();
    *out = reinterpret_cast<OndaraMicPublisher*>(new_record<MicPublisher>(opened.take_value(), token));
    return Status::Ok;
}

}  // namespace
}  // namespace ondara

using namespace ondara;

extern "C" OndaraStatus ONDARA_CALL ondara_mic_open(const uint16_t* name, size_t name_len, OndaraMicPublisher** out) {
    return guarded([&] { return open_mic(name, name_len, out); });
}

extern "C" OndaraStatus ONDARA_CALL ondara_mic_publish(OndaraMicPublisher* handle, float level_a, float level_b) {
    if (handle == nullptr) return ONDARA_NULL_POINTER;
    if (!finite(level_a) || !finite(level_b)) return ONDARA_INVALID_ARGUMENT;
    auto* p = reinterpret_cast<MicPublisher*>(handle);
    const std::uint64_t now = now_ms();
    if (held_by_another(MicLevel::snapshot(p->segment.block()), now, p->writer_token)) return ONDARA_OK;
    // A block with a damaged header is simply overwritten, which also repairs it.
    MicLevelBlock b{};
    b.magic = kMicMagic;
    b.version = 1;
    b.level_a_db = clamp_level(level_a);
    b.level_b_db = clamp_level(level_b);
    b.active = 1;
    b.published = 1;
    b.writer_token = p->writer_token;
    write_block(p->segment.block(), b);
    return ONDARA_OK;
}

extern "C" void ONDARA_CALL ondara_mic_free(OndaraMicPublisher* handle) {
    delete reinterpret_cast<MicPublisher*>(handle);  // unmaps and closes its segment; null is ignored
}
