// Bridges one serial port (usually the hidden end of a virtual pair) to the
// device's data connection, with an optional control connection.
#pragma once

#include <QObject>
#include <QSerialPort>
#include <QString>

class TunnelCommEngine : public QObject
{
    Q_OBJECT
public:
    explicit TunnelCommEngine(QObject *parent = nullptr);
    ~TunnelCommEngine() override;

    // The one parser of serial parameter strings "baud,bits,parity,stop,flow[/wiring[/strict]]".
    // Every output may be null; outputs are written as soon as their field has passed.
    static bool parseCommParams(const QString &params, QSerialPort::BaudRate *baud = nullptr,
                                QSerialPort::StopBits *stop = nullptr, QSerialPort::Parity *parity = nullptr,
                                QSerialPort::FlowControl *flow = nullptr, QSerialPort::DataBits *bits = nullptr,
                                unsigned long *wiring = nullptr, bool *strict = nullptr);
};
