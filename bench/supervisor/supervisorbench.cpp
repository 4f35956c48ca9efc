// How the program's cost grows with the number of configurations: one
// headless velmora runs N direct-IP autostart configurations, each with the
// PC interface and two device-COM tunnels (data and control connections)
// against echo servers on 127.0.0.1. Measured per N: time from the autostart
// line to the last configuration Running, resident memory and threads, idle
// CPU and wake-ups of the program and of the port driver daemon, and the
// 64-byte round trip through one PC interface, idle and while every other
// configuration carries 115200-baud traffic both ways.
// Usage: supervisorbench BIN_DIR SCRATCH_DIR [idle seconds] [counts...]
// Environment: SUPERVISORBENCH_DEBUGLEVEL (the program's debuglevel, default
// 4, the lowest that logs the state changes this reads), SUPERVISORBENCH_STRACE=1
// (strace -c -f on the program from its start until all are Running; the
// summary goes to strace-start.txt in the count's folder), SUPERVISORBENCH_START_THREADS=1
// (the program's CPU during the start by thread).
#include "config/appsettings.h"
#include "config/configurationfile.h"
#include "config/tunnelsettings.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

int64_t usSince(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t).count();
}

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Every device endpoint of the run: listeners on 127.0.0.1 served by one
// epoll thread that sends back what arrives (control connections carry
// nothing). A connection whose echo does not fit stops being read until it
// drained, so a slow tunnel is held back by TCP instead of piling up here.
class EchoHub
{
public:
    EchoHub() : m_epoll(::epoll_create1(EPOLL_CLOEXEC)), m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        add(m_wake, EPOLLIN);
    }
    ~EchoHub()
    {
        stop();
        for (auto &c : m_conns)
            ::close(c.first);
        ::close(m_wake);
        ::close(m_epoll);
    }

    uint16_t listen()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 || ::listen(fd, 64) != 0) {
            std::perror("echo listener");
            std::exit(2);
        }
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
        m_conns[fd].listener = true;
        add(fd, EPOLLIN);
        return ntohs(addr.sin_port);
    }
    void start()
    {
        m_thread = std::thread([this] { loop(); });
    }
    void stop()
    {
        if (!m_thread.joinable())
            return;
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(m_wake, &one, sizeof(one));
        m_thread.join();
    }
    int connections() const { return m_accepted.load(); }

private:
    struct Conn {
        bool listener = false;
        std::string pending;
    };

    void add(int fd, uint32_t events)
    {
        epoll_event ev{};
        ev.events = events;
        ev.data.fd = fd;
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev);
    }
    void modify(int fd, uint32_t events)
    {
        epoll_event ev{};
        ev.events = events;
        ev.data.fd = fd;
        ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &ev);
    }
    void drop(int fd)
    {
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        m_conns.erase(fd);
    }
    void accept(int listener)
    {
        for (;;) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0)
                return;
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            m_conns[fd];
            add(fd, EPOLLIN | EPOLLRDHUP);
            ++m_accepted;
        }
    }
    // False when the connection ended.
    bool flush(int fd, Conn &c)
    {
        while (!c.pending.empty()) {
            const ssize_t n = ::send(fd, c.pending.data(), c.pending.size(), MSG_NOSIGNAL);
            if (n < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK;
            c.pending.erase(0, size_t(n));
        }
        return true;
    }
    void serve(int fd, uint32_t events)
    {
        Conn &c = m_conns[fd];
        if (!c.pending.empty()) {
            if (!flush(fd, c))
                return drop(fd);
            if (c.pending.empty())
                modify(fd, EPOLLIN | EPOLLRDHUP);
            return;
        }
        char buf[65536];
        const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) || (events & (EPOLLHUP | EPOLLERR)))
            return drop(fd);
        if (n < 0)
            return;
        c.pending.assign(buf, size_t(n));
        if (!flush(fd, c))
            return drop(fd);
        if (!c.pending.empty())
            modify(fd, EPOLLOUT);
    }
    void loop()
    {
        epoll_event evs[256];
        for (;;) {
            const int n = ::epoll_wait(m_epoll, evs, 256, -1);
            for (int i = 0; i < n; ++i) {
                const int fd = evs[i].data.fd;
                if (fd == m_wake)
                    return;
                auto it = m_conns.find(fd);
                if (it == m_conns.end())
                    continue;
                if (it->second.listener)
                    accept(fd);
                else
                    serve(fd, evs[i].events);
            }
        }
    }

    int m_epoll;
    int m_wake;
    std::unordered_map<int, Conn> m_conns;
    std::thread m_thread;
    std::atomic<int> m_accepted{0};
};

// The point-of-sale side of a configured port, raw at 115200 baud.
int openPos(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, B115200);
    ::cfsetospeed(&t, B115200);
    ::tcsetattr(fd, TCSANOW, &t);
    return fd;
}

void drain(int fd)
{
    char buf[4096];
    while (::read(fd, buf, sizeof(buf)) > 0) {
    }
}

// One 64-byte round trip through a PC interface: microseconds, -1 on a
// timeout or wrong bytes.
int64_t roundTrip(int fd, int seq, int timeoutMs = 2000)
{
    drain(fd);
    char out[64];
    for (int i = 0; i < 64; ++i)
        out[i] = char((seq * 31 + i * 7) & 0xff);
    const auto t0 = Clock::now();
    if (::write(fd, out, sizeof(out)) != ssize_t(sizeof(out)))
        return -1;
    char in[64];
    size_t got = 0;
    while (got < sizeof(in)) {
        pollfd p{fd, POLLIN, 0};
        const int left = timeoutMs - int(usSince(t0) / 1000);
        if (left <= 0 || ::poll(&p, 1, left) <= 0)
            return -1;
        const ssize_t n = ::read(fd, in + got, sizeof(in) - got);
        if (n > 0)
            got += size_t(n);
    }
    const int64_t us = usSince(t0);
    return std::memcmp(in, out, sizeof(in)) == 0 ? us : -1;
}

struct Rtt {
    double median = -1, p95 = -1;
    int failed = 0;
};

Rtt measureRtt(int fd, int samples)
{
    std::vector<int64_t> v;
    Rtt r;
    for (int i = 0; i < samples; ++i) {
        const int64_t us = roundTrip(fd, i);
        if (us < 0)
            ++r.failed;
        else
            v.push_back(us);
        sleepMs(20);
    }
    if (v.empty())
        return r;
    std::sort(v.begin(), v.end());
    r.median = double(v[v.size() / 2]);
    r.p95 = double(v[std::min(v.size() - 1, v.size() * 95 / 100)]);
    return r;
}

// Serial traffic at 115200 baud's pace (11520 bytes/s) into each port, in
// 10 ms ticks as a POS program's line would deliver it; what comes back
// is read every tick.
class Traffic
{
public:
    explicit Traffic(std::vector<int> fds) : m_fds(std::move(fds)), m_sent(m_fds.size()), m_got(m_fds.size())
    {
    }
    ~Traffic() { stop(); }
    void start()
    {
        m_start = Clock::now();
        m_thread = std::thread([this] { run(); });
    }
    void stop()
    {
        if (!m_thread.joinable())
            return;
        m_stop = true;
        m_thread.join();
        m_seconds = double(usSince(m_start)) / 1e6;
    }
    // Lowest and mean bytes/s per port each way over the run.
    void rates(double *minOut, double *meanOut, double *minIn, double *meanIn) const
    {
        *minOut = *minIn = 1e18;
        *meanOut = *meanIn = 0;
        for (size_t i = 0; i < m_fds.size(); ++i) {
            *minOut = std::min(*minOut, double(m_sent[i]) / m_seconds);
            *minIn = std::min(*minIn, double(m_got[i]) / m_seconds);
            *meanOut += double(m_sent[i]) / m_seconds / double(m_fds.size());
            *meanIn += double(m_got[i]) / m_seconds / double(m_fds.size());
        }
    }

private:
    void run()
    {
        char out[4096];
        char in[65536];
        for (size_t i = 0; i < sizeof(out); ++i)
            out[i] = char(i * 13);
        auto next = m_start;
        while (!m_stop) {
            const int64_t due = usSince(m_start) * 11520 / 1000000;
            for (size_t i = 0; i < m_fds.size(); ++i) {
                const int64_t want = std::min<int64_t>(due - m_sent[i], sizeof(out));
                if (want > 0) {
                    const ssize_t n = ::write(m_fds[i], out, size_t(want));
                    if (n > 0)
                        m_sent[i] += n;
                }
                ssize_t n;
                while ((n = ::read(m_fds[i], in, sizeof(in))) > 0)
                    m_got[i] += n;
            }
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(next);
        }
    }

    std::vector<int> m_fds;
    std::vector<int64_t> m_sent, m_got;
    std::atomic<bool> m_stop{false};
    Clock::time_point m_start;
    std::thread m_thread;
    double m_seconds = 1;
};

// What /proc tells of a process: CPU time (the scheduler's nanoseconds, not
// the 10 ms ticks of stat), context switches of each thread (to see who
// wakes up), resident memory.
struct ThreadSample {
    std::string name;
    long long cpuNs = 0;
    long long switches = 0;
};
struct ProcSample {
    long long cpuNs = 0;
    long long switches = 0;
    long rssKb = 0;
    int threads = 0;
    std::map<long, ThreadSample> byTid;
};

std::string readText(const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "r");
    if (!f)
        return std::string();
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
        s.append(buf, n);
    std::fclose(f);
    return s;
}

long long schedNs(const std::string &schedstat)
{
    return std::atoll(schedstat.c_str());
}

long long statusValue(const std::string &status, const char *key)
{
    const size_t at = status.find(key);
    return at == std::string::npos ? 0 : std::atoll(status.c_str() + at + std::strlen(key));
}

ProcSample sample(pid_t pid)
{
    ProcSample s;
    const std::string base = "/proc/" + std::to_string(pid);
    const std::string status = readText(base + "/status");
    s.rssKb = long(statusValue(status, "VmRSS:"));
    s.threads = int(statusValue(status, "Threads:"));
    DIR *d = ::opendir((base + "/task").c_str());
    if (!d)
        return s;
    while (dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string task = base + "/task/" + e->d_name;
        const std::string ts = readText(task + "/status");
        ThreadSample t;
        t.name = readText(task + "/comm");
        while (!t.name.empty() && t.name.back() == '\n')
            t.name.pop_back();
        t.switches =
            statusValue(ts, "voluntary_ctxt_switches:") + statusValue(ts, "nonvoluntary_ctxt_switches:");
        t.cpuNs = schedNs(readText(task + "/schedstat"));
        s.switches += t.switches;
        s.cpuNs += t.cpuNs;
        s.byTid[std::atol(e->d_name)] = t;
    }
    ::closedir(d);
    return s;
}

bool alive(pid_t pid)
{
    const std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close != std::string::npos && stat.size() > close + 2 && stat[close + 2] != 'Z';
}

struct Result {
    int n = 0;
    bool ok = false;
    QString why;
    double runningMs = -1;
    long rssKb = 0;
    int threads = 0;
    double idleCpuMs = 0;
    double wakeupsPerS = 0;
    double driverCpuMs = 0;
    double driverWakeupsPerS = 0;
    long driverRssKb = 0;
    Rtt idle, loaded;
    double minOut = 0, meanOut = 0, minIn = 0, meanIn = 0;
    double loadCpuPct = 0;
    double driverLoadCpuPct = 0;
    double stopMs = -1;
    // CPU from the program's start until all are Running (the 5 s before
    // the autostart line are the splash's wait, idle).
    double startCpuMs = 0;
    double driverStartCpuMs = 0;
};

// "[yyyyMMdd hhmmss.zzz] " of a log line, in ms since the epoch.
qint64 lineTime(const QString &line)
{
    static const QRegularExpression stamp(QStringLiteral("\\[(\\d{8} \\d{6}\\.\\d{3})\\]"));
    const QRegularExpressionMatch m = stamp.match(line);
    if (!m.hasMatch())
        return -1;
    return QDateTime::fromString(m.captured(1), QStringLiteral("yyyyMMdd hhmmss.zzz")).toMSecsSinceEpoch();
}

QString newestLog(const QString &dataPath)
{
    const QDir logs(dataPath + QStringLiteral("/logs"));
    const QStringList files = logs.entryList({QStringLiteral("velmora-*.log")}, QDir::Files, QDir::Time);
    return files.isEmpty() ? QString() : logs.filePath(files.first());
}

// Threads that woke up in the window one by one (main thread first), the
// quiet ones counted by name.
void printThreads(const char *what, const ProcSample &a, const ProcSample &b, double seconds)
{
    std::printf("    %s (tid name: wake-ups/s, CPU ms):", what);
    std::map<std::string, int> quiet;
    for (const auto &e : b.byTid) {
        const auto before = a.byTid.find(e.first);
        const ThreadSample zero;
        const ThreadSample &t0 = before == a.byTid.end() ? zero : before->second;
        const long long sw = e.second.switches - t0.switches;
        if (sw == 0) {
            ++quiet[e.second.name];
            continue;
        }
        std::printf(" %ld %s: %.1f, %.2f;", e.first, e.second.name.c_str(), double(sw) / seconds,
                    double(e.second.cpuNs - t0.cpuNs) / 1e6);
    }
    for (const auto &q : quiet)
        std::printf(" quiet %s x%d;", q.first.c_str(), q.second);
    std::printf("\n");
}

Result runOne(const QString &binDir, const QString &scratch, int n, int idleSeconds)
{
    Result r;
    r.n = n;
    const QString root = scratch + QStringLiteral("/n%1").arg(n);
    QDir().mkpath(root);
    for (const char *sub : {"data", "state", "config", "system/ports"})
        QDir(root).mkpath(QLatin1String(sub));
    const QString dataPath = root + QStringLiteral("/data/Tavrel/Velmora");
    const QString systemDir = root + QStringLiteral("/system");
    const QString portsDir = root + QStringLiteral("/system/ports");
    QDir().mkpath(dataPath);

    EchoHub echo;
    QVector<TunnelSettings> list;
    const QString line = QStringLiteral("115200,8,N,1,N/NO/NS");
    auto target = [&echo] { return QStringLiteral("127.0.0.1:%1").arg(echo.listen()); };
    for (int i = 0; i < n; ++i) {
        TunnelSettings s;
        s.uuid = QUuid::createUuid();
        s.mode = TunnelSettings::DirectIP;
        s.autostart = 1;
        s.description = QStringLiteral("bench %1").arg(i + 1);
        s.data_com = QStringLiteral("PC%1").arg(i + 1);
        s.data_settings = line;
        s.data_ip = target();
        for (const char *t : {"A", "B"}) {
            s.proxy_com.append(QStringLiteral("DEV%1%2").arg(i + 1).arg(QLatin1String(t)));
            s.proxy_settings.append(line);
            s.proxy_data.append(target());
            s.proxy_ctrl.append(target());
        }
        if (!s.validate()) {
            r.why = QStringLiteral("configuration %1 invalid: %2").arg(i + 1).arg(s.validation_error);
            return r;
        }
        list.append(s);
    }
    echo.start();
    ConfigurationFile file(dataPath + QStringLiteral("/configuration.ini"));
    AppSettings app;
    app.start_wizard = false;
    if (!file.save(list) || !file.saveApp(app)) {
        r.why = QStringLiteral("configuration.ini not written");
        return r;
    }
    QFile debugIni(dataPath + QStringLiteral("/debug.ini"));
    const QByteArray level = qgetenv("SUPERVISORBENCH_DEBUGLEVEL").isEmpty()
                                 ? QByteArray("4")
                                 : qgetenv("SUPERVISORBENCH_DEBUGLEVEL");
    if (!debugIni.open(QIODevice::WriteOnly) ||
        debugIni.write("debuglevel=" + level + "\ndebugconsole=0\n") <= 0) {
        r.why = QStringLiteral("debug.ini not written");
        return r;
    }
    debugIni.close();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), root + QStringLiteral("/state"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/config"));
    env.insert(QStringLiteral("VELMORA_SYSTEM_DIR"), systemDir);
    env.insert(QStringLiteral("VELMORA_PORTS_DIR"), portsDir);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess velmora;
    velmora.setProcessEnvironment(env);
    velmora.setProgram(binDir + QStringLiteral("/velmora"));
    velmora.setStandardOutputFile(root + QStringLiteral("/velmora.out"));
    velmora.setStandardErrorFile(root + QStringLiteral("/velmora.err"));
    velmora.start();
    if (!velmora.waitForStarted(10000)) {
        r.why = QStringLiteral("velmora did not start: ") + velmora.errorString();
        return r;
    }
    const pid_t pid = pid_t(velmora.processId());
    pid_t driverPid = 0;
    const ProcSample startA = sample(pid);
    // The start-up's system calls, counted by strace (a process of ours, ended by its pid).
    QProcess strace;
    if (qgetenv("SUPERVISORBENCH_STRACE") == "1") {
        strace.setProgram(QStringLiteral("strace"));
        strace.setArguments({QStringLiteral("-c"), QStringLiteral("-f"), QStringLiteral("-o"),
                             root + QStringLiteral("/strace-start.txt"), QStringLiteral("-p"),
                             QString::number(pid)});
        strace.start();
        strace.waitForStarted(5000);
    }
    auto endStrace = [&strace]() {
        if (strace.state() == QProcess::NotRunning || strace.processId() <= 0)
            return;
        ::kill(pid_t(strace.processId()), SIGINT);
        if (!strace.waitForFinished(10000)) {
            ::kill(pid_t(strace.processId()), SIGKILL);
            strace.waitForFinished(5000);
        }
    };
    std::vector<int> pos(size_t(n), -1);
    Traffic *traffic = nullptr;

    auto finish = [&]() {
        endStrace();
        delete traffic;
        traffic = nullptr;
        if (velmora.state() != QProcess::NotRunning && pid > 0) {
            const auto t0 = Clock::now();
            ::kill(pid, SIGTERM);
            if (velmora.waitForFinished(30000)) {
                r.stopMs = double(usSince(t0)) / 1000.0;
            } else {
                ::kill(pid, SIGKILL);
                velmora.waitForFinished(5000);
                r.why += QStringLiteral(" velmora did not end within 30 s of SIGTERM;");
            }
        }
        for (int fd : pos)
            if (fd >= 0)
                ::close(fd);
        QFile pidFile(systemDir + QStringLiteral("/vspd/vspd.pid"));
        if (pidFile.open(QIODevice::ReadOnly)) {
            const pid_t d = pid_t(pidFile.readAll().trimmed().toLong());
            if (d > 1 && ::kill(d, SIGTERM) == 0) {
                const auto t0 = Clock::now();
                while (alive(d) && usSince(t0) < 5000000)
                    sleepMs(10);
            }
        }
        echo.stop();
    };

    // The autostart line and every configuration's first Running, by the log's clock.
    qint64 autostartAt = -1, lastRunningAt = -1;
    QSet<int> running;
    static const QRegularExpression runningLine(
        QStringLiteral("\\[BALLOON\\] Konfiguracja numer: (\\d+) zmieniła stan na: Uruchomiona"));
    const auto waitStart = Clock::now();
    while (running.size() < n || autostartAt < 0) {
        if (velmora.state() == QProcess::NotRunning || usSince(waitStart) > 90000000) {
            r.why = QStringLiteral("only %1 of %2 configurations Running (see %3)")
                        .arg(running.size())
                        .arg(n)
                        .arg(newestLog(dataPath));
            finish();
            return r;
        }
        sleepMs(50);
        QFile log(newestLog(dataPath));
        if (!log.open(QIODevice::ReadOnly))
            continue;
        const QStringList lines = QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'));
        for (const QString &l : lines) {
            if (autostartAt < 0 && l.contains(QLatin1String("Processing autostarts")))
                autostartAt = lineTime(l);
            if (l.contains(QStringLiteral("zmieniła stan na: Zatrzymana-Błąd"))) {
                r.why = QStringLiteral("a configuration failed: ") + l;
                finish();
                return r;
            }
            const QRegularExpressionMatch m = runningLine.match(l);
            if (m.hasMatch() && !running.contains(m.captured(1).toInt())) {
                running.insert(m.captured(1).toInt());
                lastRunningAt = std::max(lastRunningAt, lineTime(l));
            }
        }
    }
    r.runningMs = double(lastRunningAt - autostartAt);
    endStrace();
    const ProcSample startB = sample(pid);
    r.startCpuMs = double(startB.cpuNs - startA.cpuNs) / 1e6;
    {
        QFile pidFile(systemDir + QStringLiteral("/vspd/vspd.pid"));
        if (pidFile.open(QIODevice::ReadOnly))
            driverPid = pid_t(pidFile.readAll().trimmed().toLong());
    }
    // The daemon is started on demand by the program: all it used so far was the start's.
    r.driverStartCpuMs = driverPid > 0 ? double(sample(driverPid).cpuNs) / 1e6 : 0;

    // Idle: nothing moves; whatever runs now is the program's own.
    sleepMs(1000);
    const ProcSample idleA = sample(pid);
    const ProcSample driverA = driverPid > 0 ? sample(driverPid) : ProcSample();
    sleepMs(idleSeconds * 1000);
    const ProcSample idleB = sample(pid);
    const ProcSample driverB = driverPid > 0 ? sample(driverPid) : ProcSample();
    r.rssKb = idleB.rssKb;
    r.threads = idleB.threads;
    r.idleCpuMs = double(idleB.cpuNs - idleA.cpuNs) / 1e6;
    r.wakeupsPerS = double(idleB.switches - idleA.switches) / idleSeconds;
    r.driverCpuMs = double(driverB.cpuNs - driverA.cpuNs) / 1e6;
    r.driverWakeupsPerS = double(driverB.switches - driverA.switches) / idleSeconds;
    r.driverRssKb = driverB.rssKb;
    std::printf(
        "  n=%d: all Running %.0f ms after the autostart line (CPU velmora %.0f ms, vspd %.0f ms); idle "
        "%d s measured\n",
        n, r.runningMs, r.startCpuMs, r.driverStartCpuMs, idleSeconds);
    if (std::getenv("SUPERVISORBENCH_START_THREADS"))
        printThreads("velmora start", startA, startB, 1);
    printThreads("velmora idle", idleA, idleB, idleSeconds);
    if (driverPid > 0)
        printThreads("vspd idle", driverA, driverB, idleSeconds);

    // The point-of-sale side of every PC interface.
    for (int i = 0; i < n; ++i) {
        pos[size_t(i)] = openPos(portsDir + QStringLiteral("/PC%1").arg(i + 1));
        if (pos[size_t(i)] < 0) {
            r.why = QStringLiteral("PC%1 does not open: %2")
                        .arg(i + 1)
                        .arg(QString::fromLocal8Bit(strerror(errno)));
            finish();
            return r;
        }
    }
    // The driver learns of an opened end asynchronously: until then the echo
    // coming back is dropped, so the first exchange is retried.
    bool through = false;
    for (int i = 0; i < 20 && !through; ++i)
        through = roundTrip(pos[0], 1000 + i, 500) >= 0;
    if (!through) {
        r.why = QStringLiteral("no echo through PC1");
        finish();
        return r;
    }
    r.idle = measureRtt(pos[0], 100);

    if (n > 1) {
        traffic = new Traffic(std::vector<int>(pos.begin() + 1, pos.end()));
        traffic->start();
        sleepMs(2000);
        const ProcSample selfA = sample(::getpid());
        const ProcSample loadA = sample(pid);
        const ProcSample driverLoadA = driverPid > 0 ? sample(driverPid) : ProcSample();
        const auto t0 = Clock::now();
        r.loaded = measureRtt(pos[0], 100);
        const double seconds = double(usSince(t0)) / 1e6;
        const ProcSample loadB = sample(pid);
        const ProcSample selfB = sample(::getpid());
        // The traffic and the echo servers run here and share the machine's cores with the program.
        std::printf("    benchmark itself under load: %.0f%% CPU\n",
                    double(selfB.cpuNs - selfA.cpuNs) / 1e7 / seconds);
        const ProcSample driverLoadB = driverPid > 0 ? sample(driverPid) : ProcSample();
        traffic->stop();
        traffic->rates(&r.minOut, &r.meanOut, &r.minIn, &r.meanIn);
        r.loadCpuPct = double(loadB.cpuNs - loadA.cpuNs) / 1e7 / seconds;
        r.driverLoadCpuPct = double(driverLoadB.cpuNs - driverLoadA.cpuNs) / 1e7 / seconds;
        printThreads("velmora under load", loadA, loadB, seconds);
        if (driverPid > 0)
            printThreads("vspd under load", driverLoadA, driverLoadB, seconds);
    }
    finish();
    r.ok = r.why.isEmpty();
    return r;
}

QString rttText(const Rtt &r)
{
    if (r.median < 0)
        return QStringLiteral("-");
    QString s = QStringLiteral("%1/%2").arg(r.median / 1000.0, 0, 'f', 2).arg(r.p95 / 1000.0, 0, 'f', 2);
    if (r.failed)
        s += QStringLiteral(" (%1 lost)").arg(r.failed);
    return s;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s BIN_DIR SCRATCH_DIR [idle seconds] [counts...]\n", argv[0]);
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    const QString binDir = QString::fromLocal8Bit(argv[1]);
    const QString scratch = QString::fromLocal8Bit(argv[2]);
    const int idleSeconds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 10;
    std::vector<int> counts;
    for (int i = 4; i < argc; ++i)
        counts.push_back(std::atoi(argv[i]));
    if (counts.empty())
        counts = {1, 16, 64, 128};

    std::vector<Result> results;
    for (int n : counts) {
        // Other work on the machine stretches every time measured here; the CPU columns do not depend on it.
        std::printf("running %d configuration(s)... (load average %s)\n", n,
                    readText("/proc/loadavg").substr(0, 14).c_str());
        std::fflush(stdout);
        results.push_back(runOne(binDir, scratch, n, idleSeconds));
        if (!results.back().ok)
            std::printf("  n=%d FAILED: %s\n", n, qPrintable(results.back().why));
        std::fflush(stdout);
    }

    std::printf("\nvelmora (headless) with N direct-IP configurations, each PC interface + 2 device-COM "
                "tunnels (5 TCP connections, 3 port pairs); idle over %d s\n\n",
                idleSeconds);
    std::printf(
        "%5s | %10s | %13s | %8s | %8s | %7s | %9s | %9s | %9s | %9s | %8s | %14s | %14s | %13s | %9s | "
        "%8s\n",
        "N", "Running ms", "start CPU ms", "RSS MiB", "KiB/cfg", "threads", "idle CPU", "wakeups/s",
        "vspd CPU", "vspd wk/s", "vspd MiB", "RTT idle ms", "RTT load ms", "load B/s/cfg", "CPU load",
        "stop ms");
    std::printf(
        "%5s | %10s | %13s | %8s | %8s | %7s | %9s | %9s | %9s | %9s | %8s | %14s | %14s | %13s | %9s | "
        "%8s\n",
        "", "", "velm/vspd", "", "", "", "ms", "", "ms", "", "", "median/p95", "median/p95", "min out/in",
        "velm/vspd", "");
    const Result *one = nullptr;
    for (const Result &r : results)
        if (r.ok && r.n == 1)
            one = &r;
    for (const Result &r : results) {
        if (!r.ok) {
            std::printf("%5d | failed: %s\n", r.n, qPrintable(r.why));
            continue;
        }
        QString perCfg = QStringLiteral("-");
        if (one && r.n > 1)
            perCfg = QString::number(double(r.rssKb - one->rssKb) / double(r.n - 1), 'f', 0);
        else if (r.n == 1)
            perCfg = QStringLiteral("(base)");
        const QString load = r.n > 1
                                 ? QStringLiteral("%1/%2").arg(r.minOut, 0, 'f', 0).arg(r.minIn, 0, 'f', 0)
                                 : QStringLiteral("-");
        const QString cpuLoad =
            r.n > 1
                ? QStringLiteral("%1%/%2%").arg(r.loadCpuPct, 0, 'f', 0).arg(r.driverLoadCpuPct, 0, 'f', 0)
                : QStringLiteral("-");
        const QString startCpu =
            QStringLiteral("%1/%2").arg(r.startCpuMs, 0, 'f', 0).arg(r.driverStartCpuMs, 0, 'f', 0);
        std::printf(
            "%5d | %10.0f | %13s | %8.1f | %8s | %7d | %9.2f | %9.1f | %9.2f | %9.1f | %8.1f | %14s | %14s | %13s | "
            "%9s | %8.0f\n",
            r.n, r.runningMs, qPrintable(startCpu), double(r.rssKb) / 1024.0, qPrintable(perCfg), r.threads,
            r.idleCpuMs, r.wakeupsPerS, r.driverCpuMs, r.driverWakeupsPerS, double(r.driverRssKb) / 1024.0,
            qPrintable(rttText(r.idle)), qPrintable(rttText(r.loaded)), qPrintable(load), qPrintable(cpuLoad),
            r.stopMs);
    }

    // Measured against the goals.
    std::printf("\n%-48s | %-28s | %s\n", "goal", "measured", "met");
    for (const Result &r : results) {
        if (!r.ok)
            continue;
        if (r.n == 64)
            std::printf("%-48s | %-28s | %s\n", "all Running within 2 s at 64 configurations",
                        qPrintable(QStringLiteral("%1 ms").arg(r.runningMs, 0, 'f', 0)),
                        r.runningMs <= 2000 ? "yes" : "NO");
    }
    for (const Result &r : results) {
        if (!r.ok)
            continue;
        std::printf("%-48s | %-28s | %s\n", qPrintable(QStringLiteral("idle CPU zero (N=%1)").arg(r.n)),
                    qPrintable(QStringLiteral("%1 ms / %2 s, %3 wake-ups/s")
                                   .arg(r.idleCpuMs, 0, 'f', 2)
                                   .arg(idleSeconds)
                                   .arg(r.wakeupsPerS, 0, 'f', 1)),
                    r.idleCpuMs == 0 ? "yes" : "NO");
    }
    for (const Result &r : results) {
        if (!r.ok || !one || r.n <= 1)
            continue;
        const double kib = double(r.rssKb - one->rssKb) / double(r.n - 1);
        std::printf("%-48s | %-28s | %s\n",
                    qPrintable(QStringLiteral("memory per configuration < 1 MiB (N=%1)").arg(r.n)),
                    qPrintable(QStringLiteral("%1 KiB").arg(kib, 0, 'f', 0)), kib < 1024 ? "yes" : "NO");
    }
    for (const Result &r : results) {
        if (!r.ok || r.n <= 1 || r.idle.median <= 0 || r.loaded.median <= 0)
            continue;
        const double ratio = r.loaded.median / r.idle.median;
        std::printf("%-48s | %-28s | %s\n",
                    qPrintable(QStringLiteral("RTT under load <= 1.5 x idle (N=%1)").arg(r.n)),
                    qPrintable(QStringLiteral("%1 x (%2 vs %3 ms)")
                                   .arg(ratio, 0, 'f', 2)
                                   .arg(r.loaded.median / 1000.0, 0, 'f', 2)
                                   .arg(r.idle.median / 1000.0, 0, 'f', 2)),
                    ratio <= 1.5 && r.loaded.failed == 0 ? "yes" : "NO");
    }
    bool allOk = true;
    for (const Result &r : results)
        allOk = allOk && r.ok;
    return allOk ? 0 : 1;
}
