#include "app/debugini.h"

#include <QHostAddress>

DebugUdpTarget debugUdpTarget(const QString &portText, const QString &ipText)
{
    DebugUdpTarget target;
    bool ok = false;
    const qlonglong port = portText.trimmed().toLongLong(&ok, 10);
    if (!ok) {
        target.warnings
            << QStringLiteral("[MASTER] debugport=%1 is not a number, UDP copy disabled").arg(portText);
        return target;
    }
    if (port == 0)
        return target;
    // Out of range, a port number would wrap round to some other port.
    if (port < 1 || port > 65535) {
        target.warnings << QStringLiteral("[MASTER] debugport=%1 is out of range 1-65535, UDP copy disabled")
                               .arg(portText);
        return target;
    }
    target.enabled = true;
    target.port = quint16(port);
    QHostAddress address;
    if (address.setAddress(ipText.trimmed())) {
        target.address = address.toString();
    } else {
        target.address = QHostAddress(QHostAddress::LocalHost).toString();
        target.warnings << QStringLiteral("[MASTER] debugip=%1 is not an IP address, using %2")
                               .arg(ipText, target.address);
    }
    return target;
}
