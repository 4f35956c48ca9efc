#include "config/tunnelsettings.h"

#include "config/serialsettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <sys/stat.h>

namespace
{
QString tr(const char *text)
{
    return QCoreApplication::translate("TunnelSettings", text);
}
} // namespace

TunnelSettings::TunnelSettings() : uuid(QUuid::createUuid()) {}

void registerTunnelSettingsMetaTypes()
{
    qRegisterMetaType<TunnelSettings>("TunnelSettings");
    qRegisterMetaType<TunnelSettings::TunnelState>("TunnelSettings::TunnelState");
}

bool TunnelSettings::isValidPortName(const QString &name)
{
    if (name.isEmpty())
        return false;
    for (const QChar c : name)
        if (c.category() == QChar::Other_Control)
            return false;
    if (!name.contains(QLatin1Char('/')))
        return name != QLatin1String(".") && name != QLatin1String("..");
    // An absolute path without "." or ".." steps; when it exists it must be a
    // character device (a port that is unplugged right now may be missing).
    if (!name.startsWith(QLatin1Char('/')) || QDir::cleanPath(name) != name)
        return false;
    struct stat st;
    if (::stat(QFile::encodeName(name).constData(), &st) != 0)
        return errno == ENOENT;
    return S_ISCHR(st.st_mode);
}

bool TunnelSettings::validParams(const QString &params)
{
    return parseSerialSettings(params);
}

QHostAddress TunnelSettings::hostFromTarget(const QString &target)
{
    const QStringList parts = target.split(QLatin1Char(':'));
    if (parts.size() == 1)
        return QHostAddress(target);
    QHostAddress address;
    if (address.setAddress(parts.first()))
        return address;
    return QHostAddress();
}

int TunnelSettings::portFromTarget(const QString &target)
{
    const QStringList parts = target.split(QLatin1Char(':'));
    if (parts.size() != 2)
        return 0;
    bool ok = false;
    const long port = parts.at(1).toLong(&ok, 10);
    if (!ok || port < 1 || port > 65535)
        return 0;
    return int(port);
}

bool TunnelSettings::checkIPTarget(const QString &target)
{
    const QStringList parts = target.split(QLatin1Char(':'));
    if (parts.size() != 2) {
        validation_error = tr("Nieprawidłowe określenie celu IP: %1").arg(target);
        return false;
    }
    QHostAddress address;
    if (!address.setAddress(parts.at(0))) {
        validation_error = tr("Nieprawidłowy adres IP: %1").arg(parts.at(0));
        return false;
    }
    bool ok = false;
    const long port = parts.at(1).toLong(&ok, 10);
    if (!ok || port < 1 || port > 65535) {
        validation_error = tr("Nieprawidłowy port IP: %1").arg(parts.at(1));
        return false;
    }
    return true;
}

bool TunnelSettings::validate()
{
    validation_error.clear();
    auto portNameValid = [this](const QString &name, const QString &where) {
        if (isValidPortName(name))
            return true;
        validation_error =
            tr("Nieprawidłowa nazwa portu szeregowego '%1' (%2): dozwolona jest nazwa bez ukośników, np. COM5, albo pełna ścieżka urządzenia znakowego, np. /dev/ttyUSB0")
                .arg(name, where);
        return false;
    };
    auto pcInterfaceValid = [this, &portNameValid]() {
        if (data_com.isEmpty())
            return true;
        if (!portNameValid(data_com, tr("interfejs PC")))
            return false;
        if (!checkIPTarget(data_ip))
            return false;
        if (!validParams(data_settings)) {
            validation_error += tr(" Nieprawidłowe ustawienia portu COM dla interfejsu PC");
            return false;
        }
        return true;
    };

    if (mode != DirectIP) {
        if (tunnel_com.isEmpty()) {
            validation_error = tr("Nie ustawiony port szeregowy dla tunelu PPP");
            return false;
        }
        if (!portNameValid(tunnel_com, tr("tunel PPP")))
            return false;
        if (!pcInterfaceValid())
            return false;
        if (!validParams(tunnel_settings)) {
            validation_error += tr(" Nieprawidłowe ustawienia portu COM dla tunelu PPP");
            return false;
        }
    } else if (!pcInterfaceValid()) {
        return false;
    }

    if (!tm_com.isEmpty()) {
        if (!portNameValid(tm_com, tr("monitor transakcji")))
            return false;
        if (!checkIPTarget(tm_ip))
            return false;
        if (!validParams(tm_settings)) {
            validation_error += tr(" Nieprawidłowe ustawienia portu COM dla monitora transakcji");
            return false;
        }
    }

    if (proxy_com.size() != proxy_data.size() || proxy_com.size() != proxy_ctrl.size()) {
        validation_error += tr(" Nieprawidłowa ilość parametrów dla tuneli COM");
        return false;
    }
    for (int i = 0; i < proxy_com.size(); ++i) {
        if (proxy_com.at(i).isEmpty()) {
            validation_error += tr(" Nie ustawiony port szeregowy dla tunelu numer %1").arg(i + 1);
            return false;
        }
        if (!portNameValid(proxy_com.at(i), tr("tunel %1").arg(i + 1)))
            return false;
        if (!checkIPTarget(proxy_data.at(i))) {
            validation_error += tr(" (kanał danych) dla tunelu %1").arg(i + 1);
            return false;
        }
        if (!checkIPTarget(proxy_ctrl.at(i))) {
            validation_error += tr(" (kanał sygnalizacji) dla tunelu %1").arg(i + 1);
            return false;
        }
        // A missing settings entry is as invalid as a bad one, and never read past the list.
        if (i >= proxy_settings.size() || !validParams(proxy_settings.at(i))) {
            validation_error += tr(" Nieprawidłowe ustawienia portu COM dla tunelu %1").arg(i + 1);
            return false;
        }
    }
    // A negative delay or one of days is a damaged value, not a wish.
    if (restart_delay < 0 || restart_delay > kMaxDelaySeconds) {
        validation_error = tr("Nieprawidłowe opóźnienie restartu: %1 s (dozwolone od 0 do %2 s)")
                               .arg(restart_delay)
                               .arg(kMaxDelaySeconds);
        return false;
    }
    return true;
}

QHostAddress TunnelSettings::deviceAddress() const
{
    QVector<QString> candidates{tunnel_remoteip, data_ip, tm_ip};
    candidates += proxy_data;
    for (const QString &target : qAsConst(candidates)) {
        if (target.isEmpty())
            continue;
        const QHostAddress address = hostFromTarget(target);
        if (!address.isNull())
            return address;
    }
    return QHostAddress();
}

QString TunnelSettings::stateName(int state, bool masculine)
{
    switch (state) {
    case Stopped:
        return masculine ? tr("Zatrzymany") : tr("Zatrzymana");
    case Starting:
        return tr("Uruchamianie");
    case Running:
        return masculine ? tr("Uruchomiony") : tr("Uruchomiona");
    case Stopping:
        return tr("Zatrzymywanie");
    case StoppedError:
        return masculine ? tr("Zatrzymany-Błąd") : tr("Zatrzymana-Błąd");
    default:
        return tr("Nieznany");
    }
}

QString TunnelSettings::dump() const
{
    QString s = QStringLiteral("Startup configuration:\n[CFG] ------------BEGIN--------------\n");
    s += QStringLiteral("[CFG] UUID                  : %1\n").arg(uuid.toString());
    s += QStringLiteral("[CFG] Mode                  : %1\n").arg(mode);
    s += QStringLiteral("[CFG] Autorun               : %1\n").arg(autostart);
    s += QStringLiteral("[CFG] Autorestart           : %1\n").arg(autorestart);
    s += QStringLiteral("[CFG] Restart-limit         : %1\n").arg(restart_limit);
    s += QStringLiteral("[CFG] Restart-time          : %1\n").arg(restart_delay);
    s += QStringLiteral("[CFG] Restart-count         : %1\n").arg(restart_count);
    s += QStringLiteral("[CFG] State                 : %1\n").arg(stateName(state, false));
    s += QStringLiteral("[CFG] PPP Port              : %1\n").arg(tunnel_com);
    s += QStringLiteral("[CFG] PPP Port Settings     : %1\n").arg(tunnel_settings);
    s += QStringLiteral("[CFG] PPP Local IP          : %1\n").arg(tunnel_localip);
    s += QStringLiteral("[CFG] PPP Remote IP         : %1\n").arg(tunnel_remoteip);
    s += QStringLiteral("[CFG] Data Port             : %1\n").arg(data_com);
    s += QStringLiteral("[CFG] Data Port Settings    : %1\n").arg(data_settings);
    s += QStringLiteral("[CFG] Data Port IP          : %1\n").arg(data_ip);
    s += QStringLiteral("[CFG] Monitor Port          : %1\n").arg(tm_com);
    s += QStringLiteral("[CFG] Monitor Port Settings : %1\n").arg(tm_settings);
    s += QStringLiteral("[CFG] Monitor Port IP       : %1\n").arg(tm_ip);
    s += QStringLiteral("[CFG] Description           : %1\n").arg(description);
    s += QStringLiteral("[CFG] Tunnels count         : %1\n").arg(proxy_com.size());
    for (int i = 0; i < proxy_com.size(); ++i) {
        // Both placeholders are filled in one pass, so a value containing "%2" stays as it is.
        s += QStringLiteral("[CFG] Tunnel %2 Port         : %1\n")
                 .arg(proxy_com.at(i), QString::number(i + 1));
        if (i < proxy_settings.size())
            s += QStringLiteral("[CFG] Tunnel %2 Port Settings: %1\n")
                     .arg(proxy_settings.at(i), QString::number(i + 1));
        if (i < proxy_data.size())
            s += QStringLiteral("[CFG] Tunnel %2 data port    : %1\n")
                     .arg(proxy_data.at(i), QString::number(i + 1));
        if (i < proxy_ctrl.size())
            s += QStringLiteral("[CFG] Tunnel %2 sig port     : %1\n")
                     .arg(proxy_ctrl.at(i), QString::number(i + 1));
    }
    s += QStringLiteral("[CFG] ------------END--------------");
    return s;
}

bool TunnelSettings::sameStoredFields(const TunnelSettings &o) const
{
    return mode == o.mode && autostart == o.autostart && autorestart == o.autorestart &&
           restart_limit == o.restart_limit && restart_delay == o.restart_delay &&
           tunnel_com == o.tunnel_com && tunnel_settings == o.tunnel_settings &&
           tunnel_localip == o.tunnel_localip && tunnel_remoteip == o.tunnel_remoteip &&
           data_com == o.data_com && data_settings == o.data_settings && data_ip == o.data_ip &&
           tm_com == o.tm_com && tm_settings == o.tm_settings && tm_ip == o.tm_ip &&
           proxy_com == o.proxy_com && proxy_settings == o.proxy_settings && proxy_data == o.proxy_data &&
           proxy_ctrl == o.proxy_ctrl && description == o.description;
}
