// Fuzzes the serial parameter string parser, TunnelCommEngine::parseCommParams,
// with every output asked for, and checks what it says about a string against
// the format: an accepted string has a positive rate and only the listed
// values; the tail never changes the verdict, so the bare check, and the
// check of the string normalised for either kind of port, agree with it.
#include "config/serialsettings.h"
#include "runtime/tunnelcommengine.h"

#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace
{

void fail(const char *what, const QString &s)
{
    std::fprintf(stderr, "%s: \"%s\"\n", what, s.toUtf8().constData());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString s = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    qint32 baud = -1;
    QSerialPort::StopBits stop = QSerialPort::UnknownStopBits;
    QSerialPort::Parity parity = QSerialPort::UnknownParity;
    QSerialPort::FlowControl flow = QSerialPort::UnknownFlowControl;
    QSerialPort::DataBits bits = QSerialPort::UnknownDataBits;
    unsigned long wiring = 12345;
    bool strict = false;
    const bool ok =
        TunnelCommEngine::parseCommParams(s, &baud, &stop, &parity, &flow, &bits, &wiring, &strict);
    if (ok) {
        if (baud <= 0)
            fail("accepted without a positive rate", s);
        if (bits != QSerialPort::Data7 && bits != QSerialPort::Data8)
            fail("accepted with other data bits", s);
        if (parity != QSerialPort::NoParity && parity != QSerialPort::EvenParity &&
            parity != QSerialPort::OddParity)
            fail("accepted with another parity", s);
        if (stop != QSerialPort::OneStop && stop != QSerialPort::TwoStop)
            fail("accepted with other stop bits", s);
        if (flow != QSerialPort::NoFlowControl && flow != QSerialPort::SoftwareControl &&
            flow != QSerialPort::HardwareControl)
            fail("accepted with another flow control", s);
    }
    if (!s.contains(QLatin1Char('/')) && wiring != 12345)
        fail("wiring written without a tail", s);
    if (s.contains(QLatin1Char('/')) && wiring != 0 && wiring != 0xFFFFFFFFUL)
        fail("wiring neither loopback nor full", s);
    if (TunnelCommEngine::parseCommParams(s) != ok)
        fail("the bare check disagrees", s);
    if (TunnelCommEngine::parseCommParams(normalizeSerialSettings(s, true)) != ok)
        fail("the string for a real port disagrees", s);
    if (TunnelCommEngine::parseCommParams(normalizeSerialSettings(s, false)) != ok)
        fail("the string for a virtual port disagrees", s);
    return 0;
}
