// One configuration: the device, its channels and the run-time state the
// supervisor keeps beside it.
#pragma once

#include <QHostAddress>
#include <QMetaType>
#include <QString>
#include <QUuid>
#include <QVector>

class WorkThreadIP;

class TunnelSettings
{
public:
    enum TunnelMode { DirectIP = 0, PPP = 1 };
    enum TunnelState { Stopped = 0, Starting = 1, Running = 2, Stopping = 3, StoppedError = 4 };

    // Longest restart or start-task delay a configuration may ask for: one day.
    static constexpr int kMaxDelaySeconds = 24 * 60 * 60;

    TunnelSettings();

    bool validate();
    bool checkIPTarget(const QString &target);
    static QHostAddress hostFromTarget(const QString &target);
    static int portFromTarget(const QString &target);
    QHostAddress deviceAddress() const;
    static QString stateName(int state, bool masculine = false);
    QString dump() const;

    // A port name is a plain name (COM5, ttyUSB0) or the absolute path of a
    // character device; anything else (a relative path, "..") could make the
    // port map to a file outside the device folders.
    static bool isValidPortName(const QString &name);

    // Compares every persisted field (what the configuration file keeps).
    bool sameStoredFields(const TunnelSettings &other) const;

    QString validation_error;
    QUuid uuid;
    int mode = DirectIP;
    int autostart = 0;
    int autorestart = 0;
    int restart_limit = 0;
    int restart_count = 0;
    int restart_delay = 5;
    QString tunnel_com;
    QString tunnel_settings;
    QString tunnel_localip;
    QString tunnel_remoteip;
    QString data_com;
    QString data_settings;
    QString data_ip;
    QString tm_com;
    QString tm_settings;
    QString tm_ip;
    QVector<QString> proxy_com;
    QVector<QString> proxy_settings;
    QVector<QString> proxy_data;
    QVector<QString> proxy_ctrl;
    QString description;
    TunnelState state = Stopped;
    WorkThreadIP *worker = nullptr;
    QString last_error;

private:
    static bool validParams(const QString &params);
};

Q_DECLARE_METATYPE(TunnelSettings)
Q_DECLARE_METATYPE(TunnelSettings::TunnelState)

// Registers both meta-types under the names queued signals and QVariant use.
void registerTunnelSettingsMetaTypes();
