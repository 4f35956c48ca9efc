// Sends the process's log to a file in a private folder for one test and
// lets the test read back what was logged. One capture at a time: the log
// facility is process-wide.
#pragma once

#include "log/debug_class.h"
#include "tests/support/testenv.h"

#include <QFile>
#include <QString>
#include <QTemporaryDir>

class LogCapture
{
public:
    explicit LogCapture(int level = 99)
    {
        CGlobalDebugFileHandler *h = CGlobalDebugFileHandler::instance();
        h->reset();
        h->setConsole(TestEnv::logToConsole() ? 1 : 0);
        h->setLevel(level);
        h->setFileNames(QStringLiteral("velmora"), QStringLiteral("test"));
        h->start(m_dir.path());
    }
    ~LogCapture() { CGlobalDebugFileHandler::instance()->reset(); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QString text() const
    {
        CGlobalDebugFileHandler *h = CGlobalDebugFileHandler::instance();
        h->flush();
        QFile file(h->logFileName());
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        return QString::fromUtf8(file.readAll());
    }
    bool contains(const QString &needle) const { return text().contains(needle); }
    int count(const QString &needle) const { return text().count(needle); }

private:
    QTemporaryDir m_dir;
};
