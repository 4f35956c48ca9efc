// Port names and the one enumeration of serial ports the program uses
// everywhere: the system's ports plus the port driver's virtual ports,
// which are pseudo-terminals the system does not list.
#pragma once

#include <QList>
#include <QString>

class SerialPortEnumerator
{
public:
    struct PortInfo {
        QString name;
        QString systemLocation;
        QString description;
        bool driverPort = false;
    };

    static QList<PortInfo> availablePorts();
    // The driver's ports only: the links in its ports folder that lead to the terminal the running
    // driver reports behind that name (the first call may start the driver).
    static QList<PortInfo> driverPorts();
    // Ports of devices that publish a terminal in the device ports folder (the device simulator):
    // real ports, listed while the publishing process lives and its link leads to the terminal it
    // recorded.
    static QList<PortInfo> devicePorts();
    // An absolute path stays as it is; a live driver port maps to its link; any other name to /dev/NAME.
    static QString devicePath(const QString &portName);
    // A listed port of that name, or an absolute path naming a character device.
    static bool isPresent(const QString &portName);
};
