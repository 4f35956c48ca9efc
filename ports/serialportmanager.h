// The PC's serial ports for the port choosers: names, optionally with their
// descriptions and stable device names, sorted naturally, without the hidden
// ends of the driver's pairs; and the filters the choosers apply to such a
// list (the driver's pairs, com0com, Bluetooth, the maker's port first).
#pragma once

#include "ports/serialportenumerator.h"
#include "ports/vspportpair.h"

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

class SerialPortManager : public QObject
{
    Q_OBJECT
public:
    explicit SerialPortManager(QObject *parent = nullptr);

    // The enumeration's ports in the short form (COM3) or the detailed form
    // (COM3 => description, with " [name ]" when devNames is set and the device map knows the port).
    QStringList serialPorts(bool detailed, bool devNames);
    // The same over a given enumeration and device map (devNames null: no device names).
    static QStringList portList(const QList<SerialPortEnumerator::PortInfo> &ports, bool detailed,
                                const QMap<QString, QString> *devNames);

    // Port name (as the enumeration spells it) -> its stable name under the by-id folder.
    void enumRegistryMaps(QMap<QString, QString> &map);
    // VELMORA_SERIAL_BY_ID when set, else /dev/serial/by-id.
    static QString byIdFolder();

    // Drops the entries naming an end of one of the pairs; with onlyVirtual keeps only those instead.
    void filterVirtualPorts(QStringList &list, const QVector<VSPPortPair> &pairs, bool onlyVirtual);
    void removeCom0comPorts(QStringList &list);
    void removeBluetoothPorts(QStringList &list);
    void moveMakerPortFirst(QStringList &list);

    // The port name an entry of either form starts with.
    static QString entryPortName(const QString &entry);
};
