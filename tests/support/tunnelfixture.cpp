#include "tests/support/tunnelfixture.h"
#include "tests/support/testenv.h"

#include "log/debug_class.h"
#include "ports/vspinterface.h"
#include "runtime/tunnelcommengine.h"
#include "runtime/workthreadip.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSemaphore>
#include <QThread>
#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

DeviceServer::DeviceServer(Mode mode, QObject *parent) : DeviceServer(mode, QHostAddress::LocalHost, parent)
{
}

DeviceServer::DeviceServer(Mode mode, const QHostAddress &address, QObject *parent)
    : QTcpServer(parent), m_mode(mode)
{
    connect(this, &QTcpServer::newConnection, this, &DeviceServer::onNewConnection);
    listen(address, 0);
}

DeviceServer::~DeviceServer()
{
    for (const auto &c : qAsConst(m_connections))
        if (c)
            c->abort();
}

QString DeviceServer::target() const
{
    return QStringLiteral("%1:%2").arg(serverAddress().toString()).arg(port());
}

void DeviceServer::onNewConnection()
{
    while (QTcpSocket *socket = nextPendingConnection()) {
        ++accepted;
        if (m_mode == Close) {
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        m_connections.append(socket);
        perConnection.append(QByteArray());
        const int index = perConnection.size() - 1;
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, index]() {
            if (m_paused)
                return;
            const QByteArray bytes = socket->readAll();
            received.append(bytes);
            perConnection[index].append(bytes);
            if (m_mode == Echo)
                socket->write(bytes);
        });
    }
}

void DeviceServer::pause(bool on)
{
    m_paused = on;
    for (int i = 0; i < m_connections.size(); ++i) {
        QTcpSocket *socket = m_connections.at(i);
        if (!socket)
            continue;
        socket->setReadBufferSize(on ? 64 : 0);
        if (!on) {
            const QByteArray bytes = socket->readAll();
            received.append(bytes);
            perConnection[i].append(bytes);
            if (m_mode == Echo)
                socket->write(bytes);
        }
    }
}

QTcpSocket *DeviceServer::current() const
{
    for (int i = m_connections.size() - 1; i >= 0; --i)
        if (m_connections.at(i) && m_connections.at(i)->state() == QAbstractSocket::ConnectedState)
            return m_connections.at(i);
    return nullptr;
}

void DeviceServer::closeCurrent()
{
    if (QTcpSocket *socket = current())
        socket->disconnectFromHost();
}

void DeviceServer::abortCurrent()
{
    if (QTcpSocket *socket = current())
        socket->abort();
}

quint16 DeviceServer::refusingPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

StalledEndpoint::StalledEndpoint()
{
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (::bind(m_listener, reinterpret_cast<sockaddr *>(&addr), len) != 0 || ::listen(m_listener, 0) != 0)
        return;
    ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    // Connections nobody accepts fill the queue; later handshakes get no answer.
    for (int i = 0; i < 3; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
        m_fillers.append(fd);
    }
    QThread::msleep(50);
}

StalledEndpoint::~StalledEndpoint()
{
    for (int fd : qAsConst(m_fillers))
        ::close(fd);
    if (m_listener >= 0)
        ::close(m_listener);
}

QString StalledEndpoint::target() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

PosPort::PosPort(QObject *parent) : QObject(parent)
{
    connect(&port, &QSerialPort::readyRead, this, [this]() {
        if (!paused)
            received.append(port.readAll());
    });
}

void PosPort::pause(bool on)
{
    paused = on;
    port.setReadBufferSize(on ? 64 : 0);
    if (!on)
        received.append(port.readAll());
}

bool PosPort::open(const QString &path)
{
    port.setPortName(path);
    if (!port.open(QIODevice::ReadWrite))
        return false;
    port.setBaudRate(115200);
    return true;
}

void PosPort::close()
{
    port.close();
}

qint64 PosPort::write(const QByteArray &bytes)
{
    return port.write(bytes);
}

SupervisorStub::SupervisorStub(QObject *parent) : QObject(parent)
{
    registerTunnelSettingsMetaTypes();
}

SupervisorStub::~SupervisorStub()
{
    if (worker || thread) {
        stop();
        waitGone();
    }
}

void SupervisorStub::start(const TunnelSettings &settings)
{
    uuid = settings.uuid;
    auto *w = new WorkThreadIP();
    w->setSettings(settings);
    connect(w, &WorkThreadBase::stateChanged, this, &SupervisorStub::onStateChanged, Qt::QueuedConnection);
    connect(w, &WorkThreadBase::lastError, this, &SupervisorStub::onLastError);
    connect(this, &SupervisorStub::signalStop, w, &WorkThreadBase::signalStop);
    worker = w;
    // A worker may end (and delete itself) as soon as its thread runs: its
    // first report from there waits until its thread was noted here.
    auto gate = std::make_shared<QSemaphore>();
    connect(
        w, &WorkThreadBase::stateChanged, w,
        [gate](QUuid, TunnelSettings::TunnelState s) {
            if (s != TunnelSettings::Starting) {
                gate->acquire();
                gate->release();
            }
        },
        Qt::DirectConnection);
    w->signalStart();
    thread = w->thread();
    gate->release();
}

void SupervisorStub::onStateChanged(QUuid uid, TunnelSettings::TunnelState s)
{
    if (uid == uuid)
        states.append(s);
}

void SupervisorStub::onLastError(QUuid uid, QString text)
{
    if (uid == uuid)
        errors.append(text);
}

TunnelSettings::TunnelState SupervisorStub::last() const
{
    return states.isEmpty() ? TunnelSettings::Stopped : states.last();
}

bool SupervisorStub::waitState(TunnelSettings::TunnelState s, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!states.contains(s) && t.elapsed() < ms)
        QTest::qWait(5);
    return states.contains(s);
}

void SupervisorStub::sync()
{
    // Calls queued to the worker's thread run in the order they were sent,
    // so an empty call that has returned follows every earlier one; a
    // worker gone meanwhile drops the call and releases the wait.
    if (worker)
        QMetaObject::invokeMethod(
            worker, [] {}, Qt::BlockingQueuedConnection);
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

bool SupervisorStub::waitGone(int ms)
{
    QElapsedTimer t;
    t.start();
    while ((worker || thread) && t.elapsed() < ms)
        QTest::qWait(5);
    // Let the thread object's own deferred deletion run.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return !worker && !thread;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(gen.bounded(256));
    return bytes;
}

PortDriver::PortDriver(const QString &systemDir, const QString &portsDir)
    : m_systemDir(systemDir), m_portsDir(portsDir), m_vsp(new VSPInterface())
{
    QDir().mkpath(portsDir);
    if (m_vsp->initLibrary())
        TunnelCommEngine::setVSPInterface(m_vsp);
}

PortDriver::~PortDriver()
{
    TunnelCommEngine::setVSPInterface(nullptr);
    delete m_vsp;
    QFile pidFile(m_systemDir + QStringLiteral("/vspd/vspd.pid"));
    if (!pidFile.open(QIODevice::ReadOnly))
        return;
    const pid_t pid = pid_t(pidFile.readAll().trimmed().toLongLong());
    if (pid <= 1)
        return;
    ::kill(pid, SIGTERM);
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 5000 && ::kill(pid, 0) == 0)
        QThread::msleep(10);
}

bool PortDriver::loaded() const
{
    return m_vsp->isLoaded();
}

QString PortDriver::path(const QString &name) const
{
    return m_portsDir + QLatin1Char('/') + name;
}

bool PortDriver::create(const QString &name)
{
    if (!m_vsp->createPort(QString(), name, 0xFFFFFFFFu, false))
        return false;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 5000) {
        if (QFileInfo::exists(path(name)) && QFileInfo::exists(path(QStringLiteral("NULL_") + name)))
            return true;
        QThread::msleep(10);
    }
    return false;
}

bool PortDriver::remove(const QString &name)
{
    return m_vsp->deletePort(name);
}

TunnelSettings directIP()
{
    TunnelSettings s;
    s.uuid = QUuid::createUuid();
    s.mode = TunnelSettings::DirectIP;
    return s;
}

TunnelSettings pcInterfaceOnCom5(const QString &target)
{
    TunnelSettings s = directIP();
    s.data_com = QStringLiteral("COM5");
    s.data_settings = QStringLiteral("115200,8,N,1,N/NO/NS");
    s.data_ip = target;
    return s;
}

bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QTest::qWait(2);
    return done();
}

void TunnelTestCase::init()
{
    env = new TestEnv();
    pairs = new PortDriver(env->systemDir(), env->portsDir());
    log = new LogCapture(10);
    QVERIFY2(pairs->loaded(), "the port driver's control library did not load");
}

void TunnelTestCase::cleanup()
{
    delete log;
    delete pairs;
    delete env;
    log = nullptr;
    pairs = nullptr;
    env = nullptr;
}
