/* The public header in a C89 host that has its own FRAME_HEAD and
 * SBUS_FRAME_SIZE macros: it compiles with -std=c89 -pedantic, keeps the
 * host's macros, and the prefixed names reach the library. Exits 0 when all
 * checks hold. */
#define FRAME_HEAD 0x7E
#define SBUS_FRAME_SIZE 35

#include "VandryInterface.h"

#include <stdio.h>

static int failures = 0;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "header_c89_test: %s\n", what);
        failures++;
    }
}

int main(void) {
    uint8_t stop[VANDRY_STOP_UPLOAD_FRAME_SIZE];
    uint8_t host_frame[SBUS_FRAME_SIZE];
    sbus_channels channels;
    sbus_frame frame;
    int k;

    for (k = 0; k < VANDRY_SBUS_CHANNEL_COUNT; k++) channels.channel[k] = VANDRY_SBUS_CHANNEL_MAX;
    frame.bytes[0] = 0x0F;
    encode_sbus_data_v1(&frame, &channels);
    stop_upload_port_data(stop);

    check(FRAME_HEAD == 0x7E && sizeof host_frame == 35, "the host's own macros keep their values");
    check(stop[0] == VANDRY_FRAME_HEAD && stop[4] == VANDRY_FRAME_TAIL, "stop frame");
    check(frame.bytes[0] == 0x0F && frame.bytes[1] == 0xFF && frame.bytes[22] == 0xFF, "SBUS frame");
    check(sizeof frame == VANDRY_SBUS_FRAME_SIZE, "frame size");
    if (failures == 0) printf("C89 host with its own macros: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
