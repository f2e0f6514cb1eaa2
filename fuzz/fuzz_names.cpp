// Segment names from arbitrary UTF-16 code units through the three open exports, on the fake platform.
//
// The expected status is worked out here, with a validity rule written independently of the library:
// a null or empty name, or one with an unpaired surrogate anywhere in its `name_len` units, is an
// invalid argument; otherwise only the units before the first zero reach the platform, an empty such
// part cannot be opened, and a mic or mode block opens under exactly that part. Some inputs also plan
// platform failures, which may turn a success into "open bridge failed" and nothing else. Whatever
// happens, a failed open writes NULL and leaves nothing open, and freeing releases everything.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "fuzz_check.h"
#include "ondara.h"
#include "protocol/mic_block.h"
#include "protocol/mode_block.h"
#include "protocol/ring.h"

namespace {

using namespace ondara;

bool valid_utf16(const std::vector<std::uint16_t>& u) {
    for (std::size_t i = 0; i < u.size(); ++i) {
        if (u[i] >= 0xD800 && u[i] <= 0xDBFF) {
            if (i + 1 == u.size() || u[i + 1] < 0xDC00 || u[i + 1] > 0xDFFF) return false;
            ++i;  // the pair's low half is consumed with it
        } else if (u[i] >= 0xDC00 && u[i] <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

// What an open of `units` must answer when the platform does not fail. `found` tells whether an
// object under the effective name is there to be opened (only the receiver needs one).
OndaraStatus expected_status(const std::uint16_t* name, std::size_t len, const std::vector<std::uint16_t>& units,
                             bool values_ok, bool found) {
    if (name == nullptr || len == 0 || !values_ok || !valid_utf16(units)) return ONDARA_INVALID_ARGUMENT;
    if (units[0] == 0 || !found) return ONDARA_OPEN_BRIDGE_FAILED;
    return ONDARA_OK;
}

void check_nothing_open() {
    FUZZ_CHECK(fake::live_handles() == 0);
    FUZZ_CHECK(fake::live_views() == 0);
}

// A pointer value that no open may leave behind on failure.
template <class T>
T* poison_pointer() {
    return reinterpret_cast<T*>(std::uintptr_t{0x5A5A5A5A5A5A5A50});
}

// Checks the status against the expectation; with planned platform failures a success may also
// have become "open bridge failed".
void check_status(OndaraStatus got, OndaraStatus expected, bool faults) {
    if (faults && expected == ONDARA_OK) {
        FUZZ_CHECK(got == ONDARA_OK || got == ONDARA_OPEN_BRIDGE_FAILED);
    } else {
        FUZZ_CHECK(got == expected);
    }
}

template <class Handle, class Block, class Open, class Free>
void open_block(Open open, Free free_handle, const std::uint16_t* name, std::size_t len,
                const std::vector<std::uint16_t>& units, const std::u16string& effective, bool null_out,
                bool faults, std::uint32_t magic) {
    if (null_out) {
        FUZZ_CHECK(open(name, len, nullptr) == ONDARA_NULL_POINTER);
        check_nothing_open();
        return;
    }
    Handle* h = poison_pointer<Handle>();
    const OndaraStatus st = open(name, len, &h);
    check_status(st, expected_status(name, len, units, true, true), faults);
    if (st != ONDARA_OK) {
        FUZZ_CHECK(h == nullptr);
        check_nothing_open();
        return;
    }
    FUZZ_CHECK(h != nullptr);
    // The block lives under the effective name, at its own size, and was just initialised.
    FUZZ_CHECK(fake::object_exists(effective));
    FUZZ_CHECK(fake::object_size(effective) == sizeof(Block));
    fuzzing::poison_slack(fake::object_data(effective), sizeof(Block));  // nothing written past it
    Block b;
    std::memcpy(&b, fake::object_data(effective), sizeof b);
    FUZZ_CHECK(b.magic == magic && b.version == 1);
    FUZZ_CHECK(fake::live_handles() == 1 && fake::live_views() == 1);
    free_handle(h);
    check_nothing_open();
    FUZZ_CHECK(!fake::object_exists(effective));  // ours was the only hold on it
}

void plan_faults(FuzzedDataProvider& in, int count) {
    for (int i = 0; i < count; ++i) {
        const auto op = static_cast<fake::Op>(in.ConsumeIntegralInRange<int>(0, 4));
        const std::uint32_t error = in.ConsumeIntegral<std::uint8_t>();
        fake::fail(op, error, in.ConsumeIntegralInRange<int>(0, 3));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fake::reset();
    FuzzedDataProvider in(data, size);
    const std::uint8_t mode = in.ConsumeIntegral<std::uint8_t>();
    const bool null_name = (mode & 0x01) != 0;
    const bool zero_len = (mode & 0x02) != 0;
    const bool null_out = (mode & 0x04) != 0;
    const bool ring_under_name = (mode & 0x08) != 0;
    const int faults = (mode >> 4) & 0x3;  // 0: the platform never fails
    const bool multi_bus = (mode & 0x40) != 0;
    const std::size_t max_frames = in.ConsumeIntegralInRange<std::size_t>(0, 4096);
    plan_faults(in, faults);

    const std::string raw = in.ConsumeRemainingBytesAsString();
    std::vector<std::uint16_t> units(raw.size() / 2);
    if (!units.empty()) std::memcpy(units.data(), raw.data(), units.size() * 2);
    // An exactly sized copy, so that reading one unit past name_len is an overflow ASan sees.
    const std::uint16_t* name = null_name ? nullptr : units.data();
    const std::size_t len = zero_len ? 0 : units.size();
    const std::vector<std::uint16_t> checked = zero_len ? std::vector<std::uint16_t>{} : units;

    std::u16string effective;
    for (std::uint16_t u : checked) {
        if (u == 0) break;
        effective.push_back(static_cast<char16_t>(u));
    }

    open_block<OndaraMicPublisher, MicLevelBlock>(ondara_mic_open, ondara_mic_free, name, len, checked, effective,
                                                  null_out, faults != 0, kMicMagic);
    open_block<OndaraModeControl, ModeControlBlock>(ondara_mode_open, ondara_mode_free, name, len, checked,
                                                    effective, null_out, faults != 0, kModeMagic);

    // The ring is the companion's: it is there only when added, under the effective name or another.
    const std::u16string ring_name = ring_under_name && !effective.empty() ? effective : u"ondara-fuzz-other-ring";
    {
        constexpr std::uint32_t kChannels = 2, kCapacity = 64;
        const std::size_t bytes = kRingHeaderSize + std::size_t{kChannels} * kCapacity * sizeof(float);
        unsigned char* obj = fake::add_object(ring_name, bytes);
        fuzzing::poison_slack(obj, bytes);
        RingHeader h{};
        h.magic = kRingMagic;
        h.version = kRingVersion;
        h.sample_rate = 48000;
        h.channels = kChannels;
        h.capacity_frames = kCapacity;
        std::memcpy(obj, &h, sizeof h);
    }
    const bool found = ring_name == effective;
    if (null_out) {
        FUZZ_CHECK(ondara_receiver_open(name, len, max_frames, multi_bus, nullptr) == ONDARA_NULL_POINTER);
    } else {
        OndaraReceiver* r = poison_pointer<OndaraReceiver>();
        const OndaraStatus st = ondara_receiver_open(name, len, max_frames, multi_bus, &r);
        check_status(st, expected_status(name, len, checked, max_frames != 0, found), faults != 0);
        if (st == ONDARA_OK) {
            FUZZ_CHECK(r != nullptr);
            FUZZ_CHECK(fake::live_handles() == 1 && fake::live_views() == 1);
            ondara_receiver_free(r);
        } else {
            FUZZ_CHECK(r == nullptr);
        }
    }
    check_nothing_open();
    FUZZ_CHECK(fake::object_exists(ring_name));  // the library never removes a segment
    fake::reset();
    return 0;
}
