// The simulated device's settings and the commands that read and change
// them. Knows nothing of frames or lines: a request is a command name and
// its name/value pairs, an answer a status and name/value pairs.
#pragma once

#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>

using ValuePairs = QList<QPair<QString, QString>>;

// How the device is linked to the PC physically; the PC interface setting ("pc" "id") may say
// TCP/IP while the link stays a serial line.
enum class LinkKind { Com1, Com2, Usb };

// One serial line's settings as the device keeps them and a terminal shows them.
struct LineSettings {
    int baud = 115200;
    int dataBits = 8;
    char parity = 'N'; // N, O, E
    int stopBits = 1;
    char flow = 'N'; // N, R (RTS/CTS; the device's "hardware" counts the same), S (XON/XOFF)

    bool operator==(const LineSettings &o) const
    {
        return baud == o.baud && dataBits == o.dataBits && parity == o.parity && stopBits == o.stopBits &&
               flow == o.flow;
    }
    bool operator!=(const LineSettings &o) const { return !(*this == o); }
    QString text() const; // 115200,8,N,1,R
};

class DeviceState
{
public:
    // What a request did beyond its answer.
    enum Effect {
        NoEffect = 0,
        LinkSettingsChanged = 1, // the link port's settings changed: switch after the answer
        RestartNeeded = 2,       // restart after the answer
        PcInterfacePending = 4,  // the PC interface waits for the manual menu step
    };
    // Answer codes, mapped to the protocol's status codes by the device.
    enum Status { Ok = 0, UnknownCommand, MissingParameter, BadParameter, NotReady };

    struct Answer {
        Status status = Ok;
        QString detail; // for the log: which parameter was wrong
        ValuePairs values;
        int effects = NoEffect;
    };

    DeviceState();

    // Loads a profile (INI). Returns false with *error set when it is unusable.
    bool loadProfile(const QString &path, QString *error);

    Answer execute(const QString &command, const ValuePairs &params);

    // The status query's "ds" value: the scripted value for the next `count` queries (0: for good).
    void scriptDeviceState(int ds, int count);
    int takeDeviceState();
    // The state now, without using up a scripted query.
    int currentDeviceState() const { return m_scriptedCount > 0 ? m_scriptedDs : m_ds; }

    LinkKind link() const { return m_link; }
    // The link port's number (1, 2) or 0 for USB.
    int linkComNumber() const;
    LineSettings comSettings(int no) const;
    LineSettings linkSettings() const { return comSettings(linkComNumber()); }
    bool pcInterfaceIsTcp() const { return value("pc", "id") == QLatin1String("4"); }
    // The menu step that applies a PC interface switch to TCP/IP. False when none is pending
    // (then TCP/IP on 6666 is set, as the menu item does).
    bool applyPendingPcInterface();
    bool pcInterfacePending() const { return !m_pendingPc.isEmpty(); }

    QString value(const QString &section, const QString &name) const;
    // Sets one value directly (control interface); false for an unknown section.
    bool setValue(const QString &section, const QString &name, const QString &value);
    QStringList sections() const { return m_sections.keys(); }
    QMap<QString, QString> section(const QString &name) const { return m_sections.value(name); }

    QString portName() const { return m_portName; }
    void setPortName(const QString &name) { m_portName = name; }
    int answerDelayMs() const { return m_answerDelayMs; }
    bool paceLine() const { return m_paceLine; }
    int restartMs() const { return m_restartMs; }
    int transactionIntervalMs() const { return m_transactionIntervalMs; }

private:
    Answer comGet(const ValuePairs &params) const;
    Answer comSet(const ValuePairs &params);
    Answer sectionGet(const QString &section) const;
    Answer sectionSet(const QString &section, const ValuePairs &params, const QStringList &allowed);
    Answer tunnelGet(const ValuePairs &params) const;
    Answer tunnelSet(const ValuePairs &params);
    Answer pcSet(const ValuePairs &params);
    // An error text for a value out of its range, empty when the value is acceptable.
    static QString checkValue(const QString &section, const QString &name, const QString &value);

    QMap<QString, QMap<QString, QString>> m_sections; // com1 com2 pc trlog tcpip tun0 tun1 sid
    QMap<QString, QString> m_pendingPc;
    QStringList m_restartAfter;
    LinkKind m_link = LinkKind::Com1;
    QString m_portName = QStringLiteral("ttyTAVREL0");
    int m_answerDelayMs = 5;
    bool m_paceLine = false;
    int m_restartMs = 3000;
    int m_transactionIntervalMs = 0;
    int m_ds = 0;
    int m_scriptedDs = 0;
    int m_scriptedCount = 0;
};
