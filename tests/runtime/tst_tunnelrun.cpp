// Direct-IP configurations run end to end: real port pairs, a point-of-sale
// client on the configured port, device stand-ins on 127.0.0.1 and the
// worker in its own thread, started and stopped as the supervisor does.
#include "runtime/tunnelcommengine.h"
#include "runtime/workthreadip.h"
#include "tests/support/testenv.h"
#include "tests/support/tunnelfixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

class TestTunnelRun : public QObject
{
    Q_OBJECT

private:
    TestEnv *env = nullptr;
    PortDriver *pairs = nullptr;
    LogCapture *log = nullptr;

    QString configured(const QString &name) const { return name; }
    QString posPath(const QString &name) const { return pairs->path(name); }

    static TunnelSettings directIP()
    {
        TunnelSettings s;
        s.uuid = QUuid::createUuid();
        s.mode = TunnelSettings::DirectIP;
        return s;
    }

    static bool waitFor(const std::function<bool()> &done, int ms = 30000)
    {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < ms)
            QTest::qWait(2);
        return done();
    }

private slots:
    void init()
    {
        env = new TestEnv();
        pairs = new PortDriver(env->systemDir(), env->portsDir());
        log = new LogCapture(env->root() + QStringLiteral("/logs"), 10);
        QVERIFY2(pairs->loaded(), "the port driver's control library did not load");
    }

    void cleanup()
    {
        delete log;
        delete pairs;
        delete env;
        log = nullptr;
        pairs = nullptr;
        env = nullptr;
    }

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
};

QTEST_GUILESS_MAIN(TestTunnelRun)
#include "tst_tunnelrun.moc"
