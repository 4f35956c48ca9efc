#include "platform/netdivert.h"
#include "runtime/netdivertrecvthread.h"

#include "netns.h"
#include "packets.h"
#include "tests/support/logcapture.h"

#include <QElapsedTimer>
#include <QUdpSocket>
#include <QtTest>

#include <cerrno>
#include <cstdio>
#include <net/if.h>

using namespace testpackets;

// Collects what the receive thread reports, in arrival order, in the test's thread.
class Collector : public QObject
{
public:
    QStringList events;
    QList<QByteArray> frames;
    int ifIdx = -1, subIdx = -1;
    void attach(NetDivertRecvThread *t)
    {
        connect(t, &NetDivertRecvThread::interfacesDetected, this, [this](int i, int s, void *) {
            ifIdx = i;
            subIdx = s;
            events << "if";
        });
        connect(t, &NetDivertRecvThread::frameRecv, this, [this](const QByteArray *f, void *) {
            frames << *f;
            delete f;
            events << "frame";
        });
        connect(t, &NetDivertRecvThread::threadFinished, this, [this] { events << "threadFinished"; });
    }
};

class TestNetDivert : public QObject
{
    Q_OBJECT

    const quint32 device = ip(10, 10, 10, 10);
    const quint32 local = ip(10, 10, 10, 20);
    const char *filter = "outbound and ip.DstAddr == 10.10.10.10";

private slots:
    void initTestCase() { NetDivertRecvThread::registerMetaTypes(); }

    void refusesOtherFilters()
    {
        for (const char *f :
             {"inbound and ip.DstAddr == 10.10.10.10", "outbound and ip.DstAddr == 10.10.10.300",
              "outbound and ip.SrcAddr == 10.10.10.10", "", "outbound"}) {
            errno = 0;
            QCOMPARE(WinDivertOpen(f, DIVERT_LAYER_NETWORK, 0, 0), INVALID_DIVERT_HANDLE);
            QCOMPARE(errno, EINVAL);
        }
        QCOMPARE(WinDivertOpen(filter, 1, 0, 0), INVALID_DIVERT_HANDLE);
        QVERIFY(!WinDivertClose(12345));
        QCOMPARE(errno, EBADF);
        char buf[64];
        QVERIFY(!WinDivertRecv(12345, buf, sizeof(buf), nullptr, nullptr));
    }

    void captureThenInject()
    {
        NetNamespace ns;
        if (!ns.ok())
            QSKIP(qPrintable(ns.skipReason()));
        QVERIFY(ns.enter());
        LogCapture log;
        const DivertHandle h = WinDivertOpen(filter, DIVERT_LAYER_NETWORK, 0, 0, local);
        QVERIFY2(h != INVALID_DIVERT_HANDLE, strerror(errno));
        const QByteArray ifName = WinDivertInterfaceName(h);
        QString out;
        QVERIFY(ns.ip({"-4", "addr", "show", "dev", QString::fromLatin1(ifName)}, &out));
        QVERIFY2(out.contains("inet 10.10.10.20 peer 10.10.10.10/32"), qPrintable(out));
        QVERIFY(ns.ip({"route", "get", "10.10.10.10"}, &out));
        QVERIFY2(out.contains("dev " + ifName) && out.contains("src 10.10.10.20"), qPrintable(out));

        NetDivertRecvThread thread;
        thread.setHandle(h);
        Collector c;
        c.attach(&thread);
        thread.start();

        QUdpSocket sock;
        QVERIFY(sock.bind(QHostAddress(QHostAddress::AnyIPv4), 0));
        QCOMPARE(sock.writeDatagram("ping", QHostAddress("10.10.10.10"), 7777), qint64(4));
        QTRY_COMPARE(c.frames.size(), 1);
        QCOMPARE(sock.writeDatagram("again", QHostAddress("10.10.10.10"), 7777), qint64(5));
        QTRY_COMPARE(c.frames.size(), 2);
        // The interface is reported once, before the first packet.
        QCOMPARE(c.events, QStringList({"if", "frame", "frame"}));
        QCOMPARE(quint32(c.ifIdx), if_nametoindex(ifName.constData()));
        QCOMPARE(c.subIdx, 0);
        const QByteArray f = c.frames.first();
        QCOMPARE(f.size(), 32);
        QCOMPARE(f.mid(12, 8), QByteArray::fromHex("0a0a0a140a0a0a0a"));
        QCOMPARE(f.mid(28), QByteArray("ping"));
        QVERIFY(log.contains(QString("WinDivertRecv frame recv: 32 (if=%1, subif=0, dir=0)").arg(c.ifIdx)));

        // A reply injected inbound reaches the socket as if the device had sent it.
        const QByteArray reply = udpPacket(device, local, 7777, sock.localPort(), "pong");
        DivertAddress addr;
        addr.IfIdx = quint32(c.ifIdx);
        addr.Direction = DIVERT_DIRECTION_INBOUND;
        uint written = 0;
        QVERIFY2(WinDivertSend(h, reply.constData(), uint(reply.size()), &addr, &written), strerror(errno));
        QCOMPARE(written, uint(reply.size()));
        QTRY_VERIFY(sock.hasPendingDatagrams());
        QHostAddress from;
        quint16 port = 0;
        QByteArray got(64, 0);
        got.resize(int(sock.readDatagram(got.data(), got.size(), &from, &port)));
        QCOMPARE(got, QByteArray("pong"));
        QCOMPARE(from, QHostAddress("10.10.10.10"));
        QCOMPARE(port, quint16(7777));
        addr.Direction = DIVERT_DIRECTION_OUTBOUND;
        QVERIFY(!WinDivertSend(h, reply.constData(), uint(reply.size()), &addr, &written));
        QCOMPARE(errno, EINVAL);

        QVERIFY(WinDivertClose(h));
        thread.requestInterruption();
        QVERIFY(thread.wait(3000));
        // Frames still queued are the receiver's to delete.
        QCoreApplication::sendPostedEvents();
        QVERIFY(!ns.ip({"link", "show", "dev", QString::fromLatin1(ifName)}));
        ns.leave();
    }

    // The engine's way of stopping: close the handle under a blocked
    // receiver, then ask the thread to end.
    void closeWakesBlockedReceiver()
    {
        NetNamespace ns;
        if (!ns.ok())
            QSKIP(qPrintable(ns.skipReason()));
        QVERIFY(ns.enter());
        LogCapture log;
        const DivertHandle h = WinDivertOpen(filter, DIVERT_LAYER_NETWORK, 0, 0, local);
        QVERIFY2(h != INVALID_DIVERT_HANDLE, strerror(errno));
        const QString ifName = QString::fromLatin1(WinDivertInterfaceName(h));
        auto *thread = new NetDivertRecvThread;
        thread->setHandle(h);
        Collector c;
        c.attach(thread);
        thread->start();
        QTest::qWait(200); // let it block in the receive
        QVERIFY(log.contains("WinDivertRecv thread started"));
        QElapsedTimer t;
        t.start();
        QVERIFY(WinDivertClose(h));
        QVERIFY(t.elapsed() < 5000);
        QVERIFY(!ns.ip({"link", "show", "dev", ifName})); // gone when close returns
        thread->requestInterruption();
        QVERIFY(thread->wait(3000));
        QVERIFY(t.elapsed() < 8000);
        QCOMPARE(log.count("WinDivertRecv error: "), 1);
        QVERIFY(log.contains("Thread finished"));
        QTRY_VERIFY(c.events.contains("threadFinished"));
        QVERIFY(c.frames.isEmpty());
        delete thread;
        QVERIFY(!WinDivertClose(h));
        ns.leave();
    }

    void withoutNetAdminOpenFailsWithErrnoOne()
    {
        if (::geteuid() != 0) {
            // Already without the capability: the open itself must say so.
            errno = 0;
            QCOMPARE(WinDivertOpen(filter, DIVERT_LAYER_NETWORK, 0, 0), INVALID_DIVERT_HANDLE);
            QCOMPARE(errno, EPERM);
            return;
        }
        const QString capsh = QStandardPaths::findExecutable("capsh");
        if (capsh.isEmpty())
            QSKIP("capsh is not installed");
        QProcess p;
        p.start(capsh, {"--drop=cap_net_admin", "--", "-c",
                        QString("exec '%1' --probe-open").arg(QCoreApplication::applicationFilePath())});
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(QString::fromLatin1(p.readAllStandardOutput()).trimmed(), QStringLiteral("errno=1"));
    }
};

int main(int argc, char **argv)
{
    // Child mode for the capability test: try one open and report errno.
    if (argc == 2 && qstrcmp(argv[1], "--probe-open") == 0) {
        errno = 0;
        const DivertHandle h = WinDivertOpen("outbound and ip.DstAddr == 10.10.10.10", 0, 0, 0);
        std::printf("errno=%d\n", h == INVALID_DIVERT_HANDLE ? errno : 0);
        if (h != INVALID_DIVERT_HANDLE)
            WinDivertClose(h);
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestNetDivert t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_netdivert.moc"
