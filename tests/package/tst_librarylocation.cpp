// LibraryLocation in a process that runs with a file capability: the
// VELMORA_* library variable and the variables that would make Qt or a
// toolkit load code from a chosen folder are ignored there, and honoured in
// an ordinary process. The test runs a copy of itself in both ways.
#include "platform/librarylocation.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <unistd.h>

namespace
{

// The child's answer: one line each.
int printLookup()
{
    std::printf("privileged=%d\nlibrary=%s\nplugins=%s\nmodules=%s\n", int(LibraryLocation::privileged()),
                qPrintable(LibraryLocation::find("VELMORA_VSPDCTL", QStringLiteral("vspdctl"))),
                qgetenv("QT_PLUGIN_PATH").constData(), qgetenv("GTK_MODULES").constData());
    return 0;
}

QMap<QString, QString> run(const QString &program, const QStringList &arguments, bool leakCheck)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VELMORA_VSPDCTL"), QStringLiteral("/nonexistent/chosen/libvspdctl.so"));
    env.insert(QStringLiteral("QT_PLUGIN_PATH"), QStringLiteral("/nonexistent/chosen/plugins"));
    env.insert(QStringLiteral("GTK_MODULES"), QStringLiteral("chosen-module"));
    if (!leakCheck) // a privileged process cannot be traced, not even by LeakSanitizer's own thread
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":detect_leaks=0"));
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    QMap<QString, QString> answer;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        answer[QStringLiteral("error")] = QStringLiteral("no end");
        return answer;
    }
    const QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq > 0)
            answer[line.left(eq)] = line.mid(eq + 1);
    }
    answer[QStringLiteral("status")] = QString::number(process.exitCode());
    answer[QStringLiteral("stderr")] = QString::fromLocal8Bit(process.readAllStandardError());
    return answer;
}

} // namespace

class TestLibraryLocation : public QObject
{
    Q_OBJECT

private slots:
    void overridesOnlyWithoutPrivileges()
    {
        const QString self = QCoreApplication::applicationFilePath();
        auto plain = run(self, {QStringLiteral("--print-lookup")}, true);
        QCOMPARE(plain.value(QStringLiteral("status")), QStringLiteral("0"));
        QCOMPARE(plain.value(QStringLiteral("privileged")), QStringLiteral("0"));
        QCOMPARE(plain.value(QStringLiteral("library")), QStringLiteral("/nonexistent/chosen/libvspdctl.so"));
        QCOMPARE(plain.value(QStringLiteral("plugins")), QStringLiteral("/nonexistent/chosen/plugins"));
        QCOMPARE(plain.value(QStringLiteral("modules")), QStringLiteral("chosen-module"));

        if (::geteuid() != 0)
            QSKIP("needs root: setcap and a change of user");
        if (QStandardPaths::findExecutable(QStringLiteral("setcap")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
            QSKIP("setcap or setpriv is not installed");
        // A copy with CAP_NET_ADMIN beside a library of the looked-for name,
        // in the build folder (a temporary folder may be mounted nosuid,
        // where file capabilities do not count).
        QTemporaryDir dir(QDir::currentPath() + QStringLiteral("/privileged-XXXXXX"));
        QVERIFY(dir.isValid());
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                      QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                                      QFile::ExeOther));
        const QString copy = dir.path() + QStringLiteral("/lookup");
        QVERIFY(QFile::copy(self, copy));
        QFile beside(dir.path() + QStringLiteral("/libvspdctl.so"));
        QVERIFY(beside.open(QIODevice::WriteOnly));
        beside.close();
        QCOMPARE(QProcess::execute(QStringLiteral("setcap"), {QStringLiteral("cap_net_admin+ep"), copy}), 0);

        auto privileged = run(QStringLiteral("setpriv"),
                              {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                               QStringLiteral("--clear-groups"), copy, QStringLiteral("--print-lookup")},
                              false);
        QVERIFY2(privileged.value(QStringLiteral("status")) == QLatin1String("0"),
                 qPrintable(privileged.value(QStringLiteral("stderr"))));
        QCOMPARE(privileged.value(QStringLiteral("privileged")), QStringLiteral("1"));
        QCOMPARE(privileged.value(QStringLiteral("library")), beside.fileName());
        QCOMPARE(privileged.value(QStringLiteral("plugins")), QString());
        QCOMPARE(privileged.value(QStringLiteral("modules")), QString());
    }
};

int main(int argc, char **argv)
{
    if (argc == 2 && qstrcmp(argv[1], "--print-lookup") == 0) {
        QCoreApplication app(argc, argv);
        return printLookup();
    }
    QCoreApplication app(argc, argv);
    TestLibraryLocation test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_librarylocation.moc"
