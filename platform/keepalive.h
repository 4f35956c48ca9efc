// TCP keep-alive values for the device connections: probing starts after
// 10 s of silence and repeats every second, so a pulled cable is noticed
// within seconds instead of the system's two hours.
#pragma once

#include <QtGlobal>

// Times in milliseconds, as the callers think of them; the kernel takes
// whole seconds, so they are rounded up to at least one second.
constexpr unsigned kKeepAliveTimeMs = 10000;
constexpr unsigned kKeepAliveIntervalMs = 1000;

// Switches keep-alive on for a connected TCP socket and sets both times.
// Returns 0 on success, else the errno of the first call that failed.
int setKeepalives(qintptr descriptor, unsigned timeMs = kKeepAliveTimeMs,
                  unsigned intervalMs = kKeepAliveIntervalMs);
