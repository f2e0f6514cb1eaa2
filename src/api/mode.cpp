// The mode handle. A request is a plain store into the shared block with a flag and a fresh time stamp;
// the library neither waits for the companion nor checks that a request was carried out, and the
// readers report what the block holds without testing its header.
#include "api/export_guard.h"
#include "platform/clock.h"
#include "protocol/mode_block.h"

namespace ondara {
namespace {

struct ModeControl {
    ModeControlSegment segment;
};

Status open_mode(const std::uint16_t* name, std::size_t name_len, OndaraModeControl** out) {
    if (out == nullptr) return Status::NullPointer;
    *out = nullptr;
    const auto decoded = open_name(name, name_len, true);
    if (!decoded) return Status::InvalidArgument;
    auto opened = create_or_open_mode_control(*decoded);
    if (!opened.ok()) return Status::OpenBridgeFailed;
    *out = reinterpret_cast<OndaraModeControl*>(new_record<ModeControl>(opened.take_value()));
    return Status::Ok;
}

ModeControlBlock* block_of(OndaraModeControl* handle) noexcept {
    return reinterpret_cast<ModeControl*>(handle)->segment.block();
}

}  // namespace
}  // namespace ondara

using namespace ondara;

extern "C" OndaraStatus ONDARA_CALL ondara_mode_open(const uint16_t* name, size_t name_len, OndaraModeControl** out) {
    return guarded([&] { return open_mode(name, name_len, out); });
}

extern "C" OndaraStatus ONDARA_CALL ondara_mode_request(OndaraModeControl* handle, int32_t mode) {
    if (handle == nullptr) return ONDARA_NULL_POINTER;
    if (static_cast<std::uint32_t>(mode) >= kModeCount) return ONDARA_INVALID_ARGUMENT;
    ModeControlBlock* live = block_of(handle);
    const ModeControlBlock snap = ModeControlLayout::snapshot(live);
    // Only what the request changes is stored, so that whatever the companion writes meanwhile (applied
    // mode, volumes, its own flag bits) is not overwritten with stale values. The time stamp lands last.
    store_shared(&live->requested_mode, mode);
    store_shared(&live->flags, snap.flags | kModeFlagRequested);
    store_shared(&live->updated_ms, now_ms());
    return ONDARA_OK;
}

extern "C" int32_t ONDARA_CALL ondara_mode_applied(OndaraModeControl* handle) {
    if (handle == nullptr) return -1;
    const std::int32_t applied = ModeControlLayout::snapshot(block_of(handle)).applied_mode;
    return static_cast<std::uint32_t>(applied) < kModeCount ? applied : -1;
}

extern "C" OndaraStatus ONDARA_CALL ondara_mode_mixer_volumes(OndaraModeControl* handle, float* out) {
    if (handle == nullptr || out == nullptr) return ONDARA_NULL_POINTER;
    const ModeControlBlock snap = ModeControlLayout::snapshot(block_of(handle));
    for (int i = 0; i < 4; ++i) out[i] = snap.mixer_volumes[i];
    return ONDARA_OK;
}

extern "C" uint32_t ONDARA_CALL ondara_mode_vst3_bridge_active(OndaraModeControl* handle) {
    if (handle == nullptr) return 0;
    return (ModeControlLayout::snapshot(block_of(handle)).flags & kModeFlagVst3BridgeActive) != 0 ? 1 : 0;
}

extern "C" void ONDARA_CALL ondara_mode_free(OndaraModeControl* handle) {
    delete reinterpret_cast<ModeControl*>(handle);  // unmaps and closes its segment; null is ignored
}
