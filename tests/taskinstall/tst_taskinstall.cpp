// taskinstall as the installer runs it: the real tool and bridge copied
// into an install folder, run as a process against a data folder; its exit
// code, messages, the autostart entry and configuration.ini byte for byte.
#include "tests/support/testenv.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <unistd.h>

namespace
{

struct Run {
    int exitCode = -1;
    QByteArray err;
};

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

// A configuration as the program writes it (Windows-1250 text: \xb9 a-ogonek,
// \xea e-ogonek, \xa3 L-stroke, \xf3 o-acute, \x9f z-acute), with the keys'
// names inside values, "[aplikacja]" inside a value, a commented and a
// spaced key line, and one key missing from the section.
const QByteArray kBefore = "[konfiguracja_1]\n"
                           "opis=Kasa \xb9\xea startzsystemem=0 [aplikacja]\n"
                           "startzsystemem_stary=0\n"
                           "tryb=0\n"
                           "\n"
                           "[aplikacja]\n"
                           "autouruchamianie=1\n"
                           "startzsystemem = 0\n"
                           "opoznieniezadania=0\n"
                           ";startujzminimalizowany=1\n"
                           "tylkowirtualne=1\n"
                           "\n"
                           "[konfiguracja_2]\n"
                           "opis=\xa3\xf3\x64\x9f opoznieniezadania\n"
                           "startujzminimalizowany=1\n";
const QByteArray kAfter = "[konfiguracja_1]\n"
                          "opis=Kasa \xb9\xea startzsystemem=0 [aplikacja]\n"
                          "startzsystemem_stary=0\n"
                          "tryb=0\n"
                          "\n"
                          "[aplikacja]\n"
                          "autouruchamianie=1\n"
                          "startzsystemem=1\n"
                          "opoznieniezadania=90\n"
                          ";startujzminimalizowany=1\n"
                          "tylkowirtualne=1\n"
                          "startujzminimalizowany=0\n"
                          "\n"
                          "[konfiguracja_2]\n"
                          "opis=\xa3\xf3\x64\x9f opoznieniezadania\n"
                          "startujzminimalizowany=1\n";

} // namespace

class TestTaskInstall : public QObject
{
    Q_OBJECT

private:
    // An install folder (with a space in its name) holding the tool and,
    // unless withBridge is false, the bridge beside it.
    static QString install(const TestEnv &env, const QString &name, bool withBridge)
    {
        const QString folder = env.root() + QLatin1Char('/') + name;
        QDir().mkpath(folder);
        QFile::copy(TestEnv::binary(QStringLiteral("taskinstall")), folder + QStringLiteral("/taskinstall"));
        if (withBridge)
            QFile::copy(TestEnv::binary(QStringLiteral("libledmir.so")),
                        folder + QStringLiteral("/libledmir.so"));
        return folder;
    }

    static Run run(const QString &folder, const QStringList &args,
                   const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
    {
        QProcessEnvironment e = environment;
        if (environment.value(QStringLiteral("VELMORA_LEDMIR")) != QLatin1String("libm.so.6"))
            e.remove(QStringLiteral("VELMORA_LEDMIR"));
        e.remove(QStringLiteral("LD_LIBRARY_PATH"));
        QProcess p;
        p.setProcessEnvironment(e);
        p.start(folder + QStringLiteral("/taskinstall"), args);
        Run r;
        if (!p.waitForFinished(30000)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        r.err = p.readAllStandardError();
        return r;
    }

private slots:
    // The installer's run: the entry registered for the velmora beside the
    // tool, the three settings switched on in [aplikacja] only, every other
    // byte kept, the file replaced (permissions kept, no temporary left);
    // a second run leaves the same bytes.
    void registersAndEditsSection()
    {
        TestEnv env;
        const QString folder = install(env, QStringLiteral("opt/velmora dir"), true);
        const QString data = env.root() + QStringLiteral("/dane programu");
        QVERIFY(QDir().mkpath(data));
        const QString ini = data + QStringLiteral("/configuration.ini");
        QVERIFY(writeFile(ini, kBefore));
        QVERIFY(QFile::setPermissions(ini, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));

        for (int round = 0; round < 2; ++round) {
            const Run r = run(folder, {data, QStringLiteral("ignored")});
            QCOMPARE(r.err, QByteArray("Task install OK \n"));
            QCOMPARE(r.exitCode, 0);
            QCOMPARE(readAll(ini), kAfter);
            QCOMPARE(QFileInfo(ini).permissions(), QFile::ReadOwner | QFile::ReadUser | QFile::WriteOwner |
                                                       QFile::WriteUser | QFile::ReadGroup);
            QCOMPARE(QDir(data).entryList(QDir::Files | QDir::Hidden),
                     QStringList{QStringLiteral("configuration.ini")});
        }

        const QList<QByteArray> entry =
            readAll(env.root() + QStringLiteral("/config/autostart/Velmora.desktop")).split('\n');
        QVERIFY2(entry.contains("Name=Velmora"), entry.join('|').constData());
        QVERIFY(entry.contains("Path=" + QFile::encodeName(folder)));
        QVERIFY(entry.contains("X-Author=TAVREL POLSKA SA"));
        QVERIFY(entry.contains("X-Velmora-Delay=90"));
        QVERIFY(entry.contains("Exec=/bin/sh -c \"sleep 90; exec \\\\\"\\\\$0\\\\\"\" \"" +
                               QFile::encodeName(folder) + "/velmora\""));
    }

    // A file without the section (CRLF lines, no final line end, the
    // section's name only inside a value) gains it at its end; a linked
    // file is edited at its target; no argument, a missing file and a folder
    // that cannot take the new file leave everything as it was.
    void fileEdges()
    {
        TestEnv env;
        const QString folder = install(env, QStringLiteral("bin"), true);
        const QString data = env.root() + QStringLiteral("/data");
        const QString real = env.root() + QStringLiteral("/real");
        QVERIFY(QDir().mkpath(data));
        QVERIFY(QDir().mkpath(real));
        const QByteArray before = "[konfiguracja_1]\r\nopis=x [aplikacja]\r\ntryb=1";
        QVERIFY(writeFile(real + QStringLiteral("/configuration.ini"), before));
        QVERIFY(QFile::link(real + QStringLiteral("/configuration.ini"),
                            data + QStringLiteral("/configuration.ini")));

        Run r = run(folder, {});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.err, QByteArray("Task install OK \n"));
        QCOMPARE(readAll(real + QStringLiteral("/configuration.ini")), before);

        r = run(folder, {data});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.err, QByteArray("Task install OK \n"));
        QCOMPARE(readAll(real + QStringLiteral("/configuration.ini")),
                 before + "\r\n\r\n[aplikacja]\r\nstartzsystemem=1\r\nopoznieniezadania=90\r\n"
                          "startujzminimalizowany=0\r\n");
        QVERIFY(QFileInfo(data + QStringLiteral("/configuration.ini")).isSymLink());

        const QString missing = env.root() + QStringLiteral("/none");
        r = run(folder, {missing});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.err, "Task install OK \nCould not open cfg file: " + QFile::encodeName(missing) +
                            "/configuration.ini\n");
        QVERIFY(!QFileInfo::exists(missing));

        if (::geteuid() != 0) { // root writes anywhere
            const QByteArray kept = "[aplikacja]\nstartzsystemem=0\n";
            QVERIFY(writeFile(data + QStringLiteral("/configuration.ini"), kept)); // through the link
            QVERIFY(QFile::setPermissions(real, QFile::ReadOwner | QFile::ExeOwner));
            r = run(folder, {data});
            QFile::setPermissions(real, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QCOMPARE(r.exitCode, 0);
            QVERIFY2(r.err.startsWith("Task install OK \nCould not write cfg file: " +
                                      QFile::encodeName(data) + "/configuration.ini ("),
                     r.err.constData());
            QCOMPARE(readAll(real + QStringLiteral("/configuration.ini")), kept);
            QCOMPARE(QDir(real).entryList(QDir::Files | QDir::Hidden).size(), 1);
        }
    }

    // Failures before the registration: their exit codes and messages, and
    // the configuration is not touched.
    void failures()
    {
        TestEnv env;
        const QString data = env.root() + QStringLiteral("/data");
        QVERIFY(QDir().mkpath(data));
        const QByteArray before = "[aplikacja]\nstartzsystemem=0\n";
        QVERIFY(writeFile(data + QStringLiteral("/configuration.ini"), before));

        const QString lonely = install(env, QStringLiteral("lonely"), false);
        Run r = run(lonely, {data});
        QCOMPARE(r.exitCode, 3);
        QVERIFY2(r.err.startsWith("LoadLibrary failed ") && r.err.count('\n') == 1, r.err.constData());

        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("VELMORA_LEDMIR"), QStringLiteral("libm.so.6"));
        r = run(install(env, QStringLiteral("other"), true), {data}, e);
        QCOMPARE(r.exitCode, 4);
        QVERIFY2(r.err.startsWith("GetProcAddress failed ") && r.err.count('\n') == 1, r.err.constData());

        // The autostart folder's parent is a file: the bridge fails at its
        // folder stage with ENOTDIR (20), shown in hexadecimal.
        QVERIFY(writeFile(env.root() + QStringLiteral("/notafolder"), QByteArray()));
        e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("XDG_CONFIG_HOME"), env.root() + QStringLiteral("/notafolder"));
        r = run(install(env, QStringLiteral("bin"), true), {data}, e);
        QCOMPARE(r.exitCode, 5);
        QCOMPARE(r.err, QByteArray("CreateTaskDefinition failed - code: 14 state: 2\n"));

        QCOMPARE(readAll(data + QStringLiteral("/configuration.ini")), before);
        QVERIFY(!QFileInfo::exists(env.root() + QStringLiteral("/config/autostart/Velmora.desktop")));
    }
};

QTEST_GUILESS_MAIN(TestTaskInstall)
#include "tst_taskinstall.moc"
