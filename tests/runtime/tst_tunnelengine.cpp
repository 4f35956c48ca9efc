// The COM-TCP engine on real pieces: driver pairs with a point-of-sale
// client on the configured port, device stand-ins on 127.0.0.1, the engine
// run by its worker in its own thread: the pump, hang-ups, port loss.
#include "platform/keepalive.h"
#include "runtime/tunnelcommengine.h"
#include "runtime/workthreadip.h"
#include "tests/support/testenv.h"
#include "tests/support/tunnelfixture.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QThread>
#include <QtTest>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

class TestTunnelEngine : public TunnelTestCase
{
    Q_OBJECT

private slots:
    // A port name the driver does not have yet: the engine creates the pair
    // and opens its hidden end; the configured name is the POS side.
    void missingPortIsCreated()
    {
        DeviceServer dev(DeviceServer::Echo);
        TunnelSettings s = directIP();
        s.data_com = QStringLiteral("com8"); // names are not case-sensitive
        s.data_settings = QStringLiteral("9600,8,N,1,N/NO/NS");
        s.data_ip = dev.target();
        SupervisorStub sup;
        sup.start(s);
        QVERIFY(sup.waitState(TunnelSettings::Running));
        QVERIFY(log->text().contains(
            QStringLiteral("Final port name: %1").arg(pairs->path(QStringLiteral("NULL_COM8")))));
        PosPort pos;
        QVERIFY(pos.open(pairs->path(QStringLiteral("COM8"))));
        const QByteArray msg = randomBytes(5000, 7);
        pos.write(msg);
        QVERIFY(waitFor([&]() { return pos.received.size() >= msg.size(); }, 20000));
        QVERIFY(pos.received == msg);
        // The POS program closing its side is no error of the engine's port:
        // bytes sent after it opens again come back, so the engine has seen
        // the close by then, and it logged no port error for it.
        pos.close();
        pos.received.clear();
        QVERIFY(pos.open(pairs->path(QStringLiteral("COM8"))));
        pos.write(QByteArray("again"));
        QVERIFY(waitFor([&]() { return pos.received == "again"; }, 20000));
        QVERIFY(!log->text().contains(QStringLiteral("Port error")));
        QCOMPARE(sup.last(), TunnelSettings::Running);
    }

    // An engine's start asks the driver about its own port, never about
    // every port in the folder (a start per configuration then cost a round
    // trip per existing port): a stale link there is never asked about. A
    // name in another case finds its existing pair, a new name gets its pair
    // made, and the driver's pairs are listed only for the port that is there.
    void startAsksAboutItsOwnPortOnly()
    {
        for (int i = 0; i < 12; ++i)
            QVERIFY(pairs->create(QStringLiteral("SPARE%1").arg(i)));
        QVERIFY(pairs->create(QStringLiteral("COM12")));
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), pairs->path(QStringLiteral("STALE"))));
        DeviceServer dev(DeviceServer::Echo);
        TunnelSettings s = directIP();
        s.data_com = QStringLiteral("com12");
        s.data_settings = QStringLiteral("9600,8,N,1,N/NO/NS");
        s.data_ip = dev.target();
        s.proxy_com = {QStringLiteral("COM13")};
        s.proxy_settings = {s.data_settings};
        s.proxy_data = {dev.target()};
        s.proxy_ctrl = {dev.target()};
        const int before = log->text().size();
        SupervisorStub sup;
        sup.start(s);
        QVERIFY(sup.waitState(TunnelSettings::Running));
        const QString text = log->text().mid(before);
        QVERIFY(text.contains(QStringLiteral("This is our port, using other side: NULL_COM12")));
        QVERIFY(text.contains(
            QStringLiteral("Final port name: %1").arg(pairs->path(QStringLiteral("NULL_COM13")))));
        QVERIFY2(!text.contains(QStringLiteral("STALE")), qPrintable(text));
        QCOMPARE(text.count(QStringLiteral("VSPD QueryBus success")), 1);
        PosPort pos;
        QVERIFY(pos.open(pairs->path(QStringLiteral("COM12"))));
        pos.write(QByteArray("old pair"));
        QVERIFY(waitFor([&]() { return pos.received == "old pair"; }, 10000));
    }

    // Without the driver the configured port is opened as it is, trying
    // once a second: a port that appears after two failed tries is opened
    // on the third, and the failed tries leave no reopen behind.
    void portThatAppearsLate()
    {
        TunnelCommEngine::setVSPInterface(nullptr);
        DeviceServer dev(DeviceServer::Echo);
        TunnelSettings s = directIP();
        s.data_com = pairs->path(QStringLiteral("NULL_COM7"));
        s.data_settings = QStringLiteral("9600,8,N,1,N/NO/NS");
        s.data_ip = dev.target();
        SupervisorStub sup;
        sup.start(s);
        QTest::qWait(2500);
        QVERIFY(pairs->create(QStringLiteral("COM7")));
        QVERIFY(sup.waitState(TunnelSettings::Running));
        TunnelCommEngine::setVSPInterface(pairs->vsp());
        PosPort pos;
        QVERIFY(pos.open(posPath(QStringLiteral("COM7"))));
        pos.write(QByteArray("ping"));
        QVERIFY(waitFor([&]() { return pos.received == "ping"; }, 10000));
        const QString text = log->text();
        QVERIFY(text.contains(
            QStringLiteral("Invalid VSP library handle, cannot check and fix ports, will just try to open")));
        QVERIFY(text.count(QStringLiteral("Open port %1 fail (").arg(s.data_com)) >= 2);
        QVERIFY(!text.contains(QStringLiteral("fail (No error)")));
        QVERIFY(!text.contains(QStringLiteral("Port error")));
        QVERIFY(!text.contains(QStringLiteral("Port reopen")));
    }

    // The device hangs up while chunks are in flight both ways: "[B]", a new
    // connection at once, and both directions go on; what the device sent
    // before hanging up reaches the POS whole. Then the device refuses.
    void deviceHangsUpWhileRunning()
    {
        QVERIFY(pairs->create(QStringLiteral("COM5")));
        DeviceServer dev(DeviceServer::Silent);
        SupervisorStub sup;
        sup.start(pcInterfaceOnCom5(dev.target()));
        QVERIFY(sup.waitState(TunnelSettings::Running));
        PosPort pos;
        QVERIFY(pos.open(posPath(QStringLiteral("COM5"))));

        const QByteArray up = randomBytes(512 * 1024, 11);
        const QByteArray down1 = randomBytes(256 * 1024, 12);
        pos.write(up);
        dev.current()->write(down1);
        QVERIFY(
            waitFor([&]() { return dev.received.size() > 64 * 1024 && pos.received.size() > 64 * 1024; }));
        dev.closeCurrent();

        QVERIFY(waitFor([&]() { return dev.accepted == 2 && dev.current(); }, 10000));
        const QString text = log->text();
        QVERIFY(text.contains(
            QStringLiteral("Remote host closed connection to  data socket %1 [B]").arg(dev.target())));
        QVERIFY(text.contains(QStringLiteral("Trying to reconnect data socket %1 [A]").arg(dev.target())));

        // Towards the device: the rest of the stream (what the closed
        // connection did not take; its last unconfirmed chunk is sent again)
        // and then new bytes arrive on the second connection.
        QVERIFY(up.startsWith(dev.perConnection.at(0)));
        const QByteArray up2 = randomBytes(64 * 1024, 14);
        pos.write(up2);
        QVERIFY(waitFor([&]() { return dev.perConnection.value(1).endsWith(up2); }));
        const QByteArray second = dev.perConnection.at(1);
        QVERIFY(up.endsWith(second.left(second.size() - up2.size())));
        // Towards the POS: everything the device sent, then more on the new connection.
        const QByteArray down2 = randomBytes(100 * 1024, 13);
        dev.current()->write(down2);
        QVERIFY(waitFor([&]() { return pos.received.size() >= down1.size() + down2.size(); }));
        QVERIFY(pos.received == down1 + down2);
        QCOMPARE(sup.last(), TunnelSettings::Running);

        // The device goes away for good: the reconnect is refused.
        const quint16 devPort = dev.serverPort();
        dev.close();
        dev.closeCurrent();
        QVERIFY(sup.waitGone());
        QCOMPARE(sup.last(), TunnelSettings::StoppedError);
        QCOMPARE(sup.errors.size(), 1);
        QCOMPARE(sup.errors.first(),
                 QStringLiteral("Błąd połączenia z 127.0.0.1:%1 - Connection refused").arg(devPort));
    }

    // The pair is deleted and created again under the running engine while
    // the device streams to the POS: the engine reopens its end and both
    // directions carry traffic again.
    void portLostAndReopened()
    {
        QVERIFY(pairs->create(QStringLiteral("COM5")));
        DeviceServer dev(DeviceServer::Silent);
        SupervisorStub sup;
        sup.start(pcInterfaceOnCom5(dev.target()));
        QVERIFY(sup.waitState(TunnelSettings::Running));
        {
            PosPort pos;
            QVERIFY(pos.open(posPath(QStringLiteral("COM5"))));
            dev.current()->write(randomBytes(1 << 20, 21));
            pos.write(randomBytes(64 * 1024, 22));
            QVERIFY(waitFor([&]() { return pos.received.size() > 32 * 1024; }));
            QVERIFY(pairs->remove(QStringLiteral("COM5")));
            pos.close();
        }
        QVERIFY(waitFor([&]() { return log->text().contains(QStringLiteral("Port error, retry open: ")); },
                        10000));
        QVERIFY(pairs->create(QStringLiteral("COM5")));
        QVERIFY(
            waitFor([&]() { return log->text().contains(QStringLiteral("Port reopen sucess!")); }, 10000));
        QCOMPARE(log->count(QStringLiteral("Port error, retry open: ")), 1);

        PosPort pos;
        QVERIFY(pos.open(posPath(QStringLiteral("COM5"))));
        const QByteArray down = randomBytes(4096, 23);
        const QByteArray up = randomBytes(4096, 24);
        dev.current()->write(down);
        pos.write(up);
        QVERIFY(waitFor([&]() { return pos.received.endsWith(down); }));
        QVERIFY(waitFor([&]() { return dev.received.endsWith(up); }));
        QCOMPARE(sup.last(), TunnelSettings::Running);
        QVERIFY(sup.errors.isEmpty());
    }

    // The POS, and then the device, stop reading for a while the other side
    // sends a lot: the buffers on the way fill up, and every byte still
    // arrives exactly once.
    void slowReaderGetsEveryByteOnce()
    {
        QVERIFY(pairs->create(QStringLiteral("COM5")));
        DeviceServer dev(DeviceServer::Silent);
        SupervisorStub sup;
        sup.start(pcInterfaceOnCom5(dev.target()));
        QVERIFY(sup.waitState(TunnelSettings::Running));
        PosPort pos;
        QVERIFY(pos.open(posPath(QStringLiteral("COM5"))));
        pos.pause(true);
        const QByteArray down = randomBytes(256 * 1024, 31);
        dev.current()->write(down);
        QTest::qWait(1500);
        QVERIFY(pos.received.size() < down.size());
        pos.pause(false);
        // A last mark behind the block: bytes sent twice would come before it.
        dev.current()->write(QByteArray("end"));
        QVERIFY(waitFor([&]() { return pos.received.size() >= down.size() + 3; }));
        QCOMPARE(pos.received.size(), down.size() + 3);
        QVERIFY(pos.received == down + "end");

        // The same towards a device that stops reading: the socket takes
        // chunks in part once its buffers are full.
        dev.pause(true);
        const QByteArray up = randomBytes(4 << 20, 32);
        pos.write(up);
        QTest::qWait(3000);
        dev.pause(false);
        pos.write(QByteArray("end"));
        QVERIFY(waitFor([&]() { return dev.received.size() >= up.size() + 3; }, 120000));
        QCOMPARE(dev.received.size(), up.size() + 3);
        QVERIFY(dev.received == up + "end");
    }

    // Chunks of 64 both ways (200 bytes: 64, 64, 64, 8); bytes on the
    // control connection and line changes of the port carry nothing.
    void chunksAndControlConnection()
    {
        delete log;
        log = new LogCapture(16);
        QVERIFY(pairs->create(QStringLiteral("COM6")));
        DeviceServer data(DeviceServer::Silent), ctrl(DeviceServer::Silent);
        TunnelSettings s = directIP();
        s.proxy_com = {QStringLiteral("COM6")};
        s.proxy_settings = {QStringLiteral("9600,8,N,1,N/NO/NS")};
        s.proxy_data = {data.target()};
        s.proxy_ctrl = {ctrl.target()};
        SupervisorStub sup;
        sup.start(s);
        QVERIFY(sup.waitState(TunnelSettings::Running));
        PosPort pos;
        QVERIFY(pos.open(posPath(QStringLiteral("COM6"))));

        const QByteArray up = randomBytes(200, 41);
        pos.write(up);
        QVERIFY(waitFor([&]() { return data.received.size() >= 200; }));
        const QByteArray down = randomBytes(200, 42);
        data.current()->write(down);
        QVERIFY(waitFor([&]() { return pos.received.size() >= 200; }));
        QVERIFY(data.received == up);
        QVERIFY(pos.received == down);

        const QString text = log->text();
        QRegularExpression tcpWritten(
            QStringLiteral("TCP written bytes=(\\d+), data_com_tcp.size\\(\\)=(\\d+)"));
        QRegularExpression comWritten(
            QStringLiteral("COM written bytes=(\\d+), data_tcp_com.size\\(\\)=(\\d+)"));
        QStringList sizes;
        for (auto it = tcpWritten.globalMatch(text); it.hasNext();)
            sizes << it.next().captured(1);
        QCOMPARE(sizes, (QStringList{"64", "64", "64", "8"}));
        sizes.clear();
        for (auto it = comWritten.globalMatch(text); it.hasNext();)
            sizes << it.next().captured(1);
        QCOMPARE(sizes, (QStringList{"64", "64", "64", "8"}));
        QCOMPARE(text.count(QStringLiteral("data_com_tcp was empty initializing first chunk (64) send")), 1);

        ctrl.current()->write(QByteArray("device speaks on control"));
        pos.port.setDataTerminalReady(false);
        pos.port.setRequestToSend(false);
        pos.port.setDataTerminalReady(true);
        // Marks through the data connection both ways, sent after the control
        // bytes and line changes: anything those carried would come first.
        pos.write(QByteArray("up-mark"));
        data.current()->write(QByteArray("down-mark"));
        QVERIFY(waitFor([&]() { return data.received.size() >= up.size() + 7; }));
        QVERIFY(waitFor([&]() { return pos.received.size() >= down.size() + 9; }));
        QCOMPARE(pos.received, down + "down-mark");
        QCOMPARE(data.received, up + "up-mark");
        QVERIFY(ctrl.received.isEmpty());

        // The control connection is reconnected like the data connection.
        ctrl.closeCurrent();
        QVERIFY(waitFor([&]() { return ctrl.accepted == 2 && ctrl.current(); }, 10000));
        QVERIFY(log->text().contains(
            QStringLiteral("Trying to reconnect signal socket %1 [A]").arg(ctrl.target())));
        QCOMPARE(sup.last(), TunnelSettings::Running);
    }

    // Bursts of exactly one turn's worth of chunks, and one byte more, both
    // ways at once: nothing stalls at the end of a turn, every confirmation
    // is logged once per chunk of at most 64 bytes and they add up to what
    // was sent; the worker's thread polls without glib's extra wake-ups.
    void turnSizedBurstsBothWays()
    {
        delete log;
        log = new LogCapture(16);
        QVERIFY(pairs->create(QStringLiteral("COM5")));
        DeviceServer dev(DeviceServer::Silent);
        SupervisorStub sup;
        sup.start(pcInterfaceOnCom5(dev.target()));
        QVERIFY(sup.waitState(TunnelSettings::Running));
        {
            QThread probe;
            probe.start();
            QTRY_VERIFY(QAbstractEventDispatcher::instance(&probe));
            QCOMPARE(QAbstractEventDispatcher::instance(&probe)->metaObject()->className(),
                     "QEventDispatcherUNIX");
            probe.quit();
            probe.wait();
        }
        PosPort pos;
        QVERIFY(pos.open(posPath(QStringLiteral("COM5"))));
        constexpr int kTurn = ChunkPump::kChunksPerTurn * ChunkPump::kChunkSize;
        QByteArray up, down;
        for (int extra : {0, 1, 0}) {
            const QByteArray u = randomBytes(kTurn + extra, quint32(51 + up.size()));
            const QByteArray d = randomBytes(kTurn + extra, quint32(52 + down.size()));
            up += u;
            down += d;
            pos.write(u);
            dev.current()->write(d);
            QVERIFY(waitFor([&]() { return dev.received.size() >= up.size(); }, 20000));
            QVERIFY(waitFor([&]() { return pos.received.size() >= down.size(); }, 20000));
        }
        QTest::qWait(200);
        QVERIFY(dev.received == up);
        QVERIFY(pos.received == down);

        const QString text = log->text();
        const auto confirmed = [&text](const QString &pattern, int *largest) {
            qint64 sum = 0;
            QRegularExpression re(pattern);
            for (auto it = re.globalMatch(text); it.hasNext();) {
                const int n = it.next().captured(1).toInt();
                *largest = qMax(*largest, n);
                sum += n;
            }
            return sum;
        };
        int largestUp = 0, largestDown = 0;
        QCOMPARE(confirmed(QStringLiteral("TCP written bytes=(\\d+), data_com_tcp"), &largestUp),
                 qint64(up.size()));
        QCOMPARE(confirmed(QStringLiteral("COM written bytes=(\\d+), data_tcp_com"), &largestDown),
                 qint64(down.size()));
        QCOMPARE(largestUp, ChunkPump::kChunkSize);
        QCOMPARE(largestDown, ChunkPump::kChunkSize);
        QCOMPARE(sup.last(), TunnelSettings::Running);
        QVERIFY(sup.errors.isEmpty());
    }

    // A far side that stops reading while the other keeps sending, each way
    // in turn: the sender is held back (by the port driver, by TCP), the
    // engine holds at most its cap plus one read, and once the reader
    // resumes every byte arrives once and in order.
    void floodsAreHeldBack()
    {
        QVERIFY(pairs->create(QStringLiteral("COM5")));
        DeviceServer dev(DeviceServer::Silent);
        SupervisorStub sup;
        sup.start(pcInterfaceOnCom5(dev.target()));
        QVERIFY(sup.waitState(TunnelSettings::Running));
        PosPort pos;
        QVERIFY(pos.open(posPath(QStringLiteral("COM5"))));
        auto flood = [](QIODevice *out, const std::function<void(bool)> &pauseReader, QByteArray *received) {
            constexpr int kPiece = 64 * 1024, kLimit = 48 << 20;
            pauseReader(true);
            QByteArray sent;
            QElapsedTimer idle; // held back: nothing taken for 2 s
            idle.start();
            const auto progress = connect(out, &QIODevice::bytesWritten, [&idle]() { idle.restart(); });
            while (sent.size() < kLimit && idle.elapsed() < 2000) {
                if (out->bytesToWrite() < kPiece) {
                    sent += randomBytes(kPiece, quint32(sent.size()));
                    out->write(sent.right(kPiece));
                }
                QTest::qWait(1);
            }
            disconnect(progress);
            qInfo("%d bytes taken before the writer was held back, engine peak %d", sent.size(),
                  TunnelCommEngine::bufferHighWater());
            QVERIFY2(sent.size() < kLimit, "the writer was never held back");
            QVERIFY(TunnelCommEngine::bufferHighWater() <=
                    TunnelCommEngine::kBufferCap + TunnelCommEngine::kSourceReadAhead);
            pauseReader(false);
            // A last mark behind the flood: bytes sent twice would come before it.
            sent += "end";
            out->write(QByteArray("end"));
            QVERIFY(waitFor([&]() { return received->size() >= sent.size(); }, 120000));
            QVERIFY(*received == sent);
        };
        flood(
            &pos.port, [&](bool on) { dev.pause(on); }, &dev.received);
        flood(
            dev.current(), [&](bool on) { pos.pause(on); }, &pos.received);
        QCOMPARE(sup.last(), TunnelSettings::Running);
    }

    // The keep-alive layer sets what the kernel uses: probes after 10 s of
    // silence, then every second.
    void keepAliveValues()
    {
        DeviceServer dev(DeviceServer::Silent);
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, dev.port());
        QVERIFY(socket.waitForConnected(5000));
        QCOMPARE(setKeepalives(socket.socketDescriptor()), 0);
        int on = 0, idle = 0, interval = 0;
        socklen_t len = sizeof(int);
        ::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_KEEPALIVE, &on, &len);
        ::getsockopt(int(socket.socketDescriptor()), IPPROTO_TCP, TCP_KEEPIDLE, &idle, &len);
        ::getsockopt(int(socket.socketDescriptor()), IPPROTO_TCP, TCP_KEEPINTVL, &interval, &len);
        QCOMPARE(on, 1);
        QCOMPARE(idle, 10);
        QCOMPARE(interval, 1);
        QCOMPARE(setKeepalives(-1), EBADF);
    }
};

QTEST_GUILESS_MAIN(TestTunnelEngine)
#include "tst_tunnelengine.moc"
