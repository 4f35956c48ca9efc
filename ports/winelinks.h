// Makes the point-of-sale ports of the configurations visible to a Windows
// program run under Wine. Wine sees a port COMn only through a link
// PREFIX/dosdevices/comN to a Unix device path; this keeps such links in step
// with the configurations.
//
// What a link points at: the port's entry in the driver's ports folder
// (PORTS/COM5), not the terminal behind it (/dev/pts/N). The driver recreates
// its entries under the same names at every start while the terminal numbers
// change, so a link to the entry stays right across driver and program
// restarts, and Wine follows it when the program opens the port.
//
// Which links are ours: those listed in the manifest PREFIX/.velmora-wine-links
// (one "comN<TAB>target" line each) whose target is still the one recorded.
// A link anybody else made, or one of ours that was since pointed elsewhere,
// is never changed or removed: a wanted port whose link points elsewhere is
// refused and reported. A list in the prefix (rather than "every link into the
// ports folder") also keeps links a technician made by hand into the ports
// folder, and survives a change of the ports folder.
//
// What a Wine prefix is: an existing folder holding system.reg (Wine's
// machine registry, written at the prefix's creation) or a dosdevices folder.
// A prefix without dosdevices gets one.
//
// Note: Wine's own device manager assigns the machine's serial devices
// (/dev/ttyS*, /dev/ttyUSB*) to com1, com2, ... at every start and replaces
// those links; ports numbered above the machine's serial devices avoid that.
#pragma once

#include <QMap>
#include <QString>
#include <QVector>

class QTextStream;
class TunnelSettings;

class WineLinks
{
public:
    // Highest COM number Wine maps.
    static constexpr int kMaxCom = 256;
    static const char *const kManifestName;

    struct Entry {
        QString link;   // "com5"
        QString port;   // the configuration's name, "COM5" (empty for a link no configuration names)
        QString target; // what the link points at (or should)
        QString reason; // why refused or skipped; for kept: whose link it is
    };

    struct Report {
        QString prefix;
        QString prefixError; // not empty: nothing was done
        QVector<Entry> created;
        QVector<Entry> updated; // ours, pointed at a new target
        QVector<Entry> kept;
        QVector<Entry> removed;
        QVector<Entry> refused;
        QVector<Entry> skipped; // point-of-sale ports that have no COM number

        bool ok() const { return prefixError.isEmpty() && refused.isEmpty(); }
        bool changed() const { return !created.isEmpty() || !updated.isEmpty() || !removed.isEmpty(); }
        // One line per entry, for the console and the log.
        QString text() const;
    };

    // portsFolder: where the driver publishes its ports; empty = SystemPaths::portsFolder().
    explicit WineLinks(const QString &prefix, const QString &portsFolder = QString());

    Report sync(const QVector<TunnelSettings> &configurations);

    // Empty when the folder is a Wine prefix, else why not (for a message).
    static QString prefixProblem(const QString &prefix);
    // N for a port named COMn (any case, no leading zero), 1..kMaxCom; 0 otherwise.
    static int comNumber(const QString &portName);
    // The point-of-sale ports of a configuration: PC interface, transaction
    // monitor (each only with its address, as the file keeps them) and the
    // device-COM tunnels.
    static QStringList posPorts(const TunnelSettings &configuration);

    // The console command: reads the configuration file, syncs the prefix and
    // prints the report. 0: done; 1: some links refused; 2: not a prefix, or the
    // file is missing or unreadable.
    static int runCommand(const QString &prefix, const QString &configurationPath, QTextStream &out,
                          QTextStream &err);

private:
    QMap<QString, QString> readManifest() const;
    bool writeManifest(const QMap<QString, QString> &entries, QString *error) const;

    QString m_prefix;
    QString m_portsFolder;
};
