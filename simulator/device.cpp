#include "simulator/device.h"

#include "log/debug_class.h"
#include "simulator/ppplink.h"
#include "simulator/ptyport.h"
#include "simulator/services.h"
#include "varnok/protocol/deviceprotocol.h"

#include <QDateTime>
#include <QTimer>

namespace vp = varnok::protocol;

struct Device::Connection {
    vp::FrameDecoder decoder;
};

namespace
{

quint32 protocolStatus(const DeviceState::Answer &a)
{
    switch (a.status) {
    case DeviceState::Ok:
        return vp::status::kOk;
    case DeviceState::UnknownCommand:
        return vp::status::kUnknownCommand;
    case DeviceState::MissingParameter:
        return vp::status::kMissingParam;
    case DeviceState::BadParameter:
        return vp::status::kBadParamValue;
    case DeviceState::NotReady:
        return vp::status::kDeviceBusy;
    }
    return vp::status::kDeviceFault;
}

QString fromDevice(const std::string &bytes)
{
    return QString::fromStdString(vp::cp1250ToUtf8(bytes));
}

std::string toDevice(const QString &text)
{
    return vp::utf8ToCp1250(text.toStdString());
}

bool enabled(const QString &flag)
{
    return flag == QLatin1String("1") || flag == QLatin1String("T");
}

} // namespace

Device::Device(DeviceState state, Options options, QObject *parent)
    : QObject(parent), m_state(std::move(state)), m_options(std::move(options)),
      m_linkConnection(new Connection)
{
    m_restartTimer = new QTimer(this);
    m_restartTimer->setSingleShot(true);
    connect(m_restartTimer, &QTimer::timeout, this, &Device::finishRestart);
    m_transactionTimer = new QTimer(this);
    connect(m_transactionTimer, &QTimer::timeout, this, &Device::generateTransaction);
    if (!m_options.listenAddress.isEmpty()) {
        m_hostServices = new QtServiceHost(m_options.listenAddress, this);
        connect(m_hostServices, &ServiceHost::accepted, this, &Device::accept);
    }
    m_ppp = new PppLink(this);
    connect(m_ppp, &ServiceHost::accepted, this, &Device::accept);
    connect(m_ppp, &PppLink::output, this, [this](const QByteArray &bytes) {
        if (m_link && m_mode == Mode::Running)
            m_link->write(bytes);
    });
    connect(m_ppp, &PppLink::upChanged, this, [this](bool up) {
        emit announce(up ? QStringLiteral("ppp-up %1").arg(m_ppp->peerAddress())
                         : QStringLiteral("ppp-down"));
    });
}

Device::~Device()
{
    stopServices();
    closeLink();
}

QString Device::modeText() const
{
    switch (m_mode) {
    case Mode::Running:
        return QStringLiteral("running");
    case Mode::Restarting:
        return QStringLiteral("restarting");
    case Mode::LineDown:
        return QStringLiteral("line-down");
    }
    return QString();
}

bool Device::start(QString *error)
{
    m_linkSettings = m_state.linkSettings();
    m_framingVisible = PtyPort::carriesFraming();
    if (!m_framingVisible)
        VLOG(4) << "pseudo-terminals here force 8 data bits without parity: only speed, stop bits and flow "
                   "control of the PC side are checked";
    if (!openLink(error))
        return false;
    // The device's own COM ports, except the one that links it to the PC.
    for (int no = 1; no <= 2; ++no) {
        if (no == m_state.linkComNumber())
            continue;
        m_com[no] = new PtyPort(this);
        if (!m_com[no]->open(m_state.comSettings(no), error))
            return false;
        connect(m_com[no], &PtyPort::received, this, [this, no](const QByteArray &b) { comReceived(no, b); });
    }
    if (m_state.transactionIntervalMs() > 0)
        m_transactionTimer->start(m_state.transactionIntervalMs());
    reconcileServices();
    return true;
}

QStringList Device::portLines() const
{
    QStringList lines;
    if (m_link && m_link->isOpen())
        lines << QStringLiteral("port %1 %2 %3")
                     .arg(m_state.portName(), m_link->linkPath(), m_link->terminalPath());
    for (int no = 1; no <= 2; ++no)
        if (m_com[no])
            lines << QStringLiteral("com%1 %2").arg(no).arg(m_com[no]->terminalPath());
    return lines;
}

QStringList Device::serviceLines() const
{
    QStringList lines;
    for (ServiceHost *host : {m_hostServices, static_cast<ServiceHost *>(m_ppp)}) {
        if (!host)
            continue;
        QStringList own;
        for (const QString &key : host->keys())
            own << QStringLiteral("service %1 %2:%3").arg(key, host->address()).arg(host->port(key));
        own.sort();
        lines << own;
    }
    return lines;
}

QStringList Device::counterLines() const
{
    return {QStringLiteral("mode %1").arg(modeText()),
            QStringLiteral("line %1").arg(m_linkSettings.text()),
            QStringLiteral("requests %1").arg(m_requests),
            QStringLiteral("answered %1").arg(m_answered),
            QStringLiteral("ignored-bytes %1").arg(m_ignoredBytes),
            QStringLiteral("pc-pending %1").arg(m_state.pcInterfacePending() ? 1 : 0),
            QStringLiteral("ppp %1").arg(!m_ppp->isRunning() ? QStringLiteral("off")
                                         : m_ppp->isUp()     ? QStringLiteral("up ") + m_ppp->peerAddress()
                                                             : QStringLiteral("waiting"))};
}

bool Device::openLink(QString *error)
{
    closeLink();
    m_link = new PtyPort(this);
    if (!m_link->open(m_linkSettings, error)) {
        closeLink();
        return false;
    }
    QString description = m_options.description;
    if (description.isEmpty())
        description = QStringLiteral("Tavrel fiscal device (simulator)");
    if (!m_link->publish(m_options.devicePortsFolder, m_state.portName(), description, error)) {
        closeLink();
        return false;
    }
    connect(m_link, &PtyPort::received, this, &Device::linkReceived);
    m_linkConnection->decoder.reset();
    emit announce(portLines().value(0));
    return true;
}

void Device::closeLink()
{
    if (!m_link)
        return;
    m_link->unpublish();
    m_link->close();
    m_link->disconnect(this);
    m_link->deleteLater();
    m_link = nullptr;
}

void Device::linkReceived(const QByteArray &bytes)
{
    if (m_mode != Mode::Running) {
        m_ignoredBytes += quint64(bytes.size());
        return;
    }
    // A USB device takes any line settings; on RS232 bytes at other settings are noise to the device.
    if (m_state.link() != LinkKind::Usb) {
        LineSettings peer;
        LineSettings own = m_linkSettings;
        const bool read = m_link->peerSettings(&peer);
        if (!m_framingVisible) {
            peer.dataBits = own.dataBits;
            peer.parity = own.parity;
        }
        if (!read || peer != own) {
            m_ignoredBytes += quint64(bytes.size());
            m_linkConnection->decoder.reset();
            VLOG(6) << "line " << peer.text() << " is not the device's " << m_linkSettings.text() << ": "
                    << bytes.size() << " bytes ignored";
            return;
        }
    }
    // With the PC interface on TCP/IP the line carries PPP.
    if (m_state.pcInterfaceIsTcp()) {
        m_ppp->input(bytes);
        return;
    }
    QByteArray data = bytes;
    if (m_linkSettings.flow == 'S') {
        data.replace('\x11', QByteArray());
        data.replace('\x13', QByteArray());
    }
    feed(m_linkConnection.get(), data);
}

void Device::feed(Connection *c, const QByteArray &bytes)
{
    c->decoder.feed(bytes.constData(), size_t(bytes.size()));
    vp::Frame frame;
    while (c->decoder.next(&frame)) {
        vp::Request request;
        if (!vp::parseRequest(frame, &request)) {
            VLOG(6) << "frame " << frame.seq << " of type " << frame.type << " is no request: ignored";
            continue;
        }
        const quint64 epoch = m_epoch;
        handle(
            request,
            [this, epoch](const QByteArray &answer) {
                if (epoch == m_epoch && m_link && m_mode == Mode::Running)
                    m_link->write(answer);
            },
            true);
    }
}

void Device::handle(const vp::Request &request, const std::function<void(const QByteArray &)> &reply,
                    bool onLine)
{
    ++m_requests;
    QString paramsText;
    for (const vp::Field &f : request.params)
        paramsText += QStringLiteral(" %1=%2").arg(QString::fromStdString(f.name), fromDevice(f.value));
    VLOG(4) << "request " << int(request.seq) << " " << QString::fromStdString(request.command) << paramsText;
    if (m_silent != 0) {
        if (m_silent > 0)
            --m_silent;
        VLOG(4) << "fault: request " << int(request.seq) << " not answered";
        return;
    }
    vp::Response response;
    response.seq = request.seq;
    int effects = DeviceState::NoEffect;
    const QString command = QString::fromStdString(request.command);
    if (m_refusedCount != 0 && (m_refusedCommand == QLatin1String("*") || m_refusedCommand == command)) {
        if (m_refusedCount > 0)
            --m_refusedCount;
        response.status = m_refusedStatus;
        VLOG(4) << "fault: request " << int(request.seq) << " refused with 0x"
                << QString::number(m_refusedStatus, 16);
    } else if (const quint32 refused = vp::checkRequest(request)) {
        response.status = refused;
    } else if (!command.startsWith(QLatin1Char('!')) && m_state.currentDeviceState() != 0) {
        // Only immediate commands are carried out while the device is not ready.
        response.status =
            m_state.currentDeviceState() == 1 ? vp::status::kDeviceBusy : vp::status::kNotAllowed;
    } else {
        ValuePairs params;
        for (const vp::Field &f : request.params)
            params.append({QString::fromStdString(f.name), fromDevice(f.value)});
        const DeviceState::Answer a = m_state.execute(command, params);
        response.status = protocolStatus(a);
        if (a.status != DeviceState::Ok)
            VLOG(4) << "request " << int(request.seq) << " refused: " << a.detail;
        for (const auto &v : a.values)
            response.fields.push_back({v.first.toStdString(), toDevice(v.second)});
        effects = a.effects;
    }
    QByteArray bytes = QByteArray::fromStdString(vp::encodeResponse(response));
    if (m_garble > 0 && bytes.size() > 2) {
        --m_garble;
        // One character changed inside the frame: the checksum no longer fits.
        const int at = bytes.size() / 2;
        bytes[at] = bytes.at(at) == 'x' ? 'y' : 'x';
        VLOG(4) << "fault: answer to " << int(request.seq) << " garbled";
    }
    const quint64 epoch = m_epoch;
    int delay = m_state.answerDelayMs();
    // A pseudo-terminal moves bytes at once; a real line takes its time for the request and the answer.
    if (onLine && m_state.paceLine() && m_linkSettings.baud > 0) {
        const qint64 bits =
            qint64(vp::encodeRequest(request).size() + bytes.size()) *
            vp::lineBitsPerChar(unsigned(m_linkSettings.dataBits), m_linkSettings.parity != 'N',
                                unsigned(m_linkSettings.stopBits));
        delay += int((bits * 1000 + m_linkSettings.baud - 1) / m_linkSettings.baud);
    }
    QTimer::singleShot(delay, this, [this, reply, bytes, effects, epoch, seq = request.seq] {
        if (epoch != m_epoch)
            return;
        reply(bytes);
        ++m_answered;
        VLOG(6) << "answer " << int(seq) << ": " << bytes.size() << " bytes";
        if (effects & DeviceState::LinkSettingsChanged)
            applyLinkSettings();
        if (effects & DeviceState::PcInterfacePending) {
            VLOG(4) << "PC interface change waits for the menu step";
            if (m_options.autoMenuMs >= 0)
                QTimer::singleShot(m_options.autoMenuMs, this, [this, epoch] {
                    if (epoch == m_epoch && m_state.pcInterfacePending())
                        menuSwitchPcInterface();
                });
        }
        if (effects & DeviceState::RestartNeeded)
            restart(m_state.restartMs());
    });
}

void Device::applyLinkSettings()
{
    const LineSettings now = m_state.linkSettings();
    if (m_state.link() == LinkKind::Usb || now == m_linkSettings)
        return;
    VLOG(4) << "link port switches from " << m_linkSettings.text() << " to " << now.text();
    m_linkSettings = now;
    m_linkConnection->decoder.reset();
    emit announce(QStringLiteral("line %1").arg(now.text()));
}

void Device::restart(int ms)
{
    VLOG(4) << "device restarts for " << ms << " ms";
    ++m_epoch;
    m_mode = Mode::Restarting;
    stopServices();
    m_linkConnection->decoder.reset();
    emit announce(QStringLiteral("restarting"));
    m_restartTimer->start(ms);
    // A USB device's port goes with the device.
    // The terminal takes written bytes in a moment, not at once: the first look comes a little later.
    if (m_state.link() == LinkKind::Usb)
        QTimer::singleShot(100, this, [this] { vanishWhenDrained(100); });
}

void Device::vanishWhenDrained(int waitedMs)
{
    if (m_mode != Mode::Restarting || !m_link)
        return;
    if (m_link->unreadBytes() > 0 && waitedMs < 1000) {
        QTimer::singleShot(20, this, [this, waitedMs] { vanishWhenDrained(waitedMs + 20); });
        return;
    }
    closeLink();
    emit announce(QStringLiteral("port-gone"));
}

void Device::dropLine(int ms)
{
    VLOG(4) << "fault: line dropped for " << ms << " ms";
    ++m_epoch;
    m_mode = Mode::LineDown;
    m_ppp->stop(); // the link went with the line
    closeLink();
    emit announce(QStringLiteral("line-down"));
    m_restartTimer->start(ms);
}

void Device::finishRestart()
{
    // A USB port still waiting for its last answer to be read goes now: it vanishes in every restart.
    if (m_mode == Mode::Restarting && m_state.link() == LinkKind::Usb)
        closeLink();
    if (m_mode == Mode::Restarting)
        applyLinkSettings();
    m_linkSettings = m_state.linkSettings();
    m_mode = Mode::Running;
    if (!m_link) {
        QString error;
        if (!openLink(&error)) {
            VLOG(-100) << "the device port does not come back: " << error;
            m_mode = Mode::LineDown;
            emit announce(QStringLiteral("error ") + error);
            return;
        }
    }
    m_linkConnection->decoder.reset();
    reconcileServices();
    emit announce(QStringLiteral("running"));
}

void Device::setSilent(int count)
{
    m_silent = count > 0 ? count : -1;
}

void Device::setRefused(const QString &command, quint32 status, int count)
{
    m_refusedCommand = command;
    m_refusedStatus = status;
    m_refusedCount = count > 0 ? count : -1;
}

void Device::setGarble(int count)
{
    m_garble = count;
}

void Device::clearFaults()
{
    m_silent = 0;
    m_garble = 0;
    m_refusedCount = 0;
    m_refusedCommand.clear();
}

void Device::menuSwitchPcInterface()
{
    const bool pending = m_state.applyPendingPcInterface();
    VLOG(4) << "menu: PC interface " << (pending ? "switched as set" : "set") << " to id "
            << m_state.value("pc", "id") << " no " << m_state.value("pc", "no");
    restart(m_state.restartMs());
}

// ---- TCP services ---------------------------------------------------------------------------

void Device::stopServices()
{
    if (m_hostServices)
        m_hostServices->stopAll();
    if (m_ppp)
        m_ppp->stop();
    m_monitorClients.clear();
    for (auto &s : m_tunnelData)
        s.clear();
}

void Device::reconcileServices()
{
    if (m_mode != Mode::Running)
        return;
    if (m_state.pcInterfaceIsTcp() && m_ppp && !m_ppp->isRunning())
        startPpp();
    QHash<QString, int> wanted;
    if (m_state.pcInterfaceIsTcp())
        wanted.insert(QStringLiteral("pc"), m_state.value("pc", "no").toInt());
    if (m_state.value("trlog", "id") == QLatin1String("4"))
        wanted.insert(QStringLiteral("monitor"), m_state.value("trlog", "no").toInt());
    for (int slot = 0; slot < 2; ++slot) {
        const QString tun = QStringLiteral("tun%1").arg(slot);
        if (enabled(m_state.value(tun, "en"))) {
            wanted.insert(tun, m_state.value(tun, "da").toInt());
            wanted.insert(tun + QStringLiteral("ctl"), m_state.value(tun, "di").toInt());
        }
    }
    for (ServiceHost *host : {m_hostServices, static_cast<ServiceHost *>(m_ppp)}) {
        if (!host || (host == m_ppp && !m_ppp->isRunning()))
            continue;
        for (const QString &key : host->keys())
            if (wanted.value(key, -1) != int(host->port(key)))
                host->stop(key);
        for (auto it = wanted.cbegin(); it != wanted.cend(); ++it)
            if (!host->keys().contains(it.key()))
                host->listen(it.key(), quint16(it.value()));
    }
}

void Device::startPpp()
{
    QString address = m_state.value("tcpip", "ip");
    if (address.isEmpty())
        address = QStringLiteral("10.10.10.10"); // no address from DHCP: the wizard's default
    QString error;
    if (!m_ppp->start(address, &error))
        VLOG(-10) << "PPP cannot start: " << error;
    else
        emit announce(QStringLiteral("ppp ") + address);
}

void Device::accept(const QString &key, Stream *stream)
{
    VLOG(4) << "service " << key << ": connection from " << stream->peer();
    if (m_mode != Mode::Running) {
        stream->close();
        return;
    }
    if (key == QLatin1String("pc")) {
        auto connection = std::make_shared<Connection>();
        const QPointer<Stream> guard(stream);
        connect(stream, &Stream::received, this, [this, connection, guard](const QByteArray &bytes) {
            connection->decoder.feed(bytes.constData(), size_t(bytes.size()));
            vp::Frame frame;
            while (connection->decoder.next(&frame)) {
                vp::Request request;
                if (!vp::parseRequest(frame, &request))
                    continue;
                const quint64 epoch = m_epoch;
                handle(request, [guard, epoch, this](const QByteArray &answer) {
                    if (guard && epoch == m_epoch)
                        guard->write(answer);
                });
            }
        });
    } else if (key == QLatin1String("monitor")) {
        m_monitorClients.append(stream);
    } else if (key.endsWith(QLatin1String("ctl"))) {
        // Held open; what it carries means nothing to the device.
    } else {
        const int slot = key.at(3).digitValue();
        const int no = slot + 1;
        // One data connection per port: a new one replaces the old.
        if (m_tunnelData[slot])
            m_tunnelData[slot]->close();
        m_tunnelData[slot] = stream;
        connect(stream, &Stream::received, this, [this, no](const QByteArray &data) {
            if (m_com[no])
                m_com[no]->write(data);
            else
                m_ignoredBytes += quint64(data.size()); // the port links the PC: not tunnelled
        });
    }
}

void Device::comReceived(int no, const QByteArray &bytes)
{
    const int slot = no - 1;
    if (m_tunnelData[slot])
        m_tunnelData[slot]->write(bytes);
    else
        m_ignoredBytes += quint64(bytes.size());
}

void Device::sendTransaction(const QString &line)
{
    const QByteArray bytes = QByteArray::fromStdString(toDevice(line)) + "\r\n";
    m_monitorClients.removeAll(QPointer<Stream>());
    for (const QPointer<Stream> &s : qAsConst(m_monitorClients))
        s->write(bytes);
}

void Device::generateTransaction()
{
    if (m_mode != Mode::Running)
        return;
    ++m_transactionCount;
    sendTransaction(QStringLiteral("%1;%2;PARAGON;%3")
                        .arg(m_transactionCount, 6, 10, QLatin1Char('0'))
                        .arg(QDateTime::currentDateTime().toString(Qt::ISODate))
                        .arg(QString::number(1.0 + (m_transactionCount % 97) * 1.25, 'f', 2)));
}
