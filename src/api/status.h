#pragma once

#include <cstdint>

#include "ondara.h"

namespace ondara {

enum class Status : std::uint32_t {
    Ok = ONDARA_OK,
    NullPointer = ONDARA_NULL_POINTER,
    InvalidArgument = ONDARA_INVALID_ARGUMENT,
    OpenBridgeFailed = ONDARA_OPEN_BRIDGE_FAILED,
    PrepareFailed = ONDARA_PREPARE_FAILED,
};

constexpr OndaraStatus to_c(Status s) noexcept { return static_cast<OndaraStatus>(s); }

const char* status_message(std::uint32_t status) noexcept;

}  // namespace ondara
