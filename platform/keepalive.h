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

// Connections carried by a slow serial line (PPP mode) share it with each
// other's bulk data, so a keep-alive probe and its answer may wait behind
// what is queued on the line. The rule that keeps a live but busy line from
// ending them while a dead device is still noticed soon:
//  - each connection's receive window is clamped to two full segments
//    (kLineWindowBytes), so the device never has more than that of one
//    connection queued toward us: at most connections x window on the line;
//    its send buffer is limited alike, so the PC keeps about as little of
//    it in flight toward the device;
//  - toward the device, the PPP engine passes packets without payload (acks,
//    probes, their answers) ahead of bulk data: a probe waits for at most
//    the frame on the wire;
//  - a probe's round trip is then at most (connections x window + two full
//    frames) x 9/8 (escaping) of line time, plus 2 s for the two ends;
//  - the probes must span it with one interval to spare: interval =
//    round trip / (probes - 1), in whole seconds, at least 1 s. The idle time
//    stays 10 s, the user timeout follows (keepaliveUserTimeoutMs).
// At 115200 baud this keeps 1 s (a dead device noticed after 19 s) up to
// 20 connections; at 9600 baud a PC interface and one tunnel (3
// connections) give 2 s (28 s), seven connections 4 s (46 s).
constexpr int kLineWindowBytes = 2 * 1460;
constexpr int kLineFrameBytes = 1500 + 8;

struct LineKeepalive {
    unsigned timeMs = kKeepAliveTimeMs;
    unsigned intervalMs = kKeepAliveIntervalMs;
    int windowBytes = 0; // receive window clamp, 0 = none
};
LineKeepalive keepaliveForLine(double bytesPerSecond, int connections);

// Limits the window a connected TCP socket offers its peer (TCP_WINDOW_CLAMP)
// and what it keeps in flight itself (its send buffer) to about bytes.
// Returns 0 on success, else the errno.
int limitLineWindows(qintptr descriptor, int bytes);

// Switches keep-alive on for a connected TCP socket, sets both times, the
// probe count and the user timeout (TCP_USER_TIMEOUT) that matches them.
// Returns 0 on success, else the errno of the first call that failed.
int setKeepalives(qintptr descriptor, unsigned timeMs = kKeepAliveTimeMs,
                  unsigned intervalMs = kKeepAliveIntervalMs);
