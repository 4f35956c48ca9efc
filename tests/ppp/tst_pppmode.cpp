// PPP configurations end to end, run by workers as the supervisor runs
// them: point-of-sale ports of the port driver, the tunnel engines, the
// diversion interface, the PPP engine on another driver pair acting as the
// serial line, and at the far end a PPP implementation we did not write
// (Debian's slirp, answering for 10.10.10.10 from the loopback of a
// namespace of its own) or the scripted peer for link failures. The PC side
// lives in a second namespace; both are made and removed here.
#include "config/tunnelsettings.h"
#include "log/debug_class.h"
#include "ports/vspinterface.h"
#include "runtime/pppengine.h"
#include "runtime/workthreadip.h"
#include "tests/support/testenv.h"
#include "tests/support/tunnelfixture.h"

#include "../net/netns.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace
{

const char *const kSettings = "115200,8,N,1,N/NO/NS";

// The device's TCP side: echo servers on 127.0.0.1 of the device's
// namespace, which slirp reaches for 10.10.10.10. Runs in a thread of its
// own that joined that namespace, so no extra process is needed.
class DeviceSide : public QThread
{
public:
    explicit DeviceSide(const QString &ns) : m_ns(ns) {}
    ~DeviceSide() override
    {
        quit();
        wait();
    }
    bool ready() const { return m_ready.load(); }
    std::atomic<int> accepted{0};
    std::atomic<int> closed{0}; // connections the PC closed (or that went with slirp)

protected:
    void run() override
    {
        const int fd = ::open(("/run/netns/" + m_ns).toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0)
            return;
        ::close(fd);
        QList<QTcpServer *> servers;
        for (quint16 port : {7000, 7001, 7002}) {
            auto *server = new QTcpServer();
            if (!server->listen(QHostAddress::LocalHost, port))
                return;
            QObject::connect(server, &QTcpServer::newConnection, server, [this, server] {
                while (QTcpSocket *s = server->nextPendingConnection()) {
                    ++accepted;
                    QObject::connect(s, &QTcpSocket::readyRead, s, [s] { s->write(s->readAll()); });
                    QObject::connect(s, &QTcpSocket::disconnected, s, [this, s] {
                        ++closed;
                        s->deleteLater();
                    });
                }
            });
            servers << server;
        }
        m_ready.store(true);
        exec();
        qDeleteAll(servers);
    }

private:
    QString m_ns;
    std::atomic<bool> m_ready{false};
};

// TCP connections whose end the capture file shows from sinceMs on, and
// how many of them ended cleanly: the PC's FIN and the device's FIN each
// acknowledged by the other side. -1 without tshark.
QPair<int, int> closesInCapture(const QString &pcap, qint64 sinceMs)
{
    const QString tshark = QStandardPaths::findExecutable("tshark");
    if (tshark.isEmpty())
        return {-1, -1};
    QProcess p;
    p.start(tshark, {"-n", "-r", pcap, "-Y",
                     QStringLiteral("tcp && frame.time_epoch >= %1").arg(sinceMs / 1000.0, 0, 'f', 3), "-T",
                     "fields", "-e", "tcp.stream", "-e", "ip.src", "-e", "tcp.flags.fin", "-e", "tcp.seq_raw",
                     "-e", "tcp.len", "-e", "tcp.ack_raw"});
    if (!p.waitForFinished(60000))
        return {-1, -1};
    struct Ends {
        qint64 finEnd[2] = {-1, -1}; // [from the PC, from the device]
        bool acked[2] = {false, false};
    };
    QMap<int, Ends> streams;
    for (const QString &line : QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts)) {
        const QStringList f = line.split('\t');
        if (f.size() < 6)
            continue;
        Ends &e = streams[f[0].toInt()];
        const int from = f[1] == QLatin1String("10.10.10.20") ? 0 : 1;
        const quint32 ack = f[5].toUInt();
        // The other side's FIN is acknowledged by an ack beyond it.
        if (e.finEnd[1 - from] >= 0 && qint32(ack - quint32(e.finEnd[1 - from])) >= 0)
            e.acked[1 - from] = true;
        if (f[2] == QLatin1String("1") || f[2] == QLatin1String("True"))
            e.finEnd[from] = qint64(quint32(f[3].toUInt() + f[4].toUInt() + 1));
    }
    int ended = 0, clean = 0;
    for (const Ends &e : streams) {
        if (e.finEnd[0] < 0)
            continue;
        ++ended;
        clean += e.acked[0] && e.acked[1] ? 1 : 0;
    }
    return {ended, clean};
}

pid_t childOf(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return pid_t(f.readAll().trimmed().split(' ').value(0).toLongLong());
}

} // namespace

class TestPppMode : public QObject
{
    Q_OBJECT

    TestEnv *env = nullptr;
    PortDriver *pairs = nullptr;
    LogCapture *log = nullptr;
    NetNamespace *pcNs = nullptr;
    NetNamespace *deviceNs = nullptr;
    DeviceSide *device = nullptr;
    PPPEngine *engine = nullptr;
    QProcess *peer = nullptr;
    QString pcapName;

    TunnelSettings pppConfig(const QString &line = QStringLiteral("COM21"), int baud = 115200) const
    {
        TunnelSettings s;
        s.uuid = QUuid::createUuid();
        s.mode = TunnelSettings::PPP;
        s.tunnel_com = line;
        s.tunnel_settings = QStringLiteral("%1,8,N,1,N").arg(baud);
        s.tunnel_localip = QStringLiteral("10.10.10.20");
        s.tunnel_remoteip = QStringLiteral("10.10.10.10");
        s.data_com = QStringLiteral("COM5");
        s.data_settings = kSettings;
        s.data_ip = QStringLiteral("10.10.10.10:7000");
        s.proxy_com = {QStringLiteral("COM6")};
        s.proxy_settings = {kSettings};
        s.proxy_data = {QStringLiteral("10.10.10.10:7001")};
        s.proxy_ctrl = {QStringLiteral("10.10.10.10:7002")};
        return s;
    }

    // slirp on the device's end of the serial line, as the device would be.
    // The slow line (COM23) is paced at its baud rate by the port driver.
    void startSlirp(const QString &line = QStringLiteral("COM21"), int baud = 115200)
    {
        stopPeer();
        peer = new QProcess();
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("HOME", env->root());
        peer->setProcessEnvironment(e);
        peer->setWorkingDirectory(env->root());
        peer->start("ip", {"netns", "exec", deviceNs->name(), "socat",
                           "OPEN:" + pairs->path("NULL_" + line) + ",raw,echo=0,b" + QString::number(baud),
                           "EXEC:'/usr/bin/slirp-fullbolt ppp nozeros \"special addr 10.10.10.0\" "
                           "ipcp-accept-remote',pty,raw,echo=0,setsid,ctty"});
        QVERIFY(peer->waitForStarted());
    }

    void startScriptedPeer(const QStringList &args)
    {
        stopPeer();
        peer = new QProcess();
        peer->start(QCoreApplication::applicationDirPath() + "/ppp_testpeer",
                    QStringList{"--tty", pairs->path("NULL_COM21"), "--exit-after-end"} + args);
        QVERIFY(peer->waitForStarted());
    }

    void stopPeer()
    {
        if (!peer)
            return;
        if (peer->state() != QProcess::NotRunning) {
            peer->kill();
            peer->waitForFinished(5000);
        }
        delete peer;
        peer = nullptr;
    }

    // Between cases the engine must be idle again: the previous session's
    // end may still be under way with a silent peer.
    bool engineIdle(int ms = 20000)
    {
        return waitFor([this] { return !engine->isSessionActive(); }, ms);
    }

    int logCount(const QString &needle) const { return log->count(needle); }

private slots:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("needs root: network namespaces, a TUN interface and routes (CAP_NET_ADMIN)");
        if (!QFile::exists("/usr/bin/slirp-fullbolt") || QStandardPaths::findExecutable("socat").isEmpty())
            QSKIP("slirp-fullbolt or socat is not installed");
        registerTunnelSettingsMetaTypes();
        env = new TestEnv();
        pcNs = new NetNamespace();
        deviceNs = new NetNamespace();
        QVERIFY2(pcNs->ok() && deviceNs->ok(), qPrintable(pcNs->skipReason()));
        // Every thread made from here on (workers, the engine, its receiver,
        // the port driver) starts in the PC's namespace.
        QVERIFY(pcNs->enter());
        log = new LogCapture(16);
        pairs = new PortDriver(env->systemDir(), env->portsDir());
        QVERIFY2(pairs->loaded(), "the port driver's control library did not load");
        for (const char *name : {"COM21", "COM5", "COM6"})
            QVERIFY(pairs->create(QString::fromLatin1(name)));
        QVERIFY(pairs->vsp()->createPort(QString(), QStringLiteral("COM23"), 0xFFFFFFFFu, true));
        device = new DeviceSide(deviceNs->name());
        device->start();
        QVERIFY(waitFor([this] { return device->ready(); }, 5000));

        pcapName = env->root() + QStringLiteral("/session.pcap");
        engine = new PPPEngine();
        engine->setPcap(true, pcapName);
        engine->signalStart();
        PPPEngine::setProcessEngine(engine);
    }

    void cleanupTestCase()
    {
        stopPeer();
        // The engine goes with whatever is left of a session, as at shutdown.
        delete engine;
        engine = nullptr;
        delete device;
        delete pairs;
        delete log;
        if (pcNs)
            pcNs->leave();
        delete deviceNs;
        delete pcNs;
        delete env;
    }

    // PC interface and a device-COM tunnel over the PPP link to slirp:
    // Running, 1 MiB each way through both channels byte for byte, a second
    // PPP configuration refused meanwhile, and the stop reported only after
    // the engine finished its teardown.
    void runCarriesMiBEachWayAndStops()
    {
        startSlirp();
        SupervisorStub sup;
        // The engine paces its output to the configured rate; this line is
        // an unpaced pair, as fast as a pseudo-terminal, so it says 921600.
        const TunnelSettings cfg = pppConfig(QStringLiteral("COM21"), 921600);
        sup.start(cfg);
        QVERIFY2(sup.waitState(TunnelSettings::Running, 30000), qPrintable(sup.errors.join('\n')));
        QCOMPARE(sup.states,
                 QList<TunnelSettings::TunnelState>({TunnelSettings::Starting, TunnelSettings::Running}));
        QVERIFY(engine->isSessionActive());

        // A second PPP configuration while the session runs.
        {
            SupervisorStub other;
            TunnelSettings second = pppConfig(QStringLiteral("COM22"));
            other.start(second);
            QVERIFY(other.waitState(TunnelSettings::StoppedError));
            QCOMPARE(other.errors, QStringList{QStringLiteral("Sesja PPP jest już aktywna")});
            QVERIFY(other.waitGone());
        }

        PosPort pc, tunnel;
        QVERIFY(pc.open(pairs->path("COM5")));
        QVERIFY(tunnel.open(pairs->path("COM6")));
        const QByteArray a = randomBytes(1 << 20, 1), b = randomBytes(1 << 20, 2);
        QElapsedTimer t;
        t.start();
        pc.write(a);
        tunnel.write(b);
        QVERIFY2(
            waitFor([&] { return pc.received.size() >= a.size() && tunnel.received.size() >= b.size(); },
                    120000),
            qPrintable(
                QStringLiteral("%1 and %2 bytes back").arg(pc.received.size()).arg(tunnel.received.size())));
        qInfo("1 MiB each way on two channels at once in %lld ms", t.elapsed());
        QVERIFY(pc.received == a);
        QVERIFY(tunnel.received == b);
        QCOMPARE(sup.last(), TunnelSettings::Running);

        sup.stop();
        QVERIFY(sup.waitState(TunnelSettings::Stopped, 20000));
        // The teardown was complete when Stopped came: no session, and the
        // engine's report precedes the worker's final line.
        QVERIFY(!engine->isSessionActive());
        const QString text = log->text();
        const int finishedAt = text.lastIndexOf("PPP Signalled finished work");
        const int stoppedAt =
            text.indexOf(QStringLiteral("Thread for uuid %1 stopped").arg(cfg.uuid.toString()));
        QVERIFY(finishedAt >= 0 && stoppedAt > finishedAt);
        QVERIFY(text.lastIndexOf("Stop finish called") < stoppedAt);
        QCOMPARE(sup.states.mid(2),
                 QList<TunnelSettings::TunnelState>({TunnelSettings::Stopping, TunnelSettings::Stopped}));
        QVERIFY(sup.errors.isEmpty());
        QVERIFY(sup.waitGone());
        pc.close();
        tunnel.close();
        QVERIFY(engineIdle());
    }

    // The run above was logged at the paranoid level: its capture file opens
    // in tshark with the session's packets in both directions.
    void captureFileOfParanoidRun()
    {
        const QString tshark = QStandardPaths::findExecutable("tshark");
        if (tshark.isEmpty())
            QSKIP("tshark is not installed");
        QVERIFY(QFile::exists(pcapName));
        QProcess p;
        p.start(tshark, {"-n", "-r", pcapName, "-Y", "tcp.port == 7000 && tcp.flags.syn == 1", "-T", "fields",
                         "-e", "ip.src", "-e", "ip.dst"});
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 0);
        const QString syns = QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY2(syns.contains("10.10.10.20\t10.10.10.10"), qPrintable(syns));
        QVERIFY2(syns.contains("10.10.10.10\t10.10.10.20"), qPrintable(syns));
        // Raw IPv4 records, and the bulk of the transfer is there too.
        p.start(tshark, {"-n", "-r", pcapName, "-T", "fields", "-e", "frame.protocols"});
        QVERIFY(p.waitForFinished(60000));
        const QStringList lines =
            QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QVERIFY2(lines.size() > 1400, qPrintable(QString::number(lines.size())));
        QVERIFY2(lines.first().startsWith("ip:"), qPrintable(lines.first()));
        CGlobalDebugFileHandler::instance()->setLevel(10);
    }

    // A peer that ends the link after it came up: no restart, the run ends
    // with the loss text of the termination.
    void peerEndsLinkAfterUp()
    {
        QVERIFY(engineIdle());
        const int restartsBefore = logCount("Single PPP restart requested");
        startScriptedPeer({"--terminate-after-up", "500"});
        SupervisorStub sup;
        sup.start(pppConfig());
        QVERIFY(sup.waitState(TunnelSettings::StoppedError, 30000));
        QCOMPARE(sup.errors, QStringList{PPPEngine::statusMessage(-8)});
        QVERIFY(sup.errors.first().startsWith(QStringLiteral("Błąd połączenia PPP:")));
        QCOMPARE(logCount("Single PPP restart requested"), restartsBefore);
        QVERIFY(!sup.states.contains(TunnelSettings::Running));
        QVERIFY(sup.waitGone());
        QVERIFY(engineIdle());
    }

    // Two PPP configurations started in the same moment, twenty times over:
    // exactly one claims the session and alone starts PPP; the other ends at
    // once with its text. The winner, stopped while its link is still being
    // negotiated, stops cleanly before the next round.
    void backToBackStartsClaimOneSession()
    {
        QVERIFY(engineIdle());
        using S = TunnelSettings;
        for (int round = 0; round < 20; ++round) {
            if (!peer || peer->state() == QProcess::NotRunning)
                startSlirp();
            const int starts = logCount("PPP start requested");
            SupervisorStub first, second;
            first.start(pppConfig());
            second.start(pppConfig());
            QVERIFY2(waitFor([&] { return first.errors.size() + second.errors.size() > 0; }, 20000),
                     qPrintable(QStringLiteral("round %1: both run").arg(round)));
            SupervisorStub &loser = first.errors.isEmpty() ? second : first;
            SupervisorStub &winner = &loser == &first ? second : first;
            QCOMPARE(loser.errors, QStringList{QStringLiteral("Sesja PPP jest już aktywna")});
            QVERIFY(waitFor([&] { return logCount("PPP start requested") > starts; }, 5000));
            winner.stop();
            QVERIFY(winner.waitState(S::Stopped));
            // A peer that answers at once may bring the link up before the stop.
            QCOMPARE(winner.states.first(), S::Starting);
            QCOMPARE(winner.states.mid(winner.states.size() - 2),
                     QList<S::TunnelState>({S::Stopping, S::Stopped}));
            QCOMPARE(loser.states, QList<S::TunnelState>({S::Starting, S::StoppedError}));
            QVERIFY(winner.errors.isEmpty());
            QCOMPARE(logCount("PPP start requested") - starts, 1);
            QVERIFY(first.waitGone() && second.waitGone());
            QVERIFY(engineIdle());
        }
    }

    // A link refused before it was ever up gets exactly one second start;
    // the second refusal ends the run with its text.
    void failureBeforeLinkUpRestartsOnce()
    {
        QVERIFY(engineIdle());
        const int restartsBefore = logCount("Single PPP restart requested");
        const int startsBefore = logCount("PPP start requested");
        startScriptedPeer({"--require-pap", "kasa:tajne"});
        SupervisorStub sup;
        sup.start(pppConfig());
        // The peer ends after refusing; a new one answers the second start.
        QVERIFY(waitFor([this] { return peer->state() == QProcess::NotRunning; }, 20000));
        startScriptedPeer({"--require-pap", "kasa:tajne"});
        QVERIFY(sup.waitState(TunnelSettings::StoppedError, 40000));
        QCOMPARE(sup.errors, QStringList{PPPEngine::statusMessage(-7)});
        QCOMPARE(logCount("Single PPP restart requested") - restartsBefore, 1);
        QCOMPARE(logCount("PPP start requested") - startsBefore, 2);
        QCOMPARE(sup.states, QList<TunnelSettings::TunnelState>(
                                 {TunnelSettings::Starting, TunnelSettings::StoppedError}));
        QVERIFY(sup.waitGone());
        QVERIFY(engineIdle());
    }

    // A 9600-baud line (960 B/s, paced by the driver) kept full both ways by
    // the PC interface for VELMORA_PPP_BULK_SECONDS (20 s unless set; 60 s for
    // the full check): the tunnel's idle connections are probed meanwhile and
    // every channel stays up, the bytes come back whole. The stop then lets
    // every connection close on the link before it ends: the device sees each
    // one closed. Started again, the device is killed with data in flight and
    // the run ends within the keep-alive sized for this line (28 s).
    void slowLineBusyBothWaysStaysUp()
    {
        QVERIFY(engineIdle());
        startSlirp(QStringLiteral("COM23"), 9600);
        SupervisorStub sup;
        const TunnelSettings cfg = pppConfig(QStringLiteral("COM23"), 9600);
        sup.start(cfg);
        QVERIFY2(sup.waitState(TunnelSettings::Running, 30000), qPrintable(sup.errors.join('\n')));
        QVERIFY(
            waitFor([this] { return log->text().contains("probes 2000 ms apart after 10000 ms"); }, 1000));
        PosPort pc;
        QVERIFY(pc.open(pairs->path("COM5")));
        const int seconds = qEnvironmentVariableIsSet("VELMORA_PPP_BULK_SECONDS")
                                ? qEnvironmentVariableIntValue("VELMORA_PPP_BULK_SECONDS")
                                : 20;
        // Printable bytes, always 16 KiB ahead of what came back: both
        // directions of the line stay busy, with more than the line carries
        // in 10 s waiting to go each way.
        const QByteArray all = randomBytes(960 * seconds * 2, 3).toBase64();
        int sent = 0;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < seconds * 1000 && sup.errors.isEmpty()) {
            if (sent - pc.received.size() < 16384 && sent < all.size()) {
                pc.write(all.mid(sent, 512));
                sent += 512;
            }
            waitFor([] { return false; }, 50);
        }
        QVERIFY2(sup.errors.isEmpty(), qPrintable(sup.errors.join('\n')));
        QVERIFY2(waitFor([&] { return pc.received.size() >= sent; }, 60000),
                 qPrintable(QStringLiteral("%1 of %2 bytes back").arg(pc.received.size()).arg(sent)));
        QVERIFY(pc.received == all.left(sent));
        qInfo("%d s of bulk both ways at 9600 baud: %d bytes each way, every channel up", seconds, sent);
        QCOMPARE(sup.last(), TunnelSettings::Running);
        QVERIFY(sup.errors.isEmpty());

        const int accepted = device->accepted;
        const int closedBefore = device->closed;
        // The stop on a quiet line, its packets recorded in the capture file.
        CGlobalDebugFileHandler::instance()->setLevel(16);
        const qint64 stopAt = QDateTime::currentMSecsSinceEpoch();
        sup.stop();
        QVERIFY(sup.waitState(TunnelSettings::Stopped, 20000));
        QVERIFY(sup.waitGone());
        CGlobalDebugFileHandler::instance()->setLevel(10);
        const QPair<int, int> closes = closesInCapture(pcapName, stopAt);
        qInfo("connections ended by the stop: %d, cleanly on both sides: %d", closes.first, closes.second);
        if (closes.first >= 0) {
            QCOMPARE(closes.first, 3);
            QCOMPARE(closes.second, 3);
        }
        // The three connections of this run reached the device's servers as
        // closed.
        QVERIFY2(waitFor([&] { return device->closed - closedBefore >= 3; }, 5000),
                 qPrintable(QStringLiteral("%1 of 3 closed on the device, %2 accepted in all")
                                .arg(device->closed - closedBefore)
                                .arg(accepted)));
        const QString text = log->text();
        const QString stopLine = text.mid(text.lastIndexOf("PPP stop: ")).section('\n', 0, 0);
        QVERIFY2(QRegularExpression("^PPP stop: (\\d+) of \\1 connections closed").match(stopLine).hasMatch(),
                 qPrintable(stopLine));
        QVERIFY(engineIdle());

        // The device dies while the PC interface's data is in flight.
        SupervisorStub again;
        again.start(pppConfig(QStringLiteral("COM23"), 9600));
        QVERIFY2(again.waitState(TunnelSettings::Running, 30000), qPrintable(again.errors.join('\n')));
        pc.received.clear();
        pc.write(all.left(2048));
        QVERIFY(waitFor([&] { return !pc.received.isEmpty(); }, 20000));
        const pid_t slirp = childOf(peer->processId());
        QVERIFY(slirp > 0);
        QElapsedTimer dead;
        dead.start();
        QCOMPARE(::kill(slirp, SIGKILL), 0);
        QVERIFY(again.waitState(TunnelSettings::StoppedError, 60000));
        qInfo("dead device at 9600 baud noticed after %lld ms: %s", dead.elapsed(),
              qPrintable(again.errors.value(0)));
        QVERIFY2(again.errors.value(0).startsWith(QStringLiteral("Błąd połączenia z 10.10.10.10:")),
                 qPrintable(again.errors.value(0)));
        QVERIFY(dead.elapsed() < 40000);
        QVERIFY(again.waitGone());
        pc.close();
        QVERIFY(engineIdle(30000));
        stopPeer();
    }

    // The device's end goes away while Running (slirp killed): with LCP echo
    // off nothing on the link notices; the tunnels' TCP keep-alive does, and
    // the run ends with the connection's error text.
    void deviceGoneWhileRunning()
    {
        QVERIFY(engineIdle());
        startSlirp();
        SupervisorStub sup;
        sup.start(pppConfig());
        QVERIFY2(sup.waitState(TunnelSettings::Running, 30000), qPrintable(sup.errors.join('\n')));
        PosPort pc;
        QVERIFY(pc.open(pairs->path("COM5")));
        pc.write("ping");
        QVERIFY(waitFor([&] { return pc.received == "ping"; }, 10000));

        const pid_t slirp = childOf(peer->processId());
        QVERIFY(slirp > 0);
        QElapsedTimer t;
        t.start();
        QCOMPARE(::kill(slirp, SIGKILL), 0);
        QVERIFY(sup.waitState(TunnelSettings::StoppedError, 60000));
        const qint64 ms = t.elapsed();
        qInfo("silent device noticed by TCP keep-alive after %lld ms: %s", ms,
              qPrintable(sup.errors.value(0)));
        QCOMPARE(sup.errors.size(), 1);
        QVERIFY2(sup.errors.first().startsWith(QStringLiteral("Błąd połączenia z 10.10.10.10:")),
                 qPrintable(sup.errors.first()));
        // Keep-alive at this rate: 10 s, then 9 probes 1 s apart.
        QVERIFY(ms < 30000);
        QVERIFY(sup.waitGone());
        pc.close();
        // The engine's stop reaches a silent line: its end takes lwIP's two
        // Terminate-Requests, then the engine is idle again.
        QVERIFY(engineIdle(30000));
    }
};

QTEST_GUILESS_MAIN(TestPppMode)
#include "tst_pppmode.moc"
