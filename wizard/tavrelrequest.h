// One request to the fiscal device: the label its results are filed under, the device command, its
// parameters as alternating names and values, and the library's handle once posted.
#pragma once

#include "varnok/varnok.h"

#include <QString>
#include <QStringList>

// A request waiting in a queue (read-out or writes), not yet posted.
struct RequestEntry {
    QString name;
    QString command;
    QStringList params;
};

class TavrelRequest
{
public:
    TavrelRequest() = default;
    TavrelRequest(const QString &name, const QString &command, const QStringList &params);
    explicit TavrelRequest(const RequestEntry &entry);

    QString name;
    QString command;
    QStringList params;
    // Set when the library accepted the request; the library keeps a posted request, so it is never
    // destroyed here.
    VNK_HANDLE handle = nullptr;

    // The library's parameter text: each name/value pair as "name,value", pairs joined by a line
    // feed, no trailing line feed; empty without parameters.
    QString paramText() const;
    // A name or value that would break that text apart (a ",", a line feed or a carriage return inside
    // it, or an odd number of params) makes the request malformed; *what names the offending text.
    bool isWellFormed(QString *what = nullptr) const;
};
