// The five settings of a serial port, as parsed from its parameter string,
// and applying them to an open port.
#pragma once

#include <QSerialPort>

struct SerialPortSettings {
    qint32 baudRate = QSerialPort::Baud9600;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::FlowControl flowControl = QSerialPort::NoFlowControl;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
};

// Where a caller's log lines are recorded: its source file and signature.
struct LogSite {
    const char *file;
    const char *function;
};
#define VLOG_SITE (LogSite{__FILE__, Q_FUNC_INFO})

// Applies data bits, flow control, parity, baud rate (both directions) and
// stop bits in this order. A setting the port refuses is logged as a warning
// under the caller's site and the next one is still applied: a port that
// opened stays usable. False when any setting was refused.
bool applySerialSettings(QSerialPort *port, const SerialPortSettings &settings, const LogSite &site);
