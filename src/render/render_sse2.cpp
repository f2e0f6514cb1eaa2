// The 128-bit kernels, on SSE2, which every x86-64 CPU has: four frames per step.
#include <cstring>

#include "render/render_kernels.h"
#include "render/render_vector.h"

namespace ondara {
namespace {

struct ThisFile {};
using Vector = VectorDeinterleave<Lanes128<ThisFile>>;

template <Slot S, std::size_t Ch>
void kernel(const float* frames, std::size_t count, float* const buffers[]) noexcept {
    // A copy the compiler can keep in registers: the stores may alias anything, the array included.
    float* out[kOutputs<S, Ch>];
    for (std::size_t c = 0; c < kOutputs<S, Ch>; ++c) out[c] = buffers[c];
    Vector::finish<S, Ch>(frames, 0, count, out);
}

template <std::size_t Ch>
constexpr Deinterleave all = kernel<Slot::All, Ch>;
template <std::size_t Ch>
constexpr Deinterleave pair = kernel<Slot::Pair, Ch>;
template <std::size_t Ch>
constexpr Deinterleave lone = kernel<Slot::Lone, Ch>;
template <std::size_t Ch>
constexpr Deinterleave two = kernel<Slot::Two, Ch>;

// One channel to both sides: two copies, which the C library does as fast as anything here could.
void mono(const float* frames, std::size_t count, float* const out[]) noexcept {
    if (count == 0) return;
    std::memcpy(out[0], frames, count * sizeof(float));
    std::memcpy(out[1], frames, count * sizeof(float));
}

}  // namespace

constinit const RenderKernels kSse2Kernels{{{},
                                            {mono, nullptr, mono},
                                            {all<2>, all<2>, nullptr},
                                            {all<3>, pair<3>, lone<3>},
                                            {all<4>, pair<4>, nullptr},
                                            {all<5>, pair<5>, lone<5>, two<5>},
                                            {all<6>, pair<6>, nullptr, two<6>}}};

}  // namespace ondara
