// Links of the point-of-sale ports into a Wine prefix made by the test: no Wine
// is needed to check what a Wine program would find in dosdevices.
#include "config/configurationfile.h"
#include "ports/winelinks.h"
#include "tests/support/logcapture.h"
#include "tests/support/testenv.h"
#include "ui/appsettingsdialog.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

namespace
{
TunnelSettings configuration(const QString &data, const QString &monitor, const QStringList &tunnels)
{
    TunnelSettings t;
    t.data_com = data;
    t.data_ip = data.isEmpty() ? QString() : QStringLiteral("192.168.1.50:6666");
    t.tm_com = monitor;
    t.tm_ip = monitor.isEmpty() ? QString() : QStringLiteral("192.168.1.50:6667");
    t.data_settings = t.tm_settings = QStringLiteral("9600,8,N,1,N");
    for (const QString &p : tunnels) {
        t.proxy_com << p;
        t.proxy_settings << QStringLiteral("9600,8,N,1,N");
        t.proxy_data << QStringLiteral("192.168.1.50:1100");
        t.proxy_ctrl << QStringLiteral("192.168.1.50:1101");
    }
    return t;
}

QStringList links(const QVector<WineLinks::Entry> &entries)
{
    QStringList names;
    for (const WineLinks::Entry &e : entries)
        names << e.link;
    names.sort();
    return names;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void touch(const QString &path)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("WINE REGISTRY Version 2\n");
}
} // namespace

class TestWineLinks : public QObject
{
    Q_OBJECT

private slots:
    void linksFollowTheConfigurations();
    void commandAndRefusedPrefixes();
    void settingRoundTripsThroughFileAndDialog();
};

void TestWineLinks::linksFollowTheConfigurations()
{
    QTemporaryDir root;
    const QString prefix = root.filePath(QStringLiteral("wine"));
    const QString ports = root.filePath(QStringLiteral("ports"));
    QVERIFY(QDir().mkpath(prefix) && QDir().mkpath(ports));
    touch(prefix + QStringLiteral("/system.reg"));
    const QString dos = prefix + QStringLiteral("/dosdevices/");
    const QString manifest = prefix + QLatin1Char('/') + QLatin1String(WineLinks::kManifestName);
    LogCapture log;

    // Two configurations: every channel, a port named twice, one in lower case, one Wine cannot see.
    QVector<TunnelSettings> two{configuration(QStringLiteral("COM5"), QStringLiteral("COM6"),
                                              {QStringLiteral("COM7"), QStringLiteral("ttyUSB0")}),
                                configuration(QStringLiteral("com12"), QString(),
                                              {QStringLiteral("COM5"), QStringLiteral("COM256")})};
    two[1].tm_com = QStringLiteral("COM40"); // a monitor port without its address is not kept in the file
    WineLinks wine(prefix, ports);
    WineLinks::Report r = wine.sync(two);
    QVERIFY2(r.ok(), qPrintable(r.text()));
    QCOMPARE(links(r.created), QStringList({"com12", "com256", "com5", "com6", "com7"}));
    QVERIFY(r.kept.isEmpty() && r.removed.isEmpty() && r.updated.isEmpty());
    QVERIFY(r.skipped.size() == 1 && r.skipped.at(0).port == QStringLiteral("ttyUSB0"));
    // Each to the port's own spelling, as its pair is named; dosdevices made for a prefix that had none.
    for (const QString &port : QStringList({"COM5", "COM6", "COM7", "com12", "COM256"}))
        QCOMPARE(QFile::symLinkTarget(dos + port.toLower()), ports + '/' + port);
    QVERIFY(!QFileInfo(dos + "com40").isSymLink());
    // A Wine program opening the link reaches the port's device once the driver published it.
    QVERIFY(QFile::link(prefix + "/system.reg", ports + "/COM5"));
    QCOMPARE(QFileInfo(dos + "com5").canonicalFilePath(),
             QFileInfo(prefix + "/system.reg").canonicalFilePath());
    QVERIFY(log.contains(QStringLiteral("Wine links in ") + prefix + QStringLiteral(" updated")));

    // The technician points com6 at a real port and makes com9 by hand; the first configuration goes,
    // the second gains COM9.
    QVERIFY(QFile::remove(dos + "com6") && QFile::link("/dev/ttyS3", dos + "com6"));
    QVERIFY(QFile::link("/dev/ttyUSB1", dos + "com9"));
    QVector<TunnelSettings> one{two.at(1)};
    one[0].proxy_com << QStringLiteral("COM9");
    r = wine.sync(one);
    QCOMPARE(links(r.kept), QStringList({"com12", "com256", "com5"}));
    QCOMPARE(links(r.removed), QStringList({"com7"}));
    QCOMPARE(links(r.refused), QStringList({"com9"}));
    QVERIFY(r.created.isEmpty() && r.updated.isEmpty() && !QFileInfo(dos + "com7").isSymLink());
    QCOMPARE(QFile::symLinkTarget(dos + "com6"),
             QStringLiteral("/dev/ttyS3")); // no longer ours: left, not removed
    QCOMPARE(QFile::symLinkTarget(dos + "com9"), QStringLiteral("/dev/ttyUSB1"));
    QVERIFY(r.text().contains(QStringLiteral("odmowa: com9 -> ") + ports + "/COM9"));
    QVERIFY(log.contains(QStringLiteral("with refusals")));
    const QByteArray listed = readAll(manifest);
    QVERIFY(listed.count('\n') == 3 && !listed.contains("com6") && !listed.contains("com7"));

    // A second run with nothing changed touches nothing, the list of links included.
    const QDateTime listedAt = QFileInfo(manifest).lastModified();
    QTest::qSleep(20);
    r = wine.sync(one);
    QVERIFY(!r.changed() && r.kept.size() == 3 && links(r.refused) == QStringList({"com9"}));
    QCOMPARE(readAll(manifest), listed);
    QCOMPARE(QFileInfo(manifest).lastModified(), listedAt);

    // The ports folder moved (another user, VELMORA_PORTS_DIR): our links follow, a hand-made one does not.
    QVERIFY(QFile::remove(dos + "com9"));
    const QString moved = root.filePath(QStringLiteral("ports2"));
    r = WineLinks(prefix, moved).sync(one);
    QCOMPARE(links(r.updated), QStringList({"com12", "com256", "com5"}));
    QCOMPARE(links(r.created), QStringList({"com9"}));
    QCOMPARE(QFile::symLinkTarget(dos + "com5"), moved + "/COM5");

    // No configuration left: every link of ours goes, and so does the list; the technician's stays.
    QVERIFY(QFile::link("/dev/ttyS0", dos + "com1"));
    r = WineLinks(prefix, moved).sync({});
    QCOMPARE(links(r.removed), QStringList({"com12", "com256", "com5", "com9"}));
    QVERIFY(r.ok());
    QCOMPARE(QDir(dos).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
             QStringList({"com1", "com6"}));
    QVERIFY(!QFileInfo::exists(manifest));

    // A file where a link should be is refused, never replaced.
    touch(dos + "com5");
    r = WineLinks(prefix, moved).sync(two);
    QCOMPARE(links(r.refused), QStringList({"com5", "com6"}));
    QCOMPARE(readAll(dos + "com5"), QByteArray("WINE REGISTRY Version 2\n"));
}

void TestWineLinks::commandAndRefusedPrefixes()
{
    TestEnv env;
    QTemporaryDir root;
    const QString prefix = root.filePath(QStringLiteral("wine"));
    QVERIFY(QDir().mkpath(prefix + QStringLiteral("/dosdevices"))); // a prefix without its registry yet
    const QString ini = root.filePath(QStringLiteral("configuration.ini"));
    {
        ConfigurationFile file(ini);
        QVERIFY(file.save({configuration(QStringLiteral("COM5"), QString(), {QStringLiteral("COM7")})}));
    }

    auto run = [&](const QString &pfx, const QString &path, QString *out, QString *err) {
        QTextStream o(out), e(err);
        return WineLinks::runCommand(pfx, path, o, e);
    };
    QString out, err;
    QVERIFY2(run(prefix, ini, &out, &err) == 0, qPrintable(err));
    QCOMPARE(out, QStringLiteral("Prefiks Wine: %1\nutworzono: com5 -> %2/COM5\nutworzono: com7 -> %2/COM7\n")
                      .arg(prefix, env.portsDir()));
    QVERIFY(err.isEmpty());

    QVERIFY(QFile::remove(prefix + "/dosdevices/com7") &&
            QFile::link("/dev/ttyS1", prefix + "/dosdevices/com7"));
    QCOMPARE(run(prefix, ini, &out, &err), 1);

    // Not a prefix (an empty folder, a file, a missing folder, none) or no configuration file: nothing done.
    const QString empty = root.filePath(QStringLiteral("documents"));
    QVERIFY(QDir().mkpath(empty));
    err.clear();
    QCOMPARE(run(empty, ini, &out, &err), 2);
    QVERIFY2(err.contains(QStringLiteral("nie jest prefiksem Wine")), qPrintable(err));
    for (const QString &bad : {ini, root.filePath("none"), QString()})
        QCOMPARE(run(bad, ini, &out, &err), 2);
    QCOMPARE(run(prefix, root.filePath("missing.ini"), &out, &err), 2);
    QVERIFY(err.contains(QStringLiteral("missing.ini")));
    QVERIFY(!WineLinks(empty).sync({configuration("COM5", {}, {})}).prefixError.isEmpty());
    QVERIFY(QDir(empty).isEmpty());
}

void TestWineLinks::settingRoundTripsThroughFileAndDialog()
{
    QTemporaryDir root;
    const QString ini = root.filePath(QStringLiteral("configuration.ini"));
    {
        QFile f(ini);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[aplikacja]\nautouruchamianie=0\nkluczinnejwersji=7\n\n[obcasekcja]\nx=1\n");
    }
    QVector<TunnelSettings> list;
    AppSettings app;
    app.wine_prefix = QStringLiteral("left over");
    ConfigurationFile file(ini);
    QCOMPARE(file.load(list, app, nullptr), 0);
    QVERIFY(app.wine_prefix.isEmpty() && !app.autorun); // a file without the key: no links

    // Polish letters (the file is Windows-1250), a space and a comma survive.
    app.wine_prefix = QStringLiteral("/home/kasa/Wine sklepu, łódź");
    QVERIFY(file.saveApp(app));
    const QByteArray bytes = readAll(ini);
    QVERIFY(bytes.contains("kluczinnejwersji=7") && bytes.contains("[obcasekcja]") &&
            bytes.contains("prefiksWine="));
    AppSettings back;
    QCOMPARE(file.load(list, back, nullptr), 0);
    QCOMPARE(back.wine_prefix, app.wine_prefix);

    LogCapture log;
    AppSettingsDialog dlg;
    dlg.setSettings(back);
    auto *edit = dlg.findChild<QLineEdit *>(QStringLiteral("m_winePrefix"));
    QVERIFY(edit && dlg.findChild<QPushButton *>(QStringLiteral("buttonWinePrefix")));
    QCOMPARE(edit->text(), app.wine_prefix);
    QVERIFY(dlg.settings() == app);
    // A folder that is no prefix is refused with the reason; an empty field turns the links off.
    dlg.findChild<QPushButton *>(QStringLiteral("buttonOk"))->click();
    QVERIFY(log.contains(QStringLiteral("Nieprawidłowy prefiks Wine")));
    QVERIFY(!log.contains(QStringLiteral("Czy zapisać ustawienia aplikacji?")));
    edit->setText(QStringLiteral("  "));
    QVERIFY(dlg.settings().wine_prefix.isEmpty());
    dlg.findChild<QPushButton *>(QStringLiteral("buttonOk"))->click();
    QVERIFY(log.contains(QStringLiteral("Czy zapisać ustawienia aplikacji?")));
}

QTEST_MAIN(TestWineLinks)
#include "tst_winelinks.moc"
