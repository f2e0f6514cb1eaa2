#include "os_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <map>
#include <thread>
#include <utility>

#include "os_resources.h"
#include "platform/names.h"
#include "protocol/shared_access.h"

namespace ondara::ostest {

std::string unique_name(std::string_view tag) {
    static std::atomic<unsigned> serial{0};
    return "ondara-os-" + std::to_string(platform::current_process_id()) + "-" + std::to_string(++serial) + "-" +
           std::string(tag);
}

std::u16string u16(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

NameCleanup::~NameCleanup() {
    for (const std::string& n : names_) remove_segment_name(n);
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
}

// ---- SharedView -----------------------------------------------------------------------------------

std::optional<SharedView> SharedView::open(const std::u16string& name, std::size_t length) {
    const platform::Handle h = platform::open_mapping(name.c_str());
    if (h == platform::kNoHandle) return std::nullopt;
    void* view = platform::map_view(h, length);
    if (view == nullptr) {
        platform::close_mapping(h);
        return std::nullopt;
    }
    return SharedView(h, view, length);
}

SharedView::SharedView(SharedView&& other) noexcept
    : mapping_(std::exchange(other.mapping_, platform::kNoHandle)),
      view_(std::exchange(other.view_, nullptr)),
      length_(other.length_) {}

SharedView::~SharedView() {
    if (view_ != nullptr) platform::unmap_view(view_, length_);
    if (mapping_ != platform::kNoHandle) platform::close_mapping(mapping_);
}

// ---- ProducedRing ---------------------------------------------------------------------------------

std::optional<ProducedRing> ProducedRing::create(const std::u16string& name, std::uint32_t channels,
                                                 std::uint32_t capacity, std::uint32_t sample_rate) {
    RingProducer::Error error;
    std::optional<RingProducer> p =
        RingProducer::create(utf8_up_to_zero(name.c_str()), RingFormat{sample_rate, channels, capacity}, error, false);
    if (!p) return std::nullopt;
    return ProducedRing(std::move(*p));
}

void ProducedRing::write_ramp(std::uint64_t from, std::uint64_t to) noexcept {
    RingWriter& w = producer_.writer();
    for (std::uint64_t f = from; f < to; ++f) {
        float* slot = w.slot(f);
        for (std::uint32_t j = 0; j < w.channels(); ++j) store_shared(&slot[j], ramp(f, j));
    }
}

bool views_are_checked_to_the_byte() {
    static const bool checked = [] {
        const std::string utf8 = unique_name("probe");
        const std::u16string name = u16(utf8);
        const platform::Handle h = platform::create_mapping(name.c_str(), 40);
        if (h == platform::kNoHandle) return true;
        void* view = platform::map_view(h, 48);
        if (view != nullptr) platform::unmap_view(view, 48);
        platform::close_mapping(h);
        remove_segment_name(utf8);
        return view == nullptr;
    }();
    return checked;
}

void expect_nothing_left_open(const ResourceCount& before, const ResourceCount& after) {
    if (before.handles && after.handles) {
        EXPECT_EQ(*before.handles, *after.handles) << "handles left open";
    }
    if (before.shared_views && after.shared_views) {
        EXPECT_EQ(*before.shared_views, *after.shared_views) << "views left mapped";
    }
}

// ---- child roles ----------------------------------------------------------------------------------

namespace {

std::map<std::string, ChildRole, std::less<>>& roles() {
    static std::map<std::string, ChildRole, std::less<>> r;
    return r;
}

}  // namespace

ChildRoleRegistration::ChildRoleRegistration(const char* name, ChildRole role) { roles()[name] = role; }

int run_child_role(std::string_view name, const std::vector<std::string>& args) {
    const auto it = roles().find(name);
    if (it == roles().end()) return child_fail(64, "unknown role " + std::string(name));
    try {
        return it->second(args);
    } catch (const std::exception& e) {
        return child_fail(65, std::string(name) + " threw: " + e.what());
    }
}

int child_fail(int code, const std::string& what) {
    std::fprintf(stderr, "child: %s\n", what.c_str());
    std::fflush(stderr);
    return code;
}

std::uint64_t parse_u64(const std::string& s) { return std::stoull(s); }

}  // namespace ondara::ostest
