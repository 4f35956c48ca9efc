#include "wizard/wizardpagework.h"

#include "wizard/tunnelwizard.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

WizardPageWork::WizardPageWork(const QString &title, QWidget *parent) : QWizardPage(parent)
{
    setTitle(title);
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
}

void WizardPageWork::followWorker()
{
    auto *w = qobject_cast<TunnelWizard *>(wizard());
    if (!w)
        return;
    TavrelDeviceComm *comm = w->comm();
    connect(comm, &TavrelDeviceComm::progressEvent, this, &WizardPageWork::onProgress, Qt::QueuedConnection);
    connect(comm, &TavrelDeviceComm::deviceReady, this, &WizardPageWork::onReady, Qt::QueuedConnection);
    connect(comm, &TavrelDeviceComm::errorDetected, this, &WizardPageWork::onError, Qt::QueuedConnection);
}

void WizardPageWork::jobStarted(bool started)
{
    if (started)
        return;
    // The worker still ends an earlier run (a job the user left): say so and let the user try
    // again instead of mixing that run's reports into this page.
    disconnectWorker();
    onError(TavrelDeviceComm::CommFailure, tr("Urządzenie jest zajęte, spróbuj ponownie."));
}

void WizardPageWork::disconnectWorker()
{
    if (auto *w = qobject_cast<TunnelWizard *>(wizard()))
        disconnect(w->comm(), nullptr, this, nullptr);
}

void WizardPageWork::onProgress(double, QString message)
{
    if (m_waiting)
        m_label->setText(message);
}

void WizardPageWork::onReady(QString name)
{
    disconnectWorker();
    jobDone(name);
}

void WizardPageWork::onError(long status, QString what)
{
    disconnectWorker();
    m_label->setText(QStringLiteral("<span style='color:red;'>Błąd: %1 [%2]</span>").arg(what).arg(status));
    setWaiting(false);
}

void WizardPageWork::setWaiting(bool waiting)
{
    m_waiting = waiting;
    m_abort->setEnabled(waiting);
    // The wizard re-enables Back on every completeness change: report it first, then hold Back.
    emit completeChanged();
    if (QAbstractButton *b = wizard()->button(QWizard::CancelButton))
        b->setEnabled(!waiting);
    if (waiting)
        if (QAbstractButton *b = wizard()->button(QWizard::BackButton))
            b->setEnabled(false);
}
