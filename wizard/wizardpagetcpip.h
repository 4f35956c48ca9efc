// Expert path: the device's TCP/IP settings, the PC's address, and (RS232 link) new link settings.
#pragma once

#include <QWizardPage>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

class WizardPageTCPIP : public QWizardPage
{
    Q_OBJECT
public:
    explicit WizardPageTCPIP(QWidget *parent = nullptr);

    void initializePage() override;
    bool isComplete() const override;
    bool validatePage() override;

    // The first reason the page is incomplete; empty when complete.
    QString problem() const;
    // "255.255.255.0 (/24)" and the like, prefix lengths 31 down to 8.
    static QStringList maskItems();

private slots:
    void selectLocalIp();

private:
    void updateState();

    QLabel *m_link;
    QCheckBox *m_change;
    QLineEdit *m_portSettings;
    QLineEdit *m_device;
    QComboBox *m_mask;
    QLineEdit *m_gateway;
    QLineEdit *m_pc;
    QLabel *m_problem;
};
