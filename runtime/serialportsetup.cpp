#include "runtime/serialportsetup.h"

#include "log/debug_class.h"

namespace
{
void refused(const LogSite &site, int line, const char *what, const QSerialPort *port)
{
    LogStatement(-10, site.file, line, site.function)
        << QStringLiteral("Error setting serial port %1: %2").arg(QLatin1String(what), port->errorString());
}
} // namespace

bool applySerialSettings(QSerialPort *port, const SerialPortSettings &settings, const LogSite &site)
{
    bool all = true;
    if (!port->setDataBits(settings.dataBits)) {
        refused(site, __LINE__, "data bits", port);
        all = false;
    }
    if (!port->setFlowControl(settings.flowControl)) {
        refused(site, __LINE__, "flow control", port);
        all = false;
    }
    if (!port->setParity(settings.parity)) {
        refused(site, __LINE__, "parity", port);
        all = false;
    }
    if (!port->setBaudRate(settings.baudRate, QSerialPort::AllDirections)) {
        refused(site, __LINE__, "baudrate", port);
        all = false;
    }
    if (!port->setStopBits(settings.stopBits)) {
        refused(site, __LINE__, "stop bits", port);
        all = false;
    }
    return all;
}
