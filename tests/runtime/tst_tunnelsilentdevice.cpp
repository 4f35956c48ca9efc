// A device that goes silent (its link drops, nothing answers any more) on a
// connection the engine made again after the device had hung up: the
// keep-alive probes notice it and the configuration ends with the error.
// The device lives in a network namespace of its own behind a veth pair,
// which needs CAP_SYS_ADMIN and CAP_NET_ADMIN; without them the test is
// skipped.
#include "runtime/workthreadip.h"
#include "tests/support/testenv.h"
#include "tests/support/tunnelfixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <memory>

namespace
{
// Two fresh network namespaces joined by a veth pair. The calling thread
// (and every thread it starts from then on) works in the host one as
// 10.77.0.1; the device's one answers as 10.77.0.2. Both vanish with their
// last socket once the thread is back in its own namespace.
class NetworkPair
{
public:
    NetworkPair() = default;
    NetworkPair(const NetworkPair &) = delete;
    NetworkPair &operator=(const NetworkPair &) = delete;
    ~NetworkPair()
    {
        if (m_home >= 0)
            ::setns(m_home, CLONE_NEWNET);
        for (int fd : {m_home, m_host, m_device})
            if (fd >= 0)
                ::close(fd);
    }

    // Empty on success, else why the pair could not be made.
    QString setUp()
    {
        m_home = openOwn();
        if (::unshare(CLONE_NEWNET) != 0)
            return QStringLiteral("no permission for a network namespace (%1)").arg(qt_error_string(errno));
        m_device = openOwn();
        if (::setns(m_home, CLONE_NEWNET) != 0 || ::unshare(CLONE_NEWNET) != 0)
            return QStringLiteral("cannot make the host namespace (%1)").arg(qt_error_string(errno));
        m_host = openOwn();
        const QString deviceNs = QStringLiteral("/proc/%1/fd/%2").arg(::getpid()).arg(m_device);
        if (!ip({"link", "add", "vh", "type", "veth", "peer", "name", "vd", "netns", deviceNs}) ||
            !ip({"addr", "add", "10.77.0.1/30", "dev", "vh"}) || !ip({"link", "set", "vh", "up"}))
            return QStringLiteral("cannot set up the host's end of the link");
        if (!inDevice([]() {
                return ip({"addr", "add", "10.77.0.2/30", "dev", "vd"}) && ip({"link", "set", "vd", "up"});
            }))
            return QStringLiteral("cannot set up the device's end of the link");
        return QString();
    }

    // Runs work with the calling thread in the device's namespace: sockets
    // and processes it creates belong there.
    template <typename Work> auto inDevice(Work work) -> decltype(work())
    {
        ::setns(m_device, CLONE_NEWNET);
        auto result = work();
        ::setns(m_host, CLONE_NEWNET);
        return result;
    }

    static bool ip(const QStringList &args) { return QProcess::execute(QStringLiteral("ip"), args) == 0; }

private:
    static int openOwn() { return ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC); }

    int m_home = -1;
    int m_host = -1;
    int m_device = -1;
};
} // namespace

class TestTunnelSilentDevice : public QObject
{
    Q_OBJECT

private slots:
    void silentAfterReconnectIsNoticed()
    {
        TestEnv env;
        PortDriver pairs(env.systemDir(), env.portsDir());
        LogCapture log(env.root() + QStringLiteral("/logs"), 10);
        QVERIFY(pairs.loaded());
        QVERIFY(pairs.create(QStringLiteral("COM5")));

        NetworkPair net;
        const QString why = net.setUp();
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
        std::unique_ptr<DeviceServer> dev(net.inDevice([]() {
            return new DeviceServer(DeviceServer::Silent, QHostAddress(QStringLiteral("10.77.0.2")));
        }));
        QVERIFY(dev->isListening());

        TunnelSettings s = directIP();
        s.data_com = QStringLiteral("COM5");
        s.data_settings = QStringLiteral("115200,8,N,1,N/NO/NS");
        s.data_ip = dev->target();
        SupervisorStub sup;
        sup.start(s);
        QVERIFY(sup.waitState(TunnelSettings::Running));
        PosPort pos;
        QVERIFY(pos.open(pairs.path(QStringLiteral("COM5"))));

        // The device hangs up; the engine connects again at once and the
        // new connection carries traffic.
        dev->closeCurrent();
        QVERIFY(waitFor([&]() { return dev->accepted == 2 && dev->current(); }, 10000));
        pos.write(QByteArray("ping"));
        QVERIFY(waitFor([&]() { return dev->perConnection.value(1) == "ping"; }, 10000));
        QVERIFY(log.text().contains(
            QStringLiteral("Remote host closed connection to  data socket %1 [B]").arg(dev->target())));

        // The device's link drops: nothing arrives there and nothing comes
        // back. Idle 10 s, then 1 s between probes: the kernel gives up
        // after its probe count (9 by default), about 19 s later. A socket
        // without keep-alive would wait for hours.
        QElapsedTimer silent;
        silent.start();
        QVERIFY(net.inDevice([]() { return NetworkPair::ip({"link", "set", "vd", "down"}); }));
        QVERIFY2(sup.waitState(TunnelSettings::StoppedError, 60000),
                 "the silent device was not noticed within a minute");
        qInfo("silent device noticed after %lld ms", silent.elapsed());
        QVERIFY(silent.elapsed() >= 9000);
        QVERIFY(sup.waitGone());
        QCOMPARE(sup.errors.size(), 1);
        QVERIFY2(sup.errors.first().startsWith(
                     QStringLiteral("Błąd połączenia z 10.77.0.2:%1 - ").arg(dev->serverPort())),
                 qPrintable(sup.errors.first()));
        QCOMPARE(log.count(QStringLiteral("setKeepalives socket: 0x")), 2);
        dev.reset();
    }
};

QTEST_GUILESS_MAIN(TestTunnelSilentDevice)
#include "tst_tunnelsilentdevice.moc"
