// Edits one whole configuration: the mode and the device's addresses, the
// PC-interface and transaction-monitor channels, the device-COM tunnels and
// the start and restart settings. OK checks the fields in a fixed order and
// stays open on the first refusal; the record is produced only from fields
// that passed, and never in a state the configuration file would reject.
#pragma once

#include "config/tunnelsettings.h"

#include <QDialog>
#include <QStringList>
#include <QVector>

class IPHelper;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QModelIndex;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTableWidget;
class QWidget;
class VSPInterface;
struct AppSettings;

class EditTunnel : public QDialog
{
    Q_OBJECT
public:
    // Every argument may be null: without the driver no port can be added,
    // without settings the channel combos offer only virtual ports.
    EditTunnel(VSPInterface *vsp, IPHelper *ipHelper, const AppSettings *appSettings,
               QWidget *parent = nullptr);

    void setData(const TunnelSettings &settings);
    // The record the fields describe; run-time fields come from setData's record.
    TunnelSettings data() const;
    // The other configurations: OK refuses a COM port one of them uses while it runs.
    void setConfigurations(const QVector<TunnelSettings> *all) { m_all = all; }

    // Whether this process may create the PPP mode's diversion interface.
    static bool canDivertPackets();

public slots:
    void on_buttonOk_clicked();
    void on_buttonCancel_clicked();
    void on_radioIP_clicked();
    void on_radioPPP_clicked();
    void on_dataTunnel_stateChanged(int state);
    void on_monitorTunnel_stateChanged(int state);
    void on_editIP_IP_textChanged(const QString &text);
    void on_editIP_PPP_textChanged(const QString &text);
    void on_editLocalIP_textChanged(const QString &text);
    void on_buttonSearchIP_clicked();
    void on_setSetData_clicked();
    void on_setSetPPP_clicked();
    void on_setSetMonitor_clicked();
    void on_addPortPPP_clicked();
    void on_addPortData_clicked();
    void on_addPortMonitor_clicked();
    void on_addTunnel_clicked();
    void on_editTunnel_clicked();
    void on_removeTunnel_clicked();
    void on_tableTunnels_doubleClicked(const QModelIndex &index);
    void on_tableTunnels_itemSelectionChanged();

private:
    bool checkFields();
    bool refuse(const QString &text, QWidget *focus = nullptr);
    void refresh();
    void markValidity(QLineEdit *edit);
    void editSerial(QLineEdit *edit, bool realPort);
    void addPort(QComboBox *combo);
    void setRow(int row, int dataPort, int ctrlPort, const QString &com, const QString &settings);
    QString deviceAddressText() const;
    QStringList allPortNames() const;

    VSPInterface *m_vsp;
    IPHelper *m_ipHelper;
    const QVector<TunnelSettings> *m_all = nullptr;
    TunnelSettings m_base;
    QStringList m_channelPorts;
    QStringList m_knownPorts;

    QLineEdit *editComment;
    QRadioButton *radioIP;
    QWidget *groupIP;
    QLineEdit *editIP_IP;
    QRadioButton *radioPPP;
    QWidget *groupPPP;
    QLineEdit *editIP_PPP;
    QLineEdit *editLocalIP;
    QPushButton *buttonSearchIP;
    QComboBox *portCOMPPP;
    QPushButton *addPortPPP;
    QLineEdit *editSetPPP;
    QPushButton *setSetPPP;
    QLabel *winRequired;
    QCheckBox *dataTunnel;
    QWidget *groupData;
    QComboBox *portCOMData;
    QPushButton *addPortData;
    QLineEdit *editSetData;
    QPushButton *setSetData;
    QSpinBox *portData;
    QCheckBox *monitorTunnel;
    QWidget *groupMonitor;
    QComboBox *portCOMMonitor;
    QPushButton *addPortMonitor;
    QLineEdit *editSetMonitor;
    QPushButton *setSetMonitor;
    QSpinBox *portMonitor;
    QTableWidget *tableTunnels;
    QPushButton *addTunnel;
    QPushButton *editTunnel;
    QPushButton *removeTunnel;
    QCheckBox *m_autostart;
    QCheckBox *m_autorestart;
    QSpinBox *m_restartlimit;
    QSpinBox *m_restarttime;
    QPushButton *buttonOk;
    QPushButton *buttonCancel;
};
