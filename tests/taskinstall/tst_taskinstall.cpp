// taskinstall as the installer runs it: the real tool and bridge copied
// into an install folder, run as a process against a data folder; its exit
// code, messages, the autostart entry and configuration.ini byte for byte.
#include "tests/support/testenv.h"

#include <QDir>
#include <QProcess>
#include <QtTest>

#include <unistd.h>

namespace
{

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

// An install folder holding the tool and, with withBridge, the bridge.
QString install(const TestEnv &env, const QString &name, bool withBridge)
{
    const QString folder = env.root() + QLatin1Char('/') + name;
    QDir().mkpath(folder);
    QFile::copy(TestEnv::binary(QStringLiteral("taskinstall")), folder + QStringLiteral("/taskinstall"));
    if (withBridge)
        QFile::copy(TestEnv::binary(QStringLiteral("libledmir.so")),
                    folder + QStringLiteral("/libledmir.so"));
    return folder;
}

// Runs the tool; "exit code|standard error".
QByteArray run(const QString &folder, const QStringList &args, const QString &var = QString(),
               const QString &value = QString())
{
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.remove(QStringLiteral("VELMORA_LEDMIR"));
    e.remove(QStringLiteral("LD_LIBRARY_PATH"));
    if (!var.isEmpty())
        e.insert(var, value);
    QProcess p;
    p.setProcessEnvironment(e);
    p.start(folder + QStringLiteral("/taskinstall"), args);
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit)
        return "hung or crashed";
    return QByteArray::number(p.exitCode()) + '|' + p.readAllStandardError();
}

} // namespace

class TestTaskInstall : public QObject
{
    Q_OBJECT

private slots:
    // The installer's run: the entry registered for the velmora beside the
    // tool, the three settings switched on in [aplikacja] only (Windows-1250
    // bytes, the keys' names and the section's name inside values, a
    // commented and a spaced key line, a key missing), every other byte
    // kept, permissions kept, no temporary left; a second run changes nothing.
    void registersAndEditsSection()
    {
        TestEnv env;
        const QString folder = install(env, QStringLiteral("opt/velmora dir"), true);
        const QString data = env.root() + QStringLiteral("/dane programu");
        const QString ini = data + QStringLiteral("/configuration.ini");
        const QByteArray before = "[konfiguracja_1]\n"
                                  "opis=Kasa \xb9\xea startzsystemem=0 [aplikacja]\n"
                                  "startzsystemem_stary=0\n"
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
        QByteArray after = before;
        after.replace("startzsystemem = 0\n", "startzsystemem=1\n")
            .replace("opoznieniezadania=0\n", "opoznieniezadania=90\n")
            .replace("tylkowirtualne=1\n", "tylkowirtualne=1\nstartujzminimalizowany=0\n");
        QVERIFY(QDir().mkpath(data) && writeFile(ini, before));
        QVERIFY(QFile::setPermissions(ini, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        for (int round = 0; round < 2; ++round) {
            QCOMPARE(run(folder, {data, QStringLiteral("ignored")}), QByteArray("0|Task install OK \n"));
            QCOMPARE(readAll(ini), after);
            QCOMPARE(QFileInfo(ini).permissions(), QFile::ReadOwner | QFile::ReadUser | QFile::WriteOwner |
                                                       QFile::WriteUser | QFile::ReadGroup);
            QCOMPARE(QDir(data).entryList(QDir::Files | QDir::Hidden),
                     QStringList{QStringLiteral("configuration.ini")});
        }
        const QList<QByteArray> entry =
            readAll(env.root() + QStringLiteral("/config/autostart/Velmora.desktop")).split('\n');
        QVERIFY2(entry.contains("Name=Velmora") && entry.contains("X-Author=TAVREL POLSKA SA") &&
                     entry.contains("X-Velmora-Delay=90") &&
                     entry.contains("Path=" + QFile::encodeName(folder)) &&
                     entry.contains("Exec=/bin/sh -c \"sleep 90; exec \\\\\"\\\\$0\\\\\"\" \"" +
                                    QFile::encodeName(folder) + "/velmora\""),
                 entry.join('\n').constData());
    }

    // A file without the section (CRLF lines, no final line end, the
    // section's name inside a value) gains it at its end; a linked file is
    // edited at its target; no argument, a missing file and a folder that
    // cannot take the new file leave everything as it was.
    void fileEdges()
    {
        TestEnv env;
        const QString folder = install(env, QStringLiteral("bin"), true);
        const QString data = env.root() + QStringLiteral("/data"),
                      real = env.root() + QStringLiteral("/real");
        const QString ini = real + QStringLiteral("/configuration.ini");
        const QByteArray before = "[konfiguracja_1]\r\nopis=x [aplikacja]\r\ntryb=1";
        QVERIFY(QDir().mkpath(data) && QDir().mkpath(real) && writeFile(ini, before));
        QVERIFY(QFile::link(ini, data + QStringLiteral("/configuration.ini")));

        QCOMPARE(run(folder, {}), QByteArray("0|Task install OK \n"));
        QCOMPARE(readAll(ini), before);
        QCOMPARE(run(folder, {data}), QByteArray("0|Task install OK \n"));
        QCOMPARE(readAll(ini), before + "\r\n\r\n[aplikacja]\r\nstartzsystemem=1\r\nopoznieniezadania=90\r\n"
                                        "startujzminimalizowany=0\r\n");
        QVERIFY(QFileInfo(data + QStringLiteral("/configuration.ini")).isSymLink());

        const QString missing = env.root() + QStringLiteral("/none");
        QCOMPARE(run(folder, {missing}), "0|Task install OK \nCould not open cfg file: " +
                                             QFile::encodeName(missing) + "/configuration.ini\n");
        QVERIFY(!QFileInfo::exists(missing));

        if (::geteuid() != 0) { // root writes anywhere
            QVERIFY(writeFile(ini, "[aplikacja]\nstartzsystemem=0\n"));
            QVERIFY(QFile::setPermissions(real, QFile::ReadOwner | QFile::ExeOwner));
            const QByteArray result = run(folder, {data});
            QFile::setPermissions(real, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QVERIFY2(result.startsWith("0|Task install OK \nCould not write cfg file: " +
                                       QFile::encodeName(data) + "/configuration.ini ("),
                     result.constData());
            QCOMPARE(readAll(ini), QByteArray("[aplikacja]\nstartzsystemem=0\n"));
            QCOMPARE(QDir(real).entryList(QDir::Files | QDir::Hidden).size(), 1);
        }
    }

    // Failures before the registration: exit codes and messages, and the
    // configuration is not touched.
    void failures()
    {
        TestEnv env;
        const QString data = env.root() + QStringLiteral("/data");
        QVERIFY(QDir().mkpath(data) &&
                writeFile(data + QStringLiteral("/configuration.ini"), "[aplikacja]\n"));
        QVERIFY(writeFile(env.root() + QStringLiteral("/notafolder"), QByteArray()));

        QByteArray result = run(install(env, QStringLiteral("lonely"), false), {data});
        QVERIFY2(result.startsWith("3|LoadLibrary failed ") && result.count('\n') == 1, result.constData());
        const QString folder = install(env, QStringLiteral("bin"), true);
        result = run(folder, {data}, QStringLiteral("VELMORA_LEDMIR"), QStringLiteral("libm.so.6"));
        QVERIFY2(result.startsWith("4|GetProcAddress failed ") && result.count('\n') == 1,
                 result.constData());
        // The bridge's folder stage fails with ENOTDIR (20), in hexadecimal.
        QCOMPARE(run(folder, {data}, QStringLiteral("XDG_CONFIG_HOME"),
                     env.root() + QStringLiteral("/notafolder")),
                 QByteArray("5|CreateTaskDefinition failed - code: 14 state: 2\n"));
        QCOMPARE(readAll(data + QStringLiteral("/configuration.ini")), QByteArray("[aplikacja]\n"));
    }
};

QTEST_GUILESS_MAIN(TestTaskInstall)
#include "tst_taskinstall.moc"
