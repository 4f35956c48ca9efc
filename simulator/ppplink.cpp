#include "simulator/ppplink.h"

#include "log/debug_class.h"

#include <QPointer>
#include <QTimer>
#include <QVariant>

extern "C" {
#include "lwip/init.h"
#include "lwip/ip4_addr.h"
#include "lwip/netif.h"
#include "lwip/tcp.h"
#include "lwip/timeouts.h"
#include "netif/ppp/ppp.h"
#include "netif/ppp/pppos.h"
#include "velmora_lwip_port.h"
}

#include <QSet>

namespace
{

bool g_lwipStarted = false;

// One TCP connection of lwIP's stack. The connection's pcb points back at it
// while both live; whichever ends first unhooks the other.
class LwipStream : public Stream
{
public:
    LwipStream(tcp_pcb *pcb, QObject *parent) : Stream(parent), m_pcb(pcb)
    {
        m_peer = QStringLiteral("%1:%2")
                     .arg(QString::fromLatin1(ip4addr_ntoa(ip_2_ip4(&pcb->remote_ip))))
                     .arg(pcb->remote_port);
        tcp_arg(pcb, this);
        tcp_recv(pcb, &LwipStream::recvCb);
        tcp_sent(pcb, &LwipStream::sentCb);
        tcp_err(pcb, &LwipStream::errCb);
    }
    ~LwipStream() override { abort(); }

    void write(const QByteArray &bytes) override
    {
        if (!m_pcb)
            return;
        m_pending.append(bytes);
        flush();
    }
    void close() override
    {
        if (!m_pcb)
            return;
        unhook();
        if (tcp_close(m_pcb) != ERR_OK)
            tcp_abort(m_pcb);
        m_pcb = nullptr;
        emit closed();
        deleteLater();
    }
    QString peer() const override { return m_peer; }
    // Ends it at once (the link or the device went).
    void abort()
    {
        if (!m_pcb)
            return;
        unhook();
        tcp_abort(m_pcb);
        m_pcb = nullptr;
    }

private:
    void unhook()
    {
        tcp_arg(m_pcb, nullptr);
        tcp_recv(m_pcb, nullptr);
        tcp_sent(m_pcb, nullptr);
        tcp_err(m_pcb, nullptr);
    }
    void flush()
    {
        while (m_pcb && !m_pending.isEmpty()) {
            const int room = int(qMin<u32_t>(tcp_sndbuf(m_pcb), 0xFFFF));
            if (room <= 0)
                break;
            const int n = qMin(room, m_pending.size());
            if (tcp_write(m_pcb, m_pending.constData(), u16_t(n), TCP_WRITE_FLAG_COPY) != ERR_OK)
                break;
            m_pending.remove(0, n);
        }
        if (m_pcb)
            tcp_output(m_pcb);
    }
    static err_t recvCb(void *arg, tcp_pcb *pcb, pbuf *p, err_t)
    {
        auto *self = static_cast<LwipStream *>(arg);
        if (!self) {
            if (p)
                pbuf_free(p);
            return ERR_OK;
        }
        if (!p) { // the PC closed its side
            QPointer<LwipStream> guard(self);
            self->close();
            return ERR_OK;
        }
        QByteArray data(int(p->tot_len), '\0');
        pbuf_copy_partial(p, data.data(), p->tot_len, 0);
        tcp_recved(pcb, p->tot_len);
        pbuf_free(p);
        emit self->received(data);
        return ERR_OK;
    }
    static err_t sentCb(void *arg, tcp_pcb *, u16_t)
    {
        if (auto *self = static_cast<LwipStream *>(arg))
            self->flush();
        return ERR_OK;
    }
    static void errCb(void *arg, err_t)
    {
        // The pcb is already freed.
        auto *self = static_cast<LwipStream *>(arg);
        if (!self)
            return;
        self->m_pcb = nullptr;
        emit self->closed();
        self->deleteLater();
    }

    tcp_pcb *m_pcb;
    QString m_peer;
    QByteArray m_pending;
};

struct Listener {
    PppLink *link;
    QString key;
};

u32_t outputCb(ppp_pcb *, u8_t *data, u32_t len, void *ctx)
{
    static_cast<PppLink *>(ctx)->outputFromStack(reinterpret_cast<const char *>(data), int(len));
    return len;
}

void statusCb(ppp_pcb *, int code, void *ctx)
{
    static_cast<PppLink *>(ctx)->statusFromStack(code);
}

err_t acceptCb(void *arg, tcp_pcb *pcb, err_t err)
{
    auto *l = static_cast<Listener *>(arg);
    if (err != ERR_OK || !pcb || !l)
        return ERR_VAL;
    auto *stream = new LwipStream(pcb, l->link);
    stream->setProperty("service", l->key);
    emit l->link->accepted(l->key, stream);
    return ERR_OK;
}

} // namespace

PppLink::PppLink(QObject *parent) : ServiceHost(parent)
{
    if (!g_lwipStarted) {
        velmora_lwip_sys_init();
        lwip_init();
        g_lwipStarted = true;
    }
    m_tick = new QTimer(this);
    connect(m_tick, &QTimer::timeout, this, [] { sys_check_timeouts(); });
}

PppLink::~PppLink()
{
    stop();
}

bool PppLink::start(const QString &address, QString *error)
{
    stop();
    ip4_addr_t ours;
    if (!ip4addr_aton(address.toLatin1().constData(), &ours)) {
        *error = QStringLiteral("no device address for PPP: %1").arg(address);
        return false;
    }
    auto *netif = new struct netif;
    m_pcb = pppos_create(netif, &outputCb, &statusCb, this);
    if (!m_pcb) {
        delete netif;
        *error = QStringLiteral("lwIP cannot make a PPP session");
        return false;
    }
    m_netif = netif;
    m_address = address;
    ppp_set_auth(m_pcb, PPPAUTHTYPE_NONE, nullptr, nullptr);
    ppp_set_ipcp_ouraddr(m_pcb, &ours);
    // The PC brings its own address; the device takes it.
    m_pcb->ipcp_wantoptions.accept_remote = 1;
    ppp_set_default(m_pcb);
    m_tick->start(50);
    rearm();
    VLOG(4) << "PPP: device end waits on its line as " << address;
    return true;
}

void PppLink::rearm()
{
    if (m_pcb && !m_stopping)
        ppp_listen(m_pcb);
}

void PppLink::stop()
{
    stopAll();
    if (!m_pcb)
        return;
    m_stopping = true;
    // Ended at once: the line is gone or the device restarts.
    ppp_close(m_pcb, 1);
    ppp_free(m_pcb);
    m_pcb = nullptr;
    delete static_cast<struct netif *>(m_netif);
    m_netif = nullptr;
    m_stopping = false;
    m_tick->stop();
    if (m_up) {
        m_up = false;
        emit upChanged(false);
    }
}

void PppLink::input(const QByteArray &bytes)
{
    if (m_pcb)
        pppos_input(m_pcb, reinterpret_cast<u8_t *>(const_cast<char *>(bytes.constData())), bytes.size());
}

void PppLink::outputFromStack(const char *data, int len)
{
    emit output(QByteArray(data, len));
}

void PppLink::statusFromStack(int code)
{
    if (code == PPPERR_NONE) {
        auto *netif = static_cast<struct netif *>(m_netif);
        m_peer = QString::fromLatin1(ip4addr_ntoa(netif_ip4_gw(netif)));
        VLOG(4) << "PPP: up, device " << QString::fromLatin1(ip4addr_ntoa(netif_ip4_addr(netif))) << ", PC "
                << m_peer;
        m_up = true;
        emit upChanged(true);
        return;
    }
    VLOG(4) << "PPP: down (" << code << ")";
    const bool wasUp = m_up;
    m_up = false;
    if (wasUp)
        emit upChanged(false);
    // Waits for the next opening once lwIP is done with this one.
    if (!m_stopping)
        QTimer::singleShot(0, this, [this] { rearm(); });
}

bool PppLink::listen(const QString &key, quint16 port)
{
    stop(key);
    tcp_pcb *pcb = tcp_new();
    if (!pcb)
        return false;
    if (tcp_bind(pcb, IP_ANY_TYPE, port) != ERR_OK) {
        tcp_abort(pcb);
        VLOG(-10) << "service " << key << " cannot listen on port " << port << " behind PPP";
        return false;
    }
    tcp_pcb *listener = tcp_listen(pcb);
    if (!listener) {
        tcp_abort(pcb);
        return false;
    }
    tcp_arg(listener, new Listener{this, key});
    tcp_accept(listener, &acceptCb);
    m_listeners.insert(key, listener);
    m_ports.insert(key, port);
    VLOG(4) << "service " << key << " listens on " << m_address << ":" << port << " behind PPP";
    return true;
}

void PppLink::stop(const QString &key)
{
    auto *listener = static_cast<tcp_pcb *>(m_listeners.take(key));
    m_ports.remove(key);
    if (listener) {
        delete static_cast<Listener *>(listener->callback_arg);
        tcp_arg(listener, nullptr);
        tcp_close(listener);
    }
    // Its connections end with the service.
    const QList<LwipStream *> streams = findChildren<LwipStream *>(QString(), Qt::FindDirectChildrenOnly);
    for (LwipStream *s : streams) {
        if (s->property("service").toString() == key) {
            s->abort();
            s->deleteLater();
        }
    }
}
