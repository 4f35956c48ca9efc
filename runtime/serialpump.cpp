#include "runtime/serialpump.h"

#include <QIODevice>

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

bool ChunkPump::append(const char *data, int count)
{
    const bool wasEmpty = isEmpty();
    if (data && count > 0)
        m_bytes.append(data, count);
    return wasEmpty;
}

qint64 ChunkPump::writeNext()
{
    if (isEmpty() || m_inFlight > 0 || !m_device || !m_device->isOpen())
        return 0;
    const qint64 taken = m_device->write(m_bytes.constData() + m_head, qMin(kChunkSize, size()));
    if (taken <= 0)
        return -1;
    m_inFlight = int(taken);
    return taken;
}

ChunkPump::Pumped ChunkPump::pump(int budget, const std::function<void(qint64)> &confirmed)
{
    if (m_socket && !m_corked && m_inFlight == 0 && size() > kChunkSize)
        setCork(true);
    for (int i = 0; i < budget; ++i) {
        if (isEmpty())
            return Pumped::Idle;
        if (m_inFlight > 0)
            return Pumped::Waiting;
        const qintptr fd = m_descriptor && m_device && m_device->isOpen() && m_device->bytesToWrite() == 0
                               ? m_descriptor()
                               : -1;
        if (fd < 0) {
            writeNext();
            return Pumped::Waiting;
        }
        const int chunk = qMin(kChunkSize, size());
        const char *front = m_bytes.constData() + m_head;
        ssize_t taken;
        do {
            taken = m_socket ? ::send(int(fd), front, size_t(chunk), MSG_NOSIGNAL)
                             : ::write(int(fd), front, size_t(chunk));
        } while (taken < 0 && errno == EINTR);
        if (taken > 0) {
            confirm(taken);
            if (confirmed)
                confirmed(taken);
        }
        if (taken == chunk)
            continue;
        // The rest (at most one chunk) waits in the device object for the
        // descriptor to become writable; an error is its to report.
        writeNext();
        return Pumped::Waiting;
    }
    return isEmpty() ? Pumped::Idle : Pumped::MoreDue;
}

bool ChunkPump::confirm(qint64 count)
{
    const int consumed = int(qBound<qint64>(0, count, size()));
    m_head += consumed;
    m_inFlight = qMax(0, m_inFlight - consumed);
    if (m_head == m_bytes.size()) {
        m_bytes.clear();
        m_head = 0;
        if (m_corked)
            setCork(false);
    } else if (m_head >= 4096 && m_head * 2 >= m_bytes.size()) {
        m_bytes.remove(0, m_head);
        m_head = 0;
    }
    return !isEmpty() && m_inFlight == 0;
}

void ChunkPump::settleBeforeClose()
{
    if (m_device && m_inFlight > 0) {
        const qint64 held = qBound<qint64>(0, m_device->bytesToWrite(), m_inFlight);
        confirm(m_inFlight - held);
    }
    m_inFlight = 0;
}

void ChunkPump::clear()
{
    m_bytes = QByteArray();
    m_head = 0;
    m_inFlight = 0;
    if (m_corked)
        setCork(false);
}

void ChunkPump::setCork(bool on)
{
    const qintptr fd = m_descriptor ? m_descriptor() : -1;
    // A socket that is gone has nothing held; the next one starts uncorked.
    if (fd < 0) {
        m_corked = false;
        return;
    }
    if (on) {
        // Only where the send buffer holds two full segments: a corked
        // partial segment that cannot grow (a buffer smaller than the
        // segment, as on loopback) would wait out the kernel's 200 ms.
        int segment = 0;
        int buffer = 0;
        socklen_t length = sizeof segment;
        if (::getsockopt(int(fd), IPPROTO_TCP, TCP_MAXSEG, &segment, &length) != 0)
            return;
        length = sizeof buffer;
        if (::getsockopt(int(fd), SOL_SOCKET, SO_SNDBUF, &buffer, &length) != 0 || segment <= 0 ||
            2 * segment > buffer)
            return;
    }
    const int value = on ? 1 : 0;
    if (::setsockopt(int(fd), IPPROTO_TCP, TCP_CORK, &value, sizeof(value)) == 0)
        m_corked = on;
}
