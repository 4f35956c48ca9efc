// A small registry of keys, subkeys and typed values kept in one file under
// the system folder, shared by the program, the port driver and the tools.
//
// Every operation reads the file under a lock, and every change writes a new
// file and renames it over the old one, so a crash mid-write leaves either the
// old or the new contents, never a torn file. The lock (flock on a separate
// lock file, because the rename replaces the data file's inode) serialises the
// processes and threads that use the same folder.
//
// Key paths are backslash-separated ("SYSTEM\CurrentControlSet\...") and,
// like value names, compared case-insensitively. Results are the Windows
// error numbers callers test for.
#pragma once

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

class RegistryStore
{
public:
    enum Result : long {
        Success = 0,
        FileNotFound = 2, // no such key or value
        AccessDenied = 5, // a key with subkeys cannot be deleted
        InvalidParameter = 87,
        BadDatabase = 1009, // the store file cannot be read or written
        NoMoreItems = 259,
    };
    enum Type : quint32 { String = 1, Binary = 3, DWord = 4 };

    struct Value {
        Type type = String;
        QByteArray data; // String: UTF-8 text; DWord: 4 bytes little-endian; Binary: raw
        QString toString() const { return QString::fromUtf8(data); }
        quint32 toDWord() const;
    };

    // The store in the given folder; the default is the system folder.
    explicit RegistryStore(const QString &folder = QString());

    QString fileName() const { return m_folder + QStringLiteral("/registry.dat"); }

    long createKey(const QString &path);
    bool keyExists(const QString &path) const;
    long setString(const QString &path, const QString &name, const QString &value);
    long setDWord(const QString &path, const QString &name, quint32 value);
    long setBinary(const QString &path, const QString &name, const QByteArray &value);
    // Any type; creates the key (and its parents) when it is missing.
    long setValue(const QString &path, const QString &name, const Value &value);
    // Several values of one key in one change: all are written or none.
    long setValues(const QString &path, const QVector<QPair<QString, Value>> &values);
    // The same for a key that must exist already: FileNotFound, and nothing written, when it does not.
    long setExistingValues(const QString &path, const QVector<QPair<QString, Value>> &values);
    long value(const QString &path, const QString &name, Value *out) const;
    long deleteValue(const QString &path, const QString &name);
    // The index-th direct subkey (in creation order), NoMoreItems past the end.
    long enumKey(const QString &path, int index, QString *name) const;
    QStringList subKeys(const QString &path) const;
    // Refused with AccessDenied while the key has subkeys of its own.
    long deleteKey(const QString &path);
    // The key with all its subkeys and values; a missing key is no error.
    long deleteTree(const QString &path);
    long deleteTrees(const QStringList &paths);

private:
    struct Data;
    long read(Data *data) const;
    long write(const Data &data) const;
    template <typename F> long modify(F change);
    // Runs look(data) on a consistent snapshot, under the shared lock.
    template <typename F> long query(F look) const;
    long storeValues(const QString &path, const QVector<QPair<QString, Value>> &values, bool create);

    QString m_folder;
};
