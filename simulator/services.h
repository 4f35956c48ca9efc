// The device's TCP services, whatever carries them: a connection is a
// Stream, a listener set is a ServiceHost (the host's own stack on a host
// address, or the simulator's lwIP stack behind its PPP link).
#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

class QTcpServer;

class Stream : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    virtual void write(const QByteArray &bytes) = 0;
    // Ends the connection; the stream deletes itself later.
    virtual void close() = 0;
    virtual QString peer() const = 0;

signals:
    void received(const QByteArray &bytes);
    void closed();
};

class ServiceHost : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    // Listens for the service `key`; false when the port cannot be had.
    virtual bool listen(const QString &key, quint16 port) = 0;
    // Stops listening and ends the service's connections.
    virtual void stop(const QString &key) = 0;
    virtual QString address() const = 0;
    QStringList keys() const { return m_ports.keys(); }
    quint16 port(const QString &key) const { return m_ports.value(key); }
    void stopAll()
    {
        for (const QString &key : keys())
            stop(key);
    }

signals:
    void accepted(const QString &key, Stream *stream);

protected:
    QHash<QString, quint16> m_ports;
};

// Services on a host address through the host's own TCP stack.
class QtServiceHost : public ServiceHost
{
    Q_OBJECT
public:
    QtServiceHost(const QString &address, QObject *parent = nullptr);
    bool listen(const QString &key, quint16 port) override;
    void stop(const QString &key) override;
    QString address() const override { return m_address; }

private:
    QString m_address;
    QHash<QString, QTcpServer *> m_servers;
};
