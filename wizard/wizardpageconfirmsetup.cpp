#include "wizard/wizardpageconfirmsetup.h"

#include "wizard/tunnelwizard.h"

#include <QLabel>
#include <QVBoxLayout>

WizardPageConfirmSetup::WizardPageConfirmSetup(QWidget *parent) : QWizardPage(parent)
{
    setTitle(tr("Potwierdzenie zmian"));
    m_link = new QLabel(this);
    m_link->setObjectName(QStringLiteral("link"));
    auto *text = new QLabel(
        tr("Po kliknięciu \"Dalej\" nowe ustawienia zostaną przesłane do urządzenia, a urządzenie zostanie ponownie skonfigurowane i uruchomione.\n\nTo ostatni moment, aby przerwać pracę kreatora bez wprowadzania zmian w urządzeniu."),
        this);
    text->setObjectName(QStringLiteral("text"));
    text->setWordWrap(true);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_link);
    layout->addWidget(text);
    layout->addStretch();
}

void WizardPageConfirmSetup::initializePage()
{
    QString link;
    qobject_cast<TunnelWizard *>(wizard())->connectionType(&link);
    m_link->setText(tr("Sposób podłączenia urządzenia:") + QLatin1Char(' ') + link);
}

int WizardPageConfirmSetup::nextId() const
{
    return TunnelWizard::PageSettingUp;
}
