// The simulator's control interface: a Unix socket taking one command per
// line and answering with data lines and a closing "OK" or "ERR <reason>".
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class Device;
class QLocalServer;
class QLocalSocket;

class ControlServer : public QObject
{
    Q_OBJECT
public:
    ControlServer(Device *device, QObject *parent = nullptr);
    bool listen(const QString &path, QString *error);
    QString path() const { return m_path; }
    // One command line; the answer lines, the last "OK" or "ERR ...".
    QStringList execute(const QString &line);

signals:
    void quitRequested();

private:
    void accept();
    void readLines(QLocalSocket *socket);

    Device *m_device;
    QLocalServer *m_server = nullptr;
    QString m_path;
};
