#include "platform/pairrecord.h"

namespace
{

const QString kPort1 = QStringLiteral("Port1");
const QString kPort2 = QStringLiteral("Port2");
const QString kStrict = QStringLiteral("StrictBaudrate");
const QString kWiring = QStringLiteral("Wiring");

QByteArray littleEndian(quint32 v)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char((v >> (8 * i)) & 0xFF);
    return bytes;
}

} // namespace

QString PairRecord::portsKey()
{
    return QStringLiteral("SYSTEM\\CurrentControlSet\\services\\VSBC7\\Ports");
}

RegistryStore::Value PairRecord::strictValue(bool strict)
{
    return RegistryStore::Value{RegistryStore::DWord, littleEndian(strict ? 1 : 0)};
}

RegistryStore::Value PairRecord::wiringValue(quint32 wiring)
{
    return RegistryStore::Value{RegistryStore::Binary, littleEndian(wiring)};
}

long PairRecord::write(RegistryStore &store) const
{
    return store.setValues(
        keyOf(subkey()), {qMakePair(kPort1, RegistryStore::Value{RegistryStore::String, port1.toUtf8()}),
                          qMakePair(kPort2, RegistryStore::Value{RegistryStore::String, port2.toUtf8()}),
                          qMakePair(kStrict, strictValue(strict)), qMakePair(kWiring, wiringValue(wiring))});
}

long PairRecord::read(const RegistryStore &store, const QString &subkey, PairRecord *out)
{
    const QString key = keyOf(subkey);
    RegistryStore::Value port1, port2, strict, wiring;
    const long rc = store.value(key, kPort1, &port1);
    if (rc != RegistryStore::Success)
        return rc;
    if (port1.type != RegistryStore::String)
        return RegistryStore::FileNotFound;
    store.value(key, kPort2, &port2);
    store.value(key, kStrict, &strict);
    store.value(key, kWiring, &wiring);
    out->port1 = port1.toString();
    out->port2 = port2.type == RegistryStore::String ? port2.toString() : QString();
    out->strict = strict.toDWord() != 0;
    out->wiring = wiring.toDWord();
    return RegistryStore::Success;
}

long PairRecord::updateStrict(RegistryStore &store, const QString &subkey, bool strict)
{
    return store.setExistingValues(keyOf(subkey), {qMakePair(kStrict, strictValue(strict))});
}

long PairRecord::updateWiring(RegistryStore &store, const QString &subkey, quint32 wiring)
{
    return store.setExistingValues(keyOf(subkey), {qMakePair(kWiring, wiringValue(wiring))});
}
