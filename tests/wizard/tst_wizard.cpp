// The set-up wizard as a technician uses it, inside the program's own start-up (the device library, the
// device worker in its thread, the window and its wizard action), against the simulated device running
// as a real process on a pseudo-terminal: the simple path on an RS232-linked device and the expert path
// on a USB-linked one end with the device holding the written settings and the configuration appended
// through the list and saved; going back from the final page neither configures nor appends again;
// waiting pages can be stopped, and the first page's close asks about the next start.
#include "app/tunnelapplication.h"
#include "config/configurationfile.h"
#include "ports/vspinterface.h"
#include "runtime/pppengine.h"
#include "tests/net/netns.h"
#include "tests/simulator/devsimhelpers.h"
#include "tests/support/devsimprocess.h"
#include "tests/support/logcapture.h"
#include "tests/support/testenv.h"
#include "ui/mainwindow.h"
#include "ui/messagebox.h"
#include "ui/tunnellistmodel.h"
#include "wizard/tunnelwizard.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QLocalSocket>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <functional>
#include <unistd.h>

namespace
{

using Sim = DevSimProcess;

bool waitFor(const std::function<bool()> &done, int ms = 20000)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QTest::qWait(20);
    }
    return true;
}

template <typename T> T *child(QWizard *w, const QString &name)
{
    T *found = w->currentPage()->findChild<T *>(name);
    if (!found)
        qWarning("no %s on page %d", qPrintable(name), w->currentId());
    return found;
}

QString text(QWizard *w, const QString &name)
{
    QLabel *l = child<QLabel>(w, name);
    return l ? l->text() : QString();
}

// A user's click on the wizard's forward button (Next, or the commit button that stands for it).
void next(QWizard *w)
{
    QAbstractButton *b = w->button(QWizard::NextButton);
    if (!b->isVisible())
        b = w->button(QWizard::CommitButton);
    QVERIFY2(b->isEnabled(), qPrintable(QStringLiteral("forward disabled on page %1").arg(w->currentId())));
    QTest::mouseClick(b, Qt::LeftButton);
}

TunnelSettings existing()
{
    TunnelSettings c;
    c.uuid = QUuid::createUuid();
    c.description = QStringLiteral("Kasa Pierwsza");
    c.mode = TunnelSettings::DirectIP;
    c.data_com = QStringLiteral("COM5");
    c.data_settings = QStringLiteral("9600,8,N,1,N/NO/NS");
    c.data_ip = QStringLiteral("192.168.1.50:6666");
    return c;
}

const TunnelSettings *byName(const QVector<TunnelSettings> &all, const QString &name)
{
    for (const TunnelSettings &c : all)
        if (c.description == name)
            return &c;
    return nullptr;
}

} // namespace

class TestWizard : public QObject
{
    Q_OBJECT

    TestEnv *env = nullptr;
    // As root the whole program runs in a network namespace of its own (the demo's PPP path).
    NetNamespace *pcNs = nullptr;
    // The program's log (VELMORA_TEST_LOG_CONSOLE copies it to standard error).
    LogCapture *log = nullptr;
    TunnelApplication *app() { return TunnelApplication::instance(); }
    MainWindow *window() { return app()->mainWindow(); }

    TunnelWizard *openWizard()
    {
        TunnelWizard *found = nullptr;
        waitFor([&] {
            for (QWidget *w : QApplication::topLevelWidgets())
                if (auto *t = qobject_cast<TunnelWizard *>(w))
                    if (t->isVisible())
                        found = t;
            return found != nullptr;
        });
        return found;
    }
    TunnelWizard *openFromMenu()
    {
        // One wizard at a time: a scenario run alone finds the start-up's wizard still open.
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *t = qobject_cast<TunnelWizard *>(w))
                if (t->isVisible())
                    t->done(QDialog::Rejected);
        window()->findChild<QAction *>(QStringLiteral("actionKreator_konfiguracji"))->trigger();
        return openWizard();
    }
    QVector<TunnelSettings> savedConfigurations(AppSettings *settings = nullptr)
    {
        QVector<TunnelSettings> list;
        AppSettings a;
        ConfigurationFile(app()->configurationPath()).load(list, settings ? *settings : a, nullptr);
        return list;
    }

private slots:
    void initTestCase()
    {
        env = new TestEnv;
        log = new LogCapture(10);
        const QString driver = TestEnv::binary(QStringLiteral("libvspdctl.so"));
        if (::geteuid() == 0 && QFile::exists(driver)) {
            // Before any thread exists: every thread of the program then lives in the namespace.
            pcNs = new NetNamespace;
            QVERIFY2(pcNs->ok() && pcNs->enter(), qPrintable(pcNs->skipReason()));
            qputenv("VELMORA_VSPDCTL", QFile::encodeName(driver));
        } else {
            qputenv("VELMORA_VSPDCTL", "/nonexistent/libvspdctl.so");
        }
        qputenv("VELMORA_VARNOK", QFile::encodeName(TestEnv::binary(QStringLiteral("libvarnok.so"))));
        app()->setDataPath(env->dataPath());
        QDir().mkpath(env->dataPath());
        AppSettings settings;
        settings.autorun = false;
        settings.start_wizard = true;
        ConfigurationFile file(app()->configurationPath());
        QVERIFY(file.save({existing()}));
        QVERIFY(file.saveApp(settings));
        app()->InitializeApp(false);
        QVERIFY(app()->deviceComm());
        // The start-up opens the wizard after its splash (start_wizard); a scenario begins after that.
        QVERIFY2(openWizard(), "the start-up opens the wizard when start_wizard is set");
    }

    // A scenario that failed half-way leaves no wizard behind for the next one.
    void cleanup()
    {
        MessageBox::setResponder({});
        QList<QPointer<TunnelWizard>> open;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *t = qobject_cast<TunnelWizard *>(w))
                open << t;
        for (const QPointer<TunnelWizard> &t : open)
            if (t && t->isVisible())
                t->done(QDialog::Rejected);
        QVERIFY(waitFor([&] { return !app()->deviceComm()->isBusy(); }, 10000));
    }

    void cleanupTestCase()
    {
        MessageBox::setResponder({});
        if (window())
            window()->stopAllAndWait(10000);
        app()->shutdown();
        if (pcNs)
            pcNs->leave();
        delete pcNs;
        delete log;
        delete env;
    }

    // Opened by the start-up (start_wizard), the simple path on a device linked by its COM1.
    void simplePathRs232()
    {
        Sim sim;
        QVERIFY(sim.start(QStringLiteral("[device]\nname=Tavrel Mira W1\nlink=COM1\nrestart_ms=1500\n"
                                         "[com1]\nsp=57600\nda=8\npa=0\nst=1\nfl=3\n"
                                         "[com2]\nsp=9600\nda=8\npa=0\nst=1\nfl=0\n"),
                          QStringLiteral("ttyTAVRELW1")));
        TunnelWizard *w = openWizard();
        QVERIFY2(w, "the start-up opens the wizard when start_wizard is set");
        QSignalSpy started(w, SIGNAL(startUUID(QUuid)));
        QCOMPARE(w->currentId(), int(TunnelWizard::PageIntro));
        QVERIFY(!window()->findChild<QAction *>(QStringLiteral("actionKreator_konfiguracji"))->isEnabled());
        next(w);

        QCOMPARE(w->currentId(), int(TunnelWizard::PageComm));
        QComboBox *port = child<QComboBox>(w, QStringLiteral("comm_port"));
        QVERIFY2(port->currentText().startsWith(QLatin1String("ttyTAVRELW1"), Qt::CaseInsensitive),
                 qPrintable(port->currentText()));
        child<QComboBox>(w, QStringLiteral("comm_baud"))->setCurrentText(QStringLiteral("57600"));
        child<QComboBox>(w, QStringLiteral("comm_flow"))->setCurrentIndex(1); // Xon/Xoff
        next(w);

        QCOMPARE(w->currentId(), int(TunnelWizard::PageRead));
        QVERIFY(waitFor([&] { return !w->button(QWizard::CancelButton)->isEnabled(); }, 2000));
        QVERIFY(waitFor([&] { return w->currentId() == TunnelWizard::PageTunneling; }));
        QVERIFY(w->button(QWizard::CancelButton)->isEnabled());

        QCOMPARE(text(w, QStringLiteral("link")),
                 QStringLiteral("Sposób podłączenia urządzenia: RS232 COM1,57600,8,N,1,S"));
        QCheckBox *com1 = child<QCheckBox>(w, QStringLiteral("tun_com1_set"));
        QVERIFY(!com1->isEnabled());
        QCOMPARE(
            text(w, QStringLiteral("tun_com1_set_note")),
            QStringLiteral("Tunelowanie tego portu jest niemożliwe, gdyż jest on używany do komunikacji PC"));
        QVERIFY(!child<QCheckBox>(w, QStringLiteral("tun_pc_set"))->isEnabled());
        child<QCheckBox>(w, QStringLiteral("tun_mon_set"))->setChecked(true);
        child<QCheckBox>(w, QStringLiteral("tun_com2_set"))->setChecked(true);
        next(w);

        QCOMPARE(w->currentId(), int(TunnelWizard::PageVPorts));
        QVERIFY2(text(w, QStringLiteral("info"))
                     .contains(QStringLiteral("Konieczne jest utworzenie nowych portów.")),
                 qPrintable(text(w, QStringLiteral("info"))));
        next(w);

        QCOMPARE(w->currentId(), int(TunnelWizard::PageTunnelName));
        QLineEdit *name = child<QLineEdit>(w, QStringLiteral("tunnel_name"));
        QVERIFY(!w->button(QWizard::NextButton)->isEnabled());
        QTest::keyClicks(name, QStringLiteral("  kasa PIERWSZA "));
        QVERIFY(!w->button(QWizard::NextButton)->isEnabled());
        QCOMPARE(text(w, QStringLiteral("problem")),
                 QStringLiteral("<span style='color: red;'>Taka nazwa konfiguracji jest już używana</span>"));
        name->clear();
        QTest::keyClicks(name, QStringLiteral(" Sklep 2 "));
        next(w);
        QCOMPARE(w->currentId(), int(TunnelWizard::PageConfirmSetup));
        next(w);

        QCOMPARE(w->currentId(), int(TunnelWizard::PageSettingUp));
        QVERIFY(!w->button(QWizard::CancelButton)->isEnabled());
        QVERIFY(waitFor([&] { return !w->button(QWizard::BackButton)->isEnabled(); }, 1000));
        QVERIFY2(waitFor([&] { return w->currentId() == TunnelWizard::PageLastStep; }, 60000),
                 qPrintable(text(w, QStringLiteral("status"))));

        // The device holds what the simple path writes; its link port and COM1 are untouched.
        const QStringList dev = sim.settings();
        for (const char *expected :
             {"com2.sp=57600", "com2.fl=3", "tun1.en=1", "tun1.da=1102", "tun1.di=1103", "trlog.id=4",
              "trlog.no=7777", "tcpip.ip=10.10.10.10", "tcpip.ge=10.10.10.1", "tcpip.ma=255.255.255.0",
              "tcpip.dh=0", "com1.sp=57600", "tun0.en=0"})
            QVERIFY2(dev.contains(QLatin1String(expected)), expected);
        QVERIFY(sim.command(QStringLiteral("status")).contains(QStringLiteral("pc-pending 1")));

        // The final page: the link named in the text, the configuration in the list and in the file.
        const QString page = text(w, QStringLiteral("text"));
        QVERIFY(page.contains(QLatin1String("<b>COM1</b>")));
        QVERIFY(!page.contains(QLatin1String("$$COM$$")));
        QVERIFY(!w->button(QWizard::BackButton)->isEnabled());
        QCOMPARE(window()->model()->rowCount(), 2);
        const TunnelSettings *c = byName(*app()->configurations(), QStringLiteral("Sklep 2"));
        QVERIFY(c);
        QCOMPARE(c->mode, int(TunnelSettings::PPP));
        QCOMPARE(c->tunnel_com.toLower(), QStringLiteral("ttytavrelw1")); // as the inventory spells it
        QCOMPARE(c->tunnel_settings, QStringLiteral("57600,8,N,1,S"));
        QCOMPARE(c->tunnel_remoteip, QStringLiteral("10.10.10.10"));
        QCOMPARE(c->tunnel_localip, QStringLiteral("10.10.10.11"));
        QCOMPARE(c->data_com, QStringLiteral("COM1"));
        QCOMPARE(c->data_settings, QStringLiteral("57600,8,N,1,S/NO/NS"));
        QCOMPARE(c->data_ip, QStringLiteral("10.10.10.10:6666"));
        QCOMPARE(c->tm_com, QStringLiteral("COM2"));
        QCOMPARE(c->tm_ip, QStringLiteral("10.10.10.10:7777"));
        QCOMPARE(c->proxy_com, QVector<QString>{QStringLiteral("COM3")});
        QCOMPARE(c->proxy_data, QVector<QString>{QStringLiteral("10.10.10.10:1102")});
        QCOMPARE(c->proxy_ctrl, QVector<QString>{QStringLiteral("10.10.10.10:1103")});
        QCOMPARE(c->autostart, 0);
        QCOMPARE(c->autorestart, 1);
        QCOMPARE(c->restart_limit, 5);
        TunnelSettings copy = *c;
        QVERIFY(copy.validate());
        QVERIFY(byName(savedConfigurations(), QStringLiteral("Sklep 2")));
        QVERIFY(!window()->findChild<QLabel *>(QStringLiteral("cfgWarning")));

        QCheckBox *start = child<QCheckBox>(w, QStringLiteral("startonclose"));
        QVERIFY(start->isChecked());
        start->setChecked(false);
        QTest::mouseClick(w->button(QWizard::FinishButton), Qt::LeftButton);
        QVERIFY(!w->isVisible());
        QCOMPARE(started.count(), 0);
        AppSettings saved;
        savedConfigurations(&saved);
        QVERIFY(!app()->appSettings()->start_wizard);
        QVERIFY(!saved.start_wizard);
        QVERIFY(waitFor([&] { return !app()->deviceComm()->isBusy(); }, 5000));
        QVERIFY(window()->findChild<QAction *>(QStringLiteral("actionKreator_konfiguracji"))->isEnabled());
    }

    // The expert path on a USB-linked device: its own settings prefilled and checked, a way back
    // from the final page that neither configures nor appends again, and the start on close.
    void expertPathUsb()
    {
        Sim sim;
        QVERIFY(sim.start(QStringLiteral("[device]\nname=Tavrel USB\nlink=USB\nrestart_ms=1500\n"
                                         "[com1]\nsp=9600\nda=8\npa=0\nst=1\nfl=0\n[tun0]\nen=1\n"
                                         "[tcpip]\ndh=1\n"),
                          QStringLiteral("ttyTAVRELW2")));
        const int rowsBefore = window()->model()->rowCount();
        // The new PC-interface port: the lowest COMn no configuration uses (COM4 after the simple path).
        QString lowestFreeCom;
        for (int n = 1; lowestFreeCom.isEmpty(); ++n) {
            const QString name = QStringLiteral("COM%1").arg(n);
            bool used = false;
            for (const TunnelSettings &t : *app()->configurations())
                used = used || t.data_com == name || t.tm_com == name || t.proxy_com.contains(name);
            if (!used)
                lowestFreeCom = name;
        }
        TunnelWizard *w = openFromMenu();
        QVERIFY(w);
        QSignalSpy started(w, SIGNAL(startUUID(QUuid)));
        child<QCheckBox>(w, QStringLiteral("expertmode"))->setChecked(true);
        next(w);
        QCheckBox *autoParams = child<QCheckBox>(w, QStringLiteral("comm_auto"));
        autoParams->setChecked(true);
        QVERIFY(!child<QComboBox>(w, QStringLiteral("comm_baud"))->isEnabled());
        QVERIFY(child<QComboBox>(w, QStringLiteral("comm_port"))
                    ->currentText()
                    .startsWith(QLatin1String("ttyTAVRELW2"), Qt::CaseInsensitive));
        next(w);
        QVERIFY(waitFor([&] { return w->currentId() == TunnelWizard::PageViewConf; }, 30000));

        QCOMPARE(text(w, QStringLiteral("link")), QStringLiteral("Sposób podłączenia urządzenia: USB"));
        QVERIFY(child<QCheckBox>(w, QStringLiteral("box_com1"))->isChecked()); // the device tunnels COM1
        QVERIFY(!child<QCheckBox>(w, QStringLiteral("box_com2"))->isChecked());
        QLineEdit *com1Settings = child<QLineEdit>(w, QStringLiteral("settings_com1"));
        QCOMPARE(com1Settings->text(), QStringLiteral("9600,8,N,1,N"));
        QCOMPARE(child<QLineEdit>(w, QStringLiteral("settings_pc"))->text(),
                 QStringLiteral("115200,8,N,1,N"));
        com1Settings->setText(QStringLiteral("19200,8,X,1,N"));
        QCOMPARE(text(w, QStringLiteral("problem")),
                 QStringLiteral("<span style='color: red;'>Nieprawidłowe ustawienia portu COM1</span>"));
        QVERIFY(!w->button(QWizard::NextButton)->isEnabled());
        com1Settings->setText(QStringLiteral("19200,8,N,1,N"));
        QComboBox *com1Port = child<QComboBox>(w, QStringLiteral("port_com1"));
        com1Port->setCurrentText(QString());
        QCOMPARE(text(w, QStringLiteral("problem")),
                 QStringLiteral("<span style='color: red;'>Nie wybrano portu dla COM1</span>"));
        com1Port->setCurrentText(QStringLiteral("COM7"));
        next(w);

        QCOMPARE(w->currentId(), int(TunnelWizard::PageTCPIP));
        QVERIFY(
            !child<QCheckBox>(w, QStringLiteral("changePort"))->isEnabled()); // USB: no link port to change
        QCOMPARE(child<QLineEdit>(w, QStringLiteral("ip_device"))->text(), QStringLiteral("10.10.10.10"));
        QCOMPARE(child<QComboBox>(w, QStringLiteral("ip_mask"))->currentText(),
                 QStringLiteral("255.255.255.0 (/24)"));
        QCOMPARE(child<QLineEdit>(w, QStringLiteral("ip_pc"))->text(), QStringLiteral("10.10.10.100"));
        QLineEdit *gateway = child<QLineEdit>(w, QStringLiteral("ip_brama"));
        gateway->setText(QStringLiteral("10.10.11.1"));
        QCOMPARE(text(w, QStringLiteral("problem")),
                 QStringLiteral(
                     "<span style='color: red;'>Nieprawidłowy adres bramy dla urządzenia - nie w tej samej "
                     "podsieci co adres IP urządzenia</span>"));
        child<QComboBox>(w, QStringLiteral("ip_mask"))->setCurrentText(QStringLiteral("255.255.0.0 (/16)"));
        QVERIFY(text(w, QStringLiteral("problem")).isEmpty());
        child<QLineEdit>(w, QStringLiteral("ip_pc"))->setText(QStringLiteral("10.10.10.200"));
        next(w);

        QCOMPARE(w->currentId(), int(TunnelWizard::PageTunnelNameExpert));
        QTest::keyClicks(child<QLineEdit>(w, QStringLiteral("tunnel_name")), QStringLiteral("Kasa USB"));
        next(w);
        QCOMPARE(w->currentId(), int(TunnelWizard::PageConfirmSetupExpert));
        next(w);
        QVERIFY2(waitFor([&] { return w->currentId() == TunnelWizard::PageLastStep; }, 60000),
                 qPrintable(text(w, QStringLiteral("status"))));
        QVERIFY(sim.said.join(QLatin1Char('\n')).contains(QLatin1String("port-gone")) ||
                sim.waitFor(QStringLiteral("port-gone"), 100));

        const QStringList dev = sim.settings();
        for (const char *expected :
             {"com1.sp=19200", "com1.fl=0", "tun0.en=1", "tun0.da=1100", "tun0.di=1101",
              "tcpip.ip=10.10.10.10", "tcpip.ge=10.10.11.1", "tcpip.ma=255.255.0.0", "tcpip.dh=0"})
            QVERIFY2(dev.contains(QLatin1String(expected)), expected);
        QVERIFY2(!dev.contains(QStringLiteral("trlog.id=4")), "the monitor was not chosen");
        QVERIFY(text(w, QStringLiteral("text")).contains(QLatin1String("<b>USB</b>")));
        QCOMPARE(window()->model()->rowCount(), rowsBefore + 1);
        const TunnelSettings *c = byName(*app()->configurations(), QStringLiteral("Kasa USB"));
        QVERIFY(c);
        const QUuid uid = c->uuid;
        QCOMPARE(c->tunnel_com.toLower(), QStringLiteral("ttytavrelw2"));
        QCOMPARE(c->tunnel_settings, QStringLiteral("9600,8,N,1,R"));
        QCOMPARE(c->tunnel_localip, QStringLiteral("10.10.10.200"));
        QCOMPARE(c->data_com, lowestFreeCom); // below COM7 chosen here, none of the list's
        QCOMPARE(c->data_settings, QStringLiteral("115200,8,N,1,N/NO/NS"));
        QCOMPARE(c->proxy_com, QVector<QString>{QStringLiteral("COM7")});
        QCOMPARE(c->proxy_settings, QVector<QString>{QStringLiteral("19200,8,N,1,N/NO/NS")});
        QCOMPARE(c->proxy_data, QVector<QString>{QStringLiteral("10.10.10.10:1100")});
        QVERIFY(c->tm_com.isEmpty());

        // No way back; and a back step forced anyway neither configures nor appends again.
        QVERIFY(!w->button(QWizard::BackButton)->isEnabled());
        const int requests = sim.requests();
        w->back();
        QCOMPARE(w->currentId(), int(TunnelWizard::PageSettingUp));
        next(w);
        QCOMPARE(w->currentId(), int(TunnelWizard::PageLastStep));
        QTest::qWait(300);
        QCOMPARE(sim.requests(), requests);
        QCOMPARE(window()->model()->rowCount(), rowsBefore + 1);
        int saved = 0;
        for (const TunnelSettings &s : savedConfigurations())
            saved += s.description == QLatin1String("Kasa USB") ? 1 : 0;
        QCOMPARE(saved, 1);

        // Closing starts it through the supervisor.
        QTest::mouseClick(w->button(QWizard::FinishButton), Qt::LeftButton);
        QCOMPARE(started.count(), 1);
        QCOMPARE(started.at(0).at(0).value<QUuid>(), uid);
        const int idx = app()->indexOfUuid(uid);
        QVERIFY(idx >= 0);
        QVERIFY(waitFor([&] { return app()->configurations()->at(idx).state != TunnelSettings::Stopped; },
                        10000));
        QVERIFY(window()->stopAllAndWait(15000));
    }

    // Stopping a waiting page, the close on the first page, and a configuration that never happens.
    void cancelAndClose()
    {
        QStringList questions;
        QMessageBox::StandardButton answer = QMessageBox::No;
        MessageBox::setResponder([&](const QMessageBox &box) {
            questions << box.text();
            return answer;
        });
        // Closing on the first page asks whether to show the wizard next time; No clears the setting.
        app()->appSettings()->start_wizard = true;
        TunnelWizard *w = openFromMenu();
        QVERIFY(w);
        QTest::mouseClick(w->button(QWizard::CancelButton), Qt::LeftButton);
        QVERIFY(!w->isVisible());
        QCOMPARE(questions.size(), 1);
        QVERIFY2(questions.first().startsWith(QStringLiteral("Wybrano zamknięcie kreatora konfiguracji.")),
                 qPrintable(questions.join('|')));
        QVERIFY(!app()->appSettings()->start_wizard);
        AppSettings saved;
        savedConfigurations(&saved);
        QVERIFY(!saved.start_wizard);

        Sim sim;
        QVERIFY(sim.start(QStringLiteral("[device]\nlink=COM2\nrestart_ms=600000\n"
                                         "[com2]\nsp=115200\nda=8\npa=0\nst=1\nfl=1\n"),
                          QStringLiteral("ttyTAVRELW3")));
        w = openFromMenu();
        QVERIFY(w);
        next(w);
        // A wrong speed: no answer, the detection keeps trying until stopped.
        child<QComboBox>(w, QStringLiteral("comm_baud"))->setCurrentText(QStringLiteral("9600"));
        next(w);
        QVERIFY(waitFor(
            [&] {
                return text(w, QStringLiteral("status"))
                    .startsWith(QLatin1String("Sprawdzam: ttyTAVRELW3,9600"), Qt::CaseInsensitive);
            },
            5000));
        QTest::mouseClick(child<QPushButton>(w, QStringLiteral("abort")), Qt::LeftButton);
        QVERIFY(waitFor([&] { return text(w, QStringLiteral("status")).contains(QStringLiteral("Błąd:")); }));
        QCOMPARE(text(w, QStringLiteral("status")),
                 QStringLiteral("<span style='color:red;'>Błąd: Anulowano przez użytkownika. [4]</span>"));
        QVERIFY(w->button(QWizard::CancelButton)->isEnabled());
        QVERIFY(w->button(QWizard::BackButton)->isEnabled());
        QVERIFY(!w->button(QWizard::NextButton)->isEnabled());

        // Back, the right speed, and on to the set-up, where the device restarts and stays silent.
        QTest::mouseClick(w->button(QWizard::BackButton), Qt::LeftButton);
        child<QComboBox>(w, QStringLiteral("comm_baud"))->setCurrentText(QStringLiteral("115200"));
        next(w);
        QVERIFY(waitFor([&] { return w->currentId() == TunnelWizard::PageTunneling; }, 20000));
        QVERIFY(!child<QCheckBox>(w, QStringLiteral("tun_com2_set"))->isEnabled());
        next(w);
        next(w);
        QTest::keyClicks(child<QLineEdit>(w, QStringLiteral("tunnel_name")), QStringLiteral("Porzucona"));
        next(w);
        next(w);
        QCOMPARE(w->currentId(), int(TunnelWizard::PageSettingUp));
        QVERIFY(waitFor([&] {
            return sim.said.join(QLatin1Char('\n')).contains(QLatin1String("restarting")) ||
                   sim.waitFor(QStringLiteral("restarting"), 50);
        }));
        QPushButton *abort = child<QPushButton>(w, QStringLiteral("abort"));
        questions.clear();
        QTest::mouseClick(abort, Qt::LeftButton); // answered No: it goes on
        QCOMPARE(questions.size(), 1);
        QVERIFY(questions.first().startsWith(QStringLiteral("Czy zatrzymać konfigurację?")));
        QTest::qWait(300);
        QVERIFY(app()->deviceComm()->isBusy());
        answer = QMessageBox::Yes;
        QTest::mouseClick(abort, Qt::LeftButton);
        QVERIFY(
            waitFor([&] { return text(w, QStringLiteral("status")).contains(QLatin1String("[4]")); }, 10000));
        QVERIFY(w->button(QWizard::CancelButton)->isEnabled());
        QCOMPARE(w->currentId(), int(TunnelWizard::PageSettingUp));
        const int rows = window()->model()->rowCount();
        QTest::mouseClick(w->button(QWizard::CancelButton), Qt::LeftButton);
        QVERIFY(!w->isVisible());
        QCOMPARE(window()->model()->rowCount(), rows);
        QVERIFY(!byName(*app()->configurations(), QStringLiteral("Porzucona")));
        QVERIFY(!app()->deviceComm()->isBusy());
        MessageBox::setResponder({});
    }

    // The demo: after the wizard, the configuration started on close carries a point-of-sale
    // request over PPP to the simulator and its answer back.
    void demoRunAsRoot()
    {
        if (!pcNs)
            QSKIP("needs root (a network namespace, packet diversion and the PPP path) and the port driver");
        Sim sim;
        QVERIFY(sim.start(QStringLiteral("[device]\nname=Tavrel Demo\nlink=COM1\nrestart_ms=1000\n"
                                         "[com1]\nsp=115200\nda=8\npa=0\nst=1\nfl=1\n"),
                          QStringLiteral("ttyTAVRELW4")));
        QString com2Terminal;
        for (const QString &l : sim.said)
            if (l.startsWith(QLatin1String("com2 ")))
                com2Terminal = l.mid(5);
        QVERIFY(!com2Terminal.isEmpty());
        // An earlier scenario's PPP session (started on close) must be over.
        QVERIFY(waitFor([&] { return !app()->pppEngine()->isSessionActive(); }, 30000));

        TunnelWizard *w = openFromMenu();
        QVERIFY(w);
        next(w);
        QVERIFY(child<QComboBox>(w, QStringLiteral("comm_port"))
                    ->currentText()
                    .startsWith(QLatin1String("ttyTAVRELW4"), Qt::CaseInsensitive));
        next(w); // the default line settings are the device's
        QVERIFY(waitFor([&] { return w->currentId() == TunnelWizard::PageTunneling; }));
        child<QCheckBox>(w, QStringLiteral("tun_com2_set"))->setChecked(true);
        next(w);
        next(w);
        QTest::keyClicks(child<QLineEdit>(w, QStringLiteral("tunnel_name")), QStringLiteral("Demo"));
        next(w);
        next(w);
        QVERIFY2(waitFor([&] { return w->currentId() == TunnelWizard::PageLastStep; }, 60000),
                 qPrintable(text(w, QStringLiteral("status"))));
        const TunnelSettings *c = byName(*app()->configurations(), QStringLiteral("Demo"));
        QVERIFY(c);
        const QUuid uid = c->uuid;
        const QString pcPort = c->data_com;
        QCOMPARE(c->proxy_com.size(), 1);
        const QString tunnelPort = c->proxy_com.first();

        // The technician's step at the device: the PC interface becomes TCP/IP, PPP on the line.
        QCOMPARE(sim.command(QStringLiteral("menu tcpip")).last(), QStringLiteral("OK"));
        QVERIFY(child<QCheckBox>(w, QStringLiteral("startonclose"))->isChecked());
        QTest::mouseClick(w->button(QWizard::FinishButton), Qt::LeftButton);
        const int idx = app()->indexOfUuid(uid);
        QVERIFY(waitFor([&] { return app()->configurations()->at(idx).state == TunnelSettings::Running; },
                        90000));
        QVERIFY(sim.waitFor(QStringLiteral("ppp-up"), 5000) ||
                sim.said.join('\n').contains(QLatin1String("ppp-up")));

        // A point-of-sale program on the configuration's PC-interface port talks to the device.
        QString path;
        QVERIFY(app()->vspInterface()->livePortPath(pcPort, &path));
        devsim::PortClient pos;
        QVERIFY(pos.open(path, devsim::Line()));
        devsim::vp::Response answer;
        QVERIFY(pos.ask(QStringLiteral("sid"), {}, &answer, 20000));
        QCOMPARE(answer.status, 0u);
        QCOMPARE(devsim::field(answer, "nm"), QStringLiteral("Tavrel Demo"));

        // Bytes into the tunnel's port come out of the device's COM2.
        QVERIFY(app()->vspInterface()->livePortPath(tunnelPort, &path));
        const int tunnel = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        const int com2 =
            ::open(QFile::encodeName(com2Terminal).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(tunnel >= 0 && com2 >= 0);
        QByteArray got;
        const QByteArray sent("tunnel bytes to the device's COM2");
        QCOMPARE(::write(tunnel, sent.constData(), size_t(sent.size())), ssize_t(sent.size()));
        QVERIFY2(waitFor(
                     [&] {
                         char buf[256];
                         const ssize_t n = ::read(com2, buf, sizeof buf);
                         if (n > 0)
                             got.append(buf, int(n));
                         return got.contains(sent);
                     },
                     30000),
                 got.constData());
        ::close(tunnel);
        ::close(com2);
        QVERIFY(window()->stopAllAndWait(20000));
    }
};

int main(int argc, char *argv[])
{
    TunnelApplication app(argc, argv);
    registerTunnelSettingsMetaTypes();
    TestWizard test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_wizard.moc"
