#include "wizard/tunnelwizard.h"

#include "log/debug_class.h"
#include "ports/serialportmanager.h"
#include "ports/vspinterface.h"
#include "ui/applicationcontext.h"
#include "ui/messagebox.h"
#include "wizard/wizardpagecomm.h"
#include "wizard/wizardpageconfirmsetup.h"
#include "wizard/wizardpageintro.h"
#include "wizard/wizardpagelaststep.h"
#include "wizard/wizardpageread.h"
#include "wizard/wizardpagesettingup.h"
#include "wizard/wizardpagetcpip.h"
#include "wizard/wizardpagetunneling.h"
#include "wizard/wizardpagetunnelname.h"
#include "wizard/wizardpageviewconf.h"
#include "wizard/wizardpagevports.h"

#include <QAbstractButton>
#include <QFile>
#include <QIcon>
#include <QPixmap>
#include <QRegularExpression>
#include <QSet>

TunnelWizard::TunnelWizard(const Services &services, QWidget *parent) : QWizard(parent), m_services(services)
{
    setWizardStyle(QWizard::ModernStyle);
    setPixmap(QWizard::WatermarkPixmap, QPixmap(QStringLiteral(":/images/wizard-left.jpg")));
    setWindowIcon(QIcon(QStringLiteral(":/images/application2.png")));
    setWindowTitle(tr("Kreator konfiguracji"));
    setPage(PageIntro, new WizardPageIntro(this));
    setPage(PageComm, new WizardPageComm(this));
    setPage(PageRead, new WizardPageRead(this));
    setPage(PageTunneling, new WizardPageTunneling(this));
    setPage(PageVPorts, new WizardPageVPorts(this));
    setPage(PageTunnelName, new WizardPageTunnelName(true, this));
    setPage(PageConfirmSetup, new WizardPageConfirmSetup(this));
    setPage(PageViewConf, new WizardPageViewConf(this));
    setPage(PageTCPIP, new WizardPageTCPIP(this));
    setPage(PageTunnelNameExpert, new WizardPageTunnelName(false, this));
    setPage(PageConfirmSetupExpert, new WizardPageConfirmSetup(this));
    setPage(PageSettingUp, new WizardPageSettingUp(this));
    setPage(PageLastStep, new WizardPageLastStep(this));
    setStartId(PageIntro);
    // The set-up page is a commit page only to forbid the way back; its button reads as Next.
    setButtonText(QWizard::CommitButton, buttonText(QWizard::NextButton));
    connect(this, &QWizard::currentIdChanged, this, &TunnelWizard::onCurrentIdChanged);
}

void TunnelWizard::onCurrentIdChanged(int id)
{
    VLOG(6) << "New creator page ID=" << id;
}

int TunnelWizard::connectionType(QString *text) const
{
    const TavrelDeviceComm::DeviceData data = m_services.comm->deviceData();
    const QMap<QString, QString> pc = data.value(QStringLiteral("pc"));
    if (pc.value(QStringLiteral("id")) == QLatin1String("1")) {
        const int n = pc.value(QStringLiteral("no")) == QLatin1String("1") ? 1 : 2;
        if (text)
            *text = QStringLiteral("RS232 ") + QStringLiteral("COM%1,").arg(n) +
                    TavrelDeviceComm::deviceComParams(data.value(QStringLiteral("com%1").arg(n)));
        return n;
    }
    if (text)
        *text = QStringLiteral("USB");
    return 0;
}

QString TunnelWizard::linkName() const
{
    const int k = connectionType();
    return k == 0 ? QStringLiteral("USB") : QStringLiteral("COM%1").arg(k);
}

QString TunnelWizard::comExclusion(int n) const
{
    if (connectionType() == n)
        return tr("Tunelowanie tego portu jest niemożliwe, gdyż jest on używany do komunikacji PC");
    const QMap<QString, QString> tcpip = m_services.comm->deviceData().value(QStringLiteral("tcpip"));
    if (tcpip.value(QStringLiteral("id")) == QLatin1String("1")) {
        const int tcpPort = tcpip.value(QStringLiteral("no")) == QLatin1String("1") ? 1 : 2;
        if (tcpPort == n)
            return tr("Tunelowanie tego portu jest niemożliwe, gdyż jest on używany do komunikacji TCP/IP");
    }
    return QString();
}

QStringList TunnelWizard::freeVirtualPorts() const
{
    QSet<QString> taken;
    if (m_services.configurations)
        for (const TunnelSettings &c : *m_services.configurations) {
            taken << c.data_com.toUpper() << c.tm_com.toUpper() << c.tunnel_com.toUpper();
            for (const QString &p : c.proxy_com)
                taken << p.toUpper();
        }
    QStringList free;
    if (!m_services.vsp)
        return free;
    m_services.vsp->updatePortList();
    for (const VSPPortPair &pair : m_services.vsp->portList())
        for (const QString &name : {pair.name, pair.peerName})
            if (!name.isEmpty() && !name.startsWith(QLatin1String("NULL_"), Qt::CaseInsensitive) &&
                !taken.contains(name.toUpper()) && !free.contains(name))
                free << name;
    return free;
}

QStringList TunnelWizard::usedPortNames() const
{
    QStringList used;
    SerialPortManager local;
    SerialPortManager *ports = m_services.ports ? m_services.ports : &local;
    used << ports->serialPorts(false, false);
    if (m_services.vsp) {
        m_services.vsp->updatePortList();
        for (const VSPPortPair &pair : m_services.vsp->portList()) {
            // A hidden end "NULL_COM5" keeps COM5 taken as well.
            for (QString name : {pair.name, pair.peerName}) {
                if (name.startsWith(QLatin1String("NULL_"), Qt::CaseInsensitive))
                    name = name.mid(5);
                used << name;
            }
        }
    }
    if (m_services.configurations)
        for (const TunnelSettings &c : *m_services.configurations) {
            used << c.data_com << c.tm_com << c.tunnel_com;
            for (const QString &p : c.proxy_com)
                used << p;
        }
    return used;
}

QStringList TunnelWizard::freeComNames(const QStringList &used, int count)
{
    static const QRegularExpression com(QStringLiteral("^COM(\\d+)$"),
                                        QRegularExpression::CaseInsensitiveOption);
    QSet<int> taken;
    for (const QString &name : used) {
        const QRegularExpressionMatch m = com.match(name.trimmed());
        if (m.hasMatch())
            taken << m.captured(1).toInt();
    }
    QStringList names;
    for (int n = 1; names.size() < count; ++n)
        if (!taken.contains(n))
            names << QStringLiteral("COM%1").arg(n);
    return names;
}

QString TunnelWizard::resourceText(const QString &name)
{
    QFile file(QStringLiteral(":/") + name);
    if (!file.open(QIODevice::ReadOnly)) {
        VLOG(-10) << "Unable to open file:" << name << " : " << file.errorString();
        return QString();
    }
    return QString::fromUtf8(file.readAll());
}

QUuid TunnelWizard::createdUuid() const
{
    return QUuid(field(QStringLiteral("uuid")).toString());
}

void TunnelWizard::done(int result)
{
    VLOG(4) << "Wizard finished";
    // A machine still running stops, and a device a finished detection left open is closed.
    if (m_services.comm)
        m_services.comm->requestClose();
    const QUuid uid = createdUuid();
    if (field(QStringLiteral("startonclose")).toBool() && !uid.isNull()) {
        VLOG(4) << "Starting new configuration";
        emit startUUID(uid);
    }
    AppSettings *settings = m_services.appSettings;
    if (settings && settings->start_wizard) {
        if (currentId() == PageLastStep) {
            settings->start_wizard = false;
            if (m_services.app)
                m_services.app->saveAppSettings();
        } else if (currentId() == PageIntro) {
            if (MessageBox::question(
                    this, tr("Pytanie"),
                    tr("Wybrano zamknięcie kreatora konfiguracji. Czy pokazać kreatora przy następnym uruchomieniu aplikacji? Kreator jest także dostępny w menu - Ustawienia."),
                    QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) == QMessageBox::No) {
                settings->start_wizard = false;
                if (m_services.app)
                    m_services.app->saveAppSettings();
            }
        }
    }
    QWizard::done(result);
}
