#include "ui/editsingletunnel.h"

#include "log/debug_class.h"
#include "ui/dialogbuttons.h"
#include "ui/dialogports.h"
#include "ui/editserialsettings.h"
#include "ui/messagebox.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

EditSingleTunnel::EditSingleTunnel(const QStringList &ports, VSPInterface *vsp, QWidget *parent)
    : QDialog(parent), m_vsp(vsp)
{
    setWindowTitle(tr("Dodawanie tunelu portu COM"));
    m_dataPort = new QSpinBox(this);
    m_dataPort->setObjectName(QStringLiteral("portData"));
    m_ctrlPort = new QSpinBox(this);
    m_ctrlPort->setObjectName(QStringLiteral("portCtrl"));
    // TCP ports: 0 would name no endpoint at all.
    for (QSpinBox *s : {m_dataPort, m_ctrlPort})
        s->setRange(1, 65535);
    m_dataPort->setValue(1100);
    m_ctrlPort->setValue(1101);
    m_comPort = new QComboBox(this);
    m_comPort->setObjectName(QStringLiteral("portCOM"));
    m_comPort->addItems(ports);
    m_settings = new QLineEdit(QLatin1String(kNewSettings), this);
    m_settings->setObjectName(QStringLiteral("editSettings"));
    m_settings->setReadOnly(true);
    auto *add = new QPushButton(tr("Dodaj nowy port COM"), this);
    add->setObjectName(QStringLiteral("addPort"));
    auto *edit = new QPushButton(tr("Edytuj ustawienia portu COM"), this);
    edit->setObjectName(QStringLiteral("setSettings"));

    auto *grid = new QGridLayout;
    grid->addWidget(new QLabel(tr("Port IP danych"), this), 0, 0);
    grid->addWidget(m_dataPort, 0, 1);
    grid->addWidget(new QLabel(tr("Port IP sterowania"), this), 1, 0);
    grid->addWidget(m_ctrlPort, 1, 1);
    grid->addWidget(new QLabel(tr("Port szeregowy"), this), 2, 0);
    grid->addWidget(m_comPort, 2, 1);
    grid->addWidget(add, 2, 2);
    grid->addWidget(m_settings, 3, 1);
    grid->addWidget(edit, 3, 2);

    QHBoxLayout *buttons = DialogButtons::okCancel(this);
    auto *top = new QVBoxLayout(this);
    top->addLayout(grid);
    top->addLayout(buttons);
    QMetaObject::connectSlotsByName(this);
}

void EditSingleTunnel::setData(const QString &dataPort, const QString &ctrlPort, const QString &comPort,
                               const QString &settings)
{
    bool ok = false;
    const int data = dataPort.toInt(&ok);
    if (ok)
        m_dataPort->setValue(data);
    else
        VLOG(4) << QStringLiteral("Invalid portData value: '%1'").arg(dataPort);
    const int ctrl = ctrlPort.toInt(&ok);
    if (ok)
        m_ctrlPort->setValue(ctrl);
    else
        VLOG(4) << QStringLiteral("Invalid portComm value: '%1'").arg(ctrlPort);
    if (!comPort.isEmpty()) {
        setWindowTitle(tr("Edycja tunelu portu COM"));
        DialogPorts::selectPort(m_comPort, comPort);
    }
    m_settings->setText(settings.isEmpty() ? QLatin1String(kNewSettings) : settings);
}

int EditSingleTunnel::dataPort() const
{
    return m_dataPort->value();
}

int EditSingleTunnel::ctrlPort() const
{
    return m_ctrlPort->value();
}

QString EditSingleTunnel::comPort() const
{
    return m_comPort->currentText();
}

QString EditSingleTunnel::settings() const
{
    return m_settings->text();
}

void EditSingleTunnel::on_buttonOk_clicked()
{
    if (m_dataPort->value() == m_ctrlPort->value()) {
        MessageBox::warning(this, tr("Ostrzeżenie"), tr("Port danych i sterujący nie mogą być identyczne"));
        m_ctrlPort->setFocus();
        return;
    }
    if (m_comPort->currentText().isEmpty()) {
        MessageBox::warning(this, tr("Ostrzeżenie"), tr("Proszę wybrać lub utworzyć nowy port COM"));
        m_comPort->setFocus();
        return;
    }
    accept();
}

void EditSingleTunnel::on_buttonCancel_clicked()
{
    reject();
}

void EditSingleTunnel::on_addPort_clicked()
{
    QStringList existing;
    for (int i = 0; i < m_comPort->count(); ++i)
        existing.append(m_comPort->itemText(i));
    DialogPorts::selectPort(m_comPort, DialogPorts::addVirtualPort(this, m_vsp, existing));
}

void EditSingleTunnel::on_setSettings_clicked()
{
    EditSerialSettings dlg(this);
    dlg.setSettings(m_settings->text(), false);
    if (dlg.exec() == QDialog::Accepted)
        m_settings->setText(dlg.settings());
}
