/* The comparator of the SBUS benchmark: a function that does nothing,
 * exported from a shared library of its own, so that calling it costs what
 * calling an export of VandryInterface costs before any work is done. */
#if defined(__GNUC__)
#define EMPTY_EXPORT __attribute__((visibility("default")))
#else
#define EMPTY_EXPORT
#endif

EMPTY_EXPORT void vandry_bench_empty_export(void *out, const void *in) {
    (void)out;
    (void)in;
}
