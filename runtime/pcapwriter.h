// Dumps the IPv4 packets of the PPP path to a classic PCAP file with raw
// IPv4 records, readable by the usual capture tools.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class QFile;

class PCAPWriter
{
public:
    explicit PCAPWriter(const QString &fileName);
    ~PCAPWriter();
    PCAPWriter(const PCAPWriter &) = delete;
    PCAPWriter &operator=(const PCAPWriter &) = delete;

    // One record per call; the caller keeps the array.
    void appendPCAP(const QByteArray *packet);
    // Same, with the record time given (milliseconds since the epoch).
    void appendPCAP(const QByteArray *packet, qint64 msecsSinceEpoch);

    static const quint32 kLinkTypeIPv4 = 228;

private:
    void writeU32(quint32 value);
    void writeU16(quint16 value);

    QFile *m_file;
};
