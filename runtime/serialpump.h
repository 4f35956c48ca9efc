// Paced output to one device (a serial port or a connection): bytes wait in
// a queue and are handed over in chunks of at most 64 bytes, the next chunk
// only once the device has confirmed every byte of the one before.
#pragma once

#include <QByteArray>

class QIODevice;

class ChunkPump
{
public:
    static constexpr int kChunkSize = 64;

    void setDevice(QIODevice *device) { m_device = device; }

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
    void restart() { m_inFlight = 0; }

    // Called right before the device is closed (a port closed for a reopen).
    // What the device no longer holds has reached its descriptor, even if the
    // notification saying so is still to come (a serial port announces a
    // write only once the descriptor is writable again): that counts as
    // confirmed, so it is not sent a second time. The rest is due again.
    void settleBeforeClose();

    void clear();

private:
    QIODevice *m_device = nullptr;
    // Confirmed bytes only advance m_head; the storage is compacted once the
    // consumed part dominates, so a long backlog costs no copying per chunk.
    QByteArray m_bytes;
    int m_head = 0;
    int m_inFlight = 0;
};
