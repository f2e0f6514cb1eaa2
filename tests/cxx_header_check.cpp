// The public headers compiled as C++ with strict warnings (as errors): the loader's file name is the
// one the build gives the library, its table has one member per export, each with the type declared
// next to the function's prototype.
#include <cstddef>
#include <string_view>

#include "ondara.h"
#include "ondara_loader.h"

static_assert(std::string_view(ONDARA_LIBRARY_FILE) == ONDARA_EXPECTED_LIBRARY_FILE,
              "ondara_api_load would look for another file than the build makes");
static_assert(ONDARA_VERSION == ONDARA_EXPECTED_VERSION_MAJOR * 10000 + ONDARA_EXPECTED_VERSION_MINOR * 100 +
                                    ONDARA_EXPECTED_VERSION_PATCH);
static_assert(offsetof(OndaraApi, library) == ONDARA_EXPECTED_EXPORT_COUNT * sizeof(void*));

OndaraLoadStatus ondara_cxx_header_check();

OndaraLoadStatus ondara_cxx_header_check() {
    static constexpr OndaraApi api = {
        .receiver_status_message = ondara_receiver_status_message,
        .receiver_open = ondara_receiver_open,
        .receiver_process = ondara_receiver_process,
        .receiver_free = ondara_receiver_free,
        .mic_open = ondara_mic_open,
        .mic_publish = ondara_mic_publish,
        .mic_free = ondara_mic_free,
        .mode_open = ondara_mode_open,
        .mode_request = ondara_mode_request,
        .mode_applied = ondara_mode_applied,
        .mode_mixer_volumes = ondara_mode_mixer_volumes,
        .mode_vst3_bridge_active = ondara_mode_vst3_bridge_active,
        .mode_free = ondara_mode_free,
        .library = nullptr,
        .status = ONDARA_LOAD_OK,
        .os_error = 0,
        .missing_function = nullptr,
        .message = {},
    };
    static_cast<void>(api);
    OndaraApi loaded;
    const OndaraLoadStatus status = ondara_api_load(&loaded, nullptr);
    ondara_api_unload(&loaded);
    return status;
}
