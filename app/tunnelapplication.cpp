#include "app/tunnelapplication.h"

#include "app/controlserver.h"
#include "app/tunnelsplashscreen.h"
#include "app/tunneltrayicon.h"
#include "config/configurationfile.h"
#include "log/debug_class.h"
#include "platform/iphelper.h"
#include "ports/serialportmanager.h"
#include "ports/vspinterface.h"
#include "ports/winelinks.h"
#include "runtime/pppengine.h"
#include "runtime/tunnelcommengine.h"
#include "ui/mainwindow.h"
#include "ui/messagebox.h"
#include "velmora_version.h"
#include "wizard/tavreldevicecomm.h"
#include "wizard/tunnelwizard.h"

#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QTextStream>
#include <QThread>
#include <QTimer>

TunnelApplication::TunnelApplication(int &argc, char **argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("Velmora"));
    setOrganizationName(QStringLiteral("Tavrel"));
    setQuitOnLastWindowClosed(false);
}

TunnelApplication::~TunnelApplication()
{
    // A run that ended before shutdown (a refused start) still releases its services.
    shutdown();
}

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
    m_initialized = true;

    QFile qss(QStringLiteral(":/qss/appstyle.qss"));
    if (qss.open(QIODevice::ReadOnly)) {
        QByteArray sheet = qss.readAll();
        const int zero = sheet.indexOf('\0');
        if (zero >= 0)
            sheet.truncate(zero);
        setStyleSheet(QString::fromLatin1(sheet));
    }

    QList<QString> macTable;
    IPHelper::getMacTable(macTable);

    m_splash = new TunnelSplashScreen;
    m_splash->show();
    processEvents();
    QTimer::singleShot(4000, this, &TunnelApplication::baloonStop);

    m_ipHelper = new IPHelper;
    m_vsp = new VSPInterface;
    if (!m_vsp->initLibrary()) {
        VLOG(-10) << "Could not load VSP interface, some functionality is degraded";
        MessageBox::warning(
            nullptr, tr("Ostrzeżenie"),
            tr("Nie można załadować interfesu sterowania portów szeregowych. Niektóre funkcjonalności nie będą dostępne"));
    }
    TunnelCommEngine::setVSPInterface(m_vsp);

    m_mainWindow = new MainWindow(this);
    connect(m_mainWindow, &MainWindow::closeConfirmed, this, &QCoreApplication::quit);
    QString errors;
    if (loadSettings(&errors) != 0 || !errors.isEmpty())
        showConfigurationErrors(errors);
    m_mainWindow->setConfigurations(&m_configurations, &m_appSettings);
    syncWineLinks();
    m_control = new ControlServer(m_mainWindow, &m_configurations, this);
    m_control->listen(ControlServer::socketPath(m_dataPath));

    // Many Linux desktops (and every headless run) have no tray: then there
    // is no icon, the window is never hidden, and messages go to the log.
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_tray = new TunnelTrayIcon(this);
        m_tray->setVisible(true);
    } else {
        VLOG(4) << "No system tray: the main window stays reachable, tray messages go to the log";
    }

    pppEngine();

    m_portManager = new SerialPortManager(this);
    if (m_tray) {
        connect(m_tray, &QSystemTrayIcon::messageClicked, this, &TunnelApplication::messageClicked);
        connect(m_tray, &QSystemTrayIcon::activated, this, &TunnelApplication::iconActivated);
    }

    if (!loadDeviceLibrary()) {
        VLOG(-10) << "Could not load VARNOK library";
        MessageBox::warning(
            nullptr, tr("Ostrzeżenie"),
            tr("Nie można załadować biblioteki obsługi drukarki fiskalnej. Niektóre funkcjonalności nie będą dostępne."));
        m_mainWindow->disableWizard();
    } else {
        VLOG(4) << "Preparing and starting device comm thread";
        startDeviceComm();
    }
}

void TunnelApplication::startDeviceComm()
{
    m_deviceComm = new TavrelDeviceComm;
    m_deviceComm->setLoader(&m_deviceLoader);
    m_deviceComm->setDebugSettings(m_debugSettings);
    m_deviceComm->setPortServices(m_vsp, m_portManager);
    m_deviceComm->startWorker();
    MainWindow::setWizardFactory([this]() -> QDialog * {
        if (!m_deviceComm || !m_mainWindow)
            return nullptr;
        TunnelWizard::Services s;
        s.comm = m_deviceComm;
        s.vsp = m_vsp;
        s.ports = m_portManager;
        s.ipHelper = m_ipHelper;
        s.configurations = &m_configurations;
        s.model = m_mainWindow->model();
        s.appSettings = &m_appSettings;
        s.app = this;
        QPointer<MainWindow> window = m_mainWindow;
        s.unsavedIndicator = [window](bool unsaved) {
            if (window)
                window->cfgWarning(unsaved);
        };
        return new TunnelWizard(s);
    });
}

void TunnelApplication::stopDeviceComm()
{
    if (!m_deviceComm)
        return;
    MainWindow::setWizardFactory({});
    // A wizard still open works on the worker: it goes first.
    QList<QPointer<TunnelWizard>> wizards;
    for (QWidget *w : topLevelWidgets())
        if (auto *wizard = qobject_cast<TunnelWizard *>(w))
            wizards << wizard;
    for (const QPointer<TunnelWizard> &wizard : wizards)
        delete wizard.data();
    // The device is closed and the thread ended while the library is still loaded.
    m_deviceComm->stopWorker();
    delete m_deviceComm;
    m_deviceComm = nullptr;
}

void TunnelApplication::baloonStop()
{
    if (m_terminating || !m_mainWindow)
        return;
    // Minimised needs a tray to come back from; without one the window is
    // shown minimised but never hidden (the window takes care of that).
    if (m_startedMinimized || m_appSettings.start_minimized)
        m_mainWindow->showMinimized();
    else
        m_mainWindow->show();
    processEvents();
    if (m_splash) {
        m_splash->finish(m_mainWindow);
        delete m_splash;
    }
    if (m_appSettings.autorun)
        QTimer::singleShot(1000, m_mainWindow, &MainWindow::autostarts);
    if (m_appSettings.start_wizard)
        QMetaObject::invokeMethod(m_mainWindow, "on_actionKreator_konfiguracji_triggered",
                                  Qt::QueuedConnection);
}

void TunnelApplication::showMainWindow()
{
    if (!m_mainWindow)
        return;
    m_mainWindow->showNormal();
    m_mainWindow->activateWindow();
}

void TunnelApplication::messageClicked()
{
    showMainWindow();
}

void TunnelApplication::iconActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
        showMainWindow();
}

QSystemTrayIcon *TunnelApplication::trayIcon() const
{
    return m_tray;
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

bool TunnelApplication::loadDeviceLibrary()
{
    return m_deviceLoader.Load() == 1;
}

void TunnelApplication::shutdown()
{
    if (m_shutDown || !m_initialized)
        return;
    m_shutDown = true;
    // First, while the port services it may use still exist.
    stopDeviceComm();
    // Deleted here, not later: the event loop has ended, so a deferred
    // deletion would never run (and the port notifications would stay registered).
    delete m_control;
    m_control = nullptr;
    delete m_mainWindow;
    m_mainWindow = nullptr;
    delete m_splash;
    QList<QString> macTable;
    IPHelper::getMacTable(macTable);
    // The engine ends an active session, closes its port and capture file
    // and removes the device's ARP entry before it goes.
    PPPEngine::setProcessEngine(nullptr);
    delete m_ppp;
    m_ppp = nullptr;
    delete m_portManager;
    m_portManager = nullptr;
    TunnelCommEngine::setVSPInterface(nullptr);
    delete m_vsp;
    m_vsp = nullptr;
    delete m_tray;
    m_tray = nullptr;
    delete m_ipHelper;
    m_ipHelper = nullptr;
    // Last: nothing calls into the device library any more.
    m_deviceLoader.unload();
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
    syncWineLinks();
    return rejected;
}

bool TunnelApplication::saveSettings()
{
    if (m_configurationUnreadable) {
        VLOG(-10) << "Config file " << configurationPath()
                  << " was not read, not writing over it (reload it first)";
        return false;
    }
    if (!ConfigurationFile(configurationPath()).save(m_configurations))
        return false;
    syncWineLinks();
    return true;
}

bool TunnelApplication::saveAppSettings()
{
    if (m_configurationUnreadable) {
        VLOG(-10) << "Config file " << configurationPath()
                  << " was not read, not writing over it (reload it first)";
        return false;
    }
    if (!ConfigurationFile(configurationPath()).saveApp(m_appSettings))
        return false;
    syncWineLinks();
    return true;
}

void TunnelApplication::syncWineLinks()
{
    // Never from a file that could not be read: no configurations would remove every link.
    if (m_configurationUnreadable)
        return;
    // A prefix no longer set (or replaced) loses the links made in it.
    if (!m_winePrefixLinked.isEmpty() && m_winePrefixLinked != m_appSettings.wine_prefix)
        WineLinks(m_winePrefixLinked).sync({});
    m_winePrefixLinked = m_appSettings.wine_prefix;
    if (!m_winePrefixLinked.isEmpty())
        WineLinks(m_winePrefixLinked).sync(m_configurations);
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
    if (m_terminating)
        return;
    m_terminating = true;
    // The confirmed close without its questions: every active configuration
    // stops and is awaited before the services are shut down.
    if (m_mainWindow)
        m_mainWindow->stopAllAndWait(kStopWaitMs);
    // A signal handled while the start-up processes events comes before the
    // event loop: quitting then would be lost, so main skips the loop instead.
    if (QThread::currentThread()->loopLevel() > 0)
        quit();
}
