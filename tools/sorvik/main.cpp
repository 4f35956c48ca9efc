// sorvik: deletes every virtual serial port pair of the port driver and the
// driver's registry records of them. Run by the uninstaller; takes no
// arguments and reports through its exit code and one-line messages.
#include "platform/registrystore.h"
#include "ports/vspinterface.h"

#include <QCoreApplication>
#include <QLibrary>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cwchar>

namespace
{

void errorLine(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fprintf(stderr, "%s\n", bytes.constData());
    std::fflush(stderr);
}

void progressLine(const QString &text)
{
    std::fwprintf(stdout, L"%ls\n", text.toStdWString().c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    if (!std::setlocale(LC_CTYPE, "") || QByteArray(std::setlocale(LC_CTYPE, nullptr)) == "C")
        std::setlocale(LC_CTYPE, "C.UTF-8"); // names may carry non-ASCII letters
    QCoreApplication app(argc, argv);

    typedef int (*DeleteAllFn)();
    QLibrary library(VSPInterface::libraryName());
    errno = 0;
    if (!library.load()) {
        const int error = errno != 0 ? errno : 126; // 126: the module was not found
        errorLine(QStringLiteral("Could not load serial port library: ") + QString::number(error));
        return 1;
    }
    const DeleteAllFn deleteAll = reinterpret_cast<DeleteAllFn>(library.resolve("DeleteAll"));
    if (!deleteAll) {
        errorLine(QStringLiteral("Could not load symbol DeleteAll: ") +
                  QString::number(127)); // procedure not found
        return 2;
    }
    if ((deleteAll() & 0xFF) == 0) {
        errorLine(QStringLiteral("Could not delete serial ports - DeleteAll failed"));
        return 3;
    }

    RegistryStore store;
    QString portsKey = VSPInterface::portsKey();
    portsKey.remove(0, portsKey.indexOf(QLatin1Char('\\')) +
                           1); // the store's paths start below the machine root
    if (!store.keyExists(portsKey)) {
        errorLine(QStringLiteral("Could not open registry key"));
        return 4;
    }
    // All names first: indices stay stable while keys disappear.
    QStringList names;
    for (int index = 0;; ++index) {
        QString name;
        const long rc = store.enumKey(portsKey, index, &name);
        if (rc == RegistryStore::NoMoreItems)
            break;
        if (rc != RegistryStore::Success) {
            errorLine(QStringLiteral("Could not enumerate keys idx=") + QString::number(index));
            return 5;
        }
        names.append(name.left(1024));
    }
    int failures = 0;
    for (const QString &name : qAsConst(names)) {
        progressLine(QStringLiteral("Removing: ") + name);
        if (store.deleteKey(portsKey + QLatin1Char('\\') + name) != RegistryStore::Success) {
            errorLine(QStringLiteral("Could not remove key: ") + name);
            ++failures;
        }
    }
    if (failures != 0) {
        errorLine(QStringLiteral("Some keys could not be removed"));
        return 6;
    }
    return 0;
}
