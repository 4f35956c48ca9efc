// Where the programs find libledmir.so: the file named by VELMORA_LEDMIR,
// else the one beside the running program, else the loader's own search.
#pragma once

#include <QCoreApplication>
#include <QFileInfo>
#include <QString>

inline QString ledmirLibraryName()
{
    const QString fromEnv = qEnvironmentVariable("VELMORA_LEDMIR");
    if (!fromEnv.isEmpty())
        return fromEnv;
    if (QCoreApplication::instance()) {
        const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/libledmir.so");
        if (QFileInfo::exists(beside))
            return beside;
    }
    return QStringLiteral("libledmir.so");
}
