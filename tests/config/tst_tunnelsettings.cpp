#include "config/tunnelsettings.h"

#include <QtTest>
#include <functional>

namespace
{
TunnelSettings directWithTunnels(int count)
{
    TunnelSettings t;
    for (int i = 0; i < count; ++i) {
        t.proxy_com << QStringLiteral("COM%1").arg(11 + i);
        t.proxy_settings << QStringLiteral("9600,8,N,1,N/NO/NS");
        t.proxy_data << QStringLiteral("192.168.1.50:%1").arg(1100 + 2 * i);
        t.proxy_ctrl << QStringLiteral("192.168.1.50:%1").arg(1101 + 2 * i);
    }
    return t;
}
} // namespace

using Mutator = std::function<void(TunnelSettings &)>;
Q_DECLARE_METATYPE(Mutator)

class TestTunnelSettings : public QObject
{
    Q_OBJECT
private slots:
    void targets_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::newRow("ok") << "192.168.0.10:6666" << true << ""
                            << "192.168.0.10" << 6666;
        QTest::newRow("no colon") << "10.0.0.1" << false << "Nieprawidłowe określenie celu IP: 10.0.0.1"
                                  << "10.0.0.1" << 0;
        QTest::newRow("empty port") << "10.0.0.1:" << false << "Nieprawidłowy port IP: "
                                    << "10.0.0.1" << 0;
        QTest::newRow("port 65536") << "10.0.0.1:65536" << false << "Nieprawidłowy port IP: 65536"
                                    << "10.0.0.1" << 0;
        QTest::newRow("port 0") << "10.0.0.1:0" << false << "Nieprawidłowy port IP: 0"
                                << "10.0.0.1" << 0;
        QTest::newRow("port 65535") << "10.0.0.1:65535" << true << ""
                                    << "10.0.0.1" << 65535;
        QTest::newRow("two colons") << "10.0.0.1:80:81" << false
                                    << "Nieprawidłowe określenie celu IP: 10.0.0.1:80:81"
                                    << "10.0.0.1" << 0;
        QTest::newRow("bad address") << "abc:80" << false << "Nieprawidłowy adres IP: abc"
                                     << "" << 80;
        QTest::newRow("empty") << "" << false << "Nieprawidłowe określenie celu IP: "
                               << "" << 0;
    }
    void targets()
    {
        QFETCH(QString, target);
        QFETCH(bool, valid);
        QFETCH(QString, host);
        TunnelSettings t;
        t.validation_error = QStringLiteral("stale");
        QCOMPARE(t.checkIPTarget(target), valid);
        if (!valid)
            QTEST(t.validation_error, "message");
        QCOMPARE(TunnelSettings::hostFromTarget(target).toString(), host);
        QTEST(TunnelSettings::portFromTarget(target), "port");
    }

    void validate_data()
    {
        QTest::addColumn<Mutator>("change");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty direct record is valid") << Mutator([](TunnelSettings &) {}) << "";
        QTest::newRow("ppp without port wins over other faults") << Mutator([](TunnelSettings &t) {
            t.mode = TunnelSettings::PPP;
            t.data_com = QStringLiteral("COM1");
            t.data_ip = QStringLiteral("garbage");
        }) << "Nie ustawiony port szeregowy dla tunelu PPP";
        QTest::newRow("ppp bad port settings") << Mutator([](TunnelSettings &t) {
            t.mode = TunnelSettings::PPP;
            t.tunnel_com = QStringLiteral("COM3");
            t.tunnel_settings = QStringLiteral("9600,8,N,1");
        }) << " Nieprawidłowe ustawienia portu COM dla tunelu PPP";
        QTest::newRow("any non-zero mode is ppp") << Mutator([](TunnelSettings &t) { t.mode = 7; })
                                                  << "Nie ustawiony port szeregowy dla tunelu PPP";
        QTest::newRow("pc interface target") << Mutator([](TunnelSettings &t) {
            t.data_com = QStringLiteral("COM10");
            t.data_ip = QStringLiteral("1.2.3.4");
        }) << "Nieprawidłowe określenie celu IP: 1.2.3.4";
        QTest::newRow("pc interface settings") << Mutator([](TunnelSettings &t) {
            t.data_com = QStringLiteral("COM10");
            t.data_ip = QStringLiteral("1.2.3.4:6666");
            t.data_settings = QStringLiteral("9600,9,N,1,N");
        }) << " Nieprawidłowe ustawienia portu COM dla interfejsu PC";
        QTest::newRow("unused pc interface is not checked")
            << Mutator([](TunnelSettings &t) { t.data_ip = QStringLiteral("junk"); }) << "";
        QTest::newRow("monitor settings") << Mutator([](TunnelSettings &t) {
            t.tm_com = QStringLiteral("COM12");
            t.tm_ip = QStringLiteral("1.2.3.4:7777");
            t.tm_settings = QStringLiteral("x");
        }) << " Nieprawidłowe ustawienia portu COM dla monitora transakcji";
        QTest::newRow("list counts before tunnels") << Mutator([](TunnelSettings &t) {
            t = directWithTunnels(3);
            t.proxy_ctrl.removeLast();
            t.proxy_com[0].clear();
        }) << " Nieprawidłowa ilość parametrów dla tuneli COM";
        QTest::newRow("tunnel without port") << Mutator([](TunnelSettings &t) {
            t = directWithTunnels(2);
            t.proxy_com[1].clear();
        }) << " Nie ustawiony port szeregowy dla tunelu numer 2";
        QTest::newRow("tunnel data port 0") << Mutator([](TunnelSettings &t) {
            t = directWithTunnels(2);
            t.proxy_data[1] = QStringLiteral("192.168.1.50:0");
        }) << "Nieprawidłowy port IP: 0 (kanał danych) dla tunelu 2";
        QTest::newRow("tunnel missing control") << Mutator([](TunnelSettings &t) {
            t = directWithTunnels(1);
            t.proxy_ctrl[0].clear();
        }) << "Nieprawidłowe określenie celu IP:  (kanał sygnalizacji) dla tunelu 1";
        QTest::newRow("tunnel settings") << Mutator([](TunnelSettings &t) {
            t = directWithTunnels(2);
            t.proxy_settings[0] = QStringLiteral("9600,8,X,1,N");
        }) << " Nieprawidłowe ustawienia portu COM dla tunelu 1";
        QTest::newRow("settings list shorter than ports") << Mutator([](TunnelSettings &t) {
            t = directWithTunnels(2);
            t.proxy_settings.removeLast();
        }) << " Nieprawidłowe ustawienia portu COM dla tunelu 2";
    }
    void validate()
    {
        QFETCH(Mutator, change);
        QFETCH(QString, message);
        TunnelSettings t;
        change(t);
        QCOMPARE(t.validate(), message.isEmpty());
        QCOMPARE(t.validation_error, message);
    }

    void portNamesAndDelays()
    {
        // A port name must never map outside the device folders: checked on every channel.
        for (const char *name :
             {"../../../../etc/passwd", "/etc/passwd", "/dev/../etc/passwd", "..", "dev/x"}) {
            TunnelSettings ppp;
            ppp.mode = TunnelSettings::PPP;
            ppp.tunnel_com = QString::fromLatin1(name);
            QVERIFY2(!ppp.validate() &&
                         ppp.validation_error.startsWith(
                             QStringLiteral("Nieprawidłowa nazwa portu szeregowego '%1' (tunel PPP)")
                                 .arg(ppp.tunnel_com)),
                     qPrintable(ppp.validation_error));
            TunnelSettings t = directWithTunnels(2);
            t.proxy_com[1] = QString::fromLatin1(name);
            QVERIFY(!t.validate() && t.validation_error.contains(QStringLiteral("(tunel 2)")));
        }
        for (const char *name : {"COM5", "ttyUSB0", "/dev/null", "/dev/serial/by-id/unplugged"}) {
            TunnelSettings t = directWithTunnels(1);
            t.data_com = t.tm_com = t.proxy_com[0] = QString::fromLatin1(name);
            t.data_ip = t.tm_ip = QStringLiteral("10.0.0.2:6666");
            t.data_settings = t.tm_settings = t.proxy_settings[0];
            QVERIFY2(t.validate(), qPrintable(t.validation_error));
        }
        // Restart delays from none to one day.
        TunnelSettings t;
        for (int delay : {0, 86400})
            QVERIFY((t.restart_delay = delay, t.validate()));
        for (int delay : {-1, 86401}) {
            t.restart_delay = delay;
            QVERIFY(!t.validate());
            QCOMPARE(t.validation_error,
                     QStringLiteral("Nieprawidłowe opóźnienie restartu: %1 s (dozwolone od 0 do 86400 s)")
                         .arg(delay));
        }
    }

    void deviceAddressOrder()
    {
        TunnelSettings t = directWithTunnels(2);
        t.proxy_data[0] = QStringLiteral("nonsense:1");
        QCOMPARE(t.deviceAddress(), QHostAddress(QStringLiteral("192.168.1.50")));
        t.tm_ip = QStringLiteral("10.0.0.5:7777");
        QCOMPARE(t.deviceAddress(), QHostAddress(QStringLiteral("10.0.0.5")));
        t.data_ip = QStringLiteral("10.0.0.6:6666");
        QCOMPARE(t.deviceAddress(), QHostAddress(QStringLiteral("10.0.0.6")));
        t.tunnel_remoteip = QStringLiteral("10.0.0.2");
        QCOMPARE(t.deviceAddress(), QHostAddress(QStringLiteral("10.0.0.2")));
        QVERIFY(TunnelSettings().deviceAddress().isNull());
    }

    void stateNames()
    {
        const QStringList feminine = {"Zatrzymana", "Uruchamianie", "Uruchomiona", "Zatrzymywanie",
                                      "Zatrzymana-Błąd"};
        const QStringList masculine = {"Zatrzymany", "Uruchamianie", "Uruchomiony", "Zatrzymywanie",
                                       "Zatrzymany-Błąd"};
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(TunnelSettings::stateName(i, false), feminine.at(i));
            QCOMPARE(TunnelSettings::stateName(i, true), masculine.at(i));
        }
        QCOMPARE(TunnelSettings::stateName(7), QStringLiteral("Nieznany"));
        QCOMPARE(TunnelSettings::stateName(-1), QStringLiteral("Nieznany"));
    }

    void dumpFormat()
    {
        TunnelSettings t = directWithTunnels(2);
        t.proxy_ctrl.removeLast(); // a tunnel without a control entry prints no sig line
        t.uuid = QUuid(QStringLiteral("{12345678-1234-1234-1234-123456789abc}"));
        t.autostart = 1;
        t.restart_delay = 5;
        t.restart_count = 2;
        t.state = TunnelSettings::Running;
        t.data_com = QStringLiteral("COM10");
        t.data_settings = QStringLiteral("115200,8,N,1,H/NO/NS");
        t.data_ip = QStringLiteral("192.168.1.50:6666");
        t.description = QStringLiteral("Kasa %2 żółta");
        const QString expected =
            QStringLiteral("Startup configuration:\n[CFG] ------------BEGIN--------------\n"
                           "[CFG] UUID                  : {12345678-1234-1234-1234-123456789abc}\n"
                           "[CFG] Mode                  : 0\n"
                           "[CFG] Autorun               : 1\n"
                           "[CFG] Autorestart           : 0\n"
                           "[CFG] Restart-limit         : 0\n"
                           "[CFG] Restart-time          : 5\n"
                           "[CFG] Restart-count         : 2\n"
                           "[CFG] State                 : Uruchomiona\n"
                           "[CFG] PPP Port              : \n"
                           "[CFG] PPP Port Settings     : \n"
                           "[CFG] PPP Local IP          : \n"
                           "[CFG] PPP Remote IP         : \n"
                           "[CFG] Data Port             : COM10\n"
                           "[CFG] Data Port Settings    : 115200,8,N,1,H/NO/NS\n"
                           "[CFG] Data Port IP          : 192.168.1.50:6666\n"
                           "[CFG] Monitor Port          : \n"
                           "[CFG] Monitor Port Settings : \n"
                           "[CFG] Monitor Port IP       : \n"
                           "[CFG] Description           : Kasa %2 żółta\n"
                           "[CFG] Tunnels count         : 2\n"
                           "[CFG] Tunnel 1 Port         : COM11\n"
                           "[CFG] Tunnel 1 Port Settings: 9600,8,N,1,N/NO/NS\n"
                           "[CFG] Tunnel 1 data port    : 192.168.1.50:1100\n"
                           "[CFG] Tunnel 1 sig port     : 192.168.1.50:1101\n"
                           "[CFG] Tunnel 2 Port         : COM12\n"
                           "[CFG] Tunnel 2 Port Settings: 9600,8,N,1,N/NO/NS\n"
                           "[CFG] Tunnel 2 data port    : 192.168.1.50:1102\n"
                           "[CFG] ------------END--------------");
        QCOMPARE(t.dump(), expected);
    }

    void valueSemanticsAndMetaTypes()
    {
        registerTunnelSettingsMetaTypes();
        QVERIFY(QMetaType::type("TunnelSettings") != QMetaType::UnknownType);
        QVERIFY(QMetaType::type("TunnelSettings::TunnelState") != QMetaType::UnknownType);
        TunnelSettings a = directWithTunnels(1);
        a.state = TunnelSettings::StoppedError;
        a.last_error = QStringLiteral("x");
        a.restart_count = 3;
        const QVariant v = QVariant::fromValue(a);
        const TunnelSettings b = v.value<TunnelSettings>();
        QCOMPARE(b.uuid, a.uuid);
        QCOMPARE(b.state, TunnelSettings::StoppedError);
        QCOMPARE(b.last_error, a.last_error);
        QCOMPARE(b.restart_count, 3);
        QVERIFY(b.sameStoredFields(a));
        QVERIFY(TunnelSettings().uuid != TunnelSettings().uuid);
    }
};

QTEST_GUILESS_MAIN(TestTunnelSettings)
#include "tst_tunnelsettings.moc"
