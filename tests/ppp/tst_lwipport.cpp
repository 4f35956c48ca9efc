#include "runtime/lwipport.h"

#include "../net/netns.h"
#include "../net/packets.h"
#include "pppharness.h"
#include "tests/support/logcapture.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/socket.h>
#include <termios.h>

using namespace testpackets;

static int openRawTty(const QString &path)
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios t;
    if (::tcgetattr(fd, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

class TestLwipPort : public QObject
{
    Q_OBJECT

    // Both ends of a link are sessions of this adapter, over a socket pair.
    struct Pair {
        int fds[2] = {-1, -1};
        PppEndpoint *pc = nullptr;
        PppEndpoint *device = nullptr;
        Pair()
        {
            ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
            pc = new PppEndpoint(fds[0], ip(10, 10, 10, 20));
            device = new PppEndpoint(fds[1], ip(10, 10, 10, 10));
        }
        ~Pair()
        {
            delete pc;
            delete device;
            ::close(fds[0]);
            ::close(fds[1]);
        }
    };

private slots:
    void initTestCase() { pppInit(); }

    void argumentsAndLinkState()
    {
        PppTicker ticker;
        QCOMPARE(pppIpOutput(-1, "x", 1), int(PPP_OUT_BAD_ARGS));
        QCOMPARE(pppIpOutput(31, "x", 1), int(PPP_OUT_BAD_ARGS));
        Pair p;
        QVERIFY(p.pc->open());
        QVERIFY(p.device->open());
        QCOMPARE(pppIpOutput(p.pc->unit, nullptr, 20), int(PPP_OUT_BAD_ARGS));
        QCOMPARE(pppIpOutput(p.pc->unit, "x", 0), int(PPP_OUT_BAD_ARGS));
        const QByteArray pkt = udpPacket(ip(10, 10, 10, 20), ip(10, 10, 10, 10), 1, 2, "early");
        QCOMPARE(pppIpOutput(p.pc->unit, pkt.constData(), pkt.size()), int(PPP_OUT_LINK_DOWN));
        // Both ends close while still negotiating: each answers the other's
        // Terminate-Request, so neither waits out the retries.
        QCOMPARE(p.pc->close(), 0);
        QCOMPARE(p.device->close(), 0);
        QCOMPARE(p.pc->callbacksInsideClose, 0);
        QTRY_VERIFY_WITH_TIMEOUT(p.pc->ended(), 15000);
        QCOMPARE(p.pc->codes.last(), PppErr::User - PPP_TERMINATION_OFFSET);
        // Closing an ended session reports nothing more; the unit is released.
        QCOMPARE(p.pc->close(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(pppSessionsInUse(), 0, 15000);
        QCOMPARE(p.pc->codes.count(PppErr::User - PPP_TERMINATION_OFFSET), 1);
    }

    void unitsRunOut()
    {
        PppTicker ticker;
        // 32 sessions as 16 links, so that every close is answered at once.
        QList<Pair *> pairs;
        for (int i = 0; i < 16; ++i) {
            pairs << new Pair;
            QVERIFY(pairs.last()->pc->open());
            QVERIFY(pairs.last()->device->open());
            QCOMPARE(pairs.last()->pc->unit, 2 * i);
            QCOMPARE(pairs.last()->device->unit, 2 * i + 1);
        }
        QCOMPARE(pppSessionsInUse(), 32);
        QCOMPARE(pppOverSerialOpen(nullptr, nullptr, nullptr, nullptr, nullptr), int(PppErr::Open));
        for (Pair *p : pairs) {
            p->pc->close();
            p->device->close();
        }
        QTRY_COMPARE_WITH_TIMEOUT(pppSessionsInUse(), 0, 15000);
        qDeleteAll(pairs);
    }

    // Link up, packets both ways, the peer ends the link.
    void linkBetweenTwoSessions()
    {
        PppTicker ticker;
        Pair p;
        QVERIFY(p.pc->open());
        QVERIFY(p.device->open());
        QTRY_VERIFY_WITH_TIMEOUT(p.pc->up() && p.device->up(), 10000);
        QCOMPARE(PppEndpoint::dotted(p.pc->addrs.our_ipaddr), QStringLiteral("10.10.10.20"));
        QCOMPARE(PppEndpoint::dotted(p.pc->addrs.his_ipaddr), QStringLiteral("10.10.10.10"));
        QCOMPARE(PppEndpoint::dotted(p.device->addrs.our_ipaddr), QStringLiteral("10.10.10.10"));
        QVERIFY(p.pc->dataRequests >= 1);

        QVERIFY(p.pc->written.endsWith('\x7e'));

        const QByteArray big = udpPacket(ip(10, 10, 10, 20), ip(10, 10, 10, 10), 4000, 6666,
                                         QByteArray(1400, '\x7e') + QByteArray(52, '\x11'));
        const QByteArray small = udpPacket(ip(10, 10, 10, 10), ip(10, 10, 10, 20), 6666, 4000, "ack");
        QCOMPARE(pppIpOutput(p.pc->unit, big.constData(), big.size()), 0);
        QCOMPARE(pppIpOutput(p.device->unit, small.constData(), small.size()), 0);
        QTRY_COMPARE(p.device->packets.size(), 1);
        QTRY_COMPARE(p.pc->packets.size(), 1);
        QCOMPARE(p.device->packets.first(), big);
        QCOMPARE(p.pc->packets.first(), small);

        // The device ends the link: IPCP down first, then the end, reported
        // as a protocol end because the PC's session had no error of its own.
        QCOMPARE(p.device->close(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(p.pc->ended() && p.device->ended(), 10000);
        QCOMPARE(p.pc->codes, QList<int>({0, PppErr::Connect, PppErr::Protocol - PPP_TERMINATION_OFFSET}));
        QCOMPARE(p.device->codes.last(), PppErr::User - PPP_TERMINATION_OFFSET);
        QTRY_COMPARE_WITH_TIMEOUT(pppSessionsInUse(), 0, 15000);
        // The unit is gone with its session.
        QCOMPARE(pppIpOutput(p.pc->unit, small.constData(), small.size()), int(PPP_OUT_BAD_ARGS));
    }

    // The scripted device end as a separate process over a pseudo-terminal
    // pair: once ending the link after it came up, once refusing it before.
    void scriptedPeerProcess_data()
    {
        QTest::addColumn<QStringList>("peerArgs");
        QTest::addColumn<bool>("wasUp");
        QTest::addColumn<int>("endCode");
        QTest::newRow("ends after link-up") << QStringList{"--terminate-after-up", "300"} << true
                                            << PppErr::Protocol - PPP_TERMINATION_OFFSET;
        QTest::newRow("refuses before link-up") << QStringList{"--require-pap", "kasa:tajne"} << false
                                                << PppErr::AuthFail - PPP_TERMINATION_OFFSET;
    }
    void scriptedPeerProcess()
    {
        QFETCH(QStringList, peerArgs);
        QFETCH(bool, wasUp);
        QFETCH(int, endCode);
        if (QStandardPaths::findExecutable("socat").isEmpty())
            QSKIP("socat is not installed");
        QTemporaryDir dir;
        const QString a = dir.filePath("a"), b = dir.filePath("b");
        QProcess line;
        line.start("socat", {"pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b});
        QVERIFY(line.waitForStarted());
        QTRY_VERIFY(QFile::exists(a) && QFile::exists(b));
        QProcess peer;
        peer.start(QCoreApplication::applicationDirPath() + "/ppp_testpeer",
                   QStringList{"--tty", b, "--exit-after-end"} + peerArgs);
        QVERIFY(peer.waitForStarted());
        const int fd = openRawTty(a);
        QVERIFY(fd >= 0);
        PppTicker ticker;
        {
            PppEndpoint pc(fd, ip(10, 10, 10, 20), ip(10, 10, 10, 10));
            QVERIFY(pc.open());
            QTRY_VERIFY_WITH_TIMEOUT(pc.ended(), 20000);
            QCOMPARE(pc.up(), wasUp);
            if (wasUp)
                QCOMPARE(pc.codes, QList<int>({0, PppErr::Connect, endCode}));
            else
                QCOMPARE(pc.codes, QList<int>({endCode}));
            // Keep this side's loop (and so the line) going while the peer ends.
            QTRY_COMPARE_WITH_TIMEOUT(peer.state(), QProcess::NotRunning, 20000);
            QVERIFY(peer.readAllStandardOutput().contains("END"));
        }
        ::close(fd);
        line.kill();
        line.waitForFinished(3000);
        QTRY_COMPARE_WITH_TIMEOUT(pppSessionsInUse(), 0, 15000);
    }

    // Against a PPP implementation we did not write: Debian's slirp, in a
    // namespace of its own, answering UDP on 10.10.10.10 from its loopback.
    void againstSlirp()
    {
        const QString slirp = QStringLiteral("/usr/bin/slirp-fullbolt");
        if (!QFile::exists(slirp) || QStandardPaths::findExecutable("socat").isEmpty())
            QSKIP("slirp-fullbolt or socat is not installed");
        NetNamespace ns;
        if (!ns.ok())
            QSKIP(qPrintable(ns.skipReason()));
        QTemporaryDir dir;
        const QString tty = dir.filePath("slirp-tty");
        QProcess echo;
        echo.start("ip",
                   {"netns", "exec", ns.name(), "socat", "UDP4-RECVFROM:6666,bind=127.0.0.1,fork", "PIPE"});
        QVERIFY(echo.waitForStarted());
        QProcess peer;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", dir.path());
        peer.setProcessEnvironment(env);
        peer.setWorkingDirectory(dir.path());
        peer.start("ip",
                   {"netns", "exec", ns.name(), "socat", "pty,raw,echo=0,link=" + tty,
                    QString("EXEC:'%1 ppp nozeros \"special addr 10.10.10.0\" ipcp-accept-remote',pty,raw,"
                            "echo=0,setsid,ctty")
                        .arg(slirp)});
        QVERIFY(peer.waitForStarted());
        QTRY_VERIFY(QFile::exists(tty));
        const int fd = openRawTty(tty);
        QVERIFY(fd >= 0);
        {
            LogCapture log(6);
            PppTicker ticker;
            PppEndpoint pc(fd, ip(10, 10, 10, 20), ip(10, 10, 10, 10));
            QVERIFY(pc.open());
            QTRY_VERIFY_WITH_TIMEOUT(pc.up() || pc.ended(), 20000);
            QVERIFY2(pc.up(), qPrintable(log.text().right(3000)));
            QCOMPARE(PppEndpoint::dotted(pc.addrs.our_ipaddr), QStringLiteral("10.10.10.20"));
            // slirp knows no address of its own: it takes the one suggested.
            QCOMPARE(PppEndpoint::dotted(pc.addrs.his_ipaddr), QStringLiteral("10.10.10.10"));
            // The stack's own diagnostics reach the log.
            QVERIFY(log.contains("ppp"));

            const QByteArray q =
                udpPacket(ip(10, 10, 10, 20), ip(10, 10, 10, 10), 40000, 6666, "kasa fiskalna");
            const int sent = pppIpOutput(pc.unit, q.constData(), q.size());
            if (sent != 0) {
                QString codes;
                for (int c : pc.codes)
                    codes += QString::number(c) + ' ';
                qWarning("%s", qPrintable(codes + QString::fromLocal8Bit(peer.readAllStandardError() +
                                                                         peer.readAllStandardOutput())));
            }
            QCOMPARE(sent, 0);
            QTRY_VERIFY_WITH_TIMEOUT(!pc.packets.isEmpty(), 10000);
            const QByteArray r = pc.packets.first();
            QCOMPARE(r.mid(12, 4), QByteArray::fromHex("0a0a0a0a"));
            QCOMPARE(r.mid(16, 4), QByteArray::fromHex("0a0a0a14"));
            QCOMPARE(r.mid(28), QByteArray("kasa fiskalna"));

            QElapsedTimer t;
            t.start();
            QCOMPARE(pc.close(), 0);
            QCOMPARE(pc.callbacksInsideClose, 0);
            QTRY_VERIFY_WITH_TIMEOUT(pc.ended(), 15000);
            QCOMPARE(pc.codes.last(), PppErr::User - PPP_TERMINATION_OFFSET);
            qInfo("stop against slirp took %lld ms", t.elapsed());
        }
        ::close(fd);
        peer.kill();
        peer.waitForFinished(3000);
        echo.kill();
        echo.waitForFinished(3000);
    }
};

QTEST_GUILESS_MAIN(TestLwipPort)
#include "tst_lwipport.moc"
