#include "runtime/linequeue.h"

#include <QtGlobal>

#include <cmath>

namespace
{

quint16 be16(const uchar *p)
{
    return quint16((p[0] << 8) | p[1]);
}

quint32 be32(const uchar *p)
{
    return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
}

// a is at or after b in sequence space.
bool seqAtOrAfter(quint32 a, quint32 b)
{
    return qint32(a - b) >= 0;
}

} // namespace

PacketInfo PacketInfo::of(const QByteArray &packet)
{
    PacketInfo info;
    const auto *p = reinterpret_cast<const uchar *>(packet.constData());
    const int size = packet.size();
    if (size < 20 || (p[0] >> 4) != 4) {
        info.payload = size;
        return info;
    }
    const int ihl = (p[0] & 0x0F) * 4;
    const int total = qMin<int>(size, be16(p + 2));
    const quint8 protocol = p[9];
    const quint32 a = be32(p + 12), b = be32(p + 16);
    // The same key both ways: the two addresses and ports in a fixed order.
    const quint64 addresses = (quint64(qMin(a, b)) << 32) | qMax(a, b);
    const bool fragment = (be16(p + 6) & 0x3FFF) != 0;
    if (protocol != 6 || fragment || ihl < 20 || total < ihl + 20) {
        info.flow = addresses ^ (quint64(protocol) << 56);
        info.payload = qMax(0, total - ihl);
        return info;
    }
    const uchar *t = p + ihl;
    const quint16 sport = be16(t), dport = be16(t + 2);
    const quint32 ports = (quint32(qMin(sport, dport)) << 16) | qMax(sport, dport);
    info.tcp = true;
    info.flow = addresses * 0x9E3779B97F4A7C15ULL ^ ports;
    info.seq = be32(t + 4);
    info.ack = be32(t + 8);
    info.flags = t[13];
    const int doff = (t[12] >> 4) * 4;
    info.payload = qMax(0, total - ihl - doff);
    return info;
}

double LineQueue::bytesPerSecond(qint32 baud, int dataBits, bool parity, int stopBits)
{
    const int bits = 1 + dataBits + (parity ? 1 : 0) + (stopBits >= 2 ? 2 : 1);
    return baud > 0 ? double(baud) / bits : 0;
}

void LineQueue::setRate(double bytesPerSecond)
{
    if (bytesPerSecond > 0)
        m_byteNs = qMax<qint64>(1, qint64(std::ceil(1e9 / bytesPerSecond)));
}

int LineQueue::bulkCap() const
{
    return int(qMax<qint64>(kBulkCapFrames * kMaxFrame, kBulkCapNs / m_byteNs));
}

bool LineQueue::isDuplicate(const PacketInfo &info, qint64 nowNs) const
{
    if (!info.tcp || info.payload == 0)
        return false;
    for (const Sent &s : m_sent)
        if (s.flow == info.flow && s.seq == info.seq && nowNs < s.doneNs)
            return true;
    if (!m_bulkPerFlow.contains(info.flow))
        return false;
    for (const Bulk &b : m_bulk)
        if (b.flow == info.flow && b.seq == info.seq)
            return true;
    return false;
}

bool LineQueue::push(const QByteArray &packet, qint64 nowNs)
{
    const PacketInfo info = PacketInfo::of(packet);
    if (isDuplicate(info, nowNs)) {
        ++m_duplicates;
        return false;
    }
    const bool idleFlow = !m_bulkPerFlow.contains(info.flow);
    const bool control = info.tcp && info.payload == 0 && !(info.flags & PacketInfo::kFin);
    if (control || (idleFlow && info.payload <= kSmallPayload)) {
        if (m_urgentBytes + packet.size() > kUrgentCap) {
            ++m_dropped;
            return false;
        }
        m_urgent.enqueue(packet);
        m_urgentBytes += packet.size();
        return true;
    }
    // One packet always fits, however large.
    if (!m_bulk.isEmpty() && m_bulkBytes + packet.size() > bulkCap()) {
        ++m_dropped;
        return false;
    }
    m_bulk.enqueue({packet, info.flow, info.seq});
    ++m_bulkPerFlow[info.flow];
    m_bulkBytes += packet.size();
    return true;
}

QByteArray LineQueue::pop(qint64 nowNs)
{
    QByteArray p;
    if (!m_urgent.isEmpty()) {
        p = m_urgent.dequeue();
        m_urgentBytes -= p.size();
    } else if (!m_bulk.isEmpty()) {
        p = popBulk();
    } else {
        return p;
    }
    const PacketInfo info = PacketInfo::of(p);
    if (info.tcp && info.payload > 0) {
        // Its last byte leaves the line after what is ahead of it and its own
        // bytes (framing and escaping may add an eighth), with a little to spare.
        const qint64 done = nowNs + backlogNs(nowNs) + (p.size() + p.size() / 8 + kMaxFrame / 8) * m_byteNs;
        if (m_sent.size() >= kSentRecords)
            m_sent.removeFirst();
        m_sent.append({info.flow, info.seq, done});
    }
    return p;
}

QByteArray LineQueue::popBulk()
{
    Bulk b = m_bulk.dequeue();
    m_bulkBytes -= b.packet.size();
    auto it = m_bulkPerFlow.find(b.flow);
    if (it != m_bulkPerFlow.end() && --it.value() <= 0)
        m_bulkPerFlow.erase(it);
    return b.packet;
}

void LineQueue::clear()
{
    m_urgent.clear();
    m_bulk.clear();
    m_bulkPerFlow.clear();
    m_sent.clear();
    m_bulkBytes = m_urgentBytes = 0;
}

void LineQueue::written(qint64 count, qint64 nowNs)
{
    if (count > 0)
        m_freeAtNs = qMax(m_freeAtNs, nowNs) + count * m_byteNs;
}

qint64 LineQueue::backlogNs(qint64 nowNs) const
{
    return qMax<qint64>(0, m_freeAtNs - nowNs);
}

qint64 LineQueue::feedDelayNs(qint64 nowNs, qint64 unsent, qint64 outq) const
{
    const qint64 ahead =
        qMax(backlogNs(nowNs), qMax<qint64>(0, outq) * m_byteNs) + qMax<qint64>(0, unsent) * m_byteNs;
    return qMax<qint64>(0, ahead - kFeedAheadNs);
}

ConnectionWatch::State *ConnectionWatch::stateOf(const PacketInfo &info)
{
    auto it = m_flows.find(info.flow);
    if (it != m_flows.end())
        return &it.value();
    // Only a connection seen from its start is followed: a late packet of
    // one that ended (a repeated last ack) does not bring it back.
    if (!info.tcp || !(info.flags & PacketInfo::kSyn) || (info.flags & PacketInfo::kRst))
        return nullptr;
    return &m_flows[info.flow];
}

void ConnectionWatch::update(const PacketInfo &info, bool out)
{
    State *s = stateOf(info);
    if (!s)
        return;
    const int from = out ? 0 : 1;
    if (info.flags & PacketInfo::kRst)
        s->reset = true;
    if (info.flags & PacketInfo::kFin) {
        s->fin[from] = true;
        s->finEnd[from] = info.seq + quint32(info.payload) + ((info.flags & PacketInfo::kSyn) ? 2 : 1);
    }
    // An ack at or beyond the other side's FIN acknowledges it.
    if (s->fin[1 - from] && (info.flags & PacketInfo::kAck) && seqAtOrAfter(info.ack, s->finEnd[1 - from]))
        s->finAcked[1 - from] = true;
    if (s->reset || (s->finAcked[0] && s->finAcked[1])) {
        m_flows.remove(info.flow);
        ++m_ended;
    }
}

void ConnectionWatch::outbound(const QByteArray &packet)
{
    update(PacketInfo::of(packet), true);
}

void ConnectionWatch::inbound(const QByteArray &packet)
{
    update(PacketInfo::of(packet), false);
}
