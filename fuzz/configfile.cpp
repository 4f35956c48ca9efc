// Fuzzes the configuration file reader: the input is written as
// configuration.ini in a private folder and loaded as the program loads it.
// What was accepted is then saved and loaded again, which must give back as
// many configurations, none of them rejected.
#include "config/configurationfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace
{

QTemporaryDir *g_dir = nullptr;

bool writeFile(const QString &path, const uint8_t *data, size_t size)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           f.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // QSettings and the text codecs want an application object.
    new QCoreApplication(*argc, *argv);
    g_dir = new QTemporaryDir();
    return g_dir->isValid() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = g_dir->filePath(QStringLiteral("configuration.ini"));
    const QString again = g_dir->filePath(QStringLiteral("again.ini"));
    QFile::remove(again);
    if (!writeFile(path, data, size))
        std::abort();

    QVector<TunnelSettings> list;
    AppSettings app;
    QString errors;
    ConfigurationFile(path).load(list, app, &errors);
    if (list.size() > ConfigurationFile::kMaxConfigurations) {
        std::fprintf(stderr, "%d configurations loaded\n", int(list.size()));
        std::abort();
    }

    if (!ConfigurationFile(again).save(list))
        return 0;
    QVector<TunnelSettings> reloaded;
    AppSettings app2;
    QString errors2;
    const int rejected = ConfigurationFile(again).load(reloaded, app2, &errors2);
    if (reloaded.size() != list.size() || rejected != 0) {
        std::fprintf(stderr, "saved %d configurations, read back %d, %d rejected: %s\n", int(list.size()),
                     int(reloaded.size()), rejected, errors2.toUtf8().constData());
        std::abort();
    }
    return 0;
}
