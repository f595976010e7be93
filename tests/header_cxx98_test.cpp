// The public header in a C++98 host that asks for the unprefixed names of
// version 1.0: it compiles with -std=c++98 -pedantic, and each short name has
// its prefixed name's value. Exits 0 when all checks hold.
#define VANDRY_SHORT_NAMES
#include "VandryInterface.h"

#include <cstdio>

namespace {

struct ShortName {
    const char* name;
    int value;
    int prefixed_value;
};

#define SHORT_NAME(name) {#name, name, VANDRY_##name}
const ShortName kShortNames[] = {
    SHORT_NAME(FRAME_HEAD),
    SHORT_NAME(FRAME_TAIL),
    SHORT_NAME(FRAME_OVERHEAD),
    SHORT_NAME(CMD_REQUEST_UPLOAD),
    SHORT_NAME(CMD_STOP_UPLOAD),
    SHORT_NAME(CMD_UPLOAD_DATA),
    SHORT_NAME(PAYLOAD_CHANNELS),
    SHORT_NAME(PAYLOAD_BANKS),
    SHORT_NAME(PAYLOAD_BOTH),
    SHORT_NAME(PORT_BUFFER_SIZE),
    SHORT_NAME(REQUEST_UPLOAD_FRAME_SIZE),
    SHORT_NAME(STOP_UPLOAD_FRAME_SIZE),
    SHORT_NAME(HID_GAME_CONTROLLER_REPORT_SIZE),
    SHORT_NAME(HID_COMPATIBLE_REPORT_SIZE),
    SHORT_NAME(SBUS_FRAME_SIZE),
    SHORT_NAME(SBUS_CHANNEL_COUNT),
    SHORT_NAME(SBUS_CHANNEL_MAX),
    SHORT_NAME(CHANNEL_VALUE_COUNT),
    SHORT_NAME(CHANNEL_BANK_COUNT),
    SHORT_NAME(CHANNEL_BANK_SIZE),
};
#undef SHORT_NAME

}  // namespace

int main() {
    int failures = 0;
    for (std::size_t k = 0; k < sizeof kShortNames / sizeof kShortNames[0]; ++k) {
        const ShortName& n = kShortNames[k];
        if (n.value != n.prefixed_value) {
            std::fprintf(stderr, "header_cxx98_test: %s is %d, not %d\n", n.name, n.value, n.prefixed_value);
            ++failures;
        }
    }
    uint8_t start[REQUEST_UPLOAD_FRAME_SIZE];
    request_upload_port_data(start, 0x12, 0x34);
    if (start[0] != FRAME_HEAD || start[1] != CMD_REQUEST_UPLOAD || start[6] != FRAME_TAIL) {
        std::fprintf(stderr, "header_cxx98_test: the start frame is wrong\n");
        ++failures;
    }
    if (failures == 0) std::printf("C++98 host with the short names: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
