// PPP mode as a user runs it, on a paced line (115200 baud unless told). See README.md.
//   bench_pppmode [bulk-bytes] [rounds] [late] [baud=N] [mtu=N] [asyncmap=N] [device=devsim]
// A PPP configuration is run by WorkThreadIP and the process's PPPEngine;
// point-of-sale ports of the port driver feed its tunnels; the PPP line is a
// driver pair with strict baud-rate emulation, slirp at its far end (in a
// namespace of its own) answering for 10.10.10.10 from servers on its
// loopback, or the simulated device (its own TCP/IP stack, tunnels to its COM
// ports). Needs root (namespaces, TUN interface).
#include "bench/support/simulatorprocess.h"
#include "config/tunnelsettings.h"
#include "log/debug_class.h"
#include "ports/vspinterface.h"
#include "runtime/pppengine.h"
#include "runtime/tunnelcommengine.h"
#include "runtime/workthreadip.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <sched.h>
#include <unistd.h>

namespace
{

// Runs the event loop until done: sleeps until an event comes or the 1 ms
// tick fires, so waiting costs no CPU of its own.
bool waitFor(const std::function<bool()> &done, int ms)
{
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.start(1);
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

bool ip(const QStringList &args)
{
    QProcess p;
    p.start("ip", args);
    return p.waitForFinished(20000) && p.exitCode() == 0;
}

QByteArray payload(int size, bool ascii)
{
    QRandomGenerator gen(7);
    QByteArray b(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        b[i] = ascii ? char(0x20 + gen.bounded(95)) : char(gen.bounded(256));
    return b;
}

// The device's servers in its namespace: 7000 echoes, 7001 swallows and
// counts, 7002 answers "A"/"R" with the bulk payload, 7008 takes control
// connections.
class DeviceSide : public QThread
{
public:
    DeviceSide(const QString &ns, int bulk)
        : m_ns(ns), m_ascii(payload(bulk, true)), m_random(payload(bulk, false))
    {
    }
    std::atomic<bool> ready{false};
    std::atomic<qint64> sunk{0};

protected:
    void run() override
    {
        const int fd = ::open(("/run/netns/" + m_ns).toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0)
            return;
        ::close(fd);
        QList<QTcpServer *> servers;
        for (quint16 port : {7000, 7001, 7002, 7008}) {
            auto *server = new QTcpServer();
            server->listen(QHostAddress::LocalHost, port);
            QObject::connect(server, &QTcpServer::newConnection, server, [this, server, port] {
                while (QTcpSocket *s = server->nextPendingConnection()) {
                    QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, port] {
                        const QByteArray in = s->readAll();
                        if (port == 7000)
                            s->write(in);
                        else if (port == 7001)
                            sunk += in.size();
                        else if (port == 7002)
                            s->write(in.contains('A') ? m_ascii : m_random);
                    });
                }
            });
            servers << server;
        }
        ready = true;
        exec();
        qDeleteAll(servers);
    }

private:
    QString m_ns;
    QByteArray m_ascii, m_random;
};

// The simulated device at the line's far end: PPP on its link port (its COM2),
// the tunnel of its COM1 relayed to that port's terminal, which the benchmark
// reads and writes.
bool startSimulator(SimulatorProcess &sim, const QString &folder, int baud)
{
    const QString profile = folder + "/devsim.ini";
    QFile f(profile);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(QStringLiteral("[device]\nport=ttyTVBENCH\nlink=COM2\n[com2]\nsp=%1\nda=8\npa=0\nst=1\nfl=0\n"
                           "[pc]\nid=4\nno=6666\n[tcpip]\nid=1\nno=2\ndh=0\nip=10.10.10.10\n"
                           "ma=255.255.255.0\nge=10.10.10.1\n[tun0]\nen=1\n")
                .arg(baud)
                .toLatin1());
    f.close();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VELMORA_DEVICE_PORTS_DIR", folder + "/devices");
    return sim.start(profile, env) && !sim.link.isEmpty() && !sim.com1.isEmpty();
}

struct Port {
    QSerialPort port;
    QByteArray received;
    bool open(const QString &path)
    {
        port.setPortName(path);
        if (!port.open(QIODevice::ReadWrite))
            return false;
        port.setBaudRate(115200);
        QObject::connect(&port, &QSerialPort::readyRead, [this] { received += port.readAll(); });
        return true;
    }
};

// Bytes the line carried each way, from socat's transfer log beside slirp.
struct LineCount {
    qint64 toDevice = 0, toPc = 0;
};
LineCount lineBytes(const QString &socatLog)
{
    LineCount c;
    QFile f(socatLog);
    if (!f.open(QIODevice::ReadOnly))
        return c;
    const QRegularExpression re(QStringLiteral("^([<>]) .*length=(\\d+)"));
    while (!f.atEnd()) {
        const auto m = re.match(QString::fromLatin1(f.readLine()));
        if (!m.hasMatch())
            continue;
        (m.captured(1) == ">" ? c.toDevice : c.toPc) += m.captured(2).toLongLong();
    }
    return c;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int bulk = argc > 1 ? QByteArray(argv[1]).toInt() : 64 * 1024;
    const int rounds = argc > 2 ? QByteArray(argv[2]).toInt() : 50;
    // "late": the device's end of the line starts a second after ours;
    // otherwise ours starts once the device's end is up and talking.
    bool peerLate = false;
    int baud = 115200;
    int peerMtu = 0; // slirp's own default (552) unless told
    // The character map slirp asks for ("asyncmap N"); by default it asks
    // for none, so every control byte toward it is escaped.
    QString peerMap;
    bool devsim = false;
    for (int i = 3; i < argc; ++i) {
        const QByteArray a(argv[i]);
        if (a == "late")
            peerLate = true;
        else if (a.startsWith("baud="))
            baud = a.mid(5).toInt();
        else if (a.startsWith("mtu="))
            peerMtu = a.mid(4).toInt();
        else if (a.startsWith("asyncmap="))
            peerMap = QString::fromLatin1(a.mid(9));
        else if (a == "device=devsim")
            devsim = true;
    }
    // Bytes per second the line carries: 10 bits a byte (8N1).
    const double kLineRate = baud / 10.0;
    const QString line = QStringLiteral("%1,8,N,1,N").arg(baud);
    if (::geteuid() != 0) {
        std::fprintf(stderr, "bench_pppmode: needs root (network namespaces, TUN interface)\n");
        return 2;
    }
    QTemporaryDir dir;
    // VELMORA_BENCH_KEEP=1 keeps the folder (socat's hex log of the line).
    if (qEnvironmentVariableIntValue("VELMORA_BENCH_KEEP")) {
        dir.setAutoRemove(false);
        std::printf("folder kept: %s\n", qPrintable(dir.path()));
    }
    qputenv("VELMORA_SYSTEM_DIR", QFile::encodeName(dir.filePath("system")));
    qputenv("VELMORA_PORTS_DIR", QFile::encodeName(dir.filePath("ports")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath("data")));
    QDir().mkpath(dir.filePath("ports"));
    CGlobalDebugFileHandler *log = CGlobalDebugFileHandler::instance();
    log->setConsole(0);
    log->setLevel(-10);
    registerTunnelSettingsMetaTypes();

    const QString pcNs = QStringLiteral("velmora-b%1-pc").arg(::getpid());
    const QString devNs = QStringLiteral("velmora-b%1-dev").arg(::getpid());
    ip({"netns", "add", pcNs});
    ip({"netns", "add", devNs});
    ip({"-n", pcNs, "link", "set", "lo", "up"});
    ip({"-n", devNs, "link", "set", "lo", "up"});
    const int nsFd = ::open(("/run/netns/" + pcNs).toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
    if (nsFd < 0 || ::setns(nsFd, CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "bench_pppmode: cannot enter a network namespace\n");
        return 2;
    }
    ::close(nsFd);

    int rc = 1;
    auto *vsp = new VSPInterface();
    QProcess socat;
    SimulatorProcess sim;
    auto *device = new DeviceSide(devNs, bulk);
    PPPEngine *engine = nullptr;
    WorkThreadIP *worker = nullptr;
    TunnelSettings::TunnelState state = TunnelSettings::Stopped;
    const QString socatLog = dir.filePath("line.log");
    do {
        if (!vsp->initLibrary()) {
            std::fprintf(stderr, "bench_pppmode: the port driver's control library did not load\n");
            break;
        }
        TunnelCommEngine::setVSPInterface(vsp);
        // The PPP line paced at its baud rate; the point-of-sale ports not.
        if (!vsp->createPort(QString(), "COM21", 0xFFFFFFFFu, true) ||
            !vsp->createPort(QString(), "COM5", 0xFFFFFFFFu, false) ||
            !vsp->createPort(QString(), "COM6", 0xFFFFFFFFu, false) ||
            !vsp->createPort(QString(), "COM7", 0xFFFFFFFFu, false)) {
            std::fprintf(stderr, "bench_pppmode: cannot create the driver pairs\n");
            break;
        }
        const QString ports = dir.filePath("ports");
        waitFor([&] { return QFile::exists(ports + "/NULL_COM7"); }, 5000);
        device->start();
        waitFor([&] { return device->ready.load(); }, 5000);
        if (devsim && !startSimulator(sim, dir.path(), baud)) {
            std::fprintf(stderr, "bench_pppmode: the simulated device did not start\n");
            break;
        }

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", dir.path());
        socat.setProcessEnvironment(env);
        socat.setWorkingDirectory(dir.path());
        socat.setStandardErrorFile(socatLog);
        const auto startPeer = [&] {
            if (devsim) {
                socat.start("socat",
                            {"-x", "OPEN:" + ports + "/NULL_COM21,raw,echo=0,b" + QString::number(baud),
                             "OPEN:" + sim.link + ",raw,echo=0,b" + QString::number(baud)});
                socat.waitForStarted();
                return;
            }
            socat.start(
                "ip", {"netns", "exec", devNs, "socat", "-x",
                       "OPEN:" + ports + "/NULL_COM21,raw,echo=0,b" + QString::number(baud),
                       "EXEC:'/usr/bin/slirp-fullbolt ppp nozeros \"special addr 10.10.10.0\" "
                       "ipcp-accept-remote" +
                           (peerMtu > 0 ? QStringLiteral(" \"mtu %1\" \"mru %1\"").arg(peerMtu) : QString()) +
                           (peerMap.isEmpty() ? QString() : QStringLiteral(" \"asyncmap %1\"").arg(peerMap)) +
                           "',pty,raw,echo=0,setsid,ctty"});
            socat.waitForStarted();
        };
        if (!peerLate && devsim) {
            startPeer(); // the device waits for our end to open the link
        } else if (!peerLate) {
            startPeer();
            // Up once slirp has said something on the line (its first
            // configure request).
            if (!waitFor([&] { return QFileInfo(socatLog).size() > 0; }, 10000)) {
                std::fprintf(stderr, "bench_pppmode: the device's end did not start\n");
                break;
            }
        }

        engine = new PPPEngine();
        engine->signalStart();
        PPPEngine::setProcessEngine(engine);

        TunnelSettings s;
        s.uuid = QUuid::createUuid();
        s.mode = TunnelSettings::PPP;
        s.tunnel_com = "COM21";
        s.tunnel_settings = line;
        s.tunnel_localip = "10.10.10.20";
        s.tunnel_remoteip = "10.10.10.10";
        s.data_com = "COM5";
        s.data_settings = "115200,8,N,1,N/NO/NS";
        s.data_ip = devsim ? "10.10.10.10:6666" : "10.10.10.10:7000";
        s.proxy_com = {"COM6", "COM7"};
        s.proxy_settings = {"115200,8,N,1,N/NO/NS", "115200,8,N,1,N/NO/NS"};
        if (devsim) {
            s.proxy_com = {"COM6"};
            s.proxy_settings = {"115200,8,N,1,N/NO/NS"};
            s.proxy_data = {"10.10.10.10:1100"};
            s.proxy_ctrl = {"10.10.10.10:1101"};
        } else {
            s.proxy_data = {"10.10.10.10:7001", "10.10.10.10:7002"};
            s.proxy_ctrl = {"10.10.10.10:7008", "10.10.10.10:7008"};
        }
        worker = new WorkThreadIP();
        worker->setSettings(s);
        QObject::connect(
            worker, &WorkThreadBase::stateChanged, &app,
            [&](QUuid, TunnelSettings::TunnelState st) { state = st; }, Qt::QueuedConnection);
        QObject::connect(worker, &WorkThreadBase::lastError, &app,
                         [](QUuid, QString e) { std::fprintf(stderr, "error: %s\n", qPrintable(e)); });
        QElapsedTimer up;
        up.start();
        worker->signalStart();
        if (peerLate) {
            waitFor([] { return false; }, 1000);
            up.restart();
            startPeer();
        }
        if (!waitFor(
                [&] { return state == TunnelSettings::Running || state == TunnelSettings::StoppedError; },
                60000) ||
            state != TunnelSettings::Running) {
            std::fprintf(stderr, "bench_pppmode: the configuration did not reach Running\n");
            break;
        }
        std::printf("PPP configuration Running %lld ms after %s (link up and %d TCP connections)\n",
                    up.elapsed(),
                    peerLate ? "the device's end started, 1 s after ours" : "our start, the device's end up",
                    1 + 2 * int(s.proxy_com.size()));

        Port echo, sink, source;
        if (!echo.open(ports + "/COM5") || !sink.open(ports + "/COM6") || !source.open(ports + "/COM7"))
            break;
        // With the simulated device COM6 reaches its COM1 both ways: sink,
        // source, and for the round trips an echo.
        Port devCom1;
        bool devEcho = false;
        if (devsim) {
            if (!devCom1.open(sim.com1))
                break;
            QObject::connect(&devCom1.port, &QSerialPort::readyRead, [&] {
                if (devEcho) {
                    devCom1.port.write(devCom1.received);
                    devCom1.received.clear();
                }
            });
        }
        const auto deviceSunk = [&]() -> qint64 {
            return devsim ? devCom1.received.size() : device->sunk.load();
        };
        Port &fromDevice = devsim ? sink : source;
        Port &roundTrip = devsim ? sink : echo;
        std::printf("line %d baud, %.0f B/s; bulk %d bytes each run\n", baud, kLineRate, bulk);
        // "of line": goodput as a share of the line rate; "busy": the line
        // time of what the line carried that way during the run (socat's
        // count) as a share of the run's time; "payload": the payload's
        // share of those bytes (headers, framing, escaping take the rest).
        std::printf("%-28s %10s %8s %8s %8s\n", "run", "B/s", "of line", "busy", "payload");
        const auto row = [&](const char *name, qint64 ms, const LineCount &from, bool toDevice) {
            const LineCount to = lineBytes(socatLog);
            const double carried = toDevice ? to.toDevice - from.toDevice : to.toPc - from.toPc;
            const double rate = bulk * 1000.0 / qMax<qint64>(1, ms);
            std::printf("%-28s %10.0f %7.1f%% %7.1f%% %7.1f%%\n", name, rate, 100.0 * rate / kLineRate,
                        100.0 * carried * 1000.0 / kLineRate / qMax<qint64>(1, ms),
                        100.0 * bulk / qMax(1.0, carried));
        };
        for (bool ascii : {true, false}) {
            if (state == TunnelSettings::StoppedError)
                break;
            const QByteArray p = payload(bulk, ascii);
            const qint64 before = deviceSunk();
            LineCount from = lineBytes(socatLog);
            QElapsedTimer t;
            t.start();
            sink.port.write(p);
            waitFor([&] { return deviceSunk() - before >= bulk || state == TunnelSettings::StoppedError; },
                    600000);
            row(ascii ? "PC->device ASCII" : "PC->device random", t.elapsed(), from, true);
            fromDevice.received.clear();
            from = lineBytes(socatLog);
            t.restart();
            if (devsim)
                devCom1.port.write(p);
            else
                source.port.write(ascii ? "A" : "R");
            waitFor(
                [&] { return fromDevice.received.size() >= bulk || state == TunnelSettings::StoppedError; },
                600000);
            row(ascii ? "device->PC ASCII" : "device->PC random", t.elapsed(), from, false);
        }

        // 64-byte round trips, one at a time, after the line fell quiet.
        QThread::msleep(500);
        const QByteArray msg = payload(64, true);
        devCom1.received.clear();
        devEcho = true;
        QVector<double> rtt;
        const LineCount lineBefore = lineBytes(socatLog);
        for (int i = 0; i < rounds && state != TunnelSettings::StoppedError; ++i) {
            roundTrip.received.clear();
            QElapsedTimer t;
            t.start();
            roundTrip.port.write(msg);
            if (!waitFor([&] { return roundTrip.received.size() >= 64; }, 10000))
                break;
            rtt << t.nsecsElapsed() / 1e6;
            QThread::msleep(20);
            QCoreApplication::processEvents();
        }
        waitFor([] { return false; }, 300);
        const LineCount lineAfter = lineBytes(socatLog);
        std::sort(rtt.begin(), rtt.end());
        if (rtt.isEmpty())
            break;
        const double out = double(lineAfter.toDevice - lineBefore.toDevice) / rtt.size();
        const double in = double(lineAfter.toPc - lineBefore.toPc) / rtt.size();
        const double lineMs = (out + in) * 1000.0 / kLineRate;
        std::printf("64-byte round trip over %d rounds: p50 %.1f ms, p90 %.1f ms, min %.1f ms\n", rtt.size(),
                    rtt.at(rtt.size() / 2), rtt.at(rtt.size() * 9 / 10), rtt.first());
        std::printf("line bytes per round: %.0f to the device, %.0f to the PC; their line time %.1f ms; "
                    "p50 is %.0f%% of it\n",
                    out, in, lineMs, 100.0 * rtt.at(rtt.size() / 2) / lineMs);
        rc = 0;
    } while (false);

    if (worker && state != TunnelSettings::StoppedError) {
        // The device's end goes silent (stopped, the line stays): the stop
        // cannot be answered and ends on our own terminate timer.
        if (socat.processId() > 0)
            ::kill(pid_t(socat.processId()), SIGSTOP);
        QElapsedTimer stop;
        stop.start();
        QMetaObject::invokeMethod(worker, "signalStop", Qt::QueuedConnection, Q_ARG(QUuid, worker->uuid()));
        waitFor([&] { return state == TunnelSettings::Stopped || state == TunnelSettings::StoppedError; },
                30000);
        waitFor([&] { return !engine || !engine->isSessionActive(); }, 30000);
        std::printf(
            "stop against a silent device: configuration stopped and PPP session ended after %lld ms\n",
            stop.elapsed());
    }
    waitFor([] { return false; }, 200);
    delete engine;
    socat.kill();
    socat.waitForFinished(3000);
    device->quit();
    device->wait();
    delete device;
    TunnelCommEngine::setVSPInterface(nullptr);
    delete vsp;
    QFile pidFile(dir.filePath("system/vspd/vspd.pid"));
    if (pidFile.open(QIODevice::ReadOnly)) {
        const pid_t pid = pid_t(pidFile.readAll().trimmed().toLongLong());
        if (pid > 1)
            ::kill(pid, SIGTERM);
    }
    ip({"netns", "delete", pcNs});
    ip({"netns", "delete", devNs});
    return rc;
}
