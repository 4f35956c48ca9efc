// A wizard page on which the device worker runs a job: a status line with
// the worker's progress, a button to stop it, and the way out (Back,
// Cancel) closed while the job runs.
#pragma once

#include <QWizardPage>

class QLabel;
class QPushButton;

class WizardPageWork : public QWizardPage
{
    Q_OBJECT
protected:
    WizardPageWork(const QString &title, QWidget *parent);

    QLabel *statusLabel() const { return m_label; }
    QPushButton *abortButton() const { return m_abort; }
    bool waiting() const { return m_waiting; }
    void setWaiting(bool waiting);

    // Follows the worker's reports until the job ends; started = whether the
    // worker took the job (false: it still ends an earlier one).
    void followWorker();
    void jobStarted(bool started);
    void disconnectWorker();

    // The job ended well; the page's own step.
    virtual void jobDone(const QString &name) = 0;

protected slots:
    void onProgress(double value, QString message);
    void onReady(QString name);
    void onError(long status, QString what);

private:
    QLabel *m_label;
    QPushButton *m_abort;
    bool m_waiting = false;
};
