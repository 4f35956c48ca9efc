#include "app/debugini.h"
#include "app/tunnelapplication.h"
#include "config/configurationfile.h"
#include "log/debug_class.h"
#include "tests/support/testenv.h"
#include "tests/support/tunnelfixture.h"
#include "ui/messagebox.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#define QVERIFY2_EMPTY(expr)                                                                                 \
    do {                                                                                                     \
        const QString why_ = (expr);                                                                         \
        QVERIFY2(why_.isEmpty(), qPrintable(why_));                                                          \
    } while (false)

namespace
{
const QString kFinalLine =
    QStringLiteral("[MASTER] --------------------------- RUN ENDED SUCESSFULLY ----------------");

// A velmora process of the test's own; ended by its pid when the test is done.
class Velmora
{
public:
    explicit Velmora(const QStringList &args = {}, bool asNobody = false)
    {
        if (asNobody) {
            // setpriv replaces itself with the program: the pid stays the program's.
            m_process.setProgram(QStringLiteral("setpriv"));
            m_process.setArguments(
                QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                            QStringLiteral("--clear-groups"), TestEnv::binary(QStringLiteral("velmora"))} +
                args);
        } else {
            m_process.setProgram(TestEnv::binary(QStringLiteral("velmora")));
            m_process.setArguments(args);
        }
        m_process.start();
    }
    ~Velmora()
    {
        if (m_process.state() != QProcess::NotRunning && m_process.processId() > 0) {
            ::kill(pid_t(m_process.processId()), SIGKILL);
            m_process.waitForFinished(5000);
        }
    }
    QProcess &process() { return m_process; }
    void signal(int signo)
    {
        // Never pid 0 or -1: that would signal a whole process group.
        const pid_t pid = pid_t(m_process.processId());
        QVERIFY(pid > 0);
        ::kill(pid, signo);
    }

private:
    QProcess m_process;
};

// `velmora` with control options: its exit code and what it printed (standard output on success,
// standard error otherwise).
QPair<int, QString> control(const QStringList &args)
{
    QProcess p;
    p.start(TestEnv::binary(QStringLiteral("velmora")), args);
    if (!p.waitForFinished(40000)) {
        p.kill();
        p.waitForFinished();
        return {-1, QStringLiteral("no end")};
    }
    const QByteArray out = p.exitCode() == 0 ? p.readAllStandardOutput() : p.readAllStandardError();
    return {p.exitCode(), QString::fromUtf8(out)};
}

QString newestLog(const TestEnv &env)
{
    const QDir logs(env.dataPath() + QStringLiteral("/logs"));
    const QStringList files = logs.entryList({QStringLiteral("velmora-*.log")}, QDir::Files, QDir::Time);
    return files.isEmpty() ? QString() : logs.filePath(files.first());
}

QString readAll(const QString &path)
{
    if (path.isEmpty())
        return QString();
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

void writeDebugIni(const TestEnv &env, const QByteArray &content)
{
    QDir().mkpath(env.dataPath());
    QFile f(env.dataPath() + QStringLiteral("/debug.ini"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
}

// Waits until the running program's log holds the text (the program is then past start-up).
bool waitForLog(const TestEnv &env, const QString &text, int ms = 15000)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        if (readAll(newestLog(env)).contains(text))
            return true;
        QTest::qWait(50);
    }
    return false;
}

// Empty once the text is in the newest log while the program runs; a program
// that ended instead (refused to start) gives at once its exit and standard error.
QString runningOrWhy(Velmora &app, const TestEnv &env, const QString &text)
{
    QElapsedTimer t;
    t.start();
    while (!readAll(newestLog(env)).contains(text)) {
        if (app.process().state() == QProcess::NotRunning || app.process().waitForFinished(50))
            return QStringLiteral("the program ended (exit %1): %2")
                .arg(app.process().exitCode())
                .arg(QString::fromUtf8(app.process().readAllStandardError().right(2000)));
        if (t.elapsed() > 15000)
            return QStringLiteral("no \"%1\" in the log").arg(text);
    }
    return QString();
}

// Empty when the program was refused as a second instance.
QString refusedOrWhy(Velmora &app)
{
    if (!app.process().waitForFinished(15000))
        return QStringLiteral("a second instance kept running");
    const QByteArray err = app.process().readAllStandardError();
    if (app.process().exitStatus() != QProcess::NormalExit || app.process().exitCode() != 255 ||
        !err.contains("[MASTER] Another instance running. Bailout."))
        return QStringLiteral("exit %1: %2")
            .arg(app.process().exitCode())
            .arg(QString::fromUtf8(err.right(2000)));
    return QString();
}
} // namespace

class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    // The program as a user runs it headless: an autostart configuration
    // carries a point-of-sale program's bytes to a device, survives the
    // device going away (restarts after its delay) and stops before the end
    // on SIGTERM.
    void autostartTunnelRestartsAndStopsOnSigterm()
    {
        TestEnv env;
        writeDebugIni(env, "debuglevel=10\n");
        PortDriver pairs(env.systemDir(), env.portsDir());
        DeviceServer device(DeviceServer::Echo);
        const quint16 devicePort = device.port();
        TunnelSettings cfg = pcInterfaceOnCom5(device.target());
        cfg.autostart = 1;
        cfg.autorestart = 1;
        cfg.restart_delay = 1;
        AppSettings appSettings;
        appSettings.start_wizard = false;
        ConfigurationFile file(env.dataPath() + QStringLiteral("/configuration.ini"));
        QVERIFY(file.save({cfg}));
        QVERIFY(file.saveApp(appSettings));

        // Nothing runs yet: a control request says so and starts nothing.
        QCOMPARE(control({QStringLiteral("--list")}).first, 3);

        Velmora velmora;
        QVERIFY(velmora.process().waitForStarted());
        PosPort pos;
        // waitFor asks once more at the end: an open port must count as opened.
        auto opened = [&] { return pos.port.isOpen() || pos.open(pairs.path(QStringLiteral("COM5"))); };
        QVERIFY2(waitFor(opened, 20000), qPrintable(readAll(newestLog(env)).right(3000)));
        QVERIFY(waitFor([&] {
            return readAll(newestLog(env)).contains(QStringLiteral("zmieniła stan na: Uruchomiona"));
        }));
        pos.write("ping 1");
        QVERIFY(waitFor([&] { return pos.received == "ping 1"; }));

        // The device goes away: an error, then restarts a second apart that it refuses.
        device.close();
        device.abortCurrent();
        const QString restart = QStringLiteral("Restart konfiguracji uuid=");
        QVERIFY(waitFor(
            [&] { return readAll(newestLog(env)).count(QStringLiteral(" - start konfiguracji")) >= 2; }));
        const QString afterDrop = readAll(newestLog(env));
        QVERIFY(afterDrop.contains(QStringLiteral("zmieniła stan na: Zatrzymana-Błąd")));
        QVERIFY(afterDrop.contains(restart));
        // Back: the next restart reaches it and the bytes flow again through the same port.
        QVERIFY(device.listen(QHostAddress::LocalHost, devicePort));
        QVERIFY(waitFor([&] {
            return readAll(newestLog(env)).count(QStringLiteral("zmieniła stan na: Uruchomiona")) >= 2;
        }));
        pos.close();
        QVERIFY(waitFor(opened, 10000));
        pos.write("ping 2");
        QVERIFY(waitFor([&] { return pos.received.endsWith("ping 2"); }));

        // Control over the socket, as a technician over SSH would: list, stop, a refused
        // stop, an unknown configuration, and a start that reports the state reached.
        QPair<int, QString> r = control({QStringLiteral("--list")});
        QCOMPARE(r.first, 0);
        QVERIFY2(r.second.startsWith(QStringLiteral("1\tUruchomiona\t{")), qPrintable(r.second));
        r = control({QStringLiteral("--stop"), QStringLiteral("1")});
        QCOMPARE(r.first, 0);
        QCOMPARE(r.second, QStringLiteral("1\tZatrzymana\n"));
        r = control({QStringLiteral("--stop"), QStringLiteral("1")});
        QCOMPARE(r.first, 1);
        QCOMPARE(r.second.trimmed(),
                 QStringLiteral("Nie można zatrzymać konfiguracji, gdyż aktualnie nie jest uruchomiona"));
        QCOMPARE(control({QStringLiteral("--start"), QStringLiteral("2")}).first, 2);
        r = control({QStringLiteral("--start"), QStringLiteral("1")});
        QCOMPARE(r.first, 0);
        QCOMPARE(r.second, QStringLiteral("1\tUruchomiona\n"));

        velmora.signal(SIGTERM);
        QVERIFY(velmora.process().waitForFinished(20000));
        QCOMPARE(velmora.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(velmora.process().exitCode(), 0);
        const QString log = readAll(newestLog(env));
        const int stopped = log.lastIndexOf(QStringLiteral("zmieniła stan na: Zatrzymana "));
        QVERIFY2(stopped > 0, qPrintable(log.right(3000)));
        QVERIFY(stopped < log.lastIndexOf(kFinalLine));
        QVERIFY(!log.contains(QStringLiteral("did not stop within")));
        QVERIFY(log.trimmed().endsWith(kFinalLine));
    }

    void secondInstanceBailsOutAndFirstEndsCleanlyOnSigterm()
    {
        TestEnv env;
        writeDebugIni(env, "debuglevel=4\n");
        Velmora first;
        QVERIFY(first.process().waitForStarted());
        QVERIFY(waitForLog(env, QStringLiteral("Available serial ports:")));

        Velmora second;
        QVERIFY(second.process().waitForFinished(15000));
        QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.process().exitCode(), 255); // -1
        const QString secondErr = QString::fromUtf8(second.process().readAllStandardError());
        QVERIFY2(secondErr.contains(QStringLiteral("[CRITICAL]")) &&
                     secondErr.contains(QStringLiteral("[MASTER] Another instance running. Bailout.")),
                 qPrintable(secondErr));
        QCOMPARE(first.process().state(), QProcess::Running);

        first.signal(SIGTERM);
        QVERIFY(first.process().waitForFinished(15000));
        QCOMPARE(first.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.process().exitCode(), 0);
        const QStringList lines = readAll(newestLog(env)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY(lines.last().endsWith(QStringLiteral(":: ") + kFinalLine));
        QCOMPARE(QDir(env.dataPath() + QStringLiteral("/logs")).entryList(QDir::Files).size(), 1);

        // The lock went with the process: the next start runs.
        Velmora third;
        QTRY_COMPARE_WITH_TIMEOUT(
            QDir(env.dataPath() + QStringLiteral("/logs")).entryList(QDir::Files).size(), 2, 15000);
        QVERIFY(waitForLog(env, QStringLiteral("Available serial ports:")));
        third.signal(SIGINT);
        QVERIFY(third.process().waitForFinished(15000));
        QCOMPARE(third.process().exitCode(), 0);
    }

    void lockIsSystemWideAndGoesWithItsHolder()
    {
        TestEnv env;
        // The set-up's system folder does not exist yet when the first instance starts.
        QVERIFY(QDir(env.systemDir()).removeRecursively());
        writeDebugIni(env, "debuglevel=4\n");
        Velmora first;
        QVERIFY2_EMPTY(runningOrWhy(first, env, QStringLiteral("Available serial ports:")));
        Velmora second;
        QVERIFY2_EMPTY(refusedOrWhy(second));
        // A crashed holder leaves nothing behind that blocks the next start.
        first.signal(SIGKILL);
        QVERIFY(first.process().waitForFinished(15000));
        if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
            QSKIP("needs root: the rest runs the program as nobody through setpriv");
        // Another user's leftover lock file in a sticky folder (as /tmp is) does not matter either.
        QVERIFY(::chmod(QFile::encodeName(env.root()).constData(), 0755) == 0);
        for (const char *sub : {"data", "data/Tavrel", "data/Tavrel/Velmora", "data/Tavrel/Velmora/logs",
                                "state", "config", "system/ports"})
            ::chmod(QFile::encodeName(env.root() + QLatin1Char('/') + QLatin1String(sub)).constData(), 0777);
        QVERIFY(::chmod(QFile::encodeName(env.systemDir()).constData(), 01777) == 0);
        const QString leftover =
            env.systemDir() + QStringLiteral("/velmora-{842701F9-152B-4C4D-B8F5-F57795613590}.lock");
        QVERIFY(QFile(leftover).open(QIODevice::WriteOnly));
        QVERIFY(QFile::setPermissions(leftover, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        const QString firstLog = newestLog(env);
        Velmora third(QStringList(), true);
        QTRY_VERIFY_WITH_TIMEOUT(newestLog(env) != firstLog, 15000);
        QVERIFY2_EMPTY(runningOrWhy(third, env, QStringLiteral("Available serial ports:")));
        // One instance per machine, whoever runs it.
        Velmora fourth;
        QVERIFY2_EMPTY(refusedOrWhy(fourth));
        third.signal(SIGTERM);
        QVERIFY(third.process().waitForFinished(15000));
        QCOMPARE(third.process().exitCode(), 0);
    }

    void headerAndDefaults()
    {
        TestEnv env;
        Velmora app;
        QVERIFY(waitForLog(env, QStringLiteral("[MASTER] Engine application version:1.0.0.1881")));
        app.signal(SIGHUP);
        QVERIFY(app.process().waitForFinished(15000));
        const QByteArray stderrText = app.process().readAllStandardError();
        QVERIFY2(app.process().exitCode() == 0, stderrText.right(1000).constData());
        const QString log = readAll(newestLog(env));
        // Level 0 by default: information lines are not in the file, warnings are.
        QVERIFY(!log.contains(QStringLiteral("Available serial ports:")));
        QVERIFY(log.contains(QStringLiteral("-------------------------------NEW RUN-------")));
        QVERIFY(log.contains(kFinalLine));
        // Console copy on by default.
        QVERIFY(QString::fromUtf8(stderrText).contains(kFinalLine));
    }

    void debugIniKeys()
    {
        TestEnv env;
        QUdpSocket listener;
        QVERIFY(listener.bind(QHostAddress(QHostAddress::LocalHost), 0));
        writeDebugIni(env, "debuglevel=16\ndebugconsole=0\ndebugpcap=1\ndebugsystems=all,-mainwindow\n"
                           "debugport=" +
                               QByteArray::number(listener.localPort()) + "\ndebugip=127.0.0.1\n");
        Velmora app(QStringList{QStringLiteral("--minimized")});
        QVERIFY(waitForLog(env, QStringLiteral("Available serial ports:")));
        const qint64 pid = app.process().processId();
        app.signal(SIGTERM);
        QVERIFY(app.process().waitForFinished(15000));
        const QString logName = newestLog(env);
        const QString log = readAll(logName);
        const QString base =
            QFileInfo(logName).absolutePath() + QLatin1Char('/') + QFileInfo(logName).completeBaseName();
        QVERIFY2(log.contains(QStringLiteral("[MASTER] PCAP dump file name:") + base +
                              QStringLiteral(".pcap PCAP dump ENABLED")),
                 qPrintable(log));
        QVERIFY(log.contains(QStringLiteral("[MASTER] Data path set to: ") + env.dataPath()));
        // The PPP engine of the process opened its capture file beside the log.
        QVERIFY(QFile::exists(base + QStringLiteral(".pcap")));
        QVERIFY(log.contains(QStringLiteral("Seting debugging to : 'all,-mainwindow'")));
        QVERIFY(log.contains(QStringLiteral("Plugins Path: ")));
        // Console off: only negative levels reach standard error.
        const QString err = QString::fromUtf8(app.process().readAllStandardError());
        QVERIFY(err.contains(QStringLiteral("[MASTER] Engine application version:1.0.0.1881")));
        QVERIFY(!err.contains(kFinalLine));
        QVERIFY(!err.contains(QStringLiteral("Plugins Path")));
        int datagrams = 0;
        bool sawFinal = false;
        while (listener.hasPendingDatagrams()) {
            QByteArray d(int(listener.pendingDatagramSize()), 0);
            listener.readDatagram(d.data(), d.size());
            QVERIFY(d.startsWith("[srv-PID=" + QByteArray::number(pid) + "]["));
            sawFinal = sawFinal || d.contains(kFinalLine.toUtf8());
            ++datagrams;
        }
        QVERIFY(datagrams > 5);
        QVERIFY(sawFinal);
    }

    void noFileMode()
    {
        TestEnv env;
        writeDebugIni(env, "debugnofile=1\n");
        Velmora app;
        QVERIFY(app.process().waitForStarted());
        QByteArray err;
        QTRY_VERIFY_WITH_TIMEOUT(
            (err += app.process().readAllStandardError()).contains("Engine application version"), 15000);
        app.signal(SIGTERM);
        QVERIFY(app.process().waitForFinished(15000));
        const QByteArray stderrText = app.process().readAllStandardError();
        QVERIFY2(app.process().exitCode() == 0, stderrText.right(1000).constData());
        QVERIFY(newestLog(env).isEmpty());
    }

    void rejectedConfigurationsAreReportedHeadless()
    {
        TestEnv env;
        writeDebugIni(env, "debuglevel=4\n");
        QFile cfg(env.dataPath() + QStringLiteral("/configuration.ini"));
        QVERIFY(cfg.open(QIODevice::WriteOnly));
        cfg.write("[General]\npowiazania\\size=2\npowiazania\\1\\tryb=1\npowiazania\\2\\tryb=0\n");
        cfg.close();
        Velmora app;
        QVERIFY(waitForLog(env, QStringLiteral("W pliku konfiguracji wykryto błędy")));
        app.signal(SIGTERM);
        QVERIFY(app.process().waitForFinished(15000));
        const QByteArray stderrText = app.process().readAllStandardError();
        QVERIFY2(app.process().exitCode() == 0, stderrText.right(1000).constData());
        QVERIFY(
            readAll(newestLog(env)).contains(QStringLiteral("Nie ustawiony port szeregowy dla tunelu PPP")));
    }

    void debugIniUdpTargetIsChecked()
    {
        QCOMPARE(debugUdpTarget(QStringLiteral("70000"), QStringLiteral("::1")).warnings,
                 QStringList{
                     QStringLiteral("[MASTER] debugport=70000 is out of range 1-65535, UDP copy disabled")});
        QVERIFY(!debugUdpTarget(QStringLiteral("70000"), QStringLiteral("::1")).enabled);
        QVERIFY(!debugUdpTarget(QStringLiteral("udp"), QStringLiteral("::1")).enabled);
        const DebugUdpTarget bad = debugUdpTarget(QStringLiteral("9000"), QStringLiteral("not-an-ip"));
        QVERIFY(bad.enabled && bad.port == 9000 && bad.address == QLatin1String("127.0.0.1"));
        QCOMPARE(bad.warnings, QStringList{QStringLiteral(
                                   "[MASTER] debugip=not-an-ip is not an IP address, using 127.0.0.1")});
        const DebugUdpTarget v6 = debugUdpTarget(QStringLiteral("65535"), QStringLiteral("fe80::1%lo"));
        QVERIFY(v6.enabled && v6.port == 65535 && v6.address == QLatin1String("fe80::1%lo") &&
                v6.warnings.isEmpty());
    }

    void unreadableConfigurationIsReportedAndNeverWrittenOver()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("configuration.ini"));
        const QByteArray content = "[General]\npowiazania\\size=1\npowiazania\\1\\opis=kasa\n";
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(content) == content.size());
        f.close();
        QVERIFY(QFile::copy(path, path + QStringLiteral(".bak")));
        TunnelApplication *app = TunnelApplication::instance();
        app->setDataPath(dir.path());
        // Root reads anything: then the user nobody reads root's private file.
        const bool asNobody = ::geteuid() == 0;
        QVERIFY(
            f.setPermissions(asNobody ? QFile::ReadOwner | QFile::WriteOwner : QFileDevice::Permissions()));
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0777) == 0);
        QVERIFY(!asNobody || ::seteuid(65534) == 0);
        QCOMPARE(app->loadSettings(nullptr), 0);
        QVERIFY(app->configurationUnreadable() && app->configurations()->isEmpty());
        const bool fileRefused = !ConfigurationFile(path).save(*app->configurations());
        QVERIFY(!asNobody || ::seteuid(0) == 0);
        QVERIFY(fileRefused);
        QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        // Readable again, it still holds what the program never read: no save may replace it.
        QVERIFY(!app->saveSettings() && !app->saveAppSettings());
        QCOMPARE(readAll(path).toUtf8(), content);
        QCOMPARE(readAll(path + QStringLiteral(".bak")).toUtf8(), content);
        // A reload that reads it lifts the guard.
        QCOMPARE(app->reloadSettings(), 0);
        QCOMPARE(app->configurations()->value(0).description, QStringLiteral("kasa"));
        QVERIFY(app->saveSettings());
        app->configurations()->clear();
    }

    void resources()
    {
        QCOMPARE(TunnelApplication::versionString(),
                 QStringLiteral("1.0.0.1881 (rev. 41:69M - 2015-06-06 11:45:01)"));
        for (const char *name : {"files/finalstep.txt", "files/reopeninstr.txt", "files/restartinstr.txt"})
            QVERIFY(!TunnelApplication::textFromResourceFile(QString::fromLatin1(name)).isEmpty());
        QVERIFY(TunnelApplication::textFromResourceFile(QStringLiteral("files/restartinstr.txt"))
                    .contains(QStringLiteral("ponownie")));
        QVERIFY(TunnelApplication::textFromResourceFile(QStringLiteral("files/none.txt")).isEmpty());
        for (const char *image :
             {"tavrel_splash.png", "application2.png", "tavrel_logo.png", "tavrel_logo_tl.png",
              "tavrel_logo_xs.png", "add.png", "edit.png", "select.png", "delete.png", "wizard-left.jpg"})
            QVERIFY2(!QImage(QStringLiteral(":/images/") + QLatin1String(image)).isNull(), image);
        QVERIFY(QFile::exists(QStringLiteral(":/qss/appstyle.qss")));
        QVERIFY(QFile::exists(QStringLiteral(":/qt/etc/qt.conf")));
    }

    void headlessBoxesAnswerWithTheirDefault()
    {
        QVERIFY(MessageBox::headless());
        QCOMPARE(MessageBox::question(nullptr, QStringLiteral("Pytanie"), QStringLiteral("?"),
                                      QMessageBox::Yes | QMessageBox::No, QMessageBox::No),
                 QMessageBox::No);
        QCOMPARE(MessageBox::question(nullptr, QStringLiteral("Pytanie"), QStringLiteral("?")),
                 QMessageBox::Yes);
        QCOMPARE(MessageBox::critical(nullptr, QStringLiteral("Błąd"), QStringLiteral("x")), QMessageBox::Ok);
    }
};

int main(int argc, char **argv)
{
    TunnelApplication app(argc, argv);
    TestStartup test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_startup.moc"
