#include "ports/winelinks.h"

#include "config/configurationfile.h"
#include "config/tunnelsettings.h"
#include "log/debug_class.h"
#include "platform/systempaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTextStream>

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

const char *const WineLinks::kManifestName = ".velmora-wine-links";

namespace
{
QString tr(const char *text)
{
    return QCoreApplication::translate("WineLinks", text);
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

enum class LinkState { Missing, Link, NotLink, Unreadable };

// What stands at a path, without following a link (a link to a port whose pair
// does not exist yet dangles, and is still a link).
LinkState inspect(const QString &path, QString *target, int *error)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    if (::lstat(name.constData(), &st) != 0) {
        *error = errno;
        return errno == ENOENT ? LinkState::Missing : LinkState::Unreadable;
    }
    if (!S_ISLNK(st.st_mode))
        return LinkState::NotLink;
    QByteArray buffer(4096, '\0');
    const ssize_t n = ::readlink(name.constData(), buffer.data(), size_t(buffer.size() - 1));
    if (n < 0) {
        *error = errno;
        return LinkState::Unreadable;
    }
    buffer.truncate(int(n));
    *target = QFile::decodeName(buffer);
    return LinkState::Link;
}

// Creates or replaces a link in one step: a link made beside it is renamed over it,
// so a Wine program never finds the port missing in between.
bool placeLink(const QString &path, const QString &target, int *error)
{
    const QString temp = QFileInfo(path).path() + QStringLiteral("/.velmora-") + QFileInfo(path).fileName() +
                         QStringLiteral(".tmp");
    const QByteArray tempName = QFile::encodeName(temp);
    ::unlink(tempName.constData());
    if (::symlink(QFile::encodeName(target).constData(), tempName.constData()) != 0 ||
        ::rename(tempName.constData(), QFile::encodeName(path).constData()) != 0) {
        *error = errno;
        ::unlink(tempName.constData());
        return false;
    }
    return true;
}

void appendLines(QStringList &lines, const QString &title, const QVector<WineLinks::Entry> &entries)
{
    for (const WineLinks::Entry &e : entries) {
        QString line = title + QStringLiteral(": ") + (e.link.isEmpty() ? e.port : e.link);
        if (!e.target.isEmpty())
            line += QStringLiteral(" -> ") + e.target;
        if (!e.reason.isEmpty())
            line += QStringLiteral(" (") + e.reason + QLatin1Char(')');
        lines << line;
    }
}
} // namespace

WineLinks::WineLinks(const QString &prefix, const QString &portsFolder)
    : m_prefix(prefix.isEmpty() ? QString() : QDir(prefix).absolutePath()),
      m_portsFolder(portsFolder.isEmpty() ? SystemPaths::portsFolder() : QDir(portsFolder).absolutePath())
{
}

QString WineLinks::prefixProblem(const QString &prefix)
{
    if (prefix.trimmed().isEmpty())
        return tr("nie podano prefiksu Wine");
    const QFileInfo folder(prefix);
    if (!folder.exists())
        return tr("folder %1 nie istnieje").arg(prefix);
    if (!folder.isDir())
        return tr("%1 nie jest folderem").arg(prefix);
    const QDir dir(prefix);
    if (!QFileInfo(dir.filePath(QStringLiteral("system.reg"))).isFile() &&
        !QFileInfo(dir.filePath(QStringLiteral("dosdevices"))).isDir())
        return tr("folder %1 nie jest prefiksem Wine (brak system.reg i dosdevices)").arg(prefix);
    return QString();
}

int WineLinks::comNumber(const QString &portName)
{
    static const QRegularExpression com(QStringLiteral("^COM([1-9][0-9]{0,2})$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = com.match(portName);
    if (!m.hasMatch())
        return 0;
    const int n = m.captured(1).toInt();
    return n <= kMaxCom ? n : 0;
}

QStringList WineLinks::posPorts(const TunnelSettings &t)
{
    QStringList ports;
    if (!t.data_com.isEmpty() && !t.data_ip.isEmpty())
        ports << t.data_com;
    if (!t.tm_com.isEmpty() && !t.tm_ip.isEmpty())
        ports << t.tm_com;
    for (const QString &p : t.proxy_com)
        if (!p.isEmpty())
            ports << p;
    return ports;
}

QMap<QString, QString> WineLinks::readManifest() const
{
    QMap<QString, QString> entries;
    QFile file(QDir(m_prefix).filePath(QLatin1String(kManifestName)));
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    // Bounded: one line per COM number at most is meaningful.
    for (int i = 0; i < 4 * kMaxCom && !file.atEnd(); ++i) {
        const QString line = QString::fromUtf8(file.readLine(8192)).trimmed();
        const int tab = line.indexOf(QLatin1Char('\t'));
        if (tab <= 0)
            continue;
        const QString link = line.left(tab);
        if (comNumber(link) > 0 && link == link.toLower())
            entries.insert(link, line.mid(tab + 1));
    }
    return entries;
}

bool WineLinks::writeManifest(const QMap<QString, QString> &entries, QString *error) const
{
    const QString path = QDir(m_prefix).filePath(QLatin1String(kManifestName));
    if (entries.isEmpty()) {
        if (QFile::exists(path) && !QFile::remove(path)) {
            *error = tr("nie można usunąć %1").arg(path);
            return false;
        }
        return true;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        file.write((it.key() + QLatin1Char('\t') + it.value() + QLatin1Char('\n')).toUtf8());
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

WineLinks::Report WineLinks::sync(const QVector<TunnelSettings> &configurations)
{
    Report report;
    report.prefix = m_prefix;
    report.prefixError = prefixProblem(m_prefix);
    const QString dosdevices = QDir(m_prefix).filePath(QStringLiteral("dosdevices"));
    if (report.prefixError.isEmpty() && !QFileInfo(dosdevices).isDir() && !QDir().mkdir(dosdevices))
        report.prefixError = tr("nie można utworzyć folderu %1").arg(dosdevices);
    // The running program and the console command may sync one prefix at once: without the lock
    // one of them could write the list of links without the other's new link, which would then
    // never be removed.
    QLockFile lock(QDir(m_prefix).filePath(QLatin1String(kManifestName) + QStringLiteral(".lock")));
    if (report.prefixError.isEmpty() && !lock.tryLock(10000))
        report.prefixError = tr("inny proces programu zmienia teraz ten prefiks");
    if (!report.prefixError.isEmpty()) {
        VLOG(-10) << "Wine links: " << report.prefixError;
        return report;
    }

    // The wanted links, one per COM number; the first configuration naming a number gives its target.
    QMap<int, Entry> wanted;
    for (const TunnelSettings &t : configurations) {
        for (const QString &port : posPorts(t)) {
            const int n = comNumber(port);
            if (n == 0) {
                const bool listed = std::any_of(report.skipped.cbegin(), report.skipped.cend(),
                                                [&](const Entry &e) { return e.port == port; });
                if (!listed)
                    report.skipped.append(
                        {QString(), port, QString(), tr("Wine widzi tylko porty o nazwach COM1..COM256")});
                continue;
            }
            if (!wanted.contains(n))
                wanted.insert(n, {QStringLiteral("com%1").arg(n), port,
                                  m_portsFolder + QLatin1Char('/') + port, QString()});
        }
    }

    const QMap<QString, QString> manifest = readManifest();
    QMap<QString, QString> ours;
    for (const Entry &want : wanted) {
        Entry e = want;
        const QString path = dosdevices + QLatin1Char('/') + e.link;
        const bool listed = manifest.contains(e.link);
        QString current;
        int error = 0;
        switch (inspect(path, &current, &error)) {
        case LinkState::Missing:
            if (placeLink(path, e.target, &error)) {
                report.created.append(e);
                ours.insert(e.link, e.target);
            } else {
                e.reason = errnoText(error);
                report.refused.append(e);
            }
            break;
        case LinkState::Link:
            if (current == e.target) {
                if (listed)
                    ours.insert(e.link, e.target);
                else
                    e.reason = tr("łącze założone poza programem");
                report.kept.append(e);
            } else if (listed && manifest.value(e.link) == current) {
                // Ours, made for another target (the ports folder or the port's spelling changed).
                if (placeLink(path, e.target, &error)) {
                    report.updated.append(e);
                    ours.insert(e.link, e.target);
                } else {
                    e.reason = errnoText(error);
                    report.refused.append(e);
                    ours.insert(e.link, current);
                }
            } else {
                e.reason = tr("wskazuje na %1, pozostawiono bez zmian").arg(current);
                report.refused.append(e);
            }
            break;
        case LinkState::NotLink:
            e.reason = tr("istnieje i nie jest łączem, pozostawiono bez zmian");
            report.refused.append(e);
            break;
        case LinkState::Unreadable:
            e.reason = errnoText(error);
            report.refused.append(e);
            break;
        }
    }

    // Our links that no configuration names any more go; a link since pointed
    // elsewhere is somebody else's now and stays.
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it) {
        if (wanted.contains(comNumber(it.key())))
            continue;
        const QString path = dosdevices + QLatin1Char('/') + it.key();
        QString current;
        int error = 0;
        const LinkState state = inspect(path, &current, &error);
        if (state == LinkState::Link && current == it.value()) {
            if (::unlink(QFile::encodeName(path).constData()) == 0) {
                report.removed.append({it.key(), QString(), current, QString()});
            } else {
                report.refused.append({it.key(), QString(), current, errnoText(errno)});
                ours.insert(it.key(), it.value());
            }
        } else if (state == LinkState::Unreadable) {
            ours.insert(it.key(), it.value()); // decided at a later run
        } else {
            VLOG(4) << "Wine links: " << path << " is no longer the program's link, left as it is";
        }
    }

    if (ours != manifest) {
        QString error;
        if (!writeManifest(ours, &error)) {
            report.refused.append({QLatin1String(kManifestName), QString(), QString(),
                                   tr("nie można zapisać listy łączy programu: %1").arg(error)});
        }
    }

    const QString text = report.text();
    if (!report.refused.isEmpty())
        VLOG(-10) << "Wine links in " << m_prefix << " with refusals:\n" << text;
    else if (report.changed())
        VLOG(4) << "Wine links in " << m_prefix << " updated:\n" << text;
    else
        VLOG(6) << "Wine links in " << m_prefix << " unchanged";
    return report;
}

QString WineLinks::Report::text() const
{
    QStringList lines;
    if (!prefixError.isEmpty())
        return tr("Prefiks Wine %1: %2").arg(prefix, prefixError);
    lines << tr("Prefiks Wine: %1").arg(prefix);
    appendLines(lines, tr("utworzono"), created);
    appendLines(lines, tr("zmieniono"), updated);
    appendLines(lines, tr("bez zmian"), kept);
    appendLines(lines, tr("usunięto"), removed);
    appendLines(lines, tr("odmowa"), refused);
    appendLines(lines, tr("pominięto"), skipped);
    return lines.join(QLatin1Char('\n'));
}

int WineLinks::runCommand(const QString &prefix, const QString &configurationPath, QTextStream &out,
                          QTextStream &err)
{
    const QString problem = prefixProblem(prefix);
    if (!problem.isEmpty()) {
        err << tr("Prefiks Wine %1: %2").arg(prefix, problem) << '\n';
        err.flush();
        return 2;
    }
    ConfigurationFile file(configurationPath);
    if (!file.exists()) {
        err << tr("Brak pliku konfiguracji %1").arg(configurationPath) << '\n';
        err.flush();
        return 2;
    }
    QVector<TunnelSettings> list;
    AppSettings app;
    QString errors;
    QString unreadable;
    file.load(list, app, &errors, &unreadable);
    if (!unreadable.isEmpty()) {
        err << tr("Nie można odczytać pliku konfiguracji %1: %2").arg(configurationPath, unreadable) << '\n';
        err.flush();
        return 2;
    }
    if (!errors.isEmpty())
        err << tr("Pominięte konfiguracje: %1").arg(errors) << '\n';

    const Report report = WineLinks(prefix).sync(list);
    if (!report.prefixError.isEmpty()) {
        err << report.text() << '\n';
        err.flush();
        return 2;
    }
    out << report.text() << '\n';
    out.flush();
    err.flush();
    return report.refused.isEmpty() ? 0 : 1;
}
