/*
 * VandryStream — follow any number of Vandry port streams, and see every
 * upload-data frame.
 *
 * parse_port_data of VandryInterface keeps one parser for the whole process
 * and says only whether a call decoded something. Here the parser's state is
 * a struct that the caller owns: one vandry_stream per device, on the stack,
 * in a struct of the caller's, or anywhere else. Each accepted upload-data
 * frame is handed to a callback, in stream order, with its payload type.
 *
 * The stream rules are exactly those of parse_port_data (see
 * VandryInterface.h): frames of up to VANDRY_PORT_BUFFER_SIZE bytes, a
 * result that does not depend on how the stream is cut, no byte ever
 * refused. The library allocates nothing, uses no C library and keeps no
 * global state: streams are independent and may live on different threads;
 * the calls on one stream must not overlap in time.
 *
 * The header compiles as C89 and later, and as C++98 and later.
 */
#ifndef VANDRY_STREAM_H
#define VANDRY_STREAM_H

#include <stddef.h>
#include <stdint.h>

#include "VandryInterface.h" /* the records and the wire constants */

/*
 * VANDRY_STREAM_API marks the exports. Define VANDRY_STREAM_BUILDING while
 * building the library; define VANDRY_STREAM_STATIC when linking its static
 * library (libVandryStream.a).
 */
#if defined(VANDRY_STREAM_STATIC)
#define VANDRY_STREAM_API
#elif defined(_WIN32)
#if defined(VANDRY_STREAM_BUILDING)
#define VANDRY_STREAM_API __declspec(dllexport)
#else
#define VANDRY_STREAM_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define VANDRY_STREAM_API __attribute__((visibility("default")))
#else
#define VANDRY_STREAM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * One port stream's parser state: 512 bytes, owned by the caller, contents
 * private. A zeroed struct (static storage, memset, or vandry_stream_init)
 * is a fresh stream. (A struct that was never initialised is taken as a
 * fresh stream as well when its contents make no sense; do not rely on it.)
 * It holds no pointer into itself: a copy (memcpy, assignment, a C++ move)
 * is a stream of its own that holds what the original held.
 */
typedef struct vandry_stream {
    union {
        uint8_t bytes[512];
        void *align_pointer;
        double align_double;
    } opaque_;
} vandry_stream;

/*
 * One accepted upload-data frame, as the callback sees it. The records it
 * points to are the library's and valid only during the callback; copy what
 * you keep.
 */
typedef struct vandry_frame {
    uint8_t type;                   /* the payload type byte */
    const channel_values *channels; /* types 0 and 2, else NULL */
    const channel_banks *banks;     /* types 1 and 2, else NULL */
} vandry_frame;

/* Called once for every accepted upload-data frame. It must not feed or
 * reset the stream that calls it. One that does anyway cannot make the
 * library write outside the stream or read outside the data: a reset or init
 * there has no effect (the call that ran the callback decides the stream),
 * and bytes fed there are parsed but may leave the held bytes wrong. A
 * callback that rewrites the data being fed cannot make the library read
 * past a frame: one now too short for the type it claims is not delivered. */
typedef void (*vandry_frame_fn)(void *user, const vandry_frame *frame);

/* Makes *stream a fresh stream; a zeroed struct is one as well. A null
 * stream does nothing. */
VANDRY_STREAM_API void vandry_stream_init(vandry_stream *stream);

/* Drops the pending bytes, as after a reconnect: no frame begun before the
 * reset is ever joined with bytes fed after it. A null stream does nothing. */
VANDRY_STREAM_API void vandry_stream_reset(vandry_stream *stream);

/*
 * Feeds len bytes read from the device's port, in the order received, in
 * chunks of any size and with no regard for frame boundaries. Calls
 * on_frame(user, frame) for every upload-data frame that these bytes
 * complete and that is accepted, in stream order, before returning:
 *   - a frame of an unknown payload type is delivered with both pointers NULL;
 *   - a frame shorter than its payload type needs (31, 65 or 95 payload
 *     bytes) is skipped and not delivered.
 * on_frame may be NULL: the frames are then only counted.
 *
 * Returns the number of frames accepted during this call. A null stream,
 * null data with len > 0, or a len above PTRDIFF_MAX (no buffer is that
 * large: it is a negative count converted, such as a failed read's -1)
 * returns 0 and changes nothing; len 0 returns 0.
 */
VANDRY_STREAM_API size_t vandry_stream_feed(vandry_stream *stream, const uint8_t *data, size_t len,
                                            vandry_frame_fn on_frame, void *user);

/* The number of bytes held for a frame that has not been decided yet
 * (always below VANDRY_PORT_BUFFER_SIZE); 0 for a null stream. */
VANDRY_STREAM_API size_t vandry_stream_pending(const vandry_stream *stream);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VANDRY_STREAM_H */
