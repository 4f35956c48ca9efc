// The port inventory over a synthetic enumeration (forms, sort, filters),
// its by-id device names through a private folder, and upper-cased names
// resolving to their devices.
#include "ports/serialportmanager.h"

#include <QSerialPortInfo>
#include <QTemporaryDir>
#include <QtTest>

class TestSerialPortManager : public QObject
{
    Q_OBJECT

private slots:
    void listsFiltersAndSorts()
    {
        QList<SerialPortEnumerator::PortInfo> ports;
        const char *const enumeration[][2] = {
            {"COM10", "Port"},     {"COM2", "Port"},      {"com1", "Port"},     {"NULL_COM5", "x"},
            {"ttyUSB0", "FT232R"}, {"rfcomm0", "Serial"}, {"COM70", "Port"},    {"COM7", "Velmora"},
            {"COM4", "Tavrel"},    {"COM9", "Tavrel"},    {"COM12", "BT Port"}, {"COM13", "Bluetooth"},
            {"COM14", "com0com"}};
        for (const auto &p : enumeration)
            ports.append({p[0], QString(), p[1], false});
        QCOMPARE(SerialPortManager::portList(ports, false, nullptr),
                 (QStringList{"COM1", "COM2", "COM4", "COM7", "COM9", "COM10", "COM12", "COM13", "COM14",
                              "COM70", "RFCOMM0", "TTYUSB0"}));
        // The device name only under the port's own, case-sensitive name.
        const QMap<QString, QString> names{{"ttyUSB0", "usb-FTDI-if00"}, {"com10", "never"}};
        QStringList list = SerialPortManager::portList(ports, true, &names);
        QCOMPARE(list.last(), QStringLiteral("TTYUSB0 => FT232R [usb-FTDI-if00 ]"));
        QVERIFY(list.contains("COM10 => Port"));

        // Ends match the entry's own name: COM7's pair is not COM70; an end without a name matches nothing.
        SerialPortManager inventory;
        const QVector<VSPPortPair> pairs = {{0, "COM7", 1, "NULL_COM7"}, {2, "com12", 3, QString()}};
        QStringList others = list;
        inventory.filterVirtualPorts(list, pairs, true);
        QCOMPARE(list, (QStringList{"COM7 => Velmora", "COM12 => BT Port"}));
        inventory.filterVirtualPorts(others, pairs, false);
        inventory.removeCom0comPorts(others);
        inventory.removeBluetoothPorts(others); // rfcomm0 too, whatever it says
        inventory.moveMakerPortFirst(others);
        QCOMPARE(others,
                 (QStringList{"COM4 => Tavrel", "COM1 => Port", "COM2 => Port", "COM9 => Tavrel",
                              "COM10 => Port", "COM70 => Port", "TTYUSB0 => FT232R [usb-FTDI-if00 ]"}));
    }

    void deviceNamesComeFromTheByIdFolder()
    {
        QTemporaryDir dir;
        const QString byId = dir.path() + "/by-id/";
        QVERIFY(QDir(dir.path()).mkpath("by-id") &&
                QFile(dir.path() + "/ttyUSB3").open(QIODevice::WriteOnly));
        QVERIFY(QFile::link("../ttyUSB3", byId + "usb-Tavrel_0042-if00") &&
                QFile::link("../ttyUSB3", byId + "usb-z"));
        QVERIFY(QFile::link("../ttyUSB9", byId + "usb-unplugged"));
        const QList<QSerialPortInfo> system = QSerialPortInfo::availablePorts();
        if (!system.isEmpty())
            QVERIFY(QFile::link(system.first().systemLocation(), byId + "pci-first"));
        qputenv("VELMORA_SERIAL_BY_ID", QFile::encodeName(byId));
        SerialPortManager inventory;
        QMap<QString, QString> map{{"stale", "entry"}};
        inventory.enumRegistryMaps(map);
        QCOMPARE(map.value("ttyUSB3"), QStringLiteral("usb-Tavrel_0042-if00")); // the first name of two
        QCOMPARE(map.size(), system.isEmpty() ? 1 : 2);
        if (!system.isEmpty()) {
            const QSerialPortInfo &first = system.first();
            const QString upper = first.portName().toUpper();
            QVERIFY(inventory.serialPorts(true, true)
                        .contains(upper + " => " + first.description() + " [pci-first ]"));
            QVERIFY(inventory.serialPorts(false, false).contains(upper));
            // Shown and stored upper-cased, the name still opens the device of that name.
            QCOMPARE(SerialPortEnumerator::devicePath(upper), first.systemLocation());
        }
        QCOMPARE(SerialPortEnumerator::devicePath("ttyNOSUCH7"), QStringLiteral("/dev/ttyNOSUCH7"));
        qputenv("VELMORA_SERIAL_BY_ID", QFile::encodeName(dir.path() + "/missing"));
        inventory.enumRegistryMaps(map);
        QVERIFY(map.isEmpty());
        qunsetenv("VELMORA_SERIAL_BY_ID");
    }
};

QTEST_GUILESS_MAIN(TestSerialPortManager)
#include "tst_serialportmanager.moc"
