#include "platform/librarylocation.h"

#include <QCoreApplication>
#include <QFileInfo>

QString LibraryLocation::find(const char *environmentVariable, const QString &baseName)
{
    const QString fromEnv = qEnvironmentVariable(environmentVariable);
    if (!fromEnv.isEmpty())
        return fromEnv;
    if (QCoreApplication::instance()) {
        const QString beside =
            QCoreApplication::applicationDirPath() + QStringLiteral("/lib%1.so").arg(baseName);
        if (QFileInfo::exists(beside))
            return beside;
    }
    return baseName;
}
