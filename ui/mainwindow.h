// The main window: the list of configurations with their states, the menus,
// the context menu and the status-bar indicators; and the supervisor that
// starts, stops and restarts configurations and guards their device
// addresses. Everything here runs on the GUI thread; workers report through
// queued signals.
#pragma once

#include "config/appsettings.h"
#include "config/tunnelsettings.h"

#include <QHash>
#include <QHostAddress>
#include <QMainWindow>
#include <QModelIndex>
#include <QPointer>
#include <QSystemTrayIcon>

#include <functional>

class ApplicationContext;
class DevNotifyHandle;
class QAction;
class QLabel;
class QLibrary;
class QListView;
class QMenu;
class TunnelListModel;

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(ApplicationContext *app, QWidget *parent = nullptr);
    ~MainWindow() override;

    // The application's configurations and settings (not owned). Engages the
    // autorestart lock when the settings ask for it.
    void setConfigurations(QVector<TunnelSettings> *configurations, AppSettings *settings);

    // How the wizard action makes its wizard (a dialog with the signals
    // startUUID(QUuid) and finished(int)); none: the action stays disabled.
    using WizardFactory = std::function<QDialog *()>;
    static void setWizardFactory(WizardFactory factory);
    // The device library did not load: the wizard cannot work, for good.
    void disableWizard();

    void startMapping(int idx);
    void clearrestartcount(int idx);
    QHostAddress ipForUid(const QUuid &uid);
    void appendRunningTarget(const QUuid &uid);
    void removeRunningTarget(const QUuid &uid);
    bool isRunningForTarget(const QUuid &uid);
    bool anyActive() const;
    void setRestartLock(bool locked);
    bool restartLocked() const { return autorestartLocked; }
    bool TaskScheduleRegister(bool remove);
    static bool resolveSymbol(QLibrary &library, const QString &name, void **slot);

    // A start or stop asked for from outside the window (the control socket):
    // the menu's checks, the refusal's text returned instead of shown.
    QString requestStart(int idx);
    QString requestStop(int idx);

    // The close the user confirmed, without the questions: every active
    // configuration is told to stop and their final reports are awaited
    // (events processed) for at most timeoutMs. False when some did not end.
    bool stopAllAndWait(int timeoutMs);

    TunnelListModel *model() const { return m_model; }
    QListView *listView() const { return m_list; }
    QMenu *contextMenu() const { return m_contextMenu; }
    // The pending restart timers (tests and the shutdown read them).
    int pendingRestarts() const;

signals:
    void signalStop(QUuid uid);
    // The user confirmed the close and every configuration has stopped: the program ends.
    void closeConfirmed();

public slots:
    void mappingStateChanged(QUuid uid, TunnelSettings::TunnelState state);
    void mappingLastError(QUuid uid, QString str);
    void restartTimer();
    void autostarts();
    void startUUID(QUuid uid);
    void customContextMenu_start(bool checked = false);
    void customContextMenu_stop(bool checked = false);
    void customContextMenu_new(bool checked = false);
    void customContextMenu_edit(bool checked = false);
    void customContextMenu_delete(bool checked = false);
    void customContextMenuRequested(const QPoint &pos);
    void hovered(QAction *action);
    void triggered(QAction *action);
    void on_mappingList_doubleClicked(const QModelIndex &index);
    void wizardFinished(int code);
    void cfgWarning(bool show);

    void on_actionOtw_rz_plik_konfiguracyjny_triggered();
    void on_actionPrze_aduj_konfiguracj_triggered();
    void on_action_Zamknij_triggered();
    void on_actionDodaj_nowy_tunel_triggered();
    void on_actionEdytuj_tunel_triggered();
    void on_actionUsu_tunel_triggered();
    void on_actionUsuwanie_port_w_szeregowych_triggered();
    void on_actionKreator_konfiguracji_triggered();
    void on_actionTymczasowa_blokada_autorestartu_triggered();
    void on_actionUstawienia_aplikacji_triggered();
    void on_actionOtw_rz_katalog_danych_aplikacji_triggered();
    void on_actionO_aplikacji_triggered();

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    QAction *addAction(QMenu *menu, const char *objectName, const QString &text);
    void buildForm();
    void editRow(const QModelIndex &index);
    void deleteRow(const QModelIndex &index);
    // The first check a start fails, as the user is told; empty when none fails.
    QString startRefusal(int idx, bool checkActive);
    QString stopRefusal(int idx) const;
    void note(int idx, const QString &text);
    void balloon(int idx, TunnelSettings::TunnelState state, const QString &noteText);
    bool stopped(int idx) const;
    QString targetText(const QHostAddress &address) const;

    ApplicationContext *m_app;
    QVector<TunnelSettings> *configurations = nullptr;
    AppSettings *m_appSettings = nullptr;
    // Device address per configuration that is Starting, Running or
    // Stopping: a configuration is refused only while ANOTHER one with its
    // address is on the list, so two that share an address (both started by
    // autostart) never unprotect each other.
    QHash<QUuid, QHostAddress> runningTargets;
    bool autorestartLocked = false;
    bool m_closing = false;
    QLabel *m_lockedWarning = nullptr;
    QLabel *m_cfgWarning = nullptr;
    QLibrary *taskLibrary = nullptr;

    TunnelListModel *m_model = nullptr;
    QListView *m_list = nullptr;
    QMenu *m_contextMenu = nullptr;
    QAction *m_ctxStart = nullptr;
    QAction *m_ctxStop = nullptr;
    QAction *m_ctxNew = nullptr;
    QAction *m_ctxEdit = nullptr;
    QAction *m_ctxDelete = nullptr;
    QModelIndex m_contextIndex;
    QPointer<QDialog> m_wizard;
    bool m_wizardDisabled = false;
    DevNotifyHandle *m_devNotify = nullptr;
};
