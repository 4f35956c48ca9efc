// Third page: the detection and read-out run while the page shows their progress.
#pragma once

#include <QWizardPage>

class QLabel;
class QPushButton;

class WizardPageRead : public QWizardPage
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
    void onProgress(double value, QString message);
    void onReady(QString name);
    void onError(long status, QString what);

private:
    void setWaiting(bool waiting);
    void disconnectWorker();

    QLabel *m_label;
    QPushButton *m_abort;
    bool m_waiting = false;
    bool m_found = false;
    bool m_hooked = false;
};
