/* The smallest program against an installed ondara: the header is found, the library links and
 * loads, and two calls answer as documented. */
#include <stdio.h>
#include <string.h>

#include "ondara.h"

int main(void) {
    static const uint16_t name[] = {'o', 'n', 'd', 'a', 'r', 'a', '-', 'c', 'o', 'n', 's', 'u', 'm', 'e', 'r',
                                    '-', 'n', 'o', '-', 'r', 'i', 'n', 'g'};
    OndaraReceiver* receiver = (OndaraReceiver*)&name; /* any non-null value: the open must clear it */
    const OndaraStatus st = ondara_receiver_open(name, sizeof name / sizeof name[0], 256, 0, &receiver);
    if (st != ONDARA_OPEN_BRIDGE_FAILED || receiver != NULL) {
        printf("ondara consumer: opening a missing ring gave status %u\n", (unsigned)st);
        return 1;
    }
    if (strcmp(ondara_receiver_status_message(ONDARA_OK), "ok") != 0) {
        printf("ondara consumer: unexpected status message\n");
        return 1;
    }
    printf("ondara consumer: ok (%s)\n", ondara_receiver_status_message(st));
    return 0;
}
