// The application-wide settings: one control per field of AppSettings.
#pragma once

#include "config/appsettings.h"

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QSpinBox;

class AppSettingsDialog : public QDialog
{
    Q_OBJECT
public:
    explicit AppSettingsDialog(QWidget *parent = nullptr);

    void setSettings(const AppSettings &settings);
    AppSettings settings() const;

public slots:
    void on_buttonOk_clicked();
    void on_buttonCancel_clicked();
    void on_buttonWinePrefix_clicked();

private:
    QCheckBox *m_autostarts;
    QCheckBox *m_disableautorestarts;
    QCheckBox *m_startminimized;
    QSpinBox *m_taskdelay;
    QCheckBox *m_onlyVirtual;
    QCheckBox *m_autostartWithSystem;
    QCheckBox *m_startwizard;
    QLineEdit *m_winePrefix;
};
