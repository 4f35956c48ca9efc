#include "app/controlserver.h"

#include "log/debug_class.h"
#include "ui/mainwindow.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

#include <memory>

#include <sys/socket.h>
#include <unistd.h>

namespace
{
constexpr int kMaxRequest = 1024;
constexpr int kRequestMs = 5000;

// The connecting process's user, from the kernel (not from anything it sent).
bool sameUser(const QLocalSocket *socket)
{
    struct ucred cred = {};
    socklen_t len = sizeof(cred);
    if (::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return false;
    return cred.uid == ::geteuid();
}
} // namespace

ControlServer::ControlServer(MainWindow *window, QVector<TunnelSettings> *configurations, QObject *parent)
    : QObject(parent), m_window(window), m_configurations(configurations), m_server(new QLocalServer(this))
{
    // The socket file gets the owner's permissions only.
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &ControlServer::onNewConnection);
}

ControlServer::~ControlServer()
{
    m_server->close();
}

QString ControlServer::socketPath(const QString &dataPath)
{
    return QDir(dataPath).absoluteFilePath(QStringLiteral("control.sock"));
}

bool ControlServer::listen(const QString &path)
{
    QLocalServer::removeServer(path);
    if (!m_server->listen(path)) {
        VLOG(-10) << "Control socket " << path << " unavailable: " << m_server->errorString();
        return false;
    }
    VLOG(4) << "Control socket listening at " << path;
    return true;
}

void ControlServer::onNewConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (!sameUser(socket)) {
            VLOG(-10) << "Control connection from another user refused";
            socket->abort();
            continue;
        }
        // A client that sends no complete line in time is dropped.
        QTimer::singleShot(kRequestMs, socket, [socket] {
            if (!socket->property("handled").toBool())
                socket->abort();
        });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (socket->property("handled").toBool())
                return;
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kMaxRequest)
                    reply(socket, BadRequest, QStringLiteral("Zbyt długie polecenie"));
                return;
            }
            socket->setProperty("handled", true);
            handle(socket, QString::fromUtf8(socket->readLine(kMaxRequest)).trimmed());
        });
    }
}

int ControlServer::find(const QString &which) const
{
    bool isNumber = false;
    const int number = which.toInt(&isNumber);
    if (isNumber)
        return number >= 1 && number <= m_configurations->size() ? number - 1 : -1;
    const QUuid uuid(which);
    if (uuid.isNull())
        return -1;
    for (int i = 0; i < m_configurations->size(); ++i)
        if (m_configurations->at(i).uuid == uuid)
            return i;
    return -1;
}

QString ControlServer::listText(const QVector<TunnelSettings> &configurations)
{
    QString text;
    for (int i = 0; i < configurations.size(); ++i) {
        const TunnelSettings &cfg = configurations.at(i);
        text += QStringLiteral("%1\t%2\t%3\t%4\n")
                    .arg(i + 1)
                    .arg(TunnelSettings::stateName(cfg.state), cfg.uuid.toString(), cfg.description);
        for (const QString &line : cfg.last_error.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            text += QStringLiteral("\t%1\n").arg(line);
    }
    return text;
}

void ControlServer::handle(QLocalSocket *socket, const QString &request)
{
    VLOG(4) << "Control request: " << request;
    const QString command = request.section(QLatin1Char(' '), 0, 0);
    const QString argument = request.section(QLatin1Char(' '), 1).trimmed();
    if (command == QLatin1String("list")) {
        reply(socket, Ok, listText(*m_configurations));
        return;
    }
    if (command != QLatin1String("start") && command != QLatin1String("stop")) {
        reply(socket, BadRequest, QStringLiteral("Nieznane polecenie: %1").arg(command));
        return;
    }
    const int idx = find(argument);
    if (idx < 0) {
        reply(socket, BadRequest, QStringLiteral("Brak konfiguracji %1").arg(argument));
        return;
    }
    const bool starting = command == QLatin1String("start");
    const QString refusal = starting ? m_window->requestStart(idx) : m_window->requestStop(idx);
    if (!refusal.isEmpty()) {
        reply(socket, Refused, refusal);
        return;
    }
    follow(socket, m_configurations->at(idx).uuid, starting);
}

void ControlServer::follow(QLocalSocket *socket, const QUuid &uuid, bool starting)
{
    // The worker reports through the event loop: look again until the
    // configuration has settled, its reply then tells how it ended.
    auto *timer = new QTimer(socket);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QPointer<QLocalSocket> guard(socket);
    connect(timer, &QTimer::timeout, this, [this, guard, timer, uuid, starting, clock] {
        if (!guard)
            return;
        int idx = -1;
        for (int i = 0; i < m_configurations->size(); ++i)
            if (m_configurations->at(i).uuid == uuid)
                idx = i;
        if (idx < 0) {
            timer->stop();
            reply(guard, BadRequest, QStringLiteral("Konfiguracja została usunięta"));
            return;
        }
        const TunnelSettings &cfg = m_configurations->at(idx);
        const bool settled =
            starting ? (cfg.state == TunnelSettings::Running || cfg.state == TunnelSettings::StoppedError)
                     : (cfg.state == TunnelSettings::Stopped || cfg.state == TunnelSettings::StoppedError);
        if (!settled && clock->elapsed() < kFollowMs)
            return;
        timer->stop();
        const QString line =
            QStringLiteral("%1\t%2\n").arg(idx + 1).arg(TunnelSettings::stateName(cfg.state));
        if (cfg.state == TunnelSettings::StoppedError || !settled)
            reply(guard, EndedInError, line + cfg.last_error);
        else
            reply(guard, Ok, line);
    });
    timer->start(20);
}

void ControlServer::reply(QLocalSocket *socket, Result result, const QString &text)
{
    socket->write(QByteArray::number(int(result)) + '\n' + text.toUtf8());
    socket->flush();
    socket->disconnectFromServer();
}
