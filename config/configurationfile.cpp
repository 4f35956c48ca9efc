#include "config/configurationfile.h"

#include "config/serialsettings.h"
#include "log/debug_class.h"

#include <QFile>
#include <QSettings>

namespace
{
const char *const kCodec = "Windows-1250";
const QString kDefaultParams = QStringLiteral("9600,8,N,1,N");

// An integer key; a value that is not a number counts as absent.
int readInt(const QSettings &s, const QString &key, int defaultValue)
{
    const QVariant v = s.value(key);
    if (!v.isValid())
        return defaultValue;
    bool ok = false;
    const int value = v.toString().trimmed().toInt(&ok);
    return ok ? value : defaultValue;
}

// A text key. A list-valued key (a comma-separated unquoted value) reads back
// joined as it stood in the file rather than being lost.
QString readText(const QSettings &s, const QString &key, const QString &defaultValue = QString())
{
    const QVariant v = s.value(key);
    if (!v.isValid())
        return defaultValue;
    if (v.type() == QVariant::StringList)
        return v.toStringList().join(QLatin1Char(','));
    return v.toString();
}

// Array size, bounded by what the file really holds: an absurd "size"
// never makes the reader produce millions of empty elements.
int boundedArraySize(QSettings &s, const QString &array, int limit)
{
    const int declared = s.beginReadArray(array);
    int highest = 0;
    s.endArray();
    s.beginGroup(array);
    const QStringList groups = s.childGroups();
    s.endGroup();
    for (const QString &g : groups) {
        bool ok = false;
        const int index = g.toInt(&ok);
        if (ok && index > highest && index <= declared)
            highest = index;
    }
    if (highest > limit) {
        VLOG(-10) << "Config array " << array << " holds " << highest << " elements, reading the first "
                  << limit;
        highest = limit;
    }
    return highest;
}

void openSettings(QSettings &s)
{
    s.setIniCodec(kCodec);
    // The settings library finds a key like "powiazania/1/tryb" only in the
    // section of its first component unless the whole file has been parsed;
    // files laid out with every key in [General] need the full parse.
    s.allKeys();
}
} // namespace

ConfigurationFile::ConfigurationFile(const QString &path) : m_path(path) {}

bool ConfigurationFile::exists() const
{
    return QFile::exists(m_path);
}

void ConfigurationFile::backup() const
{
    const QString bak = m_path + QStringLiteral(".bak");
    QFile::remove(bak);
    if (!QFile::copy(m_path, bak))
        VLOG(10) << "Save config file - make backup copy failed";
}

int ConfigurationFile::load(QVector<TunnelSettings> &list, AppSettings &app, QString *errors) const
{
    QSettings s(m_path, QSettings::IniFormat);
    openSettings(s);

    int rejected = 0;
    const int n = boundedArraySize(s, QStringLiteral("powiazania"), kMaxConfigurations);
    s.beginReadArray(QStringLiteral("powiazania"));
    for (int i = 0; i < n; ++i) {
        s.setArrayIndex(i);
        TunnelSettings t;
        t.autostart = readInt(s, QStringLiteral("autostart"), 0);
        t.autorestart = readInt(s, QStringLiteral("autorestart"), 0);
        t.restart_limit = readInt(s, QStringLiteral("limitrestartow"), 0);
        t.restart_delay = readInt(s, QStringLiteral("opoznienierestartu"), 5);
        t.mode = readInt(s, QStringLiteral("tryb"), 0) != 0 ? TunnelSettings::PPP : TunnelSettings::DirectIP;
        t.data_com = readText(s, QStringLiteral("dane_com"));
        t.data_settings = normalizeSerialSettings(
            readText(s, QStringLiteral("dane_com_ustawienia"), kDefaultParams), false);
        t.data_ip = readText(s, QStringLiteral("dane_ip"));
        t.tm_com = readText(s, QStringLiteral("monitor_com"));
        t.tm_settings = normalizeSerialSettings(
            readText(s, QStringLiteral("monitor_com_ustawienia"), kDefaultParams), false);
        t.tm_ip = readText(s, QStringLiteral("monitor_ip"));
        t.tunnel_com = readText(s, QStringLiteral("serial_port"));
        t.tunnel_settings = normalizeSerialSettings(
            readText(s, QStringLiteral("serial_port_ustawienia"), kDefaultParams), true);
        t.tunnel_localip = readText(s, QStringLiteral("serial_lokalne_ip"));
        t.tunnel_remoteip = readText(s, QStringLiteral("serial_zdalne_ip"));
        t.description = readText(s, QStringLiteral("opis"));

        const int tunnels = boundedArraySize(s, QStringLiteral("powiazanie"), kMaxTunnels);
        s.beginReadArray(QStringLiteral("powiazanie"));
        for (int j = 0; j < tunnels; ++j) {
            s.setArrayIndex(j);
            t.proxy_com.append(readText(s, QStringLiteral("port_com")));
            t.proxy_settings.append(normalizeSerialSettings(
                readText(s, QStringLiteral("port_com_ustawienia"), kDefaultParams), false));
            t.proxy_data.append(readText(s, QStringLiteral("port_dane")));
            t.proxy_ctrl.append(readText(s, QStringLiteral("port_sterowanie")));
        }
        s.endArray();

        if (t.validate()) {
            list.append(t);
        } else {
            ++rejected;
            if (errors) {
                if (!errors->isEmpty())
                    *errors += QStringLiteral("| ");
                *errors += t.validation_error;
            }
            VLOG(-10) << t.validation_error;
        }
    }
    s.endArray();

    app.autorun = readInt(s, QStringLiteral("/aplikacja/autouruchamianie"), 1) != 0;
    app.restarts_blocked = readInt(s, QStringLiteral("/aplikacja/autorestarty"), 1) == 0;
    app.start_minimized = readInt(s, QStringLiteral("/aplikacja/startujzminimalizowany"), 0) != 0;
    app.task_delay = readInt(s, QStringLiteral("/aplikacja/opoznieniezadania"), 0);
    app.only_virtual = readInt(s, QStringLiteral("/aplikacja/tylkowirtualne"), 1) != 0;
    app.start_with_system = readInt(s, QStringLiteral("/aplikacja/startzsystemem"), 0) != 0;
    app.start_wizard = readInt(s, QStringLiteral("/aplikacja/startwizard"), 1) != 0;
    return rejected;
}

namespace
{
bool finish(QSettings &s)
{
    s.sync();
    if (s.status() != QSettings::NoError) {
        VLOG(-10) << QStringLiteral("Config save error: %1").arg(int(s.status()));
        return false;
    }
    VLOG(4) << "Config saved OK";
    return true;
}
} // namespace

bool ConfigurationFile::save(const QVector<TunnelSettings> &list) const
{
    backup();
    QSettings s(m_path, QSettings::IniFormat);
    openSettings(s);
    s.remove(QStringLiteral("powiazania"));
    s.beginWriteArray(QStringLiteral("powiazania"), list.size());
    for (int i = 0; i < list.size(); ++i) {
        const TunnelSettings &t = list.at(i);
        s.setArrayIndex(i);
        s.setValue(QStringLiteral("autostart"), t.autostart);
        s.setValue(QStringLiteral("autorestart"), t.autorestart);
        s.setValue(QStringLiteral("limitrestartow"), t.restart_limit);
        s.setValue(QStringLiteral("opoznienierestartu"), t.restart_delay);
        s.setValue(QStringLiteral("tryb"), t.mode != 0 ? 1 : 0);
        if (!t.data_com.isEmpty() && !t.data_ip.isEmpty()) {
            s.setValue(QStringLiteral("dane_com"), t.data_com);
            s.setValue(QStringLiteral("dane_com_ustawienia"), t.data_settings);
            s.setValue(QStringLiteral("dane_ip"), t.data_ip);
        }
        if (!t.tm_com.isEmpty() && !t.tm_ip.isEmpty()) {
            s.setValue(QStringLiteral("monitor_com"), t.tm_com);
            s.setValue(QStringLiteral("monitor_com_ustawienia"), t.tm_settings);
            s.setValue(QStringLiteral("monitor_ip"), t.tm_ip);
        }
        if (t.mode == TunnelSettings::PPP) {
            s.setValue(QStringLiteral("serial_port"), t.tunnel_com);
            s.setValue(QStringLiteral("serial_port_ustawienia"), t.tunnel_settings);
            s.setValue(QStringLiteral("serial_lokalne_ip"), t.tunnel_localip);
            s.setValue(QStringLiteral("serial_zdalne_ip"), t.tunnel_remoteip);
        }
        s.setValue(QStringLiteral("opis"), t.description);
        if (!t.proxy_com.isEmpty()) {
            s.beginWriteArray(QStringLiteral("powiazanie"), t.proxy_com.size());
            for (int j = 0; j < t.proxy_com.size(); ++j) {
                s.setArrayIndex(j);
                s.setValue(QStringLiteral("port_com"), t.proxy_com.at(j));
                s.setValue(QStringLiteral("port_com_ustawienia"), t.proxy_settings.value(j));
                s.setValue(QStringLiteral("port_dane"), t.proxy_data.value(j));
                s.setValue(QStringLiteral("port_sterowanie"), t.proxy_ctrl.value(j));
            }
            s.endArray();
        }
    }
    s.endArray();
    return finish(s);
}

bool ConfigurationFile::saveApp(const AppSettings &app) const
{
    backup();
    QSettings s(m_path, QSettings::IniFormat);
    openSettings(s);
    s.setValue(QStringLiteral("/aplikacja/autouruchamianie"), app.autorun ? 1 : 0);
    s.setValue(QStringLiteral("/aplikacja/autorestarty"), app.restarts_blocked ? 0 : 1);
    s.setValue(QStringLiteral("/aplikacja/startujzminimalizowany"), app.start_minimized ? 1 : 0);
    s.setValue(QStringLiteral("/aplikacja/opoznieniezadania"), app.task_delay);
    s.setValue(QStringLiteral("/aplikacja/tylkowirtualne"), app.only_virtual ? 1 : 0);
    s.setValue(QStringLiteral("/aplikacja/startzsystemem"), app.start_with_system ? 1 : 0);
    s.setValue(QStringLiteral("/aplikacja/startwizard"), app.start_wizard ? 1 : 0);
    return finish(s);
}
