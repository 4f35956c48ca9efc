#include "driver/pairrelay.h"

#include "driver/vspdprotocol.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

namespace
{

int64_t monotonicNow()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

uint32_t baudOf(speed_t s)
{
    switch (s) {
    case B50:
        return 50;
    case B75:
        return 75;
    case B110:
        return 110;
    case B134:
        return 134;
    case B150:
        return 150;
    case B200:
        return 200;
    case B300:
        return 300;
    case B600:
        return 600;
    case B1200:
        return 1200;
    case B1800:
        return 1800;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    case B460800:
        return 460800;
    case B500000:
        return 500000;
    case B576000:
        return 576000;
    case B921600:
        return 921600;
    case B1000000:
        return 1000000;
    case B1152000:
        return 1152000;
    case B1500000:
        return 1500000;
    case B2000000:
        return 2000000;
    case B2500000:
        return 2500000;
    case B3000000:
        return 3000000;
    case B3500000:
        return 3500000;
    case B4000000:
        return 4000000;
    default:
        return 0; // B0 (hang-up) or unknown: not paced
    }
}

gid_t dialoutGroup()
{
    const group *g = ::getgrnam("dialout");
    return g ? g->gr_gid : 0;
}

} // namespace

PairRelay::PairRelay(uint32_t id, int epollFd, int inotifyFd)
    : m_id(id), m_epoll(epollFd), m_inotify(inotifyFd)
{
    for (Direction &d : m_dir)
        d.data = static_cast<char *>(std::malloc(kBufferSize));
}

PairRelay::~PairRelay()
{
    for (int i = 0; i < 2; ++i) {
        End &e = m_end[i];
        if (e.watch >= 0)
            ::inotify_rm_watch(m_inotify, e.watch);
        if (e.master >= 0) {
            ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, e.master, nullptr);
            ::close(e.master);
        }
        if (e.slave >= 0)
            ::close(e.slave);
        Direction &d = m_dir[i];
        if (d.timer >= 0) {
            ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, d.timer, nullptr);
            ::close(d.timer);
        }
        std::free(d.data);
    }
}

bool PairRelay::open(const std::string &name0, uint32_t instance0, const std::string &name1,
                     uint32_t instance1, std::string *error)
{
    m_end[0].name = name0;
    m_end[0].instance = instance0;
    m_end[1].name = name1;
    m_end[1].instance = instance1;
    if (!m_dir[0].data || !m_dir[1].data) {
        *error = "out of memory";
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        End &e = m_end[i];
        e.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        char pts[128];
        if (e.master < 0 || ::grantpt(e.master) != 0 || ::ptsname_r(e.master, pts, sizeof pts) != 0) {
            *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
            return false;
        }
        e.pts = pts;
        // Watched while the terminal is still locked (nobody can open it
        // yet), so every open from now on raises an event and the count
        // starts right at zero; our own open below is the one event to skip.
        e.watch = ::inotify_add_watch(m_inotify, pts, IN_OPEN | IN_CLOSE);
        if (e.watch < 0) {
            *error = std::string("cannot watch ") + pts + ": " + std::strerror(errno);
            return false;
        }
        if (::unlockpt(e.master) != 0) {
            *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
            return false;
        }
        e.slave = ::open(pts, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        e.ownOpens = e.slave >= 0 ? 1 : 0;
        if (e.slave < 0) {
            *error = std::string("cannot open ") + pts + ": " + std::strerror(errno);
            return false;
        }
        // A serial port is a raw line: no echo, no line editing, no signals.
        termios t;
        if (::tcgetattr(e.slave, &t) == 0) {
            ::cfmakeraw(&t);
            t.c_cflag |= CLOCAL | CREAD;
            ::tcsetattr(e.slave, TCSANOW, &t);
        }
        // Root serves users of the dialout group, as real serial ports do.
        if (::geteuid() == 0) {
            if (::fchown(e.slave, 0, dialoutGroup()) != 0 || ::fchmod(e.slave, 0660) != 0) {
                *error = std::string("cannot set the owner of ") + pts + ": " + std::strerror(errno);
                return false;
            }
        } else if (::fchmod(e.slave, 0600) != 0) {
            *error = std::string("cannot set the mode of ") + pts + ": " + std::strerror(errno);
            return false;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = key(m_id, KindMaster, i);
        if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, e.master, &ev) != 0) {
            *error = std::string("epoll: ") + std::strerror(errno);
            return false;
        }
        e.epollMask = EPOLLIN;
        Direction &d = m_dir[i];
        d.timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        ev.events = EPOLLIN;
        ev.data.u64 = key(m_id, KindTimer, i);
        if (d.timer < 0 || ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, d.timer, &ev) != 0) {
            *error = std::string("timer: ") + std::strerror(errno);
            return false;
        }
    }
    return true;
}

int PairRelay::endNamed(const std::string &upperName) const
{
    for (int i = 0; i < 2; ++i)
        if (!m_end[i].name.empty() && vspd::upperName(m_end[i].name) == upperName)
            return i;
    return -1;
}

void PairRelay::setStrict(bool on)
{
    m_strict = on;
    for (int i = 0; i < 2; ++i) {
        Direction &d = m_dir[i];
        d.waiting = false;
        d.rate = 0; // a new paced run starts with the next byte
        itimerspec off{};
        ::timerfd_settime(d.timer, 0, &off, nullptr);
    }
    flush(0);
    flush(1);
}

void PairRelay::setOpeners(int e, int openers)
{
    const int old = m_end[e].openers;
    m_end[e].openers = openers;
    if (old > 0 && openers == 0) {
        // The last user is gone: whatever waits for it is stale now.
        Direction &d = m_dir[1 - e];
        d.head = d.size = 0;
        ::tcflush(m_end[e].slave, TCIFLUSH);
        // As when a real port's last user closes it: a crashed user's exclusive claim must not outlive it.
        ::ioctl(m_end[e].slave, TIOCNXCL);
        updateInterest(0);
        updateInterest(1);
    }
}

void PairRelay::readable(int e)
{
    Direction &d = m_dir[e];
    End &src = m_end[e];
    for (int round = 0; round < 8; ++round) {
        if (d.size >= capacity())
            break;
        if (d.head + d.size + (capacity() - d.size) > kBufferSize) {
            std::memmove(d.data, d.data + d.head, d.size);
            d.head = 0;
        }
        const ssize_t n = ::read(src.master, d.data + d.head + d.size, capacity() - d.size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (m_end[1 - e].openers == 0 && refreshOpeners)
            refreshOpeners();
        if (m_end[1 - e].openers == 0)
            continue; // nothing plugged in at the other end: the bytes are gone
        const bool drained = size_t(n) < capacity() - d.size;
        d.size += size_t(n);
        flush(e);
        if (drained)
            break; // a short read took all there was; epoll tells us about more
    }
    updateInterest(0);
    updateInterest(1);
}

void PairRelay::writable(int e)
{
    flush(1 - e);
    // Room in our buffer again: take what the sender has queued meanwhile.
    if (m_dir[1 - e].size < capacity())
        readable(1 - e);
}

void PairRelay::timer(int dir)
{
    Direction &d = m_dir[dir];
    uint64_t expirations;
    while (::read(d.timer, &expirations, sizeof expirations) > 0) {
    }
    d.waiting = false;
    flush(dir);
    if (d.size < capacity())
        readable(dir);
}

uint32_t PairRelay::sendingRate(int dir) const
{
    termios t;
    if (::tcgetattr(m_end[dir].master, &t) != 0)
        return 0;
    return baudOf(::cfgetospeed(&t)) / 10; // 8N1: ten bits on the line per byte
}

size_t PairRelay::pacedAllowance(int dir, int64_t now)
{
    Direction &d = m_dir[dir];
    const uint32_t rate = sendingRate(dir);
    if (rate == 0)
        return d.size;
    const double nsPerByte = 1e9 / rate;
    // A new run starts when the rate changed or the line fell idle; a line
    // that is merely late keeps its schedule so the average rate stays exact.
    const int64_t nextDue = d.anchor + int64_t(double(d.sent) * nsPerByte);
    if (d.rate != rate || (d.idle && now > nextDue)) {
        d.rate = rate;
        d.anchor = now;
        d.sent = 0;
    }
    d.idle = false;
    const int64_t allowed = int64_t(double(now - d.anchor) / nsPerByte) + 1 - int64_t(d.sent);
    if (allowed > 0)
        return std::min(d.size, size_t(allowed));
    // Wake up when a few milliseconds' worth of bytes is due, not for every byte.
    const uint64_t chunk = std::max<uint64_t>(1, std::min<uint64_t>(d.size, rate / 200));
    const int64_t due = d.anchor + int64_t(double(d.sent + chunk - 1) * nsPerByte);
    itimerspec at{};
    at.it_value.tv_sec = due / 1000000000;
    at.it_value.tv_nsec = due % 1000000000;
    ::timerfd_settime(d.timer, TFD_TIMER_ABSTIME, &at, nullptr);
    d.waiting = true;
    return 0;
}

void PairRelay::flush(int dir)
{
    Direction &d = m_dir[dir];
    End &dst = m_end[1 - dir];
    if (dst.openers == 0)
        d.head = d.size = 0;
    while (d.size > 0 && !d.waiting) {
        size_t n = d.size;
        if (m_strict) {
            n = pacedAllowance(dir, monotonicNow());
            if (n == 0)
                break;
        }
        const ssize_t w = ::write(dst.master, d.data + d.head, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break; // the pty is full; we wait for it to drain
        d.head += size_t(w);
        d.size -= size_t(w);
        if (m_strict)
            d.sent += uint64_t(w);
        if (size_t(w) < n)
            break;
    }
    if (d.size == 0) {
        d.head = 0;
        d.idle = true;
    }
    updateInterest(0);
    updateInterest(1);
}

void PairRelay::updateInterest(int e)
{
    End &end = m_end[e];
    if (end.master < 0)
        return;
    uint32_t mask = 0;
    if (m_dir[e].size < capacity())
        mask |= EPOLLIN;
    if (m_dir[1 - e].size > 0 && !m_dir[1 - e].waiting)
        mask |= EPOLLOUT;
    if (mask == end.epollMask)
        return;
    epoll_event ev{};
    ev.events = mask;
    ev.data.u64 = key(m_id, KindMaster, e);
    if (::epoll_ctl(m_epoll, EPOLL_CTL_MOD, end.master, &ev) == 0)
        end.epollMask = mask;
}
