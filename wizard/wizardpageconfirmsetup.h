// The last moment to stop: the next page writes the settings to the device.
#pragma once

#include <QWizardPage>

class QLabel;

class WizardPageConfirmSetup : public QWizardPage
{
    Q_OBJECT
public:
    explicit WizardPageConfirmSetup(QWidget *parent = nullptr);

    void initializePage() override;
    int nextId() const override;

private:
    QLabel *m_link;
};
