// Second page: the port the device hangs on and the line settings to try, or the automatic searches.
#pragma once

#include <QWizardPage>

class QCheckBox;
class QComboBox;
class QLineEdit;

class WizardPageComm : public QWizardPage
{
    Q_OBJECT
public:
    explicit WizardPageComm(QWidget *parent = nullptr);

    void initializePage() override;
    bool isComplete() const override;

    // The ports the device may hang on: the inventory without the driver's virtual ports and
    // com0com ports; the maker's port becomes current, else the previous choice stays.
    void refreshPorts();

private:
    void updateEnabled();

    QComboBox *m_port;
    QLineEdit *m_portName; // hidden: the entry's port name
    QComboBox *m_baud;
    QComboBox *m_bits;
    QComboBox *m_parity;
    QComboBox *m_stop;
    QComboBox *m_flow;
    QCheckBox *m_auto;
    QCheckBox *m_fullAuto;
    QCheckBox *m_bt;
};
