// The device worker against the real device library and the simulator process: detection over the
// combination list (silence on wrong speeds, the menu wait, the flow-control reopen, cancel, a start
// refused while busy, a read-out gap), and the configuration on an RS232 link (writes in order with
// their values, restart, link-port change and reopen, a line lost while waiting for the restart) and
// on a USB link (port gone during the restart, a refused PC-interface switch is a failure).
#include "tests/simulator/devsimhelpers.h"
#include "tests/support/logcapture.h"
#include "wizard/tavrelcmloader.h"
#include "wizard/tavreldevicecomm.h"

#include <QDir>
#include <QRegularExpression>
#include <QtTest>

using namespace devsim;

namespace
{
const int kLong = 60000; // bounds that only catch hangs

struct Report {
    QStringList progress;
    QList<QPair<long, QString>> errors;
    QStringList ready;
    int ends() const { return errors.size() + ready.size(); }
};

// One simulated device, the library, and a started worker whose reports are collected in the GUI
// thread (queued, as the wizard gets them).
struct Bench {
    TestEnv env;
    LogCapture log{10};
    SimProcess sim;
    ControlClient control;
    TavrelCMLoader loader;
    TavrelDeviceComm comm;
    QObject context;
    Report report;
    QString port;

    bool start(const QString &profile)
    {
        const QString path = env.root() + QStringLiteral("/profile.ini");
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(profile.toUtf8()) < 0)
            return false;
        f.close();
        if (!sim.start({QStringLiteral("--profile"), path, QStringLiteral("--debug"), QStringLiteral("4")}) ||
            !control.connectTo(sim.lineValue(QStringLiteral("control"))))
            return false;
        port = sim.lineValue(QStringLiteral("port")).section(QLatin1Char(' '), 0, 0);
        qputenv("VELMORA_VARNOK", QFile::encodeName(TestEnv::binary(QStringLiteral("libvarnok.so"))));
        if (loader.Load() != 1)
            return false;
        comm.setLoader(&loader);
        QObject::connect(&comm, &TavrelDeviceComm::progressEvent, &context,
                         [this](double, const QString &m) { report.progress << m; });
        QObject::connect(&comm, &TavrelDeviceComm::errorDetected, &context,
                         [this](long s, const QString &m) { report.errors << qMakePair(s, m); });
        QObject::connect(&comm, &TavrelDeviceComm::deviceReady, &context,
                         [this](const QString &n) { report.ready << n; });
        comm.startWorker();
        return true;
    }
    // Waits for the machine's one final report.
    bool finished(int before)
    {
        QElapsedTimer t;
        t.start();
        while (report.ends() == before && t.elapsed() < kLong)
            QTest::qWait(20);
        QTest::qWait(300); // a second report would come now
        return report.ends() == before + 1;
    }
    bool progressSeen(const QString &text)
    {
        QElapsedTimer t;
        t.start();
        while (!report.progress.contains(text) && t.elapsed() < kLong)
            QTest::qWait(20);
        return report.progress.contains(text);
    }
    // The requests the device received, "command name=value ..." in order.
    QStringList requests()
    {
        QStringList out;
        static const QRegularExpression re(QStringLiteral(":: request \\d+ (.*)$"));
        for (const QString &line : sim.errors().split(QLatin1Char('\n'))) {
            const auto m = re.match(line);
            if (m.hasMatch())
                out << m.captured(1).trimmed();
        }
        return out;
    }
    // The number of this process's descriptors open on the device's current terminal.
    int terminalOpen()
    {
        const QString terminal =
            control.value(QStringLiteral("ports"), QStringLiteral("port")).section(' ', 2, 2);
        int n = 0;
        const QDir fds(QStringLiteral("/proc/self/fd"));
        for (const QString &fd : fds.entryList(QDir::NoDotAndDotDot | QDir::System))
            n += QFile::symLinkTarget(fds.filePath(fd)) == terminal;
        return n;
    }
};

bool busyRefused(TavrelDeviceComm &comm)
{
    return !comm.startDetect(QStringLiteral("x"), QString(), false) &&
           !comm.startConfig(TavrelWriteSettings());
}
} // namespace

class TstDeviceComm : public QObject
{
    Q_OBJECT
private slots:
    void detection();
    void configurationRs232();
    void configurationUsb();
};

// The device at 115200 with RTS/CTS is the fourth of the port's combinations; it starts in its
// menu, its read-out says no flow control though its line uses RTS/CTS, and one read-out request
// is refused.
void TstDeviceComm::detection()
{
    Bench b;
    QVERIFY2(b.start(QStringLiteral("[device]\nname=Kasa Testowa\nport=ttyTVDC1\nlink=COM1\n"
                                    "[com1]\nsp=115200\nfl=1\n[com2]\nsp=4800\nst=2\nfl=3\n"
                                    "[tcpip]\nid=1\nno=2\n")),
             qPrintable(b.sim.errors()));
    QVERIFY(b.control.command(QStringLiteral("ds 1")).endsWith(QStringLiteral("OK")));
    QVERIFY(b.control.command(QStringLiteral("set com1.fl 0")).endsWith(QStringLiteral("OK")));
    QVERIFY(
        b.control.command(QStringLiteral("fault refuse tunnelget 0x30006 1")).endsWith(QStringLiteral("OK")));

    QVERIFY(b.comm.startDetect(b.port, QString(), false));
    QVERIFY(b.progressSeen(
        QStringLiteral("Urządzenie niegotowe - w menu. Proszę opuścić menu w urządzeniu klawiszem 'C'.")));
    const QStringList all = TavrelDeviceComm::portCombinations(b.port);
    QCOMPARE(all.size(), 24);
    QCOMPARE(b.report.progress.mid(0, 4),
             (QStringList{QStringLiteral("Sprawdzam: ") + all[0], QStringLiteral("Sprawdzam: ") + all[1],
                          QStringLiteral("Sprawdzam: ") + all[2], QStringLiteral("Sprawdzam: ") + all[3]}));
    QCOMPARE(all[3], b.port + QStringLiteral(",115200,8,N,1,R"));
    // Wrong speeds were never understood; the menu keeps the machine asking.
    const QStringList menuAsked = b.requests();
    QVERIFY(!menuAsked.isEmpty());
    QCOMPARE(menuAsked.count(QStringLiteral("!sdev")), menuAsked.size());
    QTest::qWait(700);
    QVERIFY(b.report.ends() == 0);
    QVERIFY(busyRefused(b.comm));

    QVERIFY(b.control.command(QStringLiteral("ds 0")).endsWith(QStringLiteral("OK")));
    QVERIFY(b.finished(0));
    QCOMPARE(b.report.ready, QStringList{QStringLiteral("Done")});
    QVERIFY(b.report.progress.contains(QStringLiteral("Znaleziono: Kasa Testowa\nOdczytuję konfigurację.")));
    const TavrelDeviceComm::DeviceData data = b.comm.deviceData();
    QCOMPARE(data.value("pc").value("id"), QStringLiteral("1"));
    QCOMPARE(data.value("pc").value("no"), QStringLiteral("1"));
    QCOMPARE(TavrelDeviceComm::deviceComParams(data.value("com2")), QStringLiteral("4800,8,N,2,S"));
    QCOMPARE(data.value("tcpip").value("no"), QStringLiteral("2"));
    QVERIFY(!data.contains("tun0")); // refused: left out, the read-out went on
    QVERIFY(data.contains("tun1") && data.contains("trlog") && data.contains("com1"));
    // Found with RTS/CTS, the device says none: reopened with its own settings.
    QCOMPARE(b.comm.currentConfig(), b.port + QStringLiteral(",115200,8,N,1,N"));
    QVERIFY(b.log.contains(QStringLiteral("Changing comm mode to read-out from detected due to flow-control "
                                          "mismatch from: 115200,8,N,1,R to 115200,8,N,1,N port ") +
                           b.port));
    QCOMPARE(b.terminalOpen(), 1); // left open for the configuration

    // The wizard ends before configuring: the device is closed.
    b.comm.requestClose();
    QTRY_COMPARE_WITH_TIMEOUT(b.terminalOpen(), 0, kLong);

    // Cancel while the device sits in its menu: one report, the device closed, no more requests.
    QVERIFY(b.control.command(QStringLiteral("set com1.fl 1")).endsWith(QStringLiteral("OK")));
    QVERIFY(b.control.command(QStringLiteral("ds 1")).endsWith(QStringLiteral("OK")));
    b.report = Report();
    QVERIFY(b.comm.startDetect(b.port, QStringLiteral("115200,8,N,1,H"), false));
    QVERIFY(b.progressSeen(
        QStringLiteral("Urządzenie niegotowe - w menu. Proszę opuścić menu w urządzeniu klawiszem 'C'.")));
    QCOMPARE(b.report.progress.first(),
             QStringLiteral("Sprawdzam: ") + b.port + QStringLiteral(",115200,8,N,1,H"));
    QVERIFY(b.log.contains(QStringLiteral("Fix SPORT settings from: ") + b.port +
                           QStringLiteral(",115200,8,N,1,H to ") + b.port +
                           QStringLiteral(",115200,8,N,1,R")));
    b.comm.cancelCurrent();
    QVERIFY(b.finished(0));
    QCOMPARE(b.report.errors.value(0), qMakePair(4L, QStringLiteral("Anulowano przez użytkownika.")));
    QCOMPARE(b.terminalOpen(), 0);
    const int asked = b.requests().size();
    QTest::qWait(600);
    QCOMPARE(b.requests().size(), 0); // requests() drained stderr: nothing new came

    // A read-out without the TCP/IP entry the writes need fails with a clear message.
    QVERIFY(b.control.command(QStringLiteral("ds 0")).endsWith(QStringLiteral("OK")));
    QVERIFY(b.control.command(QStringLiteral("fault refuse tcpipcfgget 0x30006 1"))
                .endsWith(QStringLiteral("OK")));
    b.report = Report();
    QVERIFY(b.comm.startDetect(b.port, QStringLiteral("115200,8,N,1,R"), false));
    QVERIFY(b.finished(0));
    QCOMPARE(b.report.errors.value(0),
             qMakePair(2L, QStringLiteral("Błąd odczytu konfiguracji urządzenia: brak wartości tcpip/id.")));
    QCOMPARE(b.terminalOpen(), 0);
    QVERIFY(asked > 0);

    // A port that cannot be opened: every combination is passed over, then "not found".
    b.report = Report();
    QVERIFY(b.comm.startDetect(QStringLiteral("/nonexistent/ttyX"), QString(), false));
    QVERIFY(b.finished(0));
    QCOMPARE(b.report.errors.value(0).first, 1L);
    QCOMPARE(b.report.progress.size(), 24);
    b.comm.stopWorker();
}

// RS232 on COM1: a COM2 tunnel, the monitor, new TCP/IP settings and a new link speed. The line
// drops while the worker waits for the restart: a query that ended without an answer is not "back".
void TstDeviceComm::configurationRs232()
{
    Bench b;
    QVERIFY2(b.start(QStringLiteral("[device]\nport=ttyTVDC2\nlink=COM1\nrestart_ms=5000\n"
                                    "[com1]\nsp=115200\nfl=1\n[tcpip]\nid=1\nno=2\n")),
             qPrintable(b.sim.errors()));
    QVERIFY(b.comm.startDetect(b.port, QStringLiteral("115200,8,N,1,R"), false));
    QVERIFY(b.finished(0));
    QCOMPARE(b.report.ready, QStringList{QStringLiteral("Done")});
    b.requests();

    TavrelWriteSettings s;
    s.com1Settings = QStringLiteral("19200,8,N,1,N"); // the link port: never written as a tunnel
    s.com2Settings = QStringLiteral("9600,7,E,2,S/NO/NS");
    s.trlog = true;
    s.deviceIp = QStringLiteral("10.1.2.3");
    s.gateway = QStringLiteral("10.1.2.1");
    s.netmask = QStringLiteral("255.255.255.0");
    s.newPortSettings = QStringLiteral("57600,8,N,1,R/NO/NS");
    b.report = Report();
    QVERIFY(b.comm.startConfig(s));
    QVERIFY(busyRefused(b.comm));
    QVERIFY(b.progressSeen(QStringLiteral("Trwa oczekiwanie na restart urządzenia....")));
    QTest::qWait(2500); // a status query is on the line now
    QVERIFY(b.control.command(QStringLiteral("fault drop 3000")).endsWith(QStringLiteral("OK")));
    QVERIFY(b.finished(0));
    QCOMPARE(b.report.errors, (QList<QPair<long, QString>>()));
    QCOMPARE(b.report.ready, QStringList{QStringLiteral("Ok")});

    QStringList asked = b.requests();
    asked.removeAll(QStringLiteral("!sdev"));
    QCOMPARE(asked, (QStringList{
                        QStringLiteral("comcfgset no=2 sp=9600 st=2 da=7 pa=2 fl=3"),
                        QStringLiteral("tunnelset sp=1 en=1 da=1102 di=1103"),
                        QStringLiteral("trlogset id=4 no=7777"),
                        QStringLiteral("tcpipcfgset id=1 no=2 dh=0 ip=10.1.2.3 ge=10.1.2.1 ma=255.255.255.0"),
                        QStringLiteral("comcfgset no=1 sp=57600 st=1 da=8 pa=0 fl=1"),
                        QStringLiteral("pccfgset id=4 no=6666"),
                    }));
    QVERIFY(b.report.progress.contains(QStringLiteral("Zmieniam ustawienia portu szeregowego urządzenia.")));
    QCOMPARE(b.report.progress.last(), QStringLiteral("Zmieniam ustawienia interfesu PC."));
    QCOMPARE(b.comm.currentConfig(), b.port + QStringLiteral(",57600,8,N,1,R"));
    QCOMPARE(b.control.value(QStringLiteral("get com1"), QStringLiteral("com1.sp")), QStringLiteral("57600"));
    QCOMPARE(b.control.value(QStringLiteral("get tun1"), QStringLiteral("tun1.en")), QStringLiteral("1"));
    QCOMPARE(b.control.value(QStringLiteral("get tun0"), QStringLiteral("tun0.en")), QStringLiteral("0"));
    QCOMPARE(b.control.value(QStringLiteral("status"), QStringLiteral("pc-pending")), QStringLiteral("1"));
    QCOMPARE(b.terminalOpen(), 0);
    // The query the drop ended was a miss: the restart wait went on.
    QVERIFY(b.log.count(QStringLiteral("Machine for setup called state=2")) >= 2);

    // Cancelled while waiting for the restart: one report, the device closed.
    b.report = Report();
    QVERIFY(b.comm.startDetect(b.port, QStringLiteral("57600,8,N,1,R"), false));
    QVERIFY(b.finished(0));
    s.newPortSettings.clear();
    b.report = Report();
    QVERIFY(b.comm.startConfig(s));
    QVERIFY(b.progressSeen(QStringLiteral("Trwa oczekiwanie na restart urządzenia....")));
    b.comm.cancelCurrent();
    QVERIFY(b.finished(0));
    QCOMPARE(b.report.errors.value(0), qMakePair(4L, QStringLiteral("Anulowano przez użytkownika.")));
    QCOMPARE(b.terminalOpen(), 0);
    b.comm.stopWorker();
}

// USB: the port goes away during the restart and is reopened; a PC-interface switch the device
// refuses ends the configuration as a failure, not as "Ok". A value that would split a request
// apart is never sent.
void TstDeviceComm::configurationUsb()
{
    Bench b;
    QVERIFY2(b.start(QStringLiteral("[device]\nport=ttyTVDC3\nlink=USB\nrestart_ms=1500\n[tcpip]\nid=2\n")),
             qPrintable(b.sim.errors()));
    QVERIFY(b.control.command(QStringLiteral("set tcpip.no 1,5")).endsWith(QStringLiteral("OK")));
    // No port: the inventory's ports (upper-cased names), the maker's first; a USB device answers the first
    // combination.
    QVERIFY(b.comm.startDetect(QString(), QString(), false));
    QVERIFY(b.finished(0));
    QCOMPARE(b.report.progress.first(),
             QStringLiteral("Sprawdzam: ") + b.port.toUpper() + QStringLiteral(",9600,8,N,1,R"));
    QCOMPARE(b.comm.currentConfig(), b.port.toUpper() + QStringLiteral(",9600,8,N,1,R"));
    QCOMPARE(TavrelDeviceComm::linkType(b.comm.deviceData()), 0);
    b.requests();
    TavrelWriteSettings s;
    s.com1Settings = QStringLiteral("38400,8,N,1,R");
    s.deviceIp = QStringLiteral("10.0.0.2");
    s.gateway = QStringLiteral("10.0.0.1");
    s.netmask = QStringLiteral("255.0.0.0");
    b.report = Report();
    QVERIFY(b.comm.startConfig(s));
    QVERIFY(b.finished(0));
    QCOMPARE(
        b.report.errors.value(0),
        qMakePair(2L, QStringLiteral(
                          "Błąd odczytu konfiguracji urządzenia: niedozwolony znak w wartości tcpip/no.")));
    QCOMPARE(b.requests(), QStringList());
    QCOMPARE(b.terminalOpen(), 0);

    QVERIFY(b.control.command(QStringLiteral("set tcpip.no 0")).endsWith(QStringLiteral("OK")));
    QVERIFY(
        b.control.command(QStringLiteral("fault refuse pccfgset 0x30006")).endsWith(QStringLiteral("OK")));
    int openedBefore = b.log.count(QStringLiteral("Openning device with config: "));
    for (int run = 0; run < 2; ++run) {
        b.report = Report();
        QVERIFY(b.comm.startDetect(b.port, QStringLiteral("9600,8,N,1,N"), false));
        QVERIFY(b.finished(0));
        b.requests();
        b.report = Report();
        QVERIFY(b.comm.startConfig(s));
        QVERIFY(b.finished(0));
        QStringList asked = b.requests();
        asked.removeAll(QStringLiteral("!sdev"));
        QCOMPARE(asked, (QStringList{
                            QStringLiteral("comcfgset no=1 sp=38400 st=1 da=8 pa=0 fl=1"),
                            QStringLiteral("tunnelset sp=0 en=1 da=1100 di=1101"),
                            QStringLiteral("tcpipcfgset id=2 no=0 dh=0 ip=10.0.0.2 ge=10.0.0.1 ma=255.0.0.0"),
                            QStringLiteral("pccfgset id=4 no=6666")}));
        // Closed for the restart (the port goes away) and opened again on its return.
        const int opened = b.log.count(QStringLiteral("Openning device with config: "));
        QVERIFY(opened - openedBefore >= 2);
        openedBefore = opened;
        QCOMPARE(b.terminalOpen(), 0);
        if (run == 0) {
            QCOMPARE(b.report.errors.value(0),
                     qMakePair(2L, QStringLiteral("Błąd komunikacji z urządzeniem: 196614")));
            QVERIFY(b.control.command(QStringLiteral("fault clear")).endsWith(QStringLiteral("OK")));
        } else {
            QCOMPARE(b.report.ready, QStringList{QStringLiteral("Ok")});
        }
    }
    QVERIFY(b.log.contains(QStringLiteral("Openning device with config: ") + b.port +
                           QStringLiteral(",9600,8,N,1,N")));
    b.comm.stopWorker();
}

QTEST_GUILESS_MAIN(TstDeviceComm)
#include "tst_devicecomm.moc"
