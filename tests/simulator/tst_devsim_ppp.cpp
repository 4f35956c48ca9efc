// The simulator's PPP side: after the switch of its PC interface to TCP/IP
// its line carries PPP, and its TCP services answer at its configured
// address. The PC's end is the program's own PPP binding on the same
// terminal; TCP segments are made and read here by hand.
#include "tests/ppp/pppharness.h"
#include "tests/simulator/devsimhelpers.h"
#include "tests/support/testenv.h"

#include <QTest>

#include <arpa/inet.h>

using namespace devsim;

namespace
{

quint16 checksum(const QByteArray &bytes, quint32 sum = 0)
{
    for (int i = 0; i + 1 < bytes.size(); i += 2)
        sum += (quint8(bytes[i]) << 8) | quint8(bytes[i + 1]);
    if (bytes.size() % 2)
        sum += quint8(bytes[bytes.size() - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return quint16(~sum);
}

void put16(QByteArray &b, int at, quint16 v)
{
    b[at] = char(v >> 8);
    b[at + 1] = char(v);
}

void put32(QByteArray &b, int at, quint32 v)
{
    put16(b, at, quint16(v >> 16));
    put16(b, at + 2, quint16(v));
}

quint32 get32(const QByteArray &b, int at)
{
    return (quint32(quint8(b[at])) << 24) | (quint32(quint8(b[at + 1])) << 16) |
           (quint32(quint8(b[at + 2])) << 8) | quint8(b[at + 3]);
}

// One TCP connection from the PC's side, segment by segment.
struct TcpByHand {
    quint32 src, dst; // host order
    quint16 sport, dport;
    quint32 seq = 1000, ack = 0;

    QByteArray segment(quint8 flags, const QByteArray &payload = QByteArray())
    {
        QByteArray tcp(20, '\0');
        put16(tcp, 0, sport);
        put16(tcp, 2, dport);
        put32(tcp, 4, seq);
        put32(tcp, 8, ack);
        tcp[12] = char(5 << 4);
        tcp[13] = char(flags);
        put16(tcp, 14, 65535);
        tcp += payload;
        QByteArray pseudo(12, '\0');
        put32(pseudo, 0, src);
        put32(pseudo, 4, dst);
        pseudo[9] = 6;
        put16(pseudo, 10, quint16(tcp.size()));
        put16(tcp, 16, checksum(pseudo + tcp));
        QByteArray ip(20, '\0');
        ip[0] = 0x45;
        put16(ip, 2, quint16(20 + tcp.size()));
        put16(ip, 6, 0x4000);
        ip[8] = 64;
        ip[9] = 6;
        put32(ip, 12, src);
        put32(ip, 16, dst);
        put16(ip, 10, checksum(ip));
        seq += quint32(payload.size()) + ((flags & 0x03) ? 1 : 0); // SYN and FIN take one
        return ip + tcp;
    }
    // A segment of this connection from the device: its flags, its payload (taken into ack).
    bool take(const QByteArray &packet, quint8 *flags, QByteArray *payload)
    {
        if (packet.size() < 40 || quint8(packet[9]) != 6 || get32(packet, 12) != dst)
            return false;
        const int ihl = (quint8(packet[0]) & 0x0F) * 4;
        const QByteArray tcp = packet.mid(ihl);
        if (((quint8(tcp[0]) << 8) | quint8(tcp[1])) != dport ||
            ((quint8(tcp[2]) << 8) | quint8(tcp[3])) != sport)
            return false;
        *flags = quint8(tcp[13]);
        *payload = tcp.mid((quint8(tcp[12]) >> 4) * 4);
        const quint32 theirSeq = get32(tcp, 4);
        if (*flags & 0x02)
            ack = theirSeq + 1;
        else if (!payload->isEmpty() && theirSeq == ack)
            ack += quint32(payload->size());
        return true;
    }
};

enum : quint8 { FIN = 0x01, SYN = 0x02, PSH = 0x08, ACK = 0x10 };

} // namespace

class TstDevSimPpp : public QObject
{
    Q_OBJECT
private slots:
    void pppAfterMenuSwitchServesTcp();
};

void TstDevSimPpp::pppAfterMenuSwitchServesTcp()
{
    TestEnv env;
    const QString profilePath = env.root() + QStringLiteral("/profile.ini");
    QFile profile(profilePath);
    QVERIFY(profile.open(QIODevice::WriteOnly));
    profile.write("[device]\nport=ttyTVPPP\nlink=COM2\nrestart_ms=300\n"
                  "[tcpip]\nid=1\nno=2\ndh=0\nip=10.1.2.3\nma=255.255.255.0\nge=10.1.2.1\n"
                  "[tun0]\nen=1\n");
    profile.close();
    SimProcess sim;
    QVERIFY2(sim.start({QStringLiteral("--profile"), profilePath}), qPrintable(sim.errors()));
    const QString link = sim.lineValue(QStringLiteral("port")).section(QLatin1Char(' '), 1, 1);
    const QString com1 = sim.lineValue(QStringLiteral("com1"));
    ControlClient control;
    QVERIFY(control.connectTo(sim.lineValue(QStringLiteral("control"))));
    QCOMPARE(control.value(QStringLiteral("status"), QStringLiteral("ppp")), QStringLiteral("off"));

    // The wizard's last write, then the user's menu step.
    {
        PortClient client;
        vp::Response r;
        QVERIFY(client.open(link, {115200, 8, 'N', 1, 'R'}));
        QVERIFY(client.ask(QStringLiteral("pccfgset"), {{"id", "4"}, {"no", "6666"}}, &r));
        QCOMPARE(r.status, vp::status::kOk);
    }
    QCOMPARE(control.command(QStringLiteral("menu tcpip")).last(), QStringLiteral("OK"));
    QVERIFY(waitFor(
        [&] {
            return control.value(QStringLiteral("status"), QStringLiteral("ppp")) == QLatin1String("waiting");
        },
        10000));

    // The PC's end of the link on the same line.
    const int fd = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    {
        PortClient settings; // sets the line as the PC's PPP engine would
        QVERIFY(settings.open(link, {115200, 8, 'N', 1, 'R'}));
    }
    PppTicker ticker;
    pppSetAuth(PppAuthNone, "", "");
    const quint32 pc = 0x0A010232;     // 10.1.2.50
    const quint32 device = 0x0A010203; // 10.1.2.3
    auto *endpoint = new PppEndpoint(fd, pc, device);
    QList<QByteArray> packets;
    endpoint->onPacket = [&](const char *data, int len) { packets << QByteArray(data, len); };
    QVERIFY(endpoint->open());
    QTRY_VERIFY_WITH_TIMEOUT(endpoint->up(), 20000);
    QCOMPARE(PppEndpoint::dotted(endpoint->addrs.his_ipaddr), QStringLiteral("10.1.2.3"));
    QCOMPARE(PppEndpoint::dotted(endpoint->addrs.our_ipaddr), QStringLiteral("10.1.2.50"));
    QTRY_COMPARE_WITH_TIMEOUT(control.value(QStringLiteral("status"), QStringLiteral("ppp")),
                              QStringLiteral("up 10.1.2.50"), 5000);
    // The serial side no longer speaks the device protocol: the line is PPP's.

    // A request over TCP 6666 at the device's address, answered.
    const auto connectTo = [&](quint16 port, quint16 sport) {
        TcpByHand tcp{pc, device, sport, port};
        packets.clear();
        pppIpOutput(endpoint->unit, tcp.segment(SYN).constData(), 40);
        quint8 flags = 0;
        QByteArray payload;
        const bool synAck = QTest::qWaitFor(
            [&] {
                for (const QByteArray &p : qAsConst(packets))
                    if (tcp.take(p, &flags, &payload) && (flags & (SYN | ACK)) == (SYN | ACK))
                        return true;
                return false;
            },
            10000);
        packets.clear();
        if (synAck) {
            const QByteArray a = tcp.segment(ACK);
            pppIpOutput(endpoint->unit, a.constData(), a.size());
        }
        return std::make_pair(synAck, tcp);
    };
    auto [pcUp, pcTcp] = connectTo(6666, 40001);
    QVERIFY2(pcUp, "no SYN-ACK from port 6666 behind PPP");
    vp::Request q;
    q.seq = 77;
    q.command = "sid";
    const QByteArray request = QByteArray::fromStdString(vp::encodeRequest(q));
    const QByteArray data = pcTcp.segment(PSH | ACK, request);
    pppIpOutput(endpoint->unit, data.constData(), data.size());
    vp::FrameDecoder decoder;
    vp::Frame frame;
    QVERIFY(QTest::qWaitFor(
        [&] {
            for (const QByteArray &p : qAsConst(packets)) {
                quint8 flags = 0;
                QByteArray payload;
                if (pcTcp.take(p, &flags, &payload))
                    decoder.feed(payload.constData(), size_t(payload.size()));
            }
            packets.clear();
            return decoder.pending() > 0;
        },
        10000));
    QVERIFY(decoder.next(&frame));
    vp::Response r;
    QVERIFY(vp::parseResponse(frame, &r));
    QCOMPARE(int(r.seq), 77);
    QCOMPARE(r.status, vp::status::kOk);
    QCOMPARE(field(r, "nm"), QStringLiteral("Tavrel Simulator"));

    // Tunnel data for COM1 through port 1100 arrives on the device's COM1.
    PortClient port;
    QVERIFY(port.open(com1, {115200, 8, 'N', 1, 'N'}));
    auto [tunUp, tunTcp] = connectTo(1100, 40002);
    QVERIFY2(tunUp, "no SYN-ACK from port 1100 behind PPP");
    const QByteArray bytes("through PPP to COM1\x11\x13\x7e\x7d", 23);
    const QByteArray seg = tunTcp.segment(PSH | ACK, bytes);
    pppIpOutput(endpoint->unit, seg.constData(), seg.size());
    QByteArray got;
    QVERIFY(QTest::qWaitFor(
        [&] {
            char buf[256];
            const ssize_t n = ::read(port.fd(), buf, sizeof buf);
            if (n > 0)
                got.append(buf, int(n));
            return got.size() >= bytes.size();
        },
        10000));
    QCOMPARE(got, bytes);

    endpoint->close();
    delete endpoint;
    ::close(fd);
    QVERIFY2(sim.stopCleanly(), qPrintable(sim.errors()));
}

QTEST_GUILESS_MAIN(TstDevSimPpp)
#include "tst_devsim_ppp.moc"
