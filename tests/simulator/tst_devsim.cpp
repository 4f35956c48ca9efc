// The device simulator as a real process on real pseudo-terminals: what a
// PC program on its port sees, what its control socket changes, the TCP
// services, and the port inventory that lists its port.
#include "ports/serialportenumerator.h"
#include "ports/serialportmanager.h"
#include "tests/simulator/devsimhelpers.h"
#include "tests/support/testenv.h"

#include <QDir>
#include <QFileInfo>
#include <QTcpSocket>
#include <QTest>

#include <cstring>
#include <sys/stat.h>

using namespace devsim;

namespace
{

QString writeProfile(const TestEnv &env, const QString &text)
{
    const QString path = env.root() + QStringLiteral("/profile.ini");
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(text.toUtf8());
    return path;
}

std::vector<vp::Field> fields(std::initializer_list<std::pair<const char *, const char *>> list)
{
    std::vector<vp::Field> out;
    for (const auto &p : list)
        out.push_back({p.first, vp::utf8ToCp1250(p.second)});
    return out;
}

bool exists(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

QByteArray readTcp(QTcpSocket &s, int n)
{
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (out.size() < n && t.elapsed() < 10000) {
        if (s.bytesAvailable() == 0)
            s.waitForReadyRead(200);
        out += s.readAll();
    }
    return out;
}

QByteArray readPty(int fd, int n)
{
    QByteArray out;
    QElapsedTimer t;
    t.start();
    char buf[4096];
    while (out.size() < n && t.elapsed() < 10000) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0)
            continue;
        const ssize_t r = ::read(fd, buf, sizeof buf);
        if (r > 0)
            out.append(buf, int(r));
    }
    return out;
}

} // namespace

class TstDevSim : public QObject
{
    Q_OBJECT
private slots:
    void answersOnlyMatchingLineSettings();
    void usbDeviceRestartsAfterSettingsWritten();
    void linkChangeAndMenuSwitchToTcp();
    void faultsFromControlSocket();
    void tcpServicesRelayComPorts();
};

// A device on COM1 at 9600 baud, 7 data bits, even parity, 2 stop bits and
// XON/XOFF: silence at the program's usual settings, answers byte-exact at
// its own; the inventory lists its port as a real Tavrel port while it lives.
void TstDevSim::answersOnlyMatchingLineSettings()
{
    TestEnv env;
    const QString profile = writeProfile(env, QStringLiteral("[device]\nname=Kasa Łódź 7\nport=ttyTVTEST1\n"
                                                             "link=COM1\nanswer_delay_ms=0\npace_line=1\n"
                                                             "[com1]\nsp=9600\nda=7\npa=2\nst=2\nfl=3\n"));
    SimProcess sim;
    QVERIFY2(sim.start({QStringLiteral("--profile"), profile}), qPrintable(sim.errors()));
    const QStringList port = sim.lineValue(QStringLiteral("port")).split(QLatin1Char(' '));
    QCOMPARE(port.value(0), QStringLiteral("ttyTVTEST1"));
    const QString link = port.value(1);
    QCOMPARE(link, env.systemDir() + QStringLiteral("/devices/ttyTVTEST1"));
    QCOMPARE(QFileInfo(link).symLinkTarget(), port.value(2));
    QVERIFY(sim.lineValue(QStringLiteral("com2")).startsWith(QLatin1String("/dev/pts/")));
    QVERIFY(sim.lineValue(QStringLiteral("com1")).isEmpty()); // COM1 links the PC

    // The real inventory: a real port named after the maker, the name resolving to the link.
    bool listed = false;
    for (const SerialPortEnumerator::PortInfo &p : SerialPortEnumerator::availablePorts()) {
        if (p.name != QLatin1String("ttyTVTEST1"))
            continue;
        listed = true;
        QVERIFY(!p.driverPort);
        QVERIFY2(p.description.toUpper().contains(QLatin1String("TAVREL")), qPrintable(p.description));
        QCOMPARE(p.systemLocation, link);
    }
    QVERIFY(listed);
    QCOMPARE(SerialPortEnumerator::devicePath(QStringLiteral("ttyTVTEST1")), link);
    QCOMPARE(SerialPortEnumerator::devicePath(QStringLiteral("TTYTVTEST1")), link);
    QVERIFY(SerialPortEnumerator::isPresent(QStringLiteral("ttyTVTEST1")));
    // The wizard's list: the maker's port first, named in the detailed form.
    SerialPortManager manager;
    QStringList entries = manager.serialPorts(true, false);
    manager.moveMakerPortFirst(entries);
    QVERIFY2(entries.value(0).startsWith(QLatin1String("TTYTVTEST1 => Tavrel")),
             qPrintable(entries.join(" | ")));

    PortClient client;
    vp::Response r;
    // Every wrong setting alone is enough for silence. Data bits and parity count only where
    // pseudo-terminals keep them (newer kernels force 8N, and the device cannot see them).
    const bool framing = ptyCarriesFraming();
    const Line right = framing ? Line{9600, 7, 'E', 2, 'S'} : Line{9600, 8, 'N', 2, 'S'};
    QList<Line> wrong;
    for (int i = 0; i < 5; ++i) {
        Line l = right;
        if (i == 0)
            l.baud = 115200;
        else if (i == 1)
            l.stopBits = 1;
        else if (i == 2)
            l.flow = 'R';
        else if (i == 3)
            l.flow = 'N';
        else if (framing)
            l.dataBits = 8;
        else
            continue;
        wrong << l;
    }
    if (framing)
        wrong << Line{9600, 7, 'O', 2, 'S'};
    QVERIFY(client.open(link, wrong[0]));
    for (const Line &l : qAsConst(wrong)) {
        QVERIFY2(client.setLine(l), std::strerror(errno));
        QVERIFY(client.send(QStringLiteral("!sdev")));
        QVERIFY2(!client.answer(&r, 700), qPrintable(QStringLiteral("answered at %1,%2,%3,%4,%5")
                                                         .arg(l.baud)
                                                         .arg(l.dataBits)
                                                         .arg(QLatin1Char(l.parity))
                                                         .arg(l.stopBits)
                                                         .arg(QLatin1Char(l.flow))));
    }
    ControlClient control;
    QVERIFY(control.connectTo(sim.lineValue(QStringLiteral("control"))));
    QCOMPARE(control.value(QStringLiteral("status"), QStringLiteral("answered")), QStringLiteral("0"));
    QVERIFY(control.value(QStringLiteral("status"), QStringLiteral("ignored-bytes")).toInt() > 0);

    QVERIFY(client.setLine(right));
    QVERIFY(client.ask(QStringLiteral("!sdev"), {}, &r));
    QCOMPARE(r.status, vp::status::kOk);
    QCOMPARE(field(r, "ds"), QStringLiteral("0"));
    QElapsedTimer roundTrip;
    roundTrip.start();
    QVERIFY(client.ask(QStringLiteral("sid"), {}, &r));
    QCOMPARE(r.status, vp::status::kOk);
    // Paced like a real line: request and answer each take their line time at 9600 baud, 7E2.
    vp::Request sid;
    sid.seq = r.seq;
    sid.command = "sid";
    const qint64 lineMs =
        qint64(vp::encodeRequest(sid).size() + vp::encodeResponse(r).size()) * 11 * 1000 / 9600;
    QVERIFY2(roundTrip.elapsed() >= lineMs,
             qPrintable(QStringLiteral("%1 ms < %2 ms").arg(roundTrip.elapsed()).arg(lineMs)));
    // The name travels in Windows-1250: Ł is 0xA3, ó 0xF3, ź 0x9F.
    QCOMPARE(QByteArray::fromStdString(vp::findField(r.fields, "nm")->value), QByteArray("Kasa \xA3\xF3"
                                                                                         "d\x9F 7"));
    QVERIFY(client.ask(QStringLiteral("comcfgget"), fields({{"no", "1"}}), &r));
    QCOMPARE(field(r, "no"), QStringLiteral("1"));
    QCOMPARE(field(r, "sp"), QStringLiteral("9600"));
    QCOMPARE(field(r, "da"), QStringLiteral("7"));
    QCOMPARE(field(r, "pa"), QStringLiteral("2"));
    QCOMPARE(field(r, "st"), QStringLiteral("2"));
    QCOMPARE(field(r, "fl"), QStringLiteral("3"));
    QVERIFY(client.ask(QStringLiteral("pccfgget"), {}, &r));
    QCOMPARE(field(r, "id"), QStringLiteral("1"));
    QCOMPARE(field(r, "no"), QStringLiteral("1"));
    // Refusals change nothing.
    QVERIFY(client.ask(QStringLiteral("nosuch"), {}, &r));
    QCOMPARE(r.status, vp::status::kUnknownCommand);
    QVERIFY(client.ask(QStringLiteral("comcfgset"), fields({{"no", "2"}, {"sp", "12345"}, {"da", "7"}}), &r));
    QCOMPARE(r.status, vp::status::kBadParamValue);
    QVERIFY(client.ask(QStringLiteral("tunnelget"), {}, &r));
    QCOMPARE(r.status, vp::status::kMissingParam);
    QCOMPARE(control.value(QStringLiteral("get com2"), QStringLiteral("com2.da")), QStringLiteral("8"));
    QVERIFY(client.ask(QStringLiteral("tunnelset"),
                       fields({{"sp", "1"}, {"en", "T"}, {"da", "1102"}, {"di", "1103"}}), &r));
    QCOMPARE(r.status, vp::status::kOk);
    QCOMPARE(control.value(QStringLiteral("get tun1"), QStringLiteral("tun1.en")), QStringLiteral("1"));

    // Ended by a signal it cannot catch: the link stays behind and is no longer a port.
    sim.kill(SIGKILL);
    QVERIFY(exists(link));
    for (const SerialPortEnumerator::PortInfo &p : SerialPortEnumerator::availablePorts())
        QVERIFY(p.name != QLatin1String("ttyTVTEST1"));
    QVERIFY(!SerialPortEnumerator::isPresent(QStringLiteral("ttyTVTEST1")));
}

// A USB-linked device restarts after the TCP/IP settings are written: its
// port vanishes (the open end breaks), it is silent, and it comes back.
void TstDevSim::usbDeviceRestartsAfterSettingsWritten()
{
    TestEnv env;
    const QString profile =
        writeProfile(env, QStringLiteral("[device]\nport=ttyTVUSB\nlink=USB\nrestart_ms=1500\n"
                                         "[tcpip]\nid=3\ndh=1\n"));
    SimProcess sim;
    QVERIFY2(sim.start({QStringLiteral("--profile"), profile}), qPrintable(sim.errors()));
    const QString link = sim.lineValue(QStringLiteral("port")).section(QLatin1Char(' '), 1, 1);
    QVERIFY(sim.lineValue(QStringLiteral("com1")).startsWith(QLatin1String("/dev/pts/")));
    QVERIFY(sim.lineValue(QStringLiteral("com2")).startsWith(QLatin1String("/dev/pts/")));
    PortClient client;
    vp::Response r;
    // Over USB any line settings reach the device.
    QVERIFY(client.open(link, {1200, 8, 'N', 1, 'N'}));
    QVERIFY(client.ask(QStringLiteral("pccfgget"), {}, &r));
    QCOMPARE(field(r, "id"), QStringLiteral("2"));
    QVERIFY(client.ask(
        QStringLiteral("tcpipcfgset"),
        fields(
            {{"id", "3"}, {"dh", "0"}, {"ip", "10.10.10.10"}, {"ge", "10.10.10.1"}, {"ma", "255.255.255.0"}}),
        &r));
    QCOMPARE(r.status, vp::status::kOk);
    QElapsedTimer gone;
    gone.start();
    QVERIFY2(waitFor([&] { return !exists(link); }, 5000), "the USB port does not vanish");
    bool lost = false;
    QVERIFY(!client.answer(&r, 2000, &lost));
    QVERIFY2(lost, "the open end of a vanished port still reads nothing but silence");
    QVERIFY(::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY) < 0);
    QVERIFY2(waitFor([&] { return exists(link); }, 10000), "the USB port does not come back");
    QVERIFY2(gone.elapsed() >= 1000, qPrintable(QString::number(gone.elapsed())));
    QVERIFY(client.open(link, {9600, 8, 'N', 1, 'R'}));
    QVERIFY(client.ask(QStringLiteral("tcpipcfgget"), {}, &r));
    QCOMPARE(field(r, "id"), QStringLiteral("3"));
    QCOMPARE(field(r, "dh"), QStringLiteral("0"));
    QCOMPARE(field(r, "ip"), QStringLiteral("10.10.10.10"));
    QCOMPARE(field(r, "ge"), QStringLiteral("10.10.10.1"));
    QCOMPARE(field(r, "ma"), QStringLiteral("255.255.255.0"));
    bool listed = false;
    for (const SerialPortEnumerator::PortInfo &p : SerialPortEnumerator::availablePorts())
        listed = listed || (p.name == QLatin1String("ttyTVUSB") && p.systemLocation == link);
    QVERIFY(listed);
    QVERIFY2(sim.stopCleanly(), qPrintable(sim.errors()));
    QVERIFY(!exists(env.systemDir() + QStringLiteral("/devices")) ||
            QDir(env.systemDir() + QStringLiteral("/devices")).isEmpty());
}

// An RS232 device: a change of its link port's settings is answered at the
// old settings and then only the new ones reach it; the PC interface switch
// waits for the menu step, after which the serial side is silent and the PC
// interface answers over TCP.
void TstDevSim::linkChangeAndMenuSwitchToTcp()
{
    TestEnv env;
    const quint16 pcPort = freePort();
    const QString profile = writeProfile(env, QStringLiteral("[device]\nport=ttyTVCOM2\nlink=COM2\n"
                                                             "restart_ms=500\n[com2]\nsp=115200\nfl=1\n"));
    SimProcess sim;
    QVERIFY2(sim.start({QStringLiteral("--profile"), profile, QStringLiteral("--listen"),
                        QStringLiteral("127.0.0.1")}),
             qPrintable(sim.errors()));
    const QString link = sim.lineValue(QStringLiteral("port")).section(QLatin1Char(' '), 1, 1);
    ControlClient control;
    QVERIFY(control.connectTo(sim.lineValue(QStringLiteral("control"))));
    PortClient client;
    vp::Response r;
    QVERIFY(client.open(link, {115200, 8, 'N', 1, 'R'}));
    // A device COM port that is not the link changes nothing on the line.
    QVERIFY(client.ask(QStringLiteral("comcfgset"), fields({{"no", "1"}, {"sp", "19200"}}), &r));
    QCOMPARE(r.status, vp::status::kOk);
    QVERIFY(client.ask(QStringLiteral("!sdev"), {}, &r));
    QVERIFY(client.ask(
        QStringLiteral("comcfgset"),
        fields({{"no", "2"}, {"sp", "9600"}, {"st", "1"}, {"da", "8"}, {"pa", "0"}, {"fl", "0"}}), &r));
    QCOMPARE(r.status, vp::status::kOk);
    QVERIFY(client.send(QStringLiteral("!sdev")));
    QVERIFY(!client.answer(&r, 700));
    QVERIFY(client.setLine({9600, 8, 'N', 1, 'N'}));
    QVERIFY(client.ask(QStringLiteral("!sdev"), {}, &r));
    QCOMPARE(control.value(QStringLiteral("status"), QStringLiteral("line")), QStringLiteral("9600,8,N,1,N"));

    // The PC interface to TCP/IP: answered, but it waits for the menu.
    const std::string pcNo = std::to_string(pcPort);
    QVERIFY(client.ask(QStringLiteral("pccfgset"), fields({{"id", "4"}, {"no", pcNo.c_str()}}), &r));
    QCOMPARE(r.status, vp::status::kOk);
    QVERIFY(client.ask(QStringLiteral("pccfgget"), {}, &r));
    QCOMPARE(field(r, "id"), QStringLiteral("1"));
    QCOMPARE(control.value(QStringLiteral("status"), QStringLiteral("pc-pending")), QStringLiteral("1"));
    QTcpSocket tcp;
    tcp.connectToHost(QHostAddress::LocalHost, pcPort);
    QVERIFY(!tcp.waitForConnected(1000));
    QCOMPARE(control.command(QStringLiteral("menu tcpip")).last(), QStringLiteral("OK"));
    QCOMPARE(control.value(QStringLiteral("status"), QStringLiteral("mode")), QStringLiteral("restarting"));
    // An RS232 port stays while the device restarts.
    QVERIFY(exists(link));
    QVERIFY(waitFor(
        [&] {
            return control.value(QStringLiteral("status"), QStringLiteral("mode")) ==
                   QLatin1String("running");
        },
        10000));
    QCOMPARE(control.value(QStringLiteral("status"), QStringLiteral("service pc")),
             QStringLiteral("127.0.0.1:%1").arg(pcPort));
    QVERIFY(client.send(QStringLiteral("!sdev")));
    QVERIFY(!client.answer(&r, 700));

    tcp.abort();
    tcp.connectToHost(QHostAddress::LocalHost, pcPort);
    QVERIFY(tcp.waitForConnected(5000));
    vp::Request q;
    q.seq = 4242;
    q.command = "pccfgget";
    // Sent in two pieces: frames are cut out of the stream.
    const QByteArray bytes = QByteArray::fromStdString(vp::encodeRequest(q));
    tcp.write(bytes.left(5));
    tcp.waitForBytesWritten(1000);
    QTest::qWait(100);
    tcp.write(bytes.mid(5));
    vp::FrameDecoder decoder;
    vp::Frame frame;
    QElapsedTimer t;
    t.start();
    while (!decoder.next(&frame) && t.elapsed() < 5000) {
        tcp.waitForReadyRead(200);
        decoder.feed(tcp.readAll().toStdString());
    }
    QVERIFY(vp::parseResponse(frame, &r));
    QCOMPARE(int(r.seq), 4242);
    QCOMPARE(field(r, "id"), QStringLiteral("4"));
    QCOMPARE(field(r, "no"), QString::number(pcPort));
    QVERIFY2(sim.stopCleanly(), qPrintable(sim.errors()));
    QVERIFY(!exists(env.systemDir() + QStringLiteral("/devices")) ||
            QDir(env.systemDir() + QStringLiteral("/devices")).isEmpty());
}

// Faults scripted through the control socket, each seen by a client on the port.
void TstDevSim::faultsFromControlSocket()
{
    TestEnv env;
    SimProcess sim;
    QVERIFY2(sim.start({QStringLiteral("--port"), QStringLiteral("ttyTVFAULT")}), qPrintable(sim.errors()));
    const QString link = sim.lineValue(QStringLiteral("port")).section(QLatin1Char(' '), 1, 1);
    const QString firstTerminal = sim.lineValue(QStringLiteral("port")).section(QLatin1Char(' '), 2, 2);
    ControlClient control;
    QVERIFY(control.connectTo(sim.lineValue(QStringLiteral("control"))));
    PortClient client;
    vp::Response r;
    QVERIFY(client.open(link, {115200, 8, 'N', 1, 'R'}));

    QCOMPARE(control.command(QStringLiteral("fault silent 1")).last(), QStringLiteral("OK"));
    QVERIFY(client.send(QStringLiteral("!sdev")));
    QVERIFY(!client.answer(&r, 700));
    QVERIFY(client.ask(QStringLiteral("!sdev"), {}, &r));

    QCOMPARE(control.command(QStringLiteral("fault refuse sid 0x30005 1")).last(), QStringLiteral("OK"));
    QVERIFY(client.ask(QStringLiteral("!sdev"), {}, &r));
    QCOMPARE(r.status, vp::status::kOk);
    QVERIFY(client.ask(QStringLiteral("sid"), {}, &r));
    QCOMPARE(r.status, vp::status::kDeviceBusy);
    QVERIFY(client.ask(QStringLiteral("sid"), {}, &r));
    QCOMPARE(r.status, vp::status::kOk);

    QCOMPARE(control.command(QStringLiteral("fault garble 1")).last(), QStringLiteral("OK"));
    QVERIFY(client.send(QStringLiteral("sid")));
    QVERIFY(!client.answer(&r, 700));
    QCOMPARE(client.rejectedFrames(), quint64(1));
    QVERIFY(client.ask(QStringLiteral("sid"), {}, &r));

    QCOMPARE(control.command(QStringLiteral("ds 1 2")).last(), QStringLiteral("OK"));
    // Only immediate commands are carried out while the device is not ready.
    QVERIFY(client.ask(QStringLiteral("sid"), {}, &r));
    QCOMPARE(r.status, vp::status::kDeviceBusy);
    for (const char *expected : {"1", "1", "0", "0"}) {
        QVERIFY(client.ask(QStringLiteral("!sdev"), {}, &r));
        QCOMPARE(field(r, "ds"), QString::fromLatin1(expected));
    }
    QCOMPARE(control.command(QStringLiteral("ds 3")).last(), QStringLiteral("OK"));
    QVERIFY(client.ask(QStringLiteral("!sdev"), {}, &r));
    QCOMPARE(field(r, "ds"), QStringLiteral("3"));
    QVERIFY(client.ask(QStringLiteral("pccfgget"), {}, &r));
    QCOMPARE(r.status, vp::status::kNotAllowed);
    QCOMPARE(control.command(QStringLiteral("ds 0")).last(), QStringLiteral("OK"));

    QCOMPARE(control.command(QStringLiteral("fault drop 1200")).last(), QStringLiteral("OK"));
    bool lost = false;
    QVERIFY(!client.answer(&r, 2000, &lost));
    QVERIFY(lost);
    QVERIFY(!exists(link));
    QVERIFY2(waitFor([&] { return exists(link); }, 10000), "the port does not come back after a drop");
    QVERIFY(control.value(QStringLiteral("ports"), QStringLiteral("port"))
                .startsWith(QLatin1String("ttyTVFAULT ")));
    QVERIFY(client.open(link, {115200, 8, 'N', 1, 'R'}));
    QVERIFY(client.ask(QStringLiteral("!sdev"), {}, &r));
    QCOMPARE(field(r, "ds"), QStringLiteral("0"));
    Q_UNUSED(firstTerminal)

    QCOMPARE(control.command(QStringLiteral("fault bogus")).last().left(3), QStringLiteral("ERR"));
    QCOMPARE(control.command(QStringLiteral("get nosuch")).last().left(3), QStringLiteral("ERR"));
    QVERIFY2(sim.stopCleanly(), qPrintable(sim.errors()));
    QVERIFY(!exists(env.systemDir() + QStringLiteral("/devices")) ||
            QDir(env.systemDir() + QStringLiteral("/devices")).isEmpty());
}

// The TCP services on a host address: tunnel data both ways between a TCP
// connection and the simulator's own COM ports, the control connection held
// open, and transaction lines on the monitor.
void TstDevSim::tcpServicesRelayComPorts()
{
    TestEnv env;
    const quint16 p[5] = {freePort(), freePort(), freePort(), freePort(), freePort()};
    const QString profile =
        writeProfile(env, QStringLiteral("[device]\nport=ttyTVTCP\nlink=USB\n[trlog]\nid=4\nno=%1\n"
                                         "[tun0]\nen=1\nda=%2\ndi=%3\n[tun1]\nen=T\nda=%4\ndi=%5\n")
                              .arg(p[0])
                              .arg(p[1])
                              .arg(p[2])
                              .arg(p[3])
                              .arg(p[4]));
    SimProcess sim;
    QVERIFY2(sim.start({QStringLiteral("--profile"), profile, QStringLiteral("--listen"),
                        QStringLiteral("127.0.0.1")}),
             qPrintable(sim.errors()));
    ControlClient control;
    QVERIFY(control.connectTo(sim.lineValue(QStringLiteral("control"))));
    QCOMPARE(control.value(QStringLiteral("status"), QStringLiteral("service tun0")),
             QStringLiteral("127.0.0.1:%1").arg(p[1]));

    for (int slot = 0; slot < 2; ++slot) {
        const QString com = control.value(QStringLiteral("ports"), QStringLiteral("com%1").arg(slot + 1));
        PortClient port;
        QVERIFY(port.open(com, {115200, 8, 'N', 1, 'N'}));
        QTcpSocket data;
        QTcpSocket ctl;
        data.connectToHost(QHostAddress::LocalHost, p[1 + 2 * slot]);
        ctl.connectToHost(QHostAddress::LocalHost, p[2 + 2 * slot]);
        QVERIFY(data.waitForConnected(5000));
        QVERIFY(ctl.waitForConnected(5000));
        QTest::qWait(100); // the device takes the connection before bytes come
        QByteArray toCom(20000 + slot, '\0');
        for (int i = 0; i < toCom.size(); ++i)
            toCom[i] = char((i * 7 + slot) & 0xFF); // every byte value, XON and XOFF included
        data.write(toCom);
        data.flush();
        QCOMPARE(readPty(port.fd(), toCom.size()), toCom);
        QByteArray fromCom =
            QByteArray("reply from COM") + QByteArray::number(slot + 1) + QByteArray(3000, '\x13');
        QCOMPARE(::write(port.fd(), fromCom.constData(), size_t(fromCom.size())), ssize_t(fromCom.size()));
        QCOMPARE(readTcp(data, fromCom.size()), fromCom);
        ctl.write("ignored");
        QVERIFY(ctl.waitForBytesWritten(1000));
        QTest::qWait(100);
        QCOMPARE(ctl.state(), QAbstractSocket::ConnectedState);
    }

    QTcpSocket monitor;
    monitor.connectToHost(QHostAddress::LocalHost, p[0]);
    QVERIFY(monitor.waitForConnected(5000));
    QTest::qWait(100);
    QCOMPARE(control.command(QStringLiteral("transaction 000001;PARAGON;12,50 zł")).last(),
             QStringLiteral("OK"));
    QCOMPARE(readTcp(monitor, 23), QByteArray("000001;PARAGON;12,50 z\xB3\r\n"));
    QVERIFY2(sim.stopCleanly(), qPrintable(sim.errors()));
    QVERIFY(!exists(env.systemDir() + QStringLiteral("/devices")) ||
            QDir(env.systemDir() + QStringLiteral("/devices")).isEmpty());
}

QTEST_GUILESS_MAIN(TstDevSim)
#include "tst_devsim.moc"
