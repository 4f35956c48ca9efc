#include "platform/keepalive.h"

#include <cerrno>
#include <cmath>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace
{
int wholeSeconds(unsigned ms)
{
    const unsigned s = (ms + 999) / 1000;
    return s == 0 ? 1 : int(s);
}
} // namespace

int setKeepalives(qintptr descriptor, unsigned timeMs, unsigned intervalMs)
{
    const int fd = int(descriptor);
    const int on = 1;
    const int idle = wholeSeconds(timeMs);
    const int interval = wholeSeconds(intervalMs);
    if (::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) != 0)
        return errno;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle)) != 0)
        return errno;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval)) != 0)
        return errno;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof(kKeepAliveProbes)) != 0)
        return errno;
    // With a user timeout set, the kernel also ends an idle connection by it
    // (once that long has passed since the last ack and a probe went out)
    // instead of by the probe count; keep-alive time + probes x interval
    // keeps idle detection where the probe count puts it: after the ninth
    // unanswered probe.
    const unsigned userTimeout = keepaliveUserTimeoutMs(unsigned(idle) * 1000, unsigned(interval) * 1000);
    if (::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof(userTimeout)) != 0)
        return errno;
    return 0;
}

LineKeepalive keepaliveForLine(double bytesPerSecond, int connections)
{
    LineKeepalive k;
    k.windowBytes = kLineWindowBytes;
    if (bytesPerSecond <= 0)
        return k;
    const double queued = (double(qMax(1, connections)) * kLineWindowBytes + 2.0 * kLineFrameBytes) * 9 / 8;
    const double roundTripMs = queued * 1000 / bytesPerSecond + 2000;
    const unsigned interval = unsigned(std::ceil(roundTripMs / (kKeepAliveProbes - 1) / 1000)) * 1000;
    k.intervalMs = qMax(kKeepAliveIntervalMs, interval);
    return k;
}

int limitLineWindows(qintptr descriptor, int bytes)
{
    if (::setsockopt(int(descriptor), IPPROTO_TCP, TCP_WINDOW_CLAMP, &bytes, sizeof(bytes)) != 0)
        return errno;
    // The kernel doubles the value for its own bookkeeping: what stays in
    // flight is then about two or three segments.
    if (::setsockopt(int(descriptor), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes)) != 0)
        return errno;
    return 0;
}
