// Sends the process's log to a file in a private folder for one test and
// lets the test read back what was logged.
#pragma once

#include "log/debug_class.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

class LogCapture
{
public:
    explicit LogCapture(int level = 99)
    {
        auto *h = CGlobalDebugFileHandler::instance();
        h->reset();
        h->setFileNames(QStringLiteral("velmora"), QStringLiteral("test"));
        h->start(m_dir.path());
        h->setLevel(level);
        h->setConsole(qEnvironmentVariableIsSet("VELMORA_TEST_LOG_CONSOLE") ? 1 : 0);
    }
    ~LogCapture() { CGlobalDebugFileHandler::instance()->reset(); }

    QString text() const
    {
        CGlobalDebugFileHandler::instance()->flush();
        QFile f(CGlobalDebugFileHandler::instance()->logFileName());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll());
    }
    bool contains(const QString &s) const { return text().contains(s); }
    int count(const QString &s) const { return text().count(s); }

private:
    QTemporaryDir m_dir;
};
