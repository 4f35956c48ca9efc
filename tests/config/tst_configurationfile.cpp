#include "config/configurationfile.h"
#include "log/debug_class.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

namespace
{
const char *const kExample = R"([General]
powiazania\1\autorestart=1
powiazania\1\autostart=1
powiazania\1\dane_com=COM10
powiazania\1\dane_com_ustawienia="115200,8,N,1,H/NO/NS"
powiazania\1\dane_ip=192.168.1.50:6666
powiazania\1\limitrestartow=0
powiazania\1\opis=Kasa 1
powiazania\1\opoznienierestartu=5
powiazania\1\powiazanie\1\port_com=COM11
powiazania\1\powiazanie\1\port_com_ustawienia="9600,8,N,1,N/NO/NS"
powiazania\1\powiazanie\1\port_dane=192.168.1.50:1100
powiazania\1\powiazanie\1\port_sterowanie=192.168.1.50:1101
powiazania\1\powiazanie\size=1
powiazania\1\tryb=0
powiazania\2\autorestart=0
powiazania\2\autostart=0
powiazania\2\limitrestartow=3
powiazania\2\opis=
powiazania\2\opoznienierestartu=10
powiazania\2\serial_lokalne_ip=10.0.0.1
powiazania\2\serial_port=COM3
powiazania\2\serial_port_ustawienia="115200,8,N,1,N"
powiazania\2\serial_zdalne_ip=10.0.0.2
powiazania\2\tryb=1
powiazania\size=2

[aplikacja]
autorestarty=1
autouruchamianie=1
opoznieniezadania=0
startujzminimalizowany=0
startwizard=0
startzsystemem=0
tylkowirtualne=1
)";
} // namespace

class TestConfigurationFile : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString path() const { return dir.filePath(QStringLiteral("configuration.ini")); }
    void writeFile(const QByteArray &bytes)
    {
        QFile::remove(path());
        QFile f(path());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QByteArray readFile(const QString &name)
    {
        QFile f(name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    int load(QVector<TunnelSettings> &list, AppSettings &app, QString *errors = nullptr)
    {
        return ConfigurationFile(path()).load(list, app, errors);
    }

private slots:
    void initTestCase() { CGlobalDebugFileHandler::instance()->setLevel(-1000); }
    void cleanup() { QFile::remove(path()), QFile::remove(path() + QStringLiteral(".bak")); }

    void exampleFileLoads()
    {
        writeFile(kExample);
        QVector<TunnelSettings> list;
        AppSettings app;
        QString errors;
        QCOMPARE(load(list, app, &errors), 0);
        QVERIFY(errors.isEmpty());
        QCOMPARE(list.size(), 2);
        const TunnelSettings &a = list.at(0);
        QCOMPARE(a.mode, int(TunnelSettings::DirectIP));
        QCOMPARE(a.autostart, 1);
        QCOMPARE(a.autorestart, 1);
        QCOMPARE(a.data_com, QStringLiteral("COM10"));
        QCOMPARE(a.data_settings, QStringLiteral("115200,8,N,1,H/NO/NS"));
        QCOMPARE(a.data_ip, QStringLiteral("192.168.1.50:6666"));
        QCOMPARE(a.tm_settings, QStringLiteral("9600,8,N,1,N/NO/NS"));
        QCOMPARE(a.description, QStringLiteral("Kasa 1"));
        QCOMPARE(a.proxy_com, QVector<QString>{QStringLiteral("COM11")});
        QCOMPARE(a.proxy_settings, QVector<QString>{QStringLiteral("9600,8,N,1,N/NO/NS")});
        QCOMPARE(a.proxy_data, QVector<QString>{QStringLiteral("192.168.1.50:1100")});
        QCOMPARE(a.proxy_ctrl, QVector<QString>{QStringLiteral("192.168.1.50:1101")});
        const TunnelSettings &b = list.at(1);
        QCOMPARE(b.mode, int(TunnelSettings::PPP));
        QCOMPARE(b.restart_limit, 3);
        QCOMPARE(b.restart_delay, 10);
        QCOMPARE(b.tunnel_com, QStringLiteral("COM3"));
        QCOMPARE(b.tunnel_settings, QStringLiteral("115200,8,N,1,N"));
        QCOMPARE(b.tunnel_localip, QStringLiteral("10.0.0.1"));
        QCOMPARE(b.tunnel_remoteip, QStringLiteral("10.0.0.2"));
        QVERIFY(b.description.isEmpty());
        QVERIFY(b.proxy_com.isEmpty());
        QVERIFY(app.autorun);
        QVERIFY(!app.restarts_blocked);
        QVERIFY(!app.start_wizard);
        QVERIFY(app.only_virtual);
        QVERIFY(a.uuid != b.uuid);
    }

    void missingFileGivesDefaults()
    {
        QVector<TunnelSettings> list;
        AppSettings app;
        app.autorun = false;
        app.start_wizard = false;
        QCOMPARE(load(list, app), 0);
        QVERIFY(list.isEmpty());
        QCOMPARE(app, AppSettings());
    }

    void roundTripEveryField()
    {
        QVector<TunnelSettings> out;
        TunnelSettings d;
        d.autostart = 1;
        d.autorestart = 1;
        d.restart_limit = 7;
        d.restart_delay = 33;
        d.data_com = QStringLiteral("COM10");
        d.data_settings = QStringLiteral("115200,8,E,2,H/LB/ST");
        d.data_ip = QStringLiteral("192.168.1.50:6666");
        d.tm_com = QStringLiteral("COM12");
        d.tm_settings = QStringLiteral("9600,7,O,1,S/NO/NS");
        d.tm_ip = QStringLiteral("192.168.1.50:7777");
        d.tunnel_settings =
            QStringLiteral("9600,8,N,1,N"); // not stored in direct mode: reads back as the default
        d.description = QStringLiteral("Zażółć gęślą jaźń; a=b, \"cytat\" \\ koniec");
        for (int i = 0; i < 3; ++i) {
            d.proxy_com << QStringLiteral("COM%1").arg(20 + i);
            d.proxy_settings << QStringLiteral("19200,8,N,1,N/NO/NS");
            d.proxy_data << QStringLiteral("192.168.1.50:%1").arg(1100 + 2 * i);
            d.proxy_ctrl << QStringLiteral("192.168.1.50:%1").arg(1101 + 2 * i);
        }
        TunnelSettings p;
        p.mode = TunnelSettings::PPP;
        p.tunnel_com = QStringLiteral("COM3");
        p.tunnel_settings = QStringLiteral("57600,8,N,1,N");
        p.tunnel_localip = QStringLiteral("10.0.0.1");
        p.tunnel_remoteip = QStringLiteral("10.0.0.2");
        p.data_com = QStringLiteral("COM5");
        p.data_settings = QStringLiteral("9600,8,N,1,N/NO/NS");
        p.data_ip = QStringLiteral("10.0.0.2:6666");
        p.tm_settings = QStringLiteral("9600,8,N,1,N/NO/NS"); // unused channel: reads back as the default
        p.description = QStringLiteral("ŁÓDŹ – drukarka");
        out << d << p;
        ConfigurationFile file(path());
        QVERIFY(file.save(out));
        AppSettings app;
        app.autorun = false;
        app.restarts_blocked = true;
        app.start_minimized = true;
        app.task_delay = 45;
        app.only_virtual = false;
        app.start_with_system = true;
        app.start_wizard = false;
        file.saveApp(app);

        // Polish letters are stored as Windows-1250 bytes.
        const QByteArray bytes = readFile(path());
        QVERIFY(bytes.contains(
            QTextCodec::codecForName("Windows-1250")->fromUnicode(QStringLiteral("Zażółć gęślą"))));
        QVERIFY(!bytes.contains(QStringLiteral("ż").toUtf8()));

        QVector<TunnelSettings> in;
        AppSettings appIn;
        QCOMPARE(file.load(in, appIn, nullptr), 0);
        QCOMPARE(in.size(), 2);
        for (int i = 0; i < 2; ++i) {
            QVERIFY2(in.at(i).sameStoredFields(out.at(i)),
                     qPrintable(in.at(i).dump() + "\n" + out.at(i).dump()));
            QVERIFY(in.at(i).uuid != out.at(i).uuid);
        }
        QCOMPARE(appIn, app);

        // Saving what was loaded changes nothing on disk.
        QVERIFY(file.save(in));
        QCOMPARE(readFile(path()), bytes);
    }

    void conditionalKeysAndNormalisation()
    {
        TunnelSettings t;
        t.data_com = QStringLiteral("COM10");     // no target: none of the dane keys is written
        t.tm_ip = QStringLiteral("1.2.3.4:7777"); // no port: none of the monitor keys either
        t.tunnel_com = QStringLiteral("COM3");    // direct mode: no serial keys
        QVERIFY(ConfigurationFile(path()).save({t}));
        {
            QSettings written(path(), QSettings::IniFormat);
            const QStringList keys = written.allKeys();
            QCOMPARE(keys.filter(QStringLiteral("dane_")), QStringList());
            QCOMPARE(keys.filter(QStringLiteral("monitor_")), QStringList());
            QCOMPARE(keys.filter(QStringLiteral("serial_")), QStringList());
            QCOMPARE(keys.filter(QStringLiteral("powiazanie")), QStringList());
            QVERIFY(written.contains(QStringLiteral("powiazania/1/opis")));
            QCOMPARE(written.value(QStringLiteral("powiazania/1/opis")).toString(), QString());
        }

        writeFile("[General]\npowiazania\\size=1\npowiazania\\1\\tryb=2\n"
                  "powiazania\\1\\serial_port=COM3\n"
                  "powiazania\\1\\serial_port_ustawienia=\"9600,8,N,1,N/LB/ST\"\n"
                  "powiazania\\1\\dane_com=COM10\npowiazania\\1\\dane_ip=10.0.0.2:6666\n"
                  "powiazania\\1\\dane_com_ustawienia=\"9600,8,N,1,N\"\n");
        QVector<TunnelSettings> list;
        AppSettings app;
        QCOMPARE(load(list, app), 0);
        QCOMPARE(list.size(), 1);
        QCOMPARE(list.at(0).mode, int(TunnelSettings::PPP));
        QCOMPARE(list.at(0).tunnel_settings, QStringLiteral("9600,8,N,1,N"));
        QCOMPARE(list.at(0).data_settings, QStringLiteral("9600,8,N,1,N/NO/NS"));
        QVERIFY(ConfigurationFile(path()).save(list));
        QSettings written(path(), QSettings::IniFormat);
        QCOMPARE(written.value(QStringLiteral("powiazania/1/tryb")).toString(), QStringLiteral("1"));
    }

    void rejectedConfigurationsAreCollected()
    {
        writeFile(QByteArray(kExample)
                      .replace("powiazania\\1\\powiazanie\\1\\port_sterowanie=192.168.1.50:1101\n", "")
                      .replace("powiazania\\2\\serial_port=COM3\n", ""));
        QVector<TunnelSettings> list;
        AppSettings app;
        QString errors;
        QCOMPARE(load(list, app, &errors), 2);
        QVERIFY(list.isEmpty());
        QCOMPARE(errors, QStringLiteral("Nieprawidłowe określenie celu IP:  (kanał sygnalizacji) dla tunelu 1"
                                        "| Nie ustawiony port szeregowy dla tunelu PPP"));

        writeFile(QByteArray(kExample).replace("powiazania\\2\\serial_port=COM3\n", ""));
        list.clear();
        QCOMPARE(load(list, app, nullptr), 1);
        QCOMPARE(list.size(), 1);
        QCOMPARE(list.at(0).data_com, QStringLiteral("COM10"));
    }

    void savesKeepTheOtherSection()
    {
        writeFile(kExample);
        QVector<TunnelSettings> list;
        AppSettings app;
        load(list, app);
        list.removeFirst();
        ConfigurationFile file(path());
        QVERIFY(file.save(list));
        QByteArray text = readFile(path());
        {
            QSettings written(path(), QSettings::IniFormat);
            written.allKeys();
            QCOMPARE(written.value(QStringLiteral("powiazania/size")).toInt(), 1);
            QVERIFY(!written.contains(QStringLiteral("powiazania/2/tryb")));
        }
        QVERIFY(!text.contains("COM10"));
        QVERIFY(text.contains("startwizard=0"));
        // The backup holds what was there before the save.
        QCOMPARE(readFile(path() + QStringLiteral(".bak")), QByteArray(kExample));

        app.start_wizard = true;
        file.saveApp(app);
        text = readFile(path());
        QVERIFY(text.contains("startwizard=1"));
        QVERIFY(text.contains("serial_port=COM3"));
    }

    void declaredElementsThatAreMissing()
    {
        // Tunnel 2 of configuration 1 and the whole of configuration 2 are declared but absent.
        writeFile("[General]\npowiazania\\size=3\n"
                  "powiazania\\1\\tryb=0\n"
                  "powiazania\\1\\powiazanie\\size=2\n"
                  "powiazania\\1\\powiazanie\\1\\port_com=COM11\n"
                  "powiazania\\1\\powiazanie\\1\\port_dane=10.0.0.2:1100\n"
                  "powiazania\\1\\powiazanie\\1\\port_sterowanie=10.0.0.2:1101\n"
                  "powiazania\\3\\tryb=0\npowiazania\\3\\opis=trzecia\n"
                  "[aplikacja]\nopoznieniezadania=-30\n");
        QVector<TunnelSettings> list;
        AppSettings app;
        QString errors;
        QCOMPARE(load(list, app, &errors), 2);
        QCOMPARE(list.size(), 1);
        QCOMPARE(list.at(0).description, QStringLiteral("trzecia"));
        QCOMPARE(
            errors,
            QStringLiteral(
                " Nie ustawiony port szeregowy dla tunelu numer 2"
                "| Brak danych 1 z 3 zadeklarowanych konfiguracji"
                "| Nieprawidłowe opóźnienie uruchomienia zadania: -30 s (dozwolone od 0 do 86400 s), przyjęto 0"));
        QCOMPARE(app.task_delay, 0);
    }

    void failedWriteIsReported()
    {
        // A file cannot live under /dev/null: the settings library reports an access error.
        ConfigurationFile file(QStringLiteral("/dev/null/configuration.ini"));
        QVERIFY(!file.save({TunnelSettings()}));
    }

    void damagedFiles_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("valid");
        QByteArray garbage(64 * 1024, 0);
        QRandomGenerator rng(1234);
        for (char &c : garbage)
            c = char(rng.bounded(256));
        QTest::newRow("empty") << QByteArray() << 0;
        QTest::newRow("binary garbage") << garbage << 0;
        QTest::newRow("garbage after valid") << QByteArray(kExample) + garbage << 2;
        QTest::newRow("truncated") << QByteArray(kExample).left(
                                          QByteArray(kExample).indexOf("powiazania\\1\\tryb"))
                                   << 0;
        QTest::newRow("absurd size") << QByteArray(kExample).replace("powiazania\\size=2",
                                                                     "powiazania\\size=2000000000")
                                     << 2;
        QTest::newRow("absurd nested size")
            // (a size of its own: the settings library caches a file of the same size and time)
            << QByteArray(kExample).replace("powiazanie\\size=1", "powiazanie\\size=200000000")
            << 1; // its tunnels 2 and on are missing
        QTest::newRow("negative size")
            << QByteArray(kExample).replace("powiazania\\size=2", "powiazania\\size=-5") << 0;
        QTest::newRow("wrong types") << QByteArray(kExample)
                                            .replace("powiazania\\2\\opoznienierestartu=10",
                                                     "powiazania\\2\\opoznienierestartu=@ByteArray(\\0\\x1)")
                                            .replace("powiazania\\2\\tryb=1", "powiazania\\2\\tryb=abc")
                                            .replace("autorestarty=1", "autorestarty=yes")
                                     << 2; // tryb falls back to direct mode; the delay to its default
        QTest::newRow("very long value")
            << QByteArray(kExample).replace("opis=Kasa 1", "opis=" + QByteArray(4 * 1024 * 1024, 'x')) << 2;
        QTest::newRow("many elements declared and present") << [] {
            QByteArray b = "[General]\npowiazania\\size=5000\n";
            for (int i = 1; i <= 5000; ++i)
                b += "powiazania\\" + QByteArray::number(i) + "\\tryb=0\n";
            return b;
        }() << ConfigurationFile::kMaxConfigurations;
    }
    void damagedFiles()
    {
        QFETCH(QByteArray, content);
        writeFile(content);
        QVector<TunnelSettings> list;
        AppSettings app;
        QElapsedTimer timer;
        timer.start();
        load(list, app);
        QVERIFY2(timer.elapsed() < 20000, "reading a damaged file must not hang");
        QTEST(int(list.size()), "valid");
        for (const TunnelSettings &t : list) {
            TunnelSettings copy = t;
            QVERIFY(copy.validate());
        }
    }

    void wrongTypeFallsBackToDefaults()
    {
        writeFile("[General]\npowiazania\\size=1\npowiazania\\1\\opoznienierestartu=soon\n"
                  "powiazania\\1\\autostart=1\n[aplikacja]\nautouruchamianie=maybe\ntylkowirtualne=0\n");
        QVector<TunnelSettings> list;
        AppSettings app;
        QCOMPARE(load(list, app), 0);
        QCOMPARE(list.size(), 1);
        QCOMPARE(list.at(0).restart_delay, 5);
        QCOMPARE(list.at(0).autostart, 1);
        QVERIFY(app.autorun);
        QVERIFY(!app.only_virtual);
    }
};

QTEST_GUILESS_MAIN(TestConfigurationFile)
#include "tst_configurationfile.moc"
