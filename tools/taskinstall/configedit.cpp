#include "tools/taskinstall/configedit.h"

#include <QVector>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace taskinstall
{
namespace
{

struct Line {
    QByteArray text; // without its line end
    QByteArray end;  // "\n", "\r\n" or empty (last line without one)
};

const struct {
    const char *key;
    const char *line;
} kSettings[] = {
    {"startzsystemem", "startzsystemem=1"},
    {"opoznieniezadania", "opoznieniezadania=90"},
    {"startujzminimalizowany", "startujzminimalizowany=0"},
};
constexpr int kSettingCount = 3;
const char kSection[] = "aplikacja";

QVector<Line> splitLines(const QByteArray &content)
{
    QVector<Line> lines;
    int pos = 0;
    while (pos < content.size()) {
        const int nl = content.indexOf('\n', pos);
        Line line;
        if (nl < 0) {
            line.text = content.mid(pos);
            pos = content.size();
        } else {
            const bool crlf = nl > pos && content.at(nl - 1) == '\r';
            line.text = content.mid(pos, nl - pos - (crlf ? 1 : 0));
            line.end = crlf ? QByteArrayLiteral("\r\n") : QByteArrayLiteral("\n");
            pos = nl + 1;
        }
        lines.append(line);
    }
    return lines;
}

// The section name of a header line ("[name]"), or a null array.
QByteArray sectionName(const QByteArray &text)
{
    const QByteArray t = text.trimmed();
    if (!t.startsWith('['))
        return QByteArray();
    const int close = t.indexOf(']');
    if (close < 0)
        return QByteArray();
    return t.mid(1, close - 1).trimmed();
}

// The setting a key line sets (index into kSettings), or -1.
int settingOf(const QByteArray &text)
{
    const QByteArray t = text.trimmed();
    if (t.startsWith(';') || t.startsWith('#'))
        return -1;
    const int eq = t.indexOf('=');
    if (eq < 0)
        return -1;
    const QByteArray key = t.left(eq).trimmed();
    for (int i = 0; i < kSettingCount; ++i)
        if (key == kSettings[i].key)
            return i;
    return -1;
}

} // namespace

QByteArray withStartSettings(const QByteArray &content)
{
    QVector<Line> lines = splitLines(content);
    QByteArray end = QByteArrayLiteral("\n");
    if (!lines.isEmpty() && !lines.first().end.isEmpty())
        end = lines.first().end;

    bool present[kSettingCount] = {false, false, false};
    bool inSection = false;
    int firstSection = -1; // header of the first [aplikacja]
    int lastOfFirst = -1;  // its last non-empty line
    bool inFirst = false;
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray name = sectionName(lines[i].text);
        if (!name.isNull()) {
            inSection = name == kSection;
            inFirst = inSection && firstSection < 0;
            if (inFirst)
                firstSection = lastOfFirst = i;
            continue;
        }
        if (!inSection)
            continue;
        if (inFirst && !lines[i].text.trimmed().isEmpty())
            lastOfFirst = i;
        const int setting = settingOf(lines[i].text);
        if (setting >= 0) {
            lines[i].text = kSettings[setting].line;
            present[setting] = true;
        }
    }

    QVector<Line> added;
    if (firstSection < 0) {
        if (!lines.isEmpty())
            added.append(Line{QByteArray(), end}); // an empty line before the new section
        added.append(Line{QByteArray("[") + kSection + ']', end});
    }
    for (int i = 0; i < kSettingCount; ++i)
        if (!present[i])
            added.append(Line{kSettings[i].line, end});
    const int at = firstSection < 0 ? lines.size() : lastOfFirst + 1;
    if (!added.isEmpty() && at > 0 && lines[at - 1].end.isEmpty())
        lines[at - 1].end = end; // the last line gains the end it lacked
    for (int i = 0; i < added.size(); ++i)
        lines.insert(at + i, added[i]);

    QByteArray out;
    out.reserve(content.size() + 128);
    for (const Line &line : qAsConst(lines))
        out += line.text + line.end;
    return out;
}

bool replaceFile(const QByteArray &path, const QByteArray &content, QString *error)
{
    char resolved[PATH_MAX];
    const QByteArray target = ::realpath(path.constData(), resolved) ? QByteArray(resolved) : path;
    const int slash = target.lastIndexOf('/');
    const QByteArray folder = slash > 0 ? target.left(slash) : slash == 0 ? QByteArray("/") : QByteArray(".");
    const QByteArray base = slash >= 0 ? target.mid(slash + 1) : target;
    QByteArray temp = folder + "/." + base + ".XXXXXX";

    const auto fail = [error](const char *what, int code) {
        *error =
            QString::fromLatin1(what) + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(code));
        return false;
    };
    struct stat original;
    const bool haveOriginal = ::stat(target.constData(), &original) == 0;
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return fail("temporary file", errno);
    int rc = 0;
    for (int done = 0; rc == 0 && done < content.size();) {
        const ssize_t n = ::write(fd, content.constData() + done, size_t(content.size() - done));
        if (n < 0 && errno != EINTR)
            rc = errno;
        else if (n > 0)
            done += int(n);
    }
    if (rc == 0 && ::fchmod(fd, haveOriginal ? (original.st_mode & 07777) : 0644) != 0)
        rc = errno;
    if (rc == 0 && haveOriginal && (original.st_uid != ::geteuid() || original.st_gid != ::getegid()))
        (void)!::fchown(fd, original.st_uid, original.st_gid); // kept where allowed (run as root)
    if (rc == 0 && ::fsync(fd) != 0)
        rc = errno;
    if (::close(fd) != 0 && rc == 0)
        rc = errno;
    if (rc == 0 && ::rename(temp.constData(), target.constData()) != 0)
        rc = errno;
    if (rc != 0) {
        ::unlink(temp.constData());
        return fail("write", rc);
    }
    const int dirFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

} // namespace taskinstall
