#include "simulator/services.h"

#include "log/debug_class.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

namespace
{

class QtStream : public Stream
{
public:
    QtStream(QTcpSocket *socket, QObject *parent) : Stream(parent), m_socket(socket)
    {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this] { emit received(m_socket->readAll()); });
        connect(socket, &QTcpSocket::disconnected, this, [this] {
            emit closed();
            deleteLater();
        });
    }
    void write(const QByteArray &bytes) override
    {
        if (m_socket->state() == QAbstractSocket::ConnectedState)
            m_socket->write(bytes);
    }
    void close() override { m_socket->disconnectFromHost(); }
    QString peer() const override
    {
        return QStringLiteral("%1:%2").arg(m_socket->peerAddress().toString()).arg(m_socket->peerPort());
    }

private:
    QTcpSocket *m_socket;
};

} // namespace

QtServiceHost::QtServiceHost(const QString &address, QObject *parent)
    : ServiceHost(parent), m_address(address)
{
}

bool QtServiceHost::listen(const QString &key, quint16 port)
{
    stop(key);
    auto *server = new QTcpServer(this);
    if (!server->listen(QHostAddress(m_address), port)) {
        VLOG(-10) << "service " << key << " cannot listen on " << m_address << ":" << port << ": "
                  << server->errorString();
        delete server;
        return false;
    }
    VLOG(4) << "service " << key << " listens on " << m_address << ":" << port;
    connect(server, &QTcpServer::newConnection, this, [this, server, key] {
        while (QTcpSocket *socket = server->nextPendingConnection())
            emit accepted(key, new QtStream(socket, server));
    });
    m_servers.insert(key, server);
    m_ports.insert(key, port);
    return true;
}

void QtServiceHost::stop(const QString &key)
{
    QTcpServer *server = m_servers.take(key);
    m_ports.remove(key);
    if (!server)
        return;
    // Its connections are its children and end with it.
    server->close();
    server->deleteLater();
}
