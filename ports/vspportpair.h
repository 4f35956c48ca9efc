// One pair of the virtual serial port driver as its port list shows it.
#pragma once

#include <QString>
#include <QtGlobal>

struct VSPPortPair {
    quint32 instance = 0;     // driver instance of the port listed first
    QString name;             // that port's name (may be empty)
    quint32 peerInstance = 0; // the instance it is connected to
    QString peerName;         // the partner's name (may be empty)
};
