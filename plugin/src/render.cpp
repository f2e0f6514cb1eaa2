// One audio block from the ring into the host's buses. Runs on the host's audio thread: no
// allocation, lock, wait or system call, and nothing touched outside the bus views, `scratch` and the
// ring's view.
#include <algorithm>
#include <cstring>

#include "receiver.h"

namespace ondara {
namespace {

struct BusView {
    float* left;
    float* right;
    std::size_t length;  // of each channel: min(bus length, frames)
};

void zero(float* p, std::size_t n) noexcept { std::fill_n(p, n, 0.0f); }

// Bus k takes ring channels 2k (left) and 2k + 1 (right); a missing right channel repeats the left one.
template <std::size_t Ch>
void deinterleave_bus(const float* frames, std::size_t count, std::size_t k, float* left, float* right) noexcept {
    const std::size_t l = 2 * k;
    if (l + 1 < Ch) {
        for (std::size_t i = 0; i < count; ++i) {
            left[i] = frames[i * Ch + l];
            right[i] = frames[i * Ch + l + 1];
        }
    } else {
        for (std::size_t i = 0; i < count; ++i) left[i] = frames[i * Ch + l];
        for (std::size_t i = 0; i < count; ++i) right[i] = frames[i * Ch + l];
    }
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

}  // namespace

ProcessResult render_block(Receiver& r, const OutputBus* buses, std::size_t bus_count, std::size_t frames) noexcept {
    const std::size_t used = std::min(bus_count, kMaxBuses);
    BusView views[kMaxBuses] = {};
    for (std::size_t k = 0; k < used; ++k) {
        views[k] = {buses[k].left, buses[k].right,
                    static_cast<std::size_t>(std::min<std::uint64_t>(buses[k].length, frames))};
    }

    const RingHeader snap = r.ring.snapshot();
    const std::uint32_t ch = snap.channels;
    ProcessResult res{};
    res.requested_frames = frames;
    res.channels = ch;
    res.bus_count = static_cast<std::uint32_t>(used);
    res.sample_rate = snap.sample_rate;

    std::size_t R = 0;
    if (used > 0) {
        R = static_cast<std::size_t>(std::min<std::uint64_t>(r.max_frames, frames));
        for (std::size_t k = 0; k < used; ++k) R = std::min(R, views[k].length);
    }

    // An unusable channel count, or one raised after open beyond what `scratch` holds, is the
    // companion's fault: silence over every view, the ring left alone.
    if (ch == 0 || ch > kMaxRingChannels || R * ch > r.scratch_len) {
        for (std::size_t k = 0; k < used; ++k) {
            zero(views[k].left, views[k].length);
            zero(views[k].right, views[k].length);
        }
        res.silent_frames = frames;
        return res;
    }

    const std::size_t got = static_cast<std::size_t>(r.ring.read(r.scratch, R * ch));

    // Every sample 0..R-1 is written exactly once in effect: buses without ring audio and the frames
    // after `got` are zeroed first, then the audio buses are filled in bus order.
    const std::size_t audio_buses = r.multi_bus ? std::min<std::size_t>(used, (ch + 1) / 2) : std::min<std::size_t>(used, 1);
    for (std::size_t k = 0; k < used; ++k) {
        const std::size_t from = k < audio_buses ? got : 0;
        zero(views[k].left + from, R - from);
        zero(views[k].right + from, R - from);
    }
    for (std::size_t k = 0; k < audio_buses; ++k) deinterleave(ch, r.scratch, got, k, views[k].left, views[k].right);

    if (got > 0) {
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
    r.fade_in_pending = got < R;

    res.rendered_frames = R;
    res.ring_frames = got;
    res.silent_frames = R - got;
    return res;
}

}  // namespace ondara
