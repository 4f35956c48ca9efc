// Expert path: each channel with its check box, its port and its serial settings.
#pragma once

#include <QWizardPage>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

class WizardPageViewConf : public QWizardPage
{
    Q_OBJECT
public:
    static const QString kNewPort; // "Utwórz nowy port COM"

    explicit WizardPageViewConf(QWidget *parent = nullptr);

    void initializePage() override;
    bool isComplete() const override;
    bool validatePage() override;

    // The first reason the page is incomplete; empty when complete.
    QString problem() const;

private:
    void updateState();

    QLabel *m_link;
    QLabel *m_problem;
    QCheckBox *m_boxes[4];
    QComboBox *m_ports[4];
    QLineEdit *m_settings[4];
    QLabel *m_notes[4];
};
