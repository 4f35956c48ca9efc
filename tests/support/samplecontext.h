// The window's view of an application with nothing behind it but its list
// of configurations (none if not given): for programs that render dialogs.
#pragma once

#include "config/tunnelsettings.h"
#include "ui/applicationcontext.h"

#include <QVector>

class SampleContext : public ApplicationContext
{
public:
    explicit SampleContext(const QVector<TunnelSettings> *all = nullptr) : m_all(all) {}
    int indexOfUuid(const QUuid &uuid) const override
    {
        for (int i = 0; m_all && i < m_all->size(); ++i)
            if (m_all->at(i).uuid == uuid)
                return i;
        return -1;
    }
    PPPEngine *pppEngine() override { return nullptr; }
    VSPInterface *vspInterface() const override { return nullptr; }
    IPHelper *ipHelper() const override { return nullptr; }
    QSystemTrayIcon *trayIcon() const override { return nullptr; }
    QString dataPath() const override { return QString(); }
    bool configurationExists() const override { return true; }
    bool saveSettings() override { return true; }
    bool saveAppSettings() override { return true; }
    int reloadSettings() override { return 0; }

private:
    const QVector<TunnelSettings> *m_all;
};
