// The PPP line's queue and clock, the connection watch of a stop, and the
// keep-alive sizing for a line, on hand-made packets.
#include "platform/keepalive.h"
#include "runtime/linequeue.h"

#include <QtTest>

#include <vector>

namespace
{

const quint32 kPc = 0x0A0A0A14, kDevice = 0x0A0A0A0A;

QByteArray tcp(bool out, quint16 port, quint32 seq, quint32 ack, quint8 flags, int payload)
{
    std::vector<uchar> bytes(size_t(40 + payload), 'x');
    uchar *b = bytes.data();
    auto put16 = [](uchar *at, quint32 v) { at[0] = uchar(v >> 8), at[1] = uchar(v); };
    auto put32 = [&](uchar *at, quint32 v) { put16(at, v >> 16), put16(at + 2, v); };
    b[0] = 0x45, b[6] = b[7] = 0, b[9] = 6;
    put16(b + 2, quint32(bytes.size()));
    put32(b + 12, out ? kPc : kDevice);
    put32(b + 16, out ? kDevice : kPc);
    put16(b + 20, out ? 40000 + port : port);
    put16(b + 22, out ? port : 40000 + port);
    put32(b + 24, seq);
    put32(b + 28, ack);
    b[32] = 5 << 4, b[33] = flags;
    return QByteArray(reinterpret_cast<const char *>(b), int(bytes.size()));
}

const quint8 kAck = PacketInfo::kAck, kFin = PacketInfo::kFin;

} // namespace

class TestLineQueue : public QObject
{
    Q_OBJECT
private slots:
    // At 9600 baud: what overtakes what, what is dropped, and when the next
    // packet is due by the line's clock.
    void orderCapAndClock()
    {
        QCOMPARE(LineQueue::bytesPerSecond(9600, 8, false, 1), 960.0);
        QCOMPARE(LineQueue::bytesPerSecond(11000, 7, true, 2), 1000.0);
        LineQueue q;
        q.setRate(960);
        QCOMPARE(q.bulkCap(), LineQueue::kBulkCapFrames * LineQueue::kMaxFrame); // more than 8 s here
        const QByteArray bulk1 = tcp(true, 7001, 1, 1, kAck, 1460),
                         bulk2 = tcp(true, 7001, 1461, 1, kAck, 1460);
        const QByteArray tailA = tcp(true, 7001, 2921, 1, kAck, 64),
                         finA = tcp(true, 7001, 2985, 1, kAck | kFin, 0);
        const QByteArray ackB = tcp(true, 7002, 5, 900, kAck, 0), probeA = tcp(true, 7001, 0, 1, kAck, 0);
        const QByteArray requestC = tcp(true, 7000, 9, 9, kAck, 64);
        for (const QByteArray &p : {bulk1, bulk2, tailA, ackB, probeA, finA, requestC})
            QVERIFY(q.push(p));
        QCOMPARE(q.bulkBytes(), bulk1.size() + bulk2.size() + tailA.size() + finA.size());
        QVERIFY(!q.push(bulk2)); // a retransmission of a segment still waiting
        QCOMPARE(q.duplicates(), 1);
        // Payload-less packets and the idle connection's request first; flow
        // 7001's own data, its small tail and its FIN stay in order.
        QList<QByteArray> order;
        while (!q.isEmpty())
            order << q.pop();
        // bulk1 went down at 0 and takes about 1.6 s of line: a copy before
        // then is too early, one after it may be needed.
        const qint64 ms = 1000 * 1000;
        QVERIFY(!q.push(bulk1, 1500 * ms));
        QCOMPARE(q.duplicates(), 2);
        QVERIFY(q.push(bulk1, 4000 * ms));
        QCOMPARE(q.pop(4000 * ms), bulk1);
        QCOMPARE(order, QList<QByteArray>({ackB, probeA, requestC, bulk1, bulk2, tailA, finA}));
        QCOMPARE(q.bulkBytes() + q.urgentBytes(), 0);
        // Flow 7001 is idle again: its next small packet goes first.
        QVERIFY(q.push(tcp(true, 7000, 100, 1, kAck, 1000)));
        QVERIFY(q.push(tcp(true, 7001, 3049, 1, kAck, 10)));
        QCOMPARE(PacketInfo::of(q.pop()).payload, 10);
        q.clear();
        // Bulk beyond the cap is dropped; acks still pass.
        int taken = 0;
        while (q.push(tcp(true, 7003, quint32(taken * 1460), 1, kAck, 1460)))
            ++taken;
        QCOMPARE(taken, q.bulkCap() / 1500);
        QCOMPARE(q.dropped(), 1);
        QVERIFY(q.push(ackB));
        QCOMPARE(q.pop(), ackB);

        // 960 bytes written at 0: one second of line; 40 ms are kept ahead.
        q.written(960, 0);
        QVERIFY(qAbs(q.backlogNs(500 * ms) - 500 * ms) < ms);
        QVERIFY(qAbs(q.feedDelayNs(500 * ms, 0, 0) - 460 * ms) < ms);
        QVERIFY(qAbs(q.feedDelayNs(500 * ms, 96, 0) - 560 * ms) < ms);
        QVERIFY(qAbs(q.feedDelayNs(500 * ms, 0, 960) - 960 * ms) < ms); // the driver knows better
        QCOMPARE(q.feedDelayNs(990 * ms, 0, 0), 0);
        q.written(10, 5000 * ms); // an idle line starts from now
        QVERIFY(qAbs(q.backlogNs(5000 * ms) - 10 * ms * 1000 / 960) < ms);
    }

    // Connections followed both ways from their SYN: a clean close, a
    // half-open one (the PC's FIN never acknowledged), a reset, an open one,
    // and packets of connections not seen from their start.
    void connectionWatch()
    {
        const quint8 kSyn = PacketInfo::kSyn;
        ConnectionWatch w;
        for (quint16 port : {7000, 7001, 7002, 7003})
            w.outbound(tcp(true, port, 99, 0, kSyn, 0));
        w.inbound(tcp(false, 7000, 499, 100, kSyn | kAck, 0));
        w.outbound(tcp(true, 7000, 100, 500, kAck | kFin, 0)); // PC closes
        w.inbound(tcp(false, 7000, 500, 101, kAck, 0));        // device acks
        w.inbound(tcp(false, 7000, 500, 101, kAck | kFin, 0)); // and closes
        QCOMPARE(w.open(), 4);
        w.outbound(tcp(true, 7000, 101, 501, kAck, 0)); // the PC's last ack
        QCOMPARE(w.open(), 3);
        w.outbound(tcp(true, 7000, 101, 501, kAck, 0));    // repeated: stays ended
        w.outbound(tcp(true, 7004, 1, 1, kAck | kFin, 0)); // from before: not followed
        w.outbound(tcp(true, 7001, 100, 9, kAck | kFin, 3));
        w.inbound(tcp(false, 7001, 9, 103, kAck | kFin, 0)); // an ack short of the FIN
        w.outbound(tcp(true, 7001, 104, 10, kAck, 0));
        w.outbound(tcp(true, 7002, 100, 1, kAck, 20));
        w.inbound(tcp(false, 7003, 1, 1, PacketInfo::kRst, 0));
        QCOMPARE(w.seen(), 4);
        QCOMPARE(w.open(), 2); // 7001 (its FIN unacknowledged) and 7002
        w.inbound(tcp(false, 7001, 10, 104, kAck, 0));
        QCOMPARE(w.open(), 1);
        QCOMPARE(w.seen(), 4);
    }

    void keepaliveSizedToTheLine()
    {
        const LineKeepalive fast = keepaliveForLine(11520, 7);
        QCOMPARE(fast.intervalMs, 1000u);
        QCOMPARE(keepaliveUserTimeoutMs(fast.timeMs, fast.intervalMs), 19000u);
        QCOMPARE(keepaliveForLine(960, 3).intervalMs, 2000u);
        QCOMPARE(keepaliveForLine(960, 7).intervalMs, 4000u);
        QCOMPARE(keepaliveForLine(960, 7).windowBytes, kLineWindowBytes);
        QCOMPARE(keepaliveForLine(960, 7).timeMs, kKeepAliveTimeMs);
    }
};

QTEST_GUILESS_MAIN(TestLineQueue)
#include "tst_linequeue.moc"
