// The last page: what the user still does at the device, and the configuration built, appended
// through the list model and saved.
#pragma once

#include <QUuid>
#include <QWizardPage>

class QCheckBox;
class QLabel;
class QLineEdit;
class TunnelSettings;

class WizardPageLastStep : public QWizardPage
{
    Q_OBJECT
public:
    explicit WizardPageLastStep(QWidget *parent = nullptr);

    void initializePage() override;

    // The configuration the fields describe (a new identity; new port names already chosen).
    TunnelSettings buildConfiguration() const;
    QUuid created() const { return m_created; }

private:
    QLabel *m_text;
    QCheckBox *m_startOnClose;
    QLineEdit *m_uuid; // hidden: the created configuration's identity
    QUuid m_created;
};
