// The UDP copy of the log as debug.ini asks for it: "debugport" and "debugip"
// checked, with a warning line for whatever cannot be used as written.
#pragma once

#include <QString>
#include <QStringList>

struct DebugUdpTarget {
    bool enabled = false;
    quint16 port = 0;
    QString address; // the address actually used, as text
    QStringList warnings;
};

// portText and ipText as read from debug.ini (defaults "0" and "127.0.0.1").
DebugUdpTarget debugUdpTarget(const QString &portText, const QString &ipText);
