// The program's only door to the virtual serial port driver: creates and
// deletes port pairs through the driver's control library (loaded by name),
// sets their baud-rate emulation and wiring, lists them, and keeps the
// driver's registry records in step with the pairs it creates.
//
// The library is bound once for the process: its functions are process-wide,
// so the first interface that resolves all of them publishes them, and every
// later interface uses that same set (a library that fails to bind leaves
// nothing behind). One lock for the process serialises the binding and every
// operation of every interface: the tunnel engines call in from their own
// threads while the user interface lists and deletes ports.
#pragma once

#include "ports/vspportpair.h"

#include <QObject>
#include <QString>
#include <QVector>

class QLibrary;

// Windows BOOL convention of the driver's library: non-zero is success.
typedef int (*VspSetStrictBaudrateFn)(const char *port, quint32 strict);
typedef int (*VspQueryBusFn)(const void *request, quint32 requestSize, void *buffer, quint32 bufferSize);
typedef int (*VspCreatePairFn)(const char *first, const char *second);
typedef int (*VspDeletePairFn)(const char *port);
typedef int (*VspSetBreakFn)(const char *port, int on);
typedef int (*VspSetWiringFn)(const char *port, const void *mask, quint32 maskSize);
// Optional: a library without it still loads, and no end counts as live.
typedef int (*VspPortDevicePathFn)(const char *port, char *path, quint32 pathSize);

// The library's functions, one set for the process: null until an interface bound the library,
// then never changed again.
extern VspSetStrictBaudrateFn pfnSetStrictBaudrate;
extern VspQueryBusFn pfnQueryBus;
extern VspCreatePairFn pfnCreatePair;
extern VspDeletePairFn pfnDeletePair;
extern VspSetBreakFn pfnSetBreak;
extern VspSetWiringFn pfnSetWiring;

// Writes a binary value under the registry store's machine root; creates the key when missing.
bool WriteRegistryBinaryData(const QString &keyPath, const QString &valueName, const void *data, int size);

class VSPInterface : public QObject
{
    Q_OBJECT
public:
    explicit VSPInterface(QObject *parent = nullptr);
    ~VSPInterface() override;

    // Binds the library for the process unless that was done, then lists the ports.
    bool initLibrary();
    bool isLoaded() const;
    // A copy of the list found by the last successful updatePortList.
    QVector<VSPPortPair> portList() const;
    bool updatePortList();
    // Note the order: the pair's second port first, then its first port.
    bool createPort(const QString &secondName, const QString &firstName, quint32 wiring, bool strict);
    bool deletePort(const QString &name);
    bool setStrict(const QString &port, bool strict);
    bool setWiring(const QString &port, quint32 wiring);
    bool findPeer(const QString &port, QString *peer) const;
    bool resolveSymbol(QLibrary *library, const QString &symbol, void **slot);
    // For an end of one of the driver's pairs: true and the terminal's device path when that end
    // belongs to a live pair of the running daemon. Starts the daemon on demand when none answers
    // (which recreates the pairs from their records), so a caller retrying after a daemon crash
    // brings the driver back. Thread-safe. False (path cleared) otherwise.
    bool livePortPath(const QString &name, QString *devicePath);
    // The same answer for code that has no interface object (the port enumeration): through the
    // library an interface loaded, else through one loaded here once for the process.
    static bool driverPortPath(const QString &name, QString *devicePath);

    // Where the control library is loaded from: VELMORA_VSPDCTL when set,
    // else libvspdctl.so beside the program, else "vspdctl" through the
    // dynamic loader's search path.
    static QString libraryName();
    // The registry key of the driver's pair records, with the machine root (see PairRecord).
    static QString portsKey();
    // The one comparison of port names: both upper-cased with QString::toUpper, as the driver
    // upper-cases the 8-bit names it is given.
    static bool samePortName(const QString &a, const QString &b);
    // 0 stays 0, 0xFFFFFFFF (full emulation) becomes 0x10A0, others pass unchanged.
    static quint32 wiringMask(quint32 wiring);

private:
    bool bindLibrary();

    QVector<VSPPortPair> *m_portList;
    bool m_loaded = false;
};
