// ondara_receiver_process on a full ring, side by side with what the same block costs elsewhere.
//
// Every case renders R frames from a ring of C channels into U buses. Four ways of doing that work are
// timed in one run, compiled with the same flags:
//   ondara  the exported ondara_receiver_process on a real shared-memory ring, as a plug-in calls it;
//   floor   the memory traffic alone: the ring bytes copied once with memcpy (two spans where the ring
//           wraps) and every output sample in use written once with memset. It is timed in turns of 64
//           blocks with ondara, from the same slots of the same ring into the same buffers, so that
//           the two see the same placement in memory and a change in the host's load (which moves
//           from second to second on a shared machine) falls on both;
//   plain   a straightforward renderer: the same copy, the buses zeroed, then a plain deinterleave loop;
//   jack    JACK's ring buffer: jack_ringbuffer_read into a buffer, then the same plain deinterleave.
// The producer keeps every ring full with one store per block (ondara: write_pos; jack: the
// zero-copy jack_ringbuffer_write_advance), so each block takes exactly R frames.
//
// Two walks over the ring:
//   warm  every block reads the same slots (the producer moves a whole ring ahead each block, so the
//         reader catches up to the same slot), so cost can be compared across ring capacities with
//         the frames in cache. JACK cannot revisit slots and is not run in this walk.
//   walk  the reader moves on by R every block and sweeps the whole ring, as in real use; a large ring
//         is then read from memory.
#include <benchmark/benchmark.h>
#include <jack/ringbuffer.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "protocol/ring.h"
#include "protocol/ring_producer.h"
#include "ondara.h"

namespace {

using ondara::RingFormat;
using ondara::RingProducer;

struct Case {
    std::uint32_t channels;
    std::size_t buses;
    bool multi_bus;
    std::size_t frames;      // R: max_frames, bus length and frames per call
    std::uint32_t capacity;  // ring capacity in frames
    bool warm;

    std::string label() const {
        return std::string(warm ? "warm" : "walk") + "/ch" + std::to_string(channels) + "_bus" + std::to_string(buses) +
               "/R" + std::to_string(frames) + "/cap" + std::to_string(capacity);
    }
    // Buses that carry ring audio; the others are only zeroed.
    std::size_t audio_buses() const { return multi_bus ? std::min<std::size_t>(buses, (channels + 1) / 2) : 1; }
};

std::string unique_name() {
    static std::atomic<std::uint32_t> counter{0};
#if defined(_WIN32)
    const unsigned pid = 0;
#else
    const unsigned pid = static_cast<unsigned>(::getpid());
#endif
    return "ondara-bench-" + std::to_string(pid) + "-" + std::to_string(counter++);
}

// Ordinary audio-range values (no denormals), every page touched.
void fill(float* data, std::size_t samples) {
    for (std::size_t i = 0; i < samples; ++i) data[i] = static_cast<float>(i % 1001) * 0.001f - 0.5f;
}

// `count` stretches of `floats` each, every one on a 64-byte boundary and right after the one before,
// as an audio host's allocator hands out its buffers, from `offset` bytes past the start of a page
// (a multiple of 4). Each case then
// writes to the same placement in every run and every build, where the heap's would move with
// whatever was allocated before: a load that waits on an unrelated store whose address matches in
// its low 12 bits can cost a block tens of nanoseconds, so the page offsets of the ring and the
// buffers move every ratio.
class Arena {
public:
    Arena(std::size_t count, std::size_t floats, std::size_t offset = 0)
        : stride_((floats * sizeof(float) + 63) / 64 * 64 / sizeof(float)),
          storage_(count * stride_ + (4096 + offset) / sizeof(float), 0.0f) {
        const auto bits = reinterpret_cast<std::uintptr_t>(storage_.data());
        base_ = storage_.data() + ((4096 - bits % 4096) % 4096 + offset) / sizeof(float);
        benchmark::DoNotOptimize(base_);
    }
    float* at(std::size_t k) const { return base_ + k * stride_; }

private:
    std::size_t stride_;
    std::vector<float> storage_;
    float* base_ = nullptr;
};

// Where the copies of the frames that the floor, the plain renderer and JACK make start in their page:
// where the ring's frames do, so that the plain loop reads its copy as ondara reads the ring.
constexpr std::size_t kCopyOffset = ondara::kRingHeaderSize;

struct Buses {
    Arena storage;
    std::vector<OndaraOutputBus> views;

    Buses(std::size_t count, std::size_t frames) : storage(2 * count, frames), views(count) {
        for (std::size_t k = 0; k < count; ++k) views[k] = {storage.at(2 * k), storage.at(2 * k + 1), frames};
    }
};

// One floor block: the R frames from `slot` on copied out of the ring (two spans where it wraps), then
// every output sample in use zeroed.
void floor_block(const float* ring, std::uint64_t slot, float* scratch, const Case& c, const Buses& buses) {
    const std::size_t ch = c.channels;
    const std::uint64_t first = std::min<std::uint64_t>(c.frames, c.capacity - slot);
    std::memcpy(scratch, ring + slot * ch, first * ch * sizeof(float));
    std::memcpy(scratch + first * ch, ring, (c.frames - first) * ch * sizeof(float));
    for (const OndaraOutputBus& b : buses.views) {
        std::memset(b.left, 0, c.frames * sizeof(float));
        std::memset(b.right, 0, c.frames * sizeof(float));
    }
}

void bm_ondara(benchmark::State& state, Case c) {
    RingProducer::Error error;
    const std::string ring_name = unique_name();
    auto producer = RingProducer::create(ring_name, RingFormat{48000, c.channels, c.capacity}, error);
    if (!producer) return state.SkipWithError(("cannot create the ring: " + error.message).c_str());
    producer->remove_name_on_release();
    ondara::RingWriter* ring = &producer->writer();
    fill(ring->data(), std::size_t{c.capacity} * c.channels);
    ring->publish(c.capacity);

    OndaraReceiver* rx = nullptr;
    const std::vector<std::uint16_t> name(ring_name.begin(), ring_name.end());
    const OndaraStatus st = ondara_receiver_open(name.data(), name.size(), c.frames, c.multi_bus ? 1 : 0, &rx);
    if (st != ONDARA_OK) return state.SkipWithError(ondara_receiver_status_message(st));
    Buses buses(c.buses, c.frames);
    const Arena scratch(1, c.frames * c.channels, kCopyOffset);
    OndaraProcessResult res{};

    // One call to learn where the reader stands; then keep the producer a whole ring ahead of it.
    ondara_receiver_process(rx, buses.views.data(), c.buses, c.frames, &res);
    std::uint64_t write_pos = ring->read_pos() + c.capacity;
    ring->publish(write_pos);
    const std::uint64_t step = c.warm ? c.capacity : c.frames;
    // An untimed pass over the whole ring, so that the receiver's own view has every page mapped in.
    for (std::uint64_t done = 0; done < c.capacity; done += c.frames) {
        ondara_receiver_process(rx, buses.views.data(), c.buses, c.frames, &res);
        write_pos += c.frames;
        ring->publish(write_pos);
    }
    if (c.warm) ring->publish(write_pos += c.capacity);

    // An iteration is a turn of 64 blocks of each kind, so that the clock reads add well under a
    // nanosecond to a block; its time is ondara's blocks only.
    constexpr int kTurn = 64;
    using Clock = std::chrono::steady_clock;
    Clock::duration ours_time{}, floor_time{};
    // The floor reads the slots that ondara reads, which are a whole ring behind the producer.
    std::uint64_t floor_pos = write_pos - c.capacity;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        for (int n = 0; n < kTurn; ++n) {
            ondara_receiver_process(rx, buses.views.data(), c.buses, c.frames, &res);
            write_pos += step;
            ring->publish(write_pos);
        }
        const Clock::time_point ours_done = Clock::now();
        for (int n = 0; n < kTurn; ++n) {
            floor_block(ring->data(), floor_pos % c.capacity, scratch.at(0), c, buses);
            if (!c.warm) floor_pos += c.frames;
            benchmark::ClobberMemory();
        }
        floor_time += Clock::now() - ours_done;
        ours_time += ours_done - start;
        state.SetIterationTime(std::chrono::duration<double>(ours_done - start).count());
    }
    if (res.ring_frames != c.frames || res.silent_frames != 0) state.SkipWithError("a block was not full");
    // Seconds per block of each kind.
    const double blocks = static_cast<double>(state.iterations()) * kTurn;
    state.counters["ondara"] = std::chrono::duration<double>(ours_time).count() / blocks;
    state.counters["floor"] = std::chrono::duration<double>(floor_time).count() / blocks;
    ondara_receiver_free(rx);
}

// Bus k takes channels 2k and 2k + 1; a bus past the last pair repeats its one channel on both sides.
void plain_deinterleave(const float* frames, std::size_t ch, std::size_t count, const Case& c, const Buses& buses) {
    for (std::size_t k = 0; k < c.audio_buses(); ++k) {
        float* left = buses.views[k].left;
        float* right = buses.views[k].right;
        const std::size_t l = 2 * k;
        const std::size_t r = l + 1 < ch ? l + 1 : l;
        for (std::size_t i = 0; i < count; ++i) {
            left[i] = frames[i * ch + l];
            right[i] = frames[i * ch + r];
        }
    }
}

// The floor's work, then a plain deinterleave of the copy.
void bm_plain(benchmark::State& state, Case c) {
    const Arena ring(1, std::size_t{c.capacity} * c.channels, kCopyOffset);
    fill(ring.at(0), std::size_t{c.capacity} * c.channels);
    const Arena scratch(1, c.frames * c.channels, kCopyOffset);
    Buses buses(c.buses, c.frames);
    std::uint64_t pos = 0;
    for (auto _ : state) {
        floor_block(ring.at(0), pos % c.capacity, scratch.at(0), c, buses);
        plain_deinterleave(scratch.at(0), c.channels, c.frames, c, buses);
        if (!c.warm) pos += c.frames;
        benchmark::ClobberMemory();
    }
}

void bm_jack(benchmark::State& state, Case c) {
    const std::size_t block_bytes = c.frames * c.channels * sizeof(float);
    jack_ringbuffer_t* rb = jack_ringbuffer_create(std::size_t{c.capacity} * c.channels * sizeof(float) + 1);
    if (rb == nullptr) return state.SkipWithError("jack_ringbuffer_create failed");
    std::vector<float> chunk(c.frames * c.channels);
    fill(chunk.data(), chunk.size());
    while (jack_ringbuffer_write_space(rb) >= block_bytes) {
        jack_ringbuffer_write(rb, reinterpret_cast<const char*>(chunk.data()), block_bytes);
    }
    const Arena scratch(1, c.frames * c.channels, kCopyOffset);
    Buses buses(c.buses, c.frames);
    for (auto _ : state) {
        jack_ringbuffer_read(rb, reinterpret_cast<char*>(scratch.at(0)), block_bytes);
        for (std::size_t k = c.audio_buses(); k < c.buses; ++k) {
            std::memset(buses.views[k].left, 0, c.frames * sizeof(float));
            std::memset(buses.views[k].right, 0, c.frames * sizeof(float));
        }
        plain_deinterleave(scratch.at(0), c.channels, c.frames, c, buses);
        jack_ringbuffer_write_advance(rb, block_bytes);  // the producer refills in place
        benchmark::ClobberMemory();
    }
    jack_ringbuffer_free(rb);
}

// The console output as usual, plus each run's time per block for the table at the end: the real time
// per iteration, and for ondara's runs (64 blocks an iteration) its counters, the floor's as
// "floor/<case>".
class TableReporter : public benchmark::ConsoleReporter {
public:
    using ConsoleReporter::ConsoleReporter;

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.iterations == 0) continue;
            const std::string& name = run.run_name.function_name;
            const auto ours = run.counters.find("ondara"), floor = run.counters.find("floor");
            if (ours != run.counters.end() && floor != run.counters.end()) {
                add(name, run, ours->second.value * 1e9);
                add("floor/" + name.substr(name.find('/') + 1), run, floor->second.value * 1e9);
            } else {
                add(name, run, run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9);
            }
        }
    }

    // The median when repetitions were asked for, else the mean of the runs; negative when not run.
    double ns(const std::string& name) const {
        const auto it = times_.find(name);
        if (it == times_.end()) return -1.0;
        if (it->second.median >= 0.0) return it->second.median;
        return it->second.count > 0 ? it->second.sum / it->second.count : -1.0;
    }

private:
    struct Times {
        double sum = 0.0;
        int count = 0;
        double median = -1.0;
    };

    void add(const std::string& name, const Run& run, double ns) {
        Times& t = times_[name];
        if (run.run_type == Run::RT_Iteration) {
            t.sum += ns;
            ++t.count;
        } else if (run.aggregate_name == "median") {
            t.median = ns;
        }
    }
    std::map<std::string, Times> times_;
};

void print_cell(double v, const char* format) {
    if (v >= 0.0) {
        std::printf(format, v);
    } else {
        std::printf("%9s", "-");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const struct {
        std::uint32_t channels;
        std::size_t buses;
        bool multi_bus;
    } layouts[] = {{2, 1, false}, {6, 3, true}, {1, 1, false}, {3, 2, true}, {4, 2, true}, {5, 3, true},
                   // One output on a wider ring, and two of a ring's three buses.
                   {3, 1, false}, {4, 1, false}, {6, 1, false}, {6, 2, true}, {5, 2, true}};
    std::vector<Case> cases;
    for (bool warm : {true, false}) {
        for (const auto& l : layouts) {
            for (std::uint32_t cap : {4096u, 1048576u}) {
                for (std::size_t r : {64, 256, 512, 2048}) cases.push_back({l.channels, l.buses, l.multi_bus, r, cap, warm});
            }
        }
    }
    for (const Case& c : cases) {
        const std::string label = c.label();
        benchmark::RegisterBenchmark(("ondara/" + label).c_str(), bm_ondara, c)->UseManualTime();
        benchmark::RegisterBenchmark(("plain/" + label).c_str(), bm_plain, c)->UseRealTime();
        if (!c.warm) benchmark::RegisterBenchmark(("jack/" + label).c_str(), bm_jack, c)->UseRealTime();
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    TableReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\nns per block; ratios are ondara's time over the other's\n");
    std::printf("%-26s %9s %9s %9s %9s %9s %9s %9s\n", "case", "ondara", "floor", "plain", "jack", "/floor", "/plain",
                "/jack");
    for (const Case& c : cases) {
        const std::string label = c.label();
        const double ours = reporter.ns("ondara/" + label);
        const double others[] = {reporter.ns("floor/" + label), reporter.ns("plain/" + label),
                                 reporter.ns("jack/" + label)};
        if (ours < 0.0 && others[0] < 0.0) continue;  // filtered out
        std::printf("%-26s ", label.c_str());
        print_cell(ours, "%9.1f ");
        for (double o : others) print_cell(o, "%9.1f ");
        for (double o : others) print_cell(ours >= 0.0 && o > 0.0 ? ours / o : -1.0, "%9.2f ");
        std::printf("\n");
    }
    return 0;
}
