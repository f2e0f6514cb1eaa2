// One audio block from the ring into the host's buses. Runs on the host's audio thread: no
// allocation, lock, wait or system call, and nothing touched outside the bus views and the ring's
// view. The frames are deinterleaved straight from where they lie in the ring (at most two spans),
// and each output sample of the block is written once: ring audio, or zero.
#include <algorithm>
#include <cstdint>
#include <cstring>

#if (defined(__SSE2__) || defined(_M_X64)) && !defined(ONDARA_SCALAR_RENDER)
#include <immintrin.h>
#define ONDARA_RENDER_SSE2 1
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif
#endif

#if defined(ONDARA_SHARED_ACCESS_HOOK)
#include <cstdlib>
#endif

#include "receiver.h"
#include "shared_access.h"

// Keeps rarely taken work out of the per-block path, so that the compiler does not fold it into the
// function every block runs, with the register spills that brings.
#if defined(_MSC_VER)
#define ONDARA_NOINLINE __declspec(noinline)
#elif defined(__GNUC__)
#define ONDARA_NOINLINE __attribute__((noinline))
#else
#define ONDARA_NOINLINE
#endif

// The AVX kernels are compiled for AVX whatever the build targets, and run only where the CPU and the
// OS have it (MSVC compiles AVX intrinsics without being asked). GCC for 64-bit Windows cannot align
// the stack for a 256-bit value: with optimisation these kernels spill none, and unoptimised builds
// spill them with unaligned moves only.
#if defined(__GNUC__) || defined(__clang__)
#define ONDARA_TARGET_AVX __attribute__((target("avx")))
#else
#define ONDARA_TARGET_AVX
#endif

namespace ondara {
namespace {

void zero(float* p, std::size_t n) noexcept {
    if (n > 0) std::memset(p, 0, n * sizeof(float));  // all-zero bits are 0.0f
}

// Bus k takes ring channels 2k (left) and 2k + 1 (right); a missing right channel repeats the left one.
// The plain loops are the reference; the SSE2 paths below produce the same bits and are what x86-64
// builds use. ONDARA_SCALAR_RENDER forces the plain loops everywhere, so tests can run both.
template <std::size_t Ch>
void deinterleave_scalar(const float* frames, std::size_t from, std::size_t count, std::size_t k, float* left,
                         float* right) noexcept {
    const std::size_t l = 2 * k;
    const std::size_t r = l + 1 < Ch ? l + 1 : l;
    for (std::size_t i = from; i < count; ++i) {
        left[i] = frames[i * Ch + l];
        right[i] = frames[i * Ch + r];
    }
}

#if defined(ONDARA_RENDER_SSE2)
// Four frames at a time: the bus's two channels of frames i..i+3 are four 8-byte pairs, loaded into two
// registers and split into the left and right lanes with one shuffle each.
inline __m128 load_pair(const float* p) noexcept {
    return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

inline __m128 load_two_pairs(const float* p, const float* q) noexcept {
    return _mm_loadh_pi(load_pair(p), reinterpret_cast<const __m64*>(q));
}

// The step every vector kernel ends with: a and b hold the (left, right) sample pairs of four frames,
// two frames each, and one shuffle each gives left's and right's four samples.
inline void split_pairs(__m128 a, __m128 b, float* left, float* right) noexcept {
    _mm_storeu_ps(left, _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
    _mm_storeu_ps(right, _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
}

inline void stereo_four_frames(const float* frames, std::size_t i, float* left, float* right) noexcept {
    split_pairs(_mm_loadu_ps(frames + 2 * i), _mm_loadu_ps(frames + 2 * i + 4), left + i, right + i);
}

// The last frames of a stereo span after the AVX kernel, kept apart from it for the same reason as
// all_frames_from.
ONDARA_NOINLINE void stereo_frames_from(const float* frames, std::size_t i, std::size_t count, float* left,
                                        float* right) noexcept {
    for (; i + 4 <= count; i += 4) stereo_four_frames(frames, i, left, right);
    deinterleave_scalar<2>(frames, i, count, 0, left, right);
}

template <std::size_t Ch>
void deinterleave_bus(const float* frames, std::size_t count, std::size_t k, float* left, float* right) noexcept {
    const std::size_t l = 2 * k;
    std::size_t i = 0;
    if constexpr (Ch == 1) {
        std::memcpy(left, frames, count * sizeof(float));
        std::memcpy(right, frames, count * sizeof(float));
        return;
    } else if constexpr (Ch == 2) {
        for (; i + 8 <= count; i += 8) {
            stereo_four_frames(frames, i, left, right);
            stereo_four_frames(frames, i + 4, left, right);
        }
        for (; i + 4 <= count; i += 4) stereo_four_frames(frames, i, left, right);
    } else {
        if (l + 1 < Ch) {
            for (; i + 4 <= count; i += 4) {
                const float* f = frames + i * Ch + l;
                split_pairs(load_two_pairs(f, f + Ch), load_two_pairs(f + 2 * Ch, f + 3 * Ch), left + i, right + i);
            }
        } else {
            for (; i + 4 <= count; i += 4) {
                const float* f = frames + i * Ch + l;
                const __m128 v = _mm_setr_ps(f[0], f[Ch], f[2 * Ch], f[3 * Ch]);
                _mm_storeu_ps(left + i, v);
                _mm_storeu_ps(right + i, v);
            }
        }
    }
    deinterleave_scalar<Ch>(frames, i, count, k, left, right);
}

// Four or six channels into two or three buses in one pass, so that each frame is loaded once for all
// buses: four frames are Ch loads, one round of shuffles gathers the channel pairs (0,1), (2,3) and
// (4,5) of two frames at a time, and a second splits each pair into its two channels' four samples.
inline void all_four_frames_4(const float* frames, std::size_t i, float* const out[]) noexcept {
    const float* f = frames + 4 * i;
    const __m128 a0 = _mm_loadu_ps(f), a1 = _mm_loadu_ps(f + 4), a2 = _mm_loadu_ps(f + 8), a3 = _mm_loadu_ps(f + 12);
    const __m128 p01a = _mm_shuffle_ps(a0, a1, _MM_SHUFFLE(1, 0, 1, 0));
    const __m128 p01b = _mm_shuffle_ps(a2, a3, _MM_SHUFFLE(1, 0, 1, 0));
    const __m128 p23a = _mm_shuffle_ps(a0, a1, _MM_SHUFFLE(3, 2, 3, 2));
    const __m128 p23b = _mm_shuffle_ps(a2, a3, _MM_SHUFFLE(3, 2, 3, 2));
    split_pairs(p01a, p01b, out[0] + i, out[1] + i);
    split_pairs(p23a, p23b, out[2] + i, out[3] + i);
}

inline void all_four_frames_6(const float* frames, std::size_t i, float* const out[]) noexcept {
    const float* f = frames + 6 * i;
    const __m128 a0 = _mm_loadu_ps(f), a1 = _mm_loadu_ps(f + 4), a2 = _mm_loadu_ps(f + 8);
    const __m128 a3 = _mm_loadu_ps(f + 12), a4 = _mm_loadu_ps(f + 16), a5 = _mm_loadu_ps(f + 20);
    const __m128 p01a = _mm_shuffle_ps(a0, a1, _MM_SHUFFLE(3, 2, 1, 0));
    const __m128 p01b = _mm_shuffle_ps(a3, a4, _MM_SHUFFLE(3, 2, 1, 0));
    const __m128 p23a = _mm_shuffle_ps(a0, a2, _MM_SHUFFLE(1, 0, 3, 2));
    const __m128 p23b = _mm_shuffle_ps(a3, a5, _MM_SHUFFLE(1, 0, 3, 2));
    const __m128 p45a = _mm_shuffle_ps(a1, a2, _MM_SHUFFLE(3, 2, 1, 0));
    const __m128 p45b = _mm_shuffle_ps(a4, a5, _MM_SHUFFLE(3, 2, 1, 0));
    split_pairs(p01a, p01b, out[0] + i, out[1] + i);
    split_pairs(p23a, p23b, out[2] + i, out[3] + i);
    split_pairs(p45a, p45b, out[4] + i, out[5] + i);
}

template <std::size_t Ch>
inline void all_four_frames(const float* frames, std::size_t i, float* const out[]) noexcept {
    if constexpr (Ch == 4) {
        all_four_frames_4(frames, i, out);
    } else {
        all_four_frames_6(frames, i, out);
    }
}

// Frames `from` to `count`. Also the last few frames of the AVX kernel, which is why it is never
// folded into that: the compiler would vectorise the plain loop there with run-time alias checks and
// a realigned stack frame.
template <std::size_t Ch>
ONDARA_NOINLINE void all_frames_from(const float* frames, std::size_t from, std::size_t count,
                                     float* const out[]) noexcept {
    std::size_t i = from;
    for (; i + 4 <= count; i += 4) all_four_frames<Ch>(frames, i, out);
    for (; i < count; ++i) {
        for (std::size_t c = 0; c < Ch; ++c) out[c][i] = frames[Ch * i + c];
    }
}

template <std::size_t Ch>
void deinterleave_all(const float* frames, std::size_t count, float* const out[]) noexcept {
    all_frames_from<Ch>(frames, 0, count, out);
}

// The same kernels eight frames at a time where the CPU has AVX. Each 256-bit register holds two of
// the 128-bit registers above side by side: frames i..i+3 in the low lane, i+4..i+7 in the high one.
// Every shuffle stays within its lane, so the result is that of the four-frame kernels, with half the
// instructions.
ONDARA_TARGET_AVX inline __m256 load_lanes(const float* low, const float* high) noexcept {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(low)), _mm_loadu_ps(high), 1);
}

// A 32-byte store that straddles two cache lines costs about as much as two, which makes the kernel
// slower than a copy. So eight samples go out in one store only where the buffer is 32-byte aligned,
// and as two 16-byte stores elsewhere. Buffers that all start 16 bytes past a 32-byte boundary (a
// 16-byte aligned allocator gives that half the time) take four frames with 128-bit stores first,
// after which all of them are aligned.
template <bool Whole>
ONDARA_TARGET_AVX inline void store8(float* p, __m256 v) noexcept {
    if constexpr (Whole) {
        _mm256_storeu_ps(p, v);
    } else {
        _mm_storeu_ps(p, _mm256_castps256_ps128(v));
        _mm_storeu_ps(p + 4, _mm256_extractf128_ps(v, 1));
    }
}

// split_pairs on eight frames.
template <bool WholeLeft, bool WholeRight>
ONDARA_TARGET_AVX inline void split_pairs8(__m256 a, __m256 b, float* left, float* right) noexcept {
    store8<WholeLeft>(left, _mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
    store8<WholeRight>(right, _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
}

inline bool aligned32(const float* p) noexcept { return (reinterpret_cast<std::uintptr_t>(p) & 31) == 0; }

inline bool half_way(const float* p) noexcept { return (reinterpret_cast<std::uintptr_t>(p) & 31) == 16; }

template <bool WholeLeft, bool WholeRight>
ONDARA_TARGET_AVX inline std::size_t stereo_sixteens(const float* frames, std::size_t i, std::size_t count, float* left,
                                                     float* right) noexcept {
    for (; i + 16 <= count; i += 16) {
        const float* f = frames + 2 * i;
        const __m256 a = load_lanes(f, f + 8), b = load_lanes(f + 4, f + 12);
        const __m256 c = load_lanes(f + 16, f + 24), d = load_lanes(f + 20, f + 28);
        split_pairs8<WholeLeft, WholeRight>(a, b, left + i, right + i);
        split_pairs8<WholeLeft, WholeRight>(c, d, left + i + 8, right + i + 8);
    }
    return i;
}

ONDARA_TARGET_AVX void deinterleave_stereo_avx(const float* frames, std::size_t count, float* left,
                                               float* right) noexcept {
    std::size_t i = 0;
    if (((reinterpret_cast<std::uintptr_t>(left) | reinterpret_cast<std::uintptr_t>(right)) & 31) == 0) {
        i = stereo_sixteens<true, true>(frames, 0, count, left, right);  // what most hosts hand in
    } else {
        if (count >= 4 && half_way(left) && half_way(right)) {
            stereo_four_frames(frames, 0, left, right);
            i = 4;
        }
        const bool whole_left = aligned32(left + i), whole_right = aligned32(right + i);
        if (whole_left && whole_right) {
            i = stereo_sixteens<true, true>(frames, i, count, left, right);
        } else if (whole_left) {
            i = stereo_sixteens<true, false>(frames, i, count, left, right);
        } else if (whole_right) {
            i = stereo_sixteens<false, true>(frames, i, count, left, right);
        } else {
            i = stereo_sixteens<false, false>(frames, i, count, left, right);
        }
    }
    if (i < count) {
        // Clean upper halves before 128-bit code: the compiler leaves them dirty on a tail call, and
        // SSE code after that runs several times slower, in this call and in the host's after it.
        _mm256_zeroupper();
        stereo_frames_from(frames, i, count, left, right);
    }
}

template <std::size_t Ch, bool Whole>
ONDARA_TARGET_AVX inline std::size_t all_eights(const float* frames, std::size_t i, std::size_t count,
                                                float* const buffers[]) noexcept {
    // A copy the compiler can keep in registers across the loop.
    float* out[Ch];
    for (std::size_t c = 0; c < Ch; ++c) out[c] = buffers[c];
    for (; i + 8 <= count; i += 8) {
        const float* f = frames + Ch * i;
        if constexpr (Ch == 4) {
            const __m256 a0 = load_lanes(f, f + 16), a1 = load_lanes(f + 4, f + 20);
            const __m256 a2 = load_lanes(f + 8, f + 24), a3 = load_lanes(f + 12, f + 28);
            const __m256 p01a = _mm256_shuffle_ps(a0, a1, _MM_SHUFFLE(1, 0, 1, 0));
            const __m256 p01b = _mm256_shuffle_ps(a2, a3, _MM_SHUFFLE(1, 0, 1, 0));
            const __m256 p23a = _mm256_shuffle_ps(a0, a1, _MM_SHUFFLE(3, 2, 3, 2));
            const __m256 p23b = _mm256_shuffle_ps(a2, a3, _MM_SHUFFLE(3, 2, 3, 2));
            split_pairs8<Whole, Whole>(p01a, p01b, out[0] + i, out[1] + i);
            split_pairs8<Whole, Whole>(p23a, p23b, out[2] + i, out[3] + i);
        } else {
            const __m256 a0 = load_lanes(f, f + 24), a1 = load_lanes(f + 4, f + 28), a2 = load_lanes(f + 8, f + 32);
            const __m256 a3 = load_lanes(f + 12, f + 36), a4 = load_lanes(f + 16, f + 40);
            const __m256 a5 = load_lanes(f + 20, f + 44);
            const __m256 p01a = _mm256_shuffle_ps(a0, a1, _MM_SHUFFLE(3, 2, 1, 0));
            const __m256 p01b = _mm256_shuffle_ps(a3, a4, _MM_SHUFFLE(3, 2, 1, 0));
            const __m256 p23a = _mm256_shuffle_ps(a0, a2, _MM_SHUFFLE(1, 0, 3, 2));
            const __m256 p23b = _mm256_shuffle_ps(a3, a5, _MM_SHUFFLE(1, 0, 3, 2));
            const __m256 p45a = _mm256_shuffle_ps(a1, a2, _MM_SHUFFLE(3, 2, 1, 0));
            const __m256 p45b = _mm256_shuffle_ps(a4, a5, _MM_SHUFFLE(3, 2, 1, 0));
            split_pairs8<Whole, Whole>(p01a, p01b, out[0] + i, out[1] + i);
            split_pairs8<Whole, Whole>(p23a, p23b, out[2] + i, out[3] + i);
            split_pairs8<Whole, Whole>(p45a, p45b, out[4] + i, out[5] + i);
        }
    }
    return i;
}

// Four or six buffers: whole stores only when all of them are aligned, else 16-byte stores for all.
template <std::size_t Ch>
ONDARA_TARGET_AVX void deinterleave_all_avx(const float* frames, std::size_t count, float* const out[]) noexcept {
    std::size_t i = 0;
    bool all_half_way = true;
    for (std::size_t c = 0; c < Ch; ++c) all_half_way = all_half_way && half_way(out[c]);
    if (count >= 4 && all_half_way) {
        all_four_frames<Ch>(frames, 0, out);
        i = 4;
    }
    bool all_aligned = true;
    for (std::size_t c = 0; c < Ch; ++c) all_aligned = all_aligned && aligned32(out[c] + i);
    i = all_aligned ? all_eights<Ch, true>(frames, i, count, out) : all_eights<Ch, false>(frames, i, count, out);
    if (i < count) {
        _mm256_zeroupper();  // as in deinterleave_stereo_avx
        all_frames_from<Ch>(frames, i, count, out);
    }
}
#else

template <std::size_t Ch>
void deinterleave_bus(const float* frames, std::size_t count, std::size_t k, float* left, float* right) noexcept {
    deinterleave_scalar<Ch>(frames, 0, count, k, left, right);
}
#endif

// Whether a bus's left and right buffers share some samples without being the same buffer. The
// vector paths store several frames of one channel before the other channel's, which gives another
// result than the frame by frame order only then. Buses are rendered one after the other on every
// path, so overlaps between buses come out the same either way.
bool partly_overlapping(const OutputBus& b, std::size_t n) noexcept {
    const auto l = reinterpret_cast<std::uintptr_t>(b.left), r = reinterpret_cast<std::uintptr_t>(b.right);
    const std::uintptr_t bytes = n * sizeof(float);
    return l != r && l < r + bytes && r < l + bytes;
}

// Gains are one float division each; fade-in reaches exactly 1.0, fade-out exactly 0.0.
void fade_in(float* p, std::size_t len) noexcept {
    for (std::size_t i = 0; i < len; ++i) p[i] *= static_cast<float>(i + 1) / static_cast<float>(len);
}

void fade_out(float* p, std::size_t len) noexcept {
    for (std::size_t j = 0; j < len; ++j) p[j] *= static_cast<float>(len - 1 - j) / static_cast<float>(len);
}

#if defined(ONDARA_RENDER_SSE2)
// Whether none of the channel buffers of the first `bus_count` buses shares a sample with another over
// n samples: only then may one pass fill all of them, since it interleaves their stores.
bool all_apart(const OutputBus* b, std::size_t bus_count, std::size_t n) noexcept {
    std::uintptr_t start[2 * kMaxBuses];
    for (std::size_t k = 0; k < bus_count; ++k) {
        start[2 * k] = reinterpret_cast<std::uintptr_t>(b[k].left);
        start[2 * k + 1] = reinterpret_cast<std::uintptr_t>(b[k].right);
    }
    const std::uintptr_t bytes = n * sizeof(float);
    for (std::size_t a = 0; a < 2 * bus_count; ++a) {
        for (std::size_t c = a + 1; c < 2 * bus_count; ++c) {
            if (start[a] < start[c] + bytes && start[c] < start[a] + bytes) return false;
        }
    }
    return true;
}
#endif

// The block's `got` frames of a Ch-channel ring, from its two spans, into the audio buses: bus after
// bus, so that buffers shared between buses end as the last bus left them. One instance per channel
// count, chosen once per block, so the per-bus work holds no test of the channel count.
template <std::size_t Ch>
ONDARA_NOINLINE void render_audio_of(const RingSpans& spans, const OutputBus* buses, std::size_t audio_buses,
                                     std::size_t got, [[maybe_unused]] bool avx) noexcept {
    const std::size_t first = static_cast<std::size_t>(spans.first_frames), rest = got - first;
#if defined(ONDARA_RENDER_SSE2)
    if constexpr (Ch == 4 || Ch == 6) {
        constexpr std::size_t kBuses = Ch / 2;
        if (audio_buses == kBuses && all_apart(buses, kBuses, got)) {
            const auto all = avx ? deinterleave_all_avx<Ch> : deinterleave_all<Ch>;
            float* out[Ch];
            for (std::size_t k = 0; k < kBuses; ++k) {
                out[2 * k] = buses[k].left;
                out[2 * k + 1] = buses[k].right;
            }
            all(spans.first, first, out);
            if (rest > 0) {
                for (float*& o : out) o += first;
                all(spans.second, rest, out);
            }
            return;
        }
    }
#endif
    // A ring of Ch channels feeds at most (Ch + 1) / 2 buses; saying so lets the stereo and mono
    // instances drop the loop.
    const std::size_t n = std::min(audio_buses, (Ch + 1) / 2);
    for (std::size_t k = 0; k < n; ++k) {
        float* const left = buses[k].left;
        float* const right = buses[k].right;
        if (partly_overlapping(buses[k], got)) {
            // Frame by frame, left then right: the order that decides the result when they overlap.
            deinterleave_scalar<Ch>(spans.first, 0, first, k, left, right);
            if (rest > 0) deinterleave_scalar<Ch>(spans.second, 0, rest, k, left + first, right + first);
        } else {
            deinterleave_bus<Ch>(spans.first, first, k, left, right);
            if (rest > 0) deinterleave_bus<Ch>(spans.second, rest, k, left + first, right + first);
        }
    }
}

// For a channel count already checked to be 1 to 6; nothing to do when got is 0.
inline void render_audio(std::size_t ch, const RingSpans& spans, const OutputBus* buses, std::size_t audio_buses,
                         std::size_t got, bool avx) noexcept {
    if (got == 0) return;
#if defined(ONDARA_RENDER_SSE2)
    // Stereo with AVX is the common case by far: handled here, without a further call.
    if (ch == 2 && avx && !partly_overlapping(buses[0], got)) {
        const std::size_t first = static_cast<std::size_t>(spans.first_frames);
        deinterleave_stereo_avx(spans.first, first, buses[0].left, buses[0].right);
        if (got > first) deinterleave_stereo_avx(spans.second, got - first, buses[0].left + first, buses[0].right + first);
        return;
    }
#endif
    switch (ch) {
        case 1: return render_audio_of<1>(spans, buses, audio_buses, got, avx);
        case 2: return render_audio_of<2>(spans, buses, audio_buses, got, avx);
        case 3: return render_audio_of<3>(spans, buses, audio_buses, got, avx);
        case 4: return render_audio_of<4>(spans, buses, audio_buses, got, avx);
        case 5: return render_audio_of<5>(spans, buses, audio_buses, got, avx);
        default: return render_audio_of<6>(spans, buses, audio_buses, got, avx);
    }
}

// A block with more to it than ring audio over every frame of every bus: buses without ring audio and
// the frames after `got` are zeroed first, then the audio buses are filled in bus order, then the
// fades are applied. Every sample 0..R-1 is thus written exactly once in effect.
ONDARA_NOINLINE void render_with_gaps(std::size_t ch, const RingSpans& spans, const OutputBus* buses, std::size_t used,
                                      std::size_t audio_buses, std::size_t got, std::size_t R,
                                      bool fade_in_pending, bool avx) noexcept {
    for (std::size_t k = 0; k < used; ++k) {
        const std::size_t from = k < audio_buses ? got : 0;
        zero(buses[k].left + from, R - from);
        zero(buses[k].right + from, R - from);
    }
    if (got == 0) return;
    render_audio(ch, spans, buses, audio_buses, got, avx);
    const std::size_t fade = static_cast<std::size_t>(std::min<std::uint64_t>(got, kFadeFrames));
    // Fade-in over every bus first, then fade-out: where the two overlap the gains multiply in that
    // order, even when the host hands the same buffer in twice.
    if (fade_in_pending) {
        for (std::size_t k = 0; k < used; ++k) {
            fade_in(buses[k].left, fade);
            fade_in(buses[k].right, fade);
        }
    }
    if (got < R) {
        for (std::size_t k = 0; k < used; ++k) {
            fade_out(buses[k].left + got - fade, fade);
            fade_out(buses[k].right + got - fade, fade);
        }
    }
}

// A block the ring cannot feed at all: silence over the whole of every bus in use, the ring left alone.
ONDARA_NOINLINE void render_silence(const OutputBus* buses, std::size_t used, std::size_t frames) noexcept {
    for (std::size_t k = 0; k < used; ++k) {
        const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(buses[k].length, frames));
        zero(buses[k].left, len);
        zero(buses[k].right, len);
    }
}

}  // namespace

bool render_can_use_avx() noexcept {
#if defined(ONDARA_SHARED_ACCESS_HOOK)
    // Test builds run the 128-bit kernels on any CPU when asked to, so that both kinds are tested.
    if (const char* only = std::getenv("ONDARA_TEST_RENDER_SSE2"); only != nullptr && only[0] == '1') return false;
#endif
#if !defined(ONDARA_RENDER_SSE2)
    return false;
#elif defined(__GNUC__) || defined(__clang__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx");  // also asks whether the OS saves the AVX registers
#else
    int info[4];
    __cpuid(info, 1);
    const bool osxsave = (info[2] >> 27) & 1, avx = (info[2] >> 28) & 1;
    return osxsave && avx && (_xgetbv(0) & 6) == 6;
#endif
}

void render_block(Receiver& r, const OutputBus* buses, std::size_t bus_count, std::size_t frames,
                  ProcessResult* out) noexcept {
    const std::size_t used = std::min(bus_count, kMaxBuses);

    // The one pass over the header that this block works from, whatever the companion writes meanwhile.
    const RingState s = r.ring.state();
    const std::uint32_t sample_rate = load_shared(&r.ring.block()->sample_rate);
    const std::size_t ch = s.channels;

    std::size_t R = 0;
    if (used > 0) {
        R = static_cast<std::size_t>(std::min<std::uint64_t>(r.max_frames, frames));
        for (std::size_t k = 0; k < used; ++k) R = static_cast<std::size_t>(std::min<std::uint64_t>(R, buses[k].length));
    }

    std::size_t got = 0;
    std::size_t silent = 0;
    // An unusable channel count, or one raised after open so far that the block would need more than
    // max_frames x the channel count at open, is the companion's fault: silence over every bus, the
    // ring left alone. (R counts samples of a host buffer, so R x 6 cannot wrap.)
    if (ch == 0 || ch > kMaxRingChannels || R * ch > r.sample_limit) {
        render_silence(buses, used, frames);
        R = 0;
        silent = frames;
    } else {
        // A header that describes more than the view holds gives a silent block and no progress.
        const bool readable = r.ring.fits(s);
        const RingSpans spans = readable ? r.ring.take(s, R) : RingSpans{};
        got = static_cast<std::size_t>(spans.frames);

        const std::size_t audio_buses = r.multi_bus ? std::min(used, (ch + 1) / 2) : std::min<std::size_t>(used, 1);
        if (got == R && used == audio_buses && !r.fade_in_pending) {
            render_audio(ch, spans, buses, audio_buses, got, r.avx);  // ring audio over every sample
        } else {
            render_with_gaps(ch, spans, buses, used, audio_buses, got, R, r.fade_in_pending, r.avx);
        }
        // A block of no frames at all (hosts send them to flush parameters) says nothing about the
        // audio, so a fade-in still owed after a gap stays owed.
        if (R > 0) r.fade_in_pending = got < R;
        // The frames are out of the ring: only now may the producer learn that their slots are free.
        if (readable) r.ring.publish(s);
        silent = R - got;
    }

    if (out != nullptr) {
        *out = ProcessResult{frames, R, got, silent, s.channels, static_cast<std::uint32_t>(used), sample_rate, 0};
    }
}

}  // namespace ondara
