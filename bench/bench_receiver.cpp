// ondara_receiver_process on a full ring, against the floor for the same work.
//
// The receiver cases go through the shared library's exported functions on a real shared-memory ring,
// as a plug-in does. The producer keeps the ring full: after every call it raises write_pos by the
// frames the call took, a single store, so every call finds a whole ring available and takes R frames
// with no silence and no fades. The reader's position advances by R each call and walks through the
// whole ring, so a large ring is read from memory rather than from a warm cache, as in real use.
//
// The floor is the least any renderer has to do for the same block: copy the same R frames out of the
// same ring with memcpy (two spans where the ring wraps, following the same walk) and write every
// output sample of every bus in use from them with a plain loop. The ratio of a case to its floor is
// what the library's bookkeeping, checks and dispatch cost on top of moving the audio.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
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

#include "companion_ring.h"
#include "ondara.h"

namespace {

using ondara::tools::CompanionRing;

struct Case {
    std::uint32_t channels;
    std::size_t buses;
    bool multi_bus;
    std::size_t frames;        // R: max_frames, bus length and frames per call
    std::uint32_t capacity;    // ring capacity in frames

    std::string label() const {
        return "ch" + std::to_string(channels) + "_bus" + std::to_string(buses) + "/R" + std::to_string(frames) +
               "/cap" + std::to_string(capacity);
    }
};

std::uint32_t process_id() {
#if defined(_WIN32)
    return 0;
#else
    return static_cast<std::uint32_t>(::getpid());
#endif
}

// Each benchmark run makes its own ring; the counter keeps names unique within the process, the pid
// across processes.
std::unique_ptr<CompanionRing> make_ring(benchmark::State& state, const Case& c) {
    static std::atomic<std::uint32_t> counter{0};
    const std::string name = "ondara-bench-" + std::to_string(process_id()) + "-" + std::to_string(counter++);
    std::string error;
    auto ring = CompanionRing::create(name, 48000, c.channels, c.capacity, error);
    if (!ring) {
        state.SkipWithError(("cannot create the ring: " + error).c_str());
        return nullptr;
    }
    // Ordinary audio-range values everywhere (no denormals), and every page of the data area touched.
    float* data = ring->data();
    const std::size_t samples = std::size_t{c.capacity} * c.channels;
    for (std::size_t i = 0; i < samples; ++i) data[i] = static_cast<float>(i % 1001) * 0.001f - 0.5f;
    ring->publish(c.capacity);
    return ring;
}

struct Buses {
    std::vector<std::vector<float>> storage;
    std::vector<OndaraOutputBus> views;

    Buses(std::size_t count, std::size_t frames) : storage(2 * count, std::vector<float>(frames, 0.0f)), views(count) {
        for (std::size_t k = 0; k < count; ++k) views[k] = {storage[2 * k].data(), storage[2 * k + 1].data(), frames};
    }
};

void bm_receiver(benchmark::State& state, Case c) {
    const auto ring = make_ring(state, c);
    if (!ring) return;
    OndaraReceiver* rx = nullptr;
    const std::vector<std::uint16_t>& name = ring->utf16_name();
    const OndaraStatus st = ondara_receiver_open(name.data(), name.size(), c.frames, c.multi_bus ? 1 : 0, &rx);
    if (st != ONDARA_OK) {
        state.SkipWithError((std::string("ondara_receiver_open: ") + ondara_receiver_status_message(st)).c_str());
        return;
    }
    Buses buses(c.buses, c.frames);
    OndaraProcessResult res{};

    // One call to learn where the reader stands, then fill the ring up to a whole ring ahead of it.
    ondara_receiver_process(rx, buses.views.data(), c.buses, c.frames, &res);
    std::uint64_t write_pos = ring->read_pos() + c.capacity;
    ring->publish(write_pos);

    // One untimed pass over the whole ring: the receiver's own view of the segment is a separate
    // mapping whose pages fault in on first touch, and that belongs to opening, not to rendering.
    for (std::uint64_t done = 0; done < c.capacity; done += c.frames) {
        ondara_receiver_process(rx, buses.views.data(), c.buses, c.frames, &res);
        write_pos += c.frames;
        ring->publish(write_pos);
    }

    for (auto _ : state) {
        ondara_receiver_process(rx, buses.views.data(), c.buses, c.frames, &res);
        write_pos += c.frames;
        ring->publish(write_pos);
    }

    // Every call took R frames exactly when the reader is still a whole ring behind the producer.
    if (ring->read_pos() + c.capacity != write_pos || res.ring_frames != c.frames) {
        state.SkipWithError("the ring was not full on every call");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.frames * c.channels * sizeof(float)));
    ondara_receiver_free(rx);
}

// Bus k takes channels 2k and 2k + 1; a bus past the last pair repeats its one channel on both sides.
template <std::size_t Ch>
void write_outputs(const float* frames, std::size_t count, const Buses& buses, std::size_t used) {
    for (std::size_t k = 0; k < used; ++k) {
        float* left = buses.views[k].left;
        float* right = buses.views[k].right;
        const std::size_t l = 2 * k;
        const std::size_t r = l + 1 < Ch ? l + 1 : l;
        for (std::size_t i = 0; i < count; ++i) {
            left[i] = frames[i * Ch + l];
            right[i] = frames[i * Ch + r];
        }
    }
}

template <std::size_t Ch>
void floor_loop(benchmark::State& state, const Case& c, const float* data, float* scratch, const Buses& buses) {
    std::uint64_t pos = 0;
    for (auto _ : state) {
        const std::uint64_t slot = pos % c.capacity;
        const std::uint64_t first = std::min<std::uint64_t>(c.frames, c.capacity - slot);
        std::memcpy(scratch, data + slot * Ch, first * Ch * sizeof(float));
        std::memcpy(scratch + first * Ch, data, (c.frames - first) * Ch * sizeof(float));
        write_outputs<Ch>(scratch, c.frames, buses, c.buses);
        pos += c.frames;
        benchmark::ClobberMemory();
    }
}

void bm_floor(benchmark::State& state, Case c) {
    const auto ring = make_ring(state, c);
    if (!ring) return;
    std::vector<float> scratch(c.frames * c.channels);
    Buses buses(c.buses, c.frames);
    benchmark::DoNotOptimize(scratch.data());
    for (auto& channel : buses.storage) benchmark::DoNotOptimize(channel.data());
    switch (c.channels) {
        case 1: floor_loop<1>(state, c, ring->data(), scratch.data(), buses); break;
        case 2: floor_loop<2>(state, c, ring->data(), scratch.data(), buses); break;
        case 6: floor_loop<6>(state, c, ring->data(), scratch.data(), buses); break;
        default: state.SkipWithError("no floor for this channel count"); return;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.frames * c.channels * sizeof(float)));
}

// The usual console output, plus the real time per iteration of every run, for the table at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    using ConsoleReporter::ConsoleReporter;

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.iterations == 0) continue;
            const double ns = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
            Times& t = times_[run.run_name.function_name];
            if (run.run_type == Run::RT_Iteration) {
                t.sum += ns;
                ++t.count;
            } else if (run.aggregate_name == "median") {
                t.median = ns;
            }
        }
    }

    // The median when repetitions were asked for, else the mean over the runs; negative if not run.
    double ns(const std::string& name) const {
        const auto it = times_.find(name);
        if (it == times_.end()) return -1.0;
        if (it->second.median >= 0.0) return it->second.median;
        return it->second.count > 0 ? it->second.sum / static_cast<double>(it->second.count) : -1.0;
    }

private:
    struct Times {
        double sum = 0.0;
        int count = 0;
        double median = -1.0;
    };
    std::map<std::string, Times> times_;
};

benchmark::ConsoleReporter::OutputOptions console_options() {
#if !defined(_WIN32)
    if (::isatty(STDOUT_FILENO)) return benchmark::ConsoleReporter::OO_ColorTabular;
#endif
    return benchmark::ConsoleReporter::OO_Tabular;
}

}  // namespace

int main(int argc, char** argv) {
    const struct {
        std::uint32_t channels;
        std::size_t buses;
        bool multi_bus;
    } layouts[] = {{2, 1, false}, {6, 3, true}, {1, 1, false}};
    const std::size_t block_sizes[] = {64, 256, 512, 2048};
    const std::uint32_t capacities[] = {4096, 1048576};

    std::vector<Case> cases;
    for (const auto& l : layouts) {
        for (const std::uint32_t cap : capacities) {
            for (const std::size_t r : block_sizes) cases.push_back({l.channels, l.buses, l.multi_bus, r, cap});
        }
    }
    for (const Case& c : cases) {
        benchmark::RegisterBenchmark(("receiver/" + c.label()).c_str(), bm_receiver, c)
            ->Unit(benchmark::kNanosecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("floor/" + c.label()).c_str(), bm_floor, c)
            ->Unit(benchmark::kNanosecond)
            ->UseRealTime();
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter(console_options());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\n%-28s %14s %14s %8s\n", "case", "receiver ns", "floor ns", "ratio");
    for (const Case& c : cases) {
        const double rx = reporter.ns("receiver/" + c.label());
        const double fl = reporter.ns("floor/" + c.label());
        if (rx < 0.0 && fl < 0.0) continue;  // filtered out
        std::printf("%-28s ", c.label().c_str());
        if (rx >= 0.0) std::printf("%14.1f ", rx); else std::printf("%14s ", "-");
        if (fl >= 0.0) std::printf("%14.1f ", fl); else std::printf("%14s ", "-");
        if (rx >= 0.0 && fl > 0.0) std::printf("%8.2f\n", rx / fl); else std::printf("%8s\n", "-");
    }
    return 0;
}
