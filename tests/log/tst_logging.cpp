#include "log/debug_class.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

// Captures what the facility writes to standard error while it lives.
class StderrCapture
{
public:
    StderrCapture()
    {
        std::fflush(stderr);
        m_saved = ::dup(2);
        m_file = std::tmpfile();
        ::dup2(::fileno(m_file), 2);
    }
    ~StderrCapture() { restore(); }
    QString text()
    {
        restore();
        std::rewind(m_file);
        QByteArray all;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof(buf), m_file)) > 0)
            all.append(buf, int(n));
        return QString::fromLocal8Bit(all);
    }

private:
    void restore()
    {
        if (m_saved >= 0) {
            std::fflush(stderr);
            ::dup2(m_saved, 2);
            ::close(m_saved);
            m_saved = -1;
        }
    }
    int m_saved = -1;
    FILE *m_file = nullptr;
};

class TestLogging : public QObject
{
    Q_OBJECT

private:
    CGlobalDebugFileHandler *h = CGlobalDebugFileHandler::instance();
    QTemporaryDir dir;

    QStringList fileLines()
    {
        QFile f(h->logFileName());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    void startLog(int level = 99)
    {
        h->reset();
        h->setFileNames(QStringLiteral("velmora"), QStringLiteral("srv"));
        QVERIFY(h->start(dir.path()));
        h->setLevel(level);
        h->setConsole(0);
    }

private slots:
    void cleanup() { h->reset(); }

    void levelTags()
    {
        const QList<QPair<int, QString>> cases = {
            {99, "[PARANOID]"},  {16, "[PARANOID]"},  {15, "[DEBUG   ]"},  {6, "[DEBUG   ]"},
            {5, "[INFO    ]"},   {4, "[INFO    ]"},   {3, "[WARNING ]"},   {-10, "[WARNING ]"},
            {-11, "[ERROR   ]"}, {-50, "[ERROR   ]"}, {-51, "[CRITICAL]"}, {-100, "[CRITICAL]"},
            {-101, "[UNKNOWN!]"}};
        for (const auto &c : cases) {
            QCOMPARE(CGlobalDebugFileHandler::levelTag(c.first), c.second);
            QCOMPARE(CGlobalDebugFileHandler::levelTag(c.first).size(), 10);
        }
    }

    void fileNameBannerAndLineFormat()
    {
        startLog();
        const QString name = QFileInfo(h->logFileName()).fileName();
        QVERIFY2(
            QRegularExpression(QStringLiteral("^velmora-\\d{4}-\\d\\d-\\d\\dT\\d\\d-\\d\\d-\\d\\d_%1\\.log$")
                                   .arg(::getpid()))
                .match(name)
                .hasMatch(),
            qPrintable(name));
        VLOG(4) << "hello " << 42 << " " << QStringLiteral("żółw");
        const int line = __LINE__ - 1;
        const QStringList lines = fileLines();
        // The run banner stands alone (no timestamp, no tag), right after the line naming the file.
        const int banner = lines.lastIndexOf(
            QStringLiteral("-------------------------------NEW RUN-------------------------------------"));
        QVERIFY(banner >= 1);
        QVERIFY(lines.at(banner - 1).endsWith(QStringLiteral("Openned log file :") + h->logFileName()));
        const QString last = lines.last();
        const QRegularExpression re(
            QStringLiteral("^\\[\\d{8} \\d{6}\\.\\d{3}\\] \\[INFO    \\] #([0-9a-f]+)# "
                           "<tst_logging\\.cpp\\|(\\d+)@(.*)> :: (.*)$"));
        const auto m = re.match(last);
        QVERIFY2(m.hasMatch(), qPrintable(last));
        QCOMPARE(m.captured(1), QString::number(CGlobalDebugFileHandler::currentThreadId(), 16));
        QCOMPARE(m.captured(2).toInt(), line);
        QCOMPARE(m.captured(3), QStringLiteral("void TestLogging::fileNameBannerAndLineFormat()"));
        QCOMPARE(m.captured(4), QStringLiteral("hello 42 żółw"));
    }

    void thresholdAndNegativeLevels()
    {
        startLog(0);
        h->setConsole(0);
        StderrCapture err;
        VLOG(6) << "dropped-debug";
        VLOG(4) << "dropped-info";
        VLOG(0) << "kept-zero";
        VLOG(-10) << "kept-warning";
        const QString console = err.text();
        const QString file = fileLines().join(QLatin1Char('\n'));
        QVERIFY(!file.contains(QStringLiteral("dropped")));
        QVERIFY(file.contains(QStringLiteral("kept-zero")));
        QVERIFY(file.contains(QStringLiteral("kept-warning")));
        // Console off: only negative levels reach standard error, without a timestamp.
        QVERIFY(!console.contains(QStringLiteral("kept-zero")));
        QVERIFY(console.contains(QStringLiteral("[WARNING ] #")));
        QVERIFY(console.contains(QStringLiteral("kept-warning")));
        QVERIFY(!console.startsWith(QLatin1Char('[') + QString::number(QDate::currentDate().year())));
        QVERIFY(!CGlobalDebugFileHandler::isLevelEnabled(6));
        QVERIFY(CGlobalDebugFileHandler::isLevelEnabled(0));
    }

    void nothingBeforeEnabledAndNoFileMode()
    {
        h->reset();
        StderrCapture err;
        VLOG(-10) << "before-enable";
        QVERIFY(!err.text().contains(QStringLiteral("before-enable")));

        h->reset();
        h->setNoFile();
        QVERIFY(h->start(dir.path()));
        VLOG(-10) << "no-file-line";
        QVERIFY(h->logFileName().isEmpty());
        QVERIFY(QDir(dir.path()).entryList(QDir::Files).filter(QStringLiteral("logfile-")).isEmpty());
    }

    void unwritableFolderFails()
    {
        h->reset();
        StderrCapture err;
        QVERIFY(!h->start(dir.path() + QStringLiteral("/missing/folder")));
        QVERIFY(err.text().contains(QStringLiteral("[CRITICAL]")));
        // The UDP copy, switched on later, still hears of it.
        QUdpSocket listener;
        QVERIFY(listener.bind(QHostAddress(QHostAddress::LocalHost), 0));
        h->setUdpTarget(QStringLiteral("127.0.0.1"), listener.localPort());
        QVERIFY(listener.waitForReadyRead(5000));
        QByteArray d(int(listener.pendingDatagramSize()), 0);
        listener.readDatagram(d.data(), d.size());
        QVERIFY2(d.contains("[CRITICAL]") && d.contains("Could not open log file name:"), d.constData());
    }

    void fileThatStopsTakingLinesIsSaidOnce()
    {
        QUdpSocket listener;
        QVERIFY(listener.bind(QHostAddress(QHostAddress::LocalHost), 0));
        startLog(4);
        h->setUdpTarget(QStringLiteral("127.0.0.1"), listener.localPort());
        // Enough text first that the size limit below leaves room for the captured standard error.
        VLOG(4) << QString(64 * 1024, QLatin1Char('a'));
        const qint64 full = QFileInfo(h->logFileName()).size();
        // A file size limit makes further writes fail (EFBIG) as a full disk does (ENOSPC).
        rlimit saved{};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = saved;
        limited.rlim_cur = rlim_t(full);
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &limited) == 0);
        QString console;
        {
            StderrCapture err;
            for (int i = 0; i < 5; ++i)
                VLOG(4) << "lost line " << i;
            console = err.text();
        }
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &saved) == 0);
        std::signal(SIGXFSZ, oldHandler);
        VLOG(4) << "after the disk has room again";

        // Said once on standard error, console off or not, and the run goes on.
        QCOMPARE(console.count(QStringLiteral("cannot be written")), 1);
        QVERIFY(console.contains(QStringLiteral("[WARNING ]")));
        QVERIFY(console.contains(h->logFileName()));
        QVERIFY(!console.contains(QStringLiteral("lost line")));
        // The file notes the gap and goes on.
        const QStringList lines = fileLines();
        QVERIFY(lines.filter(QStringLiteral("lost line")).isEmpty());
        QVERIFY2(lines.value(lines.size() - 2).contains(QStringLiteral("[WARNING ]")) &&
                     lines.value(lines.size() - 2)
                         .endsWith(QStringLiteral("Log file takes lines again, 6 lines were lost")),
                 qPrintable(lines.value(lines.size() - 2)));
        QVERIFY(lines.last().endsWith(QStringLiteral(":: after the disk has room again")));
        // The UDP copy had every line and the notice once.
        QStringList datagrams;
        while (listener.waitForReadyRead(datagrams.size() < 8 ? 2000 : 100)) {
            while (listener.hasPendingDatagrams()) {
                QByteArray d(int(listener.pendingDatagramSize()), 0);
                listener.readDatagram(d.data(), d.size());
                datagrams << QString::fromUtf8(d);
            }
        }
        QCOMPARE(datagrams.filter(QStringLiteral("cannot be written")).size(), 1);
        QCOMPARE(datagrams.filter(QStringLiteral("lost line")).size(), 5);
        QCOMPARE(datagrams.filter(QStringLiteral("after the disk has room again")).size(), 1);
    }

    void logSystems()
    {
        startLog();
        QMap<QString, QString> systems;
        systems.insert(QStringLiteral("mainwindow.cpp"), QStringLiteral("mainwindow"));
        systems.insert(QStringLiteral("editdialog.cpp"), QStringLiteral("dialogs"));
        h->registerLogSystems(systems);
        h->SetLogSystems(QStringLiteral("all,-mainwindow"));
        const quint64 tid = CGlobalDebugFileHandler::currentThreadId();
        h->write(tid, 10, "/src/ui/mainwindow.cpp", "f()", 1, QStringLiteral("mw-detail"));
        h->write(tid, -10, "/src/ui/mainwindow.cpp", "f()", 2, QStringLiteral("mw-warning"));
        h->write(tid, 10, "/src/ui/editdialog.cpp", "f()", 3, QStringLiteral("dlg-detail"));
        h->write(tid, 10, "/src/other.cpp", "f()", 4, QStringLiteral("other-detail"));
        // Each call changes only what it names.
        h->SetLogSystems(QStringLiteral("-dialogs,unknown"));
        h->write(tid, 10, "/src/ui/editdialog.cpp", "f()", 5, QStringLiteral("dlg-off"));
        h->write(tid, 10, "/src/ui/mainwindow.cpp", "f()", 6, QStringLiteral("mw-still-off"));
        h->SetLogSystems(QStringLiteral("+mainwindow"));
        h->write(tid, 10, "/src/ui/mainwindow.cpp", "f()", 7, QStringLiteral("mw-back"));
        h->SetLogSystems(QStringLiteral("-all"));
        h->write(tid, 10, "/src/other.cpp", "f()", 8, QStringLiteral("unregistered-always"));

        const QString file = fileLines().join(QLatin1Char('\n'));
        QVERIFY(!file.contains(QStringLiteral("mw-detail")));
        QVERIFY(file.contains(QStringLiteral("mw-warning")));
        QVERIFY(file.contains(QStringLiteral("dlg-detail")));
        QVERIFY(file.contains(QStringLiteral("other-detail")));
        QVERIFY(!file.contains(QStringLiteral("dlg-off")));
        QVERIFY(!file.contains(QStringLiteral("mw-still-off")));
        QVERIFY(file.contains(QStringLiteral("mw-back")));
        QVERIFY(file.contains(QStringLiteral("unregistered-always")));
        QVERIFY(file.contains(QStringLiteral("Seting debugging mask to : '110'")));
        QVERIFY(file.contains(QStringLiteral("Seting debugging to : '-all'")));
    }

    void udpCopy_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("listen");
        QTest::newRow("loopback") << QStringLiteral("127.0.0.1") << QStringLiteral("127.0.0.1");
        QTest::newRow("unparsable falls back to 127.0.0.1")
            << QStringLiteral("not an address") << QStringLiteral("127.0.0.1");
        QTest::newRow("IPv6 loopback") << QStringLiteral("::1") << QStringLiteral("::1");
    }
    void udpCopy()
    {
        QFETCH(QString, address);
        QFETCH(QString, listen);
        QUdpSocket listener;
        if (!listener.bind(QHostAddress(listen), 0))
            QSKIP("no IPv6 loopback on this machine");
        startLog();
        h->setUdpTarget(address, listener.localPort());
        VLOG(4) << "first";
        VLOG(-10) << "second";
        QStringList got;
        QElapsedTimer t;
        t.start();
        while (got.size() < 2 && t.elapsed() < 5000) {
            if (!listener.hasPendingDatagrams()) {
                listener.waitForReadyRead(100);
                continue;
            }
            QByteArray d(int(listener.pendingDatagramSize()), 0);
            listener.readDatagram(d.data(), d.size());
            got << QString::fromUtf8(d);
        }
        QCOMPARE(got.size(), 2);
        const QString prefix = QStringLiteral("[srv-PID=%1][").arg(::getpid());
        QVERIFY2(got.at(0).startsWith(prefix), qPrintable(got.at(0)));
        QVERIFY(got.at(0).endsWith(QStringLiteral(":: first\n")));
        QVERIFY(got.at(1).contains(QStringLiteral("[WARNING ]")));
    }

    void concurrentWritersKeepLinesWhole()
    {
        startLog();
        h->setConsole(0);
        const int threads = 8, perThread = 400;
        QList<QThread *> workers;
        for (int t = 0; t < threads; ++t) {
            workers << QThread::create([t]() {
                for (int i = 0; i < perThread; ++i)
                    VLOG(4) << "worker " << t << " line " << i << " " << QString(50, QLatin1Char('x'));
            });
            workers.last()->start();
        }
        for (QThread *w : workers) {
            QVERIFY(w->wait(30000));
            delete w;
        }
        const QStringList lines = fileLines().filter(QStringLiteral(":: worker "));
        QCOMPARE(lines.size(), threads * perThread);
        const QRegularExpression whole(QStringLiteral(":: worker (\\d+) line (\\d+) x{50}$"));
        QSet<QString> seen;
        for (const QString &l : lines) {
            const auto m = whole.match(l);
            QVERIFY2(m.hasMatch(), qPrintable(l));
            seen.insert(m.captured(1) + QLatin1Char('/') + m.captured(2));
        }
        QCOMPARE(seen.size(), threads * perThread);
    }

    void zzprintfFormatsTrimsAndCuts()
    {
        startLog(6);
        zzprintf("  lcp: state %d -> %s \n", 3, "opened");
        QString longArg(6000, QLatin1Char('y'));
        zzprintf("%s", longArg.toLatin1().constData());
        const QStringList lines = fileLines();
        const QString shortLine = lines.filter(QStringLiteral("lcp: state")).value(0);
        QVERIFY(shortLine.contains(QStringLiteral("[DEBUG   ]")));
        QVERIFY(shortLine.contains(QStringLiteral("<main|")));
        QVERIFY(shortLine.contains(QStringLiteral("@void zzprintf(const char*, ...)>")));
        QVERIFY(shortLine.endsWith(QStringLiteral(":: lcp: state 3 -> opened")));
        const QString cut = lines.filter(QStringLiteral("yyyy")).value(0);
        QCOMPARE(cut.section(QStringLiteral(":: "), 1).size(), 4095);

        h->setLevel(4);
        zzprintf("hidden");
        QVERIFY(fileLines().filter(QStringLiteral("hidden")).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
