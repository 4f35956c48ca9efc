#include "config/configurationfile.h"

#include "config/serialsettings.h"
#include "log/debug_class.h"

#include <QCoreApplication>
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

void appendError(QString *errors, const QString &message)
{
    if (!errors)
        return;
    if (!errors->isEmpty())
        *errors += QStringLiteral("| ");
    *errors += message;
}

QString tr(const char *text)
{
    return QCoreApplication::translate("ConfigurationFile", text);
}

// The number of elements to read: the declared size, bounded so that an
// absurd "size" never makes the reader produce millions of elements. Every
// declared element is read, present or not, so that a missing one is noticed
// rather than silently dropped at the next save.
int boundedArraySize(QSettings &s, const QString &array, int limit, int *declaredOut = nullptr)
{
    const int declared = qMax(0, s.beginReadArray(array));
    s.endArray();
    if (declaredOut)
        *declaredOut = declared;
    if (declared > limit) {
        VLOG(-10) << "Config array " << array << " declares " << declared << " elements, reading the first "
                  << limit;
        return limit;
    }
    return declared;
}

// An array element with no key at all (the reader is positioned on it).
bool elementMissing(const QSettings &s)
{
    return s.childKeys().isEmpty() && s.childGroups().isEmpty();
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

QString ConfigurationFile::readProblem() const
{
    QFile file(m_path);
    if (!file.exists() || file.open(QIODevice::ReadOnly))
        return QString();
    return file.errorString();
}

bool ConfigurationFile::writable() const
{
    // Writing over a file that could not be read would replace the user's
    // configurations with whatever is in memory.
    const QString problem = readProblem();
    if (problem.isEmpty())
        return true;
    VLOG(-10) << "Config file " << m_path << " cannot be read (" << problem << "), not writing over it";
    return false;
}

int ConfigurationFile::load(QVector<TunnelSettings> &list, AppSettings &app, QString *errors,
                            QString *unreadable) const
{
    const QString problem = readProblem();
    if (!problem.isEmpty()) {
        VLOG(-10) << "Config file " << m_path << " cannot be read: " << problem;
        if (unreadable)
            *unreadable = problem;
        return 0;
    }
    QSettings s(m_path, QSettings::IniFormat);
    openSettings(s);
    if (s.status() == QSettings::AccessError) {
        VLOG(-10) << "Config file " << m_path << " cannot be read";
        if (unreadable)
            *unreadable = tr("błąd dostępu");
        return 0;
    }

    int rejected = 0;
    int declared = 0;
    const int n = boundedArraySize(s, QStringLiteral("powiazania"), kMaxConfigurations, &declared);
    int missing = 0;
    s.beginReadArray(QStringLiteral("powiazania"));
    for (int i = 0; i < n; ++i) {
        s.setArrayIndex(i);
        if (elementMissing(s)) {
            ++missing;
            continue;
        }
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

        int declaredTunnels = 0;
        const int tunnels = boundedArraySize(s, QStringLiteral("powiazanie"), kMaxTunnels, &declaredTunnels);
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

        bool valid = t.validate();
        if (valid && declaredTunnels > tunnels) {
            // Keeping part of the tunnels would drop the rest at the next save.
            t.validation_error =
                tr("Zbyt wiele tuneli COM w konfiguracji numer %1: %2 (dozwolone najwyżej %3)")
                    .arg(i + 1)
                    .arg(declaredTunnels)
                    .arg(kMaxTunnels);
            valid = false;
        }
        if (valid) {
            list.append(t);
        } else {
            ++rejected;
            appendError(errors, t.validation_error);
            VLOG(-10) << t.validation_error;
        }
    }
    s.endArray();
    if (missing > 0) {
        rejected += missing;
        const QString message =
            tr("Brak danych %1 z %2 zadeklarowanych konfiguracji").arg(missing).arg(declared);
        appendError(errors, message);
        VLOG(-10) << message;
    }
    if (declared > n) {
        rejected += declared - n;
        const QString message =
            tr("Plik deklaruje %1 konfiguracji, wczytano najwyżej %2").arg(declared).arg(n);
        appendError(errors, message);
        VLOG(-10) << message;
    }

    app.autorun = readInt(s, QStringLiteral("/aplikacja/autouruchamianie"), 1) != 0;
    app.restarts_blocked = readInt(s, QStringLiteral("/aplikacja/autorestarty"), 1) == 0;
    app.start_minimized = readInt(s, QStringLiteral("/aplikacja/startujzminimalizowany"), 0) != 0;
    app.task_delay = readInt(s, QStringLiteral("/aplikacja/opoznieniezadania"), 0);
    if (app.task_delay < 0 || app.task_delay > TunnelSettings::kMaxDelaySeconds) {
        const QString message =
            tr("Nieprawidłowe opóźnienie uruchomienia zadania: %1 s (dozwolone od 0 do %2 s), przyjęto 0")
                .arg(app.task_delay)
                .arg(TunnelSettings::kMaxDelaySeconds);
        appendError(errors, message);
        VLOG(-10) << message;
        app.task_delay = 0;
    }
    app.only_virtual = readInt(s, QStringLiteral("/aplikacja/tylkowirtualne"), 1) != 0;
    app.start_with_system = readInt(s, QStringLiteral("/aplikacja/startzsystemem"), 0) != 0;
    app.start_wizard = readInt(s, QStringLiteral("/aplikacja/startwizard"), 1) != 0;
    app.wine_prefix = readText(s, QStringLiteral("/aplikacja/prefiksWine"));
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
    if (!writable())
        return false;
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
    if (!writable())
        return false;
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
    s.setValue(QStringLiteral("/aplikacja/prefiksWine"), app.wine_prefix);
    return finish(s);
}
