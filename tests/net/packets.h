// Hand-made IPv4 packets for tests of the packet path.
#pragma once

#include <QByteArray>
#include <cstring>
#include <vector>

namespace testpackets
{

inline void put16(quint16 v, uchar *b)
{
    b[0] = uchar(v >> 8);
    b[1] = uchar(v);
}
inline void put32(quint32 v, uchar *b)
{
    put16(quint16(v >> 16), b);
    put16(quint16(v), b + 2);
}

inline quint16 ipChecksum(const uchar *b, int len)
{
    quint32 sum = 0;
    for (int i = 0; i + 1 < len; i += 2)
        sum += quint32(b[i] << 8 | b[i + 1]);
    if (len & 1)
        sum += quint32(b[len - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return quint16(~sum);
}

// A UDP/IPv4 packet with a valid IP header checksum (UDP checksum 0: none).
inline QByteArray udpPacket(quint32 src, quint32 dst, quint16 sport, quint16 dport, const QByteArray &payload)
{
    // Built in a plain vector: GCC misjudges writes through QByteArray::data().
    std::vector<uchar> buf(size_t(28 + payload.size()), 0);
    uchar *b = buf.data();
    b[0] = 0x45;
    put16(quint16(buf.size()), b + 2);
    b[8] = 64;
    b[9] = 17;
    put32(src, b + 12);
    put32(dst, b + 16);
    put16(ipChecksum(b, 20), b + 10);
    put16(sport, b + 20);
    put16(dport, b + 22);
    put16(quint16(8 + payload.size()), b + 24);
    if (!payload.isEmpty())
        std::memcpy(b + 28, payload.constData(), size_t(payload.size()));
    return QByteArray(reinterpret_cast<const char *>(b), int(buf.size()));
}

inline quint32 ip(int a, int b, int c, int d)
{
    return quint32(a) << 24 | quint32(b) << 16 | quint32(c) << 8 | quint32(d);
}

} // namespace testpackets
