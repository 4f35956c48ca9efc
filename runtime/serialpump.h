// Paced output to one device (a serial port or a connection): bytes wait in
// a queue and are handed over in chunks of at most 64 bytes, the next chunk
// only once the device has confirmed every byte of the one before.
#pragma once

#include <QByteArray>

#include <functional>

class QIODevice;

class ChunkPump
{
public:
    static constexpr int kChunkSize = 64;

    // Most chunks handed straight to the descriptor in one go; then the
    // caller lets the event loop turn once before it pumps again, so the
    // other direction and the other engines of the thread are served too.
    static constexpr int kChunksPerTurn = 256;

    void setDevice(QIODevice *device) { m_device = device; }

    // The descriptor under the device object while writing to it directly is
    // sound (connected or open), -1 otherwise; socket = send without SIGPIPE.
    void setDescriptor(std::function<qintptr()> descriptor, bool socket)
    {
        m_descriptor = std::move(descriptor);
        m_socket = socket;
    }

    enum class Pumped {
        Idle,    // nothing queued any more
        Waiting, // a chunk is with the device object (its bytesWritten confirms
                 // it), or the device takes nothing now (closed, refused)
        MoreDue, // the turn's budget is spent with chunks still due
    };
    // While nothing is outstanding, hands chunks straight to the descriptor:
    // a chunk it takes whole is confirmed at once (it is in the kernel, as
    // bytesWritten would say), so the next one goes without a trip through
    // the event loop. A chunk taken in part has its rest, one refused (full,
    // or an error the device object then reports itself) the whole of it,
    // handed to the device object instead, which confirms it as writeNext's
    // do. Without a descriptor it is writeNext. confirmed (may be empty) is
    // told each chunk, or part of one, confirmed here.
    Pumped pump(int budget = kChunksPerTurn, const std::function<void(qint64)> &confirmed = {});

    bool isEmpty() const { return m_head == m_bytes.size(); }
    // Bytes queued and not yet confirmed written (the chunk in flight included).
    int size() const { return m_bytes.size() - m_head; }
    int inFlight() const { return m_inFlight; }

    // Queues bytes; true when the queue was empty before (the pump was idle).
    bool append(const char *data, int count);
    bool append(const QByteArray &bytes) { return append(bytes.constData(), bytes.size()); }

    // Hands the front chunk to the device when nothing is outstanding there
    // and the device is open: what the device took (> 0), 0 when no chunk was
    // due, -1 when the device refused the chunk (it stays queued).
    qint64 writeNext();

    // The device confirmed count bytes written: they leave the queue. True
    // when a next chunk is due (bytes queued, nothing outstanding); a chunk
    // confirmed only in part keeps the rest outstanding, so nothing is sent twice.
    bool confirm(qint64 count);

    // The device dropped what it held unwritten (a connection aborted for a
    // new one): the unconfirmed front is due again.
    void restart()
    {
        m_inFlight = 0;
        m_corked = false;
    }

    // Called right before the device is closed (a port closed for a reopen).
    // What the device no longer holds has reached its descriptor, even if the
    // notification saying so is still to come (a serial port announces a
    // write only once the descriptor is writable again): that counts as
    // confirmed, so it is not sent a second time. The rest is due again.
    void settleBeforeClose();

    void clear();

private:
    QIODevice *m_device = nullptr;
    std::function<qintptr()> m_descriptor;
    bool m_socket = false;
    // Confirmed bytes only advance m_head; the storage is compacted once the
    // consumed part dominates, so a long backlog costs no copying per chunk.
    QByteArray m_bytes;
    int m_head = 0;
    int m_inFlight = 0;
    // A socket is corked while more than a chunk waits here, so the kernel
    // sends full segments instead of a lone 64-byte one each time the peer
    // has acknowledged everything; uncorked (the partial tail goes at once)
    // as soon as nothing waits.
    bool m_corked = false;
    void setCork(bool on);
};
