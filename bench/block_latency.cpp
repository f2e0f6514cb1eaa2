// The time of one block, one block at a time: median, 99.9th percentile and maximum over a million
// blocks of ondara_receiver_process on a full ring, and of the memory-traffic floor for the same
// block (memcpy of the ring bytes, memset of every output sample in use). Each block is timed on its
// own with the steady clock, whose own cost is measured and printed alongside; the tail shows what a
// host's audio thread would see from page faults, interrupts and the rest of the machine.
//
//   ondara_block_latency [channels buses multi_bus frames capacity blocks offset]
//   defaults:             2        1     0         512    4096     1000000 0
// Every output channel buffer starts `offset` bytes (a multiple of 4, below 64) past a 64-byte
// boundary: hosts hand in buffers of all alignments, and 256-bit stores care.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "protocol/ring_producer.h"
#include "ondara.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Summary {
    double median, p999, max;
};

Summary summarise(std::vector<std::int64_t>& ns) {
    std::sort(ns.begin(), ns.end());
    const auto at = [&](double q) { return static_cast<double>(ns[static_cast<std::size_t>(q * (ns.size() - 1))]); };
    return {at(0.5), at(0.999), static_cast<double>(ns.back())};
}

template <class Block>
std::vector<std::int64_t> time_blocks(std::size_t count, Block&& block) {
    std::vector<std::int64_t> ns(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        block();
        const auto t1 = Clock::now();
        ns[i] = std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count();
    }
    return ns;
}

}  // namespace

int main(int argc, char** argv) {
    const auto arg = [&](int i, unsigned long fallback) { return argc > i ? std::strtoul(argv[i], nullptr, 10) : fallback; };
    const auto channels = static_cast<std::uint32_t>(arg(1, 2));
    const std::size_t buses = arg(2, 1);
    const bool multi_bus = arg(3, 0) != 0;
    const std::size_t frames = arg(4, 512);
    const auto capacity = static_cast<std::uint32_t>(arg(5, 4096));
    const std::size_t blocks = arg(6, 1000000);
    const std::size_t offset = arg(7, 0);
    if (channels < 1 || channels > 6 || buses < 1 || buses > 3 || frames < 1 || frames > capacity || blocks < 1 ||
        offset >= 64 || offset % 4 != 0) {
        std::fprintf(stderr, "usage: %s [channels 1-6] [buses 1-3] [multi_bus 0|1] [frames] [capacity] [blocks] [offset 0-60, by 4]\n",
                     argv[0]);
        return 2;
    }

#if defined(_WIN32)
    const std::string name = "ondara-latency";
#else
    const std::string name = "ondara-latency-" + std::to_string(::getpid());
#endif
    ondara::RingProducer::Error error;
    auto producer = ondara::RingProducer::create(name, ondara::RingFormat{48000, channels, capacity}, error);
    ondara::RingWriter* ring = producer ? &producer->writer() : nullptr;
    if (!ring) {
        std::fprintf(stderr, "cannot create the ring: %s\n", error.message.c_str());
        return 1;
    }
    float* data = ring->data();
    for (std::size_t i = 0; i < std::size_t{capacity} * channels; ++i) data[i] = static_cast<float>(i % 1001) * 0.001f - 0.5f;
    ring->publish(capacity);

    OndaraReceiver* rx = nullptr;
    producer->remove_name_on_release();
    const std::vector<std::uint16_t> n16(name.begin(), name.end());
    const OndaraStatus st = ondara_receiver_open(n16.data(), n16.size(), frames, multi_bus ? 1 : 0, &rx);
    if (st != ONDARA_OK) {
        std::fprintf(stderr, "ondara_receiver_open: %s\n", ondara_receiver_status_message(st));
        return 1;
    }
    // One 64-byte aligned stretch per channel buffer, each starting `offset` bytes in.
    const std::size_t stride = (frames * sizeof(float) + offset + 63) / 64 * 64 / sizeof(float);
    std::vector<float> storage(2 * buses * stride + 64 / sizeof(float));
    const auto base_bits = reinterpret_cast<std::uintptr_t>(storage.data());
    float* const base = storage.data() + ((64 - base_bits % 64) % 64 + offset) / sizeof(float);
    std::vector<OndaraOutputBus> views(buses);
    for (std::size_t k = 0; k < buses; ++k) views[k] = {base + 2 * k * stride, base + (2 * k + 1) * stride, frames};

    // The producer stays a whole ring ahead: every block is full.
    OndaraProcessResult res{};
    ondara_receiver_process(rx, views.data(), buses, frames, &res);
    std::uint64_t write_pos = ring->read_pos() + capacity;
    ring->publish(write_pos);
    bool all_full = true;
    auto ours = time_blocks(blocks, [&] {
        ondara_receiver_process(rx, views.data(), buses, frames, &res);
        all_full = all_full && res.ring_frames == frames;
        ring->publish(write_pos += frames);
    });

    std::vector<float> copy(std::vector<float>::size_type{capacity} * channels);
    std::memcpy(copy.data(), data, copy.size() * sizeof(float));
    std::vector<float> scratch(frames * channels);
    std::uint64_t pos = 0;
    auto floor = time_blocks(blocks, [&] {
        const std::uint64_t slot = pos % capacity;
        const std::uint64_t first = std::min<std::uint64_t>(frames, capacity - slot);
        std::memcpy(scratch.data(), copy.data() + slot * channels, first * channels * sizeof(float));
        std::memcpy(scratch.data() + first * channels, copy.data(), (frames - first) * channels * sizeof(float));
        for (const OndaraOutputBus& v : views) {
            std::memset(v.left, 0, frames * sizeof(float));
            std::memset(v.right, 0, frames * sizeof(float));
        }
        pos += frames;
    });
    auto clock = time_blocks(blocks, [] {});

    const Summary a = summarise(ours), b = summarise(floor), c = summarise(clock);
    std::printf("%u channels, %zu buses%s, %zu frames per block, ring of %u frames, %zu blocks%s\n", channels, buses,
                multi_bus ? " (multi_bus)" : "", frames, capacity, blocks, all_full ? "" : " (NOT all full)");
    std::printf("%-14s %10s %10s %10s\n", "ns per block", "median", "p99.9", "max");
    std::printf("%-14s %10.0f %10.0f %10.0f\n", "ondara", a.median, a.p999, a.max);
    std::printf("%-14s %10.0f %10.0f %10.0f\n", "floor", b.median, b.p999, b.max);
    std::printf("%-14s %10.0f %10.0f %10.0f\n", "clock only", c.median, c.p999, c.max);
    ondara_receiver_free(rx);
    return all_full ? 0 : 1;
}
