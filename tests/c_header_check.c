/* Compiled as C99 with -pedantic: the public header must be clean C. */
#include "ondara.h"

OndaraStatus ondara_c_header_check(void);

OndaraStatus ondara_c_header_check(void) {
    OndaraOutputBus bus = {0, 0, 0};
    OndaraProcessResult result;
    result.reserved = ONDARA_OK;
    (void)bus;
    return result.reserved + (OndaraStatus)sizeof(OndaraProcessResult) * 0u;
}
