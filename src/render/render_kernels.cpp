// Which kernels a receiver uses: the best one for every slot among the instruction sets up to a limit,
// which for a receiver is the best set that this CPU and its OS run. Asked once, when it opens.
#include "render/render_kernels.h"

#if defined(_MSC_VER)
#include <intrin.h>
#endif

namespace ondara {
namespace {

// Whether the CPU has AVX and the OS saves the 256-bit registers on a context switch.
bool cpu_runs_avx() noexcept {
#if defined(_MSC_VER)
    // First, since clang-cl defines _MSC_VER too: its __builtin_cpu_supports needs a runtime that
    // lld-link does not link.
    int info[4];
    __cpuid(info, 1);
    const bool osxsave = ((info[2] >> 27) & 1) != 0, avx = ((info[2] >> 28) & 1) != 0;
    return osxsave && avx && (_xgetbv(0) & 6) == 6;
#else
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx") != 0;  // asks the OS part too
#endif
}

// Takes every kernel that `better` has.
void overlay(RenderKernels& k, const RenderKernels& better) noexcept {
    for (std::size_t ch = 1; ch <= kMaxRingChannels; ++ch) {
        ChannelKernels& slot = k.channels[ch];
        const ChannelKernels& b = better.channels[ch];
        if (b.all != nullptr) slot.all = b.all;
        if (b.pair != nullptr) slot.pair = b.pair;
        if (b.lone != nullptr) slot.lone = b.lone;
        if (b.two != nullptr) slot.two = b.two;
    }
}

}  // namespace

RenderIsa cpu_render_isa() noexcept { return cpu_runs_avx() ? RenderIsa::Avx : RenderIsa::Sse2; }

RenderKernels select_render_kernels(RenderIsa limit) noexcept {
    RenderKernels k = kPlainKernels;
    if (limit >= RenderIsa::Sse2) overlay(k, kSse2Kernels);
    if (limit >= RenderIsa::Avx) overlay(k, kAvxKernels);
    return k;
}

}  // namespace ondara
