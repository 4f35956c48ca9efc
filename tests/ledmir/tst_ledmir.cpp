// The start-with-system bridge through its exported function, as the
// programs load it; the entry it writes is started by GLib's launcher
// (gio launch, what GNOME uses), which honours Exec quoting, Path and %%.
#include "ledmir/ledmir.h"
#include "tests/support/testenv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <cerrno>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

class TestLedmir : public QObject
{
    Q_OBJECT

    CreateTaskDefinitionFn m_create = nullptr;
    struct Call {
        bool ok = false;
        int32_t code = -1, stage = -1;
    };
    Call create(const QString &name, const QString &program, const QString &workDir, bool remove, int delay,
                const QString &author = QStringLiteral("TAVREL POLSKA SA"))
    {
        Call c;
        c.ok = m_create(name.toStdWString(), program.toStdWString(), workDir.toStdWString(),
                        author.toStdWString(), remove, delay, &c.code, &c.stage);
        return c;
    }
    static ino_t inode(const QString &path)
    {
        struct stat st;
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
    }

private slots:
    void initTestCase()
    {
        void *library = ::dlopen(
            QFile::encodeName(TestEnv::binary(QStringLiteral("libledmir.so"))).constData(), RTLD_NOW);
        QVERIFY2(library, ::dlerror());
        m_create = reinterpret_cast<CreateTaskDefinitionFn>(::dlsym(library, ledmir::kCreateTaskDefinition));
        QVERIFY(m_create);
    }

    // Register with a delay and start the entry as the session would, from
    // a folder whose name needs every kind of quoting; register again
    // (replaced whole); remove twice.
    void registerLaunchReplaceRemove()
    {
        TestEnv env;
        const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
        if (gio.isEmpty())
            QSKIP("gio (libglib2.0-bin) is not installed: no launcher to start the entry");
        const QString folder = env.root() + QStringLiteral("/Pro gram \"q\" $HOME `x` 100% \\b\\ ;&");
        const QString program = folder + QStringLiteral("/velmora");
        const QString mark = env.root() + QStringLiteral("/ran");
        QVERIFY(QDir().mkpath(folder));
        QFile script(program);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(
            "#!/bin/sh\n{ pwd -P; printf '%s\\n%s\\n' \"$0\" \"$#\"; } > \"$VELMORA_TEST_MARK.tmp\"\n"
            "mv \"$VELMORA_TEST_MARK.tmp\" \"$VELMORA_TEST_MARK\"\n");
        script.close();
        QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
        const QString autostart = env.root() + QStringLiteral("/config/autostart");
        const QString entryPath = autostart + QStringLiteral("/Velmora.desktop");
        QVERIFY(QDir(autostart).removeRecursively()); // the bridge creates it

        const QString author = QStringLiteral("TAVREL POLSKA SA \u0141\u00f3d\u017a");
        Call c = create(QStringLiteral("Velmora"), program, folder, false, 1, author);
        QVERIFY(c.ok && c.code == 0 && c.stage == 0);
        QCOMPARE(QDir(autostart).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("Velmora.desktop")});
        QCOMPARE(QFileInfo(autostart).permissions() & (QFile::ReadOther | QFile::WriteOther), 0);
        QFile entry(entryPath);
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QByteArray text = entry.readAll();
        const QList<QByteArray> lines = text.split('\n');
        for (const char *line :
             {"[Desktop Entry]", "Type=Application", "Name=Velmora", "Terminal=false", "X-Velmora-Delay=1"})
            QVERIFY2(lines.contains(line), text.constData());
        QVERIFY(lines.contains("X-Author=" + author.toUtf8()));
        QVERIFY(!text.contains("X-GNOME-Autostart-Delay")); // the sleep is the one delay
        // GLib takes unknown escapes as they are; the format allows only these.
        for (int i = text.indexOf('\\'); i >= 0; i = text.indexOf('\\', i + 2))
            QVERIFY2(QByteArray("sntr\\").contains(text.at(i + 1)), text.constData());

        QProcess launcher;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VELMORA_TEST_MARK"), mark);
        launcher.setProcessEnvironment(environment);
        QElapsedTimer elapsed;
        elapsed.start();
        launcher.start(gio, {QStringLiteral("launch"), entryPath});
        QVERIFY(launcher.waitForFinished(20000));
        QCOMPARE(launcher.readAllStandardError(), QByteArray());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(mark), 20000);
        QVERIFY2(elapsed.elapsed() >= 950, qPrintable(QString::number(elapsed.elapsed()))); // slept first
        QFile ran(mark);
        QVERIFY(ran.open(QIODevice::ReadOnly));
        const QStringList got = QString::fromUtf8(ran.readAll()).split(QLatin1Char('\n'));
        QCOMPARE(got.mid(0, 3),
                 (QStringList{QFileInfo(folder).canonicalFilePath(), program, QStringLiteral("0")}));

        // Without a delay: a new file renamed over the old one, no shell.
        const ino_t before = inode(entryPath);
        QVERIFY(create(QStringLiteral("Velmora"), program, folder, false, 0).ok);
        QVERIFY(inode(entryPath) != before);
        entry.close();
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QByteArray again = entry.readAll();
        QVERIFY(again.contains("\nX-Velmora-Delay=0\n") && again.contains("\nX-Author=TAVREL POLSKA SA\n"));
        QVERIFY(!again.contains("sleep"));
        QCOMPARE(QDir(autostart).entryList(QDir::Files | QDir::Hidden).size(), 1); // no temporary left

        for (int round = 0; round < 2; ++round) { // a missing entry is removed as well
            c = create(QStringLiteral("Velmora"), program, folder, true, 90);
            QVERIFY(c.ok && c.code == 0 && c.stage == 0);
            QVERIFY(!QFileInfo::exists(entryPath));
        }
    }

    // Every refusal with its code and stage and no file left; the folder
    // rules (XDG_CONFIG_HOME, HOME); system errors with their stage (a
    // folder that cannot be made: taskinstall's test).
    void refusalsAndFolders()
    {
        TestEnv env;
        const QString program = QStringLiteral("/usr/bin/velmora"), dir = QStringLiteral("/usr/bin");
        const QString autostart = env.root() + QStringLiteral("/config/autostart");
        const struct {
            QString name, program, workDir;
            int delay;
            int32_t code;
        } bad[] = {
            {QString(), program, dir, 5, ledmir::BadName},
            {QStringLiteral("a/b"), program, dir, 5, ledmir::BadName},
            {QStringLiteral("Vel\nmora"), program, dir, 5, ledmir::BadName},
            {QStringLiteral("Velmora"), QString(), dir, 5, ledmir::BadProgramPath},
            {QStringLiteral("Velmora"), QStringLiteral("bin/velmora"), dir, 5, ledmir::BadProgramPath},
            {QStringLiteral("Velmora"), program, QStringLiteral("usr/bin"), 5, ledmir::BadWorkDir},
            {QStringLiteral("Velmora"), program, dir, -1, ledmir::BadDelay},
            {QStringLiteral("a/b"), QString(), QString(), -1, ledmir::BadName}, // as a removal
        };
        for (const auto &b : bad) {
            const Call c = create(b.name, b.program, b.workDir, &b == &bad[7], b.delay);
            QVERIFY2(!c.ok && c.code == b.code && c.stage == ledmir::StageArguments, qPrintable(b.name));
        }
        // Removal checks the name only.
        QVERIFY(create(QStringLiteral("Velmora"), QString(), QString(), true, -1).ok);
        Call c; // a lone surrogate is no character
        c.ok = m_create(std::wstring(L"Vel") + wchar_t(0xD800), program.toStdWString(), L"", L"", false, 0,
                        &c.code, &c.stage);
        QVERIFY(!c.ok && c.code == ledmir::BadText && c.stage == ledmir::StageArguments);
        QVERIFY(QDir(autostart).entryList(QDir::Files | QDir::Hidden).isEmpty());

        // A relative XDG_CONFIG_HOME is ignored for HOME/.config; neither set: stage 2.
        const QByteArray savedHome = qgetenv("HOME");
        qputenv("XDG_CONFIG_HOME", "config");
        qputenv("HOME", QFile::encodeName(env.root() + QStringLiteral("/home")));
        const Call home = create(QStringLiteral("Velmora"), program, QString(), false, 0);
        qputenv("HOME", "");
        const Call none = create(QStringLiteral("Velmora"), program, QString(), false, 0);
        qputenv("HOME", savedHome);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(env.root() + QStringLiteral("/config")));
        QVERIFY(home.ok &&
                QFileInfo::exists(env.root() + QStringLiteral("/home/.config/autostart/Velmora.desktop")));
        QVERIFY(!none.ok && none.code == ledmir::NoConfigHome && none.stage == ledmir::StageFolder);

        // The entry's name taken by a folder with content: rename and removal
        // fail with the system's error; no temporary stays.
        QVERIFY(QDir().mkpath(autostart + QStringLiteral("/Velmora.desktop/inside")));
        for (bool remove : {false, true}) {
            c = create(QStringLiteral("Velmora"), program, QString(), remove, 0);
            QVERIFY(!c.ok && c.code == EISDIR && c.stage == ledmir::StageCommit);
        }
        QCOMPARE(QDir(autostart).entryList(QDir::Files | QDir::Hidden), QStringList());
        QVERIFY(QDir(autostart).removeRecursively());
        if (::geteuid() != 0) { // a folder the user may not write: no temporary file
            QVERIFY(QDir().mkpath(autostart));
            QVERIFY(QFile::setPermissions(autostart, QFile::ReadOwner | QFile::ExeOwner));
            c = create(QStringLiteral("Velmora"), program, QString(), false, 0);
            QFile::setPermissions(autostart, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QVERIFY(!c.ok && c.code == EACCES && c.stage == ledmir::StageWrite);
        }
    }
};

QTEST_GUILESS_MAIN(TestLedmir)
#include "tst_ledmir.moc"
