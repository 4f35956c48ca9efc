#include "ui/mainwindow.h"

#include "ledmir/ledmir.h"
#include "log/debug_class.h"
#include "platform/librarylocation.h"
#include "ports/devnotifyhandle.h"
#include "runtime/pppengine.h"
#include "runtime/workthreadip.h"
#include "ui/aboutdialog.h"
#include "ui/applicationcontext.h"
#include "ui/appsettingsdialog.h"
#include "ui/edittunnel.h"
#include "ui/messagebox.h"
#include "ui/portremove.h"
#include "ui/tunnellistitemdelegate.h"
#include "ui/tunnellistmodel.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QLibrary>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <cstdint>
#include <string>

namespace
{
// The bridge's entry point, process-wide once resolved.
CreateTaskDefinitionFn g_createTaskDefinition = nullptr;

MainWindow::WizardFactory &wizardFactory()
{
    static MainWindow::WizardFactory factory;
    return factory;
}

bool isStopped(TunnelSettings::TunnelState s)
{
    return s == TunnelSettings::Stopped || s == TunnelSettings::StoppedError;
}
} // namespace

MainWindow::MainWindow(ApplicationContext *app, QWidget *parent) : QMainWindow(parent), m_app(app)
{
    buildForm();
    m_devNotify = new DevNotifyHandle(this);
    m_devNotify->RegisterToWindow(quintptr(this));
}

MainWindow::~MainWindow()
{
    // Unregisters the port notifications before the window's children go.
    delete m_devNotify;
}

QAction *MainWindow::addAction(QMenu *menu, const char *objectName, const QString &text)
{
    auto *action = new QAction(text, this);
    action->setObjectName(QLatin1String(objectName));
    menu->addAction(action);
    return action;
}

void MainWindow::buildForm()
{
    setWindowTitle(QStringLiteral("Velmora"));
    setWindowIcon(QIcon(QStringLiteral(":/images/application2.png")));
    resize(640, 720);

    QMenu *file = menuBar()->addMenu(tr("Plik"));
    file->setObjectName(QStringLiteral("menuPlik"));
    addAction(file, "actionOtw_rz_plik_konfiguracyjny", tr("Zapisz aktualne ustawienia"));
    addAction(file, "actionPrze_aduj_konfiguracj", tr("Przywróć ustawienia z pliku"));
    file->addSeparator();
    addAction(file, "action_Zamknij", tr("&Zamknij"));

    QMenu *settings = menuBar()->addMenu(tr("Ustawienia"));
    settings->setObjectName(QStringLiteral("menuUstawienia"));
    addAction(settings, "actionDodaj_nowy_tunel", tr("Dodaj nową konfigurację"));
    addAction(settings, "actionEdytuj_tunel", tr("Edytuj konfigurację"));
    addAction(settings, "actionUsu_tunel", tr("Usuń konfigurację"));
    settings->addSeparator();
    addAction(settings, "actionUsuwanie_port_w_szeregowych", tr("Usuwanie portów szeregowych"));
    settings->addSeparator();
    QAction *wizard = addAction(settings, "actionKreator_konfiguracji", tr("Kreator konfiguracji"));
    wizard->setToolTip(tr("Kreator konfiguracji"));
    // Disabled for good only when the device library did not load.
    settings->addSeparator();
    addAction(settings, "actionTymczasowa_blokada_autorestartu", tr("Blokada autorestartu"))
        ->setCheckable(true);
    addAction(settings, "actionUstawienia_aplikacji", tr("Ustawienia aplikacji"));

    QMenu *help = menuBar()->addMenu(tr("Pomoc"));
    help->setObjectName(QStringLiteral("menuPomoc"));
    addAction(help, "actionOtw_rz_katalog_danych_aplikacji", tr("Otwórz katalog danych aplikacji"));
    help->addSeparator();
    addAction(help, "actionO_aplikacji", tr("O aplikacji"));

    connect(menuBar(), &QMenuBar::hovered, this, &MainWindow::hovered);
    connect(menuBar(), &QMenuBar::triggered, this, &MainWindow::triggered);

    m_list = new QListView(this);
    m_list->setObjectName(QStringLiteral("mappingList"));
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    m_list->setResizeMode(QListView::Adjust);
    m_list->setItemDelegate(new TunnelListItemDelegate(m_list));
    connect(m_list, &QListView::customContextMenuRequested, this, &MainWindow::customContextMenuRequested);
    setCentralWidget(m_list);
    statusBar()->setObjectName(QStringLiteral("statusBar"));

    m_contextMenu = new QMenu(this);
    m_contextMenu->setObjectName(QStringLiteral("contextMenu"));
    m_ctxStart = m_contextMenu->addAction(tr("Uruchom"), this, &MainWindow::customContextMenu_start);
    m_ctxStop = m_contextMenu->addAction(tr("Zatrzymaj"), this, &MainWindow::customContextMenu_stop);
    m_contextMenu->addSeparator();
    m_ctxNew = m_contextMenu->addAction(tr("Nowa"), this, &MainWindow::customContextMenu_new);
    m_ctxEdit = m_contextMenu->addAction(tr("Edytuj"), this, &MainWindow::customContextMenu_edit);
    m_ctxDelete = m_contextMenu->addAction(tr("Usuń"), this, &MainWindow::customContextMenu_delete);

    QMetaObject::connectSlotsByName(this);
}

void MainWindow::setConfigurations(QVector<TunnelSettings> *all, AppSettings *settings)
{
    configurations = all;
    m_appSettings = settings;
    delete m_model;
    m_model = new TunnelListModel(configurations, this);
    m_list->setModel(m_model);
    if (m_appSettings && m_appSettings->restarts_blocked)
        setRestartLock(true);
}

void MainWindow::setWizardFactory(WizardFactory factory)
{
    wizardFactory() = std::move(factory);
}

void MainWindow::disableWizard()
{
    m_wizardDisabled = true;
    findChild<QAction *>(QStringLiteral("actionKreator_konfiguracji"))->setEnabled(false);
}

// ---- supervisor -------------------------------------------------------------------------------

bool MainWindow::stopped(int idx) const
{
    return isStopped((*configurations)[idx].state);
}

void MainWindow::startMapping(int idx)
{
    TunnelSettings &cfg = (*configurations)[idx];
    if (!isStopped(cfg.state)) {
        VLOG(-10) << QStringLiteral("Tried to start instance in active state: idx=%1").arg(idx);
        return;
    }
    auto *worker = new WorkThreadIP();
    cfg.worker = worker;
    cfg.last_error.clear();
    worker->setSettings(cfg);
    connect(worker, &WorkThreadBase::stateChanged, this, &MainWindow::mappingStateChanged,
            Qt::QueuedConnection);
    connect(worker, &WorkThreadBase::lastError, this, &MainWindow::mappingLastError);
    connect(this, &MainWindow::signalStop, worker, &WorkThreadBase::signalStop);
    worker->signalStart();
}

void MainWindow::clearrestartcount(int idx)
{
    VLOG(4) << QStringLiteral("Resetting restart counter for idx=%1").arg(idx);
    (*configurations)[idx].restart_count = 0;
}

QHostAddress MainWindow::ipForUid(const QUuid &uid)
{
    const int idx = m_app->indexOfUuid(uid);
    if (idx < 0) {
        VLOG(10) << QStringLiteral("IDX not found for uid: %1").arg(uid.toString());
        return QHostAddress();
    }
    const QHostAddress address = configurations->at(idx).deviceAddress();
    if (address.isNull())
        VLOG(10) << QStringLiteral("IP not found for uid: %1").arg(uid.toString());
    return address;
}

void MainWindow::appendRunningTarget(const QUuid &uid)
{
    const QHostAddress address = ipForUid(uid);
    if (address.isNull())
        return;
    if (runningTargets.contains(uid)) {
        VLOG(10) << QStringLiteral("IP %2 already on the list for uid: %1")
                        .arg(uid.toString(), address.toString());
        return;
    }
    runningTargets.insert(uid, address);
}

void MainWindow::removeRunningTarget(const QUuid &uid)
{
    const QHostAddress address = ipForUid(uid);
    if (address.isNull())
        return;
    if (runningTargets.remove(uid) == 0)
        VLOG(10)
            << QStringLiteral("IP %2 not on the list for uid: %1").arg(uid.toString(), address.toString());
}

bool MainWindow::isRunningForTarget(const QUuid &uid)
{
    const QHostAddress address = ipForUid(uid);
    if (address.isNull())
        return false;
    for (auto it = runningTargets.cbegin(); it != runningTargets.cend(); ++it) {
        if (it.key() != uid && it.value().isEqual(address)) {
            VLOG(10)
                << QStringLiteral("IP %2 on the list for uid: %1").arg(uid.toString(), address.toString());
            return true;
        }
    }
    VLOG(10) << QStringLiteral("IP %2 not on the list for uid: %1").arg(uid.toString(), address.toString());
    return false;
}

bool MainWindow::anyActive() const
{
    if (!configurations)
        return false;
    for (const TunnelSettings &cfg : *configurations)
        if (!isStopped(cfg.state))
            return true;
    return false;
}

QString MainWindow::startRefusal(int idx, bool checkActive)
{
    const TunnelSettings &cfg = configurations->at(idx);
    if (checkActive && !isStopped(cfg.state))
        return tr("Nie można uruchomić konfiguracji, gdyż aktualnie jest uruchomiona");
    if (cfg.mode == TunnelSettings::PPP && m_app->pppEngine() && m_app->pppEngine()->isSessionActive())
        return tr("Nie można uruchomić połączenia PPP, gdyż aktualnie jest uruchomione inne.");
    if (isRunningForTarget(cfg.uuid))
        return tr(
            "Nie można uruchomić konfiguracji, gdyż aktualnie jest uruchomiona inna odnosząca się do tego samego docelowego adresu IP");
    return QString();
}

QString MainWindow::stopRefusal(int idx) const
{
    if (configurations->at(idx).state != TunnelSettings::Running)
        return tr("Nie można zatrzymać konfiguracji, gdyż aktualnie nie jest uruchomiona");
    return QString();
}

QString MainWindow::requestStart(int idx)
{
    const QString refusal = startRefusal(idx, true);
    if (!refusal.isEmpty())
        return refusal;
    clearrestartcount(idx);
    startMapping(idx);
    return QString();
}

QString MainWindow::requestStop(int idx)
{
    const QString refusal = stopRefusal(idx);
    if (refusal.isEmpty())
        emit signalStop(configurations->at(idx).uuid);
    return refusal;
}

void MainWindow::customContextMenu_start(bool)
{
    if (!m_contextIndex.isValid() || m_contextIndex.row() >= configurations->size())
        return;
    const QString refusal = requestStart(m_contextIndex.row());
    if (!refusal.isEmpty())
        MessageBox::warning(this, tr("Ostrzeżenie"), refusal);
}

void MainWindow::startUUID(QUuid uid)
{
    VLOG(10) << "Called start for UUID " << uid.toString() << " from wizard....";
    const int idx = m_app->indexOfUuid(uid);
    if (idx < 0) {
        VLOG(10) << "Mapping for UUID " << uid.toString() << " not found!";
        return;
    }
    const QString refusal = startRefusal(idx, false);
    if (!refusal.isEmpty()) {
        MessageBox::warning(this, tr("Ostrzeżenie"), refusal);
        return;
    }
    setRestartLock(false);
    clearrestartcount(idx);
    startMapping(idx);
}

void MainWindow::autostarts()
{
    VLOG(4) << "Processing autostarts ";
    for (int idx = 0; idx < configurations->size(); ++idx) {
        if (!configurations->at(idx).autostart)
            continue;
        VLOG(4) << QStringLiteral("Processing autostart for idx: %1 ").arg(idx);
        clearrestartcount(idx);
        startMapping(idx);
    }
}

void MainWindow::customContextMenu_stop(bool)
{
    if (!m_contextIndex.isValid() || m_contextIndex.row() >= configurations->size())
        return;
    const QString refusal = requestStop(m_contextIndex.row());
    if (!refusal.isEmpty())
        MessageBox::warning(this, tr("Ostrzeżenie"), refusal);
}

void MainWindow::note(int idx, const QString &text)
{
    TunnelSettings &cfg = (*configurations)[idx];
    cfg.last_error += QLatin1Char('\n') + text;
    cfg.restart_count = 0;
    m_model->refresh(idx);
}

void MainWindow::mappingStateChanged(QUuid uid, TunnelSettings::TunnelState state)
{
    const int idx = m_app->indexOfUuid(uid);
    if (idx < 0)
        return;
    TunnelSettings &cfg = (*configurations)[idx];
    cfg.state = state;
    if (isStopped(state))
        cfg.worker = nullptr; // the worker deletes itself after its last report
    m_model->refresh(idx);

    if (state == TunnelSettings::Starting || state == TunnelSettings::Running)
        appendRunningTarget(uid);
    if (isStopped(state))
        removeRunningTarget(uid);

    QString noteText;
    if (state == TunnelSettings::StoppedError && cfg.autorestart && !m_closing) {
        if (isRunningForTarget(uid)) {
            VLOG(4) << QStringLiteral("Another tunnel with same target IP is running - idx: %1 ").arg(idx);
            noteText = tr("Uruchomiony inny tunel z tym samym IP docelowym.");
        } else {
            cfg.restart_count += 1;
            if (cfg.restart_limit != 0 && cfg.restart_count > cfg.restart_limit) {
                VLOG(4) << QStringLiteral("Restart limit exceeded for idx: %1 ").arg(idx);
                noteText = tr("Przekroczony limit restartów.");
            } else if (autorestartLocked) {
                VLOG(4) << QStringLiteral("Autorestarts globally disabled, idx: %1 ").arg(idx);
                noteText = tr("Automatyczny restart zablokowany przez użytkownika.");
            } else {
                // The window owns it, so a timer still pending at exit goes with the window.
                auto *timer = new QTimer(this);
                timer->setSingleShot(true);
                timer->setObjectName(QStringLiteral("restartTimer"));
                timer->setProperty("restart_uuid", QVariant::fromValue(cfg.uuid));
                connect(timer, &QTimer::timeout, this, &MainWindow::restartTimer);
                timer->start(cfg.restart_delay * 1000);
            }
        }
        if (!noteText.isEmpty())
            note(idx, noteText);
    }
    balloon(idx, state, noteText);
}

void MainWindow::balloon(int idx, TunnelSettings::TunnelState state, const QString &noteText)
{
    if (state != TunnelSettings::Stopped && state != TunnelSettings::Running &&
        state != TunnelSettings::StoppedError)
        return;
    const TunnelSettings &cfg = configurations->at(idx);
    if (state == TunnelSettings::StoppedError && cfg.autorestart && cfg.restart_count > 1)
        return;
    const QString text = tr("Konfiguracja numer: %1 zmieniła stan na: %2 %3")
                             .arg(idx + 1)
                             .arg(TunnelSettings::stateName(state, false),
                                  noteText.isEmpty() ? QString() : QLatin1Char('\n') + noteText);
    QSystemTrayIcon *tray = m_app->trayIcon();
    if (!tray) {
        // No tray to show it on: the log keeps it.
        VLOG(4) << "[BALLOON] " << text;
        return;
    }
    if (isVisible() && !isMinimized())
        return;
    tray->showMessage(tr("Tunelowanie"), text, QSystemTrayIcon::Information, 3000);
}

void MainWindow::restartTimer()
{
    auto *timer = qobject_cast<QTimer *>(sender());
    if (!timer)
        return;
    const QUuid uid = timer->property("restart_uuid").value<QUuid>();
    timer->deleteLater();
    if (uid.isNull())
        return;
    VLOG(4) << tr("Restart konfiguracji uuid=%1 ").arg(uid.toString());
    const int idx = m_app->indexOfUuid(uid);
    if (idx < 0)
        return;
    if (stopped(idx)) {
        VLOG(4) << QStringLiteral("Restart konfiguracji uuid=%1 - start konfiguracji").arg(uid.toString());
        startMapping(idx);
    }
}

int MainWindow::pendingRestarts() const
{
    int n = 0;
    for (const QTimer *timer :
         findChildren<QTimer *>(QStringLiteral("restartTimer"), Qt::FindDirectChildrenOnly))
        n += timer->isActive() ? 1 : 0;
    return n;
}

void MainWindow::mappingLastError(QUuid uid, QString str)
{
    const int idx = m_app->indexOfUuid(uid);
    if (idx >= 0)
        (*configurations)[idx].last_error = str;
}

void MainWindow::setRestartLock(bool locked)
{
    QAction *action = findChild<QAction *>(QStringLiteral("actionTymczasowa_blokada_autorestartu"));
    if (locked) {
        if (!action->isChecked())
            action->setChecked(true);
        autorestartLocked = true;
        if (!m_lockedWarning) {
            m_lockedWarning = new QLabel(this);
            m_lockedWarning->setObjectName(QStringLiteral("lockedWarning"));
            m_lockedWarning->setText(QStringLiteral("<font color='Blue'><strong>") +
                                     tr("Blokada autorestartu") + QStringLiteral("</strong></font>"));
            statusBar()->addPermanentWidget(m_lockedWarning, 0);
            m_lockedWarning->show();
        }
    } else {
        if (action->isChecked())
            action->setChecked(false);
        autorestartLocked = false;
        if (m_lockedWarning) {
            statusBar()->removeWidget(m_lockedWarning);
            m_lockedWarning->deleteLater();
            m_lockedWarning = nullptr;
        }
    }
}

void MainWindow::on_actionTymczasowa_blokada_autorestartu_triggered()
{
    setRestartLock(
        findChild<QAction *>(QStringLiteral("actionTymczasowa_blokada_autorestartu"))->isChecked());
}

bool MainWindow::resolveSymbol(QLibrary &library, const QString &name, void **slot)
{
    *slot = reinterpret_cast<void *>(library.resolve(name.toLatin1().constData()));
    if (!*slot) {
        VLOG(-10) << QStringLiteral("Could not find symbol '%1': %2").arg(name, library.errorString());
        return false;
    }
    return true;
}

bool MainWindow::TaskScheduleRegister(bool remove)
{
    if (!taskLibrary) {
        taskLibrary = new QLibrary(LibraryLocation::find("VELMORA_LEDMIR", QStringLiteral("ledmir")), this);
        if (!taskLibrary->load()) {
            VLOG(-10) << QStringLiteral("Could not load library %1").arg(taskLibrary->errorString());
            MessageBox::warning(this, tr("Ostrzeżenie"),
                                tr("Nie można załadować biblioteki %1. Błąd: %2")
                                    .arg(taskLibrary->fileName(), taskLibrary->errorString()));
            taskLibrary->deleteLater();
            taskLibrary = nullptr;
            return false;
        }
    }
    void *symbol = nullptr;
    if (!resolveSymbol(*taskLibrary, QLatin1String(ledmir::kCreateTaskDefinition), &symbol)) {
        MessageBox::warning(
            this, tr("Ostrzeżenie"),
            tr("Nie można załadować biblioteki %1. Błąd ładowania symboli.").arg(taskLibrary->fileName()));
        taskLibrary->deleteLater();
        taskLibrary = nullptr;
        return false;
    }
    g_createTaskDefinition = reinterpret_cast<CreateTaskDefinitionFn>(symbol);
    const std::wstring name = QStringLiteral("Velmora").toStdWString();
    const std::wstring program = QCoreApplication::applicationFilePath().toStdWString();
    const std::wstring folder = QCoreApplication::applicationDirPath().toStdWString();
    const std::wstring author = QStringLiteral("TAVREL POLSKA SA").toStdWString();
    int32_t code = 0;
    int32_t stage = 0;
    const bool ok = g_createTaskDefinition(name, program, folder, author, remove,
                                           m_appSettings ? m_appSettings->task_delay : 0, &code, &stage);
    if (!ok) {
        MessageBox::warning(
            this, tr("Ostrzeżenie"),
            tr("Błąd rejestracji zadania automatycznego uruchamiania na starcie systemu - kod: 0x%1 etap %2.")
                .arg(quint32(code), 8, 16, QLatin1Char('0'))
                .arg(stage));
        return false;
    }
    return true;
}

void MainWindow::on_actionUstawienia_aplikacji_triggered()
{
    auto *dialog = new AppSettingsDialog(this);
    dialog->setSettings(*m_appSettings);
    if (dialog->exec() == QDialog::Accepted) {
        *m_appSettings = dialog->settings();
        if (!TaskScheduleRegister(!m_appSettings->start_with_system))
            m_appSettings->start_with_system = !m_appSettings->start_with_system;
        m_app->saveAppSettings();
    }
    dialog->deleteLater();
}

bool MainWindow::stopAllAndWait(int timeoutMs)
{
    m_closing = true;
    for (const TunnelSettings &cfg : *configurations)
        if (cfg.state != TunnelSettings::Stopped && cfg.state != TunnelSettings::StoppedError)
            emit signalStop(cfg.uuid);
    QElapsedTimer waited;
    waited.start();
    while (anyActive() && waited.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    bool all = true;
    for (int idx = 0; idx < configurations->size(); ++idx) {
        if (!stopped(idx)) {
            VLOG(-10) << QStringLiteral("Configuration idx=%1 did not stop within %2 ms (state %3)")
                             .arg(idx)
                             .arg(timeoutMs)
                             .arg(TunnelSettings::stateName(configurations->at(idx).state));
            all = false;
        }
    }
    return all;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (m_cfgWarning) {
        if (MessageBox::question(this, tr("Pytanie"), tr("Nie zapisano ustawień. Czy zapisać teraz?\n"),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes) {
            if (!m_app->saveSettings())
                MessageBox::critical(this, tr("Błąd"), tr("Nie można zapisać ustawień. Błąd zapisu."));
            else
                cfgWarning(false);
        }
    }
    const QString question = anyActive() ? tr("Są uruchomione konfiguracje. Czy chcesz zamknąć aplikację?\n")
                                         : tr("Czy chcesz zamknąć aplikację?\n");
    if (MessageBox::question(this, tr("Pytanie"), question, QMessageBox::Yes | QMessageBox::No,
                             QMessageBox::No) != QMessageBox::Yes) {
        event->ignore();
        return;
    }
    // Every active configuration (Starting and Stopping ones too) is stopped
    // and awaited, so the services are never shut down under a worker.
    stopAllAndWait(10000);
    event->accept();
    emit closeConfirmed();
}

// ---- window, list and menus ---------------------------------------------------------------------

void MainWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange)
        return;
    const auto *change = static_cast<QWindowStateChangeEvent *>(event);
    if (!isMinimized() || (change->oldState() & Qt::WindowMinimized))
        return;
    // Hidden only when the tray can bring it back.
    if (m_app->trayIcon())
        QTimer::singleShot(0, this, &QWidget::hide);
}

void MainWindow::customContextMenuRequested(const QPoint &pos)
{
    m_contextIndex = m_list->indexAt(pos);
    const bool valid = m_contextIndex.isValid() && m_contextIndex.row() < configurations->size();
    if (!valid) {
        m_ctxStart->setEnabled(false);
        m_ctxStop->setEnabled(false);
        m_ctxEdit->setEnabled(false);
        m_ctxDelete->setEnabled(false);
    } else {
        const TunnelSettings::TunnelState s = configurations->at(m_contextIndex.row()).state;
        m_ctxStart->setEnabled(isStopped(s));
        m_ctxEdit->setEnabled(isStopped(s));
        m_ctxStop->setEnabled(s == TunnelSettings::Running);
        m_ctxDelete->setEnabled(!anyActive());
    }
    m_ctxNew->setEnabled(true);
    m_contextMenu->popup(m_list->viewport()->mapToGlobal(pos));
}

void MainWindow::hovered(QAction *action)
{
    if (!action || action->menu() != findChild<QMenu *>(QStringLiteral("menuUstawienia")))
        return;
    QAction *edit = findChild<QAction *>(QStringLiteral("actionEdytuj_tunel"));
    QAction *del = findChild<QAction *>(QStringLiteral("actionUsu_tunel"));
    edit->setEnabled(true);
    del->setEnabled(!anyActive());
    const QModelIndex current = m_list->currentIndex();
    if (!current.isValid() || current.row() >= configurations->size() || !stopped(current.row())) {
        edit->setEnabled(false);
        del->setEnabled(false);
    }
}

void MainWindow::triggered(QAction *) {}

void MainWindow::cfgWarning(bool show)
{
    if (show) {
        if (m_cfgWarning)
            return;
        m_cfgWarning = new QLabel(tr("Ustawienia nie zapisane!"), this);
        m_cfgWarning->setObjectName(QStringLiteral("cfgWarning"));
        statusBar()->addPermanentWidget(m_cfgWarning, 0);
        m_cfgWarning->show();
    } else if (m_cfgWarning) {
        statusBar()->removeWidget(m_cfgWarning);
        m_cfgWarning->deleteLater();
        m_cfgWarning = nullptr;
    }
}

void MainWindow::on_actionDodaj_nowy_tunel_triggered()
{
    auto *dialog = new EditTunnel(m_app->vspInterface(), m_app->ipHelper(), m_appSettings, this);
    dialog->setConfigurations(configurations);
    if (dialog->exec() == QDialog::Accepted) {
        TunnelSettings cfg = dialog->data();
        cfg.uuid = QUuid::createUuid();
        if (!cfg.validate()) {
            MessageBox::warning(this, tr("Ostrzeżenie"),
                                tr("Błąd ustawień konfiguracji: '%1'").arg(cfg.validation_error));
        } else {
            m_model->append(cfg);
            cfgWarning(true);
        }
    }
    dialog->deleteLater();
}

void MainWindow::customContextMenu_new(bool)
{
    on_actionDodaj_nowy_tunel_triggered();
}

void MainWindow::editRow(const QModelIndex &index)
{
    if (!index.isValid() || index.row() >= configurations->size()) {
        MessageBox::warning(this, tr("Ostrzeżenie"), tr("Proszę wybrać konfigurację do edycji."));
        return;
    }
    const int idx = index.row();
    if (!stopped(idx)) {
        MessageBox::warning(this, tr("Ostrzeżenie"),
                            tr("Nie można edytować ustawień konfiguracji, gdyż aktualnie jest uruchomiona"));
        return;
    }
    auto *dialog = new EditTunnel(m_app->vspInterface(), m_app->ipHelper(), m_appSettings, this);
    dialog->setConfigurations(configurations);
    dialog->setData(configurations->at(idx));
    // The row may have been started meanwhile (autostart, a restart timer):
    // its record then belongs to the supervisor and the edit is refused.
    if (dialog->exec() == QDialog::Accepted) {
        if (!stopped(idx)) {
            MessageBox::warning(
                this, tr("Ostrzeżenie"),
                tr("Nie można edytować ustawień konfiguracji, gdyż aktualnie jest uruchomiona"));
        } else {
            (*configurations)[idx] = dialog->data();
            cfgWarning(true);
            m_model->refresh(idx);
        }
    }
    dialog->deleteLater();
}

void MainWindow::on_actionEdytuj_tunel_triggered()
{
    editRow(m_list->currentIndex());
}

void MainWindow::customContextMenu_edit(bool)
{
    if (m_contextIndex.isValid())
        editRow(m_contextIndex);
}

void MainWindow::on_mappingList_doubleClicked(const QModelIndex &index)
{
    if (index.isValid())
        editRow(index);
}

void MainWindow::deleteRow(const QModelIndex &index)
{
    if (anyActive()) {
        MessageBox::warning(
            this, tr("Ostrzeżenie"),
            tr("Nie można usunąć konfiguracji, gdyż aktualnie jest uruchomione co najmniej jedna aktywna konfiguracja"));
        return;
    }
    if (!index.isValid() || index.row() >= configurations->size()) {
        MessageBox::warning(this, tr("Ostrzeżenie"), tr("Proszę wybrać konfigurację do usunięcia."));
        return;
    }
    if (!stopped(index.row())) {
        MessageBox::warning(this, tr("Ostrzeżenie"),
                            tr("Nie można usunąć konfiguracji, gdyż aktualnie jest uruchomiona"));
        return;
    }
    if (MessageBox::question(this, tr("Pytanie"), tr("Czy usunąć wskazaną konfigurację?\n"),
                             QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) != QMessageBox::Yes)
        return;
    m_model->remove(index.row());
    cfgWarning(true);
}

void MainWindow::on_actionUsu_tunel_triggered()
{
    deleteRow(m_list->currentIndex());
}

void MainWindow::customContextMenu_delete(bool)
{
    if (m_contextIndex.isValid())
        deleteRow(m_contextIndex);
}

void MainWindow::on_actionOtw_rz_plik_konfiguracyjny_triggered()
{
    if (MessageBox::question(this, tr("Pytanie"),
                             tr("Czy zapisać aktualne ustawienia do pliku konfiguracyjnego?\n"),
                             QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) != QMessageBox::Yes)
        return;
    if (!m_app->saveSettings()) {
        MessageBox::critical(this, tr("Błąd"), tr("Nie można zapisać ustawień. Błąd zapisu."));
        return;
    }
    cfgWarning(false);
}

void MainWindow::on_actionPrze_aduj_konfiguracj_triggered()
{
    if (anyActive()) {
        MessageBox::critical(
            this, tr("Błąd"),
            tr("Nie można załadować ustawień, gdyż co najmniej jedna konfiguracja jest uruchomiona"));
        return;
    }
    if (!m_app->configurationExists()) {
        MessageBox::critical(this, tr("Błąd"),
                             tr("Nie można załadować ustawień, gdyż plik konfiguracyjny nie istnieje"));
        return;
    }
    if (MessageBox::question(this, tr("Pytanie"),
                             tr("Czy odtworzyć poprzednie ustawienia z pliku konfiguracyjnego?\n"),
                             QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) != QMessageBox::Yes)
        return;
    m_model->beginReset();
    m_app->reloadSettings();
    m_model->endReset();
    cfgWarning(false);
}

void MainWindow::on_action_Zamknij_triggered()
{
    close();
}

void MainWindow::on_actionUsuwanie_port_w_szeregowych_triggered()
{
    auto *dialog = new PortRemove(m_app->vspInterface(), this);
    dialog->exec();
    dialog->deleteLater();
}

void MainWindow::on_actionO_aplikacji_triggered()
{
    auto *dialog = new AboutDialog(QString(), this);
    dialog->exec();
    dialog->deleteLater();
}

void MainWindow::on_actionOtw_rz_katalog_danych_aplikacji_triggered()
{
    const QString path = m_app->dataPath();
    VLOG(4) << "Trying to open data path: " << path;
    // A Linux path is absolute already: "file:///" + path would give four slashes.
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        VLOG(-10) << "Could not open data path: " << path;
}

void MainWindow::on_actionKreator_konfiguracji_triggered()
{
    QAction *action = findChild<QAction *>(QStringLiteral("actionKreator_konfiguracji"));
    if (m_wizardDisabled || !wizardFactory())
        return;
    // One wizard at a time: the start-up's request must not destroy the one a user has open.
    if (m_wizard && m_wizard->isVisible()) {
        m_wizard->raise();
        m_wizard->activateWindow();
        return;
    }
    if (m_wizard)
        m_wizard->deleteLater();
    m_wizard = wizardFactory()();
    if (!m_wizard)
        return;
    connect(m_wizard, SIGNAL(startUUID(QUuid)), this, SLOT(startUUID(QUuid)));
    connect(m_wizard, &QDialog::finished, this, &MainWindow::wizardFinished);
    VLOG(4) << "Kreator started, disabling menu item";
    action->setEnabled(false);
    action->setToolTip(tr("Kreator konfiguracji jest już uruchomiony"));
    m_wizard->show();
}

void MainWindow::wizardFinished(int)
{
    VLOG(4) << "Kreator finished, reenabling menu item";
    QAction *action = findChild<QAction *>(QStringLiteral("actionKreator_konfiguracji"));
    action->setEnabled(!m_wizardDisabled);
    action->setToolTip(tr("Kreator konfiguracji"));
}
