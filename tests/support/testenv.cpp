#include "tests/support/testenv.h"

#include <QCoreApplication>
#include <QDir>

namespace
{
const char *const kVars[5] = {"XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CONFIG_HOME", "VELMORA_SYSTEM_DIR",
                              "VELMORA_PORTS_DIR"};
}

TestEnv::TestEnv()
{
    for (int i = 0; i < 5; ++i)
        m_saved[i] = qgetenv(kVars[i]);
    QDir root(m_dir.path());
    root.mkpath(QStringLiteral("data"));
    root.mkpath(QStringLiteral("state"));
    root.mkpath(QStringLiteral("config"));
    root.mkpath(QStringLiteral("system/ports"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.path() + QStringLiteral("/data")));
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir.path() + QStringLiteral("/state")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path() + QStringLiteral("/config")));
    qputenv("VELMORA_SYSTEM_DIR", QFile::encodeName(systemDir()));
    qputenv("VELMORA_PORTS_DIR", QFile::encodeName(portsDir()));
}

TestEnv::~TestEnv()
{
    for (int i = 0; i < 5; ++i) {
        if (m_saved[i].isNull())
            qunsetenv(kVars[i]);
        else
            qputenv(kVars[i], m_saved[i]);
    }
}

QString TestEnv::dataPath() const
{
    return m_dir.path() + QStringLiteral("/data/Tavrel/Velmora");
}

QString TestEnv::systemDir() const
{
    return m_dir.path() + QStringLiteral("/system");
}

QString TestEnv::portsDir() const
{
    return m_dir.path() + QStringLiteral("/system/ports");
}

QString TestEnv::binary(const QString &name)
{
    QString dir = qEnvironmentVariable("VELMORA_BIN_DIR");
    if (dir.isEmpty())
        dir = QCoreApplication::applicationDirPath();
    return dir + QLatin1Char('/') + name;
}
