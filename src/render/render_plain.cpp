// The plain loops: a kernel for every slot, frame by frame, left before right. They are the reference
// that the vector kernels are held to, and what the render takes wherever a bus's two buffers partly
// overlap, since there that order decides the result.
#include "render/render_kernels.h"

namespace ondara {
namespace {

template <std::size_t Ch>
void all(const float* frames, std::size_t count, float* const out[]) noexcept {
    static_assert(Ch >= 1 && Ch <= kMaxRingChannels);
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t c = 0; c < 2 * ((Ch + 1) / 2); ++c) out[c][i] = frames[Ch * i + (c < Ch ? c : Ch - 1)];
    }
}

template <std::size_t Ch>
void pair(const float* frames, std::size_t count, float* const out[]) noexcept {
    static_assert(Ch >= 2 && Ch <= kMaxRingChannels, "a pair needs two channels");
    for (std::size_t i = 0; i < count; ++i) {
        out[0][i] = frames[Ch * i];
        out[1][i] = frames[Ch * i + 1];
    }
}

template <std::size_t Ch>
void lone(const float* frames, std::size_t count, float* const out[]) noexcept {
    static_assert(Ch % 2 == 1 && Ch <= kMaxRingChannels, "only an odd channel count ends in a lone channel");
    for (std::size_t i = 0; i < count; ++i) {
        const float v = frames[Ch * i];
        out[0][i] = v;
        out[1][i] = v;
    }
}

template <std::size_t Ch>
void two(const float* frames, std::size_t count, float* const out[]) noexcept {
    static_assert(Ch >= 5 && Ch <= kMaxRingChannels, "a ring of five or six channels feeds three buses");
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t c = 0; c < 4; ++c) out[c][i] = frames[Ch * i + c];
    }
}

template <std::size_t Ch>
constexpr ChannelKernels kernels_for() noexcept {
    ChannelKernels k;
    k.all = all<Ch>;
    if constexpr (Ch >= 2) k.pair = pair<Ch>;
    if constexpr (Ch % 2 == 1) k.lone = lone<Ch>;
    if constexpr (Ch >= 5) k.two = two<Ch>;
    return k;
}

}  // namespace

constinit const RenderKernels kPlainKernels{{{}, kernels_for<1>(), kernels_for<2>(), kernels_for<3>(),
                                             kernels_for<4>(), kernels_for<5>(), kernels_for<6>()}};

}  // namespace ondara
