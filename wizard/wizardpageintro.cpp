#include "wizard/wizardpageintro.h"

#include <QCheckBox>
#include <QLabel>
#include <QVBoxLayout>

WizardPageIntro::WizardPageIntro(QWidget *parent) : QWizardPage(parent)
{
    setTitle(tr("Kreator konfiguracji"));
    auto *text = new QLabel(
        tr("Kreator wyszuka urządzenie fiskalne podłączone do komputera, odczyta jego ustawienia komunikacji, prześle do niego nowe ustawienia i utworzy pasującą konfigurację tunelowania (PPP).\n\nPrzed kontynuacją podłącz i włącz urządzenie."),
        this);
    text->setWordWrap(true);
    m_expert = new QCheckBox(tr("Włącz tryb ekspercki"), this);
    m_expert->setObjectName(QStringLiteral("expertmode"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addStretch();
    layout->addWidget(m_expert);
    registerField(QStringLiteral("expertmode"), m_expert);
}
