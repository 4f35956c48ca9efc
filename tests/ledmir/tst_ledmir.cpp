// The start-with-system bridge through its exported function, as the
// programs load it: the autostart entry it writes is read back with GLib's
// own key-file and shell-word parsers (what GNOME and most launchers use)
// and its command is run for real.
#include "ledmir/ledmir.h"
#include "tests/support/testenv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The few GLib calls used, resolved at run time (no GLib headers needed).
struct GLib {
    void *handle = nullptr;
    void *(*keyFileNew)() = nullptr;
    int (*keyFileLoad)(void *, const char *, int, void **) = nullptr;
    char *(*keyFileGetString)(void *, const char *, const char *, void **) = nullptr;
    void (*keyFileFree)(void *) = nullptr;
    int (*shellParseArgv)(const char *, int *, char ***, void **) = nullptr;
    void (*strfreev)(char **) = nullptr;
    void (*gfree)(void *) = nullptr;
    void (*errorFree)(void *) = nullptr;

    bool load()
    {
        handle = ::dlopen("libglib-2.0.so.0", RTLD_NOW);
        if (!handle)
            return false;
        keyFileNew = reinterpret_cast<decltype(keyFileNew)>(::dlsym(handle, "g_key_file_new"));
        keyFileLoad = reinterpret_cast<decltype(keyFileLoad)>(::dlsym(handle, "g_key_file_load_from_file"));
        keyFileGetString =
            reinterpret_cast<decltype(keyFileGetString)>(::dlsym(handle, "g_key_file_get_string"));
        keyFileFree = reinterpret_cast<decltype(keyFileFree)>(::dlsym(handle, "g_key_file_free"));
        shellParseArgv = reinterpret_cast<decltype(shellParseArgv)>(::dlsym(handle, "g_shell_parse_argv"));
        strfreev = reinterpret_cast<decltype(strfreev)>(::dlsym(handle, "g_strfreev"));
        gfree = reinterpret_cast<decltype(gfree)>(::dlsym(handle, "g_free"));
        errorFree = reinterpret_cast<decltype(errorFree)>(::dlsym(handle, "g_error_free"));
        return keyFileNew && keyFileLoad && keyFileGetString && keyFileFree && shellParseArgv && strfreev &&
               gfree && errorFree;
    }
};

// One desktop entry as a launcher sees it: the [Desktop Entry] string values
// unescaped, and the Exec line split into words with the field code %%
// turned into a literal percent sign. ok false: the file does not parse.
struct ParsedEntry {
    bool ok = false;
    QMap<QString, QString> values; // key -> value; absent keys are missing
    QStringList argv;
};

ParsedEntry parseEntry(GLib &glib, const QString &path)
{
    ParsedEntry parsed;
    // GLib takes unknown escapes as they are; the format allows only these
    // (a quoted Exec argument's own backslashes are escaped once more).
    QFile raw(path);
    if (!raw.open(QIODevice::ReadOnly))
        return parsed;
    const QByteArray text = raw.readAll();
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) != '\\')
            continue;
        if (i + 1 >= text.size() || !QByteArray("sntr\\").contains(text.at(i + 1)))
            return parsed;
        ++i;
    }
    void *file = glib.keyFileNew();
    void *error = nullptr;
    if (!glib.keyFileLoad(file, QFile::encodeName(path).constData(), 0, &error)) {
        glib.errorFree(error);
        glib.keyFileFree(file);
        return parsed;
    }
    for (const char *key : {"Type", "Name", "Exec", "Path", "X-Author", "Terminal", "X-Velmora-Delay",
                            "X-GNOME-Autostart-Delay"}) {
        char *value = glib.keyFileGetString(file, "Desktop Entry", key, &error);
        if (value) {
            parsed.values.insert(QLatin1String(key), QString::fromUtf8(value));
            glib.gfree(value);
        } else {
            glib.errorFree(error);
            error = nullptr;
        }
    }
    glib.keyFileFree(file);
    int argc = 0;
    char **argv = nullptr;
    const QByteArray exec = parsed.values.value(QStringLiteral("Exec")).toUtf8();
    if (!glib.shellParseArgv(exec.constData(), &argc, &argv, &error)) {
        glib.errorFree(error);
        return parsed;
    }
    for (int i = 0; i < argc; ++i)
        parsed.argv << QString::fromUtf8(argv[i]).replace(QStringLiteral("%%"), QStringLiteral("%"));
    glib.strfreev(argv);
    parsed.ok = true;
    return parsed;
}

struct Call {
    bool ok = false;
    int32_t code = -1;
    int32_t stage = -1;
};

} // namespace

class TestLedmir : public QObject
{
    Q_OBJECT

private:
    CreateTaskDefinitionFn m_create = nullptr;
    GLib m_glib;

    Call create(const QString &name, const QString &program, const QString &workDir, bool remove, int delay,
                const QString &author = QStringLiteral("TAVREL POLSKA SA"))
    {
        Call c;
        c.ok = m_create(name.toStdWString(), program.toStdWString(), workDir.toStdWString(),
                        author.toStdWString(), remove, delay, &c.code, &c.stage);
        return c;
    }

private slots:
    void initTestCase()
    {
        const QByteArray path = QFile::encodeName(TestEnv::binary(QStringLiteral("libledmir.so")));
        void *library = ::dlopen(path.constData(), RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(library, ::dlerror());
        m_create = reinterpret_cast<CreateTaskDefinitionFn>(::dlsym(library, ledmir::kCreateTaskDefinition));
        QVERIFY(m_create);
        if (!m_glib.load())
            QSKIP("GLib (libglib-2.0.so.0) is not installed: no independent desktop entry parser");
    }

    // Register with a delay, run what the entry says, register again,
    // remove twice; the program lives in a folder whose name needs every
    // kind of quoting the Exec key has.
    void registerRunReplaceRemove()
    {
        TestEnv env;
        const QString folder = env.root() + QStringLiteral("/Pro gram \"q\" $HOME `x` 100% \\b\\ ;&");
        QVERIFY(QDir().mkpath(folder));
        const QString program = folder + QStringLiteral("/velmora");
        const QString mark = env.root() + QStringLiteral("/ran");
        {
            QFile script(program);
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write("#!/bin/sh\npwd -P > \"$VELMORA_TEST_MARK\"\nprintf '%s\\n' \"$0\" \"$#\" >> "
                         "\"$VELMORA_TEST_MARK\"\n");
        }
        QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        const QString autostart = env.root() + QStringLiteral("/config/autostart");
        QVERIFY(QDir(autostart).removeRecursively()); // the bridge creates it
        const QString entryPath = autostart + QStringLiteral("/Velmora.desktop");
        const QString author = QStringLiteral("TAVREL POLSKA SA \u0141\u00f3d\u017a"); // non-ASCII as UTF-8
        Call c = create(QStringLiteral("Velmora"), program, folder, false, 1, author);
        QVERIFY(c.ok);
        QCOMPARE(c.code, 0);
        QCOMPARE(c.stage, 0);
        QCOMPARE(QDir(autostart).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("Velmora.desktop")});
        QCOMPARE(QFileInfo(autostart).permissions() & (QFile::ReadOther | QFile::WriteOther), 0);
        QVERIFY(QFileInfo(entryPath).permissions() & QFile::ReadOther);

        ParsedEntry entry = parseEntry(m_glib, entryPath);
        QVERIFY2(entry.ok, qPrintable(entryPath));
        QCOMPARE(entry.values.value(QStringLiteral("Type")), QStringLiteral("Application"));
        QCOMPARE(entry.values.value(QStringLiteral("Name")), QStringLiteral("Velmora"));
        QCOMPARE(entry.values.value(QStringLiteral("Path")), folder);
        QCOMPARE(entry.values.value(QStringLiteral("X-Author")), author);
        QCOMPARE(entry.values.value(QStringLiteral("Terminal")), QStringLiteral("false"));
        QCOMPARE(entry.values.value(QStringLiteral("X-Velmora-Delay")), QStringLiteral("1"));
        QVERIFY(
            !entry.values.contains(QStringLiteral("X-GNOME-Autostart-Delay"))); // the sleep is the one delay
        QVERIFY2(entry.argv.size() >= 2, qPrintable(entry.argv.join(QLatin1Char('|'))));

        // Run it as a launcher would: in Path, with the words of Exec.
        QProcess launcher;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VELMORA_TEST_MARK"), mark);
        launcher.setProcessEnvironment(environment);
        launcher.setWorkingDirectory(entry.values.value(QStringLiteral("Path")));
        QElapsedTimer elapsed;
        elapsed.start();
        launcher.start(entry.argv.first(), entry.argv.mid(1));
        QVERIFY(launcher.waitForFinished(20000));
        QCOMPARE(launcher.exitCode(), 0);
        QVERIFY2(elapsed.elapsed() >= 950, qPrintable(QString::number(elapsed.elapsed()))); // slept first
        QFile ran(mark);
        QVERIFY(ran.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(ran.readAll()).split(QLatin1Char('\n'));
        QCOMPARE(lines.value(0), QFileInfo(folder).canonicalFilePath()); // started in the working folder
        QCOMPARE(lines.value(1), program);                               // the program itself, not a shell
        QCOMPARE(lines.value(2), QStringLiteral("0"));                   // with no arguments

        // Again, without a delay: replaced whole, the program started directly.
        struct stat before;
        QCOMPARE(::stat(QFile::encodeName(entryPath).constData(), &before), 0);
        c = create(QStringLiteral("Velmora"), program, folder, false, 0);
        QVERIFY(c.ok);
        struct stat after;
        QCOMPARE(::stat(QFile::encodeName(entryPath).constData(), &after), 0);
        QVERIFY(before.st_ino != after.st_ino); // a new file renamed over the old one
        entry = parseEntry(m_glib, entryPath);
        QVERIFY(entry.ok);
        QCOMPARE(entry.argv, QStringList{program});
        QCOMPARE(entry.values.value(QStringLiteral("X-Velmora-Delay")), QStringLiteral("0"));
        QCOMPARE(entry.values.value(QStringLiteral("X-Author")), QStringLiteral("TAVREL POLSKA SA"));
        QCOMPARE(QDir(autostart).entryList(QDir::Files | QDir::Hidden).size(), 1); // no temporary left

        // Remove: gone; remove again: still a success.
        for (int round = 0; round < 2; ++round) {
            c = create(QStringLiteral("Velmora"), program, folder, true, 90);
            QVERIFY(c.ok);
            QCOMPARE(c.code, 0);
            QCOMPARE(c.stage, 0);
            QVERIFY(!QFileInfo::exists(entryPath));
        }
    }

    // Every refusal: false, its code and stage, and no file left behind;
    // then the folder rules (XDG_CONFIG_HOME, HOME) and system errors.
    void refusalsAndFolders()
    {
        TestEnv env;
        const QString program = QStringLiteral("/usr/bin/velmora");
        const QString autostart = env.root() + QStringLiteral("/config/autostart");
        const struct {
            QString name, program, workDir;
            int delay;
            int32_t code;
        } bad[] = {
            {QString(), program, QStringLiteral("/usr/bin"), 5, ledmir::BadName},
            {QStringLiteral("a/b"), program, QStringLiteral("/usr/bin"), 5, ledmir::BadName},
            {QStringLiteral(".."), program, QStringLiteral("/usr/bin"), 5, ledmir::BadName},
            {QStringLiteral("Vel\nmora"), program, QStringLiteral("/usr/bin"), 5, ledmir::BadName},
            {QStringLiteral("Velmora"), QString(), QStringLiteral("/usr/bin"), 5, ledmir::BadProgramPath},
            {QStringLiteral("Velmora"), QStringLiteral("bin/velmora"), QStringLiteral("/usr/bin"), 5,
             ledmir::BadProgramPath},
            {QStringLiteral("Velmora"), program, QStringLiteral("usr/bin"), 5, ledmir::BadWorkDir},
            {QStringLiteral("Velmora"), program, QStringLiteral("/usr/bin"), -1, ledmir::BadDelay},
        };
        for (const auto &b : bad) {
            const Call c = create(b.name, b.program, b.workDir, false, b.delay);
            QVERIFY2(!c.ok, qPrintable(b.name + QLatin1Char(' ') + b.program));
            QCOMPARE(c.code, b.code);
            QCOMPARE(c.stage, int32_t(ledmir::StageArguments));
        }
        // A lone surrogate is no character.
        std::wstring broken = L"Velmora";
        broken += wchar_t(0xD800);
        Call c;
        c.ok = m_create(broken, program.toStdWString(), L"", L"", false, 0, &c.code, &c.stage);
        QVERIFY(!c.ok);
        QCOMPARE(c.code, int32_t(ledmir::BadText));
        QCOMPARE(c.stage, int32_t(ledmir::StageArguments));
        // Remove checks the name only.
        c = create(QStringLiteral("a/b"), QString(), QString(), true, -1);
        QCOMPARE(c.code, int32_t(ledmir::BadName));
        QVERIFY(create(QStringLiteral("Velmora"), QString(), QString(), true, -1).ok);
        QVERIFY(QDir(autostart).entryList(QDir::Files | QDir::Hidden).isEmpty());

        // A relative XDG_CONFIG_HOME is ignored for HOME/.config; neither: stage 2.
        const QByteArray savedHome = qgetenv("HOME");
        qputenv("XDG_CONFIG_HOME", "config");
        qputenv("HOME", QFile::encodeName(env.root() + QStringLiteral("/home")));
        c = create(QStringLiteral("Velmora"), program, QString(), false, 0);
        const bool homeUsed =
            QFileInfo::exists(env.root() + QStringLiteral("/home/.config/autostart/Velmora.desktop"));
        qputenv("HOME", "");
        const Call none = create(QStringLiteral("Velmora"), program, QString(), false, 0);
        qputenv("HOME", savedHome);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(env.root() + QStringLiteral("/config")));
        QVERIFY(c.ok);
        QVERIFY(homeUsed);
        QVERIFY(!none.ok);
        QCOMPARE(none.code, int32_t(ledmir::NoConfigHome));
        QCOMPARE(none.stage, int32_t(ledmir::StageFolder));

        // The config folder is a file: the folder cannot be made.
        QFile blocker(env.root() + QStringLiteral("/file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(blocker.fileName()));
        c = create(QStringLiteral("Velmora"), program, QString(), false, 0);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(env.root() + QStringLiteral("/config")));
        QVERIFY(!c.ok);
        QCOMPARE(c.code, int32_t(ENOTDIR));
        QCOMPARE(c.stage, int32_t(ledmir::StageFolder));

        // The entry's name is taken by a folder with content: the rename and
        // the removal fail with the system's error, the folder stays.
        QVERIFY(QDir().mkpath(autostart + QStringLiteral("/Velmora.desktop/inside")));
        c = create(QStringLiteral("Velmora"), program, QString(), false, 0);
        QVERIFY(!c.ok);
        QCOMPARE(c.code, int32_t(EISDIR));
        QCOMPARE(c.stage, int32_t(ledmir::StageCommit));
        QCOMPARE(QDir(autostart).entryList(QDir::Files | QDir::Hidden), QStringList()); // temporary gone
        c = create(QStringLiteral("Velmora"), program, QString(), true, 0);
        QVERIFY(!c.ok);
        QCOMPARE(c.code, int32_t(EISDIR));
        QCOMPARE(c.stage, int32_t(ledmir::StageCommit));
        QVERIFY(QDir(autostart).removeRecursively());

        // A folder the user may not write: the temporary cannot be made.
        if (::geteuid() != 0) {
            QVERIFY(QDir().mkpath(autostart));
            QVERIFY(QFile::setPermissions(autostart, QFile::ReadOwner | QFile::ExeOwner));
            c = create(QStringLiteral("Velmora"), program, QString(), false, 0);
            QFile::setPermissions(autostart, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QVERIFY(!c.ok);
            QCOMPARE(c.code, int32_t(EACCES));
            QCOMPARE(c.stage, int32_t(ledmir::StageWrite));
        }
    }
};

QTEST_GUILESS_MAIN(TestLedmir)
#include "tst_ledmir.moc"
