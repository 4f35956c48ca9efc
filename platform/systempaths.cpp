#include "platform/systempaths.h"

#include <QDir>
#include <QFileInfo>

#include <unistd.h>

QString SystemPaths::systemFolder()
{
    QString folder = qEnvironmentVariable("VELMORA_SYSTEM_DIR");
    if (folder.isEmpty()) {
        const QString system = QStringLiteral("/var/lib/velmora");
        QDir().mkpath(system);
        if (::access(QFile::encodeName(system).constData(), W_OK) == 0) {
            folder = system;
        } else {
            QString state = qEnvironmentVariable("XDG_STATE_HOME");
            if (state.isEmpty())
                state = QDir::homePath() + QStringLiteral("/.local/state");
            folder = state + QStringLiteral("/velmora");
        }
    }
    QDir().mkpath(folder);
    return QDir(folder).absolutePath();
}

QString SystemPaths::portsFolder()
{
    const QString fromEnv = qEnvironmentVariable("VELMORA_PORTS_DIR");
    if (!fromEnv.isEmpty())
        return QDir(fromEnv).absolutePath();
    // A folder of its own: no port can shadow a device. Users who share the
    // system-wide folder with a daemon run by root find its ports there too.
    const QString system = systemFolder();
    if (::geteuid() == 0 ||
        (system == QLatin1String("/var/lib/velmora") && QFileInfo(QStringLiteral("/dev/velmora")).isDir()))
        return QStringLiteral("/dev/velmora");
    return system + QStringLiteral("/ports");
}

QString SystemPaths::devicePortsFolder()
{
    const QString fromEnv = qEnvironmentVariable("VELMORA_DEVICE_PORTS_DIR");
    if (!fromEnv.isEmpty())
        return QDir(fromEnv).absolutePath();
    return systemFolder() + QStringLiteral("/devices");
}
