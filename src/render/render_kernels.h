// The deinterleaving kernels of the render: one file per instruction set (render_plain.cpp,
// render_sse2.cpp, render_avx.cpp, the last compiled for AVX), each exporting a table of the kernels
// it has, and the table a receiver keeps of the best ones its CPU runs, filled once when it opens.
// A port to another instruction set adds one file with its table and one line to the selection.
#pragma once

#include <cstddef>

#include "protocol/ring.h"

// Keeps rarely taken work out of the per-block path, so that the compiler does not fold it into the
// function every block runs, with the register spills that brings.
#if defined(_MSC_VER)
#define ONDARA_NOINLINE __declspec(noinline)
#elif defined(__GNUC__)
#define ONDARA_NOINLINE __attribute__((noinline))
#else
#define ONDARA_NOINLINE
#endif

namespace ondara {

// Copies `count` frames from `frames` on into channel buffers. Which ring channels go to which
// buffer, and the stride from one frame to the next, are the kernel's own (see ChannelKernels).
using Deinterleave = void (*)(const float* frames, std::size_t count, float* const out[]) noexcept;

// The kernels for a ring of one channel count Ch. Bus k takes ring channels 2k (left) and 2k + 1
// (right); a bus past the last pair repeats its one channel on both sides.
struct ChannelKernels {
    // Every bus the ring feeds, (Ch + 1) / 2 of them, in one pass: out[2k] and out[2k + 1] are bus
    // k's left and right. No two of the buffers may share a sample.
    Deinterleave all = nullptr;
    // One bus of two ring channels: `frames` points at channel 2k of the first frame; out[0] and
    // out[1] are its left and right, apart or the very same buffer. For Ch of 2 and more. Of three
    // channels the pair is always channels 0 and 1, which lets its kernels load whole frames.
    Deinterleave pair = nullptr;
    // The last bus of an odd channel count, whose one channel goes to both out[0] and out[1];
    // `frames` points at that channel of the first frame.
    Deinterleave lone = nullptr;
    // The first two buses of a ring of five or six channels in one pass, out[0] to out[3] as `all`
    // has them, which reads each frame once where two pairs' kernels would read it twice. No two of
    // the buffers may share a sample.
    Deinterleave two = nullptr;
};

struct RenderKernels {
    ChannelKernels channels[kMaxRingChannels + 1];  // by channel count; 0 is never used

    const ChannelKernels& operator[](std::size_t ch) const noexcept { return channels[ch]; }
};

// Each instruction set's own kernels; a slot it has none for is null. The plain loops fill every
// slot and are the reference: kernel by kernel they store frame by frame, left before right, which
// is also the order that decides the result where a bus's two buffers partly overlap.
extern const RenderKernels kPlainKernels;
extern const RenderKernels kSse2Kernels;
extern const RenderKernels kAvxKernels;

// The instruction sets with kernels of their own, from the plainest on: each runs wherever the
// next one does.
enum class RenderIsa { Plain, Sse2, Avx };

// The best set this CPU and its OS run.
RenderIsa cpu_render_isa() noexcept;

// The best kernel for every slot among the sets up to `limit`, which the CPU must run: a receiver
// passes cpu_render_isa(), a test the set it tests. Asked once per open, never on the audio thread.
RenderKernels select_render_kernels(RenderIsa limit) noexcept;

}  // namespace ondara
