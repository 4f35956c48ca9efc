// The simulated Tavrel device: its link port to the PC (a published
// pseudo-terminal), its own COM ports, its settings, restarts, scripted
// faults, and the TCP services it offers once reachable over TCP/IP.
#pragma once

#include "simulator/devicestate.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class PppLink;
class PtyPort;
class ServiceHost;
class Stream;
class QTimer;

namespace varnok::protocol
{
class FrameDecoder;
struct Request;
} // namespace varnok::protocol

class Device : public QObject
{
    Q_OBJECT
public:
    enum class Mode { Running, Restarting, LineDown };

    struct Options {
        QString devicePortsFolder;
        QString description;   // empty: "Tavrel <name> (simulator)"
        QString listenAddress; // empty: no TCP services
        int autoMenuMs = -1;   // >= 0: the menu step to TCP/IP comes by itself after this time
    };

    Device(DeviceState state, Options options, QObject *parent = nullptr);
    ~Device() override;

    bool start(QString *error);

    DeviceState &state() { return m_state; }
    Mode mode() const { return m_mode; }
    QString modeText() const;
    // Lines "port NAME LINK TERMINAL" (when present), "com1 TERMINAL", "com2 TERMINAL".
    QStringList portLines() const;
    // Lines "service NAME ADDRESS:PORT" of the TCP services listening now.
    QStringList serviceLines() const;
    QStringList counterLines() const;

    // Faults, taken by the control interface.
    void setSilent(int count); // count 0: until cleared
    void setRefused(const QString &command, quint32 status, int count);
    void setGarble(int count);
    void dropLine(int ms);
    void clearFaults();

    // The menu step that makes a pending PC interface switch (TCP/IP) take effect; restarts.
    void menuSwitchPcInterface();
    void restart(int ms);
    void sendTransaction(const QString &line);

signals:
    // A line for the simulator's standard output (port paths after a change).
    void announce(const QString &line);

private:
    struct Connection;

    void linkReceived(const QByteArray &bytes);
    void feed(Connection *c, const QByteArray &bytes);
    // onLine: the request came over the serial line, whose speed may pace the answer.
    void handle(const varnok::protocol::Request &request,
                const std::function<void(const QByteArray &)> &reply, bool onLine = false);
    bool openLink(QString *error);
    void closeLink();
    void applyLinkSettings();
    void finishRestart();
    // A USB device's port goes once the PC side has read the last answer (or after a short while).
    void vanishWhenDrained(int waitedMs);
    void reconcileServices();
    void stopServices();
    void accept(const QString &key, Stream *stream);
    // PPP on the link port while the PC interface is TCP/IP.
    void startPpp();
    void comReceived(int no, const QByteArray &bytes);
    void generateTransaction();

    DeviceState m_state;
    Options m_options;
    Mode m_mode = Mode::Running;
    quint64 m_epoch = 0; // bumped by every restart and line drop: answers of an older epoch are not sent
    PtyPort *m_link = nullptr;
    PtyPort *m_com[3] = {nullptr, nullptr, nullptr}; // index = COM number
    std::unique_ptr<Connection> m_linkConnection;
    LineSettings m_linkSettings;   // what the link port uses now
    bool m_framingVisible = false; // the terminal shows the PC's data bits and parity
    QTimer *m_restartTimer = nullptr;
    QTimer *m_transactionTimer = nullptr;
    int m_transactionCount = 0;

    // TCP services, by key "pc", "monitor", "tun0", "tun0ctl", "tun1", "tun1ctl": on a host
    // address (--listen) and behind the PPP link.
    ServiceHost *m_hostServices = nullptr;
    PppLink *m_ppp = nullptr;
    QList<QPointer<Stream>> m_monitorClients;
    QPointer<Stream> m_tunnelData[2];

    // Faults.
    int m_silent = 0; // -1: until cleared
    int m_garble = 0;
    QString m_refusedCommand;
    quint32 m_refusedStatus = 0;
    int m_refusedCount = 0;

    // Counters (control "status").
    quint64 m_requests = 0;
    quint64 m_answered = 0;
    quint64 m_ignoredBytes = 0;
};
