#include "runtime/pppengine.h"

#include "config/serialsettings.h"
#include "log/debug_class.h"
#include "platform/iphelper.h"
#include "platform/macaddress.h"
#include "ports/serialportenumerator.h"
#include "runtime/lwipport.h"
#include "runtime/netdivertrecvthread.h"
#include "runtime/pcapwriter.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <sys/ioctl.h>
#include <termios.h>

namespace
{

QMutex g_processEngineLock;
PPPEngine *g_processEngine = nullptr;

// The engine whose thread drives the PPP stack. The stack's callbacks carry
// a session's identity, never the engine itself: a session that outlives its
// engine must not reach a freed one.
std::atomic<PPPEngine *> g_liveEngine{nullptr};

// Session identities, never reused in the process.
std::atomic<quintptr> g_lastSessionTag{0};

QString dotted(quint32 networkOrder)
{
    return QHostAddress(ntohl(networkOrder)).toString();
}

} // namespace

PPPEngine::PPPEngine() : QObject(nullptr)
{
    NetDivertRecvThread::registerMetaTypes();
    qRegisterMetaType<QSerialPort::SerialPortError>("QSerialPort::SerialPortError");
}

PPPEngine::~PPPEngine()
{
    QThread *const here = QThread::currentThread();
    if (engineThread && engineThread != here && engineThread->isRunning() && thread() == engineThread) {
        // The engine's objects belong to its thread: release them there, then
        // let the thread end before the engine is gone.
        QMetaObject::invokeMethod(
            this, [this, here]() { shutdownInThread(here); }, Qt::BlockingQueuedConnection);
    } else {
        shutdownInThread(here);
    }
    if (engineThread && engineThread == here) {
        // Destroyed from its own thread: that thread ends once this returns.
        engineThread->quit();
    } else if (engineThread) {
        disconnect(engineThread, nullptr, nullptr, nullptr);
        engineThread->quit();
        engineThread->wait();
        delete engineThread.data();
    }
    QMutexLocker guard(&g_processEngineLock);
    if (g_processEngine == this)
        g_processEngine = nullptr;
}

void PPPEngine::setProcessEngine(PPPEngine *engine)
{
    QMutexLocker guard(&g_processEngineLock);
    g_processEngine = engine;
}

PPPEngine *PPPEngine::processEngine()
{
    QMutexLocker guard(&g_processEngineLock);
    return g_processEngine;
}

void PPPEngine::shutdownInThread(QThread *target)
{
    VLOG(6) << "PPP engine shutting down";
    if (reopenTimer)
        reopenTimer->stop();
    draining = false;
    delete feedTimer;
    feedTimer = nullptr;
    delete drainTimer;
    drainTimer = nullptr;
    lineQueue.clear();
    // Nobody waits for the peer's answer any more and the port goes now:
    // the sessions end at once and leave nothing behind in the stack.
    const int unit = sessionUnit.exchange(-1);
    if (unit >= 0) {
        VLOG(4) << "Closing active PPP session at shutdown";
        pppCloseNow(unit, false);
    }
    const int ending = endingUnit.exchange(-1);
    if (ending >= 0)
        pppCloseNow(ending, false);
    sessionTag = endingTag = 0;
    if (g_liveEngine.load() == this)
        g_liveEngine.store(nullptr);
    if (divertOpen.load()) {
        WinDivertClose(divertHandle);
        divertHandle = INVALID_DIVERT_HANDLE;
        divertOpen.store(false);
    }
    releaseDivertThread();
    // Captured packets still queued here are owned by the engine.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    delete periodic;
    periodic = nullptr;
    delete serialPort;
    serialPort = nullptr;
    delete reopenTimer;
    reopenTimer = nullptr;
    delete ipHelper; // removes the device's ARP entry
    ipHelper = nullptr;
    delete pcapWriter; // closes the capture file
    pcapWriter = nullptr;
    output.setDevice(nullptr);
    output.clear();
    if (target && thread() == QThread::currentThread() && thread() != target)
        moveToThread(target);
}

void PPPEngine::releaseDivertThread()
{
    if (!divertThread)
        return;
    // Its handle is closed by now, which wakes a blocked receiver at once.
    divertThread->requestInterruption();
    divertThread->wait();
    delete divertThread;
    divertThread = nullptr;
}

void PPPEngine::setCommPort(const QString &port, const QString &params)
{
    QMutexLocker guard(&configLock);
    portName = port;
    if (!parseSerialSettings(params, &serial.baudRate, &serial.stopBits, &serial.parity, &serial.flowControl,
                             &serial.dataBits))
        VLOG(-10) << QStringLiteral("Invalid PPP port param string: %1").arg(params);
}

void PPPEngine::setAddresses(const QString &local, const QString &remote)
{
    QMutexLocker guard(&configLock);
    localAddress = local;
    remoteAddress = remote;
}

void PPPEngine::setPcap(bool enabled, const QString &fileName)
{
    QMutexLocker guard(&configLock);
    pcapEnabled = enabled;
    pcapFileName = fileName;
}

bool PPPEngine::isSessionActive() const
{
    return sessionUnit.load() >= 0 || endingUnit.load() >= 0 || divertOpen.load();
}

bool PPPEngine::claim(const QUuid &owner)
{
    QMutexLocker guard(&claimLock);
    if (owner.isNull() || (!claimOwner.isNull() && claimOwner != owner))
        return false;
    claimOwner = owner;
    return true;
}

void PPPEngine::release(const QUuid &owner)
{
    QMutexLocker guard(&claimLock);
    if (claimOwner == owner)
        claimOwner = QUuid();
}

void *PPPEngine::currentSessionContext() const
{
    return reinterpret_cast<void *>(sessionTag);
}

bool PPPEngine::isCurrent(void *ctx) const
{
    return ctx && quintptr(ctx) == sessionTag;
}

bool PPPEngine::isOwnSession(void *ctx) const
{
    return ctx && (quintptr(ctx) == sessionTag || quintptr(ctx) == endingTag);
}

void PPPEngine::signalStart()
{
    VLOG(6) << "Thread for PPP is starting";
    engineThread = new QThread();
    moveToThread(engineThread);
    connect(this, &PPPEngine::error, this, &PPPEngine::errorEnd);
    connect(engineThread, &QThread::started, this, &PPPEngine::process);
    connect(this, &PPPEngine::finished, engineThread, &QThread::quit);
    connect(this, &PPPEngine::finished, this, &PPPEngine::finalizeWorkAndCleanup);
    connect(engineThread, &QThread::finished, engineThread, &QObject::deleteLater);
    connect(this, &PPPEngine::requestStop, this, &PPPEngine::stopRequested);
    engineThread->start(QThread::InheritPriority);
}

void PPPEngine::process()
{
    VLOG(6) << "Thread start function call";
    reopenTries = 5;
    bool pcap;
    QString pcapName;
    {
        QMutexLocker guard(&configLock);
        pcap = pcapEnabled;
        pcapName = pcapFileName;
    }
    if (pcap && !pcapName.isEmpty())
        pcapWriter = new PCAPWriter(pcapName);
    ipHelper = new IPHelper(this);
    reopenTimer = new QTimer(this);
    reopenTimer->setSingleShot(true);
    connect(reopenTimer, &QTimer::timeout, this, &PPPEngine::restartTimer);

    g_liveEngine.store(this);
    pppInit();
    sioSetWriteHook(&PPPEngine::sioWriteHook);
    pppSetAuth(PppAuthNone, "", "");

    serialPort = new QSerialPort();
    connect(serialPort, &QSerialPort::readyRead, this, &PPPEngine::commReadyRead);
    connect(serialPort, &QSerialPort::bytesWritten, this, &PPPEngine::commBytesWritten);
    connect(serialPort, &QSerialPort::errorOccurred, this, &PPPEngine::onSerialError);
    output.setDevice(serialPort);
    feedTimer = new QTimer(this);
    feedTimer->setSingleShot(true);
    feedTimer->setTimerType(Qt::PreciseTimer);
    connect(feedTimer, &QTimer::timeout, this, &PPPEngine::feedLine);
    drainTimer = new QTimer(this);
    drainTimer->setInterval(20);
    connect(drainTimer, &QTimer::timeout, this, &PPPEngine::checkDrain);
    clock.start();
    periodic = new QTimer();
    periodic->setInterval(100);
    connect(periodic, &QTimer::timeout, this, &PPPEngine::periodicTimer);
    // lwIP's timers run only while a session lives: an idle engine never wakes up.
    VLOG(6) << "Thread start done";
}

void PPPEngine::periodicTimer()
{
    pppCheckTimeouts();
    if (!draining && !isSessionActive())
        periodic->stop();
}

void PPPEngine::runTimeouts()
{
    if (periodic->isActive())
        return;
    // Timeouts that fell due while nothing ran count from now.
    pppRestartTimeouts();
    periodic->start();
}

void PPPEngine::startPPP()
{
    VLOG(4) << "PPP start requested";
    if (draining) {
        // The session stopped before still lets its connections close, but
        // its owner has let it go: the line is wanted now.
        VLOG(4) << "Ending the previous PPP session at once for a new start";
        draining = false;
        if (drainTimer)
            drainTimer->stop();
        const int unit = sessionUnit.exchange(-1);
        sessionTag = 0;
        if (unit >= 0)
            pppCloseNow(unit, false);
        releaseLine();
    }
    if (sessionUnit.load() >= 0) {
        // Only the owner of the session starts one, and only after its
        // previous session ended; an error signal here would end that owner's run.
        VLOG(-10) << "PPP start ignored, a session is still active";
        return;
    }
    const int ending = endingUnit.exchange(-1);
    if (ending >= 0) {
        // The session stopped before still waits for its peer, but its owner
        // has let it go and nobody waits for its end: the line is wanted now.
        VLOG(4) << "Ending the previous PPP session at once for a new start";
        endingTag = 0;
        pppCloseNow(ending, false);
        releaseLine();
    }
    // A session's output starts empty: nothing of an earlier one goes first.
    resetOutput();
    runTimeouts();
    QString port, local, remote;
    {
        QMutexLocker guard(&configLock);
        port = portName;
        local = localAddress;
        remote = remoteAddress;
        lineQueue.setRate(LineQueue::bytesPerSecond(serial.baudRate, int(serial.dataBits),
                                                    serial.parity != QSerialPort::NoParity,
                                                    serial.stopBits == QSerialPort::OneStop ? 1 : 2));
    }
    connections.clear();
    linkUp = false;
    const QString filter =
        QStringLiteral("outbound and ip.DstAddr == %1").arg(QHostAddress(remote).toString());
    VLOG(6) << QStringLiteral("Starting with divert filter: '%1'").arg(filter);

    // The diversion needs no files of its own here, so the working folder
    // stays as it is (changing it would race with every other thread).
    const QHostAddress localIp(local);
    const DivertHandle handle =
        WinDivertOpen(filter.toLatin1().constData(), DIVERT_LAYER_NETWORK, 0, 0,
                      localIp.protocol() == QAbstractSocket::IPv4Protocol ? localIp.toIPv4Address() : 0);
    if (handle == INVALID_DIVERT_HANDLE) {
        const int e = errno;
        VLOG(-10) << QStringLiteral(
                         "Divert handle creation failure: %1 - wont be able to inject packets, bail out")
                         .arg(e);
        emit error(tr("Nie można utworzyć uchwytu przechwytywania sieci (%1). Nie ma możliwości obsługi PPP.")
                       .arg(e));
        return;
    }
    divertHandle = handle;
    divertOpen.store(true);

    ifIdx = 0;
    subIfIdx = 0;
    releaseDivertThread();
    divertThread = new NetDivertRecvThread();
    divertThread->setHandle(divertHandle);
    connect(divertThread, &NetDivertRecvThread::frameRecv, this, &PPPEngine::frameReceived);
    connect(divertThread, &QThread::finished, this, &PPPEngine::divertThreadFinished);
    connect(divertThread, &NetDivertRecvThread::interfacesDetected, this, &PPPEngine::interfacesDetected);

    MACAddress mac(QStringLiteral("00:00:00:10:11:12"));
    if (!ipHelper || !ipHelper->CreateOrSetMAC(QHostAddress(remote), mac))
        VLOG(4) << "IPHelper set mac failed";

    serialPort->setPortName(SerialPortEnumerator::devicePath(port));
    if (!openPort()) {
        const QString why = serialPort->errorString();
        VLOG(-10) << QStringLiteral("PPP serial port open failure: %1").arg(why);
        stopActivePPPFinish();
        emit error(
            tr("Nie można otworzyć portu szeregowego %1 dla komunikacji PPP (%2). Nie ma możliwości obsługi PPP.")
                .arg(port, why));
        return;
    }

    const quintptr tag = ++g_lastSessionTag;
    void *const ctx = reinterpret_cast<void *>(tag);
    sessionTag = tag;
    const int unit = pppOverSerialOpen(ctx, &PPPEngine::pppLinkStatusCB, &PPPEngine::pppLinkDataCB,
                                       &PPPEngine::ipInputCB, ctx);
    if (unit >= 0) {
        sessionUnit.store(unit);
        VLOG(4) << "PPP Session created, waiting for connection";
    } else {
        VLOG(-10) << "PPP Session create failed, out of descriptors";
        sessionTag = 0;
        stopActivePPPFinish();
        emit error(tr("Nie można utworzyć sesji PPP - za dużo aktywnych sesji."));
    }
}

bool PPPEngine::openPort()
{
    VLOG(4) << "Port open called";
    if (!serialPort) {
        VLOG(4) << "Port open call for non-existant object";
        return false;
    }
    disconnect(serialPort, &QSerialPort::errorOccurred, this, &PPPEngine::onSerialError);
    if (serialPort->isOpen()) {
        VLOG(-10) << "Port is open on open call";
        output.settleBeforeClose();
        serialPort->close();
    }
    if (!serialPort->open(QIODevice::ReadWrite)) {
        VLOG(4) << "Port open failure:" << serialPort->errorString();
        return false;
    }
    connect(serialPort, &QSerialPort::errorOccurred, this, &PPPEngine::onSerialError);
    reopenTries = 5;

    SerialPortSettings settings;
    {
        QMutexLocker guard(&configLock);
        settings = serial;
    }
    applySerialSettings(serialPort, settings, VLOG_SITE);
    VLOG(4) << "Port open success";
    return true;
}

void PPPEngine::onSerialError(QSerialPort::SerialPortError error)
{
    VLOG(10) << "Serial port error:" << int(error);
    // Closing a port that is already closed says so; there is nothing to reopen.
    if (error == QSerialPort::NoError || error == QSerialPort::NotOpenError || reopenTimer->isActive())
        return;
    if (sessionUnit.load() < 0) {
        // No session to carry on: a line gone while a stop waits for the
        // peer cannot bring its answer, so that session ends now.
        const int ending = endingUnit.load();
        if (ending >= 0)
            pppCloseNow(ending, true);
        serialPort->clearError();
        if (serialPort->isOpen())
            serialPort->close();
        return;
    }
    VLOG(-10) << QStringLiteral("PPP Port error, retry open: %1").arg(int(error));
    reopenTimer->start(500);
    serialPort->clearError();
    // What the close drops of the chunk in flight goes again once the port
    // is back; what the port already wrote does not.
    output.settleBeforeClose();
    serialPort->close();
}

void PPPEngine::restartTimer()
{
    if (openPort()) {
        VLOG(-10) << "Port reopen sucess!";
        // What the stack wrote while the port was closed, and the chunk the
        // close dropped, go out now; nothing else would restart the output.
        const qint64 n = output.writeNext();
        if (n > 0)
            VLOG(6) << QStringLiteral("Wrote chunk size=%1").arg(n);
        return;
    }
    const int n = reopenTries--;
    if (n != 0) {
        VLOG(-10) << QStringLiteral("PPP Open port fail, retry: %1").arg(serialPort->errorString());
        reopenTimer->start(500);
        return;
    }
    VLOG(-10) << "PPP reopen port fail after retries";
    // The line is gone: the peer cannot be told, and the session must not
    // outlive this end (its late report would hit whatever runs next).
    const int unit = sessionUnit.exchange(-1);
    if (unit >= 0) {
        sessionTag = 0;
        pppCloseNow(unit, false);
    }
    stopActivePPPFinish();
    emit error(tr("Nie można otworzyć portu połaczenia PPP."));
}

void PPPEngine::commReadyRead()
{
    const QByteArray bytes = serialPort->readAll();
    if (!bytes.isEmpty())
        lastInputNs = clock.nsecsElapsed();
    // A session being stopped still needs the peer's answer to its stop.
    int unit = sessionUnit.load();
    if (unit < 0)
        unit = endingUnit.load();
    VLOG(10) << QStringLiteral("Connection %1 data read size=%2").arg(unit).arg(bytes.size());
    if (unit >= 0 && !bytes.isEmpty()) {
        pppSerialInput(unit, bytes.constData(), bytes.size());
        VLOG(16) << QStringLiteral("Fed %1 bytes to PPP unit %2").arg(bytes.size()).arg(unit);
    }
}

int PPPEngine::doWrite(const char *data, int count)
{
    VLOG(6) << QStringLiteral("{PPP} Writing to PPP COM size=%1").arg(count);
    if (!serialPort)
        return count;
    if (output.append(data, count) && !output.isEmpty()) {
        VLOG(6) << "Was empty, writing chunk";
        const qint64 n = output.writeNext();
        if (n > 0)
            VLOG(6) << QStringLiteral("Was empty, wrote chunk size=%1").arg(n);
    }
    return count;
}

void PPPEngine::commBytesWritten(qint64 bytes)
{
    VLOG(6) << QStringLiteral("Wrote to PPP COM size=%1").arg(bytes);
    lineQueue.written(bytes, clock.nsecsElapsed());
    if (output.confirm(bytes)) {
        VLOG(6) << "Still data waiting, writing chunk";
        const qint64 n = output.writeNext();
        if (n > 0)
            VLOG(6) << QStringLiteral("Wrote chunk size=%1").arg(n);
    }
    feedLine();
}

void PPPEngine::feedLine()
{
    const int unit = sessionUnit.load();
    if (unit < 0) {
        lineQueue.clear();
        return;
    }
    while (!lineQueue.isEmpty()) {
        int outq = 0;
        if (serialPort && serialPort->isOpen() && ::ioctl(int(serialPort->handle()), TIOCOUTQ, &outq) != 0)
            outq = 0;
        const qint64 delay = lineQueue.feedDelayNs(clock.nsecsElapsed(), output.size(), outq);
        if (delay > 0) {
            if (!feedTimer->isActive())
                feedTimer->start(int(qMax<qint64>(1, (delay + 999999) / 1000000)));
            return;
        }
        const QByteArray packet = lineQueue.pop(clock.nsecsElapsed());
        connections.outbound(packet);
        const int r = pppIpOutput(unit, packet.constData(), packet.size());
        if (r != 0)
            VLOG(-10) << QStringLiteral("PPP packet send error: %1").arg(r);
    }
}

void PPPEngine::frameReceived(const QByteArray *ptr, void *ctx)
{
    Q_UNUSED(ctx)
    VLOG(6) << QStringLiteral("Divert outgoing frame captured len=%1").arg(ptr->size());
    if (sessionUnit.load() >= 0) {
        if (!lineQueue.push(*ptr, clock.nsecsElapsed()))
            VLOG(10) << QStringLiteral("Line queue: packet dropped len=%1 (%2 bytes waiting)")
                            .arg(ptr->size())
                            .arg(lineQueue.bulkBytes());
        feedLine();
    }
    if (CGlobalDebugFileHandler::isLevelEnabled(16) && pcapWriter)
        pcapWriter->appendPCAP(ptr);
    delete ptr;
}

void PPPEngine::interfacesDetected(int ifIdx_, int subidx, void *ctx)
{
    Q_UNUSED(ctx)
    VLOG(4) << QStringLiteral("Interfaces detected for current transport: %1,%2").arg(ifIdx_).arg(subidx);
    ifIdx = quint32(ifIdx_);
    subIfIdx = quint32(subidx);
}

void PPPEngine::doReceive(const char *data, int length)
{
    VLOG(4) << QStringLiteral("{PPP} Received packet: len=%1").arg(length);
    if (!divertOpen.load()) {
        VLOG(4) << "No divert injection path available, dropping packet";
        return;
    }
    connections.inbound(QByteArray::fromRawData(data, length));
    DivertAddress addr;
    addr.IfIdx = ifIdx;
    addr.SubIfIdx = subIfIdx;
    addr.Direction = DIVERT_DIRECTION_INBOUND;
    uint written = 0;
    if (!WinDivertSend(divertHandle, data, uint(length), &addr, &written)) {
        VLOG(4) << QStringLiteral("Received packet injection failure: %1").arg(errno);
        return;
    }
    if (int(written) != length)
        VLOG(4) << QStringLiteral("Received packet injection mismatch: len=%1!=%2").arg(length).arg(written);
    VLOG(4) << "Received packet injected";
    if (CGlobalDebugFileHandler::isLevelEnabled(16) && pcapWriter) {
        const QByteArray copy(data, length);
        pcapWriter->appendPCAP(&copy);
    }
}

void PPPEngine::pppLinkDataCB(void *ctx, int param, void *arg)
{
    PPPEngine *self = g_liveEngine.load();
    if (!self || !self->isOwnSession(ctx))
        return;
    VLOG(4) << "Data request for param:" << param;
    if (param == PPP_DATA_LOCAL_ADDRESS)
        self->getLocalAddr(static_cast<quint32 *>(arg));
    else if (param == PPP_DATA_REMOTE_ADDRESS)
        self->getRemoteAddr(static_cast<quint32 *>(arg));
    else
        VLOG(4) << "Unknown param:" << param;
}

// A peer that opens IPCP without an address of its own (slirp does) is
// offered the configured device address; one it proposes itself still wins.
void PPPEngine::getRemoteAddr(quint32 *address)
{
    QString remote;
    {
        QMutexLocker guard(&configLock);
        remote = remoteAddress;
    }
    const QHostAddress parsed(remote);
    const quint32 value = parsed.protocol() == QAbstractSocket::IPv4Protocol ? parsed.toIPv4Address() : 0;
    if (address)
        *address = htonl(value);
    VLOG(4) << QStringLiteral("Suggesting peer address: %1").arg(QHostAddress(value).toString());
}

void PPPEngine::getLocalAddr(quint32 *address)
{
    QString local;
    {
        QMutexLocker guard(&configLock);
        local = localAddress;
    }
    const QHostAddress parsed(local);
    const quint32 value = parsed.protocol() == QAbstractSocket::IPv4Protocol ? parsed.toIPv4Address() : 0;
    if (address)
        *address = htonl(value);
    VLOG(4) << QStringLiteral("Setting local address to: %1").arg(QHostAddress(value).toString());
}

QString PPPEngine::statusMessage(int code)
{
    QString text;
    switch (code) {
    case PppErr::Param:
        text = tr(" Parametr jest niewłaściwy");
        break;
    case PppErr::Open:
        text = tr(" Nie można otworzyć sesji PPP");
        break;
    case PppErr::Device:
        text = tr(" Niewłaściwe urządzenie we/wy");
        break;
    case PppErr::Alloc:
        text = tr(" Nie można allokować zasobów");
        break;
    case PppErr::User:
        text = tr(" Przerwane przez użytkownika lub inna przyczyna");
        break;
    case PppErr::Connect:
        text = tr(" Połączenie utracone");
        break;
    case PppErr::AuthFail:
        text = tr(" Niepowodzenie autoryzacji");
        break;
    case PppErr::Protocol:
        text = tr(" Błąd protokołu PPP / Nie można się połączyć");
        break;
    case PppErr::None:
        break;
    default:
        text = tr(" Nieznany kod błędu - %1").arg(code);
        break;
    }
    return tr("Błąd połączenia PPP:") + text;
}

void PPPEngine::pppLinkStatusCB(void *ctx, int errCode, void *arg)
{
    PPPEngine *self = g_liveEngine.load();
    if (!self)
        return;
    if (!self->isOwnSession(ctx)) {
        VLOG(6) << "Status report of an ended PPP session ignored:" << errCode;
        return;
    }
    const bool current = self->isCurrent(ctx);
    bool termination = false;
    if (errCode <= -PPP_TERMINATION_OFFSET) {
        errCode += PPP_TERMINATION_OFFSET;
        termination = true;
    }
    const QString message = statusMessage(errCode);
    if (errCode == PppErr::None && !termination) {
        if (!current)
            return; // a session being stopped does not come up
        const PppAddrs *a = static_cast<const PppAddrs *>(arg);
        if (a)
            VLOG(4) << QStringLiteral(
                           " PPP connected : our_ipaddr=%1, his_ipaddr=%2, netmask=%3, dns1=%4, dns2=%5")
                           .arg(dotted(a->our_ipaddr), dotted(a->his_ipaddr), dotted(a->netmask),
                                dotted(a->dns1), dotted(a->dns2));
        self->linkUp = true;
        if (self->divertThread)
            self->divertThread->start(QThread::InheritPriority);
        emit self->pppConnectionSuccess();
        return;
    }
    if (termination) {
        if (current) {
            self->sessionUnit.store(-1);
            self->sessionTag = 0;
            self->linkUp = false;
        } else {
            self->endingUnit.store(-1);
            self->endingTag = 0;
        }
        self->stopActivePPPFinish();
        self->emitError(message);
        VLOG(4) << "Link terminated with status:" << message;
        return;
    }
    VLOG(4) << "Pre-termination status callback:" << message;
}

void PPPEngine::ipInputCB(void *ctx, const char *data, int len)
{
    PPPEngine *self = g_liveEngine.load();
    if (self && self->isCurrent(ctx))
        self->doReceive(data, len);
}

int PPPEngine::sioWriteHook(void *serialHandle, const quint8 *data, int len)
{
    PPPEngine *self = g_liveEngine.load();
    if (self && self->isOwnSession(serialHandle))
        return self->doWrite(reinterpret_cast<const char *>(data), len);
    return len;
}

void PPPEngine::emitError(const QString &text)
{
    VLOG(-10) << QStringLiteral("Connection error: %1").arg(text);
    stopActivePPP();
    emit pppConnectionLost(text);
}

void PPPEngine::stopPPP()
{
    VLOG(4) << "PPP stop requested";
    stopActivePPP();
}

void PPPEngine::signalStop()
{
    VLOG(4) << "PPP thread stop requested";
    emit requestStop();
}

void PPPEngine::stopRequested()
{
    stopActivePPP();
}

void PPPEngine::stopActivePPP()
{
    VLOG(16) << "Stopping active PPP sessions";
    if (reopenTimer)
        reopenTimer->stop();
    const int unit = sessionUnit.load();
    if (unit >= 0 && draining) {
        VLOG(6) << "PPP session already ending";
        return;
    }
    if (unit >= 0) {
        if (linkUp && serialPort && serialPort->isOpen() && connections.open() > 0) {
            // The workers have just closed their connections; their FINs
            // and the device's answers still have to cross the link.
            VLOG(4) << QStringLiteral("PPP stop waits for %1 connections to close").arg(connections.open());
            draining = true;
            drainStartNs = clock.nsecsElapsed();
            drainTimer->start();
            return;
        }
        closeSession(unit);
        return;
    }
    if (endingUnit.load() >= 0) {
        VLOG(6) << "PPP session already ending";
        return;
    }
    VLOG(6) << "No active PPP sessions";
    if (serialPort && serialPort->isOpen()) {
        serialPort->close();
        VLOG(-10) << "Open port without active PPP session";
    }
}

void PPPEngine::checkDrain()
{
    if (!draining)
        return;
    const qint64 now = clock.nsecsElapsed();
    const bool sent = lineQueue.isEmpty() && output.isEmpty() && lineQueue.backlogNs(now) == 0;
    if ((sent && connections.open() == 0) || now - drainStartNs >= kDrainMaxNs ||
        now - qMax(lastInputNs, drainStartNs) >= kDrainSilenceNs)
        finishDrain();
}

void PPPEngine::finishDrain()
{
    draining = false;
    drainTimer->stop();
    VLOG(4) << QStringLiteral("PPP stop: %1 of %2 connections closed before the link ends after %3 ms")
                   .arg(connections.seen() - connections.open())
                   .arg(connections.seen())
                   .arg((clock.nsecsElapsed() - drainStartNs) / 1000000);
    const int unit = sessionUnit.load();
    if (unit >= 0)
        closeSession(unit);
}

void PPPEngine::closeSession(int unit)
{
    // Marked as ending before it stops counting as current, so the
    // engine never looks idle in between.
    endingTag = sessionTag;
    endingUnit.store(unit);
    sessionTag = 0;
    sessionUnit.store(-1);
    linkUp = false;
    lineQueue.clear();
    if (serialPort && serialPort->isOpen()) {
        pppClose(unit);
    } else {
        // The line is closed (being reopened): the peer cannot be told,
        // so the session ends at once; its report follows as usual.
        VLOG(4) << "PPP line closed, session ends without the peer";
        pppCloseNow(unit, true);
    }
}

void PPPEngine::stopActivePPPFinish()
{
    VLOG(4) << "Stop finish called";
    releaseLine();
    emit pppFinished();
}

void PPPEngine::releaseLine()
{
    if (divertThread) {
        WinDivertClose(divertHandle);
        divertHandle = INVALID_DIVERT_HANDLE;
        divertOpen.store(false);
        if (!divertThread->isRunning() && !divertThread->isFinished()) {
            delete divertThread;
            divertThread = nullptr;
        } else {
            divertThread->requestInterruption();
        }
    } else if (divertOpen.load()) {
        WinDivertClose(divertHandle);
        divertHandle = INVALID_DIVERT_HANDLE;
        divertOpen.store(false);
    }
    // Only an open port is closed (closing a closed one raises an error),
    // and nothing the port reports while it closes starts a reopen cycle;
    // the next open listens again. What the session said last (the answer
    // to a stop, its own stop) still goes out first.
    if (serialPort && serialPort->isOpen()) {
        disconnect(serialPort, &QSerialPort::errorOccurred, this, &PPPEngine::onSerialError);
        serialPort->flush();
        serialPort->close();
    }
    resetOutput();
}

void PPPEngine::resetOutput()
{
    output.clear();
    lineQueue.clear();
}

void PPPEngine::divertThreadFinished()
{
    VLOG(6) << "Divert thread done, removing";
    // The receiver of an earlier session was already released when the next
    // session began; only a finished receiver of the current one goes here.
    if (divertThread && divertThread->isFinished()) {
        delete divertThread;
        divertThread = nullptr;
    }
}

void PPPEngine::errorEnd(QString err)
{
    Q_UNUSED(err)
    VLOG(6) << "PPP errorEnd called";
}

void PPPEngine::finalizeWorkAndCleanup()
{
    VLOG(6) << "Finalize work and done";
    delete ipHelper;
    ipHelper = nullptr;
}
