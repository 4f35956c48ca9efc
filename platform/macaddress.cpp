#include "platform/macaddress.h"

MACAddress::MACAddress(const QString &text) : MACAddress()
{
    QString digits = text;
    digits.remove(QLatin1Char('-')).remove(QLatin1Char(':'));
    *this = MACAddress(QByteArray::fromHex(digits.toLatin1()));
}

MACAddress::MACAddress(const QByteArray &bytes) : MACAddress()
{
    if (bytes.size() != size())
        return;
    for (int i = 0; i < size(); ++i)
        m_bytes[size_t(i)] = quint8(bytes.at(i));
}

QString MACAddress::toString() const
{
    const QByteArray raw(reinterpret_cast<const char *>(m_bytes.data()), size());
    return QString::fromLatin1(raw.toHex(':'));
}

bool MACAddress::isNull() const
{
    for (quint8 b : m_bytes)
        if (b)
            return false;
    return true;
}
