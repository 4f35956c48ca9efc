// The only speaker to the fiscal device: finds it on a serial port by trying line settings, reads its
// communication settings, writes new ones, waits for its restart and reopens it. Two state machines
// driven by single-shot timers run in a worker thread of their own that lives from start-up to exit.
//
// Threads: startDetect, startConfig, cancelCurrent, requestClose, isBusy, deviceData and
// currentConfig are called from the GUI thread; everything else runs in the worker thread. The three
// report signals reach the GUI queued. A machine is busy from the start call until it has emitted its
// last report (busy is cleared before that signal), so a page that received deviceReady or
// errorDetected may start the next machine at once.
#pragma once

#include "wizard/tavreldeviceinstance.h"
#include "wizard/tavrelrequest.h"

#include <QList>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>

class QSocketNotifier;
class QThread;
class QTimer;
class SerialPortManager;
class TavrelCMLoader;
class VSPInterface;

// What the wizard's set-up page hands to startConfig: the values of its fields.
struct TavrelWriteSettings {
    // Serial parameter strings of the device COM tunnels ("115200,8,N,1,N", a "/..." tail ignored);
    // empty when that tunnel is not wanted.
    QString com1Settings;
    QString com2Settings;
    // The transaction-monitor tunnel is wanted.
    bool trlog = false;
    // The device's new TCP/IP settings.
    QString deviceIp;
    QString gateway;
    QString netmask;
    // New serial settings of the device port that links it to the PC (RS232 link only); empty: the
    // port is not changed.
    QString newPortSettings;
};

class TavrelDeviceComm : public QObject
{
    Q_OBJECT
public:
    // The device's settings as read: request name ("com1", "com2", "pc", "trlog", "tcpip", "tun0",
    // "tun1") -> response field -> value. A request that failed is absent.
    using DeviceData = QMap<QString, QMap<QString, QString>>;

    // errorDetected statuses.
    enum ErrorStatus : long { NotFound = 1, CommFailure = 2, Cancelled = 4 };

    explicit TavrelDeviceComm(QObject *parent = nullptr);
    // Ends the worker thread (stopWorker) when it still runs.
    ~TavrelDeviceComm() override;

    // Start-up, in this order: setLoader, setDebugSettings, setPortServices, startWorker.
    void setLoader(TavrelCMLoader *loader) { m_loader = loader; }
    // The application's debug settings map: "prnlogging" (library debug level), "prnfilename".
    void setDebugSettings(const QMap<QString, QString> &settings) { m_debugSettings = settings; }
    // The virtual port interface and the inventory used by a detection without a port (not owned;
    // either may be null: the search then skips that filter / uses a private inventory).
    void setPortServices(VSPInterface *vsp, SerialPortManager *ports);
    // Creates the thread, moves this object into it, wires it and starts it. No parent allowed.
    void startWorker();
    // Shutdown (GUI thread, before the library is unloaded): cancels a running machine, closes the
    // device in the worker thread, ends the thread and waits for it; the object is back in the
    // calling thread afterwards and may be deleted there. Safe to call twice.
    void stopWorker();

    // Starts a detection: port and params given -> that one combination; port only -> the 24
    // combinations of that port; no port -> every port of the inventory (Bluetooth only with bt).
    // False (nothing started) while a machine is busy.
    bool startDetect(const QString &port, const QString &params, bool bt);
    // Starts the configuration after a successful detection, writing what the settings and the
    // read-out ask for. False (nothing started) while a machine is busy; a read-out that lacks what
    // the writes need is refused with errorDetected(2, ...) and returns true (the machine ran).
    bool startConfig(const TavrelWriteSettings &settings);
    // Logs "Cancel requested"; a running machine stops at its next step with errorDetected(4, ...).
    void cancelCurrent();
    // The wizard ends: cancels a running machine and closes the device (queued to the worker).
    void requestClose();
    bool isBusy() const { return m_busy.load(); }

    // The read-out after deviceReady("Done") (a copy; idle worker).
    DeviceData deviceData() const;
    // The library line settings text the device was last opened with, "PORT,baud,bits,parity,stop,flow".
    QString currentConfig() const;

    // A device COM map ("sp", "da", "pa", "st", "fl") as a serial parameter string, e.g.
    // "115200,8,N,1,R".
    static QString deviceComParams(const QMap<QString, QString> &com);
    // The device's link to the PC from a read-out: 0 USB, 1 its COM1, 2 its COM2; -1 when "pc" or its
    // "id" is missing.
    static int linkType(const DeviceData &data);
    // The device's parameter pairs for a serial parameter string: "sp", "st", "da", "pa", "fl".
    static QStringList deviceParamsFromSettings(const QString &settings);
    // The 24 combinations of one port, 9600 first.
    static QStringList portCombinations(const QString &port);
    // The read-out requests in their order.
    static QList<RequestEntry> readoutRequests();

    // The configuration's requests built from a read-out and the page's settings: the write queue, the
    // port change (empty command when none) and the PC-interface switch. False with *error (a text for
    // the user) when the read-out lacks what they need or a value would break a request apart.
    struct WriteData {
        QList<RequestEntry> writeQueue;
        RequestEntry portChangeRequest;
        QString newPortSettings;
        RequestEntry pcInterfaceRequest;
        bool closePortForRestart = false;
    };
    static bool buildWriteData(const DeviceData &readout, const TavrelWriteSettings &settings, WriteData *out,
                               QString *error);

signals:
    void errorDetected(long status, QString what);
    void deviceReady(QString name);
    void progressEvent(double value, QString message);
    // Internal wiring to the worker thread.
    void startDetectionProcess();
    void startMachineConfig();
    void closeRequested();
    void finished();

public slots:
    void machineDetection();
    void machineConfig();
    void closeDevice();
    // Closes the device if open, else logs "Device already closed".
    void finalizeWorkAndCleanup();
    void deviceEvent(int handle);

private:
    int createAndOpenDevice(const QString &text);
    int postRequest(TavrelRequest *request);
    QString sendRequest(const QString &command, const QStringList &params, const QString &name);
    QString sendRequest(const RequestEntry &entry);
    int waitRequestCompleted();
    void requestResults(TavrelRequest *request, QMap<QString, QString> &map);
    bool fixIOsettings();
    QString errorText(unsigned int code) const;
    void addPortCombinations(const QString &port);
    QStringList inventoryPorts(bool bt);
    void retryDetection(int ms);
    void retryConfig(int ms);
    // Ends the running machine: clears busy, then emits the report.
    void endWithError(long status, const QString &what);
    void endWithReady(const QString &name);
    // Ends the configuration: "Błąd komunikacji z urządzeniem: " + value, the device closed.
    void failConfig(const QString &value);
    void failConfigWith(const QString &message);
    bool checkCancel();
    void showInstructions(const QString &resource);
    void setCurrentConfig(const QString &text);

    TavrelCMLoader *m_loader = nullptr;
    QMap<QString, QString> m_debugSettings;
    VSPInterface *m_vsp = nullptr;
    SerialPortManager *m_ports = nullptr;
    QThread *m_thread = nullptr;
    TavrelDeviceInstance m_instance;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_detectTimer = nullptr;
    QTimer *m_configTimer = nullptr;

    mutable QMutex m_dataLock; // deviceData and the current parameter text, read by the GUI thread
    QString m_currentConfig;
    DeviceData m_deviceData;
    // A start handed over by the GUI thread, taken by the machine's first step (same lock).
    bool m_pendingDetect = false;
    QStringList m_pendingCombinations;
    bool m_pendingConfig = false;
    WriteData m_pendingWrite;
    QString m_pendingConfigError;

    QStringList m_combinations;
    int m_total = 0;
    int m_detectionState = 0;
    int m_detectionIter = 0;
    QList<RequestEntry> m_readoutQueue;

    std::atomic<bool> m_cancelRequested{false};
    std::atomic<bool> m_busy{false};

    int m_configState = 0;
    int m_configIter = 0;
    QList<RequestEntry> m_writeQueue;
    RequestEntry m_portChangeRequest;
    QString m_newPortSettings;
    RequestEntry m_pcInterfaceRequest;
    bool m_closePortForRestart = false;
    bool m_portClosed = false;
};
