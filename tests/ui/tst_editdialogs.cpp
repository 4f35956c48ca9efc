// The editor dialogs driven as a user would: fields set, OK pressed, the
// refusal read back from the one message-box layer (which logs every box
// on the offscreen platform).
#include "config/appsettings.h"
#include "config/tunnelsettings.h"
#include "ports/vspinterface.h"
#include "tests/support/logcapture.h"
#include "tests/support/testenv.h"
#include "ui/appsettingsdialog.h"
#include "ui/dialogports.h"
#include "ui/editserialsettings.h"
#include "ui/editsingletunnel.h"
#include "ui/edittunnel.h"
#include "ui/ipv4validator.h"
#include "ui/selectlocalip.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QInputDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>

#include <functional>

namespace
{
const QString kDevice = QStringLiteral("192.168.1.50");

TunnelSettings directConfig()
{
    TunnelSettings t;
    t.description = QStringLiteral("Kasa 1");
    t.data_com = QStringLiteral("COM10");
    t.data_settings = QStringLiteral("115200,8,N,1,H/NO/NS");
    t.data_ip = kDevice + QStringLiteral(":6666");
    t.tm_com = QStringLiteral("COM12");
    t.tm_settings = QStringLiteral("9600,8,N,1,N/NO/NS");
    t.tm_ip = kDevice + QStringLiteral(":6667");
    t.proxy_com = {QStringLiteral("COM11"), QStringLiteral("COM13")};
    t.proxy_settings = {QStringLiteral("9600,8,N,1,N/NO/NS"), QStringLiteral("19200,8,E,1,N/LB/ST")};
    t.proxy_data = {kDevice + QStringLiteral(":1100"), kDevice + QStringLiteral(":1102")};
    t.proxy_ctrl = {kDevice + QStringLiteral(":1101"), kDevice + QStringLiteral(":1103")};
    t.autostart = 1;
    t.restart_limit = 3;
    return t;
}

TunnelSettings pppConfig()
{
    TunnelSettings t = directConfig();
    t.mode = TunnelSettings::PPP;
    t.tunnel_com = QStringLiteral("ttyUSB0");
    t.tunnel_settings = QStringLiteral("115200,8,N,1,H");
    t.tunnel_localip = QStringLiteral("10.0.0.1");
    t.tunnel_remoteip = QStringLiteral("10.0.0.2");
    for (QString *s : {&t.data_ip, &t.tm_ip})
        s->replace(kDevice, t.tunnel_remoteip);
    for (auto *list : {&t.proxy_data, &t.proxy_ctrl})
        for (QString &s : *list)
            s.replace(kDevice, t.tunnel_remoteip);
    return t;
}

template <typename T> T *child(QWidget *dlg, const char *name)
{
    T *w = dlg->findChild<T *>(QLatin1String(name));
    if (!w)
        qFatal("no child %s", name);
    return w;
}

void setCell(QWidget *dlg, int row, int column, const QString &text)
{
    child<QTableWidget>(dlg, "tableTunnels")->item(row, column)->setText(text);
}

// The texts of the boxes shown since the capture began.
QStringList boxes(const LogCapture &log)
{
    QStringList out;
    const QStringList parts = log.text().split(QStringLiteral("[BOX] "));
    for (int i = 1; i < parts.size(); ++i)
        out.append(parts[i]);
    return out;
}

// Answers the next modal dialog of type T once the event loop runs it.
template <typename T> void answerNext(std::function<void(T *)> answer)
{
    QTimer::singleShot(0, [answer]() {
        T *dlg = qobject_cast<T *>(QApplication::activeModalWidget());
        if (!dlg)
            qFatal("no modal dialog to answer");
        answer(dlg);
    });
}

struct RefusalCase {
    const char *name;
    TunnelSettings (*base)();
    std::function<void(EditTunnel *)> change;
    QString expected; // first box; empty: accepted without any box
    bool accepted;
};

QVector<TunnelSettings> g_others;

QVector<RefusalCase> refusalCases()
{
    auto text = [](const char *name, const char *value) {
        return [=](EditTunnel *d) { child<QLineEdit>(d, name)->setText(QString::fromUtf8(value)); };
    };
    auto noPort = [](const char *name) {
        return [=](EditTunnel *d) { child<QComboBox>(d, name)->setCurrentIndex(-1); };
    };
    auto spin = [](const char *name, int value) {
        return [=](EditTunnel *d) { child<QSpinBox>(d, name)->setValue(value); };
    };
    auto noChannels = [](EditTunnel *d) {
        child<QCheckBox>(d, "dataTunnel")->setChecked(false);
        child<QCheckBox>(d, "monitorTunnel")->setChecked(false);
        child<QTableWidget>(d, "tableTunnels")->setRowCount(0);
    };
    const QString busy =
        QStringLiteral("Port numer %1 w tunelu dla portu COM: %2 (port %3) jest już użyty %4");
    return {
        {"ip: no channel", directConfig, noChannels,
         QStringLiteral(
             "W tym trybie połączenia musi być aktywny co najmniej kanał interfejsu PC lub kanał monitora "
             "transakcji lub 1 tunel COM"),
         false},
        {"ip: empty address", directConfig, text("editIP_IP", ""),
         QStringLiteral("Adres IP dla połączenia TCP/IP jest niepoprawny"), false},
        {"ip: three parts", directConfig, text("editIP_IP", "192.168.1"),
         QStringLiteral("Adres IP dla połączenia TCP/IP jest niepoprawny"), false},
        {"ppp: remote", pppConfig, text("editIP_PPP", "10.0.0."),
         QStringLiteral("Adres zdalny IP dla połączenia PPP jest niepoprawny"), false},
        {"ppp: local", pppConfig, text("editLocalIP", ""),
         QStringLiteral("Adres lokalny IP dla połączenia PPP jest niepoprawny"), false},
        {"ppp: port", pppConfig, noPort("portCOMPPP"),
         QStringLiteral("Proszę wybrać lub utworzyć nowy port COM dla połączenia PPP"), false},
        {"ppp: settings", pppConfig, text("editSetPPP", " "),
         QStringLiteral("Proszę podać ustawienia portu COM dla połączenia PPP"), false},
        {"ppp: same addresses", pppConfig, text("editLocalIP", "10.0.0.2"),
         QStringLiteral("Adresy IP lokalny oraz zdalny nie mogą być identyczne"), false},
        {"ppp: no channel", pppConfig, noChannels,
         QStringLiteral("W tym trybie niezbędne jest uruchomienie tunelu interfejsu PC i/lub tunelu monitora "
                        "transakcji i/lub tuneli portów szeregowych"),
         false},
        {"ppp: no flow control is advice", pppConfig, text("editSetPPP", "115200,8,N,1,N"),
         QStringLiteral("UWAGA: Połączenie PPP nie używa kontroli przepływu danych.\n W trybie PPP"), true},
        {"ppp: software flow is advice", pppConfig, text("editSetPPP", "115200,8,N,1,S"),
         QStringLiteral("UWAGA: Połączenie PPP używa programowej kontroli przepływu danych.\n Proszę"), true},
        {"pc: port", directConfig, noPort("portCOMData"),
         QStringLiteral("Proszę wybrać lub utworzyć nowy port COM dla połączenia interfejsu PC"), false},
        {"pc: settings", directConfig, text("editSetData", ""),
         QStringLiteral("Proszę podać ustawienia portu COM dla połączenia interfejsu PC"), false},
        {"monitor: port", directConfig, noPort("portCOMMonitor"),
         QStringLiteral("Proszę wybrać lub utworzyć nowy port COM dla połączenia monitora transakcji"),
         false},
        {"monitor: settings", directConfig, text("editSetMonitor", ""),
         QStringLiteral("Proszę podać ustawienia portu COM dla połączenia monitora transakcji"), false},
        {"description", directConfig, text("editComment", "  "),
         QStringLiteral("Proszę podać dowolny opis konfiguracji"), false},
        {"same COM for pc and monitor", directConfig,
         [](EditTunnel *d) {
             DialogPorts::selectPort(child<QComboBox>(d, "portCOMMonitor"), QStringLiteral("COM10"));
         },
         QStringLiteral("Port COM COM10 w tunelowania interfejsu PC jest już użyty do tunelowania monitora "
                        "transakcji"),
         false},
        {"same TCP port for pc and monitor", directConfig, spin("portMonitor", 6666),
         QStringLiteral("Port numer 6666 w tunelowaniu monitora transakcji jest już użyty do tunelowania "
                        "interfejsu PC"),
         false},
        {"same TCP port, monitor off", directConfig,
         [](EditTunnel *d) {
             child<QSpinBox>(d, "portMonitor")->setValue(6666);
             child<QCheckBox>(d, "monitorTunnel")->setChecked(false);
         },
         QString(), true},
        {"row data = pc", directConfig, [](EditTunnel *d) { setCell(d, 1, 0, QStringLiteral("6666")); },
         busy.arg(QStringLiteral("6666"), QStringLiteral("COM13"), QStringLiteral("dla danych"),
                  QStringLiteral("do tunelowania interfejsu PC")),
         false},
        {"row data = monitor", directConfig, [](EditTunnel *d) { setCell(d, 0, 0, QStringLiteral("6667")); },
         busy.arg(QStringLiteral("6667"), QStringLiteral("COM11"), QStringLiteral("dla danych"),
                  QStringLiteral("do tunelowania monitora transakcji")),
         false},
        {"row data = earlier row", directConfig,
         [](EditTunnel *d) { setCell(d, 1, 0, QStringLiteral("1101")); },
         busy.arg(QStringLiteral("1101"), QStringLiteral("COM13"), QStringLiteral("dla danych"),
                  QStringLiteral("w innym tunelu portu COM")),
         false},
        {"row control = pc", directConfig, [](EditTunnel *d) { setCell(d, 0, 1, QStringLiteral("6666")); },
         busy.arg(QStringLiteral("6666"), QStringLiteral("COM11"), QStringLiteral("sterujący"),
                  QStringLiteral("do tunelowania interfejsu PC")),
         false},
        {"row control = its own data", directConfig,
         [](EditTunnel *d) { setCell(d, 0, 1, QStringLiteral("1100")); },
         busy.arg(QStringLiteral("1100"), QStringLiteral("COM11"), QStringLiteral("sterujący"),
                  QStringLiteral("w innym tunelu portu COM")),
         false},
        {"row control = earlier control", directConfig,
         [](EditTunnel *d) { setCell(d, 1, 1, QStringLiteral("1101")); },
         busy.arg(QStringLiteral("1101"), QStringLiteral("COM13"), QStringLiteral("sterujący"),
                  QStringLiteral("w innym tunelu portu COM")),
         false},
        {"row COM = pc", directConfig, [](EditTunnel *d) { setCell(d, 1, 2, QStringLiteral("com10")); },
         QStringLiteral("Port COM com10 w tunelu dla portu COM: com10 (port sterujący) jest już użyty do "
                        "tunelowania interfejsu PC"),
         false},
        {"row COM = monitor", directConfig, [](EditTunnel *d) { setCell(d, 0, 2, QStringLiteral("COM12")); },
         QStringLiteral("Port COM COM12 w tunelu dla portu COM: COM12 (port sterujący) jest już użyty do "
                        "tunelowania monitora transakcji"),
         false},
        {"row COM = earlier row", directConfig,
         [](EditTunnel *d) { setCell(d, 1, 2, QStringLiteral("COM11")); },
         QStringLiteral(
             "Port COM COM11 w tunelu dla portu COM: COM11 (port sterujący) jest już użyty w innym "
             "tunelu portu COM"),
         false},
        {"COM of a running configuration", directConfig,
         [](EditTunnel *d) {
             TunnelSettings other;
             other.description = QStringLiteral("Kasa 2");
             other.proxy_com = {QStringLiteral("COM13")};
             other.state = TunnelSettings::Running;
             g_others = {other};
             d->setConfigurations(&g_others);
         },
         QStringLiteral("Port COM COM13 jest używany przez uruchomioną konfigurację \"Kasa 2\""), false},
        {"COM of a stopped configuration", directConfig,
         [](EditTunnel *d) {
             TunnelSettings other;
             other.proxy_com = {QStringLiteral("COM13")};
             g_others = {other};
             d->setConfigurations(&g_others);
         },
         QString(), true},
        {"what the file would refuse", directConfig, text("editSetData", "9600,8,X,1,N"),
         QStringLiteral(
             "Błąd ustawień konfiguracji: ' Nieprawidłowe ustawienia portu COM dla interfejsu PC'"),
         false},
        {"unchanged direct", directConfig, [](EditTunnel *) {}, QString(), true},
        {"unchanged PPP", pppConfig, [](EditTunnel *) {}, QString(), true},
    };
}
} // namespace

class TestEditDialogs : public QObject
{
    Q_OBJECT

private slots:
    void ipv4Validator_data();
    void ipv4Validator();
    void editTunnelOk_data();
    void editTunnelOk();
    void editTunnelCheckOrder();
    void serialSettingsBaudRanges();
    void singleTunnelAndLocalAddresses();
    void addPortCreatesPairOrRefuses();
};

void TestEditDialogs::ipv4Validator_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("state");
    QTest::newRow("empty") << QString() << int(QValidator::Acceptable);
    QTest::newRow("four parts") << QStringLiteral("192.168.1.255") << int(QValidator::Acceptable);
    QTest::newRow("three parts") << QStringLiteral("192.168.1") << int(QValidator::Intermediate);
    QTest::newRow("trailing dot") << QStringLiteral("192.168.1.") << int(QValidator::Intermediate);
    QTest::newRow("empty inner part") << QStringLiteral("10..0.1") << int(QValidator::Intermediate);
    QTest::newRow("five parts") << QStringLiteral("1.2.3.4.5") << int(QValidator::Invalid);
    QTest::newRow("five dots") << QStringLiteral("1.2.3.4.") << int(QValidator::Invalid);
    QTest::newRow("part over 255") << QStringLiteral("10.0.256.1") << int(QValidator::Invalid);
    QTest::newRow("letters") << QStringLiteral("10.0.a.1") << int(QValidator::Invalid);
    QTest::newRow("sign") << QStringLiteral("10.0.+1.1") << int(QValidator::Invalid);
}

void TestEditDialogs::ipv4Validator()
{
    QFETCH(QString, text);
    QFETCH(int, state);
    IPv4Validator v;
    int pos = 0;
    QCOMPARE(int(v.validate(text, pos)), state);
    // A field that carries the validator cannot take an invalid text by typing.
    QLineEdit edit;
    edit.setValidator(&v);
    QTest::keyClicks(&edit, text);
    QCOMPARE(edit.text() == text, state != int(QValidator::Invalid));
}

void TestEditDialogs::editTunnelOk_data()
{
    QTest::addColumn<int>("index");
    const QVector<RefusalCase> cases = refusalCases();
    for (int i = 0; i < cases.size(); ++i)
        QTest::newRow(cases[i].name) << i;
}

void TestEditDialogs::editTunnelOk()
{
    QFETCH(int, index);
    const RefusalCase c = refusalCases().at(index);
    TestEnv env;
    AppSettings app;
    app.only_virtual = false;
    EditTunnel dlg(nullptr, nullptr, &app);
    const TunnelSettings base = c.base();
    dlg.setData(base);
    c.change(&dlg);
    LogCapture log;
    child<QPushButton>(&dlg, "buttonOk")->click();
    g_others.clear();

    const QStringList shown = boxes(log);
    QCOMPARE(dlg.result() == QDialog::Accepted, c.accepted);
    QCOMPARE(shown.size(), c.expected.isEmpty() ? 0 : 1);
    if (!c.expected.isEmpty())
        QVERIFY2(shown.first().contains(QStringLiteral("\"Ostrzeżenie\": ") + c.expected),
                 qPrintable(shown.first()));
    if (!c.accepted)
        return;
    // What OK let through loads again, and an untouched record comes back as it went in.
    TunnelSettings result = dlg.data();
    QVERIFY2(result.validate(), qPrintable(result.validation_error));
    QCOMPARE(result.uuid, base.uuid);
    if (QByteArray(c.name).startsWith("unchanged"))
        QVERIFY(result.sameStoredFields(base));
}

void TestEditDialogs::editTunnelCheckOrder()
{
    TestEnv env;
    struct Step {
        QString expected; // the refusal OK gives now
        std::function<void(EditTunnel *)> fix;
    };
    auto setText = [](const char *name, const char *value) {
        return [=](EditTunnel *d) { child<QLineEdit>(d, name)->setText(QLatin1String(value)); };
    };
    auto run = [](const TunnelSettings &base, const std::function<void(EditTunnel *)> &spoil,
                  const QVector<Step> &steps, const QString &finalAdvice) {
        EditTunnel dlg(nullptr, nullptr, nullptr);
        dlg.setData(base);
        spoil(&dlg);
        for (const Step &step : steps) {
            LogCapture log;
            child<QPushButton>(&dlg, "buttonOk")->click();
            const QStringList shown = boxes(log);
            QVERIFY(dlg.result() != QDialog::Accepted);
            QCOMPARE(shown.size(), 1);
            QVERIFY2(shown.first().contains(step.expected), qPrintable(shown.first()));
            step.fix(&dlg);
        }
        LogCapture log;
        child<QPushButton>(&dlg, "buttonOk")->click();
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(boxes(log).size(), finalAdvice.isEmpty() ? 0 : 1);
        QVERIFY(finalAdvice.isEmpty() || log.contains(finalAdvice));
    };

    run(
        directConfig(),
        [&](EditTunnel *d) {
            child<QLineEdit>(d, "editIP_IP")->setText(QStringLiteral("192.168"));
            child<QComboBox>(d, "portCOMData")->setCurrentIndex(-1);
            child<QLineEdit>(d, "editSetData")->setText(QStringLiteral("9600,8,X,1,N/NO/NS"));
            child<QLineEdit>(d, "editSetMonitor")->clear();
            child<QLineEdit>(d, "editComment")->clear();
            child<QSpinBox>(d, "portMonitor")->setValue(6666);
            setCell(d, 1, 0, QStringLiteral("6666"));
            setCell(d, 1, 2, QStringLiteral("COM11"));
        },
        {{QStringLiteral("Adres IP dla połączenia TCP/IP"), setText("editIP_IP", "192.168.1.50")},
         {QStringLiteral("dla połączenia interfejsu PC"),
          [](EditTunnel *d) {
              DialogPorts::selectPort(child<QComboBox>(d, "portCOMData"), QStringLiteral("COM10"));
          }},
         {QStringLiteral("Proszę podać ustawienia portu COM dla połączenia monitora"),
          setText("editSetMonitor", "9600,8,N,1,N/NO/NS")},
         {QStringLiteral("Proszę podać dowolny opis"), setText("editComment", "Kasa 3")},
         {QStringLiteral("Port numer 6666 w tunelowaniu monitora"),
          [](EditTunnel *d) { child<QSpinBox>(d, "portMonitor")->setValue(6667); }},
         {QStringLiteral("Port numer 6666 w tunelu dla portu COM: COM11 (port dla danych)"),
          [](EditTunnel *d) { setCell(d, 1, 0, QStringLiteral("1102")); }},
         {QStringLiteral(
              "Port COM COM11 w tunelu dla portu COM: COM11 (port sterujący) jest już użyty w innym"),
          [](EditTunnel *d) { setCell(d, 1, 2, QStringLiteral("COM13")); }},
         {QStringLiteral("Błąd ustawień konfiguracji"), setText("editSetData", "9600,8,N,1,N/NO/NS")}},
        QString());

    run(
        pppConfig(),
        [&](EditTunnel *d) {
            child<QLineEdit>(d, "editIP_PPP")->clear();
            child<QLineEdit>(d, "editLocalIP")->setText(QStringLiteral("10.0"));
            child<QComboBox>(d, "portCOMPPP")->setCurrentIndex(-1);
            child<QLineEdit>(d, "editSetPPP")->clear();
            child<QCheckBox>(d, "dataTunnel")->setChecked(false);
            child<QCheckBox>(d, "monitorTunnel")->setChecked(false);
            child<QTableWidget>(d, "tableTunnels")->setRowCount(0);
        },
        {{QStringLiteral("Adres zdalny IP"), setText("editIP_PPP", "10.0.0.2")},
         {QStringLiteral("Adres lokalny IP"), setText("editLocalIP", "10.0.0.2")},
         {QStringLiteral("Proszę wybrać lub utworzyć nowy port COM dla połączenia PPP"),
          [](EditTunnel *d) {
              DialogPorts::selectPort(child<QComboBox>(d, "portCOMPPP"), QStringLiteral("ttyS4"));
          }},
         {QStringLiteral("Proszę podać ustawienia portu COM dla połączenia PPP"),
          setText("editSetPPP", "57600,8,N,1,N")},
         {QStringLiteral("Adresy IP lokalny oraz zdalny nie mogą być identyczne"),
          setText("editLocalIP", "10.0.0.1")},
         {QStringLiteral("W tym trybie niezbędne jest uruchomienie"),
          [](EditTunnel *d) { child<QCheckBox>(d, "monitorTunnel")->setChecked(true); }}},
        QStringLiteral("UWAGA: Połączenie PPP nie używa kontroli przepływu danych."));
}

void TestEditDialogs::serialSettingsBaudRanges()
{
    EditSerialSettings dlg;
    dlg.setSettings(QStringLiteral("19200,7,E,2,S/lb/st"), false);
    QCOMPARE(dlg.settings(), QStringLiteral("19200,7,E,2,S/LB/ST"));
    auto *baud = child<QComboBox>(&dlg, "comboBaud");
    // Typing: the validator's range starts at 2400 and ends at 10000000.
    int pos = 0;
    for (auto t :
         {std::make_pair("2400", QValidator::Acceptable), std::make_pair("10000000", QValidator::Acceptable),
          std::make_pair("1200", QValidator::Intermediate),
          std::make_pair("10000001", QValidator::Intermediate)}) {
        QString s = QLatin1String(t.first);
        QCOMPARE(baud->validator()->validate(s, pos), t.second);
    }
    // OK: the accepted range is 1200-10000000.
    LogCapture log;
    for (auto t :
         {std::make_pair("1199", false), std::make_pair("10000001", false), std::make_pair("x", false),
          std::make_pair("1200", true), std::make_pair("10000000", true)}) {
        dlg.setResult(QDialog::Rejected);
        baud->setEditText(QLatin1String(t.first));
        child<QPushButton>(&dlg, "buttonOk")->click();
        QCOMPARE(dlg.result() == QDialog::Accepted, t.second);
    }
    QCOMPARE(
        log.count(QStringLiteral("\"Ostrzeżenie\": Nieprawidłowa prędkość transmisji. Musi być liczbą od "
                                 "1200 do 10000000")),
        3);
    // A real port: the driver options are disabled and left out of the string.
    dlg.setSettings(QStringLiteral("9600,8,N,1,H/LB/ST"), true);
    QVERIFY(!child<QComboBox>(&dlg, "comboWiring")->isEnabled());
    QCOMPARE(dlg.settings(), QStringLiteral("9600,8,N,1,H"));
    // A bad field is logged and the others still show.
    dlg.setSettings(QStringLiteral("4800,8,Q,1,N"), false);
    QVERIFY(log.contains(QStringLiteral("Invalid serial settings string [parity] '4800,8,Q,1,N'")));
    QCOMPARE(dlg.settings().left(5), QStringLiteral("4800,"));
}

void TestEditDialogs::singleTunnelAndLocalAddresses()
{
    LogCapture log;
    EditSingleTunnel single({QStringLiteral("COM11")}, nullptr);
    QCOMPARE(single.settings(), QStringLiteral("115200,8,N,1,H/NO/NS"));
    single.setData(QStringLiteral("1100"), QStringLiteral("1100"), QStringLiteral("COM14"), QString());
    QCOMPARE(single.windowTitle(), QStringLiteral("Edycja tunelu portu COM"));
    QCOMPARE(single.comPort(), QStringLiteral("COM14")); // kept though not present now
    child<QPushButton>(&single, "buttonOk")->click();
    QVERIFY(single.result() != QDialog::Accepted);
    QVERIFY(log.contains(QStringLiteral("Port danych i sterujący nie mogą być identyczne")));
    single.setData(QStringLiteral("x"), QStringLiteral("1101"), QString(), QString());
    QVERIFY(log.contains(QStringLiteral("Invalid portData value: 'x'")));
    QCOMPARE(single.ctrlPort(), 1101);
    child<QPushButton>(&single, "buttonOk")->click();
    QCOMPARE(single.result(), int(QDialog::Accepted));

    using Row = SelectLocalIP::Row;
    const QList<Row> rows =
        SelectLocalIP::offered({Row{QHostAddress(QStringLiteral("127.0.0.1")), QStringLiteral("lo")},
                                Row{QHostAddress(QStringLiteral("192.168.1.5")), QStringLiteral("eth0")},
                                Row{QHostAddress(QStringLiteral("224.0.0.251")), QStringLiteral("eth0")},
                                Row{QHostAddress(QStringLiteral("239.255.255.250")), QStringLiteral("eth0")},
                                Row{QHostAddress(QStringLiteral("::1")), QStringLiteral("lo")},
                                Row{QHostAddress(QStringLiteral("10.0.0.1")), QStringLiteral("tun0")}});
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[1].address.toString(), QStringLiteral("10.0.0.1"));
    // The real dialog over this machine's addresses: no loopback row; OK needs a row.
    SelectLocalIP select(nullptr);
    auto *table = child<QTableWidget>(&select, "tableIP");
    for (int r = 0; r < table->rowCount(); ++r)
        QVERIFY(!QHostAddress(table->item(r, 0)->text()).isLoopback());
    select.setRows(rows);
    child<QPushButton>(&select, "buttonOk")->click();
    QVERIFY(log.contains(QStringLiteral("\"Ostrzeżenie\": Nie wybrano adresu IP")));
    table->selectRow(1);
    child<QPushButton>(&select, "buttonOk")->click();
    QCOMPARE(select.result(), QStringLiteral("10.0.0.1"));

    AppSettings s;
    s.autorun = false;
    s.restarts_blocked = true;
    s.task_delay = 90000; // more than a day: held at the limit
    s.only_virtual = false;
    AppSettingsDialog app;
    app.setSettings(s);
    s.task_delay = TunnelSettings::kMaxDelaySeconds;
    QVERIFY(app.settings() == s);
    child<QPushButton>(&app, "buttonOk")->click();
    QVERIFY(log.contains(QStringLiteral("\"Pytanie\": Czy zapisać ustawienia aplikacji?")));
}

void TestEditDialogs::addPortCreatesPairOrRefuses()
{
    TestEnv env;
    qputenv("VELMORA_VSPDCTL", QFile::encodeName(TestEnv::binary(QStringLiteral("libvspdctl.so"))));
    VSPInterface vsp;
    QVERIFY(vsp.initLibrary());
    LogCapture log;
    EditTunnel dlg(&vsp, nullptr, nullptr);
    auto *data = child<QComboBox>(&dlg, "portCOMData");
    // The channel's buttons work only while the channel is in use.
    QVERIFY(!child<QPushButton>(&dlg, "addPortData")->isEnabled());
    child<QCheckBox>(&dlg, "dataTunnel")->setChecked(true);
    auto typeName = [&](const QString &name) {
        answerNext<QInputDialog>([name](QInputDialog *in) {
            in->setTextValue(name);
            in->accept();
        });
        child<QPushButton>(&dlg, "addPortData")->click();
    };
    for (const QString &bad : {QStringLiteral(" "), QStringLiteral("../COM7"), QStringLiteral("NULL_COM7"),
                               QStringLiteral("COM\x01")}) {
        typeName(bad);
        QCOMPARE(data->count(), 0);
    }
    QCOMPARE(log.count(QStringLiteral("[BOX] warning \"Ostrzeżenie\": N")), 4);
    vsp.updatePortList();
    QVERIFY(vsp.portList().isEmpty());

    typeName(QStringLiteral("com7"));
    QCOMPARE(data->currentText(), QStringLiteral("COM7"));
    QVERIFY(vsp.updatePortList());
    QVERIFY(vsp.findPeer(QStringLiteral("COM7"), nullptr));
    QCOMPARE(child<QComboBox>(&dlg, "portCOMMonitor")->findText(QStringLiteral("COM7")), 0);
    // A virtual port is no PPP line.
    QCOMPARE(child<QComboBox>(&dlg, "portCOMPPP")->findText(QStringLiteral("COM7")), -1);
    typeName(QStringLiteral("Com7"));
    QVERIFY(log.contains(QStringLiteral("Port COM COM7 już istnieje")));
    QCOMPARE(data->count(), 1);

    // Without the driver nothing is added, and the user is told.
    EditTunnel offline(nullptr, nullptr, nullptr);
    child<QCheckBox>(&offline, "monitorTunnel")->setChecked(true);
    answerNext<QInputDialog>([](QInputDialog *in) {
        in->setTextValue(QStringLiteral("COM8"));
        in->accept();
    });
    child<QPushButton>(&offline, "addPortMonitor")->click();
    QCOMPARE(child<QComboBox>(&offline, "portCOMMonitor")->findText(QStringLiteral("COM8")), -1);
    QVERIFY(log.contains(
        QStringLiteral("[BOX] critical \"Błąd\": Nie udało się utworzyć wirtualnego portu COM COM8")));
    qunsetenv("VELMORA_VSPDCTL");
}

QTEST_MAIN(TestEditDialogs)
#include "tst_editdialogs.moc"
