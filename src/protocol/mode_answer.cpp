#include "protocol/mode_answer.h"

#include <atomic>
#include <cstring>

#include "protocol/shared_access.h"

namespace ondara {

std::optional<ModeRequest> request_in(const ModeControlBlock& b) noexcept {
    if ((b.flags & kModeFlagRequested) == 0) return std::nullopt;
    return ModeRequest{b.requested_mode, b.updated_ms};
}

void write_applied_state(ModeControlBlock* live, const AppliedState& state) noexcept {
    if (state.volumes) {
        for (std::size_t i = 0; i < 4; ++i) store_shared(&live->mixer_volumes[i], (*state.volumes)[i]);
    }
    if (state.bridge) {
        // Only the bridge bit is the companion's; the plug-in's bit is stored back as it was read.
        const std::uint32_t flags = load_shared(&live->flags);
        store_shared(&live->flags,
                     *state.bridge ? flags | kModeFlagVst3BridgeActive : flags & ~kModeFlagVst3BridgeActive);
    }
    std::atomic_signal_fence(std::memory_order_release);
    store_shared(&live->applied_mode, state.mode);
}

bool carries_applied_state(const ModeControlBlock& b, const AppliedState& state) noexcept {
    if (b.applied_mode != state.mode) return false;
    if (state.bridge && ((b.flags & kModeFlagVst3BridgeActive) != 0) != *state.bridge) return false;
    return !state.volumes || std::memcmp(b.mixer_volumes, state.volumes->data(), sizeof b.mixer_volumes) == 0;
}

}  // namespace ondara
