#include "config/serialsettings.h"

#include "log/debug_class.h"

#include <QStringList>

// The parser's warnings carry the signature of the engine's function callers know it by, so the
// log reads the same wherever the parser lives.
static const char kParserSignature[] =
    "static bool TunnelCommEngine::parseCommParams(const QString&, qint32*, QSerialPort::StopBits*, QSerialPort::Parity*, QSerialPort::FlowControl*, QSerialPort::DataBits*, long unsigned int*, bool*)";
#define PARAMS_WARNING LogStatement(-10, __FILE__, __LINE__, kParserSignature)

QString normalizeSerialSettings(const QString &settings, bool realPort)
{
    const QStringList parts = settings.split(QLatin1Char('/'));
    if (parts.size() == 1 && !realPort)
        return settings + QStringLiteral("/NO/NS");
    if (parts.size() > 1 && realPort)
        return parts.first();
    return settings;
}

bool parseSerialSettings(const QString &params, qint32 *baud, QSerialPort::StopBits *stop,
                         QSerialPort::Parity *parity, QSerialPort::FlowControl *flow,
                         QSerialPort::DataBits *bits, unsigned long *wiring, bool *strict)
{
    const QStringList parts = params.split(QLatin1Char('/'));
    if (parts.size() > 1 && wiring)
        *wiring = parts.at(1).contains(QLatin1String("LB")) ? 0UL : 0xFFFFFFFFUL;
    if (parts.size() > 2 && strict)
        *strict = parts.at(2).contains(QLatin1String("ST"));

    const QStringList f = parts.first().split(QLatin1Char(','));
    if (f.size() != 5) {
        PARAMS_WARNING << QStringLiteral("Invalid com port param string (count): %1").arg(params);
        return false;
    }
    bool ok = false;
    const long rate = f.at(0).toLong(&ok, 10);
    // QSerialPort keeps the rate as a 32-bit int; anything larger is no rate at all.
    if (!ok || rate <= 0 || rate > 0x7FFFFFFFL) {
        PARAMS_WARNING << QStringLiteral("Invalid com port param baudrate: %1").arg(params);
        return false;
    }
    if (baud)
        *baud = qint32(rate);

    const long dataBits = f.at(1).toLong(&ok, 10);
    if (!ok || (dataBits != 7 && dataBits != 8)) {
        PARAMS_WARNING << QStringLiteral("Invalid com port param bits [valid:7,8]: %1").arg(params);
        return false;
    }
    if (bits)
        *bits = dataBits == 7 ? QSerialPort::Data7 : QSerialPort::Data8;

    QSerialPort::Parity p;
    if (f.at(2) == QLatin1String("N"))
        p = QSerialPort::NoParity;
    else if (f.at(2) == QLatin1String("E"))
        p = QSerialPort::EvenParity;
    else if (f.at(2) == QLatin1String("O"))
        p = QSerialPort::OddParity;
    else {
        PARAMS_WARNING << QStringLiteral("Invalid com port param parity [valid:N,E,O]: %1").arg(params);
        return false;
    }
    if (parity)
        *parity = p;

    const long stopBits = f.at(3).toLong(&ok, 10);
    if (!ok || (stopBits != 1 && stopBits != 2)) {
        PARAMS_WARNING << QStringLiteral("Invalid com port param stopbits [valid:1,2]: %1").arg(params);
        return false;
    }
    if (stop)
        *stop = stopBits == 1 ? QSerialPort::OneStop : QSerialPort::TwoStop;

    QSerialPort::FlowControl fc;
    const QString &flowText = f.at(4);
    if (flowText == QLatin1String("N"))
        fc = QSerialPort::NoFlowControl;
    else if (flowText == QLatin1String("S"))
        fc = QSerialPort::SoftwareControl;
    else if (flowText == QLatin1String("H") || flowText == QLatin1String("R"))
        fc = QSerialPort::HardwareControl;
    else {
        PARAMS_WARNING
            << QStringLiteral("Invalid com port param flow control [valid:N,S,[H|R]]: %1").arg(params);
        return false;
    }
    if (flow)
        *flow = fc;
    return true;
}
