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
#include <functional>
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

// Records a report of the engine as its own thread emits it: QSignalSpy of
// Qt 5 appends there, unguarded, while the test reads in its own thread.
class EngineSpy
{
public:
    EngineSpy(PPPEngine *engine, void (PPPEngine::*signal)(QString))
        : m_connection(QObject::connect(engine, signal, [this](const QString &text) { add(text); }))
    {
    }
    EngineSpy(PPPEngine *engine, void (PPPEngine::*signal)())
        : m_connection(QObject::connect(engine, signal, [this] { add(QString()); }))
    {
    }
    ~EngineSpy() { QObject::disconnect(m_connection); }
    int count() const
    {
        QMutexLocker lock(&m_lock);
        return m_texts.size();
    }
    QString first() const
    {
        QMutexLocker lock(&m_lock);
        return m_texts.value(0);
    }

private:
    void add(const QString &text)
    {
        QMutexLocker lock(&m_lock);
        m_texts << text;
    }
    mutable QMutex m_lock;
    QStringList m_texts;
    QMetaObject::Connection m_connection;
};

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

// The first bytes of every LCP Configure-Request lwIP sends (address,
// control, protocol, code 1; control characters escaped as LCP demands).
const QByteArray kLcpConfigureRequest("\xff\x7d\x23\xc0\x21\x7d\x21", 7);
// LCP Terminate-Request: protocol, code 5.
const QByteArray kLcpTerminateRequest("\xc0\x21\x7d\x25", 4);

// A serial line as a pseudo-terminal pair: the engine's end at `line`, the
// device's at `device`. Gone, it can never be reopened on a terminal another
// program got since: socat ends by its pid and both links go.
class PtyLine
{
public:
    PtyLine(const QString &folder, const QString &name)
        : line(folder + "/" + name), device(folder + "/" + name + "-device")
    {
        m_socat.start("socat", {"pty,raw,echo=0,link=" + line, "pty,raw,echo=0,link=" + device});
    }
    ~PtyLine() { kill(); }
    bool ready()
    {
        return m_socat.waitForStarted() &&
               waitFor([this] { return QFile::exists(line) && QFile::exists(device); }, 10000);
    }
    void kill()
    {
        if (m_socat.state() != QProcess::NotRunning) {
            m_socat.kill();
            m_socat.waitForFinished(3000);
        }
        QFile::remove(line);
        QFile::remove(device);
    }
    const QString line;
    const QString device;

private:
    QProcess m_socat;
};

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

    void startOn(const QString &line)
    {
        engine->setCommPort(line, QStringLiteral("115200,8,N,1,N"));
        engine->setAddresses(QStringLiteral("10.10.10.20"), QStringLiteral("10.10.10.10"));
        QMetaObject::invokeMethod(engine, "startPPP", Qt::QueuedConnection);
    }

    // Sessions the PPP stack holds, counted in the engine's thread.
    int sessionsInStack()
    {
        int n = -1;
        QMetaObject::invokeMethod(
            engine, [&n] { n = pppSessionsInUse(); }, Qt::BlockingQueuedConnection);
        return n;
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

    // Reports for the running session, in the engine's thread: the
    // termination offset, the texts and the order of the two end signals,
    // a link-down report that only logs. A report carrying an ended
    // session's identity, or none of this engine's, changes nothing.
    void statusReports()
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
        PtyLine line(dir.path(), "a");
        QVERIFY(line.ready());
        QStringList seen; // written in the engine's thread while the test waits on it
        const auto note = [&seen](const QString &what) { seen << what; };
        connect(
            engine, &PPPEngine::pppFinished, engine, [=] { note("finished"); }, Qt::DirectConnection);
        connect(engine, &PPPEngine::pppConnectionLost, engine, note, Qt::DirectConnection);
        connect(
            engine, &PPPEngine::pppConnectionSuccess, engine, [=] { note("up"); }, Qt::DirectConnection);
        const auto inEngine = [this](const std::function<void()> &f) {
            QMetaObject::invokeMethod(engine, f, Qt::BlockingQueuedConnection);
        };
        const auto report = [&](void *ctx, int code) {
            inEngine([ctx, code] { PPPEngine::pppLinkStatusCB(ctx, code, nullptr); });
        };
        int foreign = 0;
        void *previous = nullptr;
        const QList<QPair<int, QString>> ends = {
            {-69, "Błąd połączenia PPP: Przerwane przez użytkownika lub inna przyczyna"},
            {-72, "Błąd połączenia PPP: Błąd protokołu PPP / Nie można się połączyć"},
            {-71, "Błąd połączenia PPP: Niepowodzenie autoryzacji"},
            {-75, "Błąd połączenia PPP: Nieznany kod błędu - -11"}};
        for (const auto &end : ends) {
            startOn(line.line);
            QTRY_VERIFY(engine->isSessionActive());
            void *ctx = nullptr;
            inEngine([&] { ctx = engine->currentSessionContext(); });
            QVERIFY(ctx && ctx != previous);
            for (void *other : {previous, static_cast<void *>(&foreign), static_cast<void *>(engine)})
                report(other, -69);
            report(ctx, -6);
            QCOMPARE(seen, QStringList());
            QVERIFY(engine->isSessionActive());
            report(ctx, end.first);
            QCOMPARE(seen, QStringList({QStringLiteral("finished"), end.second}));
            QVERIFY(!engine->isSessionActive());
            seen.clear();
            // The stack's session whose end was made up here is ended for real.
            inEngine([] {
                for (int unit = 0; unit < 32; ++unit)
                    pppCloseNow(unit, false);
            });
            previous = ctx;
        }
        delete engine;
        engine = nullptr;
        ns.leave();
        freshEngine();
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
        EngineSpy finished(engine, &PPPEngine::pppFinished);
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
        LogCapture log(6);
        freshEngine();
        PtyLine line(env.root(), "line");
        QVERIFY(line.ready());
        QSerialPort device;
        device.setPortName(line.device);
        QVERIFY(device.open(QIODevice::ReadWrite));
        QByteArray seen;
        connect(&device, &QSerialPort::readyRead, this, [&] { seen += device.readAll(); });
        startOn(line.line);
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
        // The block is on the line; wait for the log of its last chunk.
        QRegularExpression chunk(QStringLiteral("(?:Was empty, wrote|Wrote) chunk size=(\\d+)"));
        QString added;
        QStringList sizes;
        QVERIFY(waitFor(
            [&] {
                added = log.text().mid(before.size());
                sizes.clear();
                for (auto it = chunk.globalMatch(added); it.hasNext();)
                    sizes << it.next().captured(1);
                return sizes.size() >= 3;
            },
            10000));
        QCOMPARE(sizes.mid(0, 3), QStringList({"64", "64", "22"}));
        QVERIFY(added.indexOf("Was empty, wrote chunk size=64") < added.indexOf("Wrote to PPP COM size=64"));

        delete engine;
        engine = nullptr;
        device.close();
        ns.leave();
        init();
    }

    // The serial line disappears during a session: six attempts 500 ms
    // apart, then the engine gives up with its text and ends the session
    // with the line. The worker's stop finds nothing, and a session started
    // at once on another line is heard there at once, the stack holding it
    // alone. Stopped while its silent peer owes the answer and started again
    // at once: its stop goes out, then the new request, and nothing is
    // reported for the ended sessions. Then that line goes too and the stop
    // comes while the engine waits to reopen it: the session ends at once as
    // stopped by the user, and nothing reopens the line afterwards.
    void lineGoneThenNewSessions()
    {
        if (::geteuid() != 0)
            QSKIP("needs root: a TUN interface and a route in a namespace of its own");
        if (QStandardPaths::findExecutable("socat").isEmpty())
            QSKIP("socat is not installed");
        NetNamespace ns;
        QVERIFY2(ns.ok(), qPrintable(ns.skipReason()));
        QVERIFY(ns.enter());
        TestEnv env;
        LogCapture log(10);
        freshEngine();
        PtyLine first(env.root(), "a"), second(env.root(), "b");
        QVERIFY(first.ready() && second.ready());
        QSerialPort device;
        device.setPortName(second.device);
        QVERIFY(device.open(QIODevice::ReadWrite));
        QByteArray seen;
        connect(&device, &QSerialPort::readyRead, this, [&] { seen += device.readAll(); });
        EngineSpy errors(engine, &PPPEngine::error);
        EngineSpy finished(engine, &PPPEngine::pppFinished);
        EngineSpy lost(engine, &PPPEngine::pppConnectionLost);

        startOn(first.line);
        QTRY_VERIFY(engine->isSessionActive());
        QTest::qWait(300);
        QElapsedTimer t;
        t.start();
        first.kill();
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, 10000);
        const qint64 ms = t.elapsed();
        QCOMPARE(errors.first(), QStringLiteral("Nie można otworzyć portu połaczenia PPP."));
        QCOMPARE(finished.count(), 1);
        // Six attempts, 500 ms apart (coarse timers may fire 5 % early).
        QVERIFY2(ms >= 2500 && ms < 9000, qPrintable(QString::number(ms)));
        QVERIFY(!engine->isSessionActive());
        QCOMPARE(sessionsInStack(), 0);

        QMetaObject::invokeMethod(engine, "stopPPP", Qt::QueuedConnection);
        startOn(second.line);
        QVERIFY2(waitFor([&] { return seen.contains(kLcpConfigureRequest); }, 8000),
                 "the new session's first request never reached its line");
        QCOMPARE(sessionsInStack(), 1);
        const int requests = seen.count(kLcpConfigureRequest);
        QMetaObject::invokeMethod(engine, "stopPPP", Qt::QueuedConnection);
        QMetaObject::invokeMethod(engine, "startPPP", Qt::QueuedConnection);
        QVERIFY2(waitFor([&] { return seen.count(kLcpConfigureRequest) > requests; }, 8000),
                 "the restart sent nothing");
        QVERIFY(seen.indexOf(kLcpTerminateRequest) > 0);
        QCOMPARE(sessionsInStack(), 1);
        QCOMPARE(finished.count() + lost.count(), 1);

        device.close();
        second.kill();
        QVERIFY(waitFor([&] { return log.count("PPP Port error, retry open") == 2; }, 10000));
        QMetaObject::invokeMethod(engine, "stopPPP", Qt::QueuedConnection);
        QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 1, 20000);
        QCOMPARE(lost.first(), PPPEngine::statusMessage(PppErr::User));
        QCOMPARE(finished.count(), 2);
        QVERIFY(!engine->isSessionActive());
        QTest::qWait(4000); // a new reopen cycle would give up within 3 s
        QCOMPARE(log.count("PPP Port error, retry open"), 2);
        QCOMPARE(errors.count(), 1);
        QCOMPARE(sessionsInStack(), 0);

        delete engine;
        engine = nullptr;
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
