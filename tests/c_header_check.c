/* Compiled as C99 with -pedantic and warnings as errors: the public headers must be clean C. The
 * build passes the project's version and the export count, which the header must agree with. */
#include "ondara.h"
#include "ondara_loader.h"
#include "header_check_api.h"

#if ONDARA_VERSION_MAJOR != ONDARA_EXPECTED_VERSION_MAJOR || ONDARA_VERSION_MINOR != ONDARA_EXPECTED_VERSION_MINOR || \
    ONDARA_VERSION_PATCH != ONDARA_EXPECTED_VERSION_PATCH
#error "the version in ondara.h is not the project's version"
#endif
#if ONDARA_VERSION != \
    ONDARA_EXPECTED_VERSION_MAJOR * 10000 + ONDARA_EXPECTED_VERSION_MINOR * 100 + ONDARA_EXPECTED_VERSION_PATCH
#error "ONDARA_VERSION is not 10000 * major + 100 * minor + patch"
#endif

OndaraStatus ondara_c_header_check(void);

OndaraStatus ondara_c_header_check(void) {
    /* Each function goes into the loader's member of its name, whose type is the one declared next to
     * the prototype: any disagreement is an incompatible-pointer error. */
    static const OndaraApi api = {
        ONDARA_CHECK_API_FUNCTIONS
    };
    typedef char thirteen_functions
        [offsetof(OndaraApi, library) == ONDARA_EXPECTED_EXPORT_COUNT * sizeof(void*) ? 1 : -1];
    OndaraOutputBus bus = {0, 0, 0};
    OndaraProcessResult result;
    OndaraApi loaded = {0};
    result.reserved = ONDARA_OK;
    (void)bus;
    (void)sizeof(thirteen_functions);
    if (ondara_api_load(&loaded, NULL) == ONDARA_LOAD_OK) ondara_api_unload(&loaded);
    (void)api;
    return result.reserved + (OndaraStatus)sizeof(OndaraProcessResult) * 0u;
}
