// Which kernels a receiver uses: the best one for every slot among the instruction sets that this CPU
// and its OS run. Asked once, when a receiver opens.
#include "render/render_kernels.h"

#if defined(_MSC_VER)
#include <intrin.h>
#endif
#if defined(ONDARA_SHARED_ACCESS_HOOK)
#include <cstdlib>
#endif

namespace ondara {
namespace {

// The instruction sets with kernels of their own, from the plainest on.
enum class Isa { Plain, Sse2, Avx };

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

// The best set this build may use here. The plain-loop test build is held to the plain loops, and
// the other test builds to SSE2 when asked to (ONDARA_TEST_RENDER_SSE2=1), so that every set is tested
// on a CPU that has them all; all three limits work the same way, before the same selection.
Isa usable_isa() noexcept {
#if defined(ONDARA_SCALAR_RENDER)
    constexpr Isa kBuildLimit = Isa::Plain;
#else
    constexpr Isa kBuildLimit = Isa::Avx;
#endif
    Isa limit = kBuildLimit;
#if defined(ONDARA_SHARED_ACCESS_HOOK)
    if (const char* only = std::getenv("ONDARA_TEST_RENDER_SSE2"); only != nullptr && only[0] == '1') {
        limit = limit < Isa::Sse2 ? limit : Isa::Sse2;
    }
#endif
    if (limit < Isa::Avx) return limit;
    return cpu_runs_avx() ? Isa::Avx : Isa::Sse2;
}

// Takes every kernel that `better` has.
void overlay(RenderKernels& k, const RenderKernels& better) noexcept {
    for (std::size_t ch = 1; ch <= kMaxRingChannels; ++ch) {
        ChannelKernels& slot = k.channels[ch];
        const ChannelKernels& b = better.channels[ch];
        if (b.all != nullptr) slot.all = b.all;
        if (b.pair != nullptr) slot.pair = b.pair;
        if (b.lone != nullptr) slot.lone = b.lone;
    }
}

}  // namespace

RenderKernels select_render_kernels() noexcept {
    const Isa isa = usable_isa();
    RenderKernels k = kPlainKernels;
    if (isa >= Isa::Sse2) overlay(k, kSse2Kernels);
    if (isa >= Isa::Avx) overlay(k, kAvxKernels);
    return k;
}

}  // namespace ondara
