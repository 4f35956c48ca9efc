// Small helpers of the driver tests: raw ports, whole transfers, the daemon's pid.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace ptytest
{

inline int openRaw(const QString &path, speed_t speed = B115200)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios t;
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, speed);
    ::tcsetattr(fd, TCSANOW, &t);
    return fd;
}

inline bool writeAll(int fd, const QByteArray &data)
{
    qint64 done = 0;
    while (done < data.size()) {
        const ssize_t n =
            ::write(fd, data.constData() + done, size_t(qMin<qint64>(data.size() - done, 65536)));
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Reads until n bytes came or nothing arrived for idleMs.
inline QByteArray readUpTo(int fd, qint64 n, int idleMs = 3000, int chunk = 65536)
{
    QByteArray out;
    QByteArray buf(chunk, '\0');
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, idleMs) <= 0)
            break;
        const ssize_t r = ::read(fd, buf.data(), size_t(qMin<qint64>(chunk, n - out.size())));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        out.append(buf.constData(), int(r));
    }
    return out;
}

inline bool readable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

inline QByteArray randomBytes(int n, quint32 seed)
{
    QByteArray b(n, '\0');
    quint32 x = seed | 1;
    for (int i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b[i] = char(x >> 24);
    }
    return b;
}

inline qint64 daemonPid(const QString &systemDir)
{
    QFile f(systemDir + QStringLiteral("/vspd/vspd.pid"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return f.readAll().trimmed().toLongLong();
}

inline bool processAlive(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray s = stat.readAll();
    const int close = s.lastIndexOf(')');
    return close > 0 && s.size() > close + 2 && s[close + 2] != 'Z';
}

// Clock ticks the process has used (user + system).
inline qint64 cpuTicks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray s = stat.readAll();
    const QList<QByteArray> f = s.mid(s.lastIndexOf(')') + 2).split(' ');
    return f.size() > 13 ? f[11].toLongLong() + f[12].toLongLong() : -1;
}

// A pseudo-terminal of our own whose slave is the given /dev/pts path (a
// number a killed daemon left a link to): its master, or -1 when the kernel
// hands out other numbers. Terminals taken on the way are closed again.
inline int terminalAt(const QString &ptsPath)
{
    QList<int> taken;
    int found = -1;
    for (int i = 0; i < 256 && found < 0; ++i) {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[64];
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
            ::ptsname_r(master, name, sizeof name) != 0)
            break;
        if (QString::fromLatin1(name) == ptsPath)
            found = master;
        else
            taken.append(master);
    }
    for (int fd : taken)
        ::close(fd);
    return found;
}

// Processes other than this one and `except` with a descriptor of the terminal at ptsPath.
inline QList<qint64> otherHolders(const QByteArray &ptsPath, qint64 except)
{
    QList<qint64> pids;
    DIR *proc = ::opendir("/proc");
    while (const dirent *p = proc ? ::readdir(proc) : nullptr) {
        const qint64 pid = std::atoll(p->d_name);
        if (pid <= 0 || pid == qint64(::getpid()) || pid == except)
            continue;
        const QByteArray fds = QByteArray("/proc/") + p->d_name + "/fd";
        DIR *dir = ::opendir(fds.constData());
        while (const dirent *f = dir ? ::readdir(dir) : nullptr) {
            char target[256] = {0};
            if (::readlink((fds + '/' + f->d_name).constData(), target, sizeof target - 1) > 0 &&
                ptsPath == target) {
                pids.append(pid);
                break;
            }
        }
        if (dir)
            ::closedir(dir);
    }
    if (proc)
        ::closedir(proc);
    return pids;
}

inline bool waitGone(qint64 pid, int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (processAlive(pid)) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        ::usleep(10000);
    }
    return true;
}

} // namespace ptytest
