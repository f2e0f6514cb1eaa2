// What every open export shares: the out-pointer and name checks in their fixed order, and the rule
// that nothing, exhausted memory included, leaves the library as an exception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>

#include "api/status.h"
#include "platform/out_of_memory.h"

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

// Checks the name and value arguments an open shares, once its `out` pointer is known to be non-null,
// and decodes the name: a null or empty name, one that is not valid UTF-16, or `values_ok` false (the
// family's own value checks, folded in by the caller) gives nullopt, which the open answers with
// InvalidArgument. Otherwise the name as UTF-8.
std::optional<std::string> open_name(const std::uint16_t* name, std::size_t name_len, bool values_ok);

// Allocates a handle record or ends the process; never returns null.
template <class Record, class... Args>
Record* new_record(Args&&... args) {
    Record* r = new (std::nothrow) Record{static_cast<Args&&>(args)...};
    if (r == nullptr) out_of_memory();
    return r;
}

}  // namespace ondara
