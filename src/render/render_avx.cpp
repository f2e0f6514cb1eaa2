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

// Where `Whole` is kByAddress: each store looks at its own address instead. A buffer's alignment is
// the same at every step, so the branch always goes the same way; this serves the kernels of two
// buses, whose mixes of alignments are too many to give each one a loop of its own.
inline constexpr unsigned kByAddress = 1u << 31;

// A 32-byte store that straddles two cache lines costs about as much as two, which makes the kernel
// slower than a copy. So out[C] gets its eight samples in one store only where bit C of `Whole` says
// that its buffer is 32-byte aligned, and as two 16-byte stores elsewhere.
template <unsigned Whole>
struct Wide {
    using V = __m256;
    static constexpr std::size_t kFrames = 8;
    static V load(const float* p, std::size_t next) noexcept {
        if (next == 4) return _mm256_loadu_ps(p);  // one channel: the next group follows at once
        return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p)), _mm_loadu_ps(p + next), 1);
    }
    // What load(f + 4K, 4 Ch) gives from eight whole frames of Ch channels at f: four floats from
    // 16 K bytes on in the low lane, and from 16 (Ch + K) in the high one. Each lane is the half of a
    // 32-byte load that holds it, picked with one blend or one move across lanes; the Ch vectors of a
    // step share their Ch loads, which takes half the loads of a 16-byte load and an insert each.
    template <std::size_t Ch, std::size_t K>
    static V frame_vector(const float* f) noexcept {
        const V low = _mm256_loadu_ps(f + 8 * (K / 2)), high = _mm256_loadu_ps(f + 8 * ((Ch + K) / 2));
        if constexpr (K % 2 == 0 && (Ch + K) % 2 == 1) {
            return _mm256_blend_ps(low, high, 0xF0);
        } else {
            return _mm256_permute2f128_ps(low, high, (K % 2) | ((Ch + K) % 2 + 2) << 4);
        }
    }
    static V load_pairs(const float* p, const float* q, std::size_t next) noexcept {
        return _mm256_insertf128_ps(_mm256_castps128_ps256(Narrow::load_pairs(p, q, 0)),
                                    Narrow::load_pairs(p + next, q + next, 0), 1);
    }
    // One bus of six channels: 32 bytes from a frame's pair on end with the next frame's pair, so
    // that a load, an insert and a move across the lanes, each taking the second frame group from
    // memory, and one shuffle give what two load_pairs give in five instructions. The loads never
    // reach past the fourth frame's pair of either group.
    template <std::size_t Ch>
        requires(Ch == 6)
    static void bus_pairs(const float* f, V& a, V& b) noexcept {
        a = two_pairs_each(f, f + 4 * Ch);
        b = two_pairs_each(f + 2 * Ch, f + 6 * Ch);
    }
    static V gather(const float* p, std::size_t s) noexcept {
        return _mm256_setr_ps(p[0], p[s], p[2 * s], p[3 * s], p[4 * s], p[5 * s], p[6 * s], p[7 * s]);
    }
    template <int Lanes>
    static V shuffle(V a, V b) noexcept {
        return _mm256_shuffle_ps(a, b, Lanes);
    }
    template <std::size_t C>
    static void store(float* p, V v) noexcept {
        if constexpr (Whole == kByAddress) {
            if ((reinterpret_cast<std::uintptr_t>(p) & 31) == 0) {
                _mm256_store_ps(p, v);
            } else {
                _mm_storeu_ps(p, _mm256_castps256_ps128(v));
                _mm_storeu_ps(p + 4, _mm256_extractf128_ps(v, 1));
            }
        } else if constexpr (((Whole >> C) & 1) != 0) {
            _mm256_storeu_ps(p, v);
        } else {
            _mm_storeu_ps(p, _mm256_castps256_ps128(v));
            _mm_storeu_ps(p + 4, _mm256_extractf128_ps(v, 1));
        }
    }

private:
    // The pairs of the six-channel frames at p and the one after it in the low lane, and of those at
    // q and the one after it in the high one.
    static V two_pairs_each(const float* p, const float* q) noexcept {
        const V x = _mm256_loadu_ps(p);                                          // (p0 p1 p2 p3 | p4 p5 P0 P1)
        const V low = _mm256_insertf128_ps(x, _mm_loadu_ps(q), 1);              // (p0 p1 p2 p3 | q0 q1 q2 q3)
        const V high = _mm256_permute2f128_ps(x, _mm256_loadu_ps(q), 0x31);     // (p4 p5 P0 P1 | q4 q5 Q0 Q1)
        return _mm256_shuffle_ps(low, high, pick(0, 1, 2, 3));                  // (p0 p1 P0 P1 | q0 q1 Q0 Q1)
    }
};

inline unsigned start_is(const float* p, unsigned offset) noexcept {
    return (reinterpret_cast<std::uintptr_t>(p) & 31) == offset ? 1u : 0u;
}

// Steps per turn of the loop: one bus's pair, which does least per step, eight, to keep the loop's
// own instructions down (sixteen GCC no longer unrolls); the rest two, but for five channels in one
// pass, whose step is the longest and which took longer so (measured).
template <Slot S, std::size_t Ch>
inline constexpr std::size_t kUnroll = S == Slot::Pair ? 8 : (Ch == 5 && S != Slot::Lone ? 1 : 2);

template <Slot S, std::size_t Ch, unsigned Whole>
std::size_t wide_steps(const float* frames, std::size_t i, std::size_t count, float* const out[]) noexcept {
    return VectorDeinterleave<Wide<Whole>>::template steps<S, Ch, kUnroll<S, Ch>>(frames, i, count, out);
}

// A copy of the buffer pointers that the compiler can keep in registers: a store through one of them
// may alias anything, the caller's array included, so that every loop would load them again.
template <Slot S, std::size_t Ch>
struct Buffers {
    static constexpr std::size_t kOut = kOutputs<S, Ch>;
    static constexpr unsigned kAll = (1u << kOut) - 1;
    float* out[kOut];

    explicit Buffers(float* const buffers[]) noexcept {
        for (std::size_t c = 0; c < kOut; ++c) out[c] = buffers[c];
    }
};

// The frames left after the loop of 256-bit steps, fewer than one turn of it: more 256-bit steps
// where they fit (their stores in halves, which suit any buffer), then four frames with a 128-bit
// step, then one by one. Out of line, like everything the path most hosts take does not need, so
// that this one keeps few registers and no stack frame.
template <Slot S, std::size_t Ch>
ONDARA_NOINLINE void last_frames(const float* frames, std::size_t i, std::size_t count,
                                 float* const buffers[]) noexcept {
    using Tail = VectorDeinterleave<Narrow>;
    const Buffers<S, Ch> b(buffers);
    for (std::size_t n = 1; n < kUnroll<S, Ch> && i + 8 <= count; ++n, i += 8) {
        VectorDeinterleave<Wide<0>>::template step<S, Ch>(frames + Ch * i, b.out, i);
    }
    if (i + 4 <= count) {
        Tail::step<S, Ch>(frames + Ch * i, b.out, i);
        i += 4;
    }
    Tail::last_frames<S, Ch>(frames, i, count, b.out);
    _mm256_zeroupper();
}

// The whole kernel of two buses whose buffers' alignments differ: one store per output where its
// buffer is 32-byte aligned. Reached by a tail call, so that the other ways through the kernel keep
// their registers and do not work out which buffers are aligned. (Measured: three buses do no better
// so than with every store in halves.)
inline constexpr std::size_t kMixedFrom = 128;  // frames; measured: 64 are slower so, 256 faster

template <Slot S, std::size_t Ch>
ONDARA_NOINLINE void mixed(const float* frames, std::size_t count, float* const buffers[]) noexcept {
    const Buffers<S, Ch> b(buffers);
    bool some_whole = false;
    for (float* p : b.out) some_whole = some_whole || start_is(p, 0) != 0;
    const std::size_t i = some_whole ? wide_steps<S, Ch, kByAddress>(frames, 0, count, b.out)
                                     : wide_steps<S, Ch, 0>(frames, 0, count, b.out);
    _mm256_zeroupper();
    if (i < count) last_frames<S, Ch>(frames, i, count, buffers);
}

// Mono into one buffer on a 32-byte boundary and one 16 bytes past such a boundary, as two buffers
// allocated one after the other often are. The loads follow the aligned buffer; a move across the
// lanes of two of them gives the eight samples that the other buffer takes at its own boundary, so
// that every store but those at the ends is whole and aligned, and nothing is loaded twice (a second
// load of the frames at another offset costs more than the halved stores it saves). Needs 8 frames
// or more.
ONDARA_NOINLINE void mono_mixed(const float* frames, std::size_t count, float* whole, float* half_way) noexcept {
    __m256 v = _mm256_loadu_ps(frames);
    _mm_store_ps(half_way, _mm256_castps256_ps128(v));
    std::size_t i = 0;
    for (; i + 16 <= count; i += 8) {
        const __m256 next = _mm256_loadu_ps(frames + i + 8);
        _mm256_store_ps(whole + i, v);
        _mm256_store_ps(half_way + i + 4, _mm256_permute2f128_ps(v, next, 0x21));
        v = next;
    }
    _mm256_store_ps(whole + i, v);
    _mm_store_ps(half_way + i + 4, _mm256_extractf128_ps(v, 1));
    if (i + 8 < count) {  // fewer than eight frames are left
        const __m256 end = _mm256_loadu_ps(frames + count - 8);
        _mm256_storeu_ps(whole + count - 8, end);
        _mm256_storeu_ps(half_way + count - 8, end);
    }
    _mm256_zeroupper();
}

// The whole kernel for buffers of which some are not 32-byte aligned.
template <Slot S, std::size_t Ch>
ONDARA_NOINLINE void unaligned(const float* frames, std::size_t count, float* const buffers[]) noexcept {
    using B = Buffers<S, Ch>;
    const B b(buffers);
    unsigned whole = 0, half_way = 0;
    for (std::size_t c = 0; c < B::kOut; ++c) {
        whole |= start_is(b.out[c], 0) << c;
        half_way |= start_is(b.out[c], 16) << c;
    }
    std::size_t i = 0;
    // Buffers that all start 16 bytes past a 32-byte boundary (a 16-byte aligned allocator gives that
    // half the time) take four frames with 128-bit stores first, after which all of them are aligned.
    if (half_way == B::kAll && count >= 4) {
        VectorDeinterleave<Narrow>::step<S, Ch>(frames, b.out, 0);
        i = wide_steps<S, Ch, B::kAll>(frames, 4, count, b.out);
    } else if constexpr (S == Slot::All && Ch == 1) {
        if (whole != 0 && (half_way | whole) == B::kAll && count >= 8) {
            return whole == 1 ? mono_mixed(frames, count, b.out[0], b.out[1])
                              : mono_mixed(frames, count, b.out[1], b.out[0]);
        }
        i = wide_steps<S, Ch, 0>(frames, 0, count, b.out);
    } else if constexpr (B::kOut == 2) {
        // One bus picks its stores channel by channel.
        if (whole == 1) {
            i = wide_steps<S, Ch, 1>(frames, 0, count, b.out);
        } else if (whole == 2) {
            i = wide_steps<S, Ch, 2>(frames, 0, count, b.out);
        } else {
            i = wide_steps<S, Ch, 0>(frames, 0, count, b.out);
        }
    } else if constexpr (B::kOut == 4) {
        // A short block does better with the halves: the way out there costs more than it saves.
        if (count >= kMixedFrom) return mixed<S, Ch>(frames, count, buffers);
        i = wide_steps<S, Ch, 0>(frames, 0, count, b.out);
    } else {
        i = wide_steps<S, Ch, 0>(frames, 0, count, b.out);
    }
    _mm256_zeroupper();
    if (i < count) last_frames<S, Ch>(frames, i, count, buffers);
}

// Every buffer 32-byte aligned, what most hosts hand in, takes the shortest way; the rest is out of
// line, reached by tail calls, so that this one keeps few registers and no stack frame.
template <Slot S, std::size_t Ch>
void kernel(const float* frames, std::size_t count, float* const buffers[]) noexcept {
    static_assert(Ch >= 1 && Ch <= kMaxRingChannels);
    const Buffers<S, Ch> b(buffers);
    std::uintptr_t starts = 0;
    for (float* p : b.out) starts |= reinterpret_cast<std::uintptr_t>(p);
    if ((starts & 31) != 0) return unaligned<S, Ch>(frames, count, buffers);
    const std::size_t i = wide_steps<S, Ch, Buffers<S, Ch>::kAll>(frames, 0, count, b.out);
    _mm256_zeroupper();
    if (i < count) last_frames<S, Ch>(frames, i, count, buffers);
}

template <std::size_t Ch>
constexpr Deinterleave all = kernel<Slot::All, Ch>;
template <std::size_t Ch>
constexpr Deinterleave pair = kernel<Slot::Pair, Ch>;
template <std::size_t Ch>
constexpr Deinterleave lone = kernel<Slot::Lone, Ch>;
template <std::size_t Ch>
constexpr Deinterleave two = kernel<Slot::Two, Ch>;

}  // namespace

// Mono is its own lone channel: one kernel for both slots.
constinit const RenderKernels kAvxKernels{{{},
                                           {all<1>, nullptr, all<1>},
                                           {all<2>, all<2>, nullptr},
                                           {all<3>, pair<3>, lone<3>},
                                           {all<4>, pair<4>, nullptr},
                                           {all<5>, pair<5>, lone<5>, two<5>},
                                           {all<6>, pair<6>, nullptr, two<6>}}};

}  // namespace ondara
