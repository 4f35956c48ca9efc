// TCP keep-alive values for the device connections: probing starts after
// 10 s of silence and repeats every second, so a pulled cable is noticed
// within seconds instead of the system's two hours.
#pragma once

#include <QtGlobal>

// Times in milliseconds, as the callers think of them; the kernel takes
// whole seconds, so they are rounded up to at least one second.
constexpr unsigned kKeepAliveTimeMs = 10000;
constexpr unsigned kKeepAliveIntervalMs = 1000;
// Unanswered probes before an idle connection counts as dead (the Linux
// default, set explicitly so the limits below do not depend on sysctl).
constexpr int kKeepAliveProbes = 9;

// The limit for sent data that stays unacknowledged: the same time an idle
// connection takes to be given up (keep-alive time + probes x interval).
// Keep-alive never probes a connection with data in flight, so without it
// the kernel's retransmission limit (about 15 minutes) would decide.
constexpr unsigned keepaliveUserTimeoutMs(unsigned timeMs, unsigned intervalMs)
{
    return ((timeMs + 999) / 1000 + kKeepAliveProbes * ((intervalMs + 999) / 1000)) * 1000;
}

// Switches keep-alive on for a connected TCP socket, sets both times, the
// probe count and the user timeout (TCP_USER_TIMEOUT) that matches them.
// Returns 0 on success, else the errno of the first call that failed.
int setKeepalives(qintptr descriptor, unsigned timeMs = kKeepAliveTimeMs,
                  unsigned intervalMs = kKeepAliveIntervalMs);
