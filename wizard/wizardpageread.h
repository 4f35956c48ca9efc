// Third page: the detection and read-out run while the page shows their progress.
#pragma once

#include "wizard/wizardpagework.h"

class WizardPageRead : public WizardPageWork
{
    Q_OBJECT
public:
    explicit WizardPageRead(QWidget *parent = nullptr);

    void initializePage() override;
    void cleanupPage() override;
    bool isComplete() const override;
    int nextId() const override;

    // The library line settings text the page's fields ask for ("" = try every combination).
    QString paramsFromFields() const;

private slots:
    void pageShown(int id);
    void startDetection();

private:
    void jobDone(const QString &name) override;

    bool m_found = false;
    bool m_hooked = false;
};
