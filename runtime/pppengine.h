// The PC's end of a PPP link to the fiscal device over a real serial port,
// joined to the PC's own IP stack: packets the PC sends to the device's
// address are diverted into the link, packets from the link are injected
// back as received. One per process, living in its own thread.
#pragma once

#include "platform/netdivert.h"
#include "runtime/linequeue.h"
#include "runtime/serialportsetup.h"
#include "runtime/serialpump.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSerialPort>
#include <QString>
#include <QUuid>
#include <atomic>

class IPHelper;
class NetDivertRecvThread;
class PCAPWriter;
class QThread;
class QTimer;

class PPPEngine : public QObject
{
    Q_OBJECT
public:
    PPPEngine();
    // Called from the thread that created the engine. Ends a session at
    // once, closes the port and the diversion, stops the engine's thread and
    // releases everything it created (which removes the device's ARP entry
    // and closes the capture file).
    ~PPPEngine() override;

    // The one engine of the process, as the application hands it out:
    // workers in PPP mode reach it here. Null until the application sets it.
    static void setProcessEngine(PPPEngine *engine);
    static PPPEngine *processEngine();

    // Plain calls from other threads; read by the engine thread when the
    // queued startPPP after them runs.
    void setCommPort(const QString &port, const QString &params);
    void setAddresses(const QString &local, const QString &remote);
    void setPcap(bool enabled, const QString &fileName);
    // True from the start of a session until its teardown is complete
    // (pppFinished), including the time its end is being negotiated.
    bool isSessionActive() const;

    // The process's PPP session belongs to one configuration at a time.
    // Taking it is one step, so two configurations starting together cannot
    // both find it free: false when another owner holds it. The owner lets
    // it go once it has asked for its last stop.
    bool claim(const QUuid &owner);
    void release(const QUuid &owner);

    // What the stack's reports of the current session carry as their
    // context (null without a session); reports of any other session change
    // nothing. Engine thread.
    void *currentSessionContext() const;

    // Called by the PPP stack (engine thread).
    int doWrite(const char *data, int count);
    void doReceive(const char *data, int length);
    void getRemoteAddr(quint32 *address);
    void getLocalAddr(quint32 *address);
    static void pppLinkStatusCB(void *ctx, int errCode, void *arg);
    static void pppLinkDataCB(void *ctx, int param, void *arg);

    // The user text of a status report (after the termination offset was
    // taken off): "Błąd połączenia PPP:" and the code's meaning.
    static QString statusMessage(int code);

signals:
    void finished();
    void error(QString err);
    void requestStop();
    void lastError(QString str);
    void pppConnectionSuccess();
    void pppConnectionLost(QString reason);
    void pppFinished();

public slots:
    void commReadyRead();
    void commBytesWritten(qint64 bytes);
    void frameReceived(const QByteArray *ptr, void *ctx);
    void interfacesDetected(int ifIdx, int subidx, void *ctx);
    void divertThreadFinished();
    void periodicTimer();
    void runTimeouts();
    void signalStart();
    void signalStop();
    void startPPP();
    void stopPPP();
    void process();
    void finalizeWorkAndCleanup();
    void errorEnd(QString err);
    void stopRequested();
    void restartTimer();
    void onSerialError(QSerialPort::SerialPortError error);
    // Hands queued packets to the stack while the line's backlog is short.
    void feedLine();
    // A stop waiting for the connections being closed: ends the session
    // once they are done, the line has gone silent or the time is up.
    void checkDrain();

private:
    // Before a stop ends a link that is up, the connections the workers just
    // closed get this long to finish their closes on it, so the device is
    // not left with half-open connections.
    static constexpr qint64 kDrainMaxNs = 1000LL * 1000 * 1000;
    // A line from which nothing came for this long since the stop began
    // answers nothing more: no use waiting for the rest.
    static constexpr qint64 kDrainSilenceNs = 500LL * 1000 * 1000;
    // Ends the current session: tells the peer when the line is open.
    void closeSession(int unit);
    void finishDrain();
    bool openPort();
    void stopActivePPP();
    void stopActivePPPFinish();
    // Closes the diversion and the port and drops unsent output: what a
    // session leaves behind, without a word to anyone.
    void releaseLine();
    void resetOutput();
    // Reports, output and questions of the stack reach the engine only from
    // the current session or the one whose stop is under way.
    bool isCurrent(void *ctx) const;
    bool isOwnSession(void *ctx) const;
    void emitError(const QString &text);
    // Waits for the receiver of a closed diversion to end and deletes it.
    void releaseDivertThread();
    // In the engine thread, before the engine goes: everything it created
    // there is released and the engine handed to the destroying thread.
    void shutdownInThread(QThread *target);
    static void ipInputCB(void *ctx, const char *data, int len);
    static int sioWriteHook(void *serialHandle, const quint8 *data, int len);

    DivertHandle divertHandle = INVALID_DIVERT_HANDLE;
    QPointer<QThread> engineThread;
    QSerialPort *serialPort = nullptr;
    QTimer *periodic = nullptr;
    QTimer *reopenTimer = nullptr;
    IPHelper *ipHelper = nullptr;
    NetDivertRecvThread *divertThread = nullptr;
    std::atomic<int> sessionUnit{-1};
    // Identity of the current session (0 = none), given to the stack as the
    // context of its reports.
    quintptr sessionTag = 0;
    // A session whose stop was asked for and whose end report has not come.
    std::atomic<int> endingUnit{-1};
    quintptr endingTag = 0;
    std::atomic<bool> divertOpen{false};

    mutable QMutex claimLock;
    QUuid claimOwner;

    // Written by the setters from other threads, read under the same lock.
    mutable QMutex configLock;
    SerialPortSettings serial{QSerialPort::Baud115200};
    QString portName;
    QString localAddress;
    QString remoteAddress;
    bool pcapEnabled = false;
    QString pcapFileName = QStringLiteral("velmora.pcap");

    quint32 ifIdx = 0;
    quint32 subIfIdx = 0;
    // Bytes from the stack not yet confirmed written to the port.
    ChunkPump output;
    PCAPWriter *pcapWriter = nullptr;
    int reopenTries = 5;

    // Packets for the line, held until the line is ready for them, and the
    // line's clock (engine thread).
    LineQueue lineQueue;
    QTimer *feedTimer = nullptr;
    QElapsedTimer clock;
    // The current session's connections, and whether its IP link is up.
    ConnectionWatch connections;
    bool linkUp = false;
    QTimer *drainTimer = nullptr;
    bool draining = false;
    qint64 drainStartNs = 0;
    qint64 lastInputNs = 0;
};
