#include "wizard/wizardpagevports.h"

#include "wizard/tunnelwizard.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSet>
#include <QVBoxLayout>

const QString WizardPageVPorts::kNewPort = QStringLiteral("--NOWY--");

namespace
{
const char *const kSetFields[4] = {"tun_pc_set", "tun_mon_set", "tun_com1_set", "tun_com2_set"};
const char *const kPortFields[4] = {"tun_pc_port", "tun_mon_port", "tun_com1_port", "tun_com2_port"};
const char *const kOtherFields[5] = {"device_port", "ip_device", "ip_pc", "ip_brama", "ip_mask"};
} // namespace

WizardPageVPorts::WizardPageVPorts(QWidget *parent) : QWizardPage(parent)
{
    setTitle(tr("Wybór portów szeregowych"));
    m_createNew = new QCheckBox(tr("Utwórz nowe porty szeregowe dla tej konfiguracji"), this);
    m_createNew->setObjectName(QStringLiteral("createNew"));
    m_createNew->setChecked(true);
    m_info = new QLabel(this);
    m_info->setObjectName(QStringLiteral("info"));
    m_info->setWordWrap(true);
    m_problem = new QLabel(this);
    m_problem->setObjectName(QStringLiteral("problem"));
    auto *form = new QFormLayout;
    const QString labels[4] = {tr("Tunel interfejsu PC"), tr("Tunel monitora transakcji"),
                               tr("Tunel portu COM1"), tr("Tunel portu COM2")};
    for (int i = 0; i < 4; ++i) {
        m_combos[i] = new QComboBox(this);
        m_combos[i]->setObjectName(QString::fromLatin1(kPortFields[i]));
        form->addRow(labels[i], m_combos[i]);
        connect(m_combos[i], QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                &WizardPageVPorts::updateState);
    }
    for (int i = 0; i < 9; ++i) {
        m_hidden[i] = new QLineEdit(this);
        m_hidden[i]->hide();
        registerField(QString::fromLatin1(i < 4 ? kPortFields[i] : kOtherFields[i - 4]), m_hidden[i]);
    }
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_createNew);
    layout->addWidget(m_info);
    layout->addLayout(form);
    layout->addWidget(m_problem);
    layout->addStretch();
    connect(m_createNew, &QCheckBox::toggled, this, &WizardPageVPorts::updateState);
}

void WizardPageVPorts::initializePage()
{
    auto *w = qobject_cast<TunnelWizard *>(wizard());
    const QStringList free = w->freeVirtualPorts();
    m_free = free.size();
    int enabled = 0;
    for (int i = 0; i < 4; ++i) {
        m_tunnelled[i] = !field(QString::fromLatin1(kSetFields[i])).toString().isEmpty();
        enabled += m_tunnelled[i] ? 1 : 0;
        m_combos[i]->blockSignals(true);
        m_combos[i]->clear();
        m_combos[i]->addItem(kNewPort);
        m_combos[i]->addItems(free);
        m_combos[i]->blockSignals(false);
    }
    if (free.isEmpty()) {
        m_info->setText(QStringLiteral(
            "<span style='color: red;'>Nie wykryto dostępnych wirtualnych portów szeregowych. Konieczne jest utworzenie nowych portów.<span>"));
    } else {
        const QString shortage =
            m_free < enabled
                ? QStringLiteral(
                      "<span style='color: red;'>Ponieważ ilość dostępnych portów nie jest wystarczająca, w niewypełnionych pozycjach należy pozostawić opcję '--NOWY--'.</span>")
                : QString();
        m_info->setText(
            QStringLiteral(
                "<span style='color: green;'>Wykryto %1 wirtualnych portów szeregowych. Możliwe jest ich wykorzystanie, dlatego w poniższych polach można wybrać porty do wykorzystania, lub pozostawić opcję automatycznego wyboru portu. %2<span>")
                .arg(m_free)
                .arg(shortage));
    }
    // Without free ports there is nothing to choose: every port is new.
    m_createNew->setChecked(free.isEmpty() || m_createNew->isChecked());
    m_createNew->setEnabled(!free.isEmpty());
    updateState();
}

void WizardPageVPorts::updateState()
{
    const bool choose = !m_createNew->isChecked();
    for (int i = 0; i < 4; ++i) {
        m_combos[i]->setEnabled(choose && m_tunnelled[i]);
        if (!m_combos[i]->isEnabled() && m_combos[i]->currentIndex() != 0) {
            m_combos[i]->blockSignals(true);
            m_combos[i]->setCurrentIndex(0);
            m_combos[i]->blockSignals(false);
        }
    }
    m_problem->setText(
        duplicates()
            ? QStringLiteral(
                  "<span style='color: red;'>Porty wybrane dla poszczególnych tuneli muszą być różne.</span>")
            : QString());
    emit completeChanged();
}

bool WizardPageVPorts::duplicates() const
{
    QSet<QString> seen;
    for (QComboBox *c : m_combos) {
        if (!c->isEnabled() || c->currentText() == kNewPort)
            continue;
        if (seen.contains(c->currentText()))
            return true;
        seen.insert(c->currentText());
    }
    return false;
}

bool WizardPageVPorts::isComplete() const
{
    return !duplicates();
}

bool WizardPageVPorts::validatePage()
{
    for (int i = 0; i < 4; ++i) {
        const bool chosen = m_combos[i]->isEnabled() && m_combos[i]->currentText() != kNewPort;
        setField(QString::fromLatin1(kPortFields[i]), chosen ? m_combos[i]->currentText() : QString());
    }
    setField(QStringLiteral("device_port"), QString());
    setField(QStringLiteral("ip_device"), QStringLiteral("10.10.10.10"));
    setField(QStringLiteral("ip_pc"), QStringLiteral("10.10.10.11"));
    setField(QStringLiteral("ip_brama"), QStringLiteral("10.10.10.1"));
    setField(QStringLiteral("ip_mask"), QStringLiteral("255.255.255.0"));
    return true;
}
