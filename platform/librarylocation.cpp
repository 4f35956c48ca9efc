#include "platform/librarylocation.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstdlib>
#include <sys/auxv.h>

namespace
{

// Before main: a privileged process drops the variables that would make Qt
// or the toolkits it loads read code from a folder the user chose (the
// loader already ignores LD_LIBRARY_PATH and LD_PRELOAD for it, but knows
// nothing of these). Variables that only pick among installed plugins stay.
__attribute__((constructor)) void dropCodeSearchPathsWhenPrivileged()
{
    if (!LibraryLocation::privileged())
        return;
    for (const char *name : {"QT_PLUGIN_PATH", "QT_QPA_PLATFORM_PLUGIN_PATH", "GTK_MODULES", "GTK3_MODULES",
                             "GTK_PATH", "GIO_EXTRA_MODULES", "GIO_MODULE_DIR", "LIBGL_DRIVERS_PATH"})
        ::unsetenv(name);
}

} // namespace

bool LibraryLocation::privileged()
{
    return ::getauxval(AT_SECURE) != 0;
}

QString LibraryLocation::find(const char *environmentVariable, const QString &baseName)
{
    if (!privileged()) {
        const QString fromEnv = qEnvironmentVariable(environmentVariable);
        if (!fromEnv.isEmpty())
            return fromEnv;
    }
    if (QCoreApplication::instance()) {
        // The program's own file, links resolved (/proc/self/exe): a link to
        // it elsewhere does not move where its libraries are looked for.
        const QString beside =
            QCoreApplication::applicationDirPath() + QStringLiteral("/lib%1.so").arg(baseName);
        if (QFileInfo::exists(beside))
            return beside;
    }
    return baseName;
}
