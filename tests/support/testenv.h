// A private set-up for one test: its own data, state, system and ports
// folders in a temporary directory, exported through the environment so
// that the code under test and every process it starts use them.
#pragma once

#include <QString>
#include <QTemporaryDir>

class TestEnv
{
public:
    TestEnv();
    ~TestEnv();
    TestEnv(const TestEnv &) = delete;
    TestEnv &operator=(const TestEnv &) = delete;

    QString root() const { return m_dir.path(); }
    QString dataPath() const;  // the program's data folder (Tavrel/Velmora under XDG_DATA_HOME)
    QString systemDir() const; // VELMORA_SYSTEM_DIR
    QString portsDir() const;  // VELMORA_PORTS_DIR

    // A program or library built beside the tests.
    static QString binary(const QString &name);
    // VELMORA_TEST_LOG_CONSOLE is set: a log capture copies its lines to
    // standard error, for debugging a test.
    static bool logToConsole();

private:
    QTemporaryDir m_dir;
    QByteArray m_saved[5];
};
