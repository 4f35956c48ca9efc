#include "ports/serialportmanager.h"

#include "log/debug_class.h"
#include "ports/vspinterface.h"

#include <QCollator>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>

#include <cerrno>
#include <dirent.h>

namespace
{
const QString kSeparator = QStringLiteral(" => ");

// Bluetooth serial links are /dev/rfcommN whatever their description says.
bool isRfcommName(const QString &name)
{
    static const QRegularExpression rfcomm(QStringLiteral("^rfcomm\\d+$"),
                                           QRegularExpression::CaseInsensitiveOption);
    return rfcomm.match(name).hasMatch();
}

void removeContaining(QStringList &list, const QStringList &needles)
{
    for (int i = list.size() - 1; i >= 0; --i) {
        const QString upper = list.at(i).toUpper();
        for (const QString &needle : needles) {
            if (upper.contains(needle)) {
                list.removeAt(i);
                break;
            }
        }
    }
}
} // namespace

SerialPortManager::SerialPortManager(QObject *parent) : QObject(parent) {}

QStringList SerialPortManager::serialPorts(bool detailed, bool devNames)
{
    const QList<SerialPortEnumerator::PortInfo> ports = SerialPortEnumerator::availablePorts();
    QMap<QString, QString> names;
    enumRegistryMaps(names);
    return portList(ports, detailed, devNames ? &names : nullptr);
}

QStringList SerialPortManager::portList(const QList<SerialPortEnumerator::PortInfo> &ports, bool detailed,
                                        const QMap<QString, QString> *devNames)
{
    QStringList list;
    for (const SerialPortEnumerator::PortInfo &p : ports) {
        // The hidden ends of the system's pairs are no ports to choose.
        if (p.name.startsWith(QLatin1String("NULL_")))
            continue;
        QString entry = p.name.toUpper();
        if (detailed) {
            entry += kSeparator + p.description;
            if (devNames && devNames->contains(p.name))
                entry += QStringLiteral(" [") + devNames->value(p.name) + QStringLiteral(" ]");
        }
        list.append(entry);
    }
    // The C locale's collator compares code points whatever its numeric mode, which would put COM10
    // before COM2: sort by a real language's rules then.
    const QLocale locale =
        QLocale().language() == QLocale::C ? QLocale(QLocale::English, QLocale::UnitedStates) : QLocale();
    QCollator collator{locale};
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::sort(list.begin(), list.end(),
              [&collator](const QString &a, const QString &b) { return collator.compare(a, b) < 0; });
    return list;
}

QString SerialPortManager::byIdFolder()
{
    const QString fromEnv = qEnvironmentVariable("VELMORA_SERIAL_BY_ID");
    return fromEnv.isEmpty() ? QStringLiteral("/dev/serial/by-id") : fromEnv;
}

void SerialPortManager::enumRegistryMaps(QMap<QString, QString> &map)
{
    map.clear();
    const QString folder = byIdFolder();
    // No folder means no device with a stable name is plugged in: an empty map.
    if (!QFileInfo(folder).isDir())
        return;
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir) {
        VLOG(10) << "RegOpenKeyEx failed with code " << errno;
        return;
    }
    QStringList names;
    for (;;) {
        errno = 0;
        const struct dirent *entry = ::readdir(dir);
        if (!entry) {
            // A listing cut short leaves the names read so far.
            if (errno != 0)
                VLOG(10) << "RegEnumValue failed with code " << errno;
            break;
        }
        names.append(QFile::decodeName(entry->d_name));
    }
    ::closedir(dir);
    names.sort();
    for (const QString &name : qAsConst(names)) {
        const QFileInfo link(folder + QLatin1Char('/') + name);
        if (!link.isSymLink())
            continue;
        const QString target = link.canonicalFilePath(); // empty for a link to nothing
        if (target.isEmpty())
            continue;
        const QString portName = QFileInfo(target).fileName();
        // Two names for one device: the first in name order, as every listing shows it.
        if (!map.contains(portName))
            map.insert(portName, name);
    }
}

QString SerialPortManager::entryPortName(const QString &entry)
{
    const int at = entry.indexOf(kSeparator);
    return (at < 0 ? entry : entry.left(at)).trimmed();
}

void SerialPortManager::filterVirtualPorts(QStringList &list, const QVector<VSPPortPair> &pairs,
                                           bool onlyVirtual)
{
    // The entry's own port name must equal an end of a pair: containment would take COM70 for COM7's
    // pair, and a pair's end without a name would take every entry.
    auto belongs = [&pairs](const QString &entry) {
        const QString name = entryPortName(entry);
        if (name.isEmpty())
            return false;
        for (const VSPPortPair &pair : pairs) {
            if ((!pair.name.isEmpty() && VSPInterface::samePortName(name, pair.name)) ||
                (!pair.peerName.isEmpty() && VSPInterface::samePortName(name, pair.peerName)))
                return true;
        }
        return false;
    };
    QStringList kept;
    QStringList removed;
    for (const QString &entry : qAsConst(list))
        (belongs(entry) ? removed : kept).append(entry);
    list = onlyVirtual ? removed : kept;
}

void SerialPortManager::removeCom0comPorts(QStringList &list)
{
    removeContaining(list, {QStringLiteral("COM0COM")});
}

void SerialPortManager::removeBluetoothPorts(QStringList &list)
{
    removeContaining(list, {QStringLiteral("BT PORT"), QStringLiteral("BLUETOOTH")});
    for (int i = list.size() - 1; i >= 0; --i)
        if (isRfcommName(entryPortName(list.at(i))))
            list.removeAt(i);
}

void SerialPortManager::moveMakerPortFirst(QStringList &list)
{
    for (int i = 0; i < list.size(); ++i) {
        if (list.at(i).toUpper().contains(QLatin1String("TAVREL"))) {
            list.move(i, 0);
            return;
        }
    }
}
