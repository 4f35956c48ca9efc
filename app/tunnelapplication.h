// The application object: data folder, diagnostic settings, resources and
// every long-lived service of the program.
#pragma once

#include "config/appsettings.h"
#include "config/tunnelsettings.h"
#include "ui/applicationcontext.h"
#include "wizard/tavrelcmloader.h"

#include <QApplication>
#include <QMap>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QVector>

class ControlServer;
class IPHelper;
class MainWindow;
class PPPEngine;
class SerialPortManager;
class TavrelDeviceComm;
class TunnelSplashScreen;
class TunnelTrayIcon;
class VSPInterface;

class TunnelApplication : public QApplication, public ApplicationContext
{
    Q_OBJECT
public:
    TunnelApplication(int &argc, char **argv);
    ~TunnelApplication() override;

    static TunnelApplication *instance();

    void setDataPath(const QString &path) { m_dataPath = path; }
    QString dataPath() const override { return m_dataPath; }
    void setDebugSettings(const QMap<QString, QString> &settings) { m_debugSettings = settings; }
    QMap<QString, QString> debugSettings() const { return m_debugSettings; }

    static QString textFromResourceFile(const QString &name);
    static QString versionString();

    void InitializeApp(bool startedMinimized);
    void shutdown();

    VSPInterface *vspInterface() const override { return m_vsp; }
    IPHelper *ipHelper() const override { return m_ipHelper; }
    // Null where the desktop has no system tray.
    QSystemTrayIcon *trayIcon() const override;
    MainWindow *mainWindow() const { return m_mainWindow; }
    // The device worker; null when the device library did not load.
    TavrelDeviceComm *deviceComm() const { return m_deviceComm; }
    // The one PPP engine of the process, created and started on first use.
    PPPEngine *pppEngine() override;
    QVector<TunnelSettings> *configurations() { return &m_configurations; }
    AppSettings *appSettings() { return &m_appSettings; }
    QString configurationPath() const;
    bool configurationExists() const override;
    int indexOfUuid(const QUuid &uuid) const override;

    // A configuration file that exists but cannot be read is reported (log
    // and error box) and loads nothing; until a later load reads it, both
    // saves refuse, so it is never written over.
    int loadSettings(QString *errors);
    int reloadSettings() override;
    bool saveSettings() override;
    bool saveAppSettings() override;
    bool configurationUnreadable() const { return m_configurationUnreadable; }
    // The box that lists the configurations the file reader rejected.
    static void showConfigurationErrors(const QString &errors);

    // A termination signal came in: the program ends (main skips its event loop when it came before).
    bool terminationPending() const { return m_terminating; }
    // How long a close waits for the configurations' final reports.
    static constexpr int kStopWaitMs = 10000;

public slots:
    void baloonStop();
    void messageClicked();
    void iconActivated(QSystemTrayIcon::ActivationReason reason);
    // SIGTERM, SIGINT, SIGHUP: end the way a confirmed close does.
    void terminationRequested(int signalNumber);

private:
    void showMainWindow();
    bool loadDeviceLibrary();
    // Keeps the point-of-sale ports linked into the Wine prefix of the settings.
    void syncWineLinks();
    // The device worker in its thread, and the window's wizard made over it.
    void startDeviceComm();
    void stopDeviceComm();

    MainWindow *m_mainWindow = nullptr;
    ControlServer *m_control = nullptr;
    TunnelTrayIcon *m_tray = nullptr;
    QVector<TunnelSettings> m_configurations;
    VSPInterface *m_vsp = nullptr;
    PPPEngine *m_ppp = nullptr;
    SerialPortManager *m_portManager = nullptr;
    IPHelper *m_ipHelper = nullptr;
    QMap<QString, QString> m_debugSettings;
    AppSettings m_appSettings;
    QString m_dataPath;
    QString m_winePrefixLinked;
    QPointer<TunnelSplashScreen> m_splash;
    bool m_startedMinimized = false;
    bool m_terminating = false;
    bool m_initialized = false;
    bool m_shutDown = false;
    TavrelCMLoader m_deviceLoader;
    TavrelDeviceComm *m_deviceComm = nullptr;
    bool m_configurationUnreadable = false;
};
