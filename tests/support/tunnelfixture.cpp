#include "tests/support/tunnelfixture.h"

#include "log/debug_class.h"
#include "runtime/workthreadip.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

DeviceServer::DeviceServer(Mode mode, QObject *parent) : QTcpServer(parent), m_mode(mode)
{
    connect(this, &QTcpServer::newConnection, this, &DeviceServer::onNewConnection);
    listen(QHostAddress::LocalHost, 0);
}

DeviceServer::~DeviceServer()
{
    for (const auto &c : qAsConst(m_connections))
        if (c)
            c->abort();
}

QString DeviceServer::target() const
{
    return QStringLiteral("127.0.0.1:%1").arg(port());
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
        connect(socket, &QTcpSocket::readyRead, this, [this, socket]() {
            const QByteArray bytes = socket->readAll();
            received.append(bytes);
            if (m_mode == Echo)
                socket->write(bytes);
        });
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

PosPort::PosPort(QObject *parent) : QObject(parent)
{
    connect(&port, &QSerialPort::readyRead, this, [this]() { received.append(port.readAll()); });
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
    w->signalStart();
    thread = w->thread();
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

LogCapture::LogCapture(const QString &folder, int level)
{
    CGlobalDebugFileHandler *h = CGlobalDebugFileHandler::instance();
    h->reset();
    h->setConsole(0);
    h->setLevel(level);
    QDir().mkpath(folder);
    h->setFileNames(QStringLiteral("tunneltest"), QStringLiteral("test"));
    h->start(folder);
}

LogCapture::~LogCapture()
{
    CGlobalDebugFileHandler::instance()->reset();
}

QString LogCapture::text() const
{
    CGlobalDebugFileHandler *h = CGlobalDebugFileHandler::instance();
    h->flush();
    QFile file(h->logFileName());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

int LogCapture::count(const QString &needle) const
{
    return text().count(needle);
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(gen.bounded(256));
    return bytes;
}

PortPairs::PortPairs(const QString &portsDir) : m_dir(portsDir)
{
    QDir().mkpath(portsDir);
}

PortPairs::~PortPairs()
{
    const QStringList names = m_pids.keys();
    for (const QString &name : names)
        remove(name);
}

QString PortPairs::path(const QString &name) const
{
    return m_dir + QLatin1Char('/') + name;
}

bool PortPairs::create(const QString &name)
{
    QFile::remove(path(name));
    QFile::remove(path(QStringLiteral("NULL_") + name));
    qint64 pid = 0;
    const QStringList args = {
        QStringLiteral("pty,raw,echo=0,link=%1").arg(path(name)),
        QStringLiteral("pty,raw,echo=0,link=%1").arg(path(QStringLiteral("NULL_") + name))};
    if (!QProcess::startDetached(QStringLiteral("socat"), args, QString(), &pid))
        return false;
    m_pids.insert(name, pid);
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 5000) {
        if (QFileInfo(path(name)).isSymLink() && QFileInfo(path(QStringLiteral("NULL_") + name)).isSymLink())
            return true;
        QThread::msleep(10);
    }
    return false;
}

bool PortPairs::remove(const QString &name)
{
    const qint64 pid = m_pids.take(name);
    if (pid <= 0)
        return false;
    ::kill(pid_t(pid), SIGTERM);
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 5000 && ::kill(pid_t(pid), 0) == 0)
        QThread::msleep(10);
    QFile::remove(path(name));
    QFile::remove(path(QStringLiteral("NULL_") + name));
    return true;
}
