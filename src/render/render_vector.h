// The deinterleaving recipe of the vector kernels, written once for 128-bit and 256-bit registers.
//
// It works on groups of four frames. A group of Ch channels is Ch loads of four floats; a few
// shuffles, each taking two lanes of one register and two of another, turn them into one vector of
// four samples per channel, which are stored. A kernel for one bus of a wider ring loads only its
// bus's samples: each frame's two as one 8-byte pair, or its one channel float by float, so that it
// never reads past the last frame's bus. A 128-bit register holds one group. A 256-bit register
// holds two side by side, frames i..i+3 in its low 128-bit lane and i+4..i+7 in its high one; every
// shuffle used here acts on each lane alone, so the same steps render eight frames.
//
// `Ops` is the register family:
//   V                                    the register type
//   kFrames                              frames per step: four per 128-bit lane
//   V load(const float* p, size_t next)  four floats at p into the low lane, and for a wider register
//                                        the four at p + next (the next group) into the next lane
//   V load_pairs(const float* p, const float* q, size_t next)
//                                        two floats at p and two at q into the low lane, and so on
//                                        from p + next and q + next in the next
//   V gather(const float* p, size_t stride)   p[0], p[stride], ... one float per frame of the step
//   template <size_t Ch> void bus_pairs(const float* f, V& a, V& b)   optional: what the two
//                                        load_pairs of one bus's step give, for a Ch-channel ring
//   template <size_t Ch, size_t K> V frame_vector(const float* f)   optional: what load(f + 4K, 4 Ch)
//                                        gives, from the whole frames of one step at f
//   template <int Lanes> V shuffle(V a, V b)    lanes picked as pick() below says, in each lane alone
//   template <size_t C> void store(float* p, V v)   v's samples to out[C] at p
// Every function here belongs to a template on Ops, and each instruction set's file makes its Ops from
// a type of its own unnamed namespace. No instance is therefore ever shared between files compiled for
// different instruction sets, so the linker cannot hand the 128-bit path a copy that was built for AVX.
#pragma once

#include <emmintrin.h>

#include <cstddef>

namespace ondara {

// What a kernel renders (ChannelKernels): every bus of the ring in one pass, the two channels of one
// bus, the lone last channel of an odd count to both sides of its bus, or the first two buses of a
// ring that feeds three in one pass.
enum class Slot { All, Pair, Lone, Two };

// The buffers a kernel of `S` for a Ch-channel ring fills.
template <Slot S, std::size_t Ch>
inline constexpr std::size_t kOutputs = S == Slot::All ? 2 * ((Ch + 1) / 2) : S == Slot::Two ? 4 : 2;

// The ring channel, counted from where the kernel's `frames` point, that buffer c takes.
template <Slot S, std::size_t Ch>
constexpr std::size_t source_channel(std::size_t c) noexcept {
    if constexpr (S == Slot::All) {
        return c < Ch ? c : Ch - 1;
    } else if constexpr (S == Slot::Pair || S == Slot::Two) {
        return c;
    } else {
        return 0;
    }
}

// The shuffle control for result lanes (a[i], a[j], b[k], b[l]).
constexpr int pick(int i, int j, int k, int l) noexcept { return i | j << 2 | k << 4 | l << 6; }

// The 128-bit registers, one group of four frames per step. `File` is a type from the including
// file's unnamed namespace, which gives each file a copy of its own, built with its own flags.
template <class File>
struct Lanes128 {
    using V = __m128;
    static constexpr std::size_t kFrames = 4;
    static V load(const float* p, std::size_t) noexcept { return _mm_loadu_ps(p); }
    static V load_pairs(const float* p, const float* q, std::size_t) noexcept {
        const V low = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
        return _mm_loadh_pi(low, reinterpret_cast<const __m64*>(q));
    }
    static V gather(const float* p, std::size_t stride) noexcept {
        return _mm_setr_ps(p[0], p[stride], p[2 * stride], p[3 * stride]);
    }
    template <int Lanes>
    static V shuffle(V a, V b) noexcept {
        return _mm_shuffle_ps(a, b, Lanes);
    }
    template <std::size_t>
    static void store(float* p, V v) noexcept {
        _mm_storeu_ps(p, v);
    }
};

template <class Ops>
struct VectorDeinterleave {
    using V = typename Ops::V;
    static constexpr std::size_t kFrames = Ops::kFrames;

    // One step: kFrames frames of a Ch-channel ring from `f` on into the buffers of slot S, at index i
    // of each.
    template <Slot S, std::size_t Ch>
    static void step(const float* f, float* const out[], std::size_t i) noexcept {
        static_assert(Ch >= 1 && Ch <= 6, "a vector step exists for 1 to 6 channels");
        static_assert(S != Slot::Pair || Ch >= 3, "a pair of two channels is every bus of the ring");
        static_assert(S != Slot::Two || Ch >= 5, "two buses of one pass are all the ring feeds below five");
        constexpr std::size_t g = 4 * Ch;  // floats from one group of four frames to the next
        if constexpr (S == Slot::Pair && Ch != 3) {
            if constexpr (requires(V a, V b) { Ops::template bus_pairs<Ch>(f, a, b); }) {
                V a, b;
                Ops::template bus_pairs<Ch>(f, a, b);  // a family's own way, where it has one
                split<0, 1>(a, b, out, i);
            } else {
                split<0, 1>(Ops::load_pairs(f, f + Ch, g), Ops::load_pairs(f + 2 * Ch, f + 3 * Ch, g), out, i);
            }
        } else if constexpr (S == Slot::Lone || Ch == 1) {
            const V v = Ch == 1 ? Ops::load(f, g) : Ops::gather(f, Ch);
            store<0>(out, i, v);
            store<1>(out, i, v);
        } else if constexpr (Ch == 2) {
            // Two frames' (left, right) pairs per load.
            split<0, 1>(frame_vector<2, 0>(f), frame_vector<2, 1>(f), out, i);
        } else if constexpr (Ch == 3) {
            // a0 = (L0 R0 C0 L1), a1 = (R1 C1 L2 R2), a2 = (C2 L3 R3 C3): channel 0 comes out at once,
            // and (1, 2) as pairs, as if a stereo ring. The pair of three channels is always channels
            // 0 and 1, so it too loads whole frames, which takes fewer loads and shuffles than its
            // pairs one by one, and leaves out the third channel's stores.
            const V a0 = frame_vector<3, 0>(f), a1 = frame_vector<3, 1>(f), a2 = frame_vector<3, 2>(f);
            const V t = shuffle<pick(2, 3, 0, 1)>(a1, a2);  // (L2 R2 C2 L3)
            store<0>(out, i, shuffle<pick(0, 3, 0, 3)>(a0, t));
            const V u = shuffle<pick(1, 2, 0, 1)>(a0, a1);  // (R0 C0 R1 C1)
            const V w = shuffle<pick(1, 2, 2, 3)>(t, a2);   // (R2 C2 R3 C3)
            store<1>(out, i, firsts(u, w));
            if constexpr (S == Slot::All) {
                const V c = seconds(u, w);
                store<2>(out, i, c);
                store<3>(out, i, c);
            }
        } else if constexpr (Ch == 4) {
            const V a0 = frame_vector<4, 0>(f), a1 = frame_vector<4, 1>(f), a2 = frame_vector<4, 2>(f);
            const V a3 = frame_vector<4, 3>(f);
            split<0, 1>(shuffle<pick(0, 1, 0, 1)>(a0, a1), shuffle<pick(0, 1, 0, 1)>(a2, a3), out, i);
            split<2, 3>(shuffle<pick(2, 3, 2, 3)>(a0, a1), shuffle<pick(2, 3, 2, 3)>(a2, a3), out, i);
        } else if constexpr (Ch == 5) {
            // Frames a to d: a0 = (0a 1a 2a 3a), a1 = (4a 0b 1b 2b), a2 = (3b 4b 0c 1c),
            // a3 = (2c 3c 4c 0d), a4 = (1d 2d 3d 4d).
            const V a0 = frame_vector<5, 0>(f), a1 = frame_vector<5, 1>(f), a2 = frame_vector<5, 2>(f);
            const V a3 = frame_vector<5, 3>(f), a4 = frame_vector<5, 4>(f);
            const V v = shuffle<pick(0, 3, 0, 1)>(a1, a2);  // (4a 2b 3b 4b)
            const V x = shuffle<pick(2, 3, 0, 3)>(a3, a4);  // (4c 0d 1d 4d)
            split<0, 1>(shuffle<pick(0, 1, 1, 2)>(a0, a1), shuffle<pick(2, 3, 1, 2)>(a2, x), out, i);
            split<2, 3>(shuffle<pick(2, 3, 1, 2)>(a0, v), shuffle<pick(0, 1, 1, 2)>(a3, a4), out, i);
            if constexpr (S == Slot::All) {
                const V e = shuffle<pick(0, 3, 0, 3)>(v, x);
                store<4>(out, i, e);
                store<5>(out, i, e);
            }
        } else {
            // a0 = (0a 1a 2a 3a), a1 = (4a 5a 0b 1b), a2 = (2b 3b 4b 5b), and a3 to a5 the same for c, d.
            const V a0 = frame_vector<6, 0>(f), a1 = frame_vector<6, 1>(f), a2 = frame_vector<6, 2>(f);
            const V a3 = frame_vector<6, 3>(f), a4 = frame_vector<6, 4>(f), a5 = frame_vector<6, 5>(f);
            split<0, 1>(shuffle<pick(0, 1, 2, 3)>(a0, a1), shuffle<pick(0, 1, 2, 3)>(a3, a4), out, i);
            split<2, 3>(shuffle<pick(2, 3, 0, 1)>(a0, a2), shuffle<pick(2, 3, 0, 1)>(a3, a5), out, i);
            if constexpr (S == Slot::All) {
                split<4, 5>(shuffle<pick(0, 1, 2, 3)>(a1, a2), shuffle<pick(0, 1, 2, 3)>(a4, a5), out, i);
            }
        }
    }

    // Steps from frame i on, `Unroll` of them per turn of the loop, for as long as a whole turn fits;
    // returns the first frame not rendered (fewer than Unroll steps' worth are left).
    template <Slot S, std::size_t Ch, std::size_t Unroll = 1>
    static std::size_t steps(const float* frames, std::size_t i, std::size_t count, float* const out[]) noexcept {
        constexpr std::size_t kTurn = Unroll * kFrames;
        if constexpr (S == Slot::Pair) {
            // One bus's loop counts down, so that it keeps no frame index of its own beside its three
            // pointers (measured: the one-pass kernels do better with the index).
            if (i + kTurn > count) return i;
            const std::size_t turns = (count - i) / kTurn;
            const float* f = frames + Ch * i;
            float* o[2] = {out[0] + i, out[1] + i};
            for (std::size_t t = turns; t != 0; --t, f += Ch * kTurn, o[0] += kTurn, o[1] += kTurn) {
                for (std::size_t u = 0; u < Unroll; ++u) step<S, Ch>(f + Ch * u * kFrames, o, u * kFrames);
            }
            return i + turns * kTurn;
        } else {
            const float* f = frames + Ch * i;
            for (; i + kTurn <= count; i += kTurn, f += Ch * kTurn) {
                for (std::size_t u = 0; u < Unroll; ++u) step<S, Ch>(f + Ch * u * kFrames, out, i + u * kFrames);
            }
            return i;
        }
    }

    // The frames from i to count one by one, fewer than kFrames of them. The loop's bound says so, so
    // that no compiler makes a vector loop of its own out of it, with the alias checks and the stack
    // frame that would bring.
    template <Slot S, std::size_t Ch>
    static void last_frames(const float* frames, std::size_t i, std::size_t count, float* const out[]) noexcept {
        for (std::size_t n = 1; n < kFrames && i < count; ++n, ++i) {
            for (std::size_t c = 0; c < kOutputs<S, Ch>; ++c) out[c][i] = frames[Ch * i + source_channel<S, Ch>(c)];
        }
    }

    // Everything from frame i to count.
    template <Slot S, std::size_t Ch>
    static void finish(const float* frames, std::size_t i, std::size_t count, float* const out[]) noexcept {
        last_frames<S, Ch>(frames, steps<S, Ch>(frames, i, count, out), count, out);
    }

private:
    template <int Lanes>
    static V shuffle(V a, V b) noexcept {
        return Ops::template shuffle<Lanes>(a, b);
    }

    // Floats 4K to 4K + 3 of each group of four whole frames of a Ch-channel ring, from f on.
    template <std::size_t Ch, std::size_t K>
    static V frame_vector(const float* f) noexcept {
        if constexpr (requires { Ops::template frame_vector<Ch, K>(f); }) {
            return Ops::template frame_vector<Ch, K>(f);  // a family's own way, where it has one
        } else {
            return Ops::load(f + 4 * K, 4 * Ch);
        }
    }

    // `a` and `b` hold the (x, y) pairs of four frames, two frames each: the four x, the four y.
    static V firsts(V a, V b) noexcept { return shuffle<pick(0, 2, 0, 2)>(a, b); }
    static V seconds(V a, V b) noexcept { return shuffle<pick(1, 3, 1, 3)>(a, b); }

    template <std::size_t C>
    static void store(float* const out[], std::size_t i, V v) noexcept {
        Ops::template store<C>(out[C] + i, v);
    }

    template <std::size_t L, std::size_t R>
    static void split(V a, V b, float* const out[], std::size_t i) noexcept {
        store<L>(out, i, firsts(a, b));
        store<R>(out, i, seconds(a, b));
    }
};

}  // namespace ondara
