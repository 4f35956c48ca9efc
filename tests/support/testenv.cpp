#include "tests/support/testenv.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>

#include <csignal>

namespace
{
// Running and not yet a zombie (a zombie may wait long for a reaper).
bool isAlive(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close > 0 && text.size() > close + 2 && text.at(close + 2) != 'Z';
}

const char *const kVars[5] = {"XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CONFIG_HOME", "VELMORA_SYSTEM_DIR",
                              "VELMORA_PORTS_DIR"};
} // namespace

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
    // A port driver started on demand inside this set-up is ended by its pid.
    QFile pidFile(systemDir() + QStringLiteral("/vspd/vspd.pid"));
    if (pidFile.open(QIODevice::ReadOnly)) {
        const pid_t pid = pid_t(pidFile.readAll().trimmed().toLong());
        if (pid > 0 && ::kill(pid, SIGTERM) == 0) {
            QElapsedTimer t;
            t.start();
            while (isAlive(pid) && t.elapsed() < 3000)
                QThread::msleep(10);
        }
    }
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
