#include "ports/vspinterface.h"

#include "log/debug_class.h"
#include "platform/librarylocation.h"
#include "platform/pairrecord.h"
#include "platform/registrystore.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLibrary>
#include <QMutex>
#include <QRecursiveMutex>
#include <QtEndian>

#include <atomic>
#include <cerrno>
#include <vector>

VspSetStrictBaudrateFn pfnSetStrictBaudrate = nullptr;
VspQueryBusFn pfnQueryBus = nullptr;
VspCreatePairFn pfnCreatePair = nullptr;
VspDeletePairFn pfnDeletePair = nullptr;
VspSetBreakFn pfnSetBreak = nullptr;
VspSetWiringFn pfnSetWiring = nullptr;

namespace
{

// Set by the binding or by the first driverPortPath without one; read from any thread.
std::atomic<VspPortDevicePathFn> g_portDevicePath{nullptr};

// The one lock of the process around the binding and every interface's operations: the library's
// functions are process-wide, and the interfaces are called from the engines' threads.
QRecursiveMutex &processLock()
{
    static QRecursiveMutex lock;
    return lock;
}
// True once the six functions are published; they never change afterwards.
bool g_bound = false;
// The library they live in, loaded once and kept for the rest of the process.
QLibrary *g_library = nullptr;

const char kMachineRoot[] = "HKEY_LOCAL_MACHINE\\";
// The driver's control library; on Windows this is VSPDCTL.DLL.
const char kLibraryBaseName[] = "vspdctl";
const quint32 kErrorInsufficientBuffer = 122;
// The driver answers a list of a few entries per pair; a library that keeps
// asking for more than this is broken, and following it would exhaust memory.
const quint32 kMaxQueryBuffer = 64u * 1024 * 1024;

// The store's own paths are relative to the machine root.
QString storePath(const QString &path)
{
    QString p = path;
    if (p.startsWith(QLatin1String(kMachineRoot), Qt::CaseInsensitive))
        p.remove(0, int(sizeof kMachineRoot) - 1);
    return p;
}

// The driver's library tests only the low byte of its BOOL results.
bool succeeded(int result)
{
    return (result & 0xFF) != 0;
}

quint32 readU32(const unsigned char *p)
{
    return quint32(p[0]) | (quint32(p[1]) << 8) | (quint32(p[2]) << 16) | (quint32(p[3]) << 24);
}

// Asks the driver for the terminal behind a live end; the path is cleared first.
bool askPortDevicePath(VspPortDevicePathFn fn, const QString &name, QString *devicePath)
{
    if (devicePath)
        devicePath->clear();
    if (!fn || name.isEmpty())
        return false;
    char path[4096];
    errno = 0;
    if ((fn(name.toLatin1().constData(), path, sizeof path) & 0xFF) == 0) {
        VLOG(10) << QStringLiteral("VSPD port %1 is not a live port of the driver: %2").arg(name).arg(errno);
        return false;
    }
    if (devicePath)
        *devicePath = QFile::decodeName(path);
    return true;
}

QByteArray maskBytes(quint32 mask)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char((mask >> (8 * i)) & 0xFF);
    return bytes;
}

} // namespace

bool WriteRegistryBinaryData(const QString &keyPath, const QString &valueName, const void *data, int size)
{
    RegistryStore store;
    const QString key = storePath(keyPath);
    if (!store.keyExists(key) && store.createKey(key) != RegistryStore::Success) {
        VLOG(-10) << QStringLiteral("Could not acces key %1").arg(keyPath);
        return false;
    }
    const QByteArray bytes(static_cast<const char *>(data), size < 0 ? 0 : size);
    if (store.setBinary(key, valueName, bytes) != RegistryStore::Success) {
        VLOG(-10) << QStringLiteral("Could not write key value %1").arg(valueName);
        return false;
    }
    VLOG(6) << QStringLiteral("Key %1 Value %2 binary set").arg(keyPath, valueName);
    return true;
}

VSPInterface::VSPInterface(QObject *parent) : QObject(parent), m_portList(new QVector<VSPPortPair>) {}

VSPInterface::~VSPInterface()
{
    delete m_portList;
}

QString VSPInterface::libraryName()
{
    return LibraryLocation::find("VELMORA_VSPDCTL", QLatin1String(kLibraryBaseName));
}

QString VSPInterface::portsKey()
{
    return QLatin1String(kMachineRoot) + PairRecord::portsKey();
}

bool VSPInterface::samePortName(const QString &a, const QString &b)
{
    return a.toUpper() == b.toUpper();
}

quint32 VSPInterface::wiringMask(quint32 wiring)
{
    if (wiring == 0xFFFFFFFFu)
        return 0x000010A0u;
    return wiring;
}

bool VSPInterface::resolveSymbol(QLibrary *library, const QString &symbol, void **slot)
{
    QFunctionPointer f = library->resolve(symbol.toLatin1().constData());
    *slot = reinterpret_cast<void *>(f);
    if (!f) {
        VLOG(-10) << QStringLiteral("Could not find symbol '%1': %2").arg(symbol, library->errorString());
        return false;
    }
    return true;
}

// Resolves all six functions into locals first: only a library that has them all is published,
// so a failed attempt (another library, a missing symbol) never replaces a function in use.
bool VSPInterface::bindLibrary()
{
    if (g_bound)
        return true;
    QLibrary *library = new QLibrary(libraryName());
    if (!library->load()) {
        VLOG(-10) << QStringLiteral("Could not load library %1").arg(library->errorString());
        delete library;
        return false;
    }
    VspSetStrictBaudrateFn setStrict = nullptr;
    VspQueryBusFn queryBus = nullptr;
    VspCreatePairFn createPair = nullptr;
    VspDeletePairFn deletePair = nullptr;
    VspSetBreakFn setBreak = nullptr;
    VspSetWiringFn setWiring = nullptr;
    if (!resolveSymbol(library, QStringLiteral("SetStrictBaudrate"), reinterpret_cast<void **>(&setStrict)) ||
        !resolveSymbol(library, QStringLiteral("QueryBus"), reinterpret_cast<void **>(&queryBus)) ||
        !resolveSymbol(library, QStringLiteral("CreatePair"), reinterpret_cast<void **>(&createPair)) ||
        !resolveSymbol(library, QStringLiteral("DeletePair"), reinterpret_cast<void **>(&deletePair)) ||
        !resolveSymbol(library, QStringLiteral("SetBreak"), reinterpret_cast<void **>(&setBreak)) ||
        !resolveSymbol(library, QStringLiteral("SetWiring"), reinterpret_cast<void **>(&setWiring))) {
        library->unload();
        delete library;
        return false;
    }
    pfnSetStrictBaudrate = setStrict;
    pfnQueryBus = queryBus;
    pfnCreatePair = createPair;
    pfnDeletePair = deletePair;
    pfnSetBreak = setBreak;
    pfnSetWiring = setWiring;
    // Optional, so that an older library still loads.
    if (QFunctionPointer f = library->resolve("PortDevicePath"))
        g_portDevicePath.store(reinterpret_cast<VspPortDevicePathFn>(f));
    else
        VLOG(-10) << "VSPD library has no PortDevicePath: no port counts as live";
    g_library = library;
    g_bound = true;
    return true;
}

bool VSPInterface::initLibrary()
{
    QMutexLocker lock(&processLock());
    m_loaded = false;
    if (!bindLibrary())
        return false;
    m_loaded = true;
    VLOG(6) << "VSP library loaded";
    updatePortList();
    return true;
}

bool VSPInterface::isLoaded() const
{
    QMutexLocker lock(&processLock());
    return m_loaded;
}

QVector<VSPPortPair> VSPInterface::portList() const
{
    QMutexLocker lock(&processLock());
    return *m_portList;
}

bool VSPInterface::updatePortList()
{
    QMutexLocker lock(&processLock());
    if (!m_loaded) {
        VLOG(6) << "VSPD updatePortList requested - invalid library handle";
        return false;
    }
    const quint32 request[2] = {qToLittleEndian<quint32>(8), qToLittleEndian<quint32>(1)};
    std::vector<unsigned char> buffer;
    quint32 size = 4096;
    for (;;) {
        buffer.assign(size, 0);
        errno = 0;
        const int result = pfnQueryBus(request, 8, buffer.data(), size);
        const quint32 error = quint32(errno);
        if (succeeded(result))
            break;
        if (error == kErrorInsufficientBuffer && size < kMaxQueryBuffer) {
            size *= 2;
            continue;
        }
        VLOG(-10) << QStringLiteral("VSPD QueryBus failed with result: %1").arg(error);
        return false;
    }
    VLOG(6) << "VSPD QueryBus success, got port list";
    m_portList->clear();

    QVector<VSPPortPair> pending;
    size_t pos = 0;
    // Every field is checked against the buffer: a damaged answer ends the walk, never reads past it.
    while (pos + 4 <= buffer.size()) {
        const unsigned char *entry = buffer.data() + pos;
        const quint32 length = readU32(entry);
        if (length == 0)
            break;
        if (length < 16 || length > buffer.size() - pos) {
            VLOG(-10) << "VSPD QueryBus answer damaged at offset " << quint64(pos);
            break;
        }
        const quint32 nameOffset = readU32(entry + 4);
        const quint32 instance = readU32(entry + 8);
        const quint32 connectedTo = readU32(entry + 12);
        QString name;
        if (nameOffset != 0) {
            for (size_t c = nameOffset; c + 1 < length; c += 2) {
                const ushort ch = ushort(entry[c] | (entry[c + 1] << 8));
                if (ch == 0)
                    break;
                name += QChar(ch);
            }
            VLOG(10) << QStringLiteral("VSPD Got port name: %1, instance = %2, connected to = %3")
                            .arg(name)
                            .arg(instance)
                            .arg(connectedTo);
        }
        bool matched = false;
        for (int i = 0; i < pending.size(); ++i) {
            if (pending[i].peerInstance != instance)
                continue;
            VSPPortPair pair = pending[i];
            pair.peerName = name;
            m_portList->append(pair);
            VLOG(4) << QStringLiteral("VSPD Matched pair: '%1'=%2 -> '%3'=%4")
                           .arg(pair.name)
                           .arg(pair.instance)
                           .arg(pair.peerName)
                           .arg(pair.peerInstance);
            pending.remove(i);
            matched = true;
            break;
        }
        if (!matched) {
            VSPPortPair pair;
            pair.instance = instance;
            pair.name = name;
            pair.peerInstance = connectedTo;
            pending.append(pair);
        }
        pos += length;
    }
    for (const VSPPortPair &p : qAsConst(pending))
        VLOG(4) << QStringLiteral("VSPD Unmatched port: %1, instance = %2, connected to = %3")
                       .arg(p.name)
                       .arg(p.instance)
                       .arg(p.peerInstance);
    return true;
}

bool VSPInterface::createPort(const QString &secondName, const QString &firstName, quint32 wiring,
                              bool strict)
{
    QMutexLocker lock(&processLock());
    if (!m_loaded) {
        VLOG(6) << "VSPD createPort requested - invalid library handle";
        return false;
    }
    VLOG(6) << QStringLiteral("VSPD createPort requested with port names '%1' and '%2'")
                   .arg(secondName, firstName);
    const QString first = firstName.toUpper();
    const QString second = secondName.toUpper();
    errno = 0;
    if (!succeeded(pfnCreatePair(first.toLatin1().constData(), second.toLatin1().constData()))) {
        VLOG(-10) << QStringLiteral("VSPD createPort failed with result: %1").arg(errno);
        return false;
    }
    const quint32 mask = wiringMask(wiring);
    const QByteArray bytes = maskBytes(mask);
    pfnSetWiring(firstName.toLatin1().constData(), bytes.constData(), 4);
    pfnSetStrictBaudrate(firstName.toLatin1().constData(), strict ? 1 : 0);

    PairRecord record;
    record.port1 = first;
    record.port2 = second;
    record.strict = strict;
    record.wiring = mask;
    RegistryStore store;
    // One change of the store: the driver, starting meanwhile, never recreates the pair from half a record.
    const QString keyPath = PairRecord::keyOf(record.subkey());
    if (record.write(store) == RegistryStore::Success)
        VLOG(6) << QStringLiteral("Key %1 Value %2 binary set").arg(keyPath, QStringLiteral("Wiring"));
    else
        VLOG(-10) << QStringLiteral("Could not acces key %1").arg(keyPath);
    VLOG(6) << "VSPD createPort succeeded";
    return true;
}

bool VSPInterface::deletePort(const QString &name)
{
    QMutexLocker lock(&processLock());
    if (!m_loaded) {
        VLOG(6) << "VSPD deletePort requested - invalid library handle";
        return false;
    }
    VLOG(6) << QStringLiteral("VSPD deletePort requested with port name '%1'").arg(name);
    updatePortList();
    const QString wanted = name.toUpper();
    const QString nullPrefix = QStringLiteral("NULL_");
    QString a, b;
    for (const VSPPortPair &pair : qAsConst(*m_portList)) {
        const QString n = pair.name.toUpper();
        const QString p = pair.peerName.toUpper();
        if (n != wanted && p != wanted)
            continue;
        if (pair.name.isEmpty()) {
            a = nullPrefix + p + p;
            b = p + nullPrefix + p;
        } else if (pair.peerName.isEmpty()) {
            a = nullPrefix + n + n;
            b = n + nullPrefix + n;
        } else {
            a = n + p;
            b = p + n;
        }
    }
    errno = 0;
    if (!succeeded(pfnDeletePair(wanted.toLatin1().constData()))) {
        VLOG(-10) << QStringLiteral("VSPD deletePort failed with result: %1").arg(errno);
        return false;
    }
    if (a.isEmpty()) {
        VLOG(6) << "VSPD deletePort succeeded, registry record not found";
        return true;
    }
    QStringList records;
    for (const QString &record : {a, b, name})
        if (!record.isEmpty())
            records.append(PairRecord::keyOf(record));
    RegistryStore().deleteTrees(records);
    VLOG(6) << "VSPD deletePort succeeded";
    return true;
}

bool VSPInterface::setStrict(const QString &port, bool strict)
{
    QMutexLocker lock(&processLock());
    if (!m_loaded) {
        VLOG(6) << "VSPD SetStrictBaudrate requested - invalid library handle";
        return false;
    }
    VLOG(6) << QStringLiteral("VSPD SetStrictBaudrate requested for port %1 set to %2")
                   .arg(port)
                   .arg(strict ? 1 : 0);
    if (!pfnSetStrictBaudrate)
        return false;
    return succeeded(pfnSetStrictBaudrate(port.toLatin1().constData(), strict ? 1 : 0));
}

bool VSPInterface::setWiring(const QString &port, quint32 wiring)
{
    QMutexLocker lock(&processLock());
    if (!m_loaded) {
        VLOG(6) << "VSPD SetWiring requested - invalid library handle";
        return false;
    }
    VLOG(6) << QStringLiteral("VSPD SetWiring requested for port %1 set to %2").arg(port).arg(wiring, 0, 16);
    if (!pfnSetWiring)
        return false;
    const QByteArray bytes = maskBytes(wiringMask(wiring));
    return succeeded(pfnSetWiring(port.toLatin1().constData(), bytes.constData(), 4));
}

bool VSPInterface::findPeer(const QString &port, QString *peer) const
{
    QMutexLocker lock(&processLock());
    const QString wanted = port.toUpper();
    for (const VSPPortPair &pair : qAsConst(*m_portList)) {
        if (pair.name.toUpper() == wanted) {
            if (peer)
                *peer = pair.peerName.toUpper();
            return true;
        }
        if (pair.peerName.toUpper() == wanted) {
            if (peer)
                *peer = pair.name.toUpper();
            return true;
        }
    }
    return false;
}

bool VSPInterface::livePortPath(const QString &name, QString *devicePath)
{
    if (devicePath)
        devicePath->clear();
    // No lock around the driver call: the library is thread-safe, and a daemon being started must not
    // hold up the other callers of the interface.
    if (!isLoaded()) {
        VLOG(6) << "VSPD livePortPath requested - invalid library handle";
        return false;
    }
    return askPortDevicePath(g_portDevicePath.load(), name, devicePath);
}

bool VSPInterface::driverPortPath(const QString &name, QString *devicePath)
{
    VspPortDevicePathFn fn = g_portDevicePath.load();
    if (!fn) {
        static QMutex loading;
        static QLibrary *library = nullptr; // tried once; stays loaded for the rest of the process
        QMutexLocker lock(&loading);
        fn = g_portDevicePath.load();
        if (!fn && !library) {
            library = new QLibrary(libraryName());
            if (library->load()) {
                fn = reinterpret_cast<VspPortDevicePathFn>(library->resolve("PortDevicePath"));
                if (fn)
                    g_portDevicePath.store(fn);
            }
        }
    }
    return askPortDevicePath(fn, name, devicePath);
}
