/*
 * VandryInterface — talk to a Vandry radio-control device.
 *
 * The library does no I/O. The host opens the device's port or HID device,
 * reads and writes the bytes itself, and hands them to these functions:
 *
 *   - request_upload_port_data / stop_upload_port_data build the command
 *     frames that start and stop the device's upload;
 *   - parse_port_data reassembles the port's byte stream into frames and
 *     decodes upload-data frames into channel records;
 *   - parse_hid_game_controller_device / parse_hid_compatible_device decode
 *     HID input reports;
 *   - convert_std_sbus_data / encode_sbus_data_v1 / encode_sbus_data_v2 scale
 *     channel values and pack them into 25-byte SBUS frames.
 *
 * Every buffer and record belongs to the caller and is only borrowed for the
 * length of a call. Results are one-byte flags: 1 for done or decoded, 0 for
 * rejected or nothing decoded. A null pointer where a buffer or record is
 * required makes the call do nothing (and return 0 where there is a result).
 *
 * Threads: every function except parse_port_data and encode_sbus_data_v2 is
 * a pure function of its arguments and may run on any thread. Those two keep
 * process-wide state (see their comments).
 *
 * The header compiles as C89 and later, and as C++98 and later.
 */
#ifndef VANDRY_INTERFACE_H
#define VANDRY_INTERFACE_H

/* The library's version; the build reads it from here. */
#define VANDRY_INTERFACE_VERSION_MAJOR 1
#define VANDRY_INTERFACE_VERSION_MINOR 1
#define VANDRY_INTERFACE_VERSION_PATCH 0

/* The Windows resource compiler reads only the version from this header. */
#ifndef RC_INVOKED

#include <stddef.h>
#include <stdint.h>

/*
 * VANDRY_API marks the exports. Define VANDRY_INTERFACE_BUILDING while
 * building the library; define VANDRY_INTERFACE_STATIC when the library's
 * sources are compiled into the program itself.
 */
#if defined(VANDRY_INTERFACE_STATIC)
#define VANDRY_API
#elif defined(_WIN32)
#if defined(VANDRY_INTERFACE_BUILDING)
#define VANDRY_API __declspec(dllexport)
#else
#define VANDRY_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define VANDRY_API __attribute__((visibility("default")))
#else
#define VANDRY_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Wire constants ---------------------------------------------------- */
/* Every name the header defines carries the VANDRY_ prefix, so that a host's
 * own FRAME_HEAD or SBUS_FRAME_SIZE cannot collide with it. Define
 * VANDRY_SHORT_NAMES before including the header to get the unprefixed
 * names of version 1.0 as well. */

/* A port frame: head, command, payload length N (little-endian 16 bits),
 * N payload bytes, tail. It is N + 5 bytes long and carries no checksum. */
enum {
    VANDRY_FRAME_HEAD = 0xFA,
    VANDRY_FRAME_TAIL = 0x5F,
    VANDRY_FRAME_OVERHEAD = 5 /* head, command, two length bytes, tail */
};

/* Command bytes. */
enum {
    VANDRY_CMD_REQUEST_UPLOAD = 0xE5, /* host to device: start the upload */
    VANDRY_CMD_STOP_UPLOAD = 0xE4,    /* host to device: stop the upload */
    VANDRY_CMD_UPLOAD_DATA = 0xA5     /* device to host: channel data */
};

/* The first payload byte of an upload-data frame: which records it fills. */
enum {
    VANDRY_PAYLOAD_CHANNELS = 0, /* 15 channel values: 31 payload bytes */
    VANDRY_PAYLOAD_BANKS = 1,    /* two banks of 16 values: 65 payload bytes */
    VANDRY_PAYLOAD_BOTH = 2      /* 15 channel values, then both banks: 95 bytes */
};

/* Sizes of the buffers and frames that cross the boundary. */
enum {
    VANDRY_PORT_BUFFER_SIZE = 500,          /* the longest frame the parser takes */
    VANDRY_REQUEST_UPLOAD_FRAME_SIZE = 7,   /* written by request_upload_port_data */
    VANDRY_STOP_UPLOAD_FRAME_SIZE = 5,      /* written by stop_upload_port_data */
    VANDRY_HID_GAME_CONTROLLER_REPORT_SIZE = 19,
    VANDRY_HID_COMPATIBLE_REPORT_SIZE = 35,
    VANDRY_SBUS_FRAME_SIZE = 25,
    VANDRY_SBUS_CHANNEL_COUNT = 16,
    VANDRY_SBUS_CHANNEL_MAX = 2047,
    VANDRY_CHANNEL_VALUE_COUNT = 15,
    VANDRY_CHANNEL_BANK_COUNT = 2,
    VANDRY_CHANNEL_BANK_SIZE = 16
};

#if defined(VANDRY_SHORT_NAMES)
enum {
    FRAME_HEAD = VANDRY_FRAME_HEAD,
    FRAME_TAIL = VANDRY_FRAME_TAIL,
    FRAME_OVERHEAD = VANDRY_FRAME_OVERHEAD,
    CMD_REQUEST_UPLOAD = VANDRY_CMD_REQUEST_UPLOAD,
    CMD_STOP_UPLOAD = VANDRY_CMD_STOP_UPLOAD,
    CMD_UPLOAD_DATA = VANDRY_CMD_UPLOAD_DATA,
    PAYLOAD_CHANNELS = VANDRY_PAYLOAD_CHANNELS,
    PAYLOAD_BANKS = VANDRY_PAYLOAD_BANKS,
    PAYLOAD_BOTH = VANDRY_PAYLOAD_BOTH,
    PORT_BUFFER_SIZE = VANDRY_PORT_BUFFER_SIZE,
    REQUEST_UPLOAD_FRAME_SIZE = VANDRY_REQUEST_UPLOAD_FRAME_SIZE,
    STOP_UPLOAD_FRAME_SIZE = VANDRY_STOP_UPLOAD_FRAME_SIZE,
    HID_GAME_CONTROLLER_REPORT_SIZE = VANDRY_HID_GAME_CONTROLLER_REPORT_SIZE,
    HID_COMPATIBLE_REPORT_SIZE = VANDRY_HID_COMPATIBLE_REPORT_SIZE,
    SBUS_FRAME_SIZE = VANDRY_SBUS_FRAME_SIZE,
    SBUS_CHANNEL_COUNT = VANDRY_SBUS_CHANNEL_COUNT,
    SBUS_CHANNEL_MAX = VANDRY_SBUS_CHANNEL_MAX,
    CHANNEL_VALUE_COUNT = VANDRY_CHANNEL_VALUE_COUNT,
    CHANNEL_BANK_COUNT = VANDRY_CHANNEL_BANK_COUNT,
    CHANNEL_BANK_SIZE = VANDRY_CHANNEL_BANK_SIZE
};
#endif

/* ---- Records ----------------------------------------------------------- */
/* Plain arrays of unsigned 16-bit values in host byte order, no padding. */

/* Channel values 1 to 15, as the device sends them. */
typedef struct channel_values {
    uint16_t channel[15];
} channel_values;

/* Two banks of 16 values: bank[0] is followed directly by bank[1]. */
typedef struct channel_banks {
    uint16_t bank[2][16];
} channel_banks;

/* The fields of the 19-byte game-controller HID report. */
typedef struct game_controller_state {
    uint16_t value_0;
    uint16_t value_1;
    uint16_t value_2;
    uint16_t value_3;
    uint16_t value_4;
    uint16_t value_5;
    uint16_t value_6;
    uint16_t value_7;
    uint16_t value_8;
    uint16_t value_9;
    uint16_t value_10;
} game_controller_state;

/* SBUS channels 1 to 16, each in 0..2047. */
typedef struct sbus_channels {
    uint16_t channel[16];
} sbus_channels;

/* One 25-byte SBUS frame. bytes[0] belongs to the caller. */
typedef struct sbus_frame {
    uint8_t bytes[25];
} sbus_frame;

/* ---- Command frames ---------------------------------------------------- */

/*
 * Writes the 7-byte frame that starts the device's upload:
 * FA E5 02 00 param1 param2 5F. The two argument bytes belong to the device
 * and are written unchanged (no escaping). Touches only buf[0..6].
 * A null buf writes nothing. Pure; any thread.
 */
VANDRY_API void request_upload_port_data(uint8_t *buf, uint8_t param1, uint8_t param2);

/*
 * Writes the 5-byte frame that stops the device's upload: FA E4 00 00 5F.
 * Touches only buf[0..4]. A null buf writes nothing. Pure; any thread.
 */
VANDRY_API void stop_upload_port_data(uint8_t *buf);

/* ---- Port stream ------------------------------------------------------- */

/*
 * Feeds len bytes read from the device's port, in the order received, with
 * no regard for frame boundaries. The parser joins them to the bytes left
 * over from the previous call, decodes every complete upload-data frame
 * into the records (each frame overwrites only the record its payload type
 * fills) and keeps an unfinished frame for the next call.
 *
 * data:     the received bytes. When it is null the call returns 0 and
 *           changes nothing, whatever len says.
 * channels: filled by payload types VANDRY_PAYLOAD_CHANNELS and VANDRY_PAYLOAD_BOTH; may be null.
 * banks:    filled by payload types VANDRY_PAYLOAD_BANKS and VANDRY_PAYLOAD_BOTH; may be null.
 *
 * Returns 1 when at least one upload-data frame was accepted during this
 * call (also one of an unknown payload type, or with both records null);
 * 0 otherwise, and always for len 0 or a null data pointer. A frame too
 * short for its payload type is skipped and sets nothing. No chunk is ever
 * refused: a chunk is taken whole, however many bytes are pending.
 *
 * The result depends only on the byte stream, not on how it is cut into
 * calls. The parser's state is process-wide: one process follows one port
 * stream, and calls must not overlap in time.
 */
VANDRY_API uint8_t parse_port_data(const uint8_t *data, uint8_t len,
                                   channel_values *channels, channel_banks *banks);

/* ---- HID reports ------------------------------------------------------- */

/*
 * Decodes the device's 19-byte game-controller report into *state.
 * Returns 1 after writing all 11 fields; returns 0 and writes nothing when
 * len is not 19 or a pointer is null. Bytes 17 and 18 are not read.
 *
 * Field layout (rN is report byte N):
 *   value_0..value_2  r0|r1<<8, r2|r3<<8, r4|r5<<8
 *   value_3           r6 | (r7 & 0x0F) << 8                 (12 bits)
 *   value_4           (r7 >> 4) | r8 << 8
 *   value_5           r9 | (r10 & 0x0F) << 8                (12 bits)
 *   value_6           (r10 >> 4) | r11 << 8
 *   value_7           r12 | (r13 & 0x0F) << 8               (12 bits)
 *   value_8           r13 >> 4                              (4 bits)
 *   value_9           r14 | r15 << 8
 *   value_10          r16
 * value_4 and value_6 keep the device's layout: the low nibble comes from
 * the high half of the shared byte and the next byte sits at bits 8..15, so
 * bits 4..7 are always 0. The 12-bit value is
 *   (v & 0x000F) | (v >> 4)
 * Pure; any thread.
 */
VANDRY_API uint8_t parse_hid_game_controller_device(game_controller_state *state,
                                                    const uint8_t *report, uint8_t len);

/*
 * Decodes the 35-byte compatible-device report, a port frame carrying 15
 * little-endian channel values at bytes 4..33, into *channels.
 * Returns 1 after writing all 15 values; returns 0 and writes nothing when
 * len is not 35, byte 0 is not VANDRY_FRAME_HEAD, or a pointer is null. Bytes 1..3
 * and 34 are not checked. Pure; any thread.
 */
VANDRY_API uint8_t parse_hid_compatible_device(channel_values *channels,
                                               const uint8_t *report, uint8_t len);

/* ---- SBUS output ------------------------------------------------------- */

/*
 * Scales 16 values into the SBUS range: dst[k] = src[k] * 1.706, truncated
 * toward zero, capped at 2047 (0..1200 maps onto 0..2047). src points at 16
 * values and may be dst->channel itself. A null pointer writes nothing.
 * Pure; any thread.
 */
VANDRY_API void convert_std_sbus_data(sbus_channels *dst, const uint16_t *src);

/*
 * Packs the 16 channels into frame->bytes[1..22] as 11-bit values, lowest
 * bit first; writes bytes[23] (flags) = 0x00 and bytes[24] (footer) = 0x00.
 * bytes[0] is left for the caller (0x0F on an SBUS line). A value above
 * 2047 is sent as 2047 and never disturbs another channel.
 * A null pointer writes nothing. Pure; any thread.
 */
VANDRY_API void encode_sbus_data_v1(sbus_frame *frame, const sbus_channels *channels);

/*
 * As encode_sbus_data_v1, but the footer cycles 0x04, 0x14, 0x24, 0x34 from
 * one call to the next, starting at 0x04 with the first call after the
 * library is loaded. The counter is process-wide. Calls from several threads
 * at once are not a data race, but two of them may get the same footer:
 * call it from one thread for an exact sequence.
 * A null pointer writes nothing and does not advance the counter.
 */
VANDRY_API void encode_sbus_data_v2(sbus_frame *frame, const sbus_channels *channels);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- Layout checks ----------------------------------------------------- */

#if defined(__cplusplus) && __cplusplus >= 201103L
#define VANDRY_STATIC_ASSERT(cond, name) static_assert(cond, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define VANDRY_STATIC_ASSERT(cond, name) _Static_assert(cond, #name)
#else
#define VANDRY_STATIC_ASSERT(cond, name) typedef char vandry_layout_##name[(cond) ? 1 : -1]
#endif

VANDRY_STATIC_ASSERT(sizeof(channel_values) == 30, channel_values_size);
VANDRY_STATIC_ASSERT(sizeof(channel_banks) == 64, channel_banks_size);
VANDRY_STATIC_ASSERT(offsetof(channel_banks, bank[1][0]) == 32, channel_banks_row1);
VANDRY_STATIC_ASSERT(sizeof(game_controller_state) == 22, game_controller_state_size);
VANDRY_STATIC_ASSERT(offsetof(game_controller_state, value_4) == 8, game_controller_value_4);
VANDRY_STATIC_ASSERT(offsetof(game_controller_state, value_10) == 20, game_controller_value_10);
VANDRY_STATIC_ASSERT(sizeof(sbus_channels) == 32, sbus_channels_size);
VANDRY_STATIC_ASSERT(sizeof(sbus_frame) == 25, sbus_frame_size);

#undef VANDRY_STATIC_ASSERT

#endif /* RC_INVOKED */
#endif /* VANDRY_INTERFACE_H */
