// An in-memory stand-in for the platform operations, linked into unit tests in place of the real
// ones. Objects behave like Win32 mappings (an existing object keeps its size when created again, and
// vanishes with its last handle and view) unless added as held by the companion. Any operation can be
// made to fail with a chosen error code, the clock can be set to any reading, and live handles and
// views are counted so that every test can check that nothing stays open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace ondara::fake {

enum class Op { Create, Open, Map, Unmap, Close };

// Forgets every object, handle, view and planned failure; the clock goes back to 2024-01-01 00:00 UTC.
void reset();

// The `skip`+1-th next call of `op` fails with `error` (skip 0: the very next call).
void fail(Op op, std::uint32_t error, int skip = 0);

// Adds an object that some other process holds (it survives our handles), zero-filled; returns its bytes.
unsigned char* add_object(std::u16string_view name, std::size_t size);
// The bytes of an object, or null when there is none.
unsigned char* object_data(std::u16string_view name);
std::size_t object_size(std::u16string_view name);
bool object_exists(std::u16string_view name);
// Lets the companion drop its hold: the object goes when our last handle and view go.
void release_object(std::u16string_view name);

std::size_t live_handles();
std::size_t live_views();
std::size_t calls(Op op);

void set_clock(platform::ClockReading reading);
void set_clock_ms(std::uint64_t unix_ms);  // a reading that now_ms turns into exactly `unix_ms`
void advance_clock_ms(std::int64_t delta_ms);
void set_process_id(std::uint32_t pid);
// false: next_writer_serial answers 0, as when the process-wide numbering cannot be reached.
void set_writer_serial_reachable(bool reachable);

// Makes another process hold the producer lock of `name` (pid 0: one the system does not tell).
void hold_producer_lock(std::u16string_view name, std::uint32_t pid);
// Lets that process end: the lock is free again.
void drop_producer_lock(std::u16string_view name);

// Runs after every successful map, with the new view: lets a test play a companion that changes the
// block between two steps of an open.
void on_map(std::function<void(void* view)> hook);

// Runs just before every access that the audio path (ring reader and render, as built for the tests)
// makes to a shared field, with the field's address: lets a test or fuzz target rewrite the ring at
// an exact point inside a call. Cleared by reset().
void on_shared_access(std::function<void(const volatile void* field)> hook);

}  // namespace ondara::fake
