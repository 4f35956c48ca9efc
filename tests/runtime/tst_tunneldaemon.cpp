// The port driver's daemon dies (SIGKILL) under a running configuration.
// Its links (COM5, NULL_COM5) outlive it and point at terminal numbers the
// kernel hands to the next program that asks. The engine must bring the
// driver back through its reopen loop and open only the terminals the live
// driver names: traffic resumes, and a foreign terminal that took the old
// number is never opened, switched or written.
#include "runtime/workthreadip.h"
#include "tests/support/testenv.h"
#include "tests/support/tunnelfixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

class TestTunnelDaemon : public QObject
{
    Q_OBJECT

private:
    TestEnv *env = nullptr;
    PortDriver *pairs = nullptr;
    LogCapture *log = nullptr;
    DeviceServer *dev = nullptr;
    SupervisorStub *sup = nullptr;

    pid_t daemonPid() const
    {
        QFile file(env->systemDir() + QStringLiteral("/vspd/vspd.pid"));
        return file.open(QIODevice::ReadOnly) ? pid_t(file.readAll().trimmed().toLong()) : 0;
    }

    // The POS program's way back: whenever its port failed (or it is told
    // to), it closes it and opens COM5 again until that works.
    static void keepPosOpen(PosPort *pos, const QString &path, bool force)
    {
        if (force || pos->port.error() != QSerialPort::NoError) {
            pos->close();
            pos->port.clearError();
        }
        if (!pos->port.isOpen())
            pos->open(path);
    }

private slots:
    void init()
    {
        env = new TestEnv();
        pairs = new PortDriver(env->systemDir(), env->portsDir());
        log = new LogCapture(env->root() + QStringLiteral("/logs"), 10);
        QVERIFY(pairs->loaded());
        QVERIFY(pairs->create(QStringLiteral("COM5")));
        dev = new DeviceServer(DeviceServer::Echo);
        TunnelSettings s = directIP();
        s.data_com = QStringLiteral("COM5");
        s.data_settings = QStringLiteral("115200,8,N,1,N/NO/NS");
        s.data_ip = dev->target();
        sup = new SupervisorStub();
        sup->start(s);
        QVERIFY(sup->waitState(TunnelSettings::Running));
        QVERIFY(daemonPid() > 1);
    }

    void cleanup()
    {
        delete sup;
        delete dev;
        delete log;
        delete pairs;
        delete env;
        sup = nullptr;
        dev = nullptr;
        log = nullptr;
        pairs = nullptr;
        env = nullptr;
    }

    // Kill the daemon by its pid, again and again, while the POS program
    // reopens its port at a random moment: each time the engine brings the
    // driver back and traffic flows again. VELMORA_DAEMON_RUNS sets the
    // number of rounds (3 unless set); the resume times are reported.
    void trafficResumesAfterDaemonKill()
    {
        const int runs = qEnvironmentVariableIsSet("VELMORA_DAEMON_RUNS")
                             ? qEnvironmentVariableIntValue("VELMORA_DAEMON_RUNS")
                             : 3;
        const QString posPath = pairs->path(QStringLiteral("COM5"));
        PosPort pos;
        QVERIFY(pos.open(posPath));
        pos.write(QByteArray("hello"));
        QVERIFY(waitFor([&]() { return pos.received == "hello"; }, 10000));

        QRandomGenerator rng(20261207);
        QList<qint64> resumed;
        for (int run = 0; run < runs; ++run) {
            const pid_t pid = daemonPid();
            QVERIFY(pid > 1);
            const qint64 reopenAt = rng.bounded(1500);
            const QByteArray tag = QByteArray("probe") + QByteArray::number(run) + ':';
            pos.received.clear();
            QElapsedTimer sinceKill, sinceProbe;
            QCOMPARE(::kill(pid, SIGKILL), 0);
            sinceKill.start();
            sinceProbe.start();
            bool forced = false;
            int probes = 0;
            while (!pos.received.contains(tag) && sinceKill.elapsed() < 20000) {
                const bool force = !forced && sinceKill.elapsed() >= reopenAt;
                forced = forced || force;
                keepPosOpen(&pos, posPath, force);
                if (pos.port.isOpen() && sinceProbe.elapsed() >= 100) {
                    pos.write(tag + QByteArray::number(probes++) + ';');
                    sinceProbe.restart();
                }
                QTest::qWait(5);
            }
            QVERIFY2(pos.received.contains(tag),
                     qPrintable(QStringLiteral("round %1: no traffic 20 s after the kill").arg(run)));
            resumed << sinceKill.elapsed();
            QVERIFY(daemonPid() != pid);
        }
        std::sort(resumed.begin(), resumed.end());
        qInfo("%d rounds: resumed after median %lld ms, max %lld ms (all: %s)", runs,
              resumed.at(resumed.size() / 2), resumed.last(), qPrintable([&]() {
                  QStringList all;
                  for (qint64 ms : qAsConst(resumed))
                      all << QString::number(ms);
                  return all.join(QLatin1Char(' '));
              }()));

        // And the traffic is whole again, both ways.
        const QByteArray msg = randomBytes(64 * 1024, 5);
        pos.received.clear();
        QTest::qWait(300);
        pos.received.clear();
        pos.write(msg);
        QVERIFY(waitFor([&]() { return pos.received.size() >= msg.size(); }, 20000));
        QVERIFY(pos.received == msg);
        QCOMPARE(sup->last(), TunnelSettings::Running);
        QVERIFY(sup->errors.isEmpty());
    }

    // The daemon dies and another program's terminal takes the number of
    // the engine's old end while the device keeps sending: the engine never
    // opens it (its settings stay as they were, nothing arrives there) and
    // opens the end of the driver it brought back instead.
    void foreignTerminalOnOldNumberIsNeverOpened()
    {
        const QString nullLink = pairs->path(QStringLiteral("NULL_COM5"));
        const QString oldTerminal = QFileInfo(nullLink).symLinkTarget();
        QVERIFY(oldTerminal.startsWith(QStringLiteral("/dev/pts/")));
        const pid_t pid = daemonPid();
        QCOMPARE(::kill(pid, SIGKILL), 0);

        // Unrelated terminals, as another program would open them, until
        // one gets the old number (the kernel hands out the lowest free one).
        QList<int> masters;
        int foreign = -1;
        QElapsedTimer t;
        t.start();
        while (foreign < 0 && t.elapsed() < 5000 && masters.size() < 256) {
            const int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
            QVERIFY(m >= 0);
            masters << m;
            QVERIFY(::grantpt(m) == 0 && ::unlockpt(m) == 0);
            if (QString::fromLocal8Bit(::ptsname(m)) == oldTerminal)
                foreign = m;
            else
                QThread::msleep(1);
        }
        if (foreign < 0) {
            for (int m : qAsConst(masters))
                ::close(m);
            QSKIP("the old terminal number was not handed out again in time");
        }
        // The foreign program's own side, to read its settings afterwards.
        const int slave = ::open(oldTerminal.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(slave >= 0);
        termios before{};
        QCOMPARE(::tcgetattr(slave, &before), 0);

        QElapsedTimer sending;
        sending.start();
        QByteArray sent;
        while (log->count(QStringLiteral("Port reopen sucess!")) == 0 && sending.elapsed() < 15000) {
            if (dev->current() && sent.size() < 64 * 1024) {
                const QByteArray bytes = randomBytes(256, quint32(sent.size()));
                dev->current()->write(bytes);
                sent += bytes;
            }
            QTest::qWait(20);
        }
        QVERIFY2(log->count(QStringLiteral("Port reopen sucess!")) == 1,
                 "the engine never opened its port again");
        QTest::qWait(300);

        char buf[4096];
        const ssize_t leaked = ::read(foreign, buf, sizeof(buf));
        termios after{};
        QCOMPARE(::tcgetattr(slave, &after), 0);
        ::close(slave);
        for (int m : qAsConst(masters))
            ::close(m);
        QVERIFY2(leaked <= 0, "device data was written into a foreign terminal");
        QCOMPARE(after.c_lflag, before.c_lflag);
        QCOMPARE(after.c_iflag, before.c_iflag);
        QCOMPARE(after.c_oflag, before.c_oflag);
        QVERIFY(QFileInfo(nullLink).symLinkTarget() != oldTerminal);

        // The POS program finds its port again and talks through it.
        PosPort pos;
        const QString posPath = pairs->path(QStringLiteral("COM5"));
        QVERIFY(waitFor([&]() { return pos.port.isOpen() || pos.open(posPath); }, 10000));
        QTest::qWait(300);
        qInfo("%d of %d bytes the device sent while the POS had no port reached it later",
              pos.received.size(), sent.size());
        pos.received.clear();
        pos.write(QByteArray("back again"));
        QVERIFY(waitFor([&]() { return pos.received.endsWith("back again"); }, 10000));
        QCOMPARE(sup->last(), TunnelSettings::Running);
    }
};

QTEST_GUILESS_MAIN(TestTunnelDaemon)
#include "tst_tunneldaemon.moc"
