#include "platform/registrystore.h"

#include "log/debug_class.h"
#include "platform/systempaths.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QUrl>
#include <QVector>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace
{

const char kMagic[] = "VELMORA-REGISTRY 1";

QString normalisedPath(const QString &path)
{
    QStringList parts;
    for (const QString &p : path.split(QLatin1Char('\\'), Qt::SkipEmptyParts))
        parts.append(p);
    return parts.join(QLatin1Char('\\'));
}

bool samePath(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QString parentOf(const QString &path)
{
    const int slash = path.lastIndexOf(QLatin1Char('\\'));
    return slash < 0 ? QString() : path.left(slash);
}

// Holds the store's lock for the lifetime of the object.
class FileLock
{
public:
    FileLock(const QString &fileName, bool exclusive)
    {
        const QByteArray name = QFile::encodeName(fileName);
        m_fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0)
            m_fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0)
            return;
        int rc;
        do
            rc = ::flock(m_fd, exclusive ? LOCK_EX : LOCK_SH);
        while (rc < 0 && errno == EINTR);
        if (rc < 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~FileLock()
    {
        if (m_fd >= 0)
            ::close(m_fd); // closing releases the lock
    }
    bool held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

} // namespace

struct RegistryStore::Data {
    struct NamedValue {
        QString name;
        Value value;
    };
    struct Key {
        QString path;
        QVector<NamedValue> values;
    };
    QVector<Key> keys; // in creation order; a key's parents come before it
    // Position of each key by its case-folded path: the port driver keeps a
    // key per port pair, and every change reads the whole store.
    QHash<QString, int> index;

    int find(const QString &path) const { return index.value(path.toCaseFolded(), -1); }
    int ensure(const QString &path)
    {
        int i = find(path);
        if (i >= 0)
            return i;
        const QString parent = parentOf(path);
        if (!parent.isEmpty())
            ensure(parent);
        keys.append(Key{path, {}});
        index.insert(path.toCaseFolded(), keys.size() - 1);
        return keys.size() - 1;
    }
    void reindex()
    {
        index.clear();
        for (int k = 0; k < keys.size(); ++k)
            index.insert(keys[k].path.toCaseFolded(), k);
    }
    bool hasChildren(const QString &path) const
    {
        for (const Key &k : keys)
            if (samePath(parentOf(k.path), path))
                return true;
        return false;
    }
};

quint32 RegistryStore::Value::toDWord() const
{
    quint32 v = 0;
    for (int i = 0; i < 4 && i < data.size(); ++i)
        v |= quint32(quint8(data[i])) << (8 * i);
    return v;
}

RegistryStore::RegistryStore(const QString &folder)
    : m_folder(folder.isEmpty() ? SystemPaths::systemFolder() : QDir(folder).absolutePath())
{
}

long RegistryStore::read(Data *data) const
{
    data->keys.clear();
    data->index.clear();
    QFile file(fileName());
    if (!file.exists())
        return Success;
    if (!file.open(QIODevice::ReadOnly)) {
        VLOG(-10) << "Registry store " << fileName() << " cannot be read: " << file.errorString();
        return BadDatabase;
    }
    const QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.isEmpty() || lines.first() != kMagic) {
        VLOG(-10) << "Registry store " << fileName() << " is not a registry file";
        return BadDatabase;
    }
    for (int n = 1; n < lines.size(); ++n) {
        const QByteArray &line = lines[n];
        if (line.isEmpty())
            continue;
        const QList<QByteArray> f = line.split(' ');
        if (f.size() == 2 && f[0] == "K") {
            data->ensure(normalisedPath(QString::fromUtf8(QByteArray::fromPercentEncoding(f[1]))));
        } else if (f.size() == 4 && f[0] == "V" && !data->keys.isEmpty()) {
            Value v;
            v.type = Type(f[2].toUInt());
            v.data = QByteArray::fromHex(f[3] == "-" ? QByteArray() : f[3]);
            data->keys.last().values.append({QString::fromUtf8(QByteArray::fromPercentEncoding(f[1])), v});
        } else {
            VLOG(-10) << "Registry store " << fileName() << " has a damaged line " << n + 1;
            return BadDatabase;
        }
    }
    return Success;
}

long RegistryStore::write(const Data &data) const
{
    QByteArray text(kMagic);
    text += '\n';
    for (const Data::Key &k : data.keys) {
        text += "K " + k.path.toUtf8().toPercentEncoding() + '\n';
        for (const Data::NamedValue &v : k.values) {
            const QByteArray hex = v.value.data.toHex();
            text += "V " + v.name.toUtf8().toPercentEncoding() + ' ' + QByteArray::number(v.value.type) +
                    ' ' + (hex.isEmpty() ? QByteArray("-") : hex) + '\n';
        }
    }
    const QByteArray target = QFile::encodeName(fileName());
    const QByteArray temp = target + ".new";
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        VLOG(-10) << "Registry store " << fileName() << " cannot be written: " << strerror(errno);
        return BadDatabase;
    }
    qint64 done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.constData() + done, size_t(text.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    const bool ok = done == text.size() && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok || ::rename(temp.constData(), target.constData()) != 0) {
        VLOG(-10) << "Registry store " << fileName() << " cannot be written: " << strerror(errno);
        ::unlink(temp.constData());
        return BadDatabase;
    }
    return Success;
}

template <typename F> long RegistryStore::modify(F change)
{
    QDir().mkpath(m_folder);
    FileLock lock(m_folder + QStringLiteral("/registry.lock"), true);
    if (!lock.held())
        return BadDatabase;
    Data data;
    long rc = read(&data);
    if (rc != Success)
        return rc;
    bool changed = false;
    rc = change(data, changed);
    if (rc == Success && changed)
        rc = write(data);
    return rc;
}

template <typename F> long RegistryStore::query(F look) const
{
    FileLock lock(m_folder + QStringLiteral("/registry.lock"), false);
    if (!lock.held())
        return BadDatabase;
    Data data;
    const long rc = read(&data);
    return rc == Success ? look(static_cast<const Data &>(data)) : rc;
}

long RegistryStore::createKey(const QString &path)
{
    const QString key = normalisedPath(path);
    if (key.isEmpty())
        return InvalidParameter;
    return modify([&](Data &d, bool &changed) {
        if (d.find(key) < 0) {
            d.ensure(key);
            changed = true;
        }
        return long(Success);
    });
}

bool RegistryStore::keyExists(const QString &path) const
{
    const QString key = normalisedPath(path);
    return query([&](const Data &d) { return d.find(key) >= 0 ? long(Success) : long(FileNotFound); }) ==
           Success;
}

long RegistryStore::setString(const QString &path, const QString &name, const QString &value)
{
    return setValue(path, name, Value{String, value.toUtf8()});
}

long RegistryStore::setDWord(const QString &path, const QString &name, quint32 value)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char((value >> (8 * i)) & 0xFF);
    return setValue(path, name, Value{DWord, bytes});
}

long RegistryStore::setBinary(const QString &path, const QString &name, const QByteArray &value)
{
    return setValue(path, name, Value{Binary, value});
}

long RegistryStore::setValue(const QString &path, const QString &name, const Value &value)
{
    return setValues(path, {qMakePair(name, value)});
}

long RegistryStore::setValues(const QString &path, const QVector<QPair<QString, Value>> &values)
{
    return storeValues(path, values, true);
}

long RegistryStore::setExistingValues(const QString &path, const QVector<QPair<QString, Value>> &values)
{
    return storeValues(path, values, false);
}

long RegistryStore::storeValues(const QString &path, const QVector<QPair<QString, Value>> &values,
                                bool create)
{
    const QString key = normalisedPath(path);
    if (key.isEmpty())
        return InvalidParameter;
    return modify([&](Data &d, bool &changed) {
        const int index = create ? d.ensure(key) : d.find(key);
        if (index < 0)
            return long(FileNotFound);
        Data::Key &k = d.keys[index];
        changed = true;
        for (const QPair<QString, Value> &nv : values) {
            bool found = false;
            for (Data::NamedValue &v : k.values) {
                if (v.name.compare(nv.first, Qt::CaseInsensitive) == 0) {
                    v.value = nv.second;
                    found = true;
                    break;
                }
            }
            if (!found)
                k.values.append({nv.first, nv.second});
        }
        return long(Success);
    });
}

long RegistryStore::value(const QString &path, const QString &name, Value *out) const
{
    const QString key = normalisedPath(path);
    return query([&](const Data &d) {
        const int i = d.find(key);
        if (i < 0)
            return long(FileNotFound);
        for (const Data::NamedValue &v : d.keys[i].values) {
            if (v.name.compare(name, Qt::CaseInsensitive) == 0) {
                if (out)
                    *out = v.value;
                return long(Success);
            }
        }
        return long(FileNotFound);
    });
}

long RegistryStore::deleteValue(const QString &path, const QString &name)
{
    const QString key = normalisedPath(path);
    return modify([&](Data &d, bool &changed) {
        const int i = d.find(key);
        if (i < 0)
            return long(FileNotFound);
        QVector<Data::NamedValue> &values = d.keys[i].values;
        for (int n = 0; n < values.size(); ++n) {
            if (values[n].name.compare(name, Qt::CaseInsensitive) == 0) {
                values.remove(n);
                changed = true;
                return long(Success);
            }
        }
        return long(FileNotFound);
    });
}

long RegistryStore::enumKey(const QString &path, int index, QString *name) const
{
    const QString key = normalisedPath(path);
    return query([&](const Data &d) {
        if (!key.isEmpty() && d.find(key) < 0)
            return long(FileNotFound);
        int seen = 0;
        for (const Data::Key &k : d.keys) {
            if (!samePath(parentOf(k.path), key))
                continue;
            if (seen++ == index) {
                if (name)
                    *name = k.path.mid(key.isEmpty() ? 0 : key.size() + 1);
                return long(Success);
            }
        }
        return long(NoMoreItems);
    });
}

QStringList RegistryStore::subKeys(const QString &path) const
{
    QStringList names;
    QString name;
    for (int i = 0; enumKey(path, i, &name) == Success; ++i)
        names.append(name);
    return names;
}

long RegistryStore::deleteKey(const QString &path)
{
    const QString key = normalisedPath(path);
    return modify([&](Data &d, bool &changed) {
        const int i = d.find(key);
        if (i < 0)
            return long(FileNotFound);
        if (d.hasChildren(key))
            return long(AccessDenied);
        d.keys.remove(i);
        d.reindex();
        changed = true;
        return long(Success);
    });
}

long RegistryStore::deleteTree(const QString &path)
{
    return deleteTrees(QStringList{path});
}

long RegistryStore::deleteTrees(const QStringList &paths)
{
    QStringList keys;
    for (const QString &path : paths) {
        keys.append(normalisedPath(path));
        if (keys.last().isEmpty())
            return InvalidParameter;
    }
    return modify([&](Data &d, bool &changed) {
        for (const QString &key : qAsConst(keys)) {
            const QString prefix = key + QLatin1Char('\\');
            for (int i = d.keys.size() - 1; i >= 0; --i) {
                if (samePath(d.keys[i].path, key) || d.keys[i].path.startsWith(prefix, Qt::CaseInsensitive)) {
                    d.keys.remove(i);
                    changed = true;
                }
            }
        }
        if (changed)
            d.reindex();
        return long(Success);
    });
}
