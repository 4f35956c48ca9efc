#include "platform/netdivert.h"

#include <QByteArray>
#include <QHash>
#include <QRegularExpression>
#include <QString>

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <memory>
#include <mutex>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// One open handle. Receivers hold a reference while they wait, so closing
// never frees what a blocked receiver still uses; the descriptors are closed
// only after every receiver has left.
struct Divert {
    int tunFd = -1;
    int wakeFd = -1;
    quint32 ifIndex = 0;
    quint32 target = 0; // host order
    QByteArray ifName;
    std::mutex lock;
    std::condition_variable idle;
    int receivers = 0;
    bool closing = false;

    ~Divert()
    {
        if (tunFd >= 0)
            ::close(tunFd);
        if (wakeFd >= 0)
            ::close(wakeFd);
    }
};

std::mutex g_tableLock;
QHash<DivertHandle, std::shared_ptr<Divert>> g_table;
DivertHandle g_nextHandle = 1;

std::shared_ptr<Divert> lookup(DivertHandle h)
{
    std::lock_guard<std::mutex> guard(g_tableLock);
    return g_table.value(h);
}

bool parseFilter(const char *filter, quint32 *target)
{
    static const QRegularExpression re(
        QStringLiteral("^outbound and ip\\.DstAddr == (\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})$"));
    const auto m = re.match(QString::fromLatin1(filter ? filter : ""));
    if (!m.hasMatch())
        return false;
    quint32 a = 0;
    for (int i = 1; i <= 4; ++i) {
        const uint part = m.captured(i).toUInt();
        if (part > 255)
            return false;
        a = a << 8 | part;
    }
    *target = a;
    return true;
}

sockaddr_in inet(quint32 hostOrder)
{
    sockaddr_in sin;
    std::memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(hostOrder);
    return sin;
}

// Brings the interface up with its addresses and the route to the target.
int configure(const Divert &d, quint32 local)
{
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return errno;
    int err = 0;
    ifreq ifr;
    std::memset(&ifr, 0, sizeof(ifr));
    std::strncpy(ifr.ifr_name, d.ifName.constData(), IFNAMSIZ - 1);
    if (local) {
        sockaddr_in a = inet(local);
        std::memcpy(&ifr.ifr_addr, &a, sizeof(a));
        if (::ioctl(s, SIOCSIFADDR, &ifr) < 0)
            err = errno;
        a = inet(d.target);
        std::memcpy(&ifr.ifr_dstaddr, &a, sizeof(a));
        if (!err && ::ioctl(s, SIOCSIFDSTADDR, &ifr) < 0)
            err = errno;
    }
    if (!err && ::ioctl(s, SIOCGIFFLAGS, &ifr) < 0)
        err = errno;
    if (!err) {
        ifr.ifr_flags |= IFF_UP | IFF_RUNNING | IFF_NOARP | IFF_POINTOPOINT;
        if (::ioctl(s, SIOCSIFFLAGS, &ifr) < 0)
            err = errno;
    }
    if (!err && !local) {
        // Without a local address the peer route is not made by the kernel.
        rtentry rt;
        std::memset(&rt, 0, sizeof(rt));
        sockaddr_in dst = inet(d.target);
        sockaddr_in mask = inet(0xFFFFFFFFu);
        std::memcpy(&rt.rt_dst, &dst, sizeof(dst));
        std::memcpy(&rt.rt_genmask, &mask, sizeof(mask));
        rt.rt_flags = RTF_UP | RTF_HOST;
        QByteArray dev = d.ifName;
        rt.rt_dev = dev.data();
        if (::ioctl(s, SIOCADDRT, &rt) < 0 && errno != EEXIST)
            err = errno;
    }
    ::close(s);
    return err;
}

} // namespace

DivertHandle WinDivertOpen(const char *filter, int layer, qint16 priority, quint64 flags,
                           quint32 localAddress)
{
    Q_UNUSED(priority);
    quint32 target = 0;
    if (layer != DIVERT_LAYER_NETWORK || flags != 0 || !parseFilter(filter, &target)) {
        errno = EINVAL;
        return INVALID_DIVERT_HANDLE;
    }
    auto d = std::make_shared<Divert>();
    d->target = target;
    d->tunFd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (d->tunFd < 0) {
        // A device node closed to us is the same refusal as a missing capability.
        if (errno == EACCES)
            errno = EPERM;
        return INVALID_DIVERT_HANDLE;
    }
    ifreq ifr;
    std::memset(&ifr, 0, sizeof(ifr));
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(ifr.ifr_name, "vdivert%d", IFNAMSIZ - 1);
    if (::ioctl(d->tunFd, TUNSETIFF, &ifr) < 0)
        return INVALID_DIVERT_HANDLE; // EPERM without CAP_NET_ADMIN
    d->ifName = QByteArray(ifr.ifr_name);
    d->ifIndex = ::if_nametoindex(ifr.ifr_name);
    d->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d->wakeFd < 0)
        return INVALID_DIVERT_HANDLE;
    const int flagsNow = ::fcntl(d->tunFd, F_GETFL);
    ::fcntl(d->tunFd, F_SETFL, flagsNow | O_NONBLOCK);
    if (const int err = configure(*d, localAddress)) {
        errno = err;
        return INVALID_DIVERT_HANDLE; // closing the descriptor removes the interface
    }
    std::lock_guard<std::mutex> guard(g_tableLock);
    const DivertHandle h = g_nextHandle++;
    g_table.insert(h, d);
    return h;
}

bool WinDivertRecv(DivertHandle handle, void *packet, uint packetLen, DivertAddress *addr, uint *recvLen)
{
    std::shared_ptr<Divert> d = lookup(handle);
    if (!d || !packet) {
        errno = d ? EINVAL : EBADF;
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(d->lock);
        if (d->closing) {
            errno = EBADF;
            return false;
        }
        ++d->receivers;
    }
    struct Leave {
        Divert *d;
        ~Leave()
        {
            std::lock_guard<std::mutex> guard(d->lock);
            if (--d->receivers == 0)
                d->idle.notify_all();
        }
    } leave{d.get()};

    for (;;) {
        pollfd fds[2] = {{d->tunFd, POLLIN, 0}, {d->wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (fds[1].revents) {
            errno = ECANCELED; // the handle is being closed
            return false;
        }
        if (!(fds[0].revents & POLLIN)) {
            if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                errno = EIO;
                return false;
            }
            continue;
        }
        const ssize_t n = ::read(d->tunFd, packet, packetLen);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return false;
        }
        const auto *b = static_cast<const uchar *>(packet);
        // Only what the filter asks for: IPv4 to the target address.
        if (n < 20 || (b[0] >> 4) != 4)
            continue;
        const quint32 dst = quint32(b[16]) << 24 | quint32(b[17]) << 16 | quint32(b[18]) << 8 | b[19];
        if (dst != d->target)
            continue;
        if (addr) {
            addr->IfIdx = d->ifIndex;
            addr->SubIfIdx = 0;
            addr->Direction = DIVERT_DIRECTION_OUTBOUND;
        }
        if (recvLen)
            *recvLen = uint(n);
        return true;
    }
}

bool WinDivertSend(DivertHandle handle, const void *packet, uint packetLen, const DivertAddress *addr,
                   uint *writeLen)
{
    std::shared_ptr<Divert> d = lookup(handle);
    if (!d) {
        errno = EBADF;
        return false;
    }
    // Only injection towards the PC is needed; outbound sending has no path here.
    if (!packet || !addr || addr->Direction != DIVERT_DIRECTION_INBOUND || packetLen < 20) {
        errno = EINVAL;
        return false;
    }
    ssize_t n;
    do {
        n = ::write(d->tunFd, packet, packetLen);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return false;
    if (writeLen)
        *writeLen = uint(n);
    return true;
}

bool WinDivertClose(DivertHandle handle)
{
    std::shared_ptr<Divert> d;
    {
        std::lock_guard<std::mutex> guard(g_tableLock);
        d = g_table.take(handle);
    }
    if (!d) {
        errno = EBADF;
        return false;
    }
    std::unique_lock<std::mutex> lk(d->lock);
    d->closing = true;
    const quint64 one = 1;
    if (::write(d->wakeFd, &one, sizeof(one)) < 0) {
        // The counter cannot overflow with one write; nothing else to do.
    }
    // Receivers wake at once; wait for them so the interface is gone when this returns.
    d->idle.wait(lk, [&] { return d->receivers == 0; });
    ::close(d->tunFd);
    d->tunFd = -1;
    return true;
}

QByteArray WinDivertInterfaceName(DivertHandle handle)
{
    std::shared_ptr<Divert> d = lookup(handle);
    return d ? d->ifName : QByteArray();
}
