// The application object: data folder, diagnostic settings, resources and
// every long-lived service of the program.
#pragma once

#include "config/appsettings.h"
#include "config/tunnelsettings.h"

#include <QApplication>
#include <QMap>
#include <QVector>

class VSPInterface;
class PPPEngine;

class TunnelApplication : public QApplication
{
    Q_OBJECT
public:
    TunnelApplication(int &argc, char **argv);
    ~TunnelApplication() override;

    static TunnelApplication *instance();

    void setDataPath(const QString &path) { m_dataPath = path; }
    QString dataPath() const { return m_dataPath; }
    void setDebugSettings(const QMap<QString, QString> &settings) { m_debugSettings = settings; }
    QMap<QString, QString> debugSettings() const { return m_debugSettings; }

    static QString textFromResourceFile(const QString &name);
    static QString versionString();

    void InitializeApp(bool startedMinimized);
    void shutdown();

    VSPInterface *vspInterface() const { return m_vsp; }
    // The one PPP engine of the process, created and started on first use.
    PPPEngine *pppEngine();
    QVector<TunnelSettings> *configurations() { return &m_configurations; }
    AppSettings *appSettings() { return &m_appSettings; }
    QString configurationPath() const;
    bool configurationExists() const;
    int indexOfUuid(const QUuid &uuid) const;

    // A configuration file that exists but cannot be read is reported (log
    // and error box) and loads nothing; until a later load reads it, both
    // saves refuse, so it is never written over.
    int loadSettings(QString *errors);
    int reloadSettings();
    bool saveSettings();
    bool saveAppSettings();
    bool configurationUnreadable() const { return m_configurationUnreadable; }
    // The box that lists the configurations the file reader rejected.
    static void showConfigurationErrors(const QString &errors);

public slots:
    // SIGTERM, SIGINT, SIGHUP: end the way a confirmed close does.
    void terminationRequested(int signalNumber);

private:
    QVector<TunnelSettings> m_configurations;
    VSPInterface *m_vsp = nullptr;
    PPPEngine *m_ppp = nullptr;
    QMap<QString, QString> m_debugSettings;
    AppSettings m_appSettings;
    QString m_dataPath;
    bool m_startedMinimized = false;
    bool m_configurationUnreadable = false;
};
