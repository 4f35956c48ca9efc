// One PPP session of the adapter on a file descriptor (a pseudo-terminal or
// one end of a socket pair), driven from the test's event loop the way the
// engine drives it: read notifications feed the stack, a 100 ms tick runs
// its timers, and the callbacks are recorded.
#pragma once

#include "runtime/lwipport.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

class PppEndpoint : public QObject
{
public:
    explicit PppEndpoint(int fd, quint32 localAddress = 0, quint32 remoteAddress = 0)
        : m_fd(fd), m_local(localAddress), m_remote(remoteAddress)
    {
        live().insert(this);
        sioSetWriteHook(&PppEndpoint::sioWrite);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        m_writeNotifier->setEnabled(false);
        connect(m_writeNotifier, &QSocketNotifier::activated, this, [this] { flush(); });
        m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] {
            char buf[4096];
            for (;;) {
                const ssize_t n = ::read(m_fd, buf, sizeof(buf));
                if (n > 0) {
                    if (unit >= 0)
                        pppSerialInput(unit, buf, int(n));
                    continue;
                }
                if (n == 0 || (errno != EAGAIN && errno != EINTR))
                    m_notifier->setEnabled(false);
                break;
            }
        });
    }
    ~PppEndpoint() override
    {
        // A session still ending (a check failed early) reports on later
        // ticks; those reports must not reach this object any more.
        live().remove(this);
        if (unit >= 0 && !ended())
            pppClose(unit);
    }

    bool open(const PppPeerAuth *requirePeerAuth = nullptr)
    {
        unit = pppOverSerialOpen(this, &PppEndpoint::status, &PppEndpoint::data, &PppEndpoint::input, this,
                                 requirePeerAuth);
        return unit >= 0;
    }

    bool up() const { return codes.contains(0); }
    bool ended() const { return !codes.isEmpty() && codes.last() <= -PPP_TERMINATION_OFFSET; }

    int unit = -1;
    QList<int> codes;
    QList<QByteArray> packets;
    PppAddrs addrs{};
    int dataRequests = 0;
    int callbacksInsideClose = 0; // termination reports from inside pppClose
    bool inClose = false;
    QByteArray written;
    std::function<void(const char *, int)> onPacket; // instead of collecting packets

    int close()
    {
        inClose = true;
        const int r = pppClose(unit);
        inClose = false;
        return r;
    }

    static QString dotted(quint32 networkOrder)
    {
        in_addr a;
        a.s_addr = networkOrder;
        return QString::fromLatin1(inet_ntoa(a));
    }

private:
    // Never blocks: what the line does not take now waits for it to drain,
    // so the test's loop keeps reading while the peer is busy writing.
    static QSet<const void *> &live()
    {
        static QSet<const void *> endpoints;
        return endpoints;
    }
    static int sioWrite(void *handle, const quint8 *data, int len)
    {
        if (!live().contains(handle))
            return len;
        auto *self = static_cast<PppEndpoint *>(handle);
        self->written.append(reinterpret_cast<const char *>(data), len);
        self->m_pending.append(reinterpret_cast<const char *>(data), len);
        self->flush();
        return len;
    }
    void flush()
    {
        while (!m_pending.isEmpty()) {
            const ssize_t n = ::write(m_fd, m_pending.constData(), size_t(m_pending.size()));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            m_pending.remove(0, int(n));
        }
        m_writeNotifier->setEnabled(!m_pending.isEmpty());
    }
    static void status(void *ctx, int code, void *arg)
    {
        if (!live().contains(ctx))
            return;
        auto *self = static_cast<PppEndpoint *>(ctx);
        if (self->inClose && code <= -PPP_TERMINATION_OFFSET)
            ++self->callbacksInsideClose;
        if (code == 0 && arg)
            self->addrs = *static_cast<PppAddrs *>(arg);
        self->codes << code;
    }
    static void data(void *ctx, int param, void *arg)
    {
        if (!live().contains(ctx))
            return;
        auto *self = static_cast<PppEndpoint *>(ctx);
        ++self->dataRequests;
        if (param == PPP_DATA_LOCAL_ADDRESS && arg)
            *static_cast<quint32 *>(arg) = htonl(self->m_local);
        if (param == PPP_DATA_REMOTE_ADDRESS && arg)
            *static_cast<quint32 *>(arg) = htonl(self->m_remote);
    }
    static void input(void *ctx, const char *bytes, int len)
    {
        if (!live().contains(ctx))
            return;
        auto *self = static_cast<PppEndpoint *>(ctx);
        if (self->onPacket)
            self->onPacket(bytes, len);
        else
            self->packets << QByteArray(bytes, len);
    }

    int m_fd;
    quint32 m_local;
    quint32 m_remote;
    QSocketNotifier *m_notifier;
    QSocketNotifier *m_writeNotifier;
    QByteArray m_pending;
};

// The engine's 100 ms tick.
class PppTicker : public QObject
{
public:
    PppTicker()
    {
        pppInit();
        pppRestartTimeouts();
        connect(&m_timer, &QTimer::timeout, [] { pppCheckTimeouts(); });
        m_timer.start(100);
    }

private:
    QTimer m_timer;
};
