// What every open export shares: the out-pointer and name checks in their fixed order, and the rule
// that nothing, exhausted memory included, leaves the library as an exception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>

#include "out_of_memory.h"
#include "status.h"

namespace ondara {

// Runs an export body; any exception escaping it (only allocation failures can) ends the process.
template <class Body>
OndaraStatus guarded(Body&& body) noexcept {
    try {
        return to_c(body());
    } catch (...) {
        out_of_memory();
    }
}

// Steps 2 and 3 of every open, run after `out` has passed its null test: the name must be non-null,
// non-empty and valid UTF-16 (`values_ok` folds in the family's own value checks). The UTF-8 name on
// success; nullopt means InvalidArgument.
std::optional<std::string> open_name(const std::uint16_t* name, std::size_t name_len, bool values_ok);

// Allocates a handle record or ends the process; never returns null.
template <class Record, class... Args>
Record* new_record(Args&&... args) {
    Record* r = new (std::nothrow) Record{static_cast<Args&&>(args)...};
    if (r == nullptr) out_of_memory();
    return r;
}

// The mic and mode records both begin with their segment: close it, then release the record.
template <class Record>
void free_block_handle(Record* record) noexcept {
    if (record == nullptr) return;
    record->segment.close();
    delete record;
}

}  // namespace ondara
