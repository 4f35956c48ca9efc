// The configuration's name (both paths): required, and unlike every existing configuration's.
#pragma once

#include <QWizardPage>

class QLabel;
class QLineEdit;

class WizardPageTunnelName : public QWizardPage
{
    Q_OBJECT
public:
    // The first instance registers the field "tunnel_name"; the other writes it.
    explicit WizardPageTunnelName(bool registersField, QWidget *parent = nullptr);

    void initializePage() override;
    bool isComplete() const override;
    bool validatePage() override;

    // Why the name cannot be used; empty when it can.
    QString problem() const;

private:
    QLineEdit *m_name;
    QLineEdit *m_field;
    QLabel *m_link;
    QLabel *m_problem;
};
