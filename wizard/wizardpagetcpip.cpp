#include "wizard/wizardpagetcpip.h"

#include "config/serialsettings.h"
#include "ui/ipv4validator.h"
#include "ui/selectlocalip.h"
#include "wizard/tunnelwizard.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace
{
bool acceptable(const QString &address)
{
    return !address.isEmpty() && IPv4Validator::check(address) == QValidator::Acceptable;
}
} // namespace

WizardPageTCPIP::WizardPageTCPIP(QWidget *parent) : QWizardPage(parent)
{
    setTitle(tr("Ustawienia TCP/IP"));
    m_link = new QLabel(this);
    m_link->setObjectName(QStringLiteral("link"));
    m_change = new QCheckBox(tr("Zmień ustawienia portu\nszeregowego urządzenia"), this);
    m_change->setObjectName(QStringLiteral("changePort"));
    m_portSettings = new QLineEdit(this);
    m_portSettings->setObjectName(QStringLiteral("portSettings"));
    m_device = new QLineEdit(this);
    m_device->setObjectName(QStringLiteral("ip_device"));
    m_mask = new QComboBox(this);
    m_mask->setObjectName(QStringLiteral("ip_mask"));
    m_mask->addItems(maskItems());
    m_gateway = new QLineEdit(this);
    m_gateway->setObjectName(QStringLiteral("ip_brama"));
    m_pc = new QLineEdit(this);
    m_pc->setObjectName(QStringLiteral("ip_pc"));
    for (QLineEdit *e : {m_device, m_gateway, m_pc})
        e->setValidator(new IPv4Validator(e));
    auto *select = new QPushButton(tr("Wybór lokalnego adresu IP"), this);
    select->setObjectName(QStringLiteral("selectLocalIp"));
    m_problem = new QLabel(this);
    m_problem->setObjectName(QStringLiteral("problem"));

    auto *pcRow = new QHBoxLayout;
    pcRow->addWidget(m_pc, 1);
    pcRow->addWidget(select);
    auto *form = new QFormLayout;
    form->addRow(m_change, m_portSettings);
    form->addRow(tr("Adres IP urządzenia"), m_device);
    form->addRow(tr("Maska sieci"), m_mask);
    form->addRow(tr("Brama"), m_gateway);
    form->addRow(tr("Adres IP komputera"), pcRow);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_link);
    layout->addLayout(form);
    layout->addWidget(m_problem);
    layout->addStretch();

    connect(select, &QPushButton::clicked, this, &WizardPageTCPIP::selectLocalIp);
    connect(m_change, &QCheckBox::toggled, this, &WizardPageTCPIP::updateState);
    connect(m_mask, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &WizardPageTCPIP::updateState);
    for (QLineEdit *e : {m_portSettings, m_device, m_gateway, m_pc})
        connect(e, &QLineEdit::textChanged, this, &WizardPageTCPIP::updateState);
}

QStringList WizardPageTCPIP::maskItems()
{
    QStringList items;
    for (int prefix = 31; prefix >= 8; --prefix) {
        const quint32 mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
        items << QStringLiteral("%1 (/%2)").arg(QHostAddress(mask).toString()).arg(prefix);
    }
    return items;
}

void WizardPageTCPIP::initializePage()
{
    auto *w = qobject_cast<TunnelWizard *>(wizard());
    QString link;
    const int k = w->connectionType(&link);
    m_link->setText(tr("Sposób podłączenia urządzenia:") + QLatin1Char(' ') + link);
    const TavrelDeviceComm::DeviceData data = w->comm()->deviceData();
    m_change->setChecked(false);
    m_change->setEnabled(k != 0);
    m_portSettings->setText(
        k != 0 ? TavrelDeviceComm::deviceComParams(data.value(QStringLiteral("com%1").arg(k))) : QString());
    const QMap<QString, QString> tcpip = data.value(QStringLiteral("tcpip"));
    const QString dh = tcpip.value(QStringLiteral("dh"));
    const QString ip = tcpip.value(QStringLiteral("ip"));
    const QString ma = tcpip.value(QStringLiteral("ma"));
    if ((dh == QLatin1String("T") || dh == QLatin1String("1")) && (ip.isEmpty() || ma.isEmpty())) {
        m_device->setText(QStringLiteral("10.10.10.10"));
        m_mask->setCurrentIndex(m_mask->findText(QStringLiteral("255.255.255.0 (/24)")));
        m_gateway->setText(QStringLiteral("10.10.10.1"));
        m_pc->setText(QStringLiteral("10.10.10.100"));
    } else {
        m_device->setText(ip);
        const int idx = ma.isEmpty() ? -1 : m_mask->findText(ma, Qt::MatchContains);
        if (idx >= 0)
            m_mask->setCurrentIndex(idx);
        m_gateway->setText(tcpip.value(QStringLiteral("ge")));
    }
    updateState();
}

void WizardPageTCPIP::selectLocalIp()
{
    auto *w = qobject_cast<TunnelWizard *>(wizard());
    SelectLocalIP dialog(w->services().ipHelper, this);
    if (dialog.exec() == QDialog::Accepted && !dialog.result().isEmpty())
        m_pc->setText(dialog.result());
}

void WizardPageTCPIP::updateState()
{
    m_portSettings->setEnabled(m_change->isChecked());
    m_problem->setText(problem());
    emit completeChanged();
}

QString WizardPageTCPIP::problem() const
{
    if (m_change->isChecked() && (m_portSettings->text().trimmed().isEmpty() ||
                                  !parseSerialSettings(m_portSettings->text().trimmed())))
        return QStringLiteral(
            "<span style='color: red;'>Nieprawidłowe ustawienia portu szeregowego urządzenia</span>");
    if (!acceptable(m_device->text()))
        return QStringLiteral("<span style='color: red;'>Nieprawidłowy adres IP urządzenia</span>");
    if (!acceptable(m_pc->text()))
        return QStringLiteral("<span style='color: red;'>Nieprawidłowy adres IP komputera</span>");
    if (!acceptable(m_gateway->text()))
        return QStringLiteral("<span style='color: red;'>Nieprawidłowy adres bramy dla urządzenia</span>");
    const quint32 mask = QHostAddress(m_mask->currentText().section(QLatin1Char(' '), 0, 0)).toIPv4Address();
    if ((QHostAddress(m_gateway->text()).toIPv4Address() & mask) !=
        (QHostAddress(m_device->text()).toIPv4Address() & mask))
        return QStringLiteral(
            "<span style='color: red;'>Nieprawidłowy adres bramy dla urządzenia - nie w tej samej podsieci co adres IP urządzenia</span>");
    return QString();
}

bool WizardPageTCPIP::isComplete() const
{
    return problem().isEmpty();
}

bool WizardPageTCPIP::validatePage()
{
    if (!problem().isEmpty())
        return false;
    setField(QStringLiteral("device_port"),
             m_change->isChecked() ? m_portSettings->text().trimmed() : QString());
    setField(QStringLiteral("ip_device"), m_device->text());
    setField(QStringLiteral("ip_pc"), m_pc->text());
    setField(QStringLiteral("ip_brama"), m_gateway->text());
    setField(QStringLiteral("ip_mask"), m_mask->currentText().section(QLatin1Char(' '), 0, 0));
    return true;
}
