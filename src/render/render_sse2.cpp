// The 128-bit kernels, on SSE2, which every x86-64 CPU has: four frames per step.
#include <emmintrin.h>

#include <cstring>

#include "render/render_kernels.h"
#include "render/render_vector.h"

namespace ondara {
namespace {

struct ThisFile {};
using Vector = VectorDeinterleave<Lanes128<ThisFile>>;

template <std::size_t Ch>
void all(const float* frames, std::size_t count, float* const buffers[]) noexcept {
    // A copy the compiler can keep in registers: the stores may alias anything, the array included.
    float* out[2 * ((Ch + 1) / 2)];
    for (std::size_t c = 0; c < 2 * ((Ch + 1) / 2); ++c) out[c] = buffers[c];
    Vector::finish<Ch>(frames, 0, count, out);
}

// One channel to both sides: two copies, which the C library does as fast as anything here could.
void mono(const float* frames, std::size_t count, float* const out[]) noexcept {
    if (count == 0) return;
    std::memcpy(out[0], frames, count * sizeof(float));
    std::memcpy(out[1], frames, count * sizeof(float));
}

// The two channels of one bus in frames of Ch: four 8-byte pairs, two to a register, split with one
// shuffle each.
inline __m128 load_two_pairs(const float* p, const float* q) noexcept {
    const __m128 low = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    return _mm_loadh_pi(low, reinterpret_cast<const __m64*>(q));
}

template <std::size_t Ch>
void pair(const float* frames, std::size_t count, float* const out[]) noexcept {
    static_assert(Ch >= 3 && Ch <= kMaxRingChannels, "two channels are a whole frame: that is all<2>");
    float* const left = out[0];
    float* const right = out[1];
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const float* f = frames + Ch * i;
        const __m128 a = load_two_pairs(f, f + Ch), b = load_two_pairs(f + 2 * Ch, f + 3 * Ch);
        constexpr int kLefts = pick(0, 2, 0, 2), kRights = pick(1, 3, 1, 3);
        _mm_storeu_ps(left + i, _mm_shuffle_ps(a, b, kLefts));
        _mm_storeu_ps(right + i, _mm_shuffle_ps(a, b, kRights));
    }
    for (std::size_t n = 1; n < 4 && i < count; ++n, ++i) {  // bounded, as in VectorDeinterleave::finish
        left[i] = frames[Ch * i];
        right[i] = frames[Ch * i + 1];
    }
}

template <std::size_t Ch>
void lone(const float* frames, std::size_t count, float* const out[]) noexcept {
    static_assert(Ch % 2 == 1 && Ch >= 3 && Ch <= kMaxRingChannels, "a lone channel ends an odd count");
    float* const left = out[0];
    float* const right = out[1];
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const float* f = frames + Ch * i;
        const __m128 v = _mm_setr_ps(f[0], f[Ch], f[2 * Ch], f[3 * Ch]);
        _mm_storeu_ps(left + i, v);
        _mm_storeu_ps(right + i, v);
    }
    for (std::size_t n = 1; n < 4 && i < count; ++n, ++i) {
        const float v = frames[Ch * i];
        left[i] = v;
        right[i] = v;
    }
}

}  // namespace

constinit const RenderKernels kSse2Kernels{{{},
                                            {mono, nullptr, mono},
                                            {all<2>, all<2>, nullptr},
                                            {all<3>, pair<3>, lone<3>},
                                            {all<4>, pair<4>, nullptr},
                                            {all<5>, pair<5>, lone<5>},
                                            {all<6>, pair<6>, nullptr}}};

}  // namespace ondara
