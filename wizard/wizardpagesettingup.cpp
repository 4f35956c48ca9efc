#include "wizard/wizardpagesettingup.h"

#include "log/debug_class.h"
#include "ui/messagebox.h"
#include "wizard/tunnelwizard.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

WizardPageSettingUp::WizardPageSettingUp(QWidget *parent) : QWizardPage(parent)
{
    setTitle(tr("Przesyłanie ustawień do urządzenia"));
    m_label = new QLabel(this);
    m_label->setObjectName(QStringLiteral("status"));
    m_label->setWordWrap(true);
    m_abort = new QPushButton(tr("Przerwij"), this);
    m_abort->setObjectName(QStringLiteral("abort"));
    m_abort->setEnabled(false);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_label);
    layout->addStretch();
    layout->addWidget(m_abort, 0, Qt::AlignRight);
    connect(m_abort, &QPushButton::clicked, this, &WizardPageSettingUp::abortClicked);
    // Once the device took the settings there is no way back: going back and forth again would
    // configure it a second time and create a second configuration.
    setCommitPage(true);
}

void WizardPageSettingUp::initializePage()
{
    m_done = false;
    m_label->setText(tr("Proszę czekać, trwa konfigurowanie urządzenia"));
    setWaiting(true);
    QTimer::singleShot(0, this, &WizardPageSettingUp::startConfiguration);
}

void WizardPageSettingUp::cleanupPage()
{
    m_done = false;
}

TavrelWriteSettings WizardPageSettingUp::writeSettings() const
{
    TavrelWriteSettings s;
    s.com1Settings = field(QStringLiteral("tun_com1_set")).toString();
    s.com2Settings = field(QStringLiteral("tun_com2_set")).toString();
    s.trlog = !field(QStringLiteral("tun_mon_set")).toString().isEmpty();
    s.deviceIp = field(QStringLiteral("ip_device")).toString();
    s.gateway = field(QStringLiteral("ip_brama")).toString();
    s.netmask = field(QStringLiteral("ip_mask")).toString();
    s.newPortSettings = field(QStringLiteral("device_port")).toString();
    return s;
}

void WizardPageSettingUp::startConfiguration()
{
    auto *w = qobject_cast<TunnelWizard *>(wizard());
    if (!w || w->currentId() != TunnelWizard::PageSettingUp)
        return;
    // The wizard enabled Back after entering the page; the way back stays closed while waiting.
    setWaiting(true);
    TavrelDeviceComm *comm = w->comm();
    connect(comm, &TavrelDeviceComm::progressEvent, this, &WizardPageSettingUp::onProgress,
            Qt::QueuedConnection);
    connect(comm, &TavrelDeviceComm::deviceReady, this, &WizardPageSettingUp::onReady, Qt::QueuedConnection);
    connect(comm, &TavrelDeviceComm::errorDetected, this, &WizardPageSettingUp::onError,
            Qt::QueuedConnection);
    if (!comm->startConfig(writeSettings())) {
        disconnectWorker();
        onError(TavrelDeviceComm::CommFailure, tr("Urządzenie jest zajęte, spróbuj ponownie."));
    }
}

void WizardPageSettingUp::abortClicked()
{
    if (MessageBox::question(
            this, tr("Pytanie"),
            tr("Czy zatrzymać konfigurację? Urządzenie pozostanie w stanie częściowo skonfigurowanym. Ponowne uruchomienie kreatora może nie być możliwe."),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes) {
        if (m_waiting)
            qobject_cast<TunnelWizard *>(wizard())->comm()->cancelCurrent();
    }
}

void WizardPageSettingUp::onProgress(double, QString message)
{
    if (m_waiting)
        m_label->setText(message);
}

void WizardPageSettingUp::onReady(QString)
{
    disconnectWorker();
    m_done = true;
    setWaiting(false);
    wizard()->next();
}

void WizardPageSettingUp::onError(long status, QString what)
{
    disconnectWorker();
    m_label->setText(QStringLiteral("<span style='color:red;'>Błąd: %1 [%2]</span>").arg(what).arg(status));
    setWaiting(false);
}

void WizardPageSettingUp::disconnectWorker()
{
    if (auto *w = qobject_cast<TunnelWizard *>(wizard()))
        disconnect(w->comm(), nullptr, this, nullptr);
}

void WizardPageSettingUp::setWaiting(bool waiting)
{
    m_waiting = waiting;
    m_abort->setEnabled(waiting);
    emit completeChanged();
    if (QAbstractButton *b = wizard()->button(QWizard::CancelButton))
        b->setEnabled(!waiting);
    if (waiting)
        if (QAbstractButton *b = wizard()->button(QWizard::BackButton))
            b->setEnabled(false);
}

bool WizardPageSettingUp::isComplete() const
{
    return m_done;
}
