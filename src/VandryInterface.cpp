// The C boundary: eight thin exports over the subsystems, the process-wide
// state, and the Windows DLL entry.
#include "VandryInterface.h"

#include "hid_reports.h"
#include "port_protocol.h"
#include "sbus_output.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace {

// Zero at load, so no constructor runs and no guard variable is needed.
constinit vandry::PortStream port_stream;
constinit vandry::SbusFooterCounter sbus_footer;

constexpr std::uint8_t flag(bool value) { return value ? 1 : 0; }

// Out of line, so that a call that only appends to the held frame is a leaf.
[[gnu::noinline]] std::uint8_t scan_port_data(std::span<const uint8_t> chunk, channel_values* channels,
                                              channel_banks* banks) {
    return flag(port_stream.scan(chunk, vandry::RecordSink{channels, banks}) != 0);
}

}  // namespace

extern "C" {

VANDRY_API void request_upload_port_data(uint8_t* buf, uint8_t param1, uint8_t param2) {
    if (buf != nullptr) {
        vandry::write_request_upload(std::span<uint8_t, vandry::kRequestUploadFrameSize>(buf, vandry::kRequestUploadFrameSize),
                                     param1, param2);
    }
}

VANDRY_API void stop_upload_port_data(uint8_t* buf) {
    if (buf != nullptr) {
        vandry::write_stop_upload(std::span<uint8_t, vandry::kStopUploadFrameSize>(buf, vandry::kStopUploadFrameSize));
    }
}

VANDRY_API uint8_t parse_port_data(const uint8_t* data, uint8_t len, channel_values* channels,
                                   channel_banks* banks) {
    if (data == nullptr || port_stream.hold_if_undecided({data, len})) {
        return 0;
    }
    return scan_port_data({data, len}, channels, banks);
}

VANDRY_API uint8_t parse_hid_game_controller_device(game_controller_state* state, const uint8_t* report,
                                                    uint8_t len) {
    if (state == nullptr || report == nullptr) {
        return 0;
    }
    return flag(vandry::decode_game_controller_report({report, len}, *state));
}

VANDRY_API uint8_t parse_hid_compatible_device(channel_values* channels, const uint8_t* report, uint8_t len) {
    if (channels == nullptr || report == nullptr) {
        return 0;
    }
    return flag(vandry::decode_compatible_report({report, len}, *channels));
}

VANDRY_API void convert_std_sbus_data(sbus_channels* dst, const uint16_t* src) {
    if (dst != nullptr && src != nullptr) {
        vandry::scale_to_sbus(dst->channel, src);
    }
}

VANDRY_API void encode_sbus_data_v1(sbus_frame* frame, const sbus_channels* channels) {
    if (frame != nullptr && channels != nullptr) {
        vandry::pack_sbus_frame(*frame, *channels, vandry::kSbusPlainFooter);
    }
}

VANDRY_API void encode_sbus_data_v2(sbus_frame* frame, const sbus_channels* channels) {
    if (frame != nullptr && channels != nullptr) {
        vandry::pack_sbus_frame(*frame, *channels, sbus_footer.next());
    }
}

}  // extern "C"

#if defined(_WIN32)
// Every load, unload and thread notification is accepted; there is nothing
// to set up or tear down.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
