#include "fake_platform.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <vector>

namespace ondara::fake {
namespace {

constexpr std::uint32_t kErrorNotFound = 2;       // ERROR_FILE_NOT_FOUND
constexpr std::uint32_t kErrorInvalidName = 123;  // ERROR_INVALID_NAME
constexpr std::uint32_t kErrorAccess = 5;         // ERROR_ACCESS_DENIED
constexpr std::uint32_t kErrorExists = 183;       // ERROR_ALREADY_EXISTS
constexpr std::uint32_t kErrorLocked = 33;        // ERROR_LOCK_VIOLATION

struct Aligned {
    void operator()(unsigned char* p) const { ::operator delete(p, std::align_val_t{64}); }
};

struct Object {
    std::unique_ptr<unsigned char, Aligned> bytes;
    std::size_t size = 0;
    int refs = 0;
    bool held_elsewhere = false;
};

struct Planned {
    Op op;
    std::uint32_t error;
    int skip;
};

struct State {
    std::map<std::u16string, Object> objects;
    std::map<platform::Handle, std::u16string> handles;
    std::vector<std::pair<void*, std::u16string>> views;
    std::vector<Planned> planned;
    std::map<Op, std::size_t> calls;
    platform::Handle next_handle = 100;
    std::uint32_t last_error = 0;
    std::uint64_t clock = 0;
    std::uint32_t pid = 4242;
    bool writer_serial_reachable = true;
    std::function<void(void*)> on_map;
    std::map<std::u16string, std::uint32_t> locks;  // name -> holder's pid (ours: our own pid)
    std::map<platform::Handle, std::u16string> lock_handles;
    std::function<void(const volatile void*)> on_shared_access;
};

State& state() {
    static State s;
    return s;
}

std::u16string effective(const char16_t* name) {
    std::u16string n;
    for (; *name != 0; ++name) n.push_back(*name);
    return n;
}

Object make_object(std::size_t size) {
    Object o;
    // Exactly `size` bytes, so that under AddressSanitizer a touch past the object's end is caught.
    const std::size_t bytes = size > 0 ? size : 1;
    o.bytes.reset(static_cast<unsigned char*>(::operator new(bytes, std::align_val_t{64})));
    std::memset(o.bytes.get(), 0, bytes);
    o.size = size;
    return o;
}

// Counts the call and tells whether a planned failure hits it.
bool planned_failure(Op op) {
    State& s = state();
    ++s.calls[op];
    for (auto it = s.planned.begin(); it != s.planned.end(); ++it) {
        if (it->op != op) continue;
        if (it->skip-- > 0) continue;
        s.last_error = it->error;
        s.planned.erase(it);
        return true;
    }
    return false;
}

void unref(const std::u16string& name) {
    State& s = state();
    auto it = s.objects.find(name);
    if (it != s.objects.end() && --it->second.refs <= 0 && !it->second.held_elsewhere) s.objects.erase(it);
}

platform::Handle new_handle(const std::u16string& name) {
    State& s = state();
    ++s.objects[name].refs;
    s.handles[s.next_handle] = name;
    return s.next_handle++;
}

}  // namespace

void reset() {
    State& s = state();
    s = State{};
    set_clock_ms(1'704'067'200'000);
}

void fail(Op op, std::uint32_t error, int skip) { state().planned.push_back({op, error, skip}); }

unsigned char* add_object(std::u16string_view name, std::size_t size) {
    Object o = make_object(size);
    o.held_elsewhere = true;
    auto& slot = state().objects[std::u16string(name)];
    slot = std::move(o);
    return slot.bytes.get();
}

unsigned char* object_data(std::u16string_view name) {
    auto it = state().objects.find(std::u16string(name));
    return it == state().objects.end() ? nullptr : it->second.bytes.get();
}

std::size_t object_size(std::u16string_view name) {
    auto it = state().objects.find(std::u16string(name));
    return it == state().objects.end() ? 0 : it->second.size;
}

bool object_exists(std::u16string_view name) { return object_data(name) != nullptr; }

void release_object(std::u16string_view name) {
    auto it = state().objects.find(std::u16string(name));
    if (it == state().objects.end()) return;
    it->second.held_elsewhere = false;
    if (it->second.refs <= 0) state().objects.erase(it);
}

std::size_t live_handles() { return state().handles.size() + state().lock_handles.size(); }
std::size_t live_views() { return state().views.size(); }
std::size_t calls(Op op) { return state().calls[op]; }

void set_clock(platform::ClockReading r) { state().clock = (std::uint64_t{r.high} << 32) | r.low; }

void set_clock_ms(std::uint64_t unix_ms) { state().clock = 116444736000000000ull + unix_ms * 10'000; }

void advance_clock_ms(std::int64_t delta_ms) {
    // Unsigned, so that any reading moves without overflow; a negative delta wraps back as intended.
    state().clock += static_cast<std::uint64_t>(delta_ms) * 10'000;
}

void set_process_id(std::uint32_t pid) { state().pid = pid; }
void set_writer_serial_reachable(bool reachable) { state().writer_serial_reachable = reachable; }

void hold_producer_lock(std::u16string_view name, std::uint32_t pid) { state().locks[std::u16string(name)] = pid; }

void drop_producer_lock(std::u16string_view name) { state().locks.erase(std::u16string(name)); }

void on_map(std::function<void(void*)> hook) { state().on_map = std::move(hook); }

void on_shared_access(std::function<void(const volatile void*)> hook) { state().on_shared_access = std::move(hook); }

}  // namespace ondara::fake

namespace ondara {

// Called by the hooked build of the audio path before each shared-field access.
void shared_access_hook(const volatile void* field) noexcept {
    if (fake::state().on_shared_access) fake::state().on_shared_access(field);
}

}  // namespace ondara

namespace ondara::platform {

using namespace ondara::fake;

Handle create_mapping(const char16_t* name, std::uint32_t size) noexcept {
    if (planned_failure(Op::Create)) return kNoHandle;
    const std::u16string n = effective(name);
    if (n.empty()) {
        state().last_error = kErrorInvalidName;
        return kNoHandle;
    }
    auto it = state().objects.find(n);
    if (it == state().objects.end()) state().objects.emplace(n, make_object(size));
    return new_handle(n);
}

Handle open_mapping(const char16_t* name) noexcept {
    if (planned_failure(Op::Open)) return kNoHandle;
    const std::u16string n = effective(name);
    if (n.empty()) {
        state().last_error = kErrorInvalidName;
        return kNoHandle;
    }
    if (state().objects.find(n) == state().objects.end()) {
        state().last_error = kErrorNotFound;
        return kNoHandle;
    }
    return new_handle(n);
}

void* map_view(Handle mapping, std::size_t length) noexcept {
    if (planned_failure(Op::Map)) return nullptr;
    State& s = state();
    auto h = s.handles.find(mapping);
    if (h == s.handles.end()) std::abort();  // mapping through a closed handle is a bug in the library
    Object& o = s.objects.at(h->second);
    if (length == 0 || length > o.size) {
        s.last_error = kErrorAccess;
        return nullptr;
    }
    ++o.refs;
    s.views.emplace_back(o.bytes.get(), h->second);
    if (s.on_map) s.on_map(o.bytes.get());
    return o.bytes.get();
}

void unmap_view(void* view, std::size_t) noexcept {
    planned_failure(Op::Unmap);
    State& s = state();
    for (auto it = s.views.begin(); it != s.views.end(); ++it) {
        if (it->first == view) {
            const std::u16string name = it->second;
            s.views.erase(it);
            unref(name);
            return;
        }
    }
    std::abort();  // unmapping a view that is not mapped is a bug in the library
}

void close_mapping(Handle mapping) noexcept {
    planned_failure(Op::Close);
    State& s = state();
    auto h = s.handles.find(mapping);
    if (h == s.handles.end()) std::abort();  // closing twice is a bug in the library
    const std::u16string name = h->second;
    s.handles.erase(h);
    unref(name);
}

std::uint32_t last_error() noexcept { return state().last_error; }

ClockReading read_clock() noexcept {
    return {static_cast<std::uint32_t>(state().clock), static_cast<std::uint32_t>(state().clock >> 32)};
}

std::uint32_t current_process_id() noexcept { return state().pid; }

std::uint32_t next_writer_serial() noexcept {
    // Not part of the state that reset() forgets: like the real one, the numbering never goes back.
    static std::uint32_t last = 0;
    return state().writer_serial_reachable ? ++last : 0;
}

// ---- The producer's operations ------------------------------------------------------------------

Handle create_exclusive(const char16_t* name, std::uint64_t size) noexcept {
    if (planned_failure(Op::Create)) return kNoHandle;
    const std::u16string n = effective(name);
    if (n.empty() || size == 0) {
        state().last_error = kErrorInvalidName;
        return kNoHandle;
    }
    if (state().objects.count(n) != 0) {
        state().last_error = kErrorExists;
        return kNoHandle;
    }
    state().objects.emplace(n, make_object(static_cast<std::size_t>(size)));
    return new_handle(n);
}

Handle open_read_only(const char16_t* name) noexcept { return open_mapping(name); }

const void* map_read_only(Handle mapping, std::size_t length) noexcept { return map_view(mapping, length); }

bool object_size(Handle mapping, std::uint64_t& size) noexcept {
    auto h = state().handles.find(mapping);
    if (h == state().handles.end()) std::abort();
    size = state().objects.at(h->second).size;
    return true;
}

bool read_object(Handle mapping, void* out, std::size_t capacity, std::uint64_t& size_now) noexcept {
    auto h = state().handles.find(mapping);
    if (h == state().handles.end()) std::abort();
    const Object& o = state().objects.at(h->second);
    std::memcpy(out, o.bytes.get(), capacity < o.size ? capacity : o.size);
    size_now = o.size;
    return true;
}

Removal remove_name(const char16_t* name, Handle mapping) noexcept {
    auto h = state().handles.find(mapping);
    if (h == state().handles.end()) std::abort();
    if (h->second != effective(name)) return Removal::NotOurs;
    // Like a Win32 mapping, the object goes with its last handle and view.
    release_object(h->second);
    return Removal::Removed;
}

Handle lock_producer(const char16_t* name, Handle, std::uint32_t& holder) noexcept {
    holder = 0;
    State& s = state();
    const std::u16string n = effective(name);
    auto it = s.locks.find(n);
    if (it != s.locks.end()) {
        holder = it->second;
        s.last_error = kErrorLocked;
        return kNoHandle;
    }
    s.locks[n] = s.pid;
    s.lock_handles[s.next_handle] = n;
    return s.next_handle++;
}

void unlock_producer(Handle lock) noexcept {
    State& s = state();
    auto it = s.lock_handles.find(lock);
    if (it == s.lock_handles.end()) std::abort();  // unlocking twice is a bug
    s.locks.erase(it->second);
    s.lock_handles.erase(it);
}

ErrorKind error_kind(std::uint32_t code) noexcept {
    switch (code) {
        case kErrorExists: return ErrorKind::Exists;
        case kErrorNotFound: return ErrorKind::Missing;
        case kErrorAccess: return ErrorKind::Denied;
        case kErrorLocked: return ErrorKind::Held;
        default: return ErrorKind::Other;
    }
}

std::string error_text(std::uint32_t code) { return "error " + std::to_string(code); }

}  // namespace ondara::platform
