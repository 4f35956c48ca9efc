// Where the programs find libledmir.so: the file named by VELMORA_LEDMIR,
// else the one beside the running program, else the loader's own search.
// The rule of LibraryLocation (platform), written out here because the tools
// that use it do not link the platform library: a privileged process
// (AT_SECURE) ignores the variable.
#pragma once

#include <QCoreApplication>
#include <QFileInfo>
#include <QString>

#include <sys/auxv.h>

inline QString ledmirLibraryName()
{
    const QString fromEnv = ::getauxval(AT_SECURE) ? QString() : qEnvironmentVariable("VELMORA_LEDMIR");
    if (!fromEnv.isEmpty())
        return fromEnv;
    if (QCoreApplication::instance()) {
        const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/libledmir.so");
        if (QFileInfo::exists(beside))
            return beside;
    }
    return QStringLiteral("libledmir.so");
}
