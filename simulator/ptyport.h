// One serial port of the simulated device: a pseudo-terminal whose master
// the device holds. The other end is what a PC program opens; the settings
// it puts on its end are read back from the master.
#pragma once

#include "simulator/devicestate.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

class PtyPort : public QObject
{
    Q_OBJECT
public:
    explicit PtyPort(QObject *parent = nullptr);
    ~PtyPort() override;

    // A new terminal, set raw with the given settings. False with *error set.
    bool open(const LineSettings &initial, QString *error);
    // The other end loses its line: it reads end of file or an error from now on.
    void close();
    bool isOpen() const { return m_master >= 0; }
    QString terminalPath() const { return m_terminal; }

    // The settings the PC side put on its end. False when they cannot be read.
    bool peerSettings(LineSettings *out) const;
    void write(const QByteArray &bytes);
    // Bytes written that the PC side has not read yet (in our buffer or in its terminal).
    int unreadBytes() const;
    // Whether this system's pseudo-terminals keep data bits and parity (newer kernels force 8N):
    // only then can a PC program's data bits and parity be told.
    static bool carriesFraming();

    // Publishes the terminal as a device port: a link NAME in `folder` with
    // NAME.info beside it, so the port inventory lists it as a real port.
    bool publish(const QString &folder, const QString &name, const QString &description, QString *error);
    void unpublish();
    QString linkPath() const { return m_link; }

signals:
    void received(const QByteArray &bytes);

private:
    void readReady();
    void writeReady();

    int m_master = -1;
    // Held open so the master never sees the line hang up while no PC program has the port open.
    int m_slave = -1;
    QString m_terminal;
    QString m_link;
    QByteArray m_pending;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
};
