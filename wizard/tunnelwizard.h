// The set-up wizard: from a device on a cable to a saved PPP configuration. It finds the device through
// the device worker, lets the user choose the channels to tunnel, their virtual ports and (expert
// path) the link and TCP/IP settings, has the worker write them, builds the configuration, appends it
// through the list model and saves the file; on closing it asks the supervisor to start it.
#pragma once

#include "config/appsettings.h"
#include "config/tunnelsettings.h"
#include "wizard/tavreldevicecomm.h"

#include <QStringList>
#include <QUuid>
#include <QVector>
#include <QWizard>

#include <functional>

class ApplicationContext;
class IPHelper;
class SerialPortManager;
class TunnelListModel;
class VSPInterface;

class TunnelWizard : public QWizard
{
    Q_OBJECT
public:
    enum PageId {
        PageIntro = 1,
        PageComm = 2,
        PageRead = 3,
        PageTunneling = 4,
        PageVPorts = 5,
        PageTunnelName = 6,
        PageConfirmSetup = 7,
        PageViewConf = 8,
        PageTCPIP = 9,
        PageTunnelNameExpert = 10,
        PageConfirmSetupExpert = 11,
        PageSettingUp = 12,
        PageLastStep = 13
    };

    // What the wizard works with; nothing of it is owned. vsp, ports and ipHelper may be null.
    struct Services {
        TavrelDeviceComm *comm = nullptr;
        VSPInterface *vsp = nullptr;
        SerialPortManager *ports = nullptr;
        IPHelper *ipHelper = nullptr;
        QVector<TunnelSettings> *configurations = nullptr;
        // New configurations are appended through the model so the list shows them.
        TunnelListModel *model = nullptr;
        AppSettings *appSettings = nullptr;
        // Saves the configuration file and the application settings.
        ApplicationContext *app = nullptr;
        // The window's unsaved-settings indicator.
        std::function<void(bool)> unsavedIndicator;
    };

    explicit TunnelWizard(const Services &services, QWidget *parent = nullptr);

    const Services &services() const { return m_services; }
    TavrelDeviceComm *comm() const { return m_services.comm; }

    // The device's link from the read-out: 1 or 2 for RS232 on its COM1/COM2 (text "RS232 COMn,"
    // and that port's settings), else 0 with the text "USB".
    int connectionType(QString *text = nullptr) const;
    // Why the device's COMn (1 or 2) cannot be tunnelled (it links the PC, or carries TCP/IP);
    // empty when it can.
    QString comExclusion(int n) const;
    // The link as the final page names it: "USB", "COM1" or "COM2".
    QString linkName() const;
    // The driver's virtual ports that no configuration uses (hidden ends never offered).
    QStringList freeVirtualPorts() const;
    // Port names already taken: the inventory, the driver's pairs and every configuration.
    QStringList usedPortNames() const;
    // The lowest "COMn" names not in used, count of them.
    static QStringList freeComNames(const QStringList &used, int count);
    // A wizard text from the resources (UTF-8).
    static QString resourceText(const QString &name);
    // The identity of the configuration this wizard created (null before the last page).
    QUuid createdUuid() const;

signals:
    void startUUID(QUuid uid);

public slots:
    void onCurrentIdChanged(int id);
    void done(int result) override;

private:
    Services m_services;
};
