// Workers of direct-IP configurations, started and stopped as the
// supervisor does: channel order, readiness, start failures, stops, on
// real driver pairs and device stand-ins on 127.0.0.1.
#include "platform/keepalive.h"
#include "runtime/tunnelcommengine.h"
#include "runtime/workthreadip.h"
#include "tests/support/testenv.h"
#include "tests/support/tunnelfixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

class TestWorkThreadIP : public TunnelTestCase
{
    Q_OBJECT

private slots:
    // PC interface plus two device-COM tunnels: five connections, Running
    // only after the last of them, then 1 MiB each way through every channel
    // at once, byte for byte.
    void threeChannelsCarryMiBEachWay()
    {
        const QStringList names = {QStringLiteral("COM5"), QStringLiteral("COM6"), QStringLiteral("COM7")};
        for (const QString &n : names)
            QVERIFY(pairs->create(n));
        DeviceServer pcData(DeviceServer::Silent), t1Data(DeviceServer::Silent), t1Ctrl(DeviceServer::Silent),
            t2Data(DeviceServer::Silent), t2Ctrl(DeviceServer::Silent);

        TunnelSettings s = directIP();
        s.data_com = configured(names[0]);
        s.data_settings = QStringLiteral("115200,8,N,1,N/NO/NS");
        s.data_ip = pcData.target();
        s.proxy_com = {configured(names[1]), configured(names[2])};
        s.proxy_settings = {QStringLiteral("9600,8,N,1,N/NO/NS"), QStringLiteral("19200,8,E,1,N")};
        s.proxy_data = {t1Data.target(), t2Data.target()};
        s.proxy_ctrl = {t1Ctrl.target(), t2Ctrl.target()};

        SupervisorStub sup;
        sup.start(s);
        QVERIFY(sup.waitState(TunnelSettings::Running));
        QCOMPARE(sup.states.first(), TunnelSettings::Starting);
        QCOMPARE(sup.states.count(TunnelSettings::Running), 1);
        for (DeviceServer *srv : {&pcData, &t1Data, &t1Ctrl, &t2Data, &t2Ctrl})
            QCOMPARE(srv->accepted, 1);

        // Running came after every connection and every engine's readiness.
        const QString text = log->text();
        const int running =
            text.indexOf(QStringLiteral("running"), text.lastIndexOf(QStringLiteral("Thread for uuid")));
        QVERIFY(running > 0);
        QCOMPARE(text.count(QStringLiteral("Engine for port ")) - text.count(QStringLiteral("not ready yet")),
                 3);
        QVERIFY(text.lastIndexOf(QStringLiteral("connected")) < running);
        QVERIFY(text.indexOf(QStringLiteral("Engine for port COM5 ready")) <
                    text.indexOf(QStringLiteral("Engine for port COM7 ready")) ||
                text.indexOf(QStringLiteral("Engine for port COM7 ready")) > 0);
        QCOMPARE(text.count(QStringLiteral("setKeepalives socket: 0x")), 5);
        QCOMPARE(text.count(QStringLiteral("setKeepalives error")), 0);
        // Existing pairs: the hidden end is opened and the options applied again.
        QVERIFY(text.contains(QStringLiteral("This is our port, using other side: NULL_COM6")));
        QVERIFY(text.contains(QStringLiteral("VSPD SetWiring requested for port COM7 set to ffffffff")));

        PosPort pos[3];
        DeviceServer *data[3] = {&pcData, &t1Data, &t2Data};
        QByteArray up[3], down[3];
        for (int i = 0; i < 3; ++i) {
            QVERIFY(pos[i].open(posPath(names[i])));
            up[i] = randomBytes(1 << 20, 100 + i);
            down[i] = randomBytes(1 << 20, 200 + i);
        }
        for (int i = 0; i < 3; ++i) {
            pos[i].write(up[i]);
            data[i]->current()->write(down[i]);
        }
        QVERIFY(waitFor(
            [&]() {
                for (int i = 0; i < 3; ++i)
                    if (data[i]->received.size() < up[i].size() || pos[i].received.size() < down[i].size())
                        return false;
                return true;
            },
            120000));
        for (int i = 0; i < 3; ++i) {
            QVERIFY(data[i]->received == up[i]);
            QVERIFY(pos[i].received == down[i]);
        }
        // The control connections carry nothing.
        QVERIFY(t1Ctrl.received.isEmpty());
        QVERIFY(t2Ctrl.received.isEmpty());

        sup.stop();
        QVERIFY(sup.waitGone());
        QCOMPARE(sup.states,
                 (QList<TunnelSettings::TunnelState>{TunnelSettings::Starting, TunnelSettings::Running,
                                                     TunnelSettings::Stopping, TunnelSettings::Stopped}));
        QVERIFY(sup.errors.isEmpty());
        QVERIFY(log->text().contains(QStringLiteral("Destruction of UUID %1 [IP]").arg(s.uuid.toString())));
    }

    // The second tunnel's port is a real one the driver does not list and
    // that does not open: the engines started so far are closed, the run
    // ends with that channel's text.
    void secondTunnelPortFails()
    {
        QVERIFY(pairs->create(QStringLiteral("COM5")));
        QVERIFY(pairs->create(QStringLiteral("COM6")));
        // A pseudo-terminal that is never unlocked stands for a real port
        // that exists but cannot be opened (named by its path: a link in the
        // driver's folder is no port unless the driver made it).
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0);
        QVERIFY(::grantpt(master) == 0);
        const QString locked = QString::fromLatin1(::ptsname(master));
        struct Closer {
            int fd;
            ~Closer() { ::close(fd); }
        } closer{master};
        DeviceServer pc(DeviceServer::Silent), d1(DeviceServer::Silent), c1(DeviceServer::Silent),
            d2(DeviceServer::Silent), c2(DeviceServer::Silent);
        TunnelSettings s = directIP();
        s.data_com = QStringLiteral("COM5");
        s.data_settings = QStringLiteral("9600,8,N,1,N/NO/NS");
        s.data_ip = pc.target();
        s.proxy_com = {QStringLiteral("COM6"), locked};
        s.proxy_settings = {QStringLiteral("9600,8,N,1,N/NO/NS"), QStringLiteral("9600,8,N,1,N")};
        s.proxy_data = {d1.target(), d2.target()};
        s.proxy_ctrl = {c1.target(), c2.target()};

        SupervisorStub sup;
        sup.start(s);
        QVERIFY(sup.waitGone());
        QCOMPARE(sup.states, (QList<TunnelSettings::TunnelState>{TunnelSettings::Starting,
                                                                 TunnelSettings::StoppedError}));
        QCOMPARE(
            sup.errors,
            QStringList{QStringLiteral("Nie można otworzyć portu szeregowego tunelu 2: %1").arg(locked)});
        const QString text = log->text();
        for (const QString &port : {QStringLiteral("COM5"), QStringLiteral("COM6"), locked})
            QVERIFY(text.contains(QStringLiteral("Terminated engine for serial port: %1").arg(port)));
        QVERIFY(text.contains(QStringLiteral("2 engines left to be terminated")));
        QVERIFY(!text.contains(QStringLiteral("Open port fail retry count exceeded")));
        QCOMPARE(d2.accepted, 0);
        // The first engines' connections are closed by the device's side too.
        QVERIFY(waitFor([&]() { return !pc.current() && !d1.current() && !c1.current(); }, 5000));
    }

    // The device refuses the data connection at start.
    void refusedAtStart()
    {
        QVERIFY(pairs->create(QStringLiteral("COM5")));
        const quint16 port = DeviceServer::refusingPort();
        TunnelSettings s = directIP();
        s.data_com = QStringLiteral("COM5");
        s.data_settings = QStringLiteral("9600,8,N,1,N/NO/NS");
        s.data_ip = QStringLiteral("127.0.0.1:%1").arg(port);
        SupervisorStub sup;
        sup.start(s);
        QVERIFY(sup.waitGone());
        QCOMPARE(sup.states, (QList<TunnelSettings::TunnelState>{TunnelSettings::Starting,
                                                                 TunnelSettings::StoppedError}));
        QCOMPARE(
            sup.errors,
            QStringList{QStringLiteral("Błąd połączenia z 127.0.0.1:%1 - Connection refused").arg(port)});
    }

    // Stop while a connection is still being made, and while running; a stop
    // for another configuration changes nothing.
    void stopWhileStartingAndRunning()
    {
        QVERIFY(pairs->create(QStringLiteral("COM5")));
        QVERIFY(pairs->create(QStringLiteral("COM6")));
        StalledEndpoint stalled;
        QVERIFY(stalled.port() != 0);
        DeviceServer data(DeviceServer::Silent);
        TunnelSettings s = directIP();
        s.proxy_com = {QStringLiteral("COM6")};
        s.proxy_settings = {QStringLiteral("9600,8,N,1,N/NO/NS")};
        s.proxy_data = {data.target()};
        s.proxy_ctrl = {stalled.target()};
        {
            SupervisorStub sup;
            sup.start(s);
            QVERIFY(waitFor([&]() { return data.accepted == 1; }, 10000));
            sup.sync();
            QCOMPARE(sup.states, QList<TunnelSettings::TunnelState>{TunnelSettings::Starting});
            sup.stopOther();
            sup.sync();
            QCOMPARE(sup.states, QList<TunnelSettings::TunnelState>{TunnelSettings::Starting});
            sup.stop();
            QVERIFY(sup.waitGone());
            QCOMPARE(sup.states,
                     (QList<TunnelSettings::TunnelState>{TunnelSettings::Starting, TunnelSettings::Stopping,
                                                         TunnelSettings::Stopped}));
            QVERIFY(sup.errors.isEmpty());
        }

        DeviceServer dev(DeviceServer::Echo);
        TunnelSettings r = directIP();
        r.data_com = QStringLiteral("COM5");
        r.data_settings = QStringLiteral("9600,8,N,1,N/NO/NS");
        r.data_ip = dev.target();
        SupervisorStub sup;
        sup.start(r);
        QVERIFY(sup.waitState(TunnelSettings::Running));
        sup.stopOther();
        sup.sync();
        QCOMPARE(sup.states.size(), 2);
        // The device hangs up just as the stop arrives: no error comes of it.
        dev.closeCurrent();
        sup.stop();
        QVERIFY(sup.waitGone());
        QCOMPARE(sup.states,
                 (QList<TunnelSettings::TunnelState>{TunnelSettings::Starting, TunnelSettings::Running,
                                                     TunnelSettings::Stopping, TunnelSettings::Stopped}));
        QVERIFY(sup.errors.isEmpty());
        QVERIFY(log->text().contains(QStringLiteral("Destruction of UUID %1").arg(r.uuid.toString())));
    }

    // Nothing to tunnel: the run is up at once and stops normally.
    void noChannelRunsAtOnce()
    {
        TunnelSettings s = directIP();
        SupervisorStub sup;
        sup.start(s);
        QVERIFY(sup.waitState(TunnelSettings::Running));
        QVERIFY(log->text().contains(QStringLiteral("Waiting for total of 0 engines to be ready ")));
        sup.stop();
        QVERIFY(sup.waitGone());
        QCOMPARE(sup.last(), TunnelSettings::Stopped);
    }
};

QTEST_GUILESS_MAIN(TestWorkThreadIP)
#include "tst_workthreadip.moc"
