/* VandryStream.h in a C89 program, and compiled as C++98 in a C++ one: two
 * streams, a frame cut across calls, the callback's records. Exits 0 when
 * all checks hold. */
#include "VandryStream.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

/* The layout that built hosts and the Python binding rely on, the same on
 * Linux and Windows: a build where it changes fails here. */
struct stream_in_struct {
    char before;
    vandry_stream stream;
};
typedef char stream_is_512_bytes[sizeof(vandry_stream) == 512 ? 1 : -1];
typedef char stream_is_pointer_aligned[offsetof(struct stream_in_struct, stream) == sizeof(void *) ? 1 : -1];
typedef char frame_type_first[offsetof(vandry_frame, type) == 0 ? 1 : -1];
typedef char frame_channels_second[offsetof(vandry_frame, channels) == sizeof(void *) ? 1 : -1];
typedef char frame_banks_third[offsetof(vandry_frame, banks) == 2 * sizeof(void *) ? 1 : -1];
typedef char frame_is_three_words[sizeof(vandry_frame) == 3 * sizeof(void *) ? 1 : -1];

struct seen {
    unsigned frames;
    unsigned type;
    unsigned first_channel;
    int had_banks;
};

static int failures = 0;
#define CHECK(cond)                                                    \
    do {                                                               \
        if (!(cond)) {                                                 \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
            failures++;                                                \
        }                                                              \
    } while (0)

static void on_frame(void *user, const vandry_frame *frame) {
    struct seen *s = (struct seen *)user;
    s->frames++;
    s->type = frame->type;
    s->first_channel = frame->channels != NULL ? frame->channels->channel[0] : 0u;
    s->had_banks = frame->banks != NULL;
}

int main(void) {
    static vandry_stream zeroed; /* static storage: already a fresh stream */
    vandry_stream stream;
    uint8_t frame[36];
    struct seen seen_stream, seen_zeroed;

    memset(frame, 0, sizeof frame);
    frame[0] = VANDRY_FRAME_HEAD;
    frame[1] = VANDRY_CMD_UPLOAD_DATA;
    frame[2] = 31;
    frame[4] = VANDRY_PAYLOAD_CHANNELS;
    frame[5] = 0x34;
    frame[6] = 0x12;
    frame[35] = VANDRY_FRAME_TAIL;
    memset(&seen_stream, 0, sizeof seen_stream);
    memset(&seen_zeroed, 0, sizeof seen_zeroed);

    vandry_stream_init(&stream);
    CHECK(vandry_stream_feed(&stream, frame, 20, on_frame, &seen_stream) == 0);
    CHECK(vandry_stream_pending(&stream) == 20);
    CHECK(vandry_stream_feed(&zeroed, frame, sizeof frame, on_frame, &seen_zeroed) == 1);
    CHECK(vandry_stream_feed(&stream, frame + 20, 16, on_frame, &seen_stream) == 1);
    CHECK(seen_stream.frames == 1 && seen_stream.type == VANDRY_PAYLOAD_CHANNELS);
    CHECK(seen_stream.first_channel == 0x1234 && !seen_stream.had_banks);
    CHECK(seen_zeroed.frames == 1 && seen_zeroed.first_channel == 0x1234);
    vandry_stream_reset(&stream);
    CHECK(vandry_stream_pending(&stream) == 0);
    CHECK(vandry_stream_feed(&stream, frame, sizeof frame, NULL, NULL) == 1);

    if (failures == 0) printf("VandryStream.h consumer: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
