// A running configuration when the world under it breaks: a device that
// goes silent on a connection made again after it hung up, and the port
// driver's daemon killed, whose links then point at terminal numbers the
// kernel hands to other programs.
#include "runtime/workthreadip.h"
#include "tests/support/testenv.h"
#include "tests/support/tunnelfixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace
{
bool ip(const QStringList &args)
{
    return QProcess::execute(QStringLiteral("ip"), args) == 0;
}

// Runs work with the calling thread in the network namespace ns, then
// returns it to back: sockets and processes made meanwhile belong to ns.
template <typename Work> auto inNamespace(int ns, int back, Work work) -> decltype(work())
{
    ::setns(ns, CLONE_NEWNET);
    auto result = work();
    ::setns(back, CLONE_NEWNET);
    return result;
}

int ownNamespace()
{
    return ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
}
} // namespace

class TestTunnelRecovery : public TunnelTestCase
{
    Q_OBJECT

private:
    pid_t daemonPid() const
    {
        QFile file(env->systemDir() + QStringLiteral("/vspd/vspd.pid"));
        return file.open(QIODevice::ReadOnly) ? pid_t(file.readAll().trimmed().toLong()) : 0;
    }

    // The device sits behind a veth pair in a network namespace of its own
    // (needs CAP_SYS_ADMIN and CAP_NET_ADMIN, else skipped); this thread and
    // the worker it starts stay in a second one. Dropping the device's end
    // of the link makes it silent without a word on the wire.
    struct SplitNetwork {
        int home = ownNamespace(), host = -1, device = -1;
        ~SplitNetwork()
        {
            ::setns(home, CLONE_NEWNET);
            for (int fd : {home, host, device})
                ::close(fd);
        }
        bool deviceLinkDown()
        {
            return inNamespace(device, host, []() { return ip({"link", "set", "vd", "down"}); });
        }
    };

    // Returns false with a skip or failure already recorded.
    bool split(SplitNetwork &ns, QScopedPointer<DeviceServer> &dev)
    {
        if (::unshare(CLONE_NEWNET) != 0) {
            QTest::qSkip("needs root: no permission for network namespaces", __FILE__, __LINE__);
            return false;
        }
        ns.device = ownNamespace();
        if (::setns(ns.home, CLONE_NEWNET) != 0 || ::unshare(CLONE_NEWNET) != 0)
            return false;
        ns.host = ownNamespace();
        const bool linked =
            ip({"link", "add", "vh", "type", "veth", "peer", "name", "vd", "netns",
                QStringLiteral("/proc/%1/fd/%2").arg(::getpid()).arg(ns.device)}) &&
            ip({"addr", "add", "10.77.0.1/30", "dev", "vh"}) && ip({"link", "set", "vh", "up"}) &&
            inNamespace(ns.device, ns.host, []() {
                return ip({"addr", "add", "10.77.0.2/30", "dev", "vd"}) && ip({"link", "set", "vd", "up"});
            });
        if (!linked)
            return false;
        dev.reset(inNamespace(ns.device, ns.host, []() {
            return new DeviceServer(DeviceServer::Silent, QHostAddress(QStringLiteral("10.77.0.2")));
        }));
        return true;
    }

    // The configuration ends with the device's address in the one error.
    void expectConnectionError(SupervisorStub &sup, const DeviceServer &dev)
    {
        QVERIFY(sup.waitGone());
        QCOMPARE(sup.errors.size(), 1);
        QVERIFY(sup.errors.first().startsWith(
            QStringLiteral("Błąd połączenia z 10.77.0.2:%1 - ").arg(dev.serverPort())));
    }

private slots:
    void init()
    {
        TunnelTestCase::init();
        QVERIFY(pairs->create(QStringLiteral("COM5")));
    }

    // The device hangs up, the engine connects again, then its link drops:
    // keep-alive (10 s idle, then a probe a second, given up after 9) ends
    // the configuration about 19 s later, where a socket without it would
    // wait for hours.
    void silentDeviceAfterReconnect()
    {
        SplitNetwork ns;
        QScopedPointer<DeviceServer> dev;
        if (!split(ns, dev))
            return;
        SupervisorStub sup;
        sup.start(pcInterfaceOnCom5(dev->target()));
        QVERIFY(sup.waitState(TunnelSettings::Running));
        PosPort pos;
        QVERIFY(pos.open(pairs->path(QStringLiteral("COM5"))));
        dev->closeCurrent();
        QVERIFY(waitFor([&]() { return dev->accepted == 2 && dev->current(); }, 10000));
        pos.write(QByteArray("ping"));
        QVERIFY(waitFor([&]() { return dev->perConnection.value(1) == "ping"; }, 10000));

        QElapsedTimer silent;
        silent.start();
        QVERIFY(ns.deviceLinkDown());
        QVERIFY2(sup.waitState(TunnelSettings::StoppedError, 60000), "a silent device went unnoticed");
        qInfo("silent device noticed after %lld ms", silent.elapsed());
        QVERIFY(silent.elapsed() >= 9000);
        expectConnectionError(sup, *dev);
        QCOMPARE(log->count(QStringLiteral("setKeepalives socket: 0x")), 2);
    }

    // The device's link drops while the POS program keeps writing, so the
    // data connection always has unacknowledged bytes: keep-alive never
    // probes such a connection, and only the user timeout keeps the kernel
    // from retransmitting for a quarter of an hour. The drop is noticed in
    // about the time an idle connection takes.
    void deviceDiesWithDataInFlight()
    {
        SplitNetwork ns;
        QScopedPointer<DeviceServer> dev;
        if (!split(ns, dev))
            return;
        SupervisorStub sup;
        sup.start(pcInterfaceOnCom5(dev->target()));
        QVERIFY(sup.waitState(TunnelSettings::Running));
        PosPort pos;
        QVERIFY(pos.open(pairs->path(QStringLiteral("COM5"))));
        const QByteArray before = randomBytes(4096, 7);
        pos.write(before);
        QVERIFY(waitFor([&]() { return dev->perConnection.value(0).size() == before.size(); }, 10000));
        QVERIFY(dev->perConnection.value(0) == before);

        QElapsedTimer down;
        down.start();
        QVERIFY(ns.deviceLinkDown());
        qint64 written = 0;
        while (sup.last() != TunnelSettings::StoppedError && down.elapsed() < 60000) {
            if (pos.port.isOpen() && pos.port.error() == QSerialPort::NoError) {
                pos.write(QByteArray(64, 'w'));
                written += 64;
            }
            QTest::qWait(100);
        }
        const qint64 noticed = down.elapsed();
        qInfo("device gone with %lld bytes written after the drop, noticed after %lld ms", written, noticed);
        QVERIFY2(sup.last() == TunnelSettings::StoppedError,
                 "a device gone with data in flight went unnoticed");
        QVERIFY(noticed >= 9000);
        QVERIFY(written >= 64 * 50);
        QCOMPARE(dev->perConnection.value(0), before); // nothing crossed the dropped link
        expectConnectionError(sup, *dev);
        QCOMPARE(log->count(QStringLiteral("setKeepalives socket: 0x")), 1); // the one data connection
        QCOMPARE(log->count(QStringLiteral("setKeepalives error")), 0);
    }

    // The daemon is killed by its pid. First a foreign terminal takes the
    // old number of the engine's end while the device keeps sending: it is
    // never opened, switched or written, and the engine opens the end of the
    // driver it brought back. Then the daemon is killed again for rounds
    // (VELMORA_DAEMON_RUNS, 3 unless set) while the POS program reopens
    // its port at a random moment: traffic resumes each time.
    void daemonKilled()
    {
        DeviceServer dev(DeviceServer::Echo);
        SupervisorStub sup;
        sup.start(pcInterfaceOnCom5(dev.target()));
        QVERIFY(sup.waitState(TunnelSettings::Running));
        const QString nullLink = pairs->path(QStringLiteral("NULL_COM5"));
        const QString oldTerminal = QFileInfo(nullLink).symLinkTarget();
        QCOMPARE(::kill(daemonPid(), SIGKILL), 0);

        // Terminals as another program opens them, until one gets the old
        // number (the kernel hands out the lowest free one).
        QList<int> masters;
        int foreign = -1;
        QElapsedTimer t;
        t.start();
        while (foreign < 0 && masters.size() < 256 && t.elapsed() < 5000) {
            const int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
            QVERIFY(m >= 0 && ::grantpt(m) == 0 && ::unlockpt(m) == 0);
            masters << m;
            if (QString::fromLocal8Bit(::ptsname(m)) == oldTerminal)
                foreign = m;
            QThread::msleep(1);
        }
        const int slave = ::open(oldTerminal.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios before{}, after{};
        ::tcgetattr(slave, &before);
        t.restart();
        while (log->count(QStringLiteral("Port reopen sucess!")) == 0 && t.elapsed() < 15000) {
            if (dev.current())
                dev.current()->write(randomBytes(256, 1));
            QTest::qWait(20);
        }
        QTest::qWait(300);
        char buf[256];
        const ssize_t leaked = foreign < 0 ? 0 : ::read(foreign, buf, sizeof(buf));
        ::tcgetattr(slave, &after);
        ::close(slave);
        for (int m : qAsConst(masters))
            ::close(m);
        QVERIFY2(foreign >= 0, "the old terminal number was not handed out again");
        QCOMPARE(log->count(QStringLiteral("Port reopen sucess!")), 1);
        QVERIFY2(leaked <= 0, "device data was written into a foreign terminal");
        QVERIFY(after.c_lflag == before.c_lflag && after.c_iflag == before.c_iflag);

        const QString posPath = pairs->path(QStringLiteral("COM5"));
        PosPort pos;
        QVERIFY(waitFor([&]() { return pos.port.isOpen() || pos.open(posPath); }, 10000));
        pos.write(QByteArray("back"));
        QVERIFY(waitFor([&]() { return pos.received.endsWith("back"); }, 10000));

        QRandomGenerator rng(20261207);
        QList<qint64> resumed;
        const int runs = qEnvironmentVariableIsSet("VELMORA_DAEMON_RUNS")
                             ? qEnvironmentVariableIntValue("VELMORA_DAEMON_RUNS")
                             : 3;
        for (int run = 0; run < runs; ++run) {
            const QByteArray tag = "probe" + QByteArray::number(run) + ':';
            const qint64 reopenAt = rng.bounded(1500);
            bool reopened = false;
            pos.received.clear();
            QCOMPARE(::kill(daemonPid(), SIGKILL), 0);
            QElapsedTimer sinceKill, sinceProbe;
            sinceKill.start();
            sinceProbe.start();
            while (!pos.received.contains(tag) && sinceKill.elapsed() < 20000) {
                // The POS program's way back: after a failure of its port
                // (or at the random moment) it reopens COM5 until it opens.
                const bool now = !reopened && sinceKill.elapsed() >= reopenAt;
                if (now || pos.port.error() != QSerialPort::NoError) {
                    reopened = reopened || now;
                    pos.close();
                    pos.port.clearError();
                }
                if ((pos.port.isOpen() || pos.open(posPath)) && sinceProbe.elapsed() >= 100) {
                    pos.write(tag + QByteArray::number(sinceKill.elapsed()) + ';');
                    sinceProbe.restart();
                }
                QTest::qWait(5);
            }
            QVERIFY2(pos.received.contains(tag), qPrintable(QStringLiteral("round %1: no traffic").arg(run)));
            resumed << sinceKill.elapsed();
        }
        std::sort(resumed.begin(), resumed.end());
        QStringList all;
        for (qint64 ms : qAsConst(resumed))
            all << QString::number(ms);
        qInfo("traffic resumed after a kill: median %s ms, max %s ms (%s)",
              qPrintable(all.at(all.size() / 2)), qPrintable(all.last()),
              qPrintable(all.join(QLatin1Char(' '))));
        const QByteArray msg = randomBytes(64 * 1024, 5);
        QTest::qWait(300);
        pos.received.clear();
        pos.write(msg);
        QVERIFY(waitFor([&]() { return pos.received.size() >= msg.size(); }, 20000));
        QVERIFY(pos.received == msg);
        QCOMPARE(sup.last(), TunnelSettings::Running);
        QVERIFY(sup.errors.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestTunnelRecovery)
#include "tst_tunnelrecovery.moc"
