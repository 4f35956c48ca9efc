#include "ports/serialportenumerator.h"

#include "platform/systempaths.h"
#include "ports/vspinterface.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <cerrno>
#include <signal.h>
#include <sys/stat.h>

QList<SerialPortEnumerator::PortInfo> SerialPortEnumerator::driverPorts()
{
    QList<PortInfo> ports;
    const QDir folder(SystemPaths::portsFolder());
    const QFileInfoList entries =
        folder.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (!entry.isSymLink())
            continue;
        // A link is a port only while the running driver reports that very terminal behind the name:
        // a link a killed driver left leads to a number any program's terminal may have now.
        QString live;
        if (!VSPInterface::driverPortPath(entry.fileName(), &live))
            continue;
        const QString target = QFile::symLinkTarget(entry.absoluteFilePath()); // read now, not cached
        if (target != live)
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

QList<SerialPortEnumerator::PortInfo> SerialPortEnumerator::devicePorts()
{
    QList<PortInfo> ports;
    const QDir folder(SystemPaths::devicePortsFolder());
    const QFileInfoList entries =
        folder.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (!entry.isSymLink())
            continue;
        QFile infoFile(entry.absoluteFilePath() + QStringLiteral(".info"));
        if (!infoFile.open(QIODevice::ReadOnly))
            continue;
        qint64 pid = 0;
        QString target;
        QString description;
        const QList<QByteArray> lines = infoFile.readAll().split('\n');
        for (const QByteArray &line : lines) {
            const int eq = line.indexOf('=');
            if (eq <= 0)
                continue;
            const QByteArray key = line.left(eq).trimmed();
            const QString value = QString::fromUtf8(line.mid(eq + 1)).trimmed();
            if (key == "pid")
                pid = value.toLongLong();
            else if (key == "target")
                target = value;
            else if (key == "description")
                description = value;
        }
        // A link a killed publisher left may lead to a terminal number another program has now.
        if (pid <= 0 || (::kill(pid_t(pid), 0) != 0 && errno != EPERM))
            continue;
        if (target.isEmpty() || QFile::symLinkTarget(entry.absoluteFilePath()) != target)
            continue;
        struct stat st;
        if (::stat(QFile::encodeName(target).constData(), &st) != 0 || !S_ISCHR(st.st_mode))
            continue;
        PortInfo info;
        info.name = entry.fileName();
        info.systemLocation = entry.absoluteFilePath();
        info.description = description;
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
            known = known || VSPInterface::samePortName(q.name, p.name);
        if (!known)
            ports.append(p);
    }
    for (const PortInfo &p : devicePorts()) {
        bool known = false;
        for (const PortInfo &q : qAsConst(ports))
            known = known || VSPInterface::samePortName(q.name, p.name);
        if (!known)
            ports.append(p);
    }
    return ports;
}

QString SerialPortEnumerator::devicePath(const QString &portName)
{
    if (QDir::isAbsolutePath(portName))
        return portName;
    // A link that is not a live port of the driver is no way to a port.
    const QString link = SystemPaths::portsFolder() + QLatin1Char('/') + portName;
    QString live;
    if (QFileInfo(link).isSymLink() && VSPInterface::driverPortPath(portName, &live) &&
        QFile::symLinkTarget(link) == live)
        return link;
    // Port names are compared without regard to case, as the driver does.
    for (const PortInfo &p : driverPorts())
        if (VSPInterface::samePortName(p.name, portName))
            return p.systemLocation;
    for (const PortInfo &p : devicePorts())
        if (VSPInterface::samePortName(p.name, portName))
            return p.systemLocation;
    // Names are shown and stored upper-cased (TTYUSB0) while device names keep their case (ttyUSB0).
    const QList<QSerialPortInfo> system = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &p : system)
        if (p.portName() == portName)
            return p.systemLocation();
    for (const QSerialPortInfo &p : system)
        if (VSPInterface::samePortName(p.portName(), portName))
            return p.systemLocation();
    return QStringLiteral("/dev/") + portName;
}

bool SerialPortEnumerator::isPresent(const QString &portName)
{
    // A port given by its path is there when the path names a terminal
    // device; no listing names it that way.
    if (QDir::isAbsolutePath(portName)) {
        struct stat st;
        return ::stat(QFile::encodeName(portName).constData(), &st) == 0 && S_ISCHR(st.st_mode);
    }
    for (const PortInfo &p : availablePorts())
        if (VSPInterface::samePortName(p.name, portName))
            return true;
    return false;
}
