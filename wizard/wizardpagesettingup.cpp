#include "wizard/wizardpagesettingup.h"

#include "log/debug_class.h"
#include "ui/messagebox.h"
#include "wizard/tunnelwizard.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>

WizardPageSettingUp::WizardPageSettingUp(QWidget *parent)
    : WizardPageWork(tr("Przesyłanie ustawień do urządzenia"), parent)
{
    connect(abortButton(), &QPushButton::clicked, this, &WizardPageSettingUp::abortClicked);
    // Once the device took the settings there is no way back: going back and forth again would
    // configure it a second time and create a second configuration.
    setCommitPage(true);
}

void WizardPageSettingUp::initializePage()
{
    m_done = false;
    statusLabel()->setText(tr("Proszę czekać, trwa konfigurowanie urządzenia"));
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
    followWorker();
    jobStarted(w->comm()->startConfig(writeSettings()));
}

void WizardPageSettingUp::abortClicked()
{
    if (MessageBox::question(
            this, tr("Pytanie"),
            tr("Czy zatrzymać konfigurację? Urządzenie pozostanie w stanie częściowo skonfigurowanym. Ponowne uruchomienie kreatora może nie być możliwe."),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes) {
        if (waiting())
            qobject_cast<TunnelWizard *>(wizard())->comm()->cancelCurrent();
    }
}

void WizardPageSettingUp::jobDone(const QString &)
{
    m_done = true;
    setWaiting(false);
    wizard()->next();
}

bool WizardPageSettingUp::isComplete() const
{
    return m_done;
}
