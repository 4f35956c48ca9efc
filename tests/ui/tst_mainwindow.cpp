// The window and its supervisor with real workers on the real port driver,
// against device stand-ins on 127.0.0.1: refusals, restarts, the lock, the
// shared-address guard, closing, and the editing actions on a real file.
#include "app/tunnelapplication.h"
#include "config/configurationfile.h"
#include "ports/vspinterface.h"
#include "runtime/tunnelcommengine.h"
#include "tests/support/testenv.h"
#include "tests/support/tunnelfixture.h"
#include "ui/appsettingsdialog.h"
#include "ui/edittunnel.h"
#include "ui/mainwindow.h"
#include "ui/messagebox.h"
#include "ui/tunnellistitemdelegate.h"
#include "ui/tunnellistmodel.h"

#include <QAction>
#include <QDir>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QStatusBar>
#include <QtTest>

#include <csignal>

namespace
{
// Every box the window shows, answered from a script (Yes when it runs out).
struct Boxes {
    QStringList texts;
    QList<QMessageBox::StandardButton> answers;
    Boxes()
    {
        MessageBox::setResponder([this](const QMessageBox &box) {
            texts << box.text();
            return answers.isEmpty() ? QMessageBox::Yes : answers.takeFirst();
        });
    }
    ~Boxes() { MessageBox::setResponder({}); }
    QString last() const { return texts.value(texts.size() - 1); }
};

TunnelSettings::TunnelState stateOf(const QVector<TunnelSettings> &all, int idx)
{
    return all.at(idx).state;
}
} // namespace

class TestMainWindow : public TunnelTestCase
{
    Q_OBJECT

    TunnelApplication *app() { return TunnelApplication::instance(); }

    // A window over the application's configurations, as the start-up makes it.
    MainWindow *window(const QVector<TunnelSettings> &configurations)
    {
        app()->setDataPath(env->dataPath());
        QDir().mkpath(env->dataPath());
        *app()->configurations() = configurations;
        *app()->appSettings() = AppSettings();
        auto *w = new MainWindow(app());
        w->setConfigurations(app()->configurations(), app()->appSettings());
        TunnelCommEngine::setVSPInterface(pairs->vsp());
        return w;
    }

    // The context menu's request at a row, as a right click there makes it.
    void contextAt(MainWindow *w, int row)
    {
        const QRect r = w->listView()->visualRect(w->model()->index(row));
        w->customContextMenuRequested(row < 0 ? QPoint(1, 5000) : r.center());
        w->contextMenu()->hide();
    }

    QAction *ctx(MainWindow *w, const QString &text)
    {
        for (QAction *a : w->contextMenu()->actions())
            if (a->text() == text)
                return a;
        return nullptr;
    }

private slots:
    // One configuration that always fails, with a limit of 2; one without a limit, then the lock.
    void restartPolicy()
    {
        TunnelSettings limited =
            pcInterfaceOnCom5(QStringLiteral("127.0.0.1:%1").arg(DeviceServer::refusingPort()));
        limited.autorestart = 1;
        limited.restart_limit = 2;
        limited.restart_delay = 1;
        TunnelSettings unlimited = limited;
        unlimited.uuid = QUuid::createUuid();
        unlimited.data_com = QStringLiteral("COM6");
        unlimited.data_ip = QStringLiteral("127.0.0.2:%1").arg(DeviceServer::refusingPort());
        unlimited.restart_limit = 0;
        QScopedPointer<MainWindow> w(window({limited, unlimited}));
        Boxes boxes;
        QVector<TunnelSettings> &all = *app()->configurations();

        QElapsedTimer clock;
        clock.start();
        contextAt(w.data(), 0);
        w->customContextMenu_start();
        // Start, two restarts a second apart, then the limit's note and nothing scheduled.
        QVERIFY(waitFor(
            [&] { return all[0].last_error.contains(QStringLiteral("Przekroczony limit restartów.")); },
            30000));
        QVERIFY2(clock.elapsed() >= 1900, "the restarts came before their delay");
        QCOMPARE(log->count(QStringLiteral("Restart konfiguracji uuid=%1 - start konfiguracji")
                                .arg(all[0].uuid.toString())),
                 2);
        QCOMPARE(stateOf(all, 0), TunnelSettings::StoppedError);
        QCOMPARE(all[0].restart_count, 0);
        QVERIFY(all[0].last_error.startsWith(QStringLiteral("Błąd")));
        QVERIFY(all[0].last_error.endsWith(QStringLiteral("\nPrzekroczony limit restartów.")));
        QCOMPARE(w->pendingRestarts(), 0);
        // Balloons (to the log: no tray here): the first error and the note, not the silent second one.
        QCOMPARE(log->count(QStringLiteral("[BALLOON] Konfiguracja numer: 1 zmieniła stan na:")), 2);
        QVERIFY(boxes.texts.isEmpty());

        // Unlimited: it keeps restarting until the lock is switched on.
        contextAt(w.data(), 1);
        w->customContextMenu_start();
        QVERIFY(waitFor([&] { return all[1].restart_count >= 3; }, 30000));
        QAction *lock = w->findChild<QAction *>(QStringLiteral("actionTymczasowa_blokada_autorestartu"));
        lock->trigger();
        QVERIFY(lock->isChecked());
        QVERIFY(w->statusBar()->findChild<QLabel *>(QStringLiteral("lockedWarning")));
        QVERIFY(waitFor(
            [&] {
                return all[1].last_error.endsWith(
                    QStringLiteral("Automatyczny restart zablokowany przez użytkownika."));
            },
            30000));
        QCOMPARE(all[1].restart_count, 0);
        QCOMPARE(w->pendingRestarts(), 0);
        lock->trigger();
        QVERIFY(!lock->isChecked());
        QTest::qWait(0);
        QVERIFY(!w->statusBar()->findChild<QLabel *>(QStringLiteral("lockedWarning")));
    }

    // Two configurations for one device address, the menu's refusals and enabling, and the close.
    void sharedAddressRefusalsAndClose()
    {
        DeviceServer device(DeviceServer::Echo);
        DeviceServer second(DeviceServer::Echo);
        TunnelSettings a = pcInterfaceOnCom5(device.target());
        a.autostart = 1;
        TunnelSettings b = pcInterfaceOnCom5(second.target());
        b.uuid = QUuid::createUuid();
        b.data_com = QStringLiteral("COM6");
        b.autostart = 1;
        QScopedPointer<MainWindow> w(window({a, b}));
        Boxes boxes;
        QVector<TunnelSettings> &all = *app()->configurations();

        contextAt(w.data(), 0);
        QVERIFY(ctx(w.data(), QStringLiteral("Uruchom"))->isEnabled());
        QVERIFY(!ctx(w.data(), QStringLiteral("Zatrzymaj"))->isEnabled());
        w->customContextMenu_stop();
        QCOMPARE(boxes.last(),
                 QStringLiteral("Nie można zatrzymać konfiguracji, gdyż aktualnie nie jest uruchomiona"));
        w->customContextMenu_start();
        QVERIFY(waitFor([&] { return stateOf(all, 0) == TunnelSettings::Running; }));

        // The same address from the menu and from the wizard: refused; an active one: refused.
        contextAt(w.data(), 1);
        w->customContextMenu_start();
        QCOMPARE(
            boxes.last(),
            QStringLiteral(
                "Nie można uruchomić konfiguracji, gdyż aktualnie jest uruchomiona inna odnosząca się do tego samego docelowego adresu IP"));
        w->startUUID(all[1].uuid);
        QCOMPARE(boxes.texts.size(), 3);
        contextAt(w.data(), 0);
        QVERIFY(!ctx(w.data(), QStringLiteral("Uruchom"))->isEnabled());
        QVERIFY(ctx(w.data(), QStringLiteral("Zatrzymaj"))->isEnabled());
        QVERIFY(!ctx(w.data(), QStringLiteral("Edytuj"))->isEnabled());
        QVERIFY(!ctx(w.data(), QStringLiteral("Usuń"))->isEnabled());
        QVERIFY(ctx(w.data(), QStringLiteral("Nowa"))->isEnabled());
        w->customContextMenu_start();
        QCOMPARE(boxes.last(),
                 QStringLiteral("Nie można uruchomić konfiguracji, gdyż aktualnie jest uruchomiona"));

        // Editing and deleting while something runs: refused from every way in.
        w->on_mappingList_doubleClicked(w->model()->index(0));
        QCOMPARE(boxes.last(),
                 QStringLiteral("Nie można edytować ustawień konfiguracji, gdyż aktualnie jest uruchomiona"));
        w->listView()->setCurrentIndex(w->model()->index(1));
        w->on_actionUsu_tunel_triggered();
        QCOMPARE(
            boxes.last(),
            QStringLiteral(
                "Nie można usunąć konfiguracji, gdyż aktualnie jest uruchomione co najmniej jedna aktywna konfiguracja"));
        w->on_actionPrze_aduj_konfiguracj_triggered();
        QCOMPARE(boxes.last(),
                 QStringLiteral(
                     "Nie można załadować ustawień, gdyż co najmniej jedna konfiguracja jest uruchomiona"));

        // Autostart is not refused: the second runs beside the first.
        w->autostarts();
        QVERIFY(log->contains(QStringLiteral("Tried to start instance in active state: idx=0")));
        QVERIFY(waitFor([&] { return stateOf(all, 1) == TunnelSettings::Running; }));
        // The first stops; the second still holds the address, so the first cannot start again.
        contextAt(w.data(), 0);
        w->customContextMenu_stop();
        QVERIFY(waitFor([&] { return stateOf(all, 0) == TunnelSettings::Stopped; }));
        const int before = boxes.texts.size();
        w->startUUID(all[0].uuid);
        QCOMPARE(boxes.texts.size(), before + 1);
        QVERIFY(boxes.last().contains(QStringLiteral("tego samego docelowego adresu IP")));

        // Close with one Running and one Starting configuration: both stop before the close completes.
        w->startMapping(0);
        QCOMPARE(stateOf(all, 0), TunnelSettings::Stopped); // Starting arrives queued
        QTest::qWait(0);
        boxes.answers = {QMessageBox::Yes};
        QVERIFY(w->close());
        QCOMPARE(boxes.last(),
                 QStringLiteral("Są uruchomione konfiguracje. Czy chcesz zamknąć aplikację?\n"));
        QCOMPARE(stateOf(all, 0), TunnelSettings::Stopped);
        QCOMPARE(stateOf(all, 1), TunnelSettings::Stopped);
        QVERIFY(!log->contains(QStringLiteral("did not stop within")));
        QCOMPARE(all[0].worker, nullptr);
    }

    // New, edit, delete, save and reload on a real configuration file; the row painting's rules.
    void editingActionsAndRows()
    {
        DeviceServer device(DeviceServer::Echo);
        QScopedPointer<MainWindow> w(window({}));
        Boxes boxes;
        QVector<TunnelSettings> &all = *app()->configurations();
        auto cfgLabel = [&] { return w->statusBar()->findChild<QLabel *>(QStringLiteral("cfgWarning")); };

        // The editor, answered the way a user fills it in.
        TunnelSettings entered = pcInterfaceOnCom5(device.target());
        entered.description = QStringLiteral("Kasa 1");
        auto fillEditor = [&](const TunnelSettings &s) {
            QTimer::singleShot(0, [s] {
                auto *dlg = qobject_cast<EditTunnel *>(QApplication::activeModalWidget());
                QVERIFY(dlg);
                dlg->setData(s);
                dlg->done(QDialog::Accepted); // as accepted, past the editor's own checks
            });
        };
        fillEditor(entered);
        w->on_actionDodaj_nowy_tunel_triggered();
        QCOMPARE(all.size(), 1);
        QVERIFY(!all[0].uuid.isNull());
        QVERIFY(cfgLabel());
        QCOMPARE(cfgLabel()->text(), QStringLiteral("Ustawienia nie zapisane!"));

        // Saved: the indicator goes.
        w->on_actionOtw_rz_plik_konfiguracyjny_triggered();
        QTest::qWait(0);
        QVERIFY(!cfgLabel());
        // Edit through a double click, then reload the saved file: the edit is gone, new identities.
        TunnelSettings edited = all[0];
        edited.description = QStringLiteral("Kasa 2");
        edited.autostart = 1;
        fillEditor(edited);
        w->on_mappingList_doubleClicked(w->model()->index(0));
        QCOMPARE(all[0].description, QStringLiteral("Kasa 2"));
        QVERIFY(cfgLabel());
        const QUuid before = all[0].uuid;
        w->on_actionPrze_aduj_konfiguracj_triggered();
        QTest::qWait(0);
        QCOMPARE(boxes.last(),
                 QStringLiteral("Czy odtworzyć poprzednie ustawienia z pliku konfiguracyjnego?\n"));
        QCOMPARE(all.size(), 1);
        QCOMPARE(all[0].description, QStringLiteral("Kasa 1"));
        QVERIFY(all[0].uuid != before);
        QVERIFY(!cfgLabel());

        // Row heights: the settings line and the error text each make the row taller.
        TunnelListItemDelegate delegate;
        QStyleOptionViewItem option;
        option.rect = QRect(0, 0, 600, 10);
        const int plain = delegate.sizeHint(option, w->model()->index(0)).height();
        all[0].autostart = 1;
        const int withLine = delegate.sizeHint(option, w->model()->index(0)).height();
        all[0].last_error = QStringLiteral("Błąd połączenia z 127.0.0.1:1 - Connection refused");
        const int withError = delegate.sizeHint(option, w->model()->index(0)).height();
        QVERIFY2(plain < withLine && withLine < withError,
                 qPrintable(QStringLiteral("%1 %2 %3").arg(plain).arg(withLine).arg(withError)));
        QCOMPARE(TunnelListItemDelegate::stateColor(TunnelSettings::StoppedError), QColor(Qt::red));
        QCOMPARE(TunnelListItemDelegate::stateColor(TunnelSettings::Running), QColor(Qt::darkGreen));
        QCOMPARE(TunnelListItemDelegate::restartLine(all[0]), QStringLiteral("Autostart włączony. "));

        // Delete: asked, removed, unsaved; the file still has it.
        w->listView()->setCurrentIndex(w->model()->index(0));
        w->on_actionUsu_tunel_triggered();
        QCOMPARE(boxes.last(), QStringLiteral("Czy usunąć wskazaną konfigurację?\n"));
        QCOMPARE(all.size(), 0);
        QVERIFY(cfgLabel());
        w->on_actionUsu_tunel_triggered();
        QCOMPARE(boxes.last(), QStringLiteral("Proszę wybrać konfigurację do usunięcia."));

        // The start-with-system bridge missing: the warning names it, the setting follows what exists.
        qputenv("VELMORA_LEDMIR", QFile::encodeName(env->root() + QStringLiteral("/libledmir.so")));
        app()->appSettings()->task_delay = 0;
        QVERIFY(!w->TaskScheduleRegister(false));
        QVERIFY(boxes.last().startsWith(
            QStringLiteral("Nie można załadować biblioteki %1/libledmir.so. Błąd: ").arg(env->root())));

        // The real bridge: the settings action registers the autostart entry and saves the setting;
        // switched off, the entry goes.
        qputenv("VELMORA_LEDMIR", QFile::encodeName(TestEnv::binary(QStringLiteral("libledmir.so"))));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(env->root() + QStringLiteral("/config")));
        auto acceptSettings = [](bool withSystem) {
            QTimer::singleShot(0, [withSystem] {
                auto *dlg = qobject_cast<AppSettingsDialog *>(QApplication::activeModalWidget());
                QVERIFY(dlg);
                AppSettings s = dlg->settings();
                s.start_with_system = withSystem;
                s.task_delay = 30;
                dlg->setSettings(s);
                dlg->done(QDialog::Accepted);
            });
        };
        const QString entry = env->root() + QStringLiteral("/config/autostart/Velmora.desktop");
        acceptSettings(true);
        w->on_actionUstawienia_aplikacji_triggered();
        QVERIFY(app()->appSettings()->start_with_system);
        QFile desktop(entry);
        QVERIFY(desktop.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(desktop.readAll());
        QVERIFY2(text.contains(QStringLiteral("sleep 30")) &&
                     text.contains(QCoreApplication::applicationFilePath()),
                 qPrintable(text));
        AppSettings saved;
        QVector<TunnelSettings> none;
        QString errors;
        ConfigurationFile(app()->configurationPath()).load(none, saved, &errors);
        QVERIFY(saved.start_with_system);
        QCOMPARE(saved.task_delay, 30);
        acceptSettings(false);
        w->on_actionUstawienia_aplikacji_triggered();
        QVERIFY(!QFile::exists(entry));
        QVERIFY(!app()->appSettings()->start_with_system);
        qunsetenv("VELMORA_LEDMIR");
        qunsetenv("XDG_CONFIG_HOME");
    }

    // The start-up as the program runs it, minimised on request but never
    // hidden without a tray; the tray's activation rules; the termination path.
    void startUpMinimisedTrayAndTermination()
    {
        DeviceServer device(DeviceServer::Echo);
        TunnelSettings cfg = pcInterfaceOnCom5(device.target());
        cfg.autostart = 1;
        app()->setDataPath(env->dataPath());
        QDir().mkpath(env->dataPath());
        AppSettings settings;
        settings.start_wizard = false;
        settings.restarts_blocked = true;
        ConfigurationFile file(app()->configurationPath());
        QVERIFY(file.save({cfg}));
        QVERIFY(file.saveApp(settings));
        app()->configurations()->clear();

        QElapsedTimer clock;
        clock.start();
        app()->InitializeApp(true);
        MainWindow *w = app()->mainWindow();
        QVERIFY(w);
        QVERIFY(w->restartLocked());
        QVERIFY(!w->isVisible());
        QVERIFY(waitFor([&] { return w->isVisible(); }, 10000));
        QVERIFY(clock.elapsed() >= 3750); // coarse timers may fire 5 % early
        QVERIFY(w->isMinimized());
        QTest::qWait(50);
        QVERIFY2(w->isVisible(), "minimised without a tray must stay reachable");
        QVector<TunnelSettings> &all = *app()->configurations();
        QCOMPARE(all.size(), 1);
        QVERIFY(waitFor([&] { return all[0].state == TunnelSettings::Running; }));
        QVERIFY(clock.elapsed() >= 4700);

        app()->iconActivated(QSystemTrayIcon::Context);
        QVERIFY(w->isMinimized());
        app()->iconActivated(QSystemTrayIcon::DoubleClick);
        QVERIFY(!w->isMinimized());
        w->showMinimized();
        app()->messageClicked();
        QVERIFY(!w->isMinimized());

        app()->terminationRequested(SIGTERM);
        QCOMPARE(all[0].state, TunnelSettings::Stopped);
        app()->shutdown();
        QVERIFY(!app()->mainWindow());
    }
};

int main(int argc, char *argv[])
{
    TunnelApplication app(argc, argv);
    registerTunnelSettingsMetaTypes();
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
