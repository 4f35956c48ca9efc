// Serial parameter strings: "baud,bits,parity,stop,flow" with an optional
// "/wiring/strict" tail that only virtual ports carry.
#pragma once

#include <QSerialPort>
#include <QString>

// The one parser of serial parameter strings "baud,bits,parity,stop,flow[/wiring[/strict]]",
// also reachable as TunnelCommEngine::parseCommParams. Every output may be null; outputs are
// written as soon as their field has passed. The rate is a plain number: the product configures
// rates (250000, 230400, ...) that QSerialPort::BaudRate does not enumerate.
bool parseSerialSettings(const QString &params, qint32 *baud = nullptr, QSerialPort::StopBits *stop = nullptr,
                         QSerialPort::Parity *parity = nullptr, QSerialPort::FlowControl *flow = nullptr,
                         QSerialPort::DataBits *bits = nullptr, unsigned long *wiring = nullptr,
                         bool *strict = nullptr);

// Adds the default tail "/NO/NS" to a virtual port's string without one,
// and strips any tail from a real port's string.
QString normalizeSerialSettings(const QString &settings, bool realPort);
