// Portable helpers for the real-platform tests: unique segment names, a view of somebody else's
// segment, a ring produced the way the companion produces one, bounded waits and the child roles
// that this binary runs when started as `--child ROLE ARGS...`.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "child_process.h"
#include "os_resources.h"
#include "platform/platform.h"
#include "protocol/ring.h"
#include "protocol/ring_producer.h"

namespace ondara::ostest {

using namespace std::chrono_literals;
using test::ChildProcess;

// "ondara-os-<pid>-<serial>-<tag>": unique per process and per call, so that parallel runs of this
// binary, and the tests within one run, never share a segment by accident.
std::string unique_name(std::string_view tag);

std::u16string u16(std::string_view ascii);
inline const std::uint16_t* units(const std::u16string& s) { return reinterpret_cast<const std::uint16_t*>(s.data()); }

// Removes the listed names when the test ends, after every child declared later has been reaped.
class NameCleanup {
public:
    NameCleanup() = default;
    explicit NameCleanup(std::string name) { add(std::move(name)); }
    NameCleanup(const NameCleanup&) = delete;
    NameCleanup& operator=(const NameCleanup&) = delete;
    ~NameCleanup();
    void add(std::string name) { names_.push_back(std::move(name)); }

private:
    std::vector<std::string> names_;
};

// Polls `done` every millisecond or so until it holds or `timeout` has passed; true when it held.
bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// A view of an existing segment mapped through the real platform, as the other side of the bridge
// maps it. Unmapped and closed on destruction.
class SharedView {
public:
    static std::optional<SharedView> open(const std::u16string& name, std::size_t length);

    SharedView(SharedView&& other) noexcept;
    SharedView& operator=(SharedView&&) = delete;
    SharedView(const SharedView&) = delete;
    ~SharedView();

    template <class T>
    T* as() const noexcept {
        return static_cast<T*>(view_);
    }

private:
    SharedView(platform::Handle h, void* view, std::size_t length) : mapping_(h), view_(view), length_(length) {}
    platform::Handle mapping_;
    void* view_;
    std::size_t length_;
};

// The test signal: frame f, channel j holds (f mod 2^20) * 8 + j, exact in a float, so that any sample
// tells which frame (modulo 2^20, about 20 s at 48 kHz) and channel it came from.
inline constexpr std::uint64_t kRampPeriod = std::uint64_t{1} << 20;
inline float ramp(std::uint64_t frame, std::uint32_t channel) {
    return static_cast<float>((frame % kRampPeriod) * 8 + channel);
}

// A ring created and written by the companion's own producer (protocol/ring_producer.h), with the
// test signal. The magic goes in last (announce), so a reader polling for the ring never validates a
// half-written header.
class ProducedRing {
public:
    static std::optional<ProducedRing> create(const std::u16string& name, std::uint32_t channels,
                                              std::uint32_t capacity, std::uint32_t sample_rate);

    void announce() noexcept { producer_.writer().announce(); }
    // Writes the ramp into the slots of frames [from, to); write_pos is not touched.
    void write_ramp(std::uint64_t from, std::uint64_t to) noexcept;
    void publish(std::uint64_t write_pos) noexcept { producer_.writer().publish(write_pos); }

    RingHeader* header() const noexcept { return producer_.writer().header(); }
    std::uint64_t read_pos() const noexcept { return producer_.writer().read_pos(); }
    std::uint32_t backlog() const noexcept { return producer_.writer().backlog_frames(); }

private:
    explicit ProducedRing(RingProducer producer) noexcept : producer_(std::move(producer)) {}
    RingProducer producer_;
};

// Where the platform maps a view longer than its object as long as the view ends in the object's
// last page (Wine rounds a mapping's size up to whole pages), a size that is off by a few bytes cannot
// be refused. Tests of that case skip there; PlatformMapView.RefusesAViewOneByteLongerThanTheObject
// keeps the gap visible.
bool views_are_checked_to_the_byte();

// The counts that the platform can tell are the same before and after.
void expect_nothing_left_open(const ResourceCount& before, const ResourceCount& after);

// ---- child roles ------------------------------------------------------------------------------------

// A role runs in the child process and returns its exit code: 0 on success. On failure it says why on
// the standard error stream (see child_fail).
using ChildRole = int (*)(const std::vector<std::string>& args);

struct ChildRoleRegistration {
    ChildRoleRegistration(const char* name, ChildRole role);
};

#define ONDARA_CHILD_ROLE(function, role_name)                                       \
    static int function(const std::vector<std::string>& args);                      \
    static const ::ondara::ostest::ChildRoleRegistration function##_registration{    \
        role_name, &function};                                                       \
    static int function(const std::vector<std::string>& args)

// Runs the named role; 64 for an unknown role, 65 when the role threw.
int run_child_role(std::string_view name, const std::vector<std::string>& args);

// Prints "child: <what>" to stderr and returns `code`, for `return child_fail(3, "...")`.
int child_fail(int code, const std::string& what);

std::uint64_t parse_u64(const std::string& s);

}  // namespace ondara::ostest
