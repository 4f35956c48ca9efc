// One device-COM tunnel of a configuration: its data and control TCP ports,
// the PC-side COM port and that port's serial parameter string.
#pragma once

#include <QDialog>
#include <QStringList>

class QComboBox;
class QLineEdit;
class QSpinBox;
class VSPInterface;

class EditSingleTunnel : public QDialog
{
    Q_OBJECT
public:
    static constexpr const char *kNewSettings = "115200,8,N,1,H/NO/NS";

    // ports: what the port combo offers (filled like the editor's channel combos).
    EditSingleTunnel(const QStringList &ports, VSPInterface *vsp, QWidget *parent = nullptr);

    // An empty COM port means a new tunnel; texts as the editor's table keeps them.
    void setData(const QString &dataPort, const QString &ctrlPort, const QString &comPort,
                 const QString &settings);
    int dataPort() const;
    int ctrlPort() const;
    QString comPort() const;
    QString settings() const;

public slots:
    void on_buttonOk_clicked();
    void on_buttonCancel_clicked();
    void on_addPort_clicked();
    void on_setSettings_clicked();

private:
    QSpinBox *m_dataPort;
    QSpinBox *m_ctrlPort;
    QComboBox *m_comPort;
    QLineEdit *m_settings;
    VSPInterface *m_vsp;
};
