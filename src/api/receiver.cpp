#include "render/render.h"

#include <cstdlib>
#include <limits>
#include <utility>

#include "api/export_guard.h"

namespace ondara {
namespace {

// The largest block in samples: a block whose frames x live channels exceed it renders silence, so a
// ring whose channel count grows after open cannot make blocks larger than the host planned for.
std::size_t sample_limit(std::size_t max_frames, std::uint32_t channels) noexcept {
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    return max_frames > kMax / channels ? kMax : max_frames * channels;
}

Status open_receiver(const std::uint16_t* name, std::size_t name_len, std::size_t max_frames, bool multi_bus,
                     OndaraReceiver** out) {
    if (out == nullptr) return Status::NullPointer;
    *out = nullptr;
    const auto decoded = open_name(name, name_len, max_frames != 0);
    if (!decoded) return Status::InvalidArgument;

    auto opened = RingReader::open(*decoded);
    if (!opened.ok()) return Status::OpenBridgeFailed;
    RingReader ring = opened.take_value();

    // Validated a moment ago, but the companion may have changed it since.
    const std::uint32_t channels = ring.snapshot().channels;
    if (channels == 0 || channels > kMaxRingChannels) return Status::PrepareFailed;  // closes the ring
    // A fade-in is owed from the start: the host's outputs were silent (or played another ring) before
    // this receiver, and a ring that is already full would otherwise begin with a click.
    Receiver* r = new_record<Receiver>(std::move(ring), sample_limit(max_frames, channels),
                                       std::uint64_t{max_frames}, multi_bus, true,
                                       select_render_kernels(cpu_render_isa()));
    *out = reinterpret_cast<OndaraReceiver*>(r);
    return Status::Ok;
}

}  // namespace
}  // namespace ondara

using namespace ondara;

extern "C" OndaraStatus ONDARA_CALL ondara_receiver_open(const uint16_t* name, size_t name_len, size_t max_frames,
                                                         uint8_t multi_bus, OndaraReceiver** out) {
    return guarded([&] { return open_receiver(name, name_len, max_frames, multi_bus != 0, out); });
}

extern "C" OndaraStatus ONDARA_CALL ondara_receiver_process(OndaraReceiver* handle, const OndaraOutputBus* buses,
                                                            size_t bus_count, size_t frames,
                                                            OndaraProcessResult* out) {
    // Every check comes before anything is read or written.
    if (handle == nullptr) return ONDARA_NULL_POINTER;
    if (buses == nullptr && bus_count != 0) return ONDARA_NULL_POINTER;
    const std::size_t used = bus_count < kMaxBuses ? bus_count : kMaxBuses;
    for (std::size_t k = 0; k < used; ++k) {
        if (buses[k].left == nullptr || buses[k].right == nullptr) return ONDARA_NULL_POINTER;
    }
    render_block(*reinterpret_cast<Receiver*>(handle), buses, bus_count, frames, out);
    return ONDARA_OK;
}

extern "C" void ONDARA_CALL ondara_receiver_free(OndaraReceiver* handle) {
    delete reinterpret_cast<Receiver*>(handle);  // unmaps and closes the ring; null is ignored
}
