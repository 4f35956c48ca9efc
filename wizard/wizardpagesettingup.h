// The settings go to the device while the page shows the progress; the user may stop it.
#pragma once

#include "wizard/tavreldevicecomm.h"
#include "wizard/wizardpagework.h"

class WizardPageSettingUp : public WizardPageWork
{
    Q_OBJECT
public:
    explicit WizardPageSettingUp(QWidget *parent = nullptr);

    void initializePage() override;
    void cleanupPage() override;
    bool isComplete() const override;

    // What the worker writes, from the wizard's fields.
    TavrelWriteSettings writeSettings() const;

private slots:
    void startConfiguration();
    void abortClicked();

private:
    void jobDone(const QString &name) override;

    bool m_done = false;
};
