// The PPP engine on its own thread: what its status reports turn into, how
// a start fails (no right to divert packets, a port that does not open), and
// the reopen cycle of a serial line that disappears.
#include "config/tunnelsettings.h"
#include "runtime/lwipport.h"
#include "runtime/pppengine.h"
#include "runtime/workthreadip.h"
#include "tests/support/testenv.h"
#include "tests/support/tunnelfixture.h"

#include "../net/netns.h"

#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <unistd.h>

namespace
{

const char kChildArg[] = "--ppp-start-child";
const QString kDivertRefused =
    QStringLiteral("Nie można utworzyć uchwytu przechwytywania sieci (1). Nie ma możliwości obsługi PPP.");

TunnelSettings pppConfig(const QString &line)
{
    TunnelSettings s;
    s.uuid = QUuid::createUuid();
    s.mode = TunnelSettings::PPP;
    s.tunnel_com = line;
    s.tunnel_settings = QStringLiteral("115200,8,N,1,N");
    s.tunnel_localip = QStringLiteral("10.10.10.20");
    s.tunnel_remoteip = QStringLiteral("10.10.10.10");
    return s;
}

// Runs one PPP configuration against a fresh engine and reports how it ended.
QStringList runOnce(const TunnelSettings &cfg, PPPEngine *engine)
{
    SupervisorStub sup;
    sup.start(cfg);
    if (!sup.waitState(TunnelSettings::StoppedError, 20000))
        return {QStringLiteral("no StoppedError")};
    sup.waitGone();
    QElapsedTimer t;
    t.start();
    while (engine->isSessionActive() && t.elapsed() < 5000)
        QTest::qWait(10);
    return sup.errors;
}

// The child started without CAP_NET_ADMIN: prints the worker's error text.
int childMain(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    registerTunnelSettingsMetaTypes();
    PPPEngine engine;
    engine.signalStart();
    PPPEngine::setProcessEngine(&engine);
    const QStringList errors = runOnce(pppConfig(QStringLiteral("COM21")), &engine);
    std::printf("%s\n", errors.join('\n').toUtf8().constData());
    std::printf("active=%d\n", int(engine.isSessionActive()));
    return 0;
}

} // namespace

class TestPppEngine : public QObject
{
    Q_OBJECT

    PPPEngine *engine = nullptr;

    // A new engine whose thread starts in the calling thread's namespace.
    void freshEngine()
    {
        delete engine;
        engine = new PPPEngine();
        engine->signalStart();
        PPPEngine::setProcessEngine(engine);
    }

private slots:
    void init()
    {
        registerTunnelSettingsMetaTypes();
        freshEngine();
    }
    void cleanup()
    {
        delete engine;
        engine = nullptr;
        QVERIFY(!PPPEngine::processEngine());
    }

    // Reports as the stack gives them, in the engine's thread: the
    // termination offset, the texts, and the order of the two end signals.
    void statusReports_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("lost");
        QTest::newRow("stop by the user")
            << -69 << "Błąd połączenia PPP: Przerwane przez użytkownika lub inna przyczyna";
        QTest::newRow("ended without a code")
            << -72 << "Błąd połączenia PPP: Błąd protokołu PPP / Nie można się połączyć";
        QTest::newRow("authentication") << -71 << "Błąd połączenia PPP: Niepowodzenie autoryzacji";
        QTest::newRow("unknown") << -75 << "Błąd połączenia PPP: Nieznany kod błędu - -11";
        QTest::newRow("link down only") << -6 << QString();
    }
    void statusReports()
    {
        QFETCH(int, code);
        QFETCH(QString, lost);
        QMutex lock;
        QStringList seen;
        connect(
            engine, &PPPEngine::pppFinished, engine,
            [&] {
                QMutexLocker g(&lock);
                seen << QStringLiteral("finished");
            },
            Qt::DirectConnection);
        connect(
            engine, &PPPEngine::pppConnectionLost, engine,
            [&](QString text) {
                QMutexLocker g(&lock);
                seen << text;
            },
            Qt::DirectConnection);
        connect(
            engine, &PPPEngine::pppConnectionSuccess, engine,
            [&] {
                QMutexLocker g(&lock);
                seen << QStringLiteral("up");
            },
            Qt::DirectConnection);
        QMetaObject::invokeMethod(
            engine, [this, code] { PPPEngine::pppLinkStatusCB(engine, code, nullptr); },
            Qt::BlockingQueuedConnection);
        QMutexLocker g(&lock);
        if (lost.isEmpty())
            QVERIFY(seen.isEmpty());
        else
            QCOMPARE(seen, QStringList({QStringLiteral("finished"), lost}));
        QVERIFY(!engine->isSessionActive());
    }

    // A report whose context is not the running engine (a session that
    // outlived an earlier engine) reaches nothing.
    void foreignContextIgnored()
    {
        QSignalSpy finished(engine, &PPPEngine::pppFinished);
        int other = 0;
        QMetaObject::invokeMethod(
            engine, [&other] { PPPEngine::pppLinkStatusCB(&other, -69, nullptr); },
            Qt::BlockingQueuedConnection);
        QCoreApplication::processEvents();
        QCOMPARE(finished.count(), 0);
    }

    // Without the right to divert packets the start fails with the
    // diversion's error number, and no session is left behind. As root the
    // right is dropped with capsh for a child run of this program (inside a
    // namespace of its own, so nothing is made on the host if it were not).
    void divertRefusedWithoutNetAdmin()
    {
        if (::geteuid() != 0) {
            QCOMPARE(runOnce(pppConfig(QStringLiteral("COM21")), engine), QStringList{kDivertRefused});
            QVERIFY(!engine->isSessionActive());
            return;
        }
        if (QStandardPaths::findExecutable("capsh").isEmpty())
            QSKIP("capsh is not installed");
        NetNamespace ns;
        QVERIFY2(ns.ok(), qPrintable(ns.skipReason()));
        QProcess child;
        child.start("ip",
                    {"netns", "exec", ns.name(), "capsh", "--drop=cap_net_admin", "--", "-c",
                     QStringLiteral("exec '%1' %2").arg(QCoreApplication::applicationFilePath(), kChildArg)});
        QVERIFY(child.waitForFinished(30000));
        const QString out = QString::fromUtf8(child.readAllStandardOutput());
        QVERIFY2(out.contains(kDivertRefused + "\nactive=0"), qPrintable(out + child.readAllStandardError()));
    }

    // A line that does not open: the start is undone (diversion closed,
    // pppFinished) and the worker ends with the port's text.
    void portThatDoesNotOpen()
    {
        if (::geteuid() != 0)
            QSKIP("needs root: a TUN interface and a route in a namespace of its own");
        NetNamespace ns;
        QVERIFY2(ns.ok(), qPrintable(ns.skipReason()));
        QVERIFY(ns.enter());
        freshEngine();
        QSignalSpy finished(engine, &PPPEngine::pppFinished);
        const QStringList errors = runOnce(pppConfig(QStringLiteral("/nonexistent/ttyPPP")), engine);
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors.first().startsWith(QStringLiteral(
                     "Nie można otworzyć portu szeregowego /nonexistent/ttyPPP dla komunikacji PPP (")),
                 qPrintable(errors.first()));
        QVERIFY(errors.first().endsWith(QStringLiteral("). Nie ma możliwości obsługi PPP.")));
        QCOMPARE(finished.count(), 1);
        QVERIFY(!engine->isSessionActive());
        ns.leave();
        freshEngine();
    }

    // 150 bytes from the stack at once go to the port as 64, 64 and 22, each
    // chunk after the previous one was confirmed, and arrive whole.
    void outputPacedIn64ByteChunks()
    {
        if (::geteuid() != 0)
            QSKIP("needs root: a TUN interface and a route in a namespace of its own");
        if (QStandardPaths::findExecutable("socat").isEmpty())
            QSKIP("socat is not installed");
        NetNamespace ns;
        QVERIFY2(ns.ok(), qPrintable(ns.skipReason()));
        QVERIFY(ns.enter());
        TestEnv env;
        LogCapture log(env.root() + QStringLiteral("/logs"), 6);
        freshEngine();
        const QString line = env.root() + "/line", far = env.root() + "/device";
        QProcess socat;
        socat.start("socat", {"pty,raw,echo=0,link=" + line, "pty,raw,echo=0,link=" + far});
        QVERIFY(socat.waitForStarted());
        QTRY_VERIFY(QFile::exists(line) && QFile::exists(far));
        QSerialPort device;
        device.setPortName(far);
        QVERIFY(device.open(QIODevice::ReadWrite));
        QByteArray seen;
        connect(&device, &QSerialPort::readyRead, this, [&] { seen += device.readAll(); });

        engine->setCommPort(line, QStringLiteral("115200,8,N,1,N"));
        engine->setAddresses(QStringLiteral("10.10.10.20"), QStringLiteral("10.10.10.10"));
        QMetaObject::invokeMethod(engine, "startPPP", Qt::QueuedConnection);
        // The stack's first Configure-Request went out; the line is quiet.
        QTRY_VERIFY(seen.contains(char(0x7e)));
        QTest::qWait(300);
        QByteArray block(150, Qt::Uninitialized);
        for (int i = 0; i < block.size(); ++i)
            block[i] = char('A' + i % 26);
        const QString before = log.text();
        int taken = 0;
        QMetaObject::invokeMethod(
            engine,
            [&] {
                taken =
                    engine->doWrite(block.constData(), 100) + engine->doWrite(block.constData() + 100, 50);
            },
            Qt::BlockingQueuedConnection);
        QCOMPARE(taken, 150);
        QTRY_VERIFY(seen.contains(block));
        QTest::qWait(100);
        const QString added = log.text().mid(before.size());
        QRegularExpression chunk(QStringLiteral("(?:Was empty, wrote|Wrote) chunk size=(\\d+)"));
        QStringList sizes;
        for (auto it = chunk.globalMatch(added); it.hasNext();)
            sizes << it.next().captured(1);
        QCOMPARE(sizes.mid(0, 3), QStringList({"64", "64", "22"}));
        QVERIFY(added.indexOf("Was empty, wrote chunk size=64") < added.indexOf("Wrote to PPP COM size=64"));

        delete engine;
        engine = nullptr;
        device.close();
        socat.kill();
        socat.waitForFinished(3000);
        ns.leave();
        init();
    }

    // The serial line disappears during a session: six attempts 500 ms
    // apart, then the engine gives up with its text and tears down.
    void lineGoneReopenGivesUp()
    {
        if (::geteuid() != 0)
            QSKIP("needs root: a TUN interface and a route in a namespace of its own");
        if (QStandardPaths::findExecutable("socat").isEmpty())
            QSKIP("socat is not installed");
        NetNamespace ns;
        QVERIFY2(ns.ok(), qPrintable(ns.skipReason()));
        QVERIFY(ns.enter());
        freshEngine();
        QTemporaryDir dir;
        const QString line = dir.filePath("line");
        QProcess socat;
        socat.start("socat",
                    {"pty,raw,echo=0,link=" + line, "pty,raw,echo=0,link=" + dir.filePath("device")});
        QVERIFY(socat.waitForStarted());
        QTRY_VERIFY(QFile::exists(line));

        QSignalSpy errors(engine, &PPPEngine::error);
        QSignalSpy finished(engine, &PPPEngine::pppFinished);
        engine->setCommPort(line, QStringLiteral("115200,8,N,1,N"));
        engine->setAddresses(QStringLiteral("10.10.10.20"), QStringLiteral("10.10.10.10"));
        QMetaObject::invokeMethod(engine, "startPPP", Qt::QueuedConnection);
        QTRY_VERIFY(engine->isSessionActive());
        QTest::qWait(300);
        QElapsedTimer t;
        t.start();
        socat.kill();
        socat.waitForFinished(3000);
        // The freed pseudo-terminal number may be handed to another program at
        // once; without the link the engine can never reopen someone else's line.
        QFile::remove(line);
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, 10000);
        const qint64 ms = t.elapsed();
        QCOMPARE(errors.first().first().toString(),
                 QStringLiteral("Nie można otworzyć portu połaczenia PPP."));
        QCOMPARE(finished.count(), 1);
        // Six attempts, 500 ms apart (coarse timers may fire 5 % early).
        QVERIFY2(ms >= 2500 && ms < 9000, qPrintable(QString::number(ms)));
        // The session itself is left to whoever ran it (a worker stops it);
        // here the engine goes with it still open, as at shutdown, and its
        // end does not wait for the line.
        QVERIFY(engine->isSessionActive());
        t.restart();
        delete engine;
        engine = nullptr;
        QVERIFY(t.elapsed() < 8000);
        ns.leave();
        freshEngine();
    }
};

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], kChildArg) == 0)
        return childMain(argc, argv);
    QCoreApplication app(argc, argv);
    TestPppEngine test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_pppengine.moc"
