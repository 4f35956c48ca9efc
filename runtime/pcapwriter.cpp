#include "runtime/pcapwriter.h"

#include "log/debug_class.h"

#include <QDateTime>
#include <QFile>
#include <QtEndian>

PCAPWriter::PCAPWriter(const QString &fileName) : m_file(new QFile(fileName))
{
    if (!m_file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        VLOG(-10) << "Could not create PCAP log file:" << fileName;
        return;
    }
    VLOG(4) << "Created PCAP log file:" << fileName;
    writeU32(0xA1B2C3D4u); // magic, little-endian on disk: D4 C3 B2 A1
    writeU16(2);           // major version
    writeU16(4);           // minor version
    writeU32(0);           // time zone correction
    writeU32(0);           // timestamp accuracy
    writeU32(65535);       // snapshot length
    writeU32(kLinkTypeIPv4);
    m_file->flush();
}

PCAPWriter::~PCAPWriter()
{
    delete m_file;
}

void PCAPWriter::appendPCAP(const QByteArray *packet)
{
    appendPCAP(packet, QDateTime::currentMSecsSinceEpoch());
}

void PCAPWriter::appendPCAP(const QByteArray *packet, qint64 msecsSinceEpoch)
{
    if (!packet || !m_file->isWritable())
        return;
    VLOG(16) << QString("Dump to PCAP file: %1 bytes packet").arg(packet->size());
    const qint64 seconds = msecsSinceEpoch / 1000;
    writeU32(quint32(seconds));
    writeU32(quint32((msecsSinceEpoch - seconds * 1000) * 1000));
    writeU32(quint32(packet->size())); // captured length
    writeU32(quint32(packet->size())); // original length: never truncated
    m_file->write(*packet);
    // Complete after every record, so a crash or a reader meanwhile sees whole records.
    m_file->flush();
}

void PCAPWriter::writeU32(quint32 value)
{
    uchar bytes[4];
    qToLittleEndian(value, bytes);
    m_file->write(reinterpret_cast<const char *>(bytes), 4);
}

void PCAPWriter::writeU16(quint16 value)
{
    uchar bytes[2];
    qToLittleEndian(value, bytes);
    m_file->write(reinterpret_cast<const char *>(bytes), 2);
}
