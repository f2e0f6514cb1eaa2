// One audio block from the ring into the host's buses. Runs on the host's audio thread: no
// allocation, lock, wait or system call, and nothing touched outside the bus views and the ring's
// view. The frames are deinterleaved straight from where they lie in the ring (at most two spans),
// and each output sample of the block is written once: ring audio, or zero.
#include <algorithm>
#include <cstdint>
#include <cstring>

#if (defined(__SSE2__) || defined(_M_X64)) && !defined(ONDARA_SCALAR_RENDER)
#include <emmintrin.h>
#define ONDARA_RENDER_SSE2 1
#endif

#include "receiver.h"
#include "shared_access.h"

namespace ondara {
namespace {

struct BusView {
    float* left;
    float* right;
    std::size_t length;  // of each channel: min(bus length, frames)
};

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
            const __m128 a = _mm_loadu_ps(frames + 2 * i);
            const __m128 b = _mm_loadu_ps(frames + 2 * i + 4);
            const __m128 c = _mm_loadu_ps(frames + 2 * i + 8);
            const __m128 d = _mm_loadu_ps(frames + 2 * i + 12);
            _mm_storeu_ps(left + i, _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
            _mm_storeu_ps(right + i, _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
            _mm_storeu_ps(left + i + 4, _mm_shuffle_ps(c, d, _MM_SHUFFLE(2, 0, 2, 0)));
            _mm_storeu_ps(right + i + 4, _mm_shuffle_ps(c, d, _MM_SHUFFLE(3, 1, 3, 1)));
        }
        for (; i + 4 <= count; i += 4) {
            const __m128 a = _mm_loadu_ps(frames + 2 * i);
            const __m128 b = _mm_loadu_ps(frames + 2 * i + 4);
            _mm_storeu_ps(left + i, _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
            _mm_storeu_ps(right + i, _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
        }
    } else {
        if (l + 1 < Ch) {
            for (; i + 4 <= count; i += 4) {
                const float* f = frames + i * Ch + l;
                const __m128 a = load_two_pairs(f, f + Ch);
                const __m128 b = load_two_pairs(f + 2 * Ch, f + 3 * Ch);
                _mm_storeu_ps(left + i, _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
                _mm_storeu_ps(right + i, _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
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

// Six channels into three buses in one pass: four frames are six loads, and two rounds of shuffles
// turn them into the six channels' four samples, so each frame is loaded once for all buses.
void deinterleave_six(const float* frames, std::size_t count, float* const out[6]) noexcept {
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const float* f = frames + 6 * i;
        const __m128 a0 = _mm_loadu_ps(f), a1 = _mm_loadu_ps(f + 4), a2 = _mm_loadu_ps(f + 8);
        const __m128 a3 = _mm_loadu_ps(f + 12), a4 = _mm_loadu_ps(f + 16), a5 = _mm_loadu_ps(f + 20);
        // Channel pairs (0,1), (2,3), (4,5) of frames i, i+1 and of frames i+2, i+3.
        const __m128 p01a = _mm_shuffle_ps(a0, a1, _MM_SHUFFLE(3, 2, 1, 0));
        const __m128 p01b = _mm_shuffle_ps(a3, a4, _MM_SHUFFLE(3, 2, 1, 0));
        const __m128 p23a = _mm_shuffle_ps(a0, a2, _MM_SHUFFLE(1, 0, 3, 2));
        const __m128 p23b = _mm_shuffle_ps(a3, a5, _MM_SHUFFLE(1, 0, 3, 2));
        const __m128 p45a = _mm_shuffle_ps(a1, a2, _MM_SHUFFLE(3, 2, 1, 0));
        const __m128 p45b = _mm_shuffle_ps(a4, a5, _MM_SHUFFLE(3, 2, 1, 0));
        _mm_storeu_ps(out[0] + i, _mm_shuffle_ps(p01a, p01b, _MM_SHUFFLE(2, 0, 2, 0)));
        _mm_storeu_ps(out[1] + i, _mm_shuffle_ps(p01a, p01b, _MM_SHUFFLE(3, 1, 3, 1)));
        _mm_storeu_ps(out[2] + i, _mm_shuffle_ps(p23a, p23b, _MM_SHUFFLE(2, 0, 2, 0)));
        _mm_storeu_ps(out[3] + i, _mm_shuffle_ps(p23a, p23b, _MM_SHUFFLE(3, 1, 3, 1)));
        _mm_storeu_ps(out[4] + i, _mm_shuffle_ps(p45a, p45b, _MM_SHUFFLE(2, 0, 2, 0)));
        _mm_storeu_ps(out[5] + i, _mm_shuffle_ps(p45a, p45b, _MM_SHUFFLE(3, 1, 3, 1)));
    }
    for (; i < count; ++i) {
        for (std::size_t c = 0; c < 6; ++c) out[c][i] = frames[6 * i + c];
    }
}
#else

template <std::size_t Ch>
void deinterleave_bus(const float* frames, std::size_t count, std::size_t k, float* left, float* right) noexcept {
    deinterleave_scalar<Ch>(frames, 0, count, k, left, right);
}
#endif

// Frame by frame, left then right: the order that decides the result when host buffers overlap.
void deinterleave_in_order(std::size_t ch, const float* frames, std::size_t count, std::size_t k, float* left,
                           float* right) noexcept {
    switch (ch) {
        case 1: return deinterleave_scalar<1>(frames, 0, count, k, left, right);
        case 2: return deinterleave_scalar<2>(frames, 0, count, k, left, right);
        case 3: return deinterleave_scalar<3>(frames, 0, count, k, left, right);
        case 4: return deinterleave_scalar<4>(frames, 0, count, k, left, right);
        case 5: return deinterleave_scalar<5>(frames, 0, count, k, left, right);
        default: return deinterleave_scalar<6>(frames, 0, count, k, left, right);
    }
}

// Whether a bus's left and right buffers share some samples without being the same buffer. The
// vector paths store several frames of one channel before the other channel's, which gives another
// result than the frame by frame order only then. Buses are rendered one after the other on every
// path, so overlaps between buses come out the same either way.
bool partly_overlapping(const BusView& v, std::size_t n) noexcept {
    const auto l = reinterpret_cast<std::uintptr_t>(v.left), r = reinterpret_cast<std::uintptr_t>(v.right);
    const std::uintptr_t bytes = n * sizeof(float);
    return l != r && l < r + bytes && r < l + bytes;
}

void deinterleave(std::size_t ch, const float* frames, std::size_t count, std::size_t k, float* left,
                  float* right) noexcept {
    switch (ch) {
        case 1: return deinterleave_bus<1>(frames, count, k, left, right);
        case 2: return deinterleave_bus<2>(frames, count, k, left, right);
        case 3: return deinterleave_bus<3>(frames, count, k, left, right);
        case 4: return deinterleave_bus<4>(frames, count, k, left, right);
        case 5: return deinterleave_bus<5>(frames, count, k, left, right);
        default: return deinterleave_bus<6>(frames, count, k, left, right);
    }
}

// Gains are one float division each; fade-in reaches exactly 1.0, fade-out exactly 0.0.
void fade_in(float* p, std::size_t len) noexcept {
    for (std::size_t i = 0; i < len; ++i) p[i] *= static_cast<float>(i + 1) / static_cast<float>(len);
}

void fade_out(float* p, std::size_t len) noexcept {
    for (std::size_t j = 0; j < len; ++j) p[j] *= static_cast<float>(len - 1 - j) / static_cast<float>(len);
}

#if defined(ONDARA_RENDER_SSE2)
// Whether none of the six channel buffers shares a sample with another over n samples: only then may
// one pass fill all three buses, since it interleaves their stores.
bool all_apart(const BusView* v, std::size_t n) noexcept {
    std::uintptr_t start[6];
    for (std::size_t k = 0; k < 3; ++k) {
        start[2 * k] = reinterpret_cast<std::uintptr_t>(v[k].left);
        start[2 * k + 1] = reinterpret_cast<std::uintptr_t>(v[k].right);
    }
    const std::uintptr_t bytes = n * sizeof(float);
    for (std::size_t a = 0; a < 6; ++a) {
        for (std::size_t b = a + 1; b < 6; ++b) {
            if (start[a] < start[b] + bytes && start[b] < start[a] + bytes) return false;
        }
    }
    return true;
}
#endif

// The block's `got` frames, from the ring's two spans, into the audio buses: bus after bus, so that
// buffers shared between buses end as the last bus left them.
void render_audio(std::size_t ch, const RingSpans& spans, const BusView* views, std::size_t audio_buses,
                  std::size_t got) noexcept {
    const std::size_t first = static_cast<std::size_t>(spans.first_frames), rest = got - first;
#if defined(ONDARA_RENDER_SSE2)
    if (ch == 6 && audio_buses == 3 && all_apart(views, got)) {
        float* const out[6] = {views[0].left, views[0].right, views[1].left, views[1].right, views[2].left, views[2].right};
        deinterleave_six(spans.first, first, out);
        if (rest > 0) {
            float* const more[6] = {out[0] + first, out[1] + first, out[2] + first,
                                    out[3] + first, out[4] + first, out[5] + first};
            deinterleave_six(spans.second, rest, more);
        }
        return;
    }
#endif
    for (std::size_t k = 0; k < audio_buses; ++k) {
        float* const left = views[k].left;
        float* const right = views[k].right;
        if (partly_overlapping(views[k], got)) {
            deinterleave_in_order(ch, spans.first, first, k, left, right);
            if (rest > 0) deinterleave_in_order(ch, spans.second, rest, k, left + first, right + first);
        } else {
            deinterleave(ch, spans.first, first, k, left, right);
            if (rest > 0) deinterleave(ch, spans.second, rest, k, left + first, right + first);
        }
    }
}

}  // namespace

ProcessResult render_block(Receiver& r, const OutputBus* buses, std::size_t bus_count, std::size_t frames) noexcept {
    const std::size_t used = std::min(bus_count, kMaxBuses);
    BusView views[kMaxBuses];
    for (std::size_t k = 0; k < used; ++k) {
        views[k] = {buses[k].left, buses[k].right,
                    static_cast<std::size_t>(std::min<std::uint64_t>(buses[k].length, frames))};
    }

    // The one pass over the header that this block works from, whatever the companion writes meanwhile.
    const RingState s = r.ring.state();
    const std::size_t ch = s.channels;
    ProcessResult res{};
    res.requested_frames = frames;
    res.channels = s.channels;
    res.bus_count = static_cast<std::uint32_t>(used);
    res.sample_rate = load_shared(&r.ring.block->sample_rate);

    std::size_t R = 0;
    if (used > 0) {
        R = static_cast<std::size_t>(std::min<std::uint64_t>(r.max_frames, frames));
        for (std::size_t k = 0; k < used; ++k) R = std::min(R, views[k].length);
    }

    // An unusable channel count, or one raised after open so far that the block would need more than
    // max_frames x the channel count at open, is the companion's fault: silence over every view, the
    // ring left alone. (R counts samples of a host buffer, so R x 6 cannot wrap.)
    if (ch == 0 || ch > kMaxRingChannels || R * ch > r.sample_limit) {
        for (std::size_t k = 0; k < used; ++k) {
            zero(views[k].left, views[k].length);
            zero(views[k].right, views[k].length);
        }
        res.silent_frames = frames;
        return res;
    }

    // A header that describes more than the view holds gives a silent block and no progress.
    const bool readable = r.ring.fits(s);
    const RingSpans spans = readable ? r.ring.take(s, R) : RingSpans{};
    const std::size_t got = static_cast<std::size_t>(spans.frames);

    // Every sample 0..R-1 is written exactly once in effect: buses without ring audio and the frames
    // after `got` are zeroed first, then the audio buses are filled in bus order.
    const std::size_t audio_buses = r.multi_bus ? std::min<std::size_t>(used, (ch + 1) / 2) : std::min<std::size_t>(used, 1);
    for (std::size_t k = 0; k < used; ++k) {
        const std::size_t from = k < audio_buses ? got : 0;
        zero(views[k].left + from, R - from);
        zero(views[k].right + from, R - from);
    }
    if (got > 0) {
        render_audio(ch, spans, views, audio_buses, got);
        const std::size_t fade = static_cast<std::size_t>(std::min<std::uint64_t>(got, kFadeFrames));
        // Fade-in over every bus first, then fade-out: where the two overlap the gains multiply in
        // that order, even when the host hands the same buffer in twice.
        if (r.fade_in_pending) {
            for (std::size_t k = 0; k < used; ++k) {
                fade_in(views[k].left, fade);
                fade_in(views[k].right, fade);
            }
        }
        if (got < R) {
            for (std::size_t k = 0; k < used; ++k) {
                fade_out(views[k].left + got - fade, fade);
                fade_out(views[k].right + got - fade, fade);
            }
        }
    }
    // A block of no frames at all (hosts send them to flush parameters) says nothing about the audio,
    // so a fade-in still owed after a gap stays owed.
    if (R > 0) r.fade_in_pending = got < R;
    // The frames are out of the ring: only now may the producer learn that their slots are free.
    if (readable) r.ring.publish(s);

    res.rendered_frames = R;
    res.ring_frames = got;
    res.silent_frames = R - got;
    return res;
}

}  // namespace ondara
