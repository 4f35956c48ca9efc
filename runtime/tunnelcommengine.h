// Bridges one serial port (usually the hidden end of a virtual pair) to the
// device's data connection, with an optional control connection.
#pragma once

#include "config/serialsettings.h"
#include "platform/keepalive.h"
#include "runtime/serialportsetup.h"
#include "runtime/serialpump.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QSerialPort>
#include <QString>

class QTcpSocket;
class QTimer;
class VSPInterface;
class WorkThreadIP;

class TunnelCommEngine : public QObject
{
    Q_OBJECT
public:
    explicit TunnelCommEngine(QObject *parent = nullptr);
    ~TunnelCommEngine() override;

    // The one parser of serial parameter strings, which belongs to the configuration
    // (parseSerialSettings); kept here under the name its callers know.
    static bool parseCommParams(const QString &params, qint32 *baud = nullptr,
                                QSerialPort::StopBits *stop = nullptr, QSerialPort::Parity *parity = nullptr,
                                QSerialPort::FlowControl *flow = nullptr,
                                QSerialPort::DataBits *bits = nullptr, unsigned long *wiring = nullptr,
                                bool *strict = nullptr)
    {
        return parseSerialSettings(params, baud, stop, parity, flow, bits, wiring, strict);
    }

    // The application's port driver interface, shared by every engine of the
    // process. Null (or not loaded) means: open the configured port as it is.
    static void setVSPInterface(VSPInterface *vsp);
    static VSPInterface *vspInterface();

    // Chunk handed to either writing side at a time.
    static constexpr int kChunkSize = ChunkPump::kChunkSize;
    // Most bytes an engine holds for one direction. At the cap it stops
    // reading the source, so the writer is held back by the port driver or
    // by TCP's flow control instead of piling bytes up here.
    static constexpr int kBufferCap = 1 << 20;
    // What the port or socket object may read ahead of the engine; beyond it
    // that object stops reading from its descriptor too.
    static constexpr int kSourceReadAhead = 64 * 1024;
    // The largest size either buffer of any engine of the process has
    // reached (held bytes are the engine's memory under back-pressure).
    static int bufferHighWater();

    void setOwner(WorkThreadIP *worker) { owner = worker; }
    void setCommPort(const QString &port, const QString &params);
    void setDataTarget(const QString &target);
    void setSignalTarget(const QString &target);
    // Keep-alive times and receive window of the connections (a PPP line's
    // sizing); the defaults without a call.
    void setLineKeepalive(const LineKeepalive &k) { keepalive = k; }
    bool startEngine();
    void terminateEngine();
    bool isReady() const;
    QString portName() const { return comPort; }

signals:
    void engineReady();
    void error(QString err);

public slots:
    void commReadyRead();
    void commBytesWritten(qint64 bytes);
    void dataTerminalReadyChanged(bool set);
    void requestToSendChanged(bool set);
    void dataSocketConnected();
    void dataSocketDisconnected();
    void dataSocketError(QAbstractSocket::SocketError serror);
    void dataReadyRead();
    void dataBytesWritten(qint64 bytes);
    void sigSocketConnected();
    void sigSocketDisconnected();
    void sigSocketError(QAbstractSocket::SocketError serror);
    void sigReadyRead();
    void sigBytesWritten(qint64 bytes);
    void restartTimer();
    void onSerialError(QSerialPort::SerialPortError error);

private:
    // Opens the port: once = one attempt; otherwise the first attempt is made
    // at once and failed ones are retried a second apart from the event
    // loop, where finishStart completes the start (Pending) or gives up.
    enum class OpenResult { Opened, Failed, Pending };
    OpenResult openPort(bool once);
    // One attempt; on failure openFailure says why.
    bool openOnce();
    // One of the start's tries; arms the next one after a failure.
    bool openRetryAttempt();
    void openRetry();
    // The port is open: settings applied, connections made.
    void portOpened();
    void connectSockets();
    // The terminal the running driver has for driverEnd (starting the driver
    // when none answers); false when it has none.
    bool liveDriverEnd(QString *devicePath);
    void socketOptions(QTcpSocket *socket);
    int ownerState() const;
    QTcpSocket *createSocket(bool data);
    void socketError(QTcpSocket *socket, bool data, QAbstractSocket::SocketError serror);
    void socketDisconnected(QTcpSocket *socket, bool data);
    // Hands the front chunk of a buffer to its writer when nothing of it is
    // outstanding there any more (after a reconnect or a reopen dropped it).
    void resumeTcpWrite();
    void resumeComWrite();
    // Append to a direction's buffer and start its pump when it was idle.
    void queueForDevice(const QByteArray &bytes);
    void queueForPort(const QByteArray &bytes);
    // Hand what is due to the socket or the port, a turn's worth at most; a
    // rest is taken up by a continuation from the event loop.
    void pumpToDevice();
    void pumpToPort();
    void continuePump(bool toDevice);

    QTcpSocket *dataSocket = nullptr;
    LineKeepalive keepalive;
    QTcpSocket *sigSocket = nullptr;
    QSerialPort *serialPort = nullptr;
    SerialPortSettings serial;
    unsigned long wiring = 0xFFFFFFFFUL;
    bool strict = false;
    QString comPort;
    QHostAddress dataAddress;
    int dataPort = 0;
    QHostAddress sigAddress;
    int sigPort = 0;
    WorkThreadIP *owner = nullptr;
    ChunkPump data_com_tcp;
    ChunkPump data_tcp_com;
    int readyFlags = 0;
    // A continuation of either pump is posted (at most one each).
    bool deviceContinuation = false;
    bool portContinuation = false;
    // Inside the port's bytesWritten: the port writes what it holds right
    // after that signal and takes a full terminal for a lost port, so the
    // port's pump goes on from the event loop instead.
    bool inPortWritten = false;
    bool openingPort = false;
    // The driver's end this engine opens (upper case), empty for a port
    // opened as it is named.
    QString driverEnd;
    QString openFailure;
    QTimer *reopenTimer = nullptr;
    // Tries left of the start's open while it waits between failed ones.
    QTimer *openRetryTimer = nullptr;
    int openTriesLeft = 0;
};
