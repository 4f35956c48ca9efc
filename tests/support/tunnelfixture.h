// Real pieces for tests of running configurations: device stand-ins as TCP
// servers on 127.0.0.1, a point-of-sale client on a serial port, a stand-in
// for the supervisor that starts and stops a worker, and the log of the run.
#pragma once

#include "config/tunnelsettings.h"
#include "tests/support/logcapture.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSerialPort>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUuid>

#include <functional>

class VSPInterface;
class WorkThreadIP;
class QThread;

// A device endpoint. Echo sends back what arrives; Silent keeps it; Close
// accepts and hangs up at once. It listens on 127.0.0.1 unless told otherwise.
class DeviceServer : public QTcpServer
{
    Q_OBJECT
public:
    enum Mode { Echo, Silent, Close };
    explicit DeviceServer(Mode mode, QObject *parent = nullptr);
    DeviceServer(Mode mode, const QHostAddress &address, QObject *parent = nullptr);
    ~DeviceServer() override;

    quint16 port() const { return serverPort(); }
    QString target() const;
    void setMode(Mode mode) { m_mode = mode; }
    // A paused device reads nothing, so the connection's buffers fill up.
    void pause(bool on);

    QByteArray received;             // everything that arrived, over all connections
    QList<QByteArray> perConnection; // what arrived on each connection, in accept order
    int accepted = 0;                // connections accepted so far
    QTcpSocket *current() const;     // the newest connection still open
    void closeCurrent();
    void abortCurrent();

    // A port on 127.0.0.1 where nothing listens.
    static quint16 refusingPort();

private:
    void onNewConnection();
    Mode m_mode;
    bool m_paused = false;
    QList<QPointer<QTcpSocket>> m_connections;
};

// A port on 127.0.0.1 whose listen queue is full: a connection to it stays
// in progress until the attempt times out.
class StalledEndpoint
{
public:
    StalledEndpoint();
    ~StalledEndpoint();
    quint16 port() const { return m_port; }
    QString target() const;

private:
    int m_listener = -1;
    QList<int> m_fillers;
    quint16 m_port = 0;
};

// The point-of-sale program's side: the configured port opened by its path.
class PosPort : public QObject
{
    Q_OBJECT
public:
    explicit PosPort(QObject *parent = nullptr);
    bool open(const QString &path);
    void close();
    qint64 write(const QByteArray &bytes);
    // A paused POS reads nothing, so the port's buffers fill up.
    void pause(bool on);
    QSerialPort port;
    bool paused = false;
    QByteArray received;
};

// Starts a worker as the supervisor does and records what it reports.
class SupervisorStub : public QObject
{
    Q_OBJECT
public:
    explicit SupervisorStub(QObject *parent = nullptr);
    ~SupervisorStub() override;

    void start(const TunnelSettings &settings);
    void stop() { emit signalStop(uuid); }
    void stopOther() { emit signalStop(QUuid::createUuid()); }
    TunnelSettings::TunnelState last() const;
    // Waits until the worker and its thread are gone.
    bool waitGone(int ms = 20000);
    bool waitState(TunnelSettings::TunnelState s, int ms = 20000);
    // Returns once the living worker has handled everything sent to it
    // before (a stop included) and what it reported of that is recorded:
    // what is in states then is the whole answer, with no time to guess.
    void sync();

    QUuid uuid;
    QList<TunnelSettings::TunnelState> states;
    QStringList errors;
    QPointer<WorkThreadIP> worker;
    QPointer<QThread> thread;

signals:
    void signalStop(QUuid uid);

public slots:
    void onStateChanged(QUuid uid, TunnelSettings::TunnelState s);
    void onLastError(QUuid uid, QString text);
};

// Reproducible random bytes.
QByteArray randomBytes(int size, quint32 seed);

// The port driver of one test: its own daemon (started on demand by the
// control library inside the test's private folders), shared with the
// engines, and ended by its pid when the test is done.
class PortDriver
{
public:
    explicit PortDriver(const QString &systemDir, const QString &portsDir);
    ~PortDriver();
    bool loaded() const;
    // The pair NAME (the point-of-sale side) and NULL_NAME (the engine's side).
    bool create(const QString &name);
    bool remove(const QString &name);
    QString path(const QString &name) const;
    VSPInterface *vsp() const { return m_vsp; }

private:
    QString m_systemDir;
    QString m_portsDir;
    VSPInterface *m_vsp;
};

// A direct-IP configuration with a fresh identity and no channel yet.
TunnelSettings directIP();
// Direct IP with only the PC interface: COM5 at 115200 baud to the device at target.
TunnelSettings pcInterfaceOnCom5(const QString &target);

// Runs the event loop until done() holds or ms pass; returns done().
bool waitFor(const std::function<bool()> &done, int ms = 30000);

class TestEnv;

// The set-up of a test class of running configurations, made afresh for
// every case: private folders, the port driver of the case, the log at
// level 10. A class that needs more overrides init() and calls this one.
class TunnelTestCase : public QObject
{
    Q_OBJECT
protected:
    TestEnv *env = nullptr;
    PortDriver *pairs = nullptr;
    LogCapture *log = nullptr;

    QString configured(const QString &name) const { return name; }
    QString posPath(const QString &name) const { return pairs->path(name); }

    // Protected, not private: QtTest runs these by name around each case but
    // must not take them, in a derived class, for cases of their own.
protected slots:
    void init();
    void cleanup();
};
