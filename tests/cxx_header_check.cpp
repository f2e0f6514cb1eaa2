// The public headers compiled as C++ with strict warnings (as errors): the loader's file name is the
// one the build gives the library, its table has one member per export, each with the type declared
// next to the function's prototype.
#include <cstddef>
#include <string_view>

#include "ondara.h"
#include "ondara_loader.h"
#include "header_check_api.h"

static_assert(std::string_view(ONDARA_LIBRARY_FILE) == ONDARA_EXPECTED_LIBRARY_FILE,
              "ondara_api_load would look for another file than the build makes");
static_assert(ONDARA_VERSION == ONDARA_EXPECTED_VERSION_MAJOR * 10000 + ONDARA_EXPECTED_VERSION_MINOR * 100 +
                                    ONDARA_EXPECTED_VERSION_PATCH);
static_assert(offsetof(OndaraApi, library) == ONDARA_EXPECTED_EXPORT_COUNT * sizeof(void*));

OndaraLoadStatus ondara_cxx_header_check();

OndaraLoadStatus ondara_cxx_header_check() {
    static constexpr OndaraApi api = {
        ONDARA_CHECK_API_FUNCTIONS
        .library = nullptr,
        .status = ONDARA_LOAD_OK,
        .os_error = 0,
        .missing_function = nullptr,
        .message = {},
    };
    static_cast<void>(api);
    OndaraApi loaded{};
    const OndaraLoadStatus status = ondara_api_load(&loaded, nullptr);
    ondara_api_unload(&loaded);
    return status;
}
