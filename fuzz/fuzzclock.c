/* lwIP's port for the fuzz targets: the project's own (sys_arch.c), with its
 * clock moved by the target instead of by time. Timers then fire at once when
 * the target says so, and every run is reproducible: the random source is
 * seeded from a wall clock that never moves. */
#include <stdint.h>
#include <time.h>

static int64_t fuzz_monotonic_ms;

void fuzz_clock_advance(unsigned int ms)
{
    fuzz_monotonic_ms += ms;
}

static int fuzz_clock_gettime(clockid_t id, struct timespec *ts)
{
    const int64_t ms = id == CLOCK_MONOTONIC ? fuzz_monotonic_ms : INT64_C(1700000000000);
    ts->tv_sec = (time_t)(ms / 1000);
    ts->tv_nsec = (long)(ms % 1000) * 1000000L;
    return 0;
}

#define clock_gettime fuzz_clock_gettime
#include "sys_arch.c"
