/*
 * ondara_functions.h: the thirteen exported functions, listed once (included by ondara.h). Their
 * pointer types (ondara.h), the loader's table and lookups (ondara_loader.h), the build's export
 * lists and the tests' header checks are all made from this list, so that a new function is a line
 * here and its prototype in ondara.h, and nothing else to keep in step.
 *
 * ONDARA_FUNCTIONS(X) expands X(member, Type, Return, Parameters) once per function, in the order of
 * the loader's table: ondara_<member> is the function, Type its pointer type.
 */
#ifndef ONDARA_FUNCTIONS_H
#define ONDARA_FUNCTIONS_H

/* clang-format off */
#define ONDARA_FUNCTIONS(X)                                                                                 \
    X(receiver_status_message, OndaraReceiverStatusMessageFn, const char*, (OndaraStatus status))          \
    X(receiver_open, OndaraReceiverOpenFn, OndaraStatus,                                                   \
      (const uint16_t* name, size_t name_len, size_t max_frames, uint8_t multi_bus, OndaraReceiver** out)) \
    X(receiver_process, OndaraReceiverProcessFn, OndaraStatus,                                             \
      (OndaraReceiver* handle, const OndaraOutputBus* buses, size_t bus_count, size_t frames,              \
       OndaraProcessResult* out))                                                                          \
    X(receiver_free, OndaraReceiverFreeFn, void, (OndaraReceiver* handle))                                 \
    X(mic_open, OndaraMicOpenFn, OndaraStatus, (const uint16_t* name, size_t name_len, OndaraMicPublisher** out)) \
    X(mic_publish, OndaraMicPublishFn, OndaraStatus, (OndaraMicPublisher* handle, float level_a, float level_b)) \
    X(mic_free, OndaraMicFreeFn, void, (OndaraMicPublisher* handle))                                       \
    X(mode_open, OndaraModeOpenFn, OndaraStatus, (const uint16_t* name, size_t name_len, OndaraModeControl** out)) \
    X(mode_request, OndaraModeRequestFn, OndaraStatus, (OndaraModeControl* handle, int32_t mode))          \
    X(mode_applied, OndaraModeAppliedFn, int32_t, (OndaraModeControl* handle))                             \
    X(mode_mixer_volumes, OndaraModeMixerVolumesFn, OndaraStatus, (OndaraModeControl* handle, float* out)) \
    X(mode_vst3_bridge_active, OndaraModeVst3BridgeActiveFn, uint32_t, (OndaraModeControl* handle))        \
    X(mode_free, OndaraModeFreeFn, void, (OndaraModeControl* handle))
/* clang-format on */

#endif /* ONDARA_FUNCTIONS_H */
