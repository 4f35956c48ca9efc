// The PC's own IPv4 configuration as the tunnels need it: static ARP
// entries for a device's address (removed again when this object goes),
// the local addresses with their adapter names, and the ARP table.
#pragma once

#include "platform/macaddress.h"

#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVector>

struct ARPEntry {
    MACAddress mac;
    QHostAddress address;
    quint32 ifIndex = 0;
};

struct LocalAddressEntry {
    quint32 ifIndex = 0;
    QString adapterName;
    QHostAddress address;
    QHostAddress netmask;
    QHostAddress broadcast;
    quint32 flags = 0;

    enum Flag : quint32 {
        Primary = 0x01,
        Dynamic = 0x02,
        Disconnected = 0x04,
        Deleted = 0x08,
        Transient = 0x10,
    };
};

class IPHelper : public QObject
{
    Q_OBJECT

public:
    explicit IPHelper(QObject *parent = nullptr);
    ~IPHelper() override;

    // Makes the address resolve to the MAC on the interface that reaches it
    // directly; addresses behind a gateway need nothing and give true.
    bool CreateOrSetMAC(const QHostAddress &address, MACAddress &mac);
    void updateAdapters();
    void updateIPs();
    QList<LocalAddressEntry> &getIPs();
    static bool getMacTable(QList<QString> &out);

    const QVector<ARPEntry> &arpEntries() const { return m_arpEntries; }
    const QMap<quint32, QString> &adapters() const { return m_adapters; }

private:
    QMap<quint32, QString> m_adapters;
    QVector<ARPEntry> m_arpEntries;
    QList<LocalAddressEntry> m_localAddresses;
};
