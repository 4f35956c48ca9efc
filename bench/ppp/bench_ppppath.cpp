// Throughput and latency of the PPP path at 115200 baud, run by hand as root:
//   bench_ppppath [ascii-bytes] [random-bytes] [rounds]
// The PC's TCP leaves through the diversion interface, crosses a PPP link on
// the lwIP adapter over a pseudo-terminal to Debian's slirp (in a namespace
// of its own) and reaches an echo server on slirp's loopback. The line is
// paced here, in both directions, at 11 520 bytes/s (115200 baud, 8N1).
#include "log/debug_class.h"
#include "platform/netdivert.h"
#include "runtime/lwipport.h"
#include "runtime/netdivertrecvthread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace
{

const double kLineRate = 11520.0; // bytes per second

void waitFor(const std::function<bool()> &cond, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!cond() && t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

bool ip(const QStringList &args)
{
    QProcess p;
    p.start("ip", args);
    return p.waitForFinished(20000) && p.exitCode() == 0;
}

// Both directions of the serial line, each let through at the line rate.
class PacedLine : public QObject
{
public:
    PacedLine(int fd) : m_fd(fd)
    {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        m_clock.start();
        m_tick.setTimerType(Qt::PreciseTimer);
        connect(&m_tick, &QTimer::timeout, this, [this] { pump(); });
        m_tick.start(1);
    }
    int unit = -1;
    qint64 txBytes = 0, rxBytes = 0;
    QByteArray out;

    void pump()
    {
        const double now = m_clock.nsecsElapsed() / 1e9;
        // Sending: what the line has carried by now, never ahead of it.
        if (out.isEmpty())
            m_txBase = now, m_txSent = 0;
        qint64 allowed = qint64((now - m_txBase) * kLineRate) - m_txSent;
        if (allowed > 0 && !out.isEmpty()) {
            const ssize_t n = ::write(m_fd, out.constData(), size_t(qMin<qint64>(allowed, out.size())));
            if (n > 0) {
                out.remove(0, int(n));
                m_txSent += n;
                txBytes += n;
            }
        }
        // Receiving: the same limit on what is taken from the line.
        if (!m_rxPending)
            m_rxBase = now, m_rxTaken = 0;
        allowed = qint64((now - m_rxBase) * kLineRate) - m_rxTaken;
        char buf[4096];
        m_rxPending = false;
        if (allowed <= 0) {
            m_rxPending = true;
            return;
        }
        const ssize_t n = ::read(m_fd, buf, size_t(qMin<qint64>(allowed, sizeof(buf))));
        if (n > 0) {
            m_rxTaken += n;
            rxBytes += n;
            m_rxPending = true;
            if (unit >= 0)
                pppSerialInput(unit, buf, int(n));
        }
    }

private:
    int m_fd;
    QElapsedTimer m_clock;
    QTimer m_tick;
    double m_txBase = 0, m_rxBase = 0;
    qint64 m_txSent = 0, m_rxTaken = 0;
    bool m_rxPending = false;
};

PacedLine *g_line = nullptr;
DivertHandle g_handle = INVALID_DIVERT_HANDLE;
DivertAddress g_inbound;
bool g_up = false, g_ended = false;

int sioWrite(void *, const quint8 *data, int len)
{
    g_line->out.append(reinterpret_cast<const char *>(data), len);
    return len;
}

void status(void *, int code, void *)
{
    if (code == 0)
        g_up = true;
    if (code <= -PPP_TERMINATION_OFFSET)
        g_ended = true;
}

void data(void *, int param, void *arg)
{
    if (param == PPP_DATA_LOCAL_ADDRESS)
        *static_cast<quint32 *>(arg) = htonl(0x0A0A0A14);
    if (param == PPP_DATA_REMOTE_ADDRESS)
        *static_cast<quint32 *>(arg) = htonl(0x0A0A0A0A);
}

int g_outPackets = 0, g_outMax = 0, g_inPackets = 0, g_inMax = 0;

void input(void *, const char *bytes, int len)
{
    ++g_inPackets;
    g_inMax = qMax(g_inMax, len);
    uint w = 0;
    WinDivertSend(g_handle, bytes, uint(len), &g_inbound, &w);
}

double echoGoodput(QTcpSocket &sock, const QByteArray &payload)
{
    QByteArray back;
    auto c = QObject::connect(&sock, &QTcpSocket::readyRead, [&] { back += sock.readAll(); });
    QElapsedTimer t;
    t.start();
    sock.write(payload);
    waitFor([&] { return back.size() >= payload.size(); }, 600000);
    const double s = t.nsecsElapsed() / 1e9;
    QObject::disconnect(c);
    if (back != payload)
        std::printf("  ERROR: echo differs (%d of %d bytes back)\n", back.size(), payload.size());
    return payload.size() / s;
}

// PC to device: from the first write until the device's TCP acknowledged
// every byte (the socket's send queue is empty).
double upstreamGoodput(const QByteArray &payload)
{
    QTcpSocket sock;
    sock.connectToHost(QHostAddress("10.10.10.10"), 7001);
    waitFor([&] { return sock.state() == QAbstractSocket::ConnectedState; }, 10000);
    QElapsedTimer t;
    t.start();
    sock.write(payload);
    auto unsent = [&] {
        int q = 0;
        ::ioctl(int(sock.socketDescriptor()), SIOCOUTQ, &q);
        return sock.bytesToWrite() + q;
    };
    waitFor([&] { return unsent() == 0; }, 600000);
    const double s = t.nsecsElapsed() / 1e9;
    sock.abort();
    return payload.size() / s;
}

// Device to PC: from the first byte until the last has arrived.
double downstreamGoodput(quint16 port, int bytes)
{
    QTcpSocket sock;
    qint64 got = 0;
    QElapsedTimer t;
    QObject::connect(&sock, &QTcpSocket::readyRead, [&] {
        if (!t.isValid())
            t.start();
        got += sock.readAll().size();
    });
    sock.connectToHost(QHostAddress("10.10.10.10"), port);
    waitFor([&] { return got >= bytes; }, 600000);
    const double s = t.isValid() ? t.nsecsElapsed() / 1e9 : 1e9;
    sock.abort();
    return bytes / s;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int asciiBytes = argc > 1 ? atoi(argv[1]) : 131072;
    const int randomBytes = argc > 2 ? atoi(argv[2]) : 65536;
    const int rounds = argc > 3 ? atoi(argv[3]) : 20;
    if (::geteuid() != 0) {
        std::printf("SKIP: needs root for network namespaces and the TUN interface\n");
        return 0;
    }
    CGlobalDebugFileHandler::instance()->setLevel(-10);
    QTemporaryDir dir;
    const QString pcNs = QString("velmora-b%1-pc").arg(getpid());
    const QString devNs = QString("velmora-b%1-dev").arg(getpid());
    if (!ip({"netns", "add", pcNs}) || !ip({"netns", "add", devNs})) {
        std::printf("SKIP: cannot create network namespaces\n");
        return 0;
    }
    ip({"-n", pcNs, "link", "set", "lo", "up"});
    ip({"-n", devNs, "link", "set", "lo", "up"});
    int rc = 1;
    QProcess echo, peer;
    {
        echo.start("ip", {"netns", "exec", devNs, "socat", "TCP-LISTEN:7000,bind=127.0.0.1,reuseaddr,nodelay",
                          "PIPE"});
        QProcess sink, asciiSource, randomSource;
        sink.start("ip", {"netns", "exec", devNs, "socat", "-u",
                          "TCP-LISTEN:7001,bind=127.0.0.1,reuseaddr,fork", "OPEN:/dev/null"});
        QFile asciiFile(dir.filePath("ascii")), randomFile(dir.filePath("random"));
        {
            QByteArray a(asciiBytes, Qt::Uninitialized), r(randomBytes, Qt::Uninitialized);
            for (int i = 0; i < a.size(); ++i)
                a[i] = char(0x20 + (i * 7 + i / 95) % 95);
            QRandomGenerator g(11);
            for (int i = 0; i < r.size(); ++i)
                r[i] = char(g.bounded(256));
            asciiFile.open(QIODevice::WriteOnly);
            asciiFile.write(a);
            asciiFile.close();
            randomFile.open(QIODevice::WriteOnly);
            randomFile.write(r);
            randomFile.close();
        }
        asciiSource.start("ip", {"netns", "exec", devNs, "socat", "-u", "OPEN:" + asciiFile.fileName(),
                                 "TCP-LISTEN:7002,bind=127.0.0.1,reuseaddr"});
        randomSource.start("ip", {"netns", "exec", devNs, "socat", "-u", "OPEN:" + randomFile.fileName(),
                                  "TCP-LISTEN:7003,bind=127.0.0.1,reuseaddr"});
        const QString tty = dir.filePath("line");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", dir.path());
        peer.setProcessEnvironment(env);
        peer.setWorkingDirectory(dir.path());
        peer.start("ip", {"netns", "exec", devNs, "socat", "pty,raw,echo=0,link=" + tty,
                          "EXEC:'/usr/bin/slirp-fullbolt ppp nozeros \"special addr 10.10.10.0\" "
                          "ipcp-accept-remote \"baudrate 1000000\" \"mtu 1500\" \"mru "
                          "1500\"',pty,raw,echo=0,setsid,ctty"});
        waitFor([&] { return QFile::exists(tty); }, 10000);
        const int fd = ::open(tty.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t;
        if (fd >= 0 && ::tcgetattr(fd, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(fd, TCSANOW, &t);
        }
        const int nsFd = ::open(("/run/netns/" + pcNs).toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || nsFd < 0 || ::setns(nsFd, CLONE_NEWNET) != 0) {
            std::printf("FAIL: set-up (line or namespace)\n");
        } else {
            PacedLine line(fd);
            g_line = &line;
            pppInit();
            sioSetWriteHook(sioWrite);
            QTimer tick;
            QObject::connect(&tick, &QTimer::timeout, [] { pppCheckTimeouts(); });
            tick.start(100);
            g_handle = WinDivertOpen("outbound and ip.DstAddr == 10.10.10.10", 0, 0, 0, 0x0A0A0A14);
            g_inbound.Direction = DIVERT_DIRECTION_INBOUND;
            NetDivertRecvThread::registerMetaTypes();
            NetDivertRecvThread thread;
            thread.setHandle(g_handle);
            QObject::connect(&thread, &NetDivertRecvThread::frameRecv, &line,
                             [&](const QByteArray *f, void *) {
                                 pppIpOutput(line.unit, f->constData(), f->size());
                                 ++g_outPackets;
                                 g_outMax = qMax(g_outMax, f->size());
                                 delete f;
                             });
            line.unit = pppOverSerialOpen(nullptr, status, data, input, nullptr);
            QElapsedTimer linkTime;
            linkTime.start();
            waitFor([] { return g_up || g_ended; }, 30000);
            if (g_handle == INVALID_DIVERT_HANDLE || !g_up) {
                std::printf("FAIL: link did not come up\n");
            } else {
                std::printf("link up in %lld ms at 115200 baud (line rate %.0f B/s each way)\n",
                            linkTime.elapsed(), kLineRate);
                thread.start();
                QTcpSocket sock;
                sock.connectToHost(QHostAddress("10.10.10.10"), 7000);
                waitFor([&] { return sock.state() == QAbstractSocket::ConnectedState; }, 10000);
                sock.setSocketOption(QAbstractSocket::LowDelayOption, 1);

                QByteArray ascii(asciiBytes, Qt::Uninitialized);
                for (int i = 0; i < ascii.size(); ++i)
                    ascii[i] = char(0x20 + (i * 7 + i / 95) % 95);
                QByteArray random(randomBytes, Qt::Uninitialized);
                QRandomGenerator gen(7);
                for (int i = 0; i < random.size(); ++i)
                    random[i] = char(gen.bounded(256));

                const qint64 tx0 = line.txBytes;
                const double a = echoGoodput(sock, ascii);
                const qint64 tx1 = line.txBytes;
                const double r = echoGoodput(sock, random);
                const qint64 tx2 = line.txBytes;
                std::printf("packets out %d (largest %d bytes), in %d (largest %d bytes)\n", g_outPackets,
                            g_outMax, g_inPackets, g_inMax);
                const double ua = upstreamGoodput(ascii);
                const double ur = upstreamGoodput(random);
                const double da = downstreamGoodput(7002, asciiBytes);
                const double dr = downstreamGoodput(7003, randomBytes);
                std::printf(
                    "one way, PC to device: ASCII %.0f B/s = %.1f %%, random %.0f B/s = %.1f %% of the line "
                    "rate\n",
                    ua, 100 * ua / kLineRate, ur, 100 * ur / kLineRate);
                std::printf(
                    "one way, device to PC: ASCII %.0f B/s = %.1f %%, random %.0f B/s = %.1f %% of the line "
                    "rate\n",
                    da, 100 * da / kLineRate, dr, 100 * dr / kLineRate);
                std::printf(
                    "bulk echo, printable ASCII, %d bytes each way: %.0f B/s = %.1f %% of the line rate "
                    "(%.3f line bytes per payload byte)\n",
                    asciiBytes, a, 100.0 * a / kLineRate, double(tx1 - tx0) / asciiBytes);
                std::printf("bulk echo, random bytes, %d bytes each way: %.0f B/s = %.1f %% of the line rate "
                            "(%.3f line bytes per payload byte)\n",
                            randomBytes, r, 100.0 * r / kLineRate, double(tx2 - tx1) / randomBytes);

                QList<double> rtts;
                const QByteArray ping(64, 'P');
                qint64 lineBytes = 0;
                for (int i = 0; i < rounds; ++i) {
                    waitFor([] { return false; }, 150); // let acknowledgements settle
                    const qint64 before = line.txBytes + line.rxBytes;
                    QByteArray back;
                    auto c = QObject::connect(&sock, &QTcpSocket::readyRead, [&] { back += sock.readAll(); });
                    QElapsedTimer t;
                    t.start();
                    sock.write(ping);
                    waitFor([&] { return back.size() >= ping.size(); }, 10000);
                    rtts << t.nsecsElapsed() / 1e6;
                    QObject::disconnect(c);
                    lineBytes += line.txBytes + line.rxBytes - before;
                }
                std::sort(rtts.begin(), rtts.end());
                const double lineMs = 1000.0 * double(lineBytes) / rounds / kLineRate;
                std::printf(
                    "64-byte round trip over %d rounds: median %.1f ms, min %.1f ms, max %.1f ms; "
                    "line time of the bytes crossing for it %.1f ms (%.0f bytes); median/line = %.2f\n",
                    rounds, rtts.at(rtts.size() / 2), rtts.first(), rtts.last(), lineMs,
                    double(lineBytes) / rounds, rtts.at(rtts.size() / 2) / lineMs);
                rc = 0;

                // The device goes silent (its end of the line dies) while a
                // connection with the tunnels' keep-alive values is idle:
                // only TCP keep-alive notices, LCP echo being off.
                const int fdSock = int(sock.socketDescriptor());
                const int on = 1, idle = 10, intvl = 1;
                ::setsockopt(fdSock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
                ::setsockopt(fdSock, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
                ::setsockopt(fdSock, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof(intvl));
                int probes = 0;
                socklen_t len = sizeof(probes);
                ::getsockopt(fdSock, IPPROTO_TCP, TCP_KEEPCNT, &probes, &len);
                bool lost = false;
                QObject::connect(&sock, &QAbstractSocket::errorOccurred, [&] { lost = true; });
                QElapsedTimer silent;
                peer.kill();
                peer.waitForFinished(3000);
                silent.start();
                waitFor([&] { return lost; }, 120000);
                if (lost)
                    std::printf(
                        "silent device noticed by TCP keep-alive after %.1f s (idle %d s, interval %d s, "
                        "%d probes)\n",
                        silent.elapsed() / 1000.0, idle, intvl, probes);
                else
                    std::printf("silent device not noticed within 120 s\n");
                sock.abort();
            }
            WinDivertClose(g_handle);
            thread.requestInterruption();
            thread.wait(3000);
            QCoreApplication::sendPostedEvents();
            if (line.unit >= 0) {
                pppClose(line.unit);
                waitFor([] { return g_ended; }, 15000);
            }
            g_line = nullptr;
        }
        if (fd >= 0)
            ::close(fd);
        peer.kill();
        echo.kill();
        for (QProcess *p : {&sink, &asciiSource, &randomSource}) {
            p->kill();
            p->waitForFinished(3000);
        }
        peer.waitForFinished(3000);
        echo.waitForFinished(3000);
    }
    ip({"netns", "delete", pcNs});
    ip({"netns", "delete", devNs});
    return rc;
}
