#include "api/status.h"

namespace ondara {
namespace {

// Indexed by the status value; the interface defines exactly these five.
constexpr const char* kMessages[] = {"ok", "null pointer", "invalid argument", "open bridge failed", "prepare failed"};
constexpr const char* kUnknown = "unknown status";

}  // namespace

const char* status_message(std::uint32_t status) noexcept {
    return status < sizeof kMessages / sizeof kMessages[0] ? kMessages[status] : kUnknown;
}

}  // namespace ondara

extern "C" const char* ONDARA_CALL ondara_receiver_status_message(OndaraStatus status) {
    return ondara::status_message(status);
}
