/* The public header in a C99 program: the records, the constants and every
 * export, linked against the library. Exits 0 when all checks hold. */
#include "VandryInterface.h"

#include <stdio.h>

static int failures = 0;
#define CHECK(cond)                                             \
    do {                                                        \
        if (!(cond)) {                                          \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
            failures++;                                         \
        }                                                       \
    } while (0)

int main(void) {
    uint8_t command[VANDRY_REQUEST_UPLOAD_FRAME_SIZE];
    uint8_t stop[VANDRY_STOP_UPLOAD_FRAME_SIZE];
    uint8_t frame[36] = {VANDRY_FRAME_HEAD, VANDRY_CMD_UPLOAD_DATA, 31, 0, VANDRY_PAYLOAD_CHANNELS};
    uint8_t report[VANDRY_HID_COMPATIBLE_REPORT_SIZE] = {VANDRY_FRAME_HEAD};
    channel_values channels = {{0}};
    channel_banks banks = {{{0}}};
    game_controller_state state = {0};
    sbus_channels sbus = {{0}};
    sbus_frame out = {{0x0F}};
    uint16_t source[VANDRY_SBUS_CHANNEL_COUNT] = {1200};

    request_upload_port_data(command, 0x12, 0x34);
    CHECK(command[0] == VANDRY_FRAME_HEAD && command[1] == VANDRY_CMD_REQUEST_UPLOAD && command[4] == 0x12 && command[6] == VANDRY_FRAME_TAIL);
    stop_upload_port_data(stop);
    CHECK(stop[1] == VANDRY_CMD_STOP_UPLOAD && stop[4] == VANDRY_FRAME_TAIL);

    frame[5] = 0x34;
    frame[6] = 0x12;
    frame[35] = VANDRY_FRAME_TAIL;
    CHECK(parse_port_data(frame, 36, &channels, &banks) == 1);
    CHECK(channels.channel[0] == 0x1234);

    CHECK(parse_hid_game_controller_device(&state, report, VANDRY_HID_GAME_CONTROLLER_REPORT_SIZE) == 1);
    CHECK(state.value_0 == VANDRY_FRAME_HEAD);
    report[4] = 0x21;
    CHECK(parse_hid_compatible_device(&channels, report, VANDRY_HID_COMPATIBLE_REPORT_SIZE) == 1);
    CHECK(channels.channel[0] == 0x0021);

    convert_std_sbus_data(&sbus, source);
    CHECK(sbus.channel[0] == VANDRY_SBUS_CHANNEL_MAX);
    encode_sbus_data_v1(&out, &sbus);
    CHECK(out.bytes[0] == 0x0F && out.bytes[1] == 0xFF && out.bytes[2] == 0x07 && out.bytes[24] == 0x00);
    encode_sbus_data_v2(&out, &sbus);
    CHECK(out.bytes[24] == 0x04);

    CHECK(sizeof(channel_banks) == 64 && sizeof(sbus_frame) == VANDRY_SBUS_FRAME_SIZE);
    CHECK(VANDRY_INTERFACE_VERSION_MAJOR >= 1);
    if (failures == 0) printf("C99 consumer: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
