// First page: what the wizard does, and the choice of the expert path.
#pragma once

#include <QWizardPage>

class QCheckBox;

class WizardPageIntro : public QWizardPage
{
    Q_OBJECT
public:
    explicit WizardPageIntro(QWidget *parent = nullptr);

private:
    QCheckBox *m_expert;
};
