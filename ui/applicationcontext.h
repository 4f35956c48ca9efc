// What the main window needs of the application that owns it: the services,
// the configuration file and the tray. The window never owns any of them.
#pragma once

#include <QString>
#include <QUuid>

class IPHelper;
class PPPEngine;
class QSystemTrayIcon;
class VSPInterface;

class ApplicationContext
{
public:
    virtual ~ApplicationContext() = default;

    // Position of the first configuration with that uuid, -1 if none.
    virtual int indexOfUuid(const QUuid &uuid) const = 0;
    virtual PPPEngine *pppEngine() = 0;
    virtual VSPInterface *vspInterface() const = 0;
    virtual IPHelper *ipHelper() const = 0;
    // Null when there is none (not created yet, or no tray on this desktop).
    virtual QSystemTrayIcon *trayIcon() const = 0;
    virtual QString dataPath() const = 0;
    virtual bool configurationExists() const = 0;
    virtual bool saveSettings() = 0;
    virtual bool saveAppSettings() = 0;
    // Reads the configurations again (they get new uuids); the count rejected.
    virtual int reloadSettings() = 0;
};
