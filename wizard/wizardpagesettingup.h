// The settings go to the device while the page shows the progress; the user may stop it.
#pragma once

#include "wizard/tavreldevicecomm.h"

#include <QWizardPage>

class QLabel;
class QPushButton;

class WizardPageSettingUp : public QWizardPage
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
    void onProgress(double value, QString message);
    void onReady(QString name);
    void onError(long status, QString what);
    void abortClicked();

private:
    void setWaiting(bool waiting);
    void disconnectWorker();

    QLabel *m_label;
    QPushButton *m_abort;
    bool m_waiting = false;
    bool m_done = false;
};
