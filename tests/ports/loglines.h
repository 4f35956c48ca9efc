// The process's log sent to a private file for one test, read back as text.
#pragma once

#include "log/debug_class.h"

#include <QFile>
#include <QTemporaryDir>

class LogLines
{
public:
    LogLines()
    {
        CGlobalDebugFileHandler *h = CGlobalDebugFileHandler::instance();
        h->reset();
        h->setConsole(0);
        h->setLevel(99);
        h->setFileNames(QStringLiteral("velmora"), QStringLiteral("test"));
        h->start(m_dir.path());
    }
    ~LogLines() { CGlobalDebugFileHandler::instance()->reset(); }
    QString text() const
    {
        CGlobalDebugFileHandler::instance()->flush();
        QFile file(CGlobalDebugFileHandler::instance()->logFileName());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private:
    QTemporaryDir m_dir;
};
