/* A clock that runs FASTCLOCK_FACTOR (default 60) times faster for one process, loaded with
 * LD_PRELOAD by system tests that must see the updater's network timeouts (minutes) within
 * seconds: poll timeouts shrink by the factor and the monotonic clock advances by it. The
 * updater itself is unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <poll.h>
#include <stdlib.h>
#include <time.h>

static long factor(void)
{
    static long value;
    if (value == 0)
    {
        const char* text = getenv("FASTCLOCK_FACTOR");
        value = text ? atol(text) : 60;
        if (value < 1)
            value = 1;
    }
    return value;
}

int poll(struct pollfd* fds, nfds_t count, int timeout)
{
    static int (*real)(struct pollfd*, nfds_t, int);
    if (!real)
        real = (int (*)(struct pollfd*, nfds_t, int))dlsym(RTLD_NEXT, "poll");
    if (timeout > 0)
    {
        timeout = (int)(timeout / factor());
        if (timeout == 0)
            timeout = 1;
    }
    return real(fds, count, timeout);
}

int clock_gettime(clockid_t clock, struct timespec* now)
{
    static int (*real)(clockid_t, struct timespec*);
    static struct timespec start;
    if (!real)
        real = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
    int result = real(clock, now);
    if (result != 0 ||
        (clock != CLOCK_MONOTONIC && clock != CLOCK_MONOTONIC_COARSE && clock != CLOCK_BOOTTIME))
        return result;
    if (start.tv_sec == 0 && start.tv_nsec == 0)
        start = *now;
    long long elapsed =
        (long long)(now->tv_sec - start.tv_sec) * 1000000000LL + (now->tv_nsec - start.tv_nsec);
    elapsed *= factor();
    now->tv_sec = start.tv_sec + (time_t)(elapsed / 1000000000LL);
    now->tv_nsec = start.tv_nsec + (long)(elapsed % 1000000000LL);
    if (now->tv_nsec >= 1000000000L)
    {
        now->tv_sec += 1;
        now->tv_nsec -= 1000000000L;
    }
    return result;
}
