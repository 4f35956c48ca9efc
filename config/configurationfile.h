// configuration.ini: the configurations (array "powiazania" in [General])
// and the application settings ([aplikacja]), Windows-1250 INI.
#pragma once

#include "config/appsettings.h"
#include "config/tunnelsettings.h"

#include <QString>
#include <QVector>

class ConfigurationFile
{
public:
    // Bounds that keep a damaged file from hanging or exhausting the program.
    static constexpr int kMaxConfigurations = 1000;
    static constexpr int kMaxTunnels = 256;

    explicit ConfigurationFile(const QString &path);

    QString path() const { return m_path; }
    bool exists() const;

    // Appends the valid configurations to the list and reads the application
    // settings; returns how many configurations were rejected, their messages
    // appended to errors (when given) separated by "| ". A declared element
    // that is missing counts as rejected; an application setting out of range
    // takes its default and adds its message too.
    // A file that exists but cannot be read leaves list and settings untouched,
    // returns 0 and puts the reason into unreadable (when given).
    int load(QVector<TunnelSettings> &list, AppSettings &app, QString *errors,
             QString *unreadable = nullptr) const;
    // Both refuse (false, logged) to write over a file that exists but cannot be read.
    bool save(const QVector<TunnelSettings> &list) const;
    bool saveApp(const AppSettings &app) const;
    // Empty when the file is missing or readable, else why it cannot be read.
    QString readProblem() const;

private:
    void backup() const;
    bool writable() const;

    QString m_path;
};
