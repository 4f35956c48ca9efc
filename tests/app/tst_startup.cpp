#include "app/tunnelapplication.h"
#include "log/debug_class.h"
#include "tests/support/testenv.h"
#include "ui/messagebox.h"

#include <QDir>
#include <QProcess>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>

namespace
{
const QString kFinalLine =
    QStringLiteral("[MASTER] --------------------------- RUN ENDED SUCESSFULLY ----------------");

// A velmora process of the test's own; ended by its pid when the test is done.
class Velmora
{
public:
    explicit Velmora(const QStringList &args = {})
    {
        m_process.setProgram(TestEnv::binary(QStringLiteral("velmora")));
        m_process.setArguments(args);
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
} // namespace

class TestStartup : public QObject
{
    Q_OBJECT
private slots:
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
