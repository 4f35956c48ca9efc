// Side-by-side benchmark of the tunnel engine and socat on the same path:
//   point-of-sale process writes COM5 -> driver pair -> NULL_COM5 ->
//   (engine | socat) -> TCP -> echo server -> back the same way.
// Run: tunnel_bench [messages]   (from the build's bin folder; see README.md)
#include "ports/vspinterface.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

// Echo server on 127.0.0.1: one thread per connection, each sending back
// what it reads, with Nagle off so single bytes go out at once.
class EchoServer
{
public:
    EchoServer()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        ::bind(m_listener, reinterpret_cast<sockaddr *>(&addr), len);
        ::listen(m_listener, 8);
        ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this]() { acceptLoop(); });
    }
    ~EchoServer()
    {
        ::shutdown(m_listener, SHUT_RDWR);
        ::close(m_listener);
        m_thread.join();
        for (std::thread &t : m_workers)
            t.join();
    }
    quint16 port() const { return m_port; }
    int connections() const { return m_connections.load(); }

private:
    void acceptLoop()
    {
        for (;;) {
            const int fd = ::accept(m_listener, nullptr, nullptr);
            if (fd < 0)
                return;
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            ++m_connections;
            m_workers.emplace_back([fd]() {
                char buf[65536];
                for (;;) {
                    const ssize_t n = ::read(fd, buf, sizeof(buf));
                    if (n <= 0)
                        break;
                    ssize_t off = 0;
                    while (off < n) {
                        const ssize_t w = ::write(fd, buf + off, size_t(n - off));
                        if (w <= 0)
                            break;
                        off += w;
                    }
                }
                ::close(fd);
            });
        }
    }
    int m_listener = -1;
    quint16 m_port = 0;
    std::atomic<int> m_connections{0};
    std::thread m_thread;
    std::vector<std::thread> m_workers;
};

int openRaw(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, B115200);
    ::tcsetattr(fd, TCSANOW, &t);
    return fd;
}

bool readExact(int fd, char *buf, size_t n, int timeoutMs)
{
    size_t got = 0;
    while (got < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return false;
        const ssize_t r = ::read(fd, buf + got, n - got);
        if (r <= 0)
            return false;
        got += size_t(r);
    }
    return true;
}

void drain(int fd)
{
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, 200) > 0 && ::read(fd, buf, sizeof(buf)) > 0) {
    }
}

struct ProcUsage {
    double cpuSeconds = 0;
    long long switches = 0;
};

ProcUsage usage(qint64 pid)
{
    ProcUsage u;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray text = stat.readAll();
        const QList<QByteArray> f = text.mid(text.lastIndexOf(')') + 2).split(' ');
        // Fields 14 and 15 of the line (utime, stime) are 12 and 13 after the name.
        if (f.size() > 13)
            u.cpuSeconds =
                double(f.at(11).toLongLong() + f.at(12).toLongLong()) / double(::sysconf(_SC_CLK_TCK));
    }
    const QStringList tasks =
        QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        QFile status(QStringLiteral("/proc/%1/task/%2/status").arg(pid).arg(task));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("voluntary_ctxt_switches") || line.startsWith("nonvoluntary_ctxt_switches"))
                u.switches += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
    }
    return u;
}

struct Result {
    bool ok = false;
    QString failure;
    double p50[2] = {0, 0}, p99[2] = {0, 0}; // microseconds, for 1 and 64 bytes
    double mibPerSec = 0;
    bool exact = false;
    double cpuMsPerMiB = 0;
    double idleCpuMs = 0;
    long long idleSwitches = 0;
};

double percentile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
}

// One round of ping-pong for both message sizes; samples are appended.
bool latencyRound(const QString &posPath, int messages, std::vector<double> samples[2], QString *failure)
{
    const int fd = openRaw(posPath);
    if (fd < 0) {
        *failure = QStringLiteral("cannot open %1").arg(posPath);
        return false;
    }
    drain(fd);
    const int sizes[2] = {1, 64};
    char out[64], in[64];
    for (int k = 0; k < 2; ++k) {
        for (int i = 0; i < messages + 20; ++i) {
            for (int b = 0; b < sizes[k]; ++b)
                out[b] = char(i + b);
            const auto t0 = Clock::now();
            if (::write(fd, out, size_t(sizes[k])) != sizes[k] ||
                !readExact(fd, in, size_t(sizes[k]), 3000) || std::memcmp(in, out, size_t(sizes[k])) != 0) {
                *failure = QStringLiteral("echo of %1 bytes failed").arg(sizes[k]);
                ::close(fd);
                return false;
            }
            if (i >= 20) // the first ones warm up
                samples[k].push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        }
    }
    ::close(fd);
    return true;
}

// Throughput, CPU per MiB and idle cost of a running bridge.
Result measure(const QString &posPath, qint64 pid, int idleSeconds)
{
    Result r;
    const int fd = openRaw(posPath);
    if (fd < 0) {
        r.failure = QStringLiteral("cannot open %1").arg(posPath);
        return r;
    }
    drain(fd);
    const int total = 10 << 20;
    QByteArray data(total, Qt::Uninitialized);
    QRandomGenerator gen(1234);
    for (int i = 0; i < total; i += 4)
        *reinterpret_cast<quint32 *>(data.data() + i) = gen.generate();
    QByteArray back(total, 0);
    const ProcUsage before = usage(pid);
    const auto t0 = Clock::now();
    std::thread writer([&]() {
        int off = 0;
        while (off < total) {
            const ssize_t w = ::write(fd, data.constData() + off, size_t(std::min(4096, total - off)));
            if (w <= 0) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            off += int(w);
        }
    });
    const bool complete = readExact(fd, back.data(), size_t(total), 10000);
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    writer.join();
    const ProcUsage after = usage(pid);
    if (!complete) {
        r.failure = QStringLiteral("throughput run stalled");
        ::close(fd);
        return r;
    }
    r.exact = back == data;
    r.mibPerSec = 10.0 / seconds;
    r.cpuMsPerMiB = (after.cpuSeconds - before.cpuSeconds) * 1000.0 / 10.0;

    QThread::msleep(500);
    const ProcUsage idle0 = usage(pid);
    QThread::sleep(unsigned(idleSeconds));
    const ProcUsage idle1 = usage(pid);
    r.idleCpuMs = (idle1.cpuSeconds - idle0.cpuSeconds) * 1000.0;
    r.idleSwitches = idle1.switches - idle0.switches;
    ::close(fd);
    r.ok = true;
    return r;
}

void stopProcess(QProcess &p)
{
    if (p.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(p.processId()), SIGTERM);
    if (!p.waitForFinished(5000)) {
        ::kill(pid_t(p.processId()), SIGKILL);
        p.waitForFinished(2000);
    }
}

QString fmt(double v, int prec = 1)
{
    return QString::number(v, 'f', prec);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int messages = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 2000;
    const int idleSeconds = 5;

    QTemporaryDir root;
    QDir(root.path()).mkpath(QStringLiteral("system/ports"));
    QDir(root.path()).mkpath(QStringLiteral("data"));
    QDir(root.path()).mkpath(QStringLiteral("logs"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(root.path() + QStringLiteral("/data")));
    qputenv("XDG_STATE_HOME", QFile::encodeName(root.path() + QStringLiteral("/data")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(root.path() + QStringLiteral("/data")));
    qputenv("VELMORA_SYSTEM_DIR", QFile::encodeName(root.path() + QStringLiteral("/system")));
    const QString ports = root.path() + QStringLiteral("/system/ports");
    qputenv("VELMORA_PORTS_DIR", QFile::encodeName(ports));

    VSPInterface vsp;
    if (!vsp.initLibrary() || !vsp.createPort(QString(), QStringLiteral("COM5"), 0xFFFFFFFFu, false)) {
        std::fprintf(stderr, "the port driver is not available\n");
        return 1;
    }
    for (int i = 0; i < 500 && !QFileInfo::exists(ports + QStringLiteral("/NULL_COM5")); ++i)
        QThread::msleep(10);
    const QString pos = ports + QStringLiteral("/COM5");
    const QString hidden = ports + QStringLiteral("/NULL_COM5");

    EchoServer echo;
    const QString target = QStringLiteral("127.0.0.1:%1").arg(echo.port());
    Result results[2];

    // Starts the engine (kind 0) or socat (kind 1) on NULL_COM5; false when
    // it does not come up.
    auto startBridge = [&](int kind, QProcess &p) {
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (kind == 0) {
            p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/tunnel_bench_engine"),
                    {QStringLiteral("COM5"), target, root.path() + QStringLiteral("/logs")});
            bool running = false;
            while (!running && p.waitForReadyRead(15000))
                running = p.readAll().contains("RUNNING");
            return running;
        }
        const int before = echo.connections();
        p.start(QStringLiteral("socat"),
                {QStringLiteral("FILE:%1,raw,echo=0").arg(hidden), QStringLiteral("TCP:%1").arg(target)});
        for (int i = 0; i < 500 && echo.connections() == before; ++i)
            QThread::msleep(10);
        return echo.connections() > before;
    };

    // Latency in alternating rounds, so that a change of load on the
    // machine hits both bridges alike.
    const int rounds = 4;
    std::vector<double> samples[2][2];
    for (int round = 0; round < rounds; ++round) {
        for (int kind = 0; kind < 2; ++kind) {
            QProcess bridge;
            QString failure;
            if (!startBridge(kind, bridge))
                results[kind].failure = QStringLiteral("the bridge did not come up");
            else if (!latencyRound(pos, std::max(1, messages / rounds), samples[kind], &failure))
                results[kind].failure = failure;
            stopProcess(bridge);
        }
    }
    for (int kind = 0; kind < 2; ++kind) {
        if (!results[kind].failure.isEmpty())
            continue;
        QProcess bridge;
        if (startBridge(kind, bridge)) {
            results[kind] = measure(pos, bridge.processId(), idleSeconds);
            for (int k = 0; k < 2; ++k) {
                results[kind].p50[k] = percentile(samples[kind][k], 0.5);
                results[kind].p99[k] = percentile(samples[kind][k], 0.99);
            }
        } else {
            results[kind].failure = QStringLiteral("the bridge did not come up");
        }
        stopProcess(bridge);
    }

    vsp.deletePort(QStringLiteral("COM5"));
    QFile pidFile(root.path() + QStringLiteral("/system/vspd/vspd.pid"));
    if (pidFile.open(QIODevice::ReadOnly)) {
        const pid_t pid = pid_t(pidFile.readAll().trimmed().toLongLong());
        if (pid > 1)
            ::kill(pid, SIGTERM);
    }

    for (int k = 0; k < 2; ++k)
        if (!results[k].ok) {
            std::fprintf(stderr, "%s: %s\n", k == 0 ? "velmora" : "socat", qPrintable(results[k].failure));
            return 1;
        }
    const Result &v = results[0];
    const Result &s = results[1];
    auto row = [](const char *name, const QString &a, const QString &b, const QString &note) {
        std::printf("%-34s %12s %12s   %s\n", name, qPrintable(a), qPrintable(b), qPrintable(note));
    };
    std::printf(
        "COM5 -> driver pair -> NULL_COM5 -> (engine | socat) -> TCP echo -> back; %d messages of each size "
        "per bridge in %d alternating rounds\n\n",
        messages, rounds);
    row("", QStringLiteral("velmora"), QStringLiteral("socat"), QString());
    row("latency 1 B p50 [us]", fmt(v.p50[0]), fmt(s.p50[0]),
        QStringLiteral("ratio %1 (goal <= 1.5)").arg(fmt(v.p50[0] / s.p50[0], 2)));
    row("latency 1 B p99 [us]", fmt(v.p99[0]), fmt(s.p99[0]), QString());
    row("latency 64 B p50 [us]", fmt(v.p50[1]), fmt(s.p50[1]),
        QStringLiteral("ratio %1 (goal <= 1.5)").arg(fmt(v.p50[1] / s.p50[1], 2)));
    row("latency 64 B p99 [us]", fmt(v.p99[1]), fmt(s.p99[1]), QString());
    row("throughput 10 MiB echo [MiB/s]", fmt(v.mibPerSec, 2), fmt(s.mibPerSec, 2),
        QStringLiteral("goal >= 2"));
    row("byte-exact", v.exact ? QStringLiteral("yes") : QStringLiteral("NO"),
        s.exact ? QStringLiteral("yes") : QStringLiteral("NO"), QString());
    row("CPU per MiB [ms]", fmt(v.cpuMsPerMiB), fmt(s.cpuMsPerMiB),
        QStringLiteral("process CPU, 10 ms ticks"));
    row(qPrintable(QStringLiteral("idle CPU over %1 s [ms]").arg(idleSeconds)), fmt(v.idleCpuMs),
        fmt(s.idleCpuMs), QStringLiteral("goal 0"));
    row(qPrintable(QStringLiteral("idle wake-ups over %1 s").arg(idleSeconds)),
        QString::number(v.idleSwitches), QString::number(s.idleSwitches),
        QStringLiteral("context switches of all threads; goal 0"));
    return v.exact && s.exact ? 0 : 1;
}
