// The receiver handle: one opened audio ring and what rendering needs to know about it, so that the
// audio callback never allocates, maps or unmaps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ondara.h"
#include "protocol/ring.h"
#include "render/render_kernels.h"

namespace ondara {

using OutputBus = OndaraOutputBus;
using ProcessResult = OndaraProcessResult;

inline constexpr std::size_t kMaxBuses = 3;
inline constexpr std::uint64_t kFadeFrames = 32;

struct Receiver {
    RingReader ring;
    std::size_t sample_limit;  // max_frames x channels at open (saturated): the most a block may take
    std::uint64_t max_frames;  // never 0
    bool multi_bus;
    bool fade_in_pending;      // the next block that gets ring audio starts with a fade-in
    RenderKernels kernels;     // the deinterleaving kernels for this CPU, picked at open
};

// Renders one block and, when `out` is not null, reports it there; the argument checks have passed.
// Allocates nothing and makes no system call.
void render_block(Receiver& r, const OutputBus* buses, std::size_t bus_count, std::size_t frames,
                  ProcessResult* out) noexcept;

}  // namespace ondara
