#include "ui/edittunnel.h"

#include "config/appsettings.h"
#include "config/serialsettings.h"
#include "log/debug_class.h"
#include "ports/vspinterface.h"
#include "ui/dialogbuttons.h"
#include "ui/dialogports.h"
#include "ui/editserialsettings.h"
#include "ui/editsingletunnel.h"
#include "ui/ipv4validator.h"
#include "ui/messagebox.h"
#include "ui/selectlocalip.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>
#include <QSpinBox>
#include <QStyle>
#include <QTableWidget>
#include <QVBoxLayout>

namespace
{
// Column of the device-COM tunnel table; the COM column also keeps the row's settings.
enum Column { ColData = 0, ColCtrl = 1, ColCom = 2 };
constexpr int kSettingsRole = Qt::UserRole + 1;

const char kDefaultVirtualSettings[] = "9600,8,N,1,N/NO/NS";
const char kDefaultPPPSettings[] = "115200,8,N,1,H";

template <typename T> T *named(T *w, const char *name)
{
    w->setObjectName(QLatin1String(name));
    return w;
}

QString hostText(const QString &target)
{
    return target.section(QLatin1Char(':'), 0, 0).trimmed();
}

// The address text as the record keeps it (no leading zeros, no spaces).
QString normalisedAddress(const QString &text)
{
    const QHostAddress a(text.trimmed());
    return a.isNull() ? text.trimmed() : a.toString();
}

bool acceptableAddress(const QLineEdit *edit)
{
    return !edit->text().isEmpty() && IPv4Validator::check(edit->text()) == QValidator::Acceptable;
}

bool runs(const TunnelSettings &t)
{
    return t.state == TunnelSettings::Starting || t.state == TunnelSettings::Running ||
           t.state == TunnelSettings::Stopping;
}
} // namespace

bool EditTunnel::canDivertPackets()
{
    // CAP_NET_ADMIN is capability 12 of the effective set.
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (!line.startsWith("CapEff:"))
            continue;
        bool ok = false;
        const qulonglong caps = line.mid(7).trimmed().toULongLong(&ok, 16);
        return ok && (caps & (1ull << 12));
    }
    return false;
}

EditTunnel::EditTunnel(VSPInterface *vsp, IPHelper *ipHelper, const AppSettings *appSettings, QWidget *parent)
    : QDialog(parent), m_vsp(vsp), m_ipHelper(ipHelper)
{
    setWindowTitle(tr("Edytuj konfigurację tunelowania"));

    if (m_vsp)
        m_vsp->updatePortList();
    const QList<DialogPorts::Port> ports = DialogPorts::serialPorts();
    for (const DialogPorts::Port &p : ports)
        m_knownPorts.append(p.name);
    m_channelPorts = DialogPorts::channelPorts(ports, appSettings ? appSettings->only_virtual : true);

    editComment = named(new QLineEdit(this), "editComment");

    radioIP = named(new QRadioButton(tr("Połączenie IP (Ethernet)"), this), "radioIP");
    groupIP = named(new QWidget(this), "groupIP");
    editIP_IP = named(new QLineEdit(groupIP), "editIP_IP");
    auto *ipLayout = new QGridLayout(groupIP);
    ipLayout->addWidget(new QLabel(tr("Adres IP urządzenia"), groupIP), 0, 0);
    ipLayout->addWidget(editIP_IP, 0, 1);

    radioPPP = named(new QRadioButton(tr("Połączenie RS232/USB"), this), "radioPPP");
    groupPPP = named(new QWidget(this), "groupPPP");
    editIP_PPP = named(new QLineEdit(groupPPP), "editIP_PPP");
    editLocalIP = named(new QLineEdit(groupPPP), "editLocalIP");
    buttonSearchIP = named(new QPushButton(tr("Wybierz lokalny adres IP"), groupPPP), "buttonSearchIP");
    portCOMPPP = named(new QComboBox(groupPPP), "portCOMPPP");
    portCOMPPP->addItems(DialogPorts::realPorts(ports));
    addPortPPP = named(new QPushButton(tr("Dodaj nowy port COM"), groupPPP), "addPortPPP");
    editSetPPP = named(new QLineEdit(QLatin1String(kDefaultPPPSettings), groupPPP), "editSetPPP");
    setSetPPP = named(new QPushButton(tr("Edytuj ustawienia portu COM"), groupPPP), "setSetPPP");
    auto *pppLayout = new QGridLayout(groupPPP);
    pppLayout->addWidget(new QLabel(tr("Adres IP urządzenia"), groupPPP), 0, 0);
    pppLayout->addWidget(editIP_PPP, 0, 1);
    pppLayout->addWidget(new QLabel(tr("Adres IP lokalny"), groupPPP), 1, 0);
    pppLayout->addWidget(editLocalIP, 1, 1);
    pppLayout->addWidget(buttonSearchIP, 1, 2);
    pppLayout->addWidget(new QLabel(tr("Port COM urządzenia\n(rzeczywisty)"), groupPPP), 2, 0);
    pppLayout->addWidget(portCOMPPP, 2, 1);
    pppLayout->addWidget(addPortPPP, 2, 2);
    pppLayout->addWidget(new QLabel(tr("Ustawienia COM"), groupPPP), 3, 0);
    pppLayout->addWidget(editSetPPP, 3, 1);
    pppLayout->addWidget(setSetPPP, 3, 2);

    // The design's "Wymagany Windows Vista lub nowszy": on Linux what PPP mode needs is the right to
    // create the diversion interface. The mode stays selectable (a technician may grant the right
    // later); the label says what is missing and how to grant it.
    winRequired = named(new QLabel(this), "winRequired");
    winRequired->setWordWrap(true);
    winRequired->setTextInteractionFlags(Qt::TextSelectableByMouse);
    winRequired->setStyleSheet(QStringLiteral("color: red;"));
    winRequired->setText(
        tr("Tryb PPP wymaga uprawnienia CAP_NET_ADMIN, którego program nie ma. Technik nadaje je poleceniem: sudo setcap cap_net_admin+ep %1")
            .arg(QCoreApplication::applicationFilePath()));
    winRequired->setVisible(!canDivertPackets());

    dataTunnel = named(new QCheckBox(tr("Tunelowanie interfejsu PC"), this), "dataTunnel");
    groupData = named(new QWidget(this), "groupData");
    portCOMData = named(new QComboBox(groupData), "portCOMData");
    portCOMData->addItems(m_channelPorts);
    addPortData = named(new QPushButton(tr("Dodaj nowy port COM"), groupData), "addPortData");
    editSetData = named(new QLineEdit(QLatin1String(kDefaultVirtualSettings), groupData), "editSetData");
    setSetData = named(new QPushButton(tr("Edytuj ustawienia portu COM"), groupData), "setSetData");
    portData = named(new QSpinBox(groupData), "portData");

    monitorTunnel = named(new QCheckBox(tr("Tunelowanie monitora transakcji"), this), "monitorTunnel");
    groupMonitor = named(new QWidget(this), "groupMonitor");
    portCOMMonitor = named(new QComboBox(groupMonitor), "portCOMMonitor");
    portCOMMonitor->addItems(m_channelPorts);
    addPortMonitor = named(new QPushButton(tr("Dodaj nowy port COM"), groupMonitor), "addPortMonitor");
    editSetMonitor =
        named(new QLineEdit(QLatin1String(kDefaultVirtualSettings), groupMonitor), "editSetMonitor");
    setSetMonitor = named(new QPushButton(tr("Edytuj ustawienia portu COM"), groupMonitor), "setSetMonitor");
    portMonitor = named(new QSpinBox(groupMonitor), "portMonitor");

    auto channel = [this](QWidget *group, QComboBox *com, QPushButton *add, QLineEdit *set, QPushButton *edit,
                          QSpinBox *tcp) {
        tcp->setRange(1, 65535);
        set->setMinimumWidth(set->fontMetrics().horizontalAdvance(QStringLiteral("115200,8,N,1,H/NO/NS ")) +
                             12);
        auto *g = new QGridLayout(group);
        g->addWidget(new QLabel(tr("Port COM"), group), 0, 0);
        g->addWidget(com, 0, 1);
        g->addWidget(add, 0, 2);
        g->addWidget(new QLabel(tr("Ustawienia COM"), group), 1, 0);
        g->addWidget(set, 1, 1);
        g->addWidget(edit, 1, 2);
        g->addWidget(new QLabel(tr("Port TCP/IP"), group), 2, 0);
        g->addWidget(tcp, 2, 1);
    };
    channel(groupData, portCOMData, addPortData, editSetData, setSetData, portData);
    channel(groupMonitor, portCOMMonitor, addPortMonitor, editSetMonitor, setSetMonitor, portMonitor);
    portData->setValue(6666);
    portMonitor->setValue(6667);

    auto *tunnels = new QGroupBox(tr("Tunelowanie portów COM urządzenia"), this);
    tableTunnels = named(new QTableWidget(0, 3, tunnels), "tableTunnels");
    tableTunnels->setHorizontalHeaderLabels({tr("Port danych"), tr("Port sterujący"), tr("Port COM")});
    tableTunnels->setSelectionBehavior(QAbstractItemView::SelectRows);
    tableTunnels->setSelectionMode(QAbstractItemView::SingleSelection);
    tableTunnels->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tableTunnels->horizontalHeader()->setStretchLastSection(true);
    tableTunnels->horizontalHeader()->setSectionResizeMode(ColData, QHeaderView::ResizeToContents);
    tableTunnels->horizontalHeader()->setSectionResizeMode(ColCtrl, QHeaderView::ResizeToContents);
    tableTunnels->verticalHeader()->hide();
    addTunnel = named(new QPushButton(tr("Dodaj tunel"), tunnels), "addTunnel");
    editTunnel = named(new QPushButton(tr("Edytuj tunel"), tunnels), "editTunnel");
    removeTunnel = named(new QPushButton(tr("Usuń tunel"), tunnels), "removeTunnel");
    auto *tunnelButtons = new QHBoxLayout;
    tunnelButtons->addWidget(addTunnel);
    tunnelButtons->addWidget(editTunnel);
    tunnelButtons->addWidget(removeTunnel);
    tunnelButtons->addStretch();
    auto *tunnelLayout = new QVBoxLayout(tunnels);
    tunnelLayout->addWidget(tableTunnels);
    tunnelLayout->addLayout(tunnelButtons);

    m_autostart = named(new QCheckBox(tr("Automatyczny start"), this), "m_autostart");
    m_autorestart = named(new QCheckBox(tr("Automatyczny restart po błędzie"), this), "m_autorestart");
    m_restartlimit = named(new QSpinBox(this), "m_restartlimit");
    m_restartlimit->setRange(0, 1000000);
    m_restarttime = named(new QSpinBox(this), "m_restarttime");
    m_restarttime->setRange(0, TunnelSettings::kMaxDelaySeconds);
    m_restarttime->setValue(TunnelSettings().restart_delay);
    auto *restart = new QHBoxLayout;
    restart->addWidget(m_autostart);
    restart->addWidget(m_autorestart);
    restart->addWidget(new QLabel(tr("Limit restartów"), this));
    restart->addWidget(m_restartlimit);
    restart->addWidget(new QLabel(tr("Opóźnienie"), this));
    restart->addWidget(m_restarttime);
    restart->addWidget(new QLabel(tr("[s]"), this));
    restart->addStretch();

    QHBoxLayout *buttons = DialogButtons::okCancel(this, &buttonOk, &buttonCancel);

    auto *name = new QHBoxLayout;
    name->addWidget(new QLabel(tr("Nazwa połączenia"), this));
    name->addWidget(editComment);
    auto *modes = new QGroupBox(this);
    auto *modeLayout = new QVBoxLayout(modes);
    modeLayout->addWidget(radioIP);
    modeLayout->addWidget(groupIP);
    modeLayout->addWidget(radioPPP);
    modeLayout->addWidget(winRequired);
    modeLayout->addWidget(groupPPP);
    auto *channels = new QHBoxLayout;
    for (auto pair : {qMakePair<QWidget *, QWidget *>(dataTunnel, groupData),
                      qMakePair<QWidget *, QWidget *>(monitorTunnel, groupMonitor)}) {
        auto *box = new QGroupBox(this);
        auto *l = new QVBoxLayout(box);
        l->addWidget(pair.first);
        l->addWidget(pair.second);
        channels->addWidget(box);
    }
    auto *top = new QVBoxLayout(this);
    top->addLayout(name);
    top->addWidget(modes);
    top->addLayout(channels);
    top->addWidget(tunnels);
    top->addLayout(restart);
    top->addLayout(buttons);

    for (QLineEdit *e : {editIP_IP, editIP_PPP, editLocalIP}) {
        e->setValidator(new IPv4Validator(e));
        markValidity(e);
    }
    radioIP->setChecked(true);
    QMetaObject::connectSlotsByName(this);
    refresh();
}

void EditTunnel::setData(const TunnelSettings &t)
{
    m_base = t;
    (t.mode != TunnelSettings::DirectIP ? radioPPP : radioIP)->setChecked(true);

    QString device;
    if (!t.tunnel_remoteip.isEmpty()) {
        device = t.tunnel_remoteip.trimmed();
        VLOG(6) << "Using tunnel_remoteip ad IP Address";
    } else if (!t.data_ip.isEmpty()) {
        device = hostText(t.data_ip);
        VLOG(6) << "Using data_ip ad IP Address";
    } else if (!t.tm_ip.isEmpty()) {
        device = hostText(t.tm_ip);
        VLOG(6) << "Using tm_ip ad IP Address";
    } else {
        for (int i = 0; i < t.proxy_data.size(); ++i) {
            if (t.proxy_data[i].isEmpty())
                continue;
            device = hostText(t.proxy_data[i]);
            VLOG(6) << QStringLiteral("Using proxy_data[%1] ad IP Address").arg(i);
            break;
        }
    }
    editIP_IP->setText(device);
    editIP_PPP->setText(t.mode != TunnelSettings::DirectIP ? device : QString());
    editLocalIP->setText(t.tunnel_localip);
    DialogPorts::selectPort(portCOMPPP, t.tunnel_com);
    if (!t.tunnel_settings.isEmpty())
        editSetPPP->setText(t.tunnel_settings);

    dataTunnel->setChecked(!t.data_com.isEmpty());
    DialogPorts::selectPort(portCOMData, t.data_com);
    if (!t.data_settings.isEmpty())
        editSetData->setText(t.data_settings);
    if (const int p = TunnelSettings::portFromTarget(t.data_ip))
        portData->setValue(p);

    monitorTunnel->setChecked(!t.tm_com.isEmpty());
    DialogPorts::selectPort(portCOMMonitor, t.tm_com);
    if (!t.tm_settings.isEmpty())
        editSetMonitor->setText(t.tm_settings);
    if (const int p = TunnelSettings::portFromTarget(t.tm_ip))
        portMonitor->setValue(p);

    tableTunnels->setRowCount(0);
    for (int i = 0; i < t.proxy_com.size(); ++i) {
        tableTunnels->insertRow(i);
        setRow(i, TunnelSettings::portFromTarget(t.proxy_data.value(i)),
               TunnelSettings::portFromTarget(t.proxy_ctrl.value(i)), t.proxy_com[i],
               t.proxy_settings.value(i));
    }

    editComment->setText(t.description);
    m_autostart->setChecked(t.autostart != 0);
    m_autorestart->setChecked(t.autorestart != 0);
    m_restartlimit->setValue(t.restart_limit);
    m_restarttime->setValue(t.restart_delay);
    refresh();
}

TunnelSettings EditTunnel::data() const
{
    TunnelSettings t = m_base;
    t.validation_error.clear();
    t.mode = radioIP->isChecked() ? TunnelSettings::DirectIP : TunnelSettings::PPP;
    const QString device = deviceAddressText();
    if (t.mode == TunnelSettings::DirectIP) {
        t.tunnel_remoteip.clear();
        t.tunnel_localip.clear();
        t.tunnel_com.clear();
        t.tunnel_settings.clear();
    } else {
        t.tunnel_remoteip = normalisedAddress(editIP_PPP->text());
        t.tunnel_localip = normalisedAddress(editLocalIP->text());
        t.tunnel_com = portCOMPPP->currentText();
        t.tunnel_settings = editSetPPP->text().trimmed();
    }
    auto target = [&device](int port) { return device + QLatin1Char(':') + QString::number(port); };
    if (dataTunnel->isChecked()) {
        t.data_ip = target(portData->value());
        t.data_com = portCOMData->currentText();
        t.data_settings = editSetData->text().trimmed();
    } else {
        t.data_ip.clear();
        t.data_com.clear();
        t.data_settings.clear();
    }
    if (monitorTunnel->isChecked()) {
        t.tm_ip = target(portMonitor->value());
        t.tm_com = portCOMMonitor->currentText();
        t.tm_settings = editSetMonitor->text().trimmed();
    } else {
        t.tm_ip.clear();
        t.tm_com.clear();
        t.tm_settings.clear();
    }
    t.proxy_com.clear();
    t.proxy_data.clear();
    t.proxy_ctrl.clear();
    t.proxy_settings.clear();
    for (int r = 0; r < tableTunnels->rowCount(); ++r) {
        const QTableWidgetItem *com = tableTunnels->item(r, ColCom);
        t.proxy_com.append(com->text());
        t.proxy_data.append(device + QLatin1Char(':') + tableTunnels->item(r, ColData)->text());
        t.proxy_ctrl.append(device + QLatin1Char(':') + tableTunnels->item(r, ColCtrl)->text());
        t.proxy_settings.append(com->data(kSettingsRole).toString());
    }
    t.description = editComment->text();
    t.autostart = m_autostart->isChecked() ? 1 : 0;
    t.autorestart = m_autorestart->isChecked() ? 1 : 0;
    t.restart_limit = m_restartlimit->value();
    t.restart_delay = m_restarttime->value();
    return t;
}

QString EditTunnel::deviceAddressText() const
{
    // The PPP link's address is kept in its normal form, as the engine sets it on the link.
    return radioIP->isChecked() ? editIP_IP->text().trimmed() : normalisedAddress(editIP_PPP->text());
}

bool EditTunnel::refuse(const QString &text, QWidget *focus)
{
    MessageBox::warning(this, tr("Ostrzeżenie"), text);
    if (focus)
        focus->setFocus();
    return false;
}

bool EditTunnel::checkFields()
{
    const bool data = dataTunnel->isChecked();
    const bool monitor = monitorTunnel->isChecked();
    const int rows = tableTunnels->rowCount();
    if (radioIP->isChecked()) {
        if (rows == 0 && !data && !monitor)
            return refuse(tr(
                "W tym trybie połączenia musi być aktywny co najmniej kanał interfejsu PC lub kanał monitora transakcji lub 1 tunel COM"));
        if (!acceptableAddress(editIP_IP))
            return refuse(tr("Adres IP dla połączenia TCP/IP jest niepoprawny"), editIP_IP);
    } else {
        if (!acceptableAddress(editIP_PPP))
            return refuse(tr("Adres zdalny IP dla połączenia PPP jest niepoprawny"), editIP_PPP);
        if (!acceptableAddress(editLocalIP))
            return refuse(tr("Adres lokalny IP dla połączenia PPP jest niepoprawny"), editLocalIP);
        if (portCOMPPP->currentText().isEmpty())
            return refuse(tr("Proszę wybrać lub utworzyć nowy port COM dla połączenia PPP"), portCOMPPP);
        if (editSetPPP->text().trimmed().isEmpty())
            return refuse(tr("Proszę podać ustawienia portu COM dla połączenia PPP"), editSetPPP);
        if (QHostAddress(editIP_PPP->text()) == QHostAddress(editLocalIP->text()))
            return refuse(tr("Adresy IP lokalny oraz zdalny nie mogą być identyczne"), editLocalIP);
        if (rows == 0 && !data && !monitor)
            return refuse(tr(
                "W tym trybie niezbędne jest uruchomienie tunelu interfejsu PC i/lub tunelu monitora transakcji i/lub tuneli portów szeregowych"));
        QSerialPort::FlowControl flow = QSerialPort::NoFlowControl;
        if (parseSerialSettings(editSetPPP->text().trimmed(), nullptr, nullptr, nullptr, &flow)) {
            // Advice only: the configuration may still be accepted.
            if (flow == QSerialPort::NoFlowControl)
                MessageBox::warning(
                    this, tr("Ostrzeżenie"),
                    tr("UWAGA: Połączenie PPP nie używa kontroli przepływu danych.\n W trybie PPP zalecane jest stosowanie kontroli przepływu. Jej brak może powodować utratę ramek w komunikacji, a co za tym idzie niską jej wydajność bądź zauważalne problemy ze stabilnością połączenia PPP"));
            else if (flow == QSerialPort::SoftwareControl)
                MessageBox::warning(
                    this, tr("Ostrzeżenie"),
                    tr("UWAGA: Połączenie PPP używa programowej kontroli przepływu danych.\n Proszę upewnić się, że w urządzeniu także wybrano programową (XON/XOFF) kontrolę transmisji danych. Ustawienie braku kontroli po stronie urządzenia przy jednoczesnej programowej kotroli po stronie PC (lub odwrotnie) będzie powodować częściowo poprawne funkcjonowanie łącza jednakże z bardzo dużą ilością utraconych ramek danych i wyraźną niestabilnością połączenia."));
        }
    }
    if (data) {
        if (portCOMData->currentText().isEmpty())
            return refuse(tr("Proszę wybrać lub utworzyć nowy port COM dla połączenia interfejsu PC"),
                          portCOMData);
        if (editSetData->text().trimmed().isEmpty())
            return refuse(tr("Proszę podać ustawienia portu COM dla połączenia interfejsu PC"), editSetData);
    }
    if (monitor) {
        if (portCOMMonitor->currentText().isEmpty())
            return refuse(tr("Proszę wybrać lub utworzyć nowy port COM dla połączenia monitora transakcji"),
                          portCOMMonitor);
        if (editSetMonitor->text().trimmed().isEmpty())
            return refuse(tr("Proszę podać ustawienia portu COM dla połączenia monitora transakcji"),
                          editSetMonitor);
    }
    if (editComment->text().trimmed().isEmpty())
        return refuse(tr("Proszę podać dowolny opis konfiguracji"), editComment);
    const QString dataCom = portCOMData->currentText();
    const QString monitorCom = portCOMMonitor->currentText();
    if (data && monitor && VSPInterface::samePortName(dataCom, monitorCom))
        return refuse(
            tr("Port COM %1 w tunelowania interfejsu PC jest już użyty do tunelowania monitora transakcji")
                .arg(dataCom),
            portCOMMonitor);
    if (data && monitor && portMonitor->value() == portData->value())
        return refuse(
            tr("Port numer %2 w tunelowaniu monitora transakcji jest już użyty do tunelowania interfejsu PC")
                .replace(QLatin1String("%2"), QString::number(portMonitor->value())),
            portMonitor);

    QSet<int> tcpPorts;
    QStringList comPorts;
    for (int r = 0; r < rows; ++r) {
        const QString com = tableTunnels->item(r, ColCom)->text();
        // %1 the row's COM port, %2 the clashing value.
        auto clash = [&com](const QString &text, const QString &value) {
            QString s = text;
            return s.replace(QLatin1String("%1"), com).replace(QLatin1String("%2"), value);
        };
        const struct {
            int port;
            const char *pc, *tm, *other;
        } checks[] = {
            {tableTunnels->item(r, ColData)->text().toInt(),
             QT_TR_NOOP(
                 "Port numer %2 w tunelu dla portu COM: %1 (port dla danych) jest już użyty do tunelowania interfejsu PC"),
             QT_TR_NOOP(
                 "Port numer %2 w tunelu dla portu COM: %1 (port dla danych) jest już użyty do tunelowania monitora transakcji"),
             QT_TR_NOOP(
                 "Port numer %2 w tunelu dla portu COM: %1 (port dla danych) jest już użyty w innym tunelu portu COM")},
            {tableTunnels->item(r, ColCtrl)->text().toInt(),
             QT_TR_NOOP(
                 "Port numer %2 w tunelu dla portu COM: %1 (port sterujący) jest już użyty do tunelowania interfejsu PC"),
             QT_TR_NOOP(
                 "Port numer %2 w tunelu dla portu COM: %1 (port sterujący) jest już użyty do tunelowania monitora transakcji"),
             QT_TR_NOOP(
                 "Port numer %2 w tunelu dla portu COM: %1 (port sterujący) jest już użyty w innym tunelu portu COM")},
        };
        for (const auto &c : checks) {
            const QString value = QString::number(c.port);
            if (data && c.port == portData->value())
                return refuse(clash(tr(c.pc), value));
            if (monitor && c.port == portMonitor->value())
                return refuse(clash(tr(c.tm), value));
            if (tcpPorts.contains(c.port))
                return refuse(clash(tr(c.other), value));
            tcpPorts.insert(c.port);
        }
        if (data && VSPInterface::samePortName(com, dataCom))
            return refuse(clash(
                tr("Port COM %2 w tunelu dla portu COM: %1 (port sterujący) jest już użyty do tunelowania interfejsu PC"),
                com));
        if (monitor && VSPInterface::samePortName(com, monitorCom))
            return refuse(clash(
                tr("Port COM %2 w tunelu dla portu COM: %1 (port sterujący) jest już użyty do tunelowania monitora transakcji"),
                com));
        for (const QString &seen : qAsConst(comPorts))
            if (VSPInterface::samePortName(com, seen))
                return refuse(clash(
                    tr("Port COM %2 w tunelu dla portu COM: %1 (port sterujący) jest już użyty w innym tunelu portu COM"),
                    com));
        comPorts.append(com);
    }

    const TunnelSettings result = this->data();
    // A port held by another running configuration cannot be opened by this one.
    if (m_all) {
        QStringList mine = result.proxy_com.toList();
        for (const QString &p : {result.data_com, result.tm_com, result.tunnel_com})
            if (!p.isEmpty())
                mine.append(p);
        for (const TunnelSettings &other : *m_all) {
            if (other.uuid == m_base.uuid || !runs(other))
                continue;
            QStringList theirs = other.proxy_com.toList();
            theirs << other.data_com << other.tm_com << other.tunnel_com;
            for (const QString &p : qAsConst(mine))
                for (const QString &q : qAsConst(theirs))
                    if (!q.isEmpty() && VSPInterface::samePortName(p, q))
                        return refuse(tr("Port COM %1 jest używany przez uruchomioną konfigurację \"%2\"")
                                          .arg(p, other.description));
        }
    }
    // What the configuration file would refuse at the next load is not accepted now.
    TunnelSettings check = result;
    if (!check.validate())
        return refuse(tr("Błąd ustawień konfiguracji: '%1'").arg(check.validation_error));
    return true;
}

void EditTunnel::on_buttonOk_clicked()
{
    if (checkFields())
        accept();
}

void EditTunnel::on_buttonCancel_clicked()
{
    reject();
}

void EditTunnel::refresh()
{
    groupIP->setEnabled(radioIP->isChecked());
    groupPPP->setEnabled(!radioIP->isChecked());
    groupData->setEnabled(dataTunnel->isChecked());
    groupMonitor->setEnabled(monitorTunnel->isChecked());
    const bool current = tableTunnels->rowCount() > 0 && tableTunnels->currentRow() >= 0;
    editTunnel->setEnabled(current);
    removeTunnel->setEnabled(current);
}

void EditTunnel::on_radioIP_clicked()
{
    refresh();
}

void EditTunnel::on_radioPPP_clicked()
{
    refresh();
}

void EditTunnel::on_dataTunnel_stateChanged(int)
{
    refresh();
}

void EditTunnel::on_monitorTunnel_stateChanged(int)
{
    refresh();
}

void EditTunnel::on_tableTunnels_itemSelectionChanged()
{
    refresh();
}

void EditTunnel::markValidity(QLineEdit *edit)
{
    // The application's style sheet colours the field by this property.
    const QValidator::State state = IPv4Validator::check(edit->text());
    edit->setProperty("val_state", state == QValidator::Acceptable     ? 0
                                   : state == QValidator::Intermediate ? 1
                                                                       : 2);
    edit->style()->unpolish(edit);
    edit->style()->polish(edit);
}

void EditTunnel::on_editIP_IP_textChanged(const QString &)
{
    markValidity(editIP_IP);
}

void EditTunnel::on_editIP_PPP_textChanged(const QString &)
{
    markValidity(editIP_PPP);
}

void EditTunnel::on_editLocalIP_textChanged(const QString &)
{
    markValidity(editLocalIP);
}

void EditTunnel::on_buttonSearchIP_clicked()
{
    SelectLocalIP dlg(m_ipHelper, this);
    if (dlg.exec() == QDialog::Accepted)
        editLocalIP->setText(dlg.result());
}

void EditTunnel::editSerial(QLineEdit *edit, bool realPort)
{
    EditSerialSettings dlg(this);
    dlg.setSettings(edit->text(), realPort);
    if (dlg.exec() == QDialog::Accepted)
        edit->setText(dlg.settings());
}

void EditTunnel::on_setSetData_clicked()
{
    editSerial(editSetData, false);
}

void EditTunnel::on_setSetPPP_clicked()
{
    editSerial(editSetPPP, true);
}

void EditTunnel::on_setSetMonitor_clicked()
{
    editSerial(editSetMonitor, false);
}

QStringList EditTunnel::allPortNames() const
{
    QStringList names = m_knownPorts;
    for (const QComboBox *c : {portCOMPPP, portCOMData, portCOMMonitor})
        for (int i = 0; i < c->count(); ++i)
            names.append(c->itemText(i));
    return names;
}

void EditTunnel::addPort(QComboBox *combo)
{
    const QString name = DialogPorts::addVirtualPort(this, m_vsp, allPortNames());
    if (name.isEmpty())
        return;
    m_knownPorts.append(name);
    // A new virtual port is offered to every channel, as a fresh dialog would.
    if (combo != portCOMPPP) {
        m_channelPorts.append(name);
        for (QComboBox *c : {portCOMData, portCOMMonitor})
            if (c != combo && c->findText(name) < 0)
                c->addItem(name);
    }
    DialogPorts::selectPort(combo, name);
}

void EditTunnel::on_addPortPPP_clicked()
{
    addPort(portCOMPPP);
}

void EditTunnel::on_addPortData_clicked()
{
    addPort(portCOMData);
}

void EditTunnel::on_addPortMonitor_clicked()
{
    addPort(portCOMMonitor);
}

void EditTunnel::setRow(int row, int dataPort, int ctrlPort, const QString &com, const QString &settings)
{
    tableTunnels->setItem(row, ColData, new QTableWidgetItem(QString::number(dataPort)));
    tableTunnels->setItem(row, ColCtrl, new QTableWidgetItem(QString::number(ctrlPort)));
    auto *item = new QTableWidgetItem(com);
    item->setData(kSettingsRole, settings);
    tableTunnels->setItem(row, ColCom, item);
}

void EditTunnel::on_addTunnel_clicked()
{
    EditSingleTunnel dlg(m_channelPorts, m_vsp, this);
    if (dlg.exec() != QDialog::Accepted)
        return;
    const int row = tableTunnels->rowCount();
    tableTunnels->insertRow(row);
    setRow(row, dlg.dataPort(), dlg.ctrlPort(), dlg.comPort(), dlg.settings());
    tableTunnels->selectRow(row);
    refresh();
}

void EditTunnel::on_editTunnel_clicked()
{
    const int row = tableTunnels->currentRow();
    if (row < 0) {
        refuse(tr("Proszę wybrać pozycję do edycji"));
        return;
    }
    EditSingleTunnel dlg(m_channelPorts, m_vsp, this);
    dlg.setData(tableTunnels->item(row, ColData)->text(), tableTunnels->item(row, ColCtrl)->text(),
                tableTunnels->item(row, ColCom)->text(),
                tableTunnels->item(row, ColCom)->data(kSettingsRole).toString());
    if (dlg.exec() == QDialog::Accepted)
        setRow(row, dlg.dataPort(), dlg.ctrlPort(), dlg.comPort(), dlg.settings());
}

void EditTunnel::on_removeTunnel_clicked()
{
    const int row = tableTunnels->currentRow();
    if (row < 0) {
        refuse(tr("Proszę wybrać pozycję do usunięcia"));
        return;
    }
    if (MessageBox::question(this, tr("Pytanie"), tr("Czy usunąć wskazaną pozycję?")) == QMessageBox::Yes) {
        tableTunnels->removeRow(row);
        refresh();
    }
}

void EditTunnel::on_tableTunnels_doubleClicked(const QModelIndex &)
{
    on_editTunnel_clicked();
}
