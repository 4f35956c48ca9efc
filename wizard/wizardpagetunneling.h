// Simple path: which of the device's channels to tunnel.
#pragma once

#include <QWizardPage>

class QCheckBox;
class QLabel;
class QLineEdit;

class WizardPageTunneling : public QWizardPage
{
    Q_OBJECT
public:
    explicit WizardPageTunneling(QWidget *parent = nullptr);

    void initializePage() override;
    bool validatePage() override;

private:
    QLabel *m_link;
    QCheckBox *m_boxes[4];
    QLabel *m_notes[4];
    QLineEdit *m_fields[4]; // hidden: the channels' serial parameter strings
};
