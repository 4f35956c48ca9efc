// A scripted device end of a PPP link for end-to-end tests, on the same
// lwIP adapter the program uses:
//   ppp_testpeer --tty PATH [--address A] [--suggest B]
//                [--require-pap USER:PASSWORD] [--terminate-after-up MS]
//                [--exit-after-end]
// --require-pap makes the link fail before it is ever up (the PC holds no
// credentials); --terminate-after-up ends a link the peer saw come up.
// Prints "UP", "END <code>" on standard output as they happen.
#include "runtime/lwipport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace
{

int g_fd = -1;
int g_unit = -1;
quint32 g_address = 0, g_suggest = 0;
QByteArray g_out;
QSocketNotifier *g_writer = nullptr;
int g_terminateAfterUp = -1;
bool g_exitAfterEnd = false;

void flush()
{
    while (!g_out.isEmpty()) {
        const ssize_t n = ::write(g_fd, g_out.constData(), size_t(g_out.size()));
        if (n <= 0)
            break;
        g_out.remove(0, int(n));
    }
    g_writer->setEnabled(!g_out.isEmpty());
}

int sioWrite(void *, const quint8 *data, int len)
{
    g_out.append(reinterpret_cast<const char *>(data), len);
    flush();
    return len;
}

void status(void *, int code, void *)
{
    if (code == 0) {
        std::printf("UP\n");
        std::fflush(stdout);
        if (g_terminateAfterUp >= 0)
            QTimer::singleShot(g_terminateAfterUp, [] { pppClose(g_unit); });
    } else if (code <= -PPP_TERMINATION_OFFSET) {
        std::printf("END %d\n", code);
        std::fflush(stdout);
        if (g_exitAfterEnd)
            QTimer::singleShot(200, [] { QCoreApplication::exit(0); });
    }
}

void data(void *, int param, void *arg)
{
    if (param == PPP_DATA_LOCAL_ADDRESS)
        *static_cast<quint32 *>(arg) = htonl(g_address);
    else if (param == PPP_DATA_REMOTE_ADDRESS)
        *static_cast<quint32 *>(arg) = htonl(g_suggest);
}

void input(void *, const char *, int) {}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.addOptions({{"tty", "serial line", "path"},
                  {"address", "own address", "ip", "10.10.10.10"},
                  {"suggest", "address suggested to the peer", "ip", ""},
                  {"require-pap", "demand PAP", "user:password"},
                  {"terminate-after-up", "end the link this long after it came up", "ms"},
                  {"exit-after-end", "exit once the link ended"}});
    p.process(app);
    g_fd = ::open(p.value("tty").toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (g_fd < 0) {
        std::fprintf(stderr, "ppp_testpeer: cannot open %s: %s\n", qPrintable(p.value("tty")),
                     strerror(errno));
        return 2;
    }
    termios t;
    if (::tcgetattr(g_fd, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(g_fd, TCSANOW, &t);
    }
    g_address = QHostAddress(p.value("address")).toIPv4Address();
    g_suggest = p.value("suggest").isEmpty() ? 0 : QHostAddress(p.value("suggest")).toIPv4Address();
    if (p.isSet("terminate-after-up"))
        g_terminateAfterUp = p.value("terminate-after-up").toInt();
    g_exitAfterEnd = p.isSet("exit-after-end");

    pppInit();
    pppSetAuth(PppAuthNone, "", "");
    sioSetWriteHook(sioWrite);
    QSocketNotifier writer(g_fd, QSocketNotifier::Write);
    g_writer = &writer;
    writer.setEnabled(false);
    QObject::connect(&writer, &QSocketNotifier::activated, [] { flush(); });
    QSocketNotifier reader(g_fd, QSocketNotifier::Read);
    QObject::connect(&reader, &QSocketNotifier::activated, [&] {
        char buf[4096];
        const ssize_t n = ::read(g_fd, buf, sizeof(buf));
        if (n > 0)
            pppSerialInput(g_unit, buf, int(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            reader.setEnabled(false);
    });
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [] { pppCheckTimeouts(); });
    tick.start(100);

    const QByteArray pap = p.value("require-pap").toLocal8Bit();
    const int colon = pap.indexOf(':');
    const QByteArray user = colon >= 0 ? pap.left(colon) : pap;
    const QByteArray password = colon >= 0 ? pap.mid(colon + 1) : QByteArray();
    const PppPeerAuth demand{user.constData(), password.constData()};
    g_unit =
        pppOverSerialOpen(nullptr, status, data, input, nullptr, p.isSet("require-pap") ? &demand : nullptr);
    if (g_unit < 0)
        return 3;
    const int rc = app.exec();
    // Unsent bytes would hold the close until the other end drains them.
    ::tcflush(g_fd, TCIOFLUSH);
    ::close(g_fd);
    return rc;
}
