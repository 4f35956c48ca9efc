#include "wizard/wizardpageread.h"

#include "log/debug_class.h"
#include "wizard/tunnelwizard.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>

WizardPageRead::WizardPageRead(QWidget *parent)
    : WizardPageWork(tr("Sprawdzenie komunikacji i odczyt danych"), parent)
{
    connect(abortButton(), &QPushButton::clicked, this, [this] {
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
    if (id != TunnelWizard::PageRead || waiting())
        return;
    m_found = false;
    statusLabel()->clear();
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
    followWorker();
    VLOG(6) << "Starting detection on port '" << port << "' with '" << params << "'";
    jobStarted(comm->startDetect(port, params, field(QStringLiteral("comm_btsearch")).toBool()));
}

void WizardPageRead::jobDone(const QString &)
{
    m_found = true;
    setWaiting(false);
    emit completeChanged();
    wizard()->next();
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
