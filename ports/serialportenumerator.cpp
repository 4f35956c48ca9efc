#include "ports/serialportenumerator.h"

#include "platform/systempaths.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>

QList<SerialPortEnumerator::PortInfo> SerialPortEnumerator::driverPorts()
{
    QList<PortInfo> ports;
    const QDir folder(SystemPaths::portsFolder());
    const QFileInfoList entries =
        folder.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (!entry.isSymLink())
            continue;
        // Only links to a numbered pseudo-terminal that still exists are the driver's ports:
        // not /dev/ptmx (a link into /dev/pts on many systems), nor a link a killed driver left.
        const QString target = entry.symLinkTarget();
        static const QRegularExpression ptsPath(QStringLiteral("^/dev/pts/[0-9]+$"));
        if (!ptsPath.match(target).hasMatch() || !QFileInfo::exists(target))
            continue;
        PortInfo info;
        info.name = entry.fileName();
        info.systemLocation = entry.absoluteFilePath();
        info.description = QStringLiteral("Velmora virtual serial port (%1)").arg(target);
        info.driverPort = true;
        ports.append(info);
    }
    return ports;
}

QList<SerialPortEnumerator::PortInfo> SerialPortEnumerator::availablePorts()
{
    QList<PortInfo> ports;
    const QList<QSerialPortInfo> system = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &p : system) {
        PortInfo info;
        info.name = p.portName();
        info.systemLocation = p.systemLocation();
        info.description = p.description();
        ports.append(info);
    }
    for (const PortInfo &p : driverPorts()) {
        bool known = false;
        for (const PortInfo &q : qAsConst(ports))
            known = known || q.name.compare(p.name, Qt::CaseInsensitive) == 0;
        if (!known)
            ports.append(p);
    }
    return ports;
}

QString SerialPortEnumerator::devicePath(const QString &portName)
{
    if (QDir::isAbsolutePath(portName))
        return portName;
    const QString link = SystemPaths::portsFolder() + QLatin1Char('/') + portName;
    if (QFileInfo(link).isSymLink())
        return link;
    // Port names are compared without regard to case, as the driver does.
    for (const PortInfo &p : driverPorts())
        if (p.name.compare(portName, Qt::CaseInsensitive) == 0)
            return p.systemLocation;
    return QStringLiteral("/dev/") + portName;
}

bool SerialPortEnumerator::isPresent(const QString &portName)
{
    for (const PortInfo &p : availablePorts())
        if (p.name.compare(portName, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}
