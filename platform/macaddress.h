// A six-byte hardware address; its text form is six lower-case hex bytes
// joined by ":".
#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <array>

class MACAddress
{
public:
    MACAddress() { m_bytes.fill(0); }
    // Accepts "00-00-00-10-11-12", "00:00:00:10:11:12" or "000000101112";
    // anything that does not decode to exactly six bytes gives all zero.
    explicit MACAddress(const QString &text);
    explicit MACAddress(const QByteArray &bytes);

    QString toString() const;
    const quint8 *data() const { return m_bytes.data(); }
    quint8 *data() { return m_bytes.data(); }
    static constexpr int size() { return 6; }
    bool isNull() const;

    bool operator==(const MACAddress &o) const { return m_bytes == o.m_bytes; }
    bool operator!=(const MACAddress &o) const { return m_bytes != o.m_bytes; }

private:
    std::array<quint8, 6> m_bytes;
};

Q_DECLARE_METATYPE(MACAddress)
