#include "wizard/wizardpageread.h"

#include "log/debug_class.h"
#include "wizard/tunnelwizard.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

WizardPageRead::WizardPageRead(QWidget *parent) : QWizardPage(parent)
{
    setTitle(tr("Sprawdzenie komunikacji i odczyt danych"));
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
    connect(m_abort, &QPushButton::clicked, this, [this] {
        if (auto *w = qobject_cast<TunnelWizard *>(wizard()))
            w->comm()->cancelCurrent();
    });
}

void WizardPageRead::initializePage()
{
    // Entered forward or by going back from a later page: both run a new detection.
    if (!m_hooked) {
        m_hooked = true;
        connect(wizard(), &QWizard::currentIdChanged, this, &WizardPageRead::pageShown);
    }
}

void WizardPageRead::pageShown(int id)
{
    if (id != TunnelWizard::PageRead || m_waiting)
        return;
    m_found = false;
    m_label->clear();
    setWaiting(true);
    QTimer::singleShot(0, this, &WizardPageRead::startDetection);
}

void WizardPageRead::cleanupPage()
{
    m_found = false;
}

QString WizardPageRead::paramsFromFields() const
{
    if (field(QStringLiteral("comm_auto")).toBool())
        return QString();
    const QString parity = field(QStringLiteral("comm_parity")).toString();
    QChar parityLetter = QLatin1Char('N');
    if (parity.contains(QLatin1String("(E)")))
        parityLetter = QLatin1Char('E');
    else if (parity.contains(QLatin1String("(O)")))
        parityLetter = QLatin1Char('O');
    const QString flow = field(QStringLiteral("comm_flow")).toString();
    QChar flowLetter = QLatin1Char('N');
    if (flow.contains(QLatin1String("RTS")))
        flowLetter = QLatin1Char('R');
    else if (flow.contains(QLatin1String("Xon")))
        flowLetter = QLatin1Char('S');
    return QStringLiteral("%1,%2,%3,%4,%5")
        .arg(field(QStringLiteral("comm_baud")).toString(),
             field(QStringLiteral("comm_bits")).toString() == QLatin1String("7") ? QStringLiteral("7")
                                                                                 : QStringLiteral("8"),
             QString(parityLetter),
             field(QStringLiteral("comm_stop")).toString() == QLatin1String("2") ? QStringLiteral("2")
                                                                                 : QStringLiteral("1"),
             QString(flowLetter));
}

void WizardPageRead::startDetection()
{
    auto *w = qobject_cast<TunnelWizard *>(wizard());
    if (!w || w->currentId() != TunnelWizard::PageRead)
        return;
    TavrelDeviceComm *comm = w->comm();
    const QString params = paramsFromFields();
    const QString port = field(QStringLiteral("comm_fullauto")).toBool()
                             ? QString()
                             : field(QStringLiteral("comm_portname")).toString();
    connect(comm, &TavrelDeviceComm::progressEvent, this, &WizardPageRead::onProgress, Qt::QueuedConnection);
    connect(comm, &TavrelDeviceComm::deviceReady, this, &WizardPageRead::onReady, Qt::QueuedConnection);
    connect(comm, &TavrelDeviceComm::errorDetected, this, &WizardPageRead::onError, Qt::QueuedConnection);
    VLOG(6) << "Starting detection on port '" << port << "' with '" << params << "'";
    if (!comm->startDetect(port, params, field(QStringLiteral("comm_btsearch")).toBool())) {
        // The worker still ends an earlier run (a detection the user left): say so and let the
        // user try again instead of mixing that run's reports into this page.
        disconnectWorker();
        onError(TavrelDeviceComm::CommFailure, tr("Urządzenie jest zajęte, spróbuj ponownie."));
    }
}

void WizardPageRead::onProgress(double, QString message)
{
    if (m_waiting)
        m_label->setText(message);
}

void WizardPageRead::onReady(QString)
{
    disconnectWorker();
    m_found = true;
    setWaiting(false);
    emit completeChanged();
    wizard()->next();
}

void WizardPageRead::onError(long status, QString what)
{
    disconnectWorker();
    m_label->setText(QStringLiteral("<span style='color:red;'>Błąd: %1 [%2]</span>").arg(what).arg(status));
    setWaiting(false);
}

void WizardPageRead::disconnectWorker()
{
    if (auto *w = qobject_cast<TunnelWizard *>(wizard()))
        disconnect(w->comm(), nullptr, this, nullptr);
}

void WizardPageRead::setWaiting(bool waiting)
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

bool WizardPageRead::isComplete() const
{
    return m_found;
}

int WizardPageRead::nextId() const
{
    return field(QStringLiteral("expertmode")).toBool() ? TunnelWizard::PageViewConf
                                                        : TunnelWizard::PageTunneling;
}
