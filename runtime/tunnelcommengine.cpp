#include "runtime/tunnelcommengine.h"

#include "config/tunnelsettings.h"
#include "log/debug_class.h"
#include "platform/keepalive.h"
#include "platform/systempaths.h"
#include "ports/serialportenumerator.h"
#include "ports/vspinterface.h"
#include "runtime/workthreadip.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopedValueRollback>
#include <QSerialPortInfo>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <atomic>

namespace
{
std::atomic<VSPInterface *> g_vsp{nullptr};
std::atomic<int> g_highWater{0};

void noteBuffered(int size)
{
    int seen = g_highWater.load(std::memory_order_relaxed);
    while (size > seen && !g_highWater.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
    }
}

// The driver exposes both ends of a pair as links named after the ports in
// its ports folder, in upper case as it was asked to create them; the link is
// addressed even before the driver has made it.
QString driverPortPath(const QString &name)
{
    return SystemPaths::portsFolder() + QLatin1Char('/') + name.toUpper();
}

// Whether a configured port is there, and the path it is opened by unless
// the driver's end replaces it. The driver is asked about this one name
// first: the port listing asks the driver about every port it holds, so
// with it each engine's start cost a round trip per existing port, and
// starting many configurations took time growing with their number squared.
bool locatePort(const QString &name, QString *path)
{
    if (QDir::isAbsolutePath(name)) {
        *path = name;
        return SerialPortEnumerator::isPresent(name);
    }
    QString live;
    if (VSPInterface::driverPortPath(name, &live)) {
        const QString link = driverPortPath(name);
        *path = QFileInfo(link).isSymLink() && QFile::symLinkTarget(link) == live
                    ? link
                    : SerialPortEnumerator::devicePath(name);
        return true;
    }
    // Not the driver's: a published device port or one of the system's, in
    // the order the port's path is looked up.
    for (const SerialPortEnumerator::PortInfo &p : SerialPortEnumerator::devicePorts()) {
        if (VSPInterface::samePortName(p.name, name)) {
            *path = p.systemLocation;
            return true;
        }
    }
    // The system's ports are named after the kernel's terminals; their full
    // listing (udev, thousands of files read) is taken only for such a name.
    const QDir terminals(QStringLiteral("/sys/class/tty"));
    if (terminals.exists()) {
        const QStringList names =
            terminals.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot | QDir::Hidden);
        const bool kernelHasIt = std::any_of(names.cbegin(), names.cend(), [&name](const QString &n) {
            return VSPInterface::samePortName(n, name);
        });
        if (!kernelHasIt) {
            *path = QStringLiteral("/dev/") + name;
            return false;
        }
    }
    const QList<QSerialPortInfo> system = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &p : system) {
        if (p.portName() == name) {
            *path = p.systemLocation();
            return true;
        }
    }
    for (const QSerialPortInfo &p : system) {
        if (VSPInterface::samePortName(p.portName(), name)) {
            *path = p.systemLocation();
            return true;
        }
    }
    *path = QStringLiteral("/dev/") + name;
    return false;
}

// At most limit bytes of what the device object holds. Taking everything
// goes through readAll, whose final empty read lets the object resume
// reading its descriptor after it stopped at its read-ahead limit.
QByteArray takeAtMost(QIODevice *device, int limit)
{
    return device->bytesAvailable() <= limit ? device->readAll() : device->read(limit);
}

QString hex8(qulonglong value)
{
    return QStringLiteral("%1").arg(value, 8, 16, QLatin1Char('0'));
}
} // namespace

void TunnelCommEngine::setVSPInterface(VSPInterface *vsp)
{
    g_vsp.store(vsp);
}

VSPInterface *TunnelCommEngine::vspInterface()
{
    return g_vsp.load();
}

int TunnelCommEngine::bufferHighWater()
{
    return g_highWater.load(std::memory_order_relaxed);
}

TunnelCommEngine::TunnelCommEngine(QObject *parent)
    : QObject(parent), reopenTimer(new QTimer(this)), openRetryTimer(new QTimer(this))
{
    reopenTimer->setSingleShot(true);
    connect(reopenTimer, &QTimer::timeout, this, &TunnelCommEngine::restartTimer);
    openRetryTimer->setSingleShot(true);
    connect(openRetryTimer, &QTimer::timeout, this, &TunnelCommEngine::openRetry);
}

TunnelCommEngine::~TunnelCommEngine()
{
    VLOG(16) << "Destructor called";
    data_com_tcp.clear();
    data_tcp_com.clear();
    if (serialPort && serialPort->isOpen())
        serialPort->close();
    // Deleted here rather than deferred: the engine itself goes through a
    // deferred deletion as its worker's thread ends, and deletions posted
    // from there would never run (leaving sockets open and memory behind).
    // None of these objects is inside one of its own signals at this point.
    delete serialPort;
    delete dataSocket;
    delete sigSocket;
}

void TunnelCommEngine::setCommPort(const QString &port, const QString &params)
{
    comPort = port;
    if (!parseCommParams(params, &serial.baudRate, &serial.stopBits, &serial.parity, &serial.flowControl,
                         &serial.dataBits, &wiring, &strict))
        VLOG(-10) << QStringLiteral("Invalid com port param string: %1").arg(params);
}

void TunnelCommEngine::setDataTarget(const QString &target)
{
    dataAddress = TunnelSettings::hostFromTarget(target);
    dataPort = TunnelSettings::portFromTarget(target);
}

void TunnelCommEngine::setSignalTarget(const QString &target)
{
    sigAddress = TunnelSettings::hostFromTarget(target);
    sigPort = TunnelSettings::portFromTarget(target);
}

bool TunnelCommEngine::isReady() const
{
    return readyFlags == 3 || (readyFlags == 1 && sigAddress.isNull());
}

int TunnelCommEngine::ownerState() const
{
    // Without a worker nothing is starting or running: connection events only log.
    return owner ? int(owner->state()) : int(TunnelSettings::Stopped);
}

bool TunnelCommEngine::startEngine()
{
    serialPort = new QSerialPort();
    QString path;
    const bool found = locatePort(comPort, &path);
    serialPort->setPortName(path);

    bool present = false;
    VSPInterface *vsp = vspInterface();
    // The list serves findPeer for a port that is there; a port about to be
    // made needs none (each listing reads and logs every pair the driver holds).
    if (vsp && found)
        vsp->updatePortList();
    if (!vsp || !vsp->isLoaded()) {
        VLOG(-10) << "Invalid VSP library handle, cannot check and fix ports, will just try to open";
    } else {
        present = found;
        if (!present) {
            if (!vsp->createPort(QString(), comPort, quint32(wiring), strict)) {
                VLOG(-10) << "Create port failed, we will just try if it's just an error";
            } else {
                driverEnd = QStringLiteral("NULL_") + comPort.toUpper();
                serialPort->setPortName(driverPortPath(driverEnd));
            }
        } else {
            QString peer;
            if (vsp->findPeer(comPort, &peer)) {
                VLOG(4) << QStringLiteral("This is our port, using other side: %1").arg(peer);
                driverEnd = peer.isEmpty() ? QStringLiteral("NULL_") + comPort : peer;
                driverEnd = driverEnd.toUpper();
                serialPort->setPortName(driverPortPath(driverEnd));
                if (!vsp->setStrict(comPort, strict))
                    VLOG(-10) << "VSPD SetStrictBaudrate failed";
                if (!vsp->setWiring(comPort, quint32(wiring)))
                    VLOG(-10) << "VSPD SetWiring failed";
            }
        }
    }
    VLOG(6) << QStringLiteral("Final port name: %1").arg(serialPort->portName());
    // The port object stops reading from the terminal once it holds this
    // much the engine has not taken, which holds the writer back.
    serialPort->setReadBufferSize(kSourceReadAhead);

    connect(serialPort, &QSerialPort::readyRead, this, &TunnelCommEngine::commReadyRead);
    connect(serialPort, &QSerialPort::bytesWritten, this, &TunnelCommEngine::commBytesWritten);
    connect(serialPort, &QSerialPort::dataTerminalReadyChanged, this,
            &TunnelCommEngine::dataTerminalReadyChanged);
    connect(serialPort, &QSerialPort::requestToSendChanged, this, &TunnelCommEngine::requestToSendChanged);
    connect(serialPort, &QSerialPort::errorOccurred, this, &TunnelCommEngine::onSerialError);

    data_tcp_com.setDevice(serialPort);
    QSerialPort *port = serialPort;
    data_tcp_com.setDescriptor([port]() { return port->isOpen() ? qintptr(port->handle()) : qintptr(-1); },
                               false);
    switch (openPort(present)) {
    case OpenResult::Failed:
        return false;
    case OpenResult::Pending:
        // The port is tried again from the event loop; the connections
        // follow once it opens.
        return true;
    case OpenResult::Opened:
        break;
    }
    connectSockets();
    return true;
}

void TunnelCommEngine::connectSockets()
{
    VLOG(6)
        << QStringLiteral("Connecting data proxy socket to: %1:%2").arg(dataAddress.toString()).arg(dataPort);
    dataSocket = createSocket(true);
    data_com_tcp.setDevice(dataSocket);
    QTcpSocket *socket = dataSocket;
    data_com_tcp.setDescriptor(
        [socket]() {
            return socket->state() == QAbstractSocket::ConnectedState ? socket->socketDescriptor()
                                                                      : qintptr(-1);
        },
        true);
    dataSocket->connectToHost(dataAddress, quint16(dataPort), QIODevice::ReadWrite);

    if (!sigAddress.isNull()) {
        VLOG(6) << QStringLiteral("Connecting signal proxy socket to: %1:%2")
                       .arg(sigAddress.toString())
                       .arg(sigPort);
        sigSocket = createSocket(false);
        sigSocket->connectToHost(sigAddress, quint16(sigPort), QIODevice::ReadWrite);
    }

    VLOG(6) << QStringLiteral("Engine for serial port %1 started, waiting for TCP sockets").arg(comPort);
}

QTcpSocket *TunnelCommEngine::createSocket(bool data)
{
    auto *socket = new QTcpSocket();
    if (data) {
        // Unread bytes beyond this stay in the kernel, whose flow control
        // then holds the device back.
        socket->setReadBufferSize(kSourceReadAhead);
        connect(socket, &QTcpSocket::connected, this, &TunnelCommEngine::dataSocketConnected);
        connect(socket, &QTcpSocket::disconnected, this, &TunnelCommEngine::dataSocketDisconnected);
        connect(socket, &QTcpSocket::errorOccurred, this, &TunnelCommEngine::dataSocketError);
        connect(socket, &QTcpSocket::readyRead, this, &TunnelCommEngine::dataReadyRead);
        connect(socket, &QTcpSocket::bytesWritten, this, &TunnelCommEngine::dataBytesWritten);
    } else {
        connect(socket, &QTcpSocket::connected, this, &TunnelCommEngine::sigSocketConnected);
        connect(socket, &QTcpSocket::disconnected, this, &TunnelCommEngine::sigSocketDisconnected);
        connect(socket, &QTcpSocket::errorOccurred, this, &TunnelCommEngine::sigSocketError);
        connect(socket, &QTcpSocket::readyRead, this, &TunnelCommEngine::sigReadyRead);
        connect(socket, &QTcpSocket::bytesWritten, this, &TunnelCommEngine::sigBytesWritten);
    }
    return socket;
}

bool TunnelCommEngine::liveDriverEnd(QString *devicePath)
{
    VSPInterface *vsp = vspInterface();
    if (vsp && vsp->livePortPath(driverEnd, devicePath))
        return true;
    openFailure = QStringLiteral("%1 is not a live port of the driver").arg(driverEnd);
    VLOG(6) << QStringLiteral("Port %1 not opened: %2").arg(comPort, openFailure);
    return false;
}

bool TunnelCommEngine::openOnce()
{
    // A port of the driver is opened only as the terminal the running driver
    // names for it, never through its link: the links outlive a driver that
    // died, and their terminal numbers are then reused by other programs.
    // Asking also starts a driver that is gone, which brings the pairs back.
    QString device;
    if (!driverEnd.isEmpty()) {
        if (!liveDriverEnd(&device))
            return false;
        serialPort->setPortName(device);
    }
    if (!serialPort->open(QIODevice::ReadWrite)) {
        openFailure = serialPort->errorString();
        return false;
    }
    // Asked again now that it is open: had the driver died in between, the
    // number could already belong to someone else; nothing is written yet.
    QString again;
    if (!driverEnd.isEmpty() && (!liveDriverEnd(&again) || again != device)) {
        serialPort->close();
        serialPort->clearError();
        if (openFailure.isEmpty())
            openFailure = QStringLiteral("%1 changed while it was opened").arg(driverEnd);
        return false;
    }
    return true;
}

TunnelCommEngine::OpenResult TunnelCommEngine::openPort(bool once)
{
    VLOG(4) << "Port open: " << serialPort->portName();
    if (once) {
        // Failed attempts and refused settings are handled right here; the
        // errors the port raises meanwhile must not start the reopen loop
        // (which would close the port again once it is open).
        QScopedValueRollback<bool> opening(openingPort, true);
        openFailure.clear();
        if (!openOnce())
            return OpenResult::Failed;
        portOpened();
        return OpenResult::Opened;
    }
    // A pair made just now is usually there at once (the driver makes its
    // links before it answers); only failed tries wait, and they wait in
    // the event loop so the other engines of the worker are served meanwhile.
    openTriesLeft = 10;
    return openRetryAttempt() ? OpenResult::Opened : OpenResult::Pending;
}

bool TunnelCommEngine::openRetryAttempt()
{
    QScopedValueRollback<bool> opening(openingPort, true);
    --openTriesLeft;
    openFailure.clear();
    if (openOnce()) {
        portOpened();
        return true;
    }
    VLOG(6) << QStringLiteral("Open port %1 fail (%2), retry").arg(comPort, openFailure);
    serialPort->close();
    serialPort->clearError();
    if (openTriesLeft > 0)
        openRetryTimer->start(1000);
    return false;
}

void TunnelCommEngine::openRetry()
{
    if (openRetryAttempt()) {
        connectSockets();
        return;
    }
    if (openTriesLeft > 0)
        return;
    VLOG(6) << "Open port fail retry count exceeded";
    terminateEngine();
    emit error(tr("Nie można otworzyć portu szeregowego %1 (%2)").arg(comPort, openFailure));
}

void TunnelCommEngine::portOpened()
{
    // A setting the port refuses is no reason to drop the port.
    applySerialSettings(serialPort, serial, VLOG_SITE);
    serialPort->clearError();
}

void TunnelCommEngine::onSerialError(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NotOpenError) {
        VLOG(16) << QStringLiteral("Close called on non-open port %2, ignoring").arg(serialPort->portName());
        return;
    }
    if (error == QSerialPort::NoError || reopenTimer->isActive() || openingPort)
        return;
    VLOG(-10)
        << QStringLiteral("Port error, retry open: %1 port %2").arg(int(error)).arg(serialPort->portName());
    reopenTimer->start(1000);
    serialPort->clearError();
    // What the port read but the engine had not taken yet (it stops taking
    // at its cap) would be dropped by the close.
    if (serialPort->bytesAvailable() > 0)
        queueForDevice(serialPort->readAll());
    // What the close drops of the chunk in flight goes again once the port
    // is back; what the port already wrote does not.
    data_tcp_com.settleBeforeClose();
    serialPort->close();
}

void TunnelCommEngine::restartTimer()
{
    if (openPort(true) == OpenResult::Opened) {
        VLOG(-10) << "Port reopen sucess!";
        resumeComWrite();
    } else {
        VLOG(-10) << QStringLiteral("Open port fail, retry: %1").arg(openFailure);
        reopenTimer->start(1000);
    }
}

void TunnelCommEngine::socketOptions(QTcpSocket *socket)
{
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    const qintptr descriptor = socket->socketDescriptor();
    VLOG(4) << QStringLiteral("setKeepalives socket: 0x%1").arg(hex8(qulonglong(descriptor)));
    const int result = setKeepalives(descriptor, keepalive.timeMs, keepalive.intervalMs);
    if (result != 0)
        VLOG(-10) << QStringLiteral("setKeepalives error: 0x%1").arg(hex8(qulonglong(unsigned(result))));
    if (keepalive.windowBytes > 0) {
        const int limit = limitLineWindows(descriptor, keepalive.windowBytes);
        if (limit != 0)
            VLOG(-10) << QStringLiteral("Line window limit error: %1").arg(limit);
    }
}

// Port -> TCP

void TunnelCommEngine::commReadyRead()
{
    VLOG(16) << QStringLiteral("{%1} commReadyRead").arg(comPort);
    const int room = kBufferCap - data_com_tcp.size();
    // Full: the rest waits in the port (and behind it in the driver) until
    // the socket has taken enough; dataBytesWritten comes back for it.
    if (room <= 0)
        return;
    const QByteArray bytes = takeAtMost(serialPort, room);
    if (serialPort->error() != QSerialPort::NoError)
        VLOG(-10) << QStringLiteral("Port error status: %1: %2")
                         .arg(serialPort->errorString())
                         .arg(int(serialPort->error()));
    queueForDevice(bytes);
}

void TunnelCommEngine::queueForDevice(const QByteArray &bytes)
{
    const bool wasEmpty = data_com_tcp.append(bytes);
    noteBuffered(data_com_tcp.size());
    VLOG(16) << QStringLiteral("COMM read size=%1, data_com_tcp.size()=%2")
                    .arg(bytes.size())
                    .arg(data_com_tcp.size());
    if (wasEmpty && !data_com_tcp.isEmpty()) {
        VLOG(16) << "data_com_tcp was empty initializing first chunk (64) send";
        // Out at once rather than on the next pass of the event loop, so a
        // lone request is not delayed. While the connection is being made
        // the socket holds the chunk and sends it when it connects.
        pumpToDevice();
    }
    VLOG(16) << QStringLiteral("Bytes waiting to be written: %1").arg(dataSocket->bytesToWrite());
}

void TunnelCommEngine::dataBytesWritten(qint64 bytes)
{
    VLOG(16) << QStringLiteral("{%1:%2} dataBytesWritten").arg(dataAddress.toString()).arg(dataPort);
    const bool nextDue = data_com_tcp.confirm(bytes);
    VLOG(16)
        << QStringLiteral("TCP written bytes=%1, data_com_tcp.size()=%2").arg(bytes).arg(data_com_tcp.size());
    if (nextDue) {
        VLOG(16) << "data_com_tcp not empty sending next chunk";
        // The socket's buffer is empty here, so the next chunks go straight
        // to its descriptor.
        pumpToDevice();
    }
    // Reading stopped at the cap; take more once a read's worth has drained.
    if (data_com_tcp.size() <= kBufferCap - kSourceReadAhead && serialPort &&
        serialPort->bytesAvailable() > 0)
        commReadyRead();
}

void TunnelCommEngine::pumpToDevice()
{
    if (!dataSocket)
        return;
    bool confirmed = false;
    const ChunkPump::Pumped result = data_com_tcp.pump(ChunkPump::kChunksPerTurn, [this,
                                                                                   &confirmed](qint64 n) {
        confirmed = true;
        VLOG(16)
            << QStringLiteral("TCP written bytes=%1, data_com_tcp.size()=%2").arg(n).arg(data_com_tcp.size());
    });
    if (result == ChunkPump::Pumped::Waiting && data_com_tcp.inFlight() == 0 && !data_com_tcp.isEmpty())
        VLOG(16) << "data_com_tcp WRITE IMPOSSIBLE";
    if (result == ChunkPump::Pumped::MoreDue)
        continuePump(true);
    if (confirmed && data_com_tcp.size() <= kBufferCap - kSourceReadAhead && serialPort &&
        serialPort->bytesAvailable() > 0)
        commReadyRead();
}

void TunnelCommEngine::pumpToPort()
{
    if (!serialPort)
        return;
    if (inPortWritten) {
        continuePump(false);
        return;
    }
    bool confirmed = false;
    const ChunkPump::Pumped result =
        data_tcp_com.pump(ChunkPump::kChunksPerTurn, [this, &confirmed](qint64 n) {
            confirmed = true;
            VLOG(16) << QStringLiteral("{%3} COM written bytes=%1, data_tcp_com.size()=%2")
                            .arg(n)
                            .arg(data_tcp_com.size())
                            .arg(comPort);
        });
    if (result == ChunkPump::Pumped::MoreDue)
        continuePump(false);
    if (confirmed && data_tcp_com.size() <= kBufferCap - kSourceReadAhead && dataSocket &&
        dataSocket->bytesAvailable() > 0)
        dataReadyRead();
}

void TunnelCommEngine::continuePump(bool toDevice)
{
    bool &posted = toDevice ? deviceContinuation : portContinuation;
    if (posted)
        return;
    posted = true;
    QMetaObject::invokeMethod(
        this,
        [this, toDevice]() {
            (toDevice ? deviceContinuation : portContinuation) = false;
            if (toDevice)
                pumpToDevice();
            else
                pumpToPort();
        },
        Qt::QueuedConnection);
}

// TCP -> port

void TunnelCommEngine::dataReadyRead()
{
    const int room = kBufferCap - data_tcp_com.size();
    // Full: the rest waits in the socket and the kernel until the port has
    // taken enough; commBytesWritten comes back for it.
    if (room <= 0)
        return;
    queueForPort(takeAtMost(dataSocket, room));
}

void TunnelCommEngine::queueForPort(const QByteArray &bytes)
{
    const bool wasEmpty = data_tcp_com.append(bytes);
    noteBuffered(data_tcp_com.size());
    VLOG(16) << QStringLiteral("{%3:%4} TCP read size=%1, data_tcp_com.size()=%2")
                    .arg(bytes.size())
                    .arg(data_tcp_com.size())
                    .arg(dataAddress.toString())
                    .arg(dataPort);
    // A closed port (being reopened) is fed from the buffer once it is back.
    if (wasEmpty && !data_tcp_com.isEmpty() && serialPort->isOpen()) {
        VLOG(16) << "data_tcp_com was empty initializing first chunk (64) send";
        pumpToPort();
    }
}

void TunnelCommEngine::commBytesWritten(qint64 bytes)
{
    QScopedValueRollback<bool> inside(inPortWritten, true);
    const bool nextDue = data_tcp_com.confirm(bytes);
    VLOG(16) << QStringLiteral("{%3} COM written bytes=%1, data_tcp_com.size()=%2")
                    .arg(bytes)
                    .arg(data_tcp_com.size())
                    .arg(comPort);
    if (nextDue) {
        VLOG(16) << "data_tcp_com not empty sending next chunk";
        pumpToPort();
    }
    if (data_tcp_com.size() <= kBufferCap - kSourceReadAhead && dataSocket &&
        dataSocket->bytesAvailable() > 0)
        dataReadyRead();
}

void TunnelCommEngine::resumeTcpWrite()
{
    if (data_com_tcp.isEmpty() || !dataSocket || data_com_tcp.inFlight() != 0)
        return;
    VLOG(6) << QStringLiteral("{%1} resending %2 unconfirmed bytes after reconnect")
                   .arg(comPort)
                   .arg(data_com_tcp.size());
    pumpToDevice();
}

void TunnelCommEngine::resumeComWrite()
{
    if (data_tcp_com.isEmpty() || !serialPort || !serialPort->isOpen() || data_tcp_com.inFlight() != 0)
        return;
    VLOG(6) << QStringLiteral("{%1} resending %2 unconfirmed bytes after reopen")
                   .arg(comPort)
                   .arg(data_tcp_com.size());
    pumpToPort();
}

void TunnelCommEngine::dataTerminalReadyChanged(bool set)
{
    Q_UNUSED(set)
}

void TunnelCommEngine::requestToSendChanged(bool set)
{
    Q_UNUSED(set)
}

// Readiness

void TunnelCommEngine::dataSocketConnected()
{
    VLOG(6) << QStringLiteral("Signal socket %1:%2 connected").arg(dataAddress.toString()).arg(dataPort);
    // Every connection, also one made again while running: a new socket
    // starts without keep-alive, and a device that goes silent on it would
    // otherwise never be noticed.
    socketOptions(dataSocket);
    if (ownerState() != TunnelSettings::Starting) {
        // A reconnect: the chunk that was in flight went down with the old
        // connection, so the pump is started again from the buffer's front.
        if (ownerState() == TunnelSettings::Running)
            resumeTcpWrite();
        return;
    }
    readyFlags |= 1;
    if (readyFlags == 3 || (readyFlags == 1 && sigAddress.isNull())) {
        VLOG(4) << QStringLiteral("Engine for port %1 ready").arg(comPort);
        emit engineReady();
    }
}

void TunnelCommEngine::sigSocketConnected()
{
    VLOG(6) << QStringLiteral("Signal socket %1:%2 connected").arg(sigAddress.toString()).arg(sigPort);
    socketOptions(sigSocket);
    if (ownerState() != TunnelSettings::Starting)
        return;
    readyFlags |= 2;
    if (readyFlags == 3) {
        VLOG(4) << QStringLiteral("Engine for port %1 ready").arg(comPort);
        emit engineReady();
    }
}

// Disconnection and errors

void TunnelCommEngine::socketDisconnected(QTcpSocket *socket, bool data)
{
    const QHostAddress &address = data ? dataAddress : sigAddress;
    const int port = data ? dataPort : sigPort;
    VLOG(6) << QStringLiteral("Socket %1:%2 disconnected").arg(address.toString()).arg(port);
    if (ownerState() != TunnelSettings::Running)
        return;
    if (data)
        VLOG(6)
            << QStringLiteral("Trying to reconnect data socket %1:%2 [A]").arg(address.toString()).arg(port);
    else
        VLOG(6) << QStringLiteral("Trying to reconnect signal socket %1:%2 [A]")
                       .arg(address.toString())
                       .arg(port);
    // The socket is still inside its own disconnect (Qt resets its buffers
    // after this signal returns), so the new connection is made as soon as
    // control is back in the event loop, not from within the signal.
    QMetaObject::invokeMethod(
        this,
        [this, socket, data]() {
            if (ownerState() != TunnelSettings::Running)
                return;
            // What the device sent before hanging up but the engine had not
            // taken yet (it stops taking at its cap) would go with the abort.
            if (data && socket->bytesAvailable() > 0)
                queueForPort(socket->readAll());
            socket->abort();
            // The abort dropped the chunk in flight; it goes again on the
            // new connection.
            if (data)
                data_com_tcp.restart();
            socket->connectToHost(data ? dataAddress : sigAddress, quint16(data ? dataPort : sigPort),
                                  QIODevice::ReadWrite);
        },
        Qt::QueuedConnection);
}

void TunnelCommEngine::socketError(QTcpSocket *socket, bool data, QAbstractSocket::SocketError serror)
{
    const QHostAddress &address = data ? dataAddress : sigAddress;
    const int port = data ? dataPort : sigPort;
    const int state = ownerState();
    if (serror == QAbstractSocket::RemoteHostClosedError && state == TunnelSettings::Running) {
        if (data)
            VLOG(6) << QStringLiteral("Remote host closed connection to  data socket %1:%2 [B]")
                           .arg(address.toString())
                           .arg(port);
        else
            VLOG(6) << QStringLiteral("Remote host closed connection to signal socket %1:%2 [B]")
                           .arg(address.toString())
                           .arg(port);
        return;
    }
    if (state == TunnelSettings::Starting || state == TunnelSettings::Running) {
        // Taken before terminating: closing the socket replaces its error text.
        const QString reason = socket->errorString();
        terminateEngine();
        emit error(tr("Błąd połączenia z %1:%2 - %3").arg(address.toString()).arg(port).arg(reason));
    }
}

void TunnelCommEngine::dataSocketDisconnected()
{
    socketDisconnected(dataSocket, true);
}

void TunnelCommEngine::dataSocketError(QAbstractSocket::SocketError serror)
{
    socketError(dataSocket, true, serror);
}

void TunnelCommEngine::sigSocketDisconnected()
{
    socketDisconnected(sigSocket, false);
}

void TunnelCommEngine::sigSocketError(QAbstractSocket::SocketError serror)
{
    socketError(sigSocket, false, serror);
}

void TunnelCommEngine::sigReadyRead()
{
    // The control connection carries nothing for us; whatever the device
    // sends there is dropped so it cannot pile up in the socket's buffer.
    if (sigSocket)
        sigSocket->readAll();
}

void TunnelCommEngine::sigBytesWritten(qint64 bytes)
{
    Q_UNUSED(bytes)
}

void TunnelCommEngine::terminateEngine()
{
    VLOG(6) << QStringLiteral("Terminating engine for serial port: %1").arg(comPort);
    reopenTimer->stop();
    openRetryTimer->stop();
    if (serialPort)
        serialPort->close();
    if (dataSocket)
        dataSocket->disconnectFromHost();
    if (sigSocket)
        sigSocket->disconnectFromHost();
    VLOG(6) << QStringLiteral("Terminated engine for serial port: %1").arg(comPort);
}
