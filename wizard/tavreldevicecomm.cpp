#include "wizard/tavreldevicecomm.h"

#include "config/serialsettings.h"
#include "log/debug_class.h"
#include "ports/serialportmanager.h"
#include "ports/vspinterface.h"
#include "wizard/tavrelcmloader.h"

#include <QCoreApplication>
#include <QFile>
#include <QMutexLocker>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <poll.h>
#include <unistd.h>

namespace
{
const unsigned kStateQueued = 0x19000;
const unsigned kStateOnLine = 0x19001;
const unsigned kNoAnswer = 0x10003;
const unsigned kBadParamText = 0x1000C;

const char kNotFound[] = "Nie wykryto urządzenia, sprawdź połączenie lub spróbuj innych ustawień.";
const char kCommError[] = "Błąd komunikacji z urządzeniem: %1";
const char kCommTimeout[] = "Błąd komunikacji z urządzeniem: Timeout";
const char kCancelled[] = "Anulowano przez użytkownika.";
const char kRestartText[] = "Trwa oczekiwanie na restart urządzenia....";
const char kReadoutMissing[] = "Błąd odczytu konfiguracji urządzenia: brak wartości %1.";
const char kReadoutBadValue[] = "Błąd odczytu konfiguracji urządzenia: niedozwolony znak w wartości %1.";
const char kBadSetting[] = "Nieprawidłowa wartość ustawienia: %1";

QString hex8(unsigned v)
{
    return QStringLiteral("%1").arg(v, 8, 16, QLatin1Char('0'));
}

bool breaksRequest(const QString &v)
{
    return v.contains(QLatin1Char(',')) || v.contains(QLatin1Char('\n')) || v.contains(QLatin1Char('\r'));
}

// What the writes and the flow-control check need of a read-out; empty when all is there.
QString missingReadout(const TavrelDeviceComm::DeviceData &data)
{
    const auto pc = data.value(QStringLiteral("pc"));
    if (!pc.contains(QStringLiteral("id")))
        return QStringLiteral("pc/id");
    if (pc.value(QStringLiteral("id")) == QLatin1String("1")) {
        if (!pc.contains(QStringLiteral("no")))
            return QStringLiteral("pc/no");
        const QString com = pc.value(QStringLiteral("no")) == QLatin1String("1") ? QStringLiteral("com1")
                                                                                 : QStringLiteral("com2");
        for (const char *f : {"sp", "da", "pa", "st", "fl"})
            if (!data.value(com).contains(QLatin1String(f)))
                return com + QLatin1Char('/') + QLatin1String(f);
    }
    if (!data.value(QStringLiteral("tcpip")).contains(QStringLiteral("id")))
        return QStringLiteral("tcpip/id");
    return QString();
}
} // namespace

TavrelDeviceComm::TavrelDeviceComm(QObject *parent) : QObject(parent)
{
    m_detectTimer = new QTimer(this);
    m_detectTimer->setSingleShot(true);
    connect(m_detectTimer, &QTimer::timeout, this, &TavrelDeviceComm::machineDetection);
    m_configTimer = new QTimer(this);
    m_configTimer->setSingleShot(true);
    connect(m_configTimer, &QTimer::timeout, this, &TavrelDeviceComm::machineConfig);
}

TavrelDeviceComm::~TavrelDeviceComm()
{
    stopWorker();
}

void TavrelDeviceComm::setPortServices(VSPInterface *vsp, SerialPortManager *ports)
{
    m_vsp = vsp;
    m_ports = ports;
}

void TavrelDeviceComm::startWorker()
{
    if (m_thread)
        return;
    m_thread = new QThread;
    moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
    connect(this, &TavrelDeviceComm::finished, m_thread, &QThread::quit);
    connect(this, &TavrelDeviceComm::finished, this, &TavrelDeviceComm::finalizeWorkAndCleanup);
    connect(this, &TavrelDeviceComm::startDetectionProcess, this, &TavrelDeviceComm::machineDetection);
    connect(this, &TavrelDeviceComm::startMachineConfig, this, &TavrelDeviceComm::machineConfig);
    connect(this, &TavrelDeviceComm::closeRequested, this, &TavrelDeviceComm::closeDevice);
    m_thread->start(QThread::InheritPriority);
}

void TavrelDeviceComm::stopWorker()
{
    m_cancelRequested = true;
    if (!m_thread) {
        finalizeWorkAndCleanup();
        return;
    }
    QThread *target = QThread::currentThread();
    // The device is closed and the timers stopped in the worker's own thread; the object then comes
    // back to the caller so that it can be deleted there once the thread is gone.
    QMetaObject::invokeMethod(
        this,
        [this, target] {
            m_detectTimer->stop();
            m_configTimer->stop();
            finalizeWorkAndCleanup();
            moveToThread(target);
        },
        Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
    m_thread = nullptr;
    m_busy = false;
}

bool TavrelDeviceComm::startDetect(const QString &port, const QString &params, bool bt)
{
    bool idle = false;
    if (!m_busy.compare_exchange_strong(idle, true)) {
        VLOG(-10) << "Detection refused: the device worker is busy";
        return false;
    }
    QStringList combinations;
    if (!port.isEmpty() && !params.isEmpty()) {
        combinations << port + QLatin1Char(',') + params;
    } else if (!port.isEmpty()) {
        combinations = portCombinations(port);
    } else {
        for (const QString &p : inventoryPorts(bt))
            combinations << portCombinations(p);
    }
    {
        QMutexLocker lock(&m_dataLock);
        m_pendingCombinations = combinations;
        m_pendingDetect = true;
    }
    m_cancelRequested = false;
    emit startDetectionProcess();
    return true;
}

QStringList TavrelDeviceComm::inventoryPorts(bool bt)
{
    SerialPortManager local;
    SerialPortManager *ports = m_ports ? m_ports : &local;
    QVector<VSPPortPair> pairs;
    if (m_vsp) {
        m_vsp->updatePortList();
        pairs = m_vsp->portList();
    }
    QStringList list = ports->serialPorts(true, false);
    ports->filterVirtualPorts(list, pairs, false);
    ports->removeCom0comPorts(list);
    if (!bt)
        ports->removeBluetoothPorts(list);
    ports->moveMakerPortFirst(list);
    QStringList names;
    for (const QString &entry : qAsConst(list))
        names << entry.section(QLatin1Char(' '), 0, 0);
    return names;
}

QStringList TavrelDeviceComm::portCombinations(const QString &port)
{
    QStringList out;
    for (int baud : {9600, 115200, 57600, 38400, 19200, 4800, 2400, 1200})
        for (const char *tail : {",8,N,1,R", ",8,N,1,S", ",8,N,1,N"})
            out << port + QLatin1Char(',') + QString::number(baud) + QLatin1String(tail);
    return out;
}

QList<RequestEntry> TavrelDeviceComm::readoutRequests()
{
    const QString no = QStringLiteral("no");
    const QString sp = QStringLiteral("sp");
    return {
        {QStringLiteral("com1"), QStringLiteral("comcfgget"), {no, QStringLiteral("1")}},
        {QStringLiteral("com2"), QStringLiteral("comcfgget"), {no, QStringLiteral("2")}},
        {QStringLiteral("pc"), QStringLiteral("pccfgget"), {}},
        {QStringLiteral("trlog"), QStringLiteral("trlogget"), {}},
        {QStringLiteral("tcpip"), QStringLiteral("tcpipcfgget"), {}},
        {QStringLiteral("tun0"), QStringLiteral("tunnelget"), {sp, QStringLiteral("0")}},
        {QStringLiteral("tun1"), QStringLiteral("tunnelget"), {sp, QStringLiteral("1")}},
    };
}

bool TavrelDeviceComm::startConfig(const TavrelWriteSettings &settings)
{
    bool idle = false;
    if (!m_busy.compare_exchange_strong(idle, true)) {
        VLOG(-10) << "Configuration refused: the device worker is busy";
        return false;
    }
    WriteData data;
    QString error;
    const bool ok = buildWriteData(deviceData(), settings, &data, &error);
    {
        QMutexLocker lock(&m_dataLock);
        m_pendingWrite = data;
        m_pendingConfigError = ok ? QString() : error;
        m_pendingConfig = true;
    }
    m_cancelRequested = false;
    emit startMachineConfig();
    return true;
}

void TavrelDeviceComm::cancelCurrent()
{
    VLOG(4) << "Cancel requested";
    m_cancelRequested = true;
}

void TavrelDeviceComm::requestClose()
{
    if (m_busy)
        cancelCurrent();
    emit closeRequested();
}

TavrelDeviceComm::DeviceData TavrelDeviceComm::deviceData() const
{
    QMutexLocker lock(&m_dataLock);
    return m_deviceData;
}

QString TavrelDeviceComm::currentConfig() const
{
    QMutexLocker lock(&m_dataLock);
    return m_currentConfig;
}

void TavrelDeviceComm::setCurrentConfig(const QString &text)
{
    QMutexLocker lock(&m_dataLock);
    m_currentConfig = text;
}

QString TavrelDeviceComm::deviceComParams(const QMap<QString, QString> &com)
{
    const QString pa = com.value(QStringLiteral("pa"));
    const QString fl = com.value(QStringLiteral("fl"));
    const QChar parity = pa == QLatin1String("1")   ? QLatin1Char('O')
                         : pa == QLatin1String("2") ? QLatin1Char('E')
                                                    : QLatin1Char('N');
    QChar flow = QLatin1Char('N');
    if (fl == QLatin1String("1"))
        flow = QLatin1Char('R');
    else if (fl == QLatin1String("2"))
        flow = QLatin1Char('H');
    else if (fl == QLatin1String("3"))
        flow = QLatin1Char('S');
    return QStringList{com.value(QStringLiteral("sp")), com.value(QStringLiteral("da")), parity,
                       com.value(QStringLiteral("st")), flow}
        .join(QLatin1Char(','));
}

int TavrelDeviceComm::linkType(const DeviceData &data)
{
    const auto pc = data.value(QStringLiteral("pc"));
    if (!pc.contains(QStringLiteral("id")))
        return -1;
    if (pc.value(QStringLiteral("id")) != QLatin1String("1"))
        return 0;
    return pc.value(QStringLiteral("no")) == QLatin1String("1") ? 1 : 2;
}

QStringList TavrelDeviceComm::deviceParamsFromSettings(const QString &settings)
{
    qint32 baud = 0;
    QSerialPort::StopBits stop = QSerialPort::OneStop;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::FlowControl flow = QSerialPort::NoFlowControl;
    QSerialPort::DataBits bits = QSerialPort::Data8;
    parseSerialSettings(settings, &baud, &stop, &parity, &flow, &bits);
    const QString pa = parity == QSerialPort::EvenParity  ? QStringLiteral("2")
                       : parity == QSerialPort::OddParity ? QStringLiteral("1")
                                                          : QStringLiteral("0");
    const QString fl = flow == QSerialPort::HardwareControl   ? QStringLiteral("1")
                       : flow == QSerialPort::SoftwareControl ? QStringLiteral("3")
                                                              : QStringLiteral("0");
    return {QStringLiteral("sp"), QString::number(baud),
            QStringLiteral("st"), stop == QSerialPort::TwoStop ? QStringLiteral("2") : QStringLiteral("1"),
            QStringLiteral("da"), bits == QSerialPort::Data7 ? QStringLiteral("7") : QStringLiteral("8"),
            QStringLiteral("pa"), pa,
            QStringLiteral("fl"), fl};
}

bool TavrelDeviceComm::buildWriteData(const DeviceData &readout, const TavrelWriteSettings &settings,
                                      WriteData *out, QString *error)
{
    *out = WriteData();
    const QString missing = missingReadout(readout);
    if (!missing.isEmpty()) {
        *error = QString::fromUtf8(kReadoutMissing).arg(missing);
        return false;
    }
    const auto tcpip = readout.value(QStringLiteral("tcpip"));
    for (const char *f : {"id", "no"})
        if (breaksRequest(tcpip.value(QLatin1String(f)))) {
            *error = QString::fromUtf8(kReadoutBadValue).arg(QStringLiteral("tcpip/") + QLatin1String(f));
            return false;
        }
    for (const QString &v : {settings.deviceIp, settings.gateway, settings.netmask})
        if (breaksRequest(v)) {
            *error = QString::fromUtf8(kBadSetting).arg(v);
            return false;
        }
    for (const QString &s : {settings.com1Settings, settings.com2Settings, settings.newPortSettings})
        if (!s.isEmpty() && !parseSerialSettings(s)) {
            *error = QString::fromUtf8(kBadSetting).arg(s);
            return false;
        }

    const int k = linkType(readout);
    out->closePortForRestart = k == 0;
    const QString no = QStringLiteral("no");
    const QString sp = QStringLiteral("sp");
    const QString en = QStringLiteral("en");
    const QString da = QStringLiteral("da");
    const QString di = QStringLiteral("di");
    const QString id = QStringLiteral("id");
    if (!settings.com1Settings.isEmpty() && k != 1) {
        out->writeQueue << RequestEntry{QStringLiteral("com1cfg_set"), QStringLiteral("comcfgset"),
                                        QStringList{no, QStringLiteral("1")} +
                                            deviceParamsFromSettings(settings.com1Settings)};
        out->writeQueue << RequestEntry{QStringLiteral("tun1_set"),
                                        QStringLiteral("tunnelset"),
                                        {sp, QStringLiteral("0"), en, QStringLiteral("1"), da,
                                         QStringLiteral("1100"), di, QStringLiteral("1101")}};
    }
    if (!settings.com2Settings.isEmpty() && k != 2) {
        out->writeQueue << RequestEntry{QStringLiteral("com2cfg_set"), QStringLiteral("comcfgset"),
                                        QStringList{no, QStringLiteral("2")} +
                                            deviceParamsFromSettings(settings.com2Settings)};
        out->writeQueue << RequestEntry{QStringLiteral("tun2_set"),
                                        QStringLiteral("tunnelset"),
                                        {sp, QStringLiteral("1"), en, QStringLiteral("1"), da,
                                         QStringLiteral("1102"), di, QStringLiteral("1103")}};
    }
    if (settings.trlog)
        out->writeQueue << RequestEntry{QStringLiteral("trlog_set"),
                                        QStringLiteral("trlogset"),
                                        {id, QStringLiteral("4"), no, QStringLiteral("7777")}};
    QStringList tcp{id, tcpip.value(id)};
    if (tcpip.contains(no))
        tcp << no << tcpip.value(no);
    tcp << QStringLiteral("dh") << QStringLiteral("0") << QStringLiteral("ip") << settings.deviceIp
        << QStringLiteral("ge") << settings.gateway << QStringLiteral("ma") << settings.netmask;
    out->writeQueue << RequestEntry{QStringLiteral("tcpip_set"), QStringLiteral("tcpipcfgset"), tcp};

    if (k != 0 && !settings.newPortSettings.isEmpty()) {
        out->portChangeRequest = RequestEntry{QStringLiteral("comcfgdev"), QStringLiteral("comcfgset"),
                                              QStringList{no, QString::number(k)} +
                                                  deviceParamsFromSettings(settings.newPortSettings)};
        out->newPortSettings = settings.newPortSettings;
    }
    out->pcInterfaceRequest = RequestEntry{QStringLiteral("pccfgset"),
                                           QStringLiteral("pccfgset"),
                                           {id, QStringLiteral("4"), no, QStringLiteral("6666")}};
    return true;
}

// ---- device access (worker thread) ----

int TavrelDeviceComm::createAndOpenDevice(const QString &config)
{
    QString text = config;
    if (text.endsWith(QLatin1Char('H'))) {
        const QString fixed = text.left(text.size() - 1) + QLatin1Char('R');
        VLOG(6) << "Fix SPORT settings from: " << text << " to " << fixed;
        text = fixed;
    }
    setCurrentConfig(text);
    VLOG(6) << "Openning device with config: " << text;

    VNK_HANDLE device = m_loader->VNK_CreateDeviceHandle(VNK_DEVICE_RS232);
    if (!device) {
        VLOG(-10) << "Could not create device for type RS232";
        return -1;
    }
    m_instance.deviceHandle = device;
    const unsigned level = m_debugSettings.value(QStringLiteral("prnlogging")).toUInt() & ~1u;
    m_loader->VNK_SetDebugLevel(device, level);
    m_loader->VNK_SetDebugFileName(
        device,
        (m_debugSettings.value(QStringLiteral("prnfilename")) + QLatin1Char('+')).toLocal8Bit().constData());

    const unsigned rc = m_loader->VNK_SetDeviceParam(device, VNK_PARAM_LINE, text.toLocal8Bit().constData());
    if (rc != 0) {
        VLOG(-10) << "Could not set device params to: " << text << " - result code: " << rc;
        closeDevice();
        return int(rc);
    }
    VNK_HANDLE open = m_loader->VNK_OpenDevice(device);
    if (!open) {
        unsigned code = m_loader->VNK_GetError(device);
        VLOG(-10) << "Could not open device: " << code;
        closeDevice();
        return code ? int(code) : -1;
    }
    m_instance.openHandle = open;
    const unsigned ev = m_loader->VNK_SetEventHandlingMode(open, 1);
    if (ev != 0) {
        VLOG(-10) << "Could not enable event handler - result code: " << ev;
        closeDevice();
        return int(ev);
    }
    const intptr_t fd = m_loader->VNK_GetEvent(open);
    if (fd >= 0) {
        m_notifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this,
                [this](QSocketDescriptor socket) { deviceEvent(int(qintptr(socket))); });
    }
    const qint32 answerTimeout = 5;
    m_loader->VNK_SetDeviceParam(open, VNK_PARAM_ANSWER_TIMEOUT, &answerTimeout);
    QThread::msleep(1000);
    return 0;
}

void TavrelDeviceComm::closeDevice()
{
    VLOG(6) << "Closing device handles";
    if (m_notifier) {
        m_notifier->setEnabled(false);
        // Deleted now rather than later: a worker thread that ends next would never get to it.
        delete m_notifier;
        m_notifier = nullptr;
    }
    if (m_instance.openHandle)
        m_loader->VNK_CloseDevice(m_instance.openHandle);
    if (m_instance.deviceHandle)
        m_loader->VNK_DestroyDeviceHandle(m_instance.deviceHandle);
    m_instance.clear();
}

void TavrelDeviceComm::finalizeWorkAndCleanup()
{
    if (m_instance.isOpen() || m_instance.deviceHandle)
        closeDevice();
    else
        VLOG(6) << "Device already closed";
}

void TavrelDeviceComm::deviceEvent(int handle)
{
    // Reading the eventfd resets it; it is non-blocking, and polled first all the same.
    pollfd p{handle, POLLIN, 0};
    if (::poll(&p, 1, 0) == 1) {
        quint64 value = 0;
        if (::read(handle, &value, sizeof value) < 0)
            VLOG(10) << "Device event not reset";
    }
    VLOG(16) << "Device event";
}

int TavrelDeviceComm::postRequest(TavrelRequest *request)
{
    VLOG(6) << "Posting request with command: " << request->command;
    if (!m_instance.isOpen()) {
        VLOG(-10) << "Device is not open on request post! ";
        return -1;
    }
    QString bad;
    if (!request->isWellFormed(&bad)) {
        // A "," or a line break in a value would split it into other parameters.
        VLOG(-10) << "Request parameter refused: " << bad;
        return int(kBadParamText);
    }
    VNK_HANDLE h =
        m_loader->VNK_CreateRequestEx(m_instance.openHandle, request->command.toLocal8Bit().constData(),
                                      request->paramText().toLocal8Bit().constData());
    if (!h) {
        const unsigned code = m_loader->VNK_GetError(m_instance.openHandle);
        VLOG(-10) << "Cannot create printer request: " << code;
        return code ? int(code) : -1;
    }
    const unsigned rc = m_loader->VNK_PostRequest(h, 0);
    if (rc != 0) {
        m_loader->VNK_DestroyRequest(h);
        VLOG(-10) << "Cannot create printer request: " << rc;
        return int(rc);
    }
    request->handle = h;
    return 0;
}

QString TavrelDeviceComm::errorText(unsigned code) const
{
    const char *details = m_loader->VNK_GetErrorString(code, "pl");
    const QString text =
        details && *details ? QString::fromLocal8Bit(details) : QStringLiteral("Brak szczegółów.");
    return QStringLiteral("Błąd wykonania %1. Szczegóły: %2").arg(hex8(code), text);
}

QString TavrelDeviceComm::sendRequest(const QString &command, const QStringList &params, const QString &name)
{
    auto *request = new TavrelRequest(name, command, params);
    const int rc = postRequest(request);
    if (rc != 0) {
        delete request;
        return errorText(unsigned(rc));
    }
    m_instance.setRequest(request);
    return QString();
}

QString TavrelDeviceComm::sendRequest(const RequestEntry &entry)
{
    return sendRequest(entry.command, entry.params, entry.name);
}

int TavrelDeviceComm::waitRequestCompleted()
{
    TavrelRequest *request = m_instance.request();
    if (!request)
        return -1;
    VLOG(10) << QStringLiteral("Waiting for request: %1").arg(request->name);
    if (m_loader->VNK_WaitForRequestCompleted(request->handle, 200) != 0)
        return -1;
    const unsigned status = m_loader->VNK_GetRequestStatus(request->handle);
    if (status != 0) {
        VLOG(-10) << QStringLiteral("Command failure result on reception: 0x%1").arg(hex8(status));
        return int(status);
    }
    return 0;
}

void TavrelDeviceComm::requestResults(TavrelRequest *request, QMap<QString, QString> &map)
{
    map.clear();
    QByteArray name(32, '\0');
    QByteArray value(65536, '\0');
    unsigned rc = 0;
    while ((rc = m_loader->VNK_PopResponseValue(request->handle, name.data(), value.data(), 65535)) == 0)
        map.insert(QString::fromLocal8Bit(name.constData()), QString::fromLocal8Bit(value.constData()));
    VLOG(10) << "Request result: " << rc;
    QStringList pairs;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        pairs << QStringLiteral("%1=%2").arg(it.key(), it.value());
    VLOG(10) << "Request results: " << pairs.join(QLatin1Char(','));
}

bool TavrelDeviceComm::fixIOsettings()
{
    const DeviceData data = deviceData();
    const auto pc = data.value(QStringLiteral("pc"));
    if (pc.value(QStringLiteral("id")) != QLatin1String("1"))
        return true;
    const int n = pc.value(QStringLiteral("no")) == QLatin1String("1") ? 1 : 2;
    const QString device =
        deviceComParams(data.value(n == 1 ? QStringLiteral("com1") : QStringLiteral("com2")));
    const QString current = currentConfig();
    const QString port = current.section(QLatin1Char(','), 0, 0);
    const QString detected = current.section(QLatin1Char(','), 1);
    QSerialPort::FlowControl deviceFlow = QSerialPort::NoFlowControl;
    QSerialPort::FlowControl detectedFlow = QSerialPort::NoFlowControl;
    const bool deviceOk = parseSerialSettings(device, nullptr, nullptr, nullptr, &deviceFlow);
    parseSerialSettings(detected, nullptr, nullptr, nullptr, &detectedFlow);
    if (deviceOk && deviceFlow == detectedFlow)
        return true;
    VLOG(4) << "Changing comm mode to read-out from detected due to flow-control mismatch from: " << detected
            << " to " << device << " port " << port;
    closeDevice();
    const QString text = port + QLatin1Char(',') + device;
    if (createAndOpenDevice(text) != 0) {
        VLOG(-10) << "Mode change failed for: " << text;
        return false;
    }
    return true;
}

// ---- the machines (worker thread) ----

void TavrelDeviceComm::retryDetection(int ms)
{
    m_detectTimer->start(ms);
}

void TavrelDeviceComm::retryConfig(int ms)
{
    m_configTimer->start(ms);
}

void TavrelDeviceComm::endWithError(long status, const QString &what)
{
    m_busy = false;
    emit errorDetected(status, what);
}

void TavrelDeviceComm::endWithReady(const QString &name)
{
    m_busy = false;
    emit deviceReady(name);
}

bool TavrelDeviceComm::checkCancel()
{
    if (!m_cancelRequested)
        return false;
    m_detectTimer->stop();
    m_configTimer->stop();
    closeDevice();
    endWithError(Cancelled, QString::fromUtf8(kCancelled));
    return true;
}

void TavrelDeviceComm::machineDetection()
{
    bool fresh = false;
    {
        QMutexLocker lock(&m_dataLock);
        if (m_pendingDetect) {
            m_pendingDetect = false;
            m_combinations = m_pendingCombinations;
            m_pendingCombinations.clear();
            fresh = true;
        }
    }
    if (fresh) {
        m_configTimer->stop();
        m_readoutQueue = readoutRequests();
        m_detectionState = 0;
        m_total = m_combinations.size();
    } else if (!m_busy) {
        return; // a step left over from a machine that has ended
    }
    if (checkCancel())
        return;
    VLOG(10) << "Machine for detection called state=" << m_detectionState << " iter= " << m_detectionIter;
    const QString notFound = QString::fromUtf8(kNotFound);

    switch (m_detectionState) {
    case 0: {
        closeDevice();
        while (!m_combinations.isEmpty()) {
            // Each opening takes a second: a long search stays cancellable between them.
            if (checkCancel())
                return;
            const QString combination = m_combinations.first();
            emit progressEvent(double(m_combinations.size() - m_total) / m_total,
                               QStringLiteral("Sprawdzam: ") + combination);
            if (createAndOpenDevice(combination) != 0) {
                VLOG(6) << "Cannot use this combination, retry with next";
                m_combinations.removeFirst();
                closeDevice();
                continue;
            }
            if (sendRequest(QStringLiteral("!sdev"), {}, QStringLiteral("sdev")).isEmpty()) {
                m_detectionState = 1;
                m_detectionIter = 5;
                retryDetection(200);
            } else {
                closeDevice();
                endWithError(CommFailure, notFound);
            }
            return;
        }
        endWithError(NotFound, notFound);
        return;
    }
    case 1:
    case 3: {
        TavrelRequest *request = m_instance.request();
        if (!request) { // cannot happen: every path into these states posted one
            closeDevice();
            endWithError(CommFailure, notFound);
            return;
        }
        const bool readout = m_detectionState == 3;
        if (!readout)
            VLOG(10) << "Waiting for token: " << m_loader->VNK_GetRequestCommandSerial(request->handle);
        if (m_loader->VNK_WaitForRequestCompleted(request->handle, 200) != 0) {
            if (--m_detectionIter > 0) {
                retryDetection(200);
                return;
            }
            m_instance.dropRequest();
            if (readout) {
                m_detectionState = 0;
                closeDevice();
                endWithError(CommFailure, QString::fromUtf8(kCommTimeout));
                return;
            }
            m_combinations.removeFirst();
            m_detectionState = 0;
            retryDetection(200);
            return;
        }
        if (!readout)
            VLOG(10) << QStringLiteral("Request state: 0x%1")
                            .arg(hex8(m_loader->VNK_GetRequestState(request->handle)));
        const unsigned status = m_loader->VNK_GetRequestStatus(request->handle);
        if (status != 0) {
            VLOG(6) << QStringLiteral("Command failure result: 0x%1").arg(hex8(status));
            m_instance.dropRequest();
            if (readout) {
                m_readoutQueue.removeFirst(); // left out of deviceData
                m_detectionState = 2;
                retryDetection(10);
                return;
            }
            m_combinations.removeFirst();
            m_detectionState = 0;
            if (status == kNoAnswer)
                VLOG(6) << "Not found - send timeouted ";
            retryDetection(200);
            return;
        }
        QMap<QString, QString> results;
        if (readout) {
            VLOG(6) << "Results received";
            requestResults(request, results);
            {
                QMutexLocker lock(&m_dataLock);
                m_deviceData.insert(request->name, results);
            }
            m_instance.dropRequest();
            m_readoutQueue.removeFirst();
            m_detectionState = 2;
            retryDetection(10);
            return;
        }
        VLOG(4) << "Device detected ok";
        requestResults(request, results);
        const QString name = request->name;
        m_instance.dropRequest();
        if (name == QLatin1String("sid")) {
            if (!results.contains(QStringLiteral("nm"))) {
                closeDevice();
                endWithError(CommFailure, notFound);
                return;
            }
            emit progressEvent(0.0, QStringLiteral("Znaleziono: %1\nOdczytuję konfigurację.")
                                        .arg(results.value(QStringLiteral("nm"))));
            {
                QMutexLocker lock(&m_dataLock);
                m_deviceData.clear();
            }
            m_detectionState = 2;
            retryDetection(10);
            return;
        }
        const int ds = results.value(QStringLiteral("ds")).toInt();
        QString error;
        if (ds != 0) {
            emit progressEvent(
                0.0,
                ds == 1
                    ? QStringLiteral(
                          "Urządzenie niegotowe - w menu. Proszę opuścić menu w urządzeniu klawiszem 'C'.")
                    : QStringLiteral("Urządzenie niegotowe. Proszę usunąć przyczynę."));
            error = sendRequest(QStringLiteral("!sdev"), {}, QStringLiteral("sdev"));
        } else {
            error = sendRequest(QStringLiteral("sid"), {}, QStringLiteral("sid"));
        }
        if (!error.isEmpty()) {
            closeDevice();
            endWithError(CommFailure, notFound);
            return;
        }
        m_detectionState = 1;
        m_detectionIter = 5;
        retryDetection(200);
        return;
    }
    case 2: {
        if (!m_readoutQueue.isEmpty()) {
            const QString error = sendRequest(m_readoutQueue.first());
            if (error.isEmpty()) {
                m_detectionState = 3;
                m_detectionIter = 5;
                retryDetection(200);
            } else {
                closeDevice();
                endWithError(CommFailure, QString::fromUtf8(kCommError).arg(error));
            }
            return;
        }
        // What the configuration's writes need must have been read; a gap is a read-out failure
        // here, not a wrong default written later.
        const QString missing = missingReadout(deviceData());
        if (!missing.isEmpty()) {
            VLOG(-10) << "Read-out incomplete: " << missing;
            closeDevice();
            endWithError(CommFailure, QString::fromUtf8(kReadoutMissing).arg(missing));
            return;
        }
        if (!fixIOsettings()) {
            const QString current = currentConfig();
            closeDevice();
            endWithError(
                CommFailure,
                QStringLiteral(
                    "Ponowne otwarcie portu komunikacyjnego z urządzeniem dla ustawień '%1' zakończone niepowodzeniem.")
                    .arg(current));
            return;
        }
        endWithReady(QStringLiteral("Done"));
        return;
    }
    default:
        return;
    }
}

void TavrelDeviceComm::failConfig(const QString &value)
{
    failConfigWith(QString::fromUtf8(kCommError).arg(value));
}

void TavrelDeviceComm::failConfigWith(const QString &message)
{
    m_configTimer->stop();
    m_instance.dropRequest();
    closeDevice();
    endWithError(CommFailure, message);
}

void TavrelDeviceComm::showInstructions(const QString &resource)
{
    QFile file(QStringLiteral(":/") + resource);
    QString text;
    if (file.open(QIODevice::ReadOnly))
        text = QString::fromUtf8(file.readAll());
    else
        VLOG(-10) << "Unable to open file:" << resource << " : " << file.errorString();
    emit progressEvent(2.0, text);
}

void TavrelDeviceComm::machineConfig()
{
    bool fresh = false;
    QString refused;
    {
        QMutexLocker lock(&m_dataLock);
        if (m_pendingConfig) {
            m_pendingConfig = false;
            fresh = true;
            refused = m_pendingConfigError;
            m_writeQueue = m_pendingWrite.writeQueue;
            m_portChangeRequest = m_pendingWrite.portChangeRequest;
            m_newPortSettings = m_pendingWrite.newPortSettings;
            m_pcInterfaceRequest = m_pendingWrite.pcInterfaceRequest;
            m_closePortForRestart = m_pendingWrite.closePortForRestart;
            m_pendingWrite = WriteData();
        }
    }
    if (fresh) {
        m_detectTimer->stop();
        m_configState = 0;
        m_configIter = 5;
        m_portClosed = false;
    } else if (!m_busy) {
        return; // a step left over from a machine that has ended
    }
    if (checkCancel())
        return;
    if (!refused.isEmpty()) {
        VLOG(-10) << "Configuration refused: " << refused;
        closeDevice();
        endWithError(CommFailure, refused);
        return;
    }
    VLOG(10) << "Machine for setup called state=" << m_configState << " iter= " << m_configIter;

    switch (m_configState) {
    case 0:
        if (!m_writeQueue.isEmpty()) {
            const QString error = sendRequest(m_writeQueue.first());
            if (!error.isEmpty()) {
                failConfig(error);
                return;
            }
            m_configState = 1;
            m_configIter = 5;
            retryConfig(200);
            return;
        }
        emit progressEvent(2.0, QString::fromUtf8(kRestartText));
        m_configState = 2;
        m_configIter = 15;
        if (m_closePortForRestart) {
            closeDevice();
            m_portClosed = true;
        }
        retryConfig(2000);
        return;
    case 1: {
        const int r = waitRequestCompleted();
        if (r == 0) {
            m_writeQueue.removeFirst();
            m_configState = 0;
            retryConfig(200);
        } else if (r > 0) {
            failConfig(QString::number(r));
        } else if (--m_configIter > 0) {
            retryConfig(200);
        } else {
            failConfigWith(QString::fromUtf8(kCommTimeout));
        }
        return;
    }
    case 2:
    case 5: {
        const bool restart = m_configState == 2;
        if (restart && m_closePortForRestart && m_portClosed) {
            const int rc = createAndOpenDevice(currentConfig());
            if (rc != 0) {
                VLOG(6) << "Cannot reopen open device:" << rc;
                closeDevice();
                showInstructions(QStringLiteral("files/restartinstr.txt"));
                m_configIter = 15;
                retryConfig(2000);
                return;
            }
            m_portClosed = false;
        }
        const QString error = sendRequest(QStringLiteral("!sdev"), {}, QStringLiteral("!sdev"));
        if (!error.isEmpty()) {
            failConfig(error);
            return;
        }
        TavrelRequest *request = m_instance.request();
        // Back means answered: a query that completed without an answer (or with the line lost) is
        // one more missed wait.
        if (m_loader->VNK_WaitForRequestCompleted(request->handle, 2000) == 0 &&
            m_loader->VNK_GetRequestStatus(request->handle) == 0) {
            m_configState = restart ? (m_portChangeRequest.command.isEmpty() ? 6 : 3) : 6;
            retryConfig(10);
            return;
        }
        if (--m_configIter <= 0) {
            showInstructions(restart ? QStringLiteral("files/restartinstr.txt")
                                     : QStringLiteral("files/reopeninstr.txt"));
            m_configIter = 15;
        }
        retryConfig(2000);
        return;
    }
    case 3: {
        emit progressEvent(2.0, QStringLiteral("Zmieniam ustawienia portu szeregowego urządzenia."));
        const QString error = sendRequest(m_portChangeRequest);
        if (!error.isEmpty()) {
            failConfig(error);
            return;
        }
        m_configState = 4;
        m_configIter = 5;
        retryConfig(200);
        return;
    }
    case 4: {
        const int r = waitRequestCompleted();
        // An answer lost to the device's switch of line settings (none in time) counts as done after
        // five waits; an explicit refusal never does.
        if (r > 0 && unsigned(r) != kNoAnswer) {
            failConfig(QString::number(r));
            return;
        }
        if (r == 0 || unsigned(r) == kNoAnswer || --m_configIter <= 0) {
            m_configState = 5;
            m_configIter = 15;
            m_instance.dropRequest();
            closeDevice();
            const QString port = currentConfig().section(QLatin1Char(','), 0, 0);
            const int rc = createAndOpenDevice(port + QLatin1Char(',') +
                                               m_newPortSettings.section(QLatin1Char('/'), 0, 0));
            if (rc != 0) {
                VLOG(-10) << "Cannot reopen open device:" << rc;
                closeDevice();
                endWithError(
                    CommFailure,
                    QStringLiteral(
                        "Nie można ponownie otworzyć urządzenia z nowymi parametrami komunikacji: %1")
                        .arg(rc));
                return;
            }
            retryConfig(10);
            return;
        }
        retryConfig(200);
        return;
    }
    case 6: {
        emit progressEvent(2.0, QStringLiteral("Zmieniam ustawienia interfesu PC."));
        const QString error = sendRequest(m_pcInterfaceRequest);
        if (!error.isEmpty()) {
            failConfig(error);
            return;
        }
        m_configState = 7;
        m_configIter = 5;
        if (m_closePortForRestart) {
            m_portClosed = true;
            retryConfig(20);
        } else {
            retryConfig(2000);
        }
        return;
    }
    case 7: {
        TavrelRequest *request = m_instance.request();
        if (m_closePortForRestart) {
            const unsigned state = m_loader->VNK_GetRequestState(request->handle);
            if (state == kStateQueued || state == kStateOnLine) {
                retryConfig(200);
                return;
            }
            // Finished: only an answer without error is a switched interface.
            const unsigned status = m_loader->VNK_GetRequestStatus(request->handle);
            if (status != 0) {
                failConfig(QString::number(status));
                return;
            }
            m_configState = 8;
            m_instance.dropRequest();
            closeDevice();
            endWithReady(QStringLiteral("Ok"));
            return;
        }
        const int r = waitRequestCompleted();
        if (r > 0) {
            failConfig(QString::number(r));
            return;
        }
        if (r == 0 || --m_configIter <= 0) {
            m_configState = 8;
            m_instance.dropRequest();
            closeDevice();
            endWithReady(QStringLiteral("Ok"));
            return;
        }
        retryConfig(200);
        return;
    }
    default:
        return;
    }
}
