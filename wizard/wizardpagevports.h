// Simple path: the virtual ports of the tunnelled channels (new ones, or free ones of the driver).
#pragma once

#include <QWizardPage>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

class WizardPageVPorts : public QWizardPage
{
    Q_OBJECT
public:
    static const QString kNewPort; // "--NOWY--"

    explicit WizardPageVPorts(QWidget *parent = nullptr);

    void initializePage() override;
    bool isComplete() const override;
    bool validatePage() override;

private:
    void updateState();
    bool duplicates() const;

    QCheckBox *m_createNew;
    QLabel *m_info;
    QLabel *m_problem;
    QComboBox *m_combos[4];
    bool m_tunnelled[4] = {};
    int m_free = 0;
    QLineEdit *m_hidden[9];
};
