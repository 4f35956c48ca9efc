// Packet diversion: captures the PC's outbound IPv4 packets for one address
// and injects packets into the PC's stack as if they had been received.
//
// Opening a handle for "outbound and ip.DstAddr == A" creates a
// point-to-point TUN interface, routes A/32 through it (with the link's local
// address on it, as pppd does) and gives a handle. Receiving reads one
// captured packet; sending with direction inbound hands a packet to the
// stack. Closing removes the interface and its route and makes a pending
// receive fail at once. Failures leave errno set (1 without CAP_NET_ADMIN).
#pragma once

#include <QtGlobal>

using DivertHandle = qintptr;
constexpr DivertHandle INVALID_DIVERT_HANDLE = -1;

enum DivertLayer { DIVERT_LAYER_NETWORK = 0 };

struct DivertAddress {
    quint32 IfIdx = 0;
    quint32 SubIfIdx = 0;
    quint8 Direction = 0; // DIVERT_DIRECTION_*
};

enum { DIVERT_DIRECTION_OUTBOUND = 0, DIVERT_DIRECTION_INBOUND = 1 };

// localAddress (host order, 0 = none) becomes the interface's own address,
// so connections to A leave with it as their source.
DivertHandle WinDivertOpen(const char *filter, int layer, qint16 priority, quint64 flags,
                           quint32 localAddress = 0);
bool WinDivertRecv(DivertHandle handle, void *packet, uint packetLen, DivertAddress *addr, uint *recvLen);
bool WinDivertSend(DivertHandle handle, const void *packet, uint packetLen, const DivertAddress *addr,
                   uint *writeLen);
bool WinDivertClose(DivertHandle handle);

// The interface name behind a handle (empty when the handle is not open).
QByteArray WinDivertInterfaceName(DivertHandle handle);
