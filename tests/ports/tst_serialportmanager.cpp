// The port inventory over a synthetic enumeration (forms, sort, every
// filter), its by-id device names through a private folder, the resolution
// of upper-cased names to devices, and the device-change log lines.
#include "ports/devnotifyhandle.h"
#include "ports/serialportmanager.h"
#include "tests/ports/loglines.h"

#include <QDir>
#include <QFile>
#include <QSerialPortInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace
{
SerialPortEnumerator::PortInfo port(const QString &name, const QString &description)
{
    SerialPortEnumerator::PortInfo p;
    p.name = name;
    p.systemLocation = QStringLiteral("/dev/") + name;
    p.description = description;
    return p;
}
} // namespace

class TestSerialPortManager : public QObject
{
    Q_OBJECT

private slots:
    void listsFiltersAndSorts()
    {
        const QList<SerialPortEnumerator::PortInfo> ports = {port("COM10", "Port"),
                                                             port("COM2", "Port"),
                                                             port("com1", "Port"),
                                                             port("NULL_COM5", "hidden"),
                                                             port("ttyUSB0", "FT232R UART"),
                                                             port("rfcomm0", "Serial"),
                                                             port("COM70", "Port"),
                                                             port("COM7", "Velmora"),
                                                             port("COM71", "Port"),
                                                             port("COM9", "Tavrel USB"),
                                                             port("COM4", "Tavrel USB"),
                                                             port("COM12", "BT Port"),
                                                             port("COM13", "Bluetooth link"),
                                                             port("COM14", "com0com - serial port emulator")};
        SerialPortManager inventory;

        // Short form: upper-cased, natural order, the hidden end never listed.
        QCOMPARE(SerialPortManager::portList(ports, false, nullptr),
                 (QStringList{"COM1", "COM2", "COM4", "COM7", "COM9", "COM10", "COM12", "COM13", "COM14",
                              "COM70", "COM71", "RFCOMM0", "TTYUSB0"}));

        // Detailed form: the device name only under the port's own (case-sensitive) name.
        const QMap<QString, QString> names{{"ttyUSB0", "usb-FTDI_FT232R_A50285BI-if00-port0"},
                                           {"COM2", "pci-serial0"},
                                           {"com10", "never-listed"}};
        QStringList list = SerialPortManager::portList(ports, true, &names);
        QCOMPARE(list.size(), 13);
        QCOMPARE(list.first(), QStringLiteral("COM1 => Port"));
        QCOMPARE(list.at(1), QStringLiteral("COM2 => Port [pci-serial0 ]"));
        QVERIFY(list.contains("COM10 => Port"));
        QCOMPARE(list.last(),
                 QStringLiteral("TTYUSB0 => FT232R UART [usb-FTDI_FT232R_A50285BI-if00-port0 ]"));
        QCOMPARE(SerialPortManager::portList(ports, true, nullptr).last(),
                 QStringLiteral("TTYUSB0 => FT232R UART"));

        // A pair's ends are matched by the entry's own name: COM7's pair is not COM70 or COM71, and an
        // end without a name matches nothing.
        const QVector<VSPPortPair> pairs = {{0, "COM7", 1, "NULL_COM7"}, {2, "com12", 3, QString()}};
        QStringList only = list;
        inventory.filterVirtualPorts(only, pairs, true);
        QCOMPARE(only, (QStringList{"COM7 => Velmora", "COM12 => BT Port"}));
        QStringList others = list;
        inventory.filterVirtualPorts(others, pairs, false);
        QCOMPARE(others.size(), 11);
        QVERIFY(others.contains("COM70 => Port") && others.contains("COM71 => Port"));
        QVERIFY(!others.contains("COM7 => Velmora"));

        // Text filters, then the maker's first port (only that one) to the top.
        inventory.removeCom0comPorts(others);
        inventory.removeBluetoothPorts(others); // BT Port, Bluetooth, and rfcomm0 whatever it says
        QCOMPARE(others, (QStringList{"COM1 => Port", "COM2 => Port [pci-serial0 ]", "COM4 => Tavrel USB",
                                      "COM9 => Tavrel USB", "COM10 => Port", "COM70 => Port", "COM71 => Port",
                                      "TTYUSB0 => FT232R UART [usb-FTDI_FT232R_A50285BI-if00-port0 ]"}));
        inventory.moveMakerPortFirst(others);
        QCOMPARE(others.mid(0, 4), (QStringList{"COM4 => Tavrel USB", "COM1 => Port",
                                                "COM2 => Port [pci-serial0 ]", "COM9 => Tavrel USB"}));
        QStringList none{"COM1 => Port"};
        inventory.moveMakerPortFirst(none);
        QCOMPARE(none, QStringList{"COM1 => Port"});
    }

    void deviceNamesComeFromTheByIdFolder()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("dev") && QDir(dir.path()).mkpath("by-id"));
        QFile device(dir.path() + "/dev/ttyUSB3");
        QVERIFY(device.open(QIODevice::WriteOnly));
        device.close();
        const QString byId = dir.path() + "/by-id/";
        QVERIFY(QFile::link("../dev/ttyUSB3", byId + "usb-Tavrel_Fiscal_0042-if00-port0"));
        QVERIFY(QFile::link("../dev/ttyUSB3", byId + "usb-zz-second-name")); // the first name wins
        QVERIFY(QFile::link("../dev/ttyUSB9", byId + "usb-unplugged"));      // leads nowhere
        QFile plain(byId + "not-a-link");
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();

        SerialPortManager inventory;
        QMap<QString, QString> map{{"stale", "entry"}};
        qputenv("VELMORA_SERIAL_BY_ID", QFile::encodeName(dir.path() + "/by-id"));
        inventory.enumRegistryMaps(map);
        QCOMPARE(map, (QMap<QString, QString>{{"ttyUSB3", "usb-Tavrel_Fiscal_0042-if00-port0"}}));

        // No folder (no device with a stable name plugged in): an empty map.
        qputenv("VELMORA_SERIAL_BY_ID", QFile::encodeName(dir.path() + "/missing"));
        inventory.enumRegistryMaps(map);
        QVERIFY(map.isEmpty());

        // The real enumeration with device names: a system port named by a link gets its name.
        const QList<QSerialPortInfo> system = QSerialPortInfo::availablePorts();
        if (!system.isEmpty()) {
            const QSerialPortInfo &first = system.first();
            QVERIFY(QFile::link(first.systemLocation(), byId + "pci-first-port"));
            qputenv("VELMORA_SERIAL_BY_ID", QFile::encodeName(dir.path() + "/by-id"));
            const QString entry =
                first.portName().toUpper() + " => " + first.description() + " [pci-first-port ]";
            QVERIFY2(inventory.serialPorts(true, true).contains(entry), qPrintable(entry));
            QVERIFY(!inventory.serialPorts(true, false).contains(entry));
            QVERIFY(inventory.serialPorts(false, false).contains(first.portName().toUpper()));
            // Shown and stored upper-cased, the name still opens the device of that name.
            QCOMPARE(SerialPortEnumerator::devicePath(first.portName().toUpper()), first.systemLocation());
        }
        QCOMPARE(SerialPortEnumerator::devicePath("ttyNOSUCH7"), QStringLiteral("/dev/ttyNOSUCH7"));
        qunsetenv("VELMORA_SERIAL_BY_ID");
    }

    void notificationsLogTheEventAndThePorts()
    {
        LogLines log;
        DevNotifyHandle handle;
        QSignalSpy changed(&handle, &DevNotifyHandle::deviceChanged);
        QSignalSpy refresh(&handle, &DevNotifyHandle::serialPortsChanged);

        handle.handleDeviceChange(DevNotifyHandle::DevNodesChanged, 0, QString());
        QString text = log.text();
        QVERIFY(text.contains("Received WM_DEVICECHANGE: 0x0007"));
        QVERIFY(text.contains("Available serial ports:"));
        QVERIFY(!text.contains("for type"));
        for (const SerialPortEnumerator::PortInfo &p : SerialPortEnumerator::availablePorts())
            QVERIFY(text.contains(
                QStringLiteral("\nPort=%1, Loc=%2, Pi=%3").arg(p.name, p.systemLocation, p.description)));

        handle.handleDeviceChange(DevNotifyHandle::DeviceArrival, DevNotifyHandle::DevTypePort, "ttyUSB0");
        handle.handleDeviceChange(DevNotifyHandle::DeviceRemoveComplete, 5, "ttyUSB0");
        text = log.text();
        QVERIFY(text.contains("Received WM_DEVICECHANGE: 0x8000"));
        QCOMPARE(text.count("Received WM_DEVICECHANGE for type: 0x0003"), 1);
        QCOMPARE(text.count("Received WM_DEVICECHANGE for PORT type"), 1);
        QVERIFY(text.contains("Received WM_DEVICECHANGE for PORT name: ttyUSB0"));
        QVERIFY(text.contains("Received WM_DEVICECHANGE: 0x8004"));
        QVERIFY(text.contains("Received WM_DEVICECHANGE for type: 0x0005"));
        QCOMPARE(text.count("Available serial ports:"), 3);

        QCOMPARE(changed.size(), 3);
        QCOMPARE(changed.at(0).at(0).toUInt(), 0x0007u);
        QCOMPARE(changed.at(1).at(1).toString(), QStringLiteral("ttyUSB0"));
        QCOMPARE(changed.at(2).at(0).toUInt(), 0x8004u);
        QCOMPARE(refresh.size(), 3);

        QVERIFY(!handle.Unregister()); // nothing registered
        QVERIFY(log.text().contains("UnregisterDeviceNotification failed: 0x0009"));
    }
};

QTEST_GUILESS_MAIN(TestSerialPortManager)
#include "tst_serialportmanager.moc"
