#include "platform/iphelper.h"
#include "platform/macaddress.h"

#include "netns.h"
#include "tests/support/logcapture.h"

#include <QtTest>

class TestIPHelper : public QObject
{
    Q_OBJECT

    // Inside the test's namespace: veth v0 192.168.77.1/24 (an ARP link),
    // a gateway route for 10.99.0.0/16, and a link d0 without ARP.
    bool setUpNetwork(NetNamespace &ns)
    {
        return ns.ip({"link", "add", "v0", "type", "veth", "peer", "name", "v1"}) &&
               ns.ip({"addr", "add", "192.168.77.1/24", "brd", "+", "dev", "v0"}) &&
               ns.ip({"link", "set", "v0", "up"}) && ns.ip({"link", "set", "v1", "up"}) &&
               ns.ip({"route", "add", "10.99.0.0/16", "via", "192.168.77.254"}) &&
               ns.ip({"link", "add", "d0", "type", "veth", "peer", "name", "d1"}) &&
               ns.ip({"link", "set", "d0", "arp", "off"}) && ns.ip({"link", "set", "d0", "up"}) &&
               ns.ip({"addr", "add", "172.31.5.1/24", "dev", "d0"});
    }

    QString neigh(NetNamespace &ns, const QString &addr)
    {
        QString out;
        ns.ip({"neigh", "show", addr}, &out);
        return out.trimmed();
    }

private slots:
    void macAddressText()
    {
        const MACAddress a(QStringLiteral("00-00-00-10-11-12"));
        QCOMPARE(a, MACAddress(QStringLiteral("00:00:00:10:11:12")));
        QCOMPARE(a, MACAddress(QStringLiteral("000000101112")));
        QCOMPARE(a.toString(), QStringLiteral("00:00:00:10:11:12"));
        QCOMPARE(MACAddress(QStringLiteral("AB:CD:EF:01:02:03")).toString(),
                 QStringLiteral("ab:cd:ef:01:02:03"));
        QVERIFY(MACAddress(QStringLiteral("00:11:22")).isNull());
        QVERIFY(MACAddress(QStringLiteral("00:11:22:33:44:55:66")).isNull());
        QCOMPARE(MACAddress().toString(), QStringLiteral("00:00:00:00:00:00"));
    }

    void arpEntryLifecycle()
    {
        NetNamespace ns;
        if (!ns.ok())
            QSKIP(qPrintable(ns.skipReason()));
        QVERIFY(setUpNetwork(ns));
        QVERIFY(ns.enter());
        LogCapture log;
        MACAddress mac(QStringLiteral("00:00:00:10:11:12"));
        {
            IPHelper helper;
            // Directly attached, no entry yet: setting fails, creating works.
            QVERIFY(helper.CreateOrSetMAC(QHostAddress("192.168.77.5"), mac));
            QVERIFY(log.contains("Set mac address called: 192.168.77.5 = 00:00:00:10:11:12"));
            QVERIFY(log.contains(QString("Error: %1").arg(ENOENT)));
            QVERIFY(log.contains("Set mac address for: 192.168.77.5 to 00:00:00:10:11:12 done"));
            QString n = neigh(ns, "192.168.77.5");
            QVERIFY2(n.contains("lladdr 00:00:00:10:11:12") && n.contains("PERMANENT"), qPrintable(n));

            // An existing entry (learnt, other MAC) is overwritten in place.
            QVERIFY(ns.ip({"neigh", "add", "192.168.77.6", "lladdr", "02:aa:bb:cc:dd:ee", "dev", "v0", "nud",
                           "stale"}));
            const int errorsBefore = log.count("Error: ");
            QVERIFY(helper.CreateOrSetMAC(QHostAddress("192.168.77.6"), mac));
            QCOMPARE(log.count("Error: "), errorsBefore);
            n = neigh(ns, "192.168.77.6");
            QVERIFY2(n.contains("lladdr 00:00:00:10:11:12") && n.contains("PERMANENT"), qPrintable(n));

            // Behind a gateway and on a link without ARP: nothing to set.
            QVERIFY(helper.CreateOrSetMAC(QHostAddress("10.99.1.2"), mac));
            QVERIFY(helper.CreateOrSetMAC(QHostAddress("172.31.5.9"), mac));
            QCOMPARE(log.count("Route is remote, no need to set ARP"), 2);
            QVERIFY(neigh(ns, "10.99.1.2").isEmpty());
            QCOMPARE(helper.arpEntries().size(), 2);

            // No route at all.
            QVERIFY(ns.ip({"route", "del", "10.99.0.0/16"}));
            QVERIFY(!helper.CreateOrSetMAC(QHostAddress("10.99.1.2"), mac));
            QVERIFY(log.contains(QString("Get best route error: %1").arg(ENETUNREACH)));

            // One entry vanished behind our back: its removal is reported, the rest goes on.
            QVERIFY(ns.ip({"neigh", "del", "192.168.77.5", "dev", "v0"}));
        }
        QVERIFY(log.contains("Arp entry for address: 192.168.77.5 not removed err="));
        QVERIFY(log.contains("Arp entry for address: 192.168.77.6 removed"));
        QVERIFY(neigh(ns, "192.168.77.6").isEmpty() || !neigh(ns, "192.168.77.6").contains("PERMANENT"));
        ns.leave();
    }

    void addressesAdaptersAndMacTable()
    {
        NetNamespace ns;
        if (!ns.ok())
            QSKIP(qPrintable(ns.skipReason()));
        QVERIFY(setUpNetwork(ns));
        QVERIFY(ns.ip({"addr", "add", "192.168.77.2/24", "dev", "v0"})); // secondary
        QVERIFY(ns.ip({"link", "set", "v0", "alias", "LAN port"}));
        QVERIFY(ns.ip({"neigh", "add", "192.168.77.9", "lladdr", "02:00:00:00:00:09", "dev", "v0", "nud",
                       "permanent"}));
        QVERIFY(ns.enter());
        LogCapture log;
        IPHelper helper;
        const QList<LocalAddressEntry> &ips = helper.getIPs();
        QMap<QString, LocalAddressEntry> byAddr;
        for (const auto &e : ips)
            byAddr.insert(e.address.toString(), e);
        QVERIFY(byAddr.contains("127.0.0.1"));
        QVERIFY(byAddr.contains("192.168.77.1"));
        QVERIFY(byAddr.contains("192.168.77.2"));
        QVERIFY(byAddr.contains("172.31.5.1"));
        const LocalAddressEntry lan = byAddr.value("192.168.77.1");
        QCOMPARE(lan.adapterName, QStringLiteral("LAN port"));
        QCOMPARE(lan.netmask, QHostAddress("255.255.255.0"));
        QCOMPARE(lan.broadcast, QHostAddress("192.168.77.255"));
        QVERIFY(lan.flags & LocalAddressEntry::Primary);
        QVERIFY(!(byAddr.value("192.168.77.2").flags & LocalAddressEntry::Primary));
        QCOMPARE(byAddr.value("172.31.5.1").adapterName, QStringLiteral("d0"));
        QVERIFY(log.contains("[IPSCAN] Found IP: 192.168.77.1 (LAN port)"));
        QVERIFY(log.contains(QString("updateIPs got %1 unique addresses").arg(ips.size())));

        QList<QString> table{"stale line"};
        QVERIFY(IPHelper::getMacTable(table));
        const int v0 = int(lan.ifIndex);
        QVERIFY2(table.contains(QString("[%1] IP=192.168.77.9 MAC=02:00:00:00:00:09 TYPE=4").arg(v0)),
                 qPrintable(table.join('\n')));
        QVERIFY(!table.contains("stale line"));
        QVERIFY(log.contains("Getting MAC table"));
        QVERIFY(log.contains(QString("[MACSCAN] Found: [%1] IP=192.168.77.9").arg(v0)));
        QVERIFY(log.contains(QString("Macscan got %1 unique addresses").arg(table.size())));
        ns.leave();
    }
};

QTEST_GUILESS_MAIN(TestIPHelper)
#include "tst_iphelper.moc"
