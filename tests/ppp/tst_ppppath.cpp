// The PPP path end to end, without the engine around it: the PC's own TCP
// in one namespace goes out through the diversion interface, into the
// adapter's PPP session over a pseudo-terminal, to Debian's slirp in a
// second namespace, which connects to an echo server on its loopback; the
// replies come back the same way and are injected into the PC's stack.
#include "platform/netdivert.h"
#include "runtime/lwipport.h"
#include "runtime/netdivertrecvthread.h"
#include "runtime/pcapwriter.h"

#include "../net/netns.h"
#include "../net/packets.h"
#include "pppharness.h"
#include "tests/support/logcapture.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <termios.h>

using namespace testpackets;

class TestPppPath : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void initTestCase()
    {
        NetDivertRecvThread::registerMetaTypes();
        pppInit();
    }

    void tcpThroughDiversionAndSlirp()
    {
        const QString slirp = QStringLiteral("/usr/bin/slirp-fullbolt");
        if (!QFile::exists(slirp) || QStandardPaths::findExecutable("socat").isEmpty())
            QSKIP("slirp-fullbolt or socat is not installed");
        NetNamespace pcNs, deviceNs;
        if (!pcNs.ok())
            QSKIP(qPrintable(pcNs.skipReason()));
        QVERIFY(deviceNs.ok());

        // The device's end: slirp, and an echo server it reaches for 10.10.10.10:7000.
        QProcess echo;
        echo.start("ip", {"netns", "exec", deviceNs.name(), "socat",
                          "TCP-LISTEN:7000,bind=127.0.0.1,reuseaddr", "PIPE"});
        QVERIFY(echo.waitForStarted());
        const QString tty = dir.filePath("line");
        QProcess peer;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", dir.path());
        peer.setProcessEnvironment(env);
        peer.setWorkingDirectory(dir.path());
        peer.start("ip", {"netns", "exec", deviceNs.name(), "socat", "pty,raw,echo=0,link=" + tty,
                          QString("EXEC:'%1 ppp nozeros \"special addr 10.10.10.0\" ipcp-accept-remote"
                                  "',pty,raw,echo=0,setsid,ctty")
                              .arg(slirp)});
        QVERIFY(peer.waitForStarted());
        QTRY_VERIFY(QFile::exists(tty));
        const int fd = ::open(tty.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        termios t;
        QVERIFY(::tcgetattr(fd, &t) == 0);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);

        QVERIFY(pcNs.enter());
        LogCapture log(4);
        const QString pcapName = dir.filePath("path.pcap");
        {
            PppTicker ticker;
            PCAPWriter pcap(pcapName);
            const DivertHandle h =
                WinDivertOpen("outbound and ip.DstAddr == 10.10.10.10", 0, 0, 0, ip(10, 10, 10, 20));
            QVERIFY2(h != INVALID_DIVERT_HANDLE, strerror(errno));
            PppEndpoint pc(fd, ip(10, 10, 10, 20), ip(10, 10, 10, 10));
            DivertAddress inbound;
            inbound.Direction = DIVERT_DIRECTION_INBOUND;
            int injected = 0, sent = 0, sendErrors = 0;
            pc.onPacket = [&](const char *data, int len) {
                uint w = 0;
                if (WinDivertSend(h, data, uint(len), &inbound, &w))
                    ++injected;
                const QByteArray copy(data, len);
                pcap.appendPCAP(&copy);
            };
            NetDivertRecvThread thread;
            thread.setHandle(h);
            bool closed = false;
            // Also on a failed check: wake and end the receiver, drop the interface.
            auto stop = qScopeGuard([&] {
                if (!closed)
                    WinDivertClose(h);
                thread.requestInterruption();
                thread.wait(3000);
                QCoreApplication::sendPostedEvents();
            });
            connect(&thread, &NetDivertRecvThread::interfacesDetected, this, [&](int ifIdx, int sub, void *) {
                inbound.IfIdx = quint32(ifIdx);
                inbound.SubIfIdx = quint32(sub);
            });
            connect(&thread, &NetDivertRecvThread::frameRecv, this, [&](const QByteArray *f, void *) {
                if (pppIpOutput(pc.unit, f->constData(), f->size()) == 0)
                    ++sent;
                else
                    ++sendErrors;
                pcap.appendPCAP(f);
                delete f;
            });
            QVERIFY(pc.open());
            QTRY_VERIFY_WITH_TIMEOUT(pc.up() || pc.ended(), 20000);
            QVERIFY(pc.up());
            thread.start();

            QTcpSocket sock;
            sock.connectToHost(QHostAddress("10.10.10.10"), 7000);
            // The path runs on this thread's event loop: wait without blocking it.
            QTRY_COMPARE_WITH_TIMEOUT(sock.state(), QAbstractSocket::ConnectedState, 10000);
            QCOMPARE(sock.localAddress(), QHostAddress("10.10.10.20"));
            QByteArray payload(1 << 20, Qt::Uninitialized);
            QRandomGenerator gen(42);
            for (int i = 0; i < payload.size(); ++i)
                payload[i] = char(gen.bounded(256));
            QElapsedTimer timer;
            timer.start();
            sock.write(payload);
            QByteArray back;
            connect(&sock, &QTcpSocket::readyRead, this, [&] { back += sock.readAll(); });
            QTRY_VERIFY_WITH_TIMEOUT(back.size() >= payload.size(), 120000);
            const qint64 ms = timer.elapsed();
            QVERIFY(back == payload);
            qInfo("1 MiB each way through the path in %lld ms (%d packets out, %d in)", ms, sent, injected);
            QCOMPARE(sendErrors, 0);
            sock.disconnectFromHost();

            QVERIFY(WinDivertClose(h));
            closed = true;
            thread.requestInterruption();
            QVERIFY(thread.wait(3000));
            QCoreApplication::sendPostedEvents();
            QVERIFY(pc.close() == 0);
            QTRY_VERIFY_WITH_TIMEOUT(pc.ended(), 15000);
            QCOMPARE(pc.codes.last(), PppErr::User - PPP_TERMINATION_OFFSET);
        }
        pcNs.leave();
        ::close(fd);
        peer.kill();
        peer.waitForFinished(3000);
        echo.kill();
        echo.waitForFinished(3000);

        // The capture file holds the session's TCP packets both ways.
        const QString tshark = QStandardPaths::findExecutable("tshark");
        if (!tshark.isEmpty()) {
            QProcess p;
            p.start(tshark, {"-n", "-r", pcapName, "-Y", "tcp.port == 7000 && tcp.flags.syn == 1", "-T",
                             "fields", "-e", "ip.src", "-e", "ip.dst"});
            QVERIFY(p.waitForFinished(60000));
            const QString out = QString::fromUtf8(p.readAllStandardOutput());
            QVERIFY2(out.contains("10.10.10.20\t10.10.10.10"), qPrintable(out));
            QVERIFY2(out.contains("10.10.10.10\t10.10.10.20"), qPrintable(out));
        }
    }
};

QTEST_GUILESS_MAIN(TestPppPath)
#include "tst_ppppath.moc"
