#include "app/tunnelapplication.h"

#include "config/configurationfile.h"
#include "log/debug_class.h"
#include "ports/vspinterface.h"
#include "runtime/pppengine.h"
#include "runtime/tunnelcommengine.h"
#include "ui/messagebox.h"
#include "velmora_version.h"

#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QTextStream>

TunnelApplication::TunnelApplication(int &argc, char **argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("Velmora"));
    setOrganizationName(QStringLiteral("Tavrel"));
    setQuitOnLastWindowClosed(false);
}

TunnelApplication::~TunnelApplication() = default;

TunnelApplication *TunnelApplication::instance()
{
    return qobject_cast<TunnelApplication *>(QCoreApplication::instance());
}

QString TunnelApplication::textFromResourceFile(const QString &name)
{
    QFile file(QStringLiteral(":/") + name);
    if (!file.open(QIODevice::ReadOnly)) {
        VLOG(-10) << "Unable to open file:" << name << " : " << file.errorString();
        return QString();
    }
    return QString::fromUtf8(file.readAll());
}

QString TunnelApplication::versionString()
{
    QString revision;
    QString date;
    QFile file(QStringLiteral(":/files/build_data.txt"));
    if (file.open(QIODevice::ReadOnly)) {
        const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        revision = lines.value(0).trimmed();
        date = lines.value(1).trimmed();
    }
    return QStringLiteral("%1 (rev. %2 - %3)").arg(QLatin1String(VELMORA_VERSION_STRING), revision, date);
}

void TunnelApplication::InitializeApp(bool startedMinimized)
{
    VLOG(10) << QStringLiteral("Plugins Path: %1").arg(QLibraryInfo::location(QLibraryInfo::PluginsPath));
    m_startedMinimized = startedMinimized;

    QFile qss(QStringLiteral(":/qss/appstyle.qss"));
    if (qss.open(QIODevice::ReadOnly)) {
        QByteArray sheet = qss.readAll();
        const int zero = sheet.indexOf('\0');
        if (zero >= 0)
            sheet.truncate(zero);
        setStyleSheet(QString::fromLatin1(sheet));
    }

    m_vsp = new VSPInterface;
    if (!m_vsp->initLibrary()) {
        VLOG(-10) << "Could not load VSP interface, some functionality is degraded";
        MessageBox::warning(
            nullptr, tr("Ostrzeżenie"),
            tr("Nie można załadować interfesu sterowania portów szeregowych. Niektóre funkcjonalności nie będą dostępne"));
    }
    TunnelCommEngine::setVSPInterface(m_vsp);

    QString errors;
    if (loadSettings(&errors) != 0 || !errors.isEmpty())
        showConfigurationErrors(errors);

    pppEngine();
}

PPPEngine *TunnelApplication::pppEngine()
{
    if (!m_ppp) {
        m_ppp = new PPPEngine();
        const QString pcap = m_debugSettings.value(QStringLiteral("pcapfilename"));
        m_ppp->setPcap(!pcap.isEmpty(), pcap);
        m_ppp->signalStart();
        // Workers in PPP mode reach the engine through the runtime's own provider.
        PPPEngine::setProcessEngine(m_ppp);
    }
    return m_ppp;
}

void TunnelApplication::shutdown()
{
    // The engine ends an active session, closes its port and capture file
    // and removes the device's ARP entry before it goes.
    PPPEngine::setProcessEngine(nullptr);
    delete m_ppp;
    m_ppp = nullptr;
    TunnelCommEngine::setVSPInterface(nullptr);
    delete m_vsp;
    m_vsp = nullptr;
}

QString TunnelApplication::configurationPath() const
{
    return QDir(m_dataPath).absoluteFilePath(QStringLiteral("configuration.ini"));
}

bool TunnelApplication::configurationExists() const
{
    return ConfigurationFile(configurationPath()).exists();
}

int TunnelApplication::indexOfUuid(const QUuid &uuid) const
{
    for (int i = 0; i < m_configurations.size(); ++i)
        if (m_configurations.at(i).uuid == uuid)
            return i;
    return -1;
}

int TunnelApplication::loadSettings(QString *errors)
{
    QString unreadable;
    const int rejected =
        ConfigurationFile(configurationPath()).load(m_configurations, m_appSettings, errors, &unreadable);
    m_configurationUnreadable = !unreadable.isEmpty();
    if (m_configurationUnreadable)
        MessageBox::critical(
            nullptr, tr("Błąd"),
            tr("Nie można odczytać pliku konfiguracji '%1' (%2). Konfiguracje nie zostały wczytane, a zmiany nie zostaną zapisane do tego pliku, dopóki nie będzie go można odczytać.")
                .arg(configurationPath(), unreadable));
    return rejected;
}

int TunnelApplication::reloadSettings()
{
    m_configurations.clear();
    QString errors;
    const int rejected = loadSettings(&errors);
    if (rejected != 0 || !errors.isEmpty())
        showConfigurationErrors(errors);
    return rejected;
}

bool TunnelApplication::saveSettings()
{
    if (m_configurationUnreadable) {
        VLOG(-10) << "Config file " << configurationPath()
                  << " was not read, not writing over it (reload it first)";
        return false;
    }
    return ConfigurationFile(configurationPath()).save(m_configurations);
}

bool TunnelApplication::saveAppSettings()
{
    if (m_configurationUnreadable) {
        VLOG(-10) << "Config file " << configurationPath()
                  << " was not read, not writing over it (reload it first)";
        return false;
    }
    return ConfigurationFile(configurationPath()).saveApp(m_appSettings);
}

void TunnelApplication::showConfigurationErrors(const QString &errors)
{
    QMessageBox box(QMessageBox::Warning, tr("Ostrzeżenie"), tr("W pliku konfiguracji wykryto błędy"),
                    QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.setDetailedText(errors);
    MessageBox::exec(box);
}

void TunnelApplication::terminationRequested(int signalNumber)
{
    VLOG(4) << "[MASTER] Signal " << signalNumber << " received, closing";
    quit();
}
