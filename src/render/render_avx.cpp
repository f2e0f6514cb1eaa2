// The 256-bit kernels, eight frames per step, for CPUs and systems that run AVX. This file alone is
// compiled for AVX (-mavx, /arch:AVX), so everything in it, its 128-bit steps included, is VEX code;
// the receiver calls into it only after the CPU check said yes. It uses nothing inline from other
// files but the intrinsics and templates made its own (render_vector.h): a shared inline function
// compiled here could be the copy that the linker keeps for every caller. Each kernel clears the
// registers' upper halves before it returns: SSE code without VEX that runs next with them dirty,
// ours or the host's, runs several times slower.
#if !defined(__AVX__)
#error "render_avx.cpp is compiled for AVX: -mavx, or /arch:AVX"
#endif

#include <immintrin.h>

#include <cstdint>

#include "render/render_kernels.h"
#include "render/render_vector.h"

namespace ondara {
namespace {

struct ThisFile {};
using Narrow = Lanes128<ThisFile>;  // VEX-encoded here, like everything in this file

// A 32-byte store that straddles two cache lines costs about as much as two, which makes the kernel
// slower than a copy. So out[C] gets its eight samples in one store only where bit C of `Whole` says
// that its buffer is 32-byte aligned, and as two 16-byte stores elsewhere.
template <unsigned Whole>
struct Wide {
    using V = __m256;
    static constexpr std::size_t kFrames = 8;
    static V load(const float* p, std::size_t next) noexcept {
        return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p)), _mm_loadu_ps(p + next), 1);
    }
    template <int Lanes>
    static V shuffle(V a, V b) noexcept {
        return _mm256_shuffle_ps(a, b, Lanes);
    }
    template <std::size_t C>
    static void store(float* p, V v) noexcept {
        if constexpr (((Whole >> C) & 1) != 0) {
            _mm256_storeu_ps(p, v);
        } else {
            _mm_storeu_ps(p, _mm256_castps256_ps128(v));
            _mm_storeu_ps(p + 4, _mm256_extractf128_ps(v, 1));
        }
    }
};

inline unsigned start_is(const float* p, unsigned offset) noexcept {
    return (reinterpret_cast<std::uintptr_t>(p) & 31) == offset ? 1u : 0u;
}

// Stereo and three channels do little per step: two steps per turn of the loop keep its overhead down.
template <std::size_t Ch>
inline constexpr std::size_t kUnroll = Ch <= 3 ? 2 : 1;

template <std::size_t Ch, unsigned Whole>
std::size_t wide_steps(const float* frames, std::size_t i, std::size_t count, float* const out[]) noexcept {
    return VectorDeinterleave<Wide<Whole>>::template steps<Ch, kUnroll<Ch>>(frames, i, count, out);
}

// A copy of the buffer pointers that the compiler can keep in registers: a store through one of them
// may alias anything, the caller's array included, so that every loop would load them again.
template <std::size_t Ch>
struct Buffers {
    static constexpr std::size_t kOut = 2 * ((Ch + 1) / 2);
    static constexpr unsigned kAll = (1u << kOut) - 1;
    float* out[kOut];

    explicit Buffers(float* const buffers[]) noexcept {
        for (std::size_t c = 0; c < kOut; ++c) out[c] = buffers[c];
    }
};

// The frames left after the loop of 256-bit steps, fewer than one turn of it: one more 256-bit step
// where it fits (its stores in halves, which suit any buffer), then four frames with a 128-bit step,
// then one by one. Out of line, like everything the path most hosts take does not need, so that
// this one keeps few registers and no stack frame.
template <std::size_t Ch>
ONDARA_NOINLINE void last_frames(const float* frames, std::size_t i, std::size_t count,
                                 float* const buffers[]) noexcept {
    using Tail = VectorDeinterleave<Narrow>;
    const Buffers<Ch> b(buffers);
    if constexpr (kUnroll<Ch> == 2) {
        if (i + 8 <= count) {
            VectorDeinterleave<Wide<0>>::template step<Ch>(frames + Ch * i, b.out, i);
            i += 8;
        }
    }
    if (i + 4 <= count) {
        Tail::step<Ch>(frames + Ch * i, b.out, i);
        i += 4;
    }
    Tail::last_frames<Ch>(frames, i, count, b.out);
    _mm256_zeroupper();
}

// The whole kernel for buffers of which some are not 32-byte aligned.
template <std::size_t Ch>
ONDARA_NOINLINE void all_unaligned(const float* frames, std::size_t count, float* const buffers[]) noexcept {
    const Buffers<Ch> b(buffers);
    constexpr unsigned kAll = Buffers<Ch>::kAll;
    unsigned whole = 0, half_way = 0;
    for (std::size_t c = 0; c < Buffers<Ch>::kOut; ++c) {
        whole |= start_is(b.out[c], 0) << c;
        half_way |= start_is(b.out[c], 16) << c;
    }
    std::size_t i = 0;
    // Buffers that all start 16 bytes past a 32-byte boundary (a 16-byte aligned allocator gives that
    // half the time) take four frames with 128-bit stores first, after which all of them are aligned.
    if (half_way == kAll && count >= 4) {
        VectorDeinterleave<Narrow>::step<Ch>(frames, b.out, 0);
        i = wide_steps<Ch, kAll>(frames, 4, count, b.out);
    } else if constexpr (Ch == 2) {
        // Stereo picks its stores channel by channel.
        if (whole == 1) {
            i = wide_steps<Ch, 1>(frames, 0, count, b.out);
        } else if (whole == 2) {
            i = wide_steps<Ch, 2>(frames, 0, count, b.out);
        } else {
            i = wide_steps<Ch, 0>(frames, 0, count, b.out);
        }
    } else {
        i = wide_steps<Ch, 0>(frames, 0, count, b.out);
    }
    _mm256_zeroupper();
    if (i < count) last_frames<Ch>(frames, i, count, buffers);
}

// Every buffer 32-byte aligned, what most hosts hand in, takes the shortest way; the rest is out of
// line, reached by tail calls, so that this one keeps few registers and no stack frame.
template <std::size_t Ch>
void all(const float* frames, std::size_t count, float* const buffers[]) noexcept {
    static_assert(Ch >= 2 && Ch <= kMaxRingChannels, "the 256-bit kernels are for 2 to 6 channels");
    const Buffers<Ch> b(buffers);
    std::uintptr_t starts = 0;
    for (float* p : b.out) starts |= reinterpret_cast<std::uintptr_t>(p);
    if ((starts & 31) != 0) return all_unaligned<Ch>(frames, count, buffers);
    const std::size_t i = wide_steps<Ch, Buffers<Ch>::kAll>(frames, 0, count, b.out);
    _mm256_zeroupper();
    if (i < count) last_frames<Ch>(frames, i, count, buffers);
}

}  // namespace

constinit const RenderKernels kAvxKernels{{{},
                                           {},
                                           {all<2>, all<2>, nullptr},
                                           {all<3>, nullptr, nullptr},
                                           {all<4>, nullptr, nullptr},
                                           {all<5>, nullptr, nullptr},
                                           {all<6>, nullptr, nullptr}}};

}  // namespace ondara
