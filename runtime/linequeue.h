// What waits for the PPP line toward the device, and when the next packet
// may go down to it.
//
// The PC's stack sends as fast as the diversion takes packets, so without a
// queue of our own everything would pile up in the port (a terminal takes
// tens of kilobytes) at the line's rate: a keep-alive probe or an ack behind
// seconds of bulk data. Packets wait here instead, and one goes to the PPP
// stack only once the line's backlog (what was written to the port and is
// not on the wire yet, by the line's clock) has fallen below kFeedAheadNs,
// which keeps the line busy and the backlog short.
//
// Order: packets without payload (acks, keep-alive probes and their
// answers, connection set-up and reset) and small packets of a connection
// with no bulk data waiting go first; bulk data goes in arrival order. No
// connection's data is reordered: only packets without payload overtake
// data of their own connection, and never a FIN. Bulk data beyond bulkCap
// is dropped, as a router's full queue does: TCP retransmits it and slows
// down. (The engines' connections keep little in flight on a PPP line, so
// normally nothing is dropped: drops make a slow line idle while TCP
// recovers.)
//
// A retransmission of a segment whose original still waits here, or is
// still on its way down the line, is dropped too: the sender cannot have
// heard back yet, so it retransmitted too early (a slow line's first full
// segment takes longer than TCP's first timeout), and the copy would take
// the line's time for nothing. Should the original be lost after all, the
// sender's next timeout sends it again.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QQueue>
#include <QVector>

// What the line's scheduling needs to know of a raw IPv4 packet.
struct PacketInfo {
    bool tcp = false;
    quint64 flow = 0; // the connection (addresses and ports, either direction alike)
    int payload = 0;  // TCP payload bytes (all bytes past the IP header otherwise)
    quint8 flags = 0; // TCP flags
    quint32 seq = 0, ack = 0;
    static PacketInfo of(const QByteArray &packet);
    static constexpr quint8 kFin = 0x01, kSyn = 0x02, kRst = 0x04, kAck = 0x10;
};

// The TCP connections a session carried, followed from their packets both
// ways, so a stop can let those being closed finish before the link ends:
// a connection ends cleanly once each side's FIN was acknowledged by the
// other (the PC's last ack passed down to the line), or by a reset.
class ConnectionWatch
{
public:
    void outbound(const QByteArray &packet); // PC -> device
    void inbound(const QByteArray &packet);  // device -> PC
    // Connections seen from their SYN on that have not ended yet.
    int open() const { return m_flows.size(); }
    // All connections seen from their SYN on.
    int seen() const { return m_ended + m_flows.size(); }
    void clear()
    {
        m_flows.clear();
        m_ended = 0;
    }

private:
    struct State {
        bool fin[2] = {false, false};      // [PC -> device, device -> PC]: a FIN was sent that way
        bool finAcked[2] = {false, false}; // and the other side acknowledged it
        bool reset = false;
        quint32 finEnd[2] = {0, 0}; // the sequence number right after each FIN
    };
    State *stateOf(const PacketInfo &info);
    void update(const PacketInfo &info, bool out);
    QHash<quint64, State> m_flows; // ended ones are dropped
    int m_ended = 0;
};

class LineQueue
{
public:
    // A packet of at most this many payload bytes of a connection with no
    // bulk data waiting is an exchange of a few bytes, not bulk.
    static constexpr int kSmallPayload = 256;
    // The largest frame on the line: the link's MRU and PPP's framing.
    static constexpr int kMaxFrame = 1500 + 8;
    // Line time the engine keeps written ahead of the wire.
    static constexpr qint64 kFeedAheadNs = 40 * 1000 * 1000;
    // Bulk data waiting is limited to this much line time, but never below
    // 16 full frames. The connections' own windows keep the queue far below
    // it; a drop here means something else floods the link.
    static constexpr qint64 kBulkCapNs = 8000LL * 1000 * 1000;
    static constexpr int kBulkCapFrames = 16;
    // Packets without payload are few; this bound only catches a runaway.
    static constexpr int kUrgentCap = 256 * 1024;

    // Bytes per second of a serial line: a start bit, the data bits, the
    // parity bit if any and the stop bits (1.5 counts as 2) a byte.
    static double bytesPerSecond(qint32 baud, int dataBits, bool parity, int stopBits);

    void setRate(double bytesPerSecond);
    qint64 byteTimeNs() const { return m_byteNs; }
    int bulkCap() const;

    // Queues a raw IPv4 packet at nowNs; false when it was dropped.
    bool push(const QByteArray &packet, qint64 nowNs = 0);
    // The next packet due (urgent ones first) at nowNs; empty when none waits.
    QByteArray pop(qint64 nowNs = 0);
    bool isEmpty() const { return m_urgent.isEmpty() && m_bulk.isEmpty(); }
    int bulkBytes() const { return m_bulkBytes; }
    int urgentBytes() const { return m_urgentBytes; }
    qint64 dropped() const { return m_dropped; }
    qint64 duplicates() const { return m_duplicates; }
    void clear();

    // The line's clock: count bytes were written to the port at nowNs.
    void written(qint64 count, qint64 nowNs);
    // Line time still needed for what was written (estimated), at nowNs.
    qint64 backlogNs(qint64 nowNs) const;
    // How long until the next packet may go down: 0 when now. unsent = bytes
    // the engine holds for the port, outq = bytes the port's driver reports
    // still queued (it may know better than the clock: a line held by flow
    // control).
    qint64 feedDelayNs(qint64 nowNs, qint64 unsent, qint64 outq) const;

private:
    struct Bulk {
        QByteArray packet;
        quint64 flow;
        quint32 seq;
    };
    // A data segment handed down, until its last byte has left the line.
    struct Sent {
        quint64 flow;
        quint32 seq;
        qint64 doneNs;
    };
    bool isDuplicate(const PacketInfo &info, qint64 nowNs) const;
    QByteArray popBulk();
    static constexpr int kSentRecords = 32;
    QVector<Sent> m_sent; // the latest ones, oldest first
    QQueue<QByteArray> m_urgent;
    QQueue<Bulk> m_bulk;
    QHash<quint64, int> m_bulkPerFlow;
    int m_bulkBytes = 0;
    int m_urgentBytes = 0;
    qint64 m_dropped = 0;
    qint64 m_duplicates = 0;
    qint64 m_byteNs = 1000 * 1000; // 1000 B/s until told
    qint64 m_freeAtNs = 0;
};
