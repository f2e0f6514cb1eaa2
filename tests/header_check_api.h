/* The loader's table filled with the library's own functions, for the C and the C++ header checks:
 * each function goes into the member of its name, whose type is the one declared next to its
 * prototype, and any disagreement fails to compile. */
#define ONDARA_CHECK_API_FUNCTIONS                                  \
    .receiver_status_message = ondara_receiver_status_message,      \
    .receiver_open = ondara_receiver_open,                          \
    .receiver_process = ondara_receiver_process,                    \
    .receiver_free = ondara_receiver_free,                          \
    .mic_open = ondara_mic_open,                                    \
    .mic_publish = ondara_mic_publish,                              \
    .mic_free = ondara_mic_free,                                    \
    .mode_open = ondara_mode_open,                                  \
    .mode_request = ondara_mode_request,                            \
    .mode_applied = ondara_mode_applied,                            \
    .mode_mixer_volumes = ondara_mode_mixer_volumes,                \
    .mode_vst3_bridge_active = ondara_mode_vst3_bridge_active,      \
    .mode_free = ondara_mode_free
