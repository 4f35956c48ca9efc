#include "wizard/wizardpageviewconf.h"

#include "config/serialsettings.h"
#include "wizard/tunnelwizard.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

const QString WizardPageViewConf::kNewPort = QStringLiteral("Utwórz nowy port COM");

namespace
{
const char *const kSetFields[4] = {"tun_pc_set", "tun_mon_set", "tun_com1_set", "tun_com2_set"};
const char *const kPortFields[4] = {"tun_pc_port", "tun_mon_port", "tun_com1_port", "tun_com2_port"};
// The channels' names in the page's messages.
const char *const kShort[4] = {"PC", "Monitora", "COM1", "COM2"};
} // namespace

WizardPageViewConf::WizardPageViewConf(QWidget *parent) : QWizardPage(parent)
{
    setTitle(tr("Konfiguracja tunelowania"));
    m_link = new QLabel(this);
    m_link->setObjectName(QStringLiteral("link"));
    m_problem = new QLabel(this);
    m_problem->setObjectName(QStringLiteral("problem"));
    auto *grid = new QGridLayout;
    grid->addWidget(new QLabel(tr("Kanał"), this), 0, 0);
    grid->addWidget(new QLabel(tr("Port"), this), 0, 1);
    grid->addWidget(new QLabel(tr("Ustawienia portu"), this), 0, 2);
    const QString names[4] = {tr("Interfejs PC"), tr("Monitor transakcji"), tr("Port COM1"), tr("Port COM2")};
    for (int i = 0; i < 4; ++i) {
        const QString key =
            QString::fromLatin1(kSetFields[i]).mid(4, QString::fromLatin1(kSetFields[i]).size() - 8);
        m_boxes[i] = new QCheckBox(names[i], this);
        m_boxes[i]->setObjectName(QStringLiteral("box_") + key);
        m_ports[i] = new QComboBox(this);
        m_ports[i]->setObjectName(QStringLiteral("port_") + key);
        m_ports[i]->setEditable(true);
        m_settings[i] = new QLineEdit(this);
        m_settings[i]->setObjectName(QStringLiteral("settings_") + key);
        m_notes[i] = new QLabel(this);
        m_notes[i]->setObjectName(QStringLiteral("note_") + key);
        m_notes[i]->setWordWrap(true);
        m_notes[i]->hide();
        grid->addWidget(m_boxes[i], 1 + 2 * i, 0);
        grid->addWidget(m_ports[i], 1 + 2 * i, 1);
        grid->addWidget(m_settings[i], 1 + 2 * i, 2);
        grid->addWidget(m_notes[i], 2 + 2 * i, 0, 1, 3);
        connect(m_boxes[i], &QCheckBox::toggled, this, &WizardPageViewConf::updateState);
        connect(m_ports[i], &QComboBox::currentTextChanged, this, &WizardPageViewConf::updateState);
        connect(m_settings[i], &QLineEdit::textChanged, this, &WizardPageViewConf::updateState);
    }
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_link);
    layout->addLayout(grid);
    layout->addWidget(m_problem);
    layout->addStretch();
    // The configuration always carries the PC interface.
    m_boxes[0]->setChecked(true);
    m_boxes[0]->setEnabled(false);
    m_notes[0]->setText(tr("Tunelowanie interfejsu PC jest obowiązkowe"));
    m_notes[0]->show();
}

void WizardPageViewConf::initializePage()
{
    auto *w = qobject_cast<TunnelWizard *>(wizard());
    QString link;
    w->connectionType(&link);
    m_link->setText(tr("Sposób podłączenia urządzenia:") + QLatin1Char(' ') + link);
    const TavrelDeviceComm::DeviceData data = w->comm()->deviceData();
    const QStringList free = w->freeVirtualPorts();
    for (int i = 0; i < 4; ++i) {
        m_ports[i]->blockSignals(true);
        m_ports[i]->clear();
        m_ports[i]->addItem(kNewPort);
        m_ports[i]->addItems(free);
        m_ports[i]->blockSignals(false);
    }
    m_settings[0]->setText(QStringLiteral("115200,8,N,1,N"));
    m_settings[1]->setText(QStringLiteral("115200,8,N,1,N"));
    m_settings[2]->setText(TavrelDeviceComm::deviceComParams(data.value(QStringLiteral("com1"))));
    m_settings[3]->setText(TavrelDeviceComm::deviceComParams(data.value(QStringLiteral("com2"))));
    for (int n = 1; n <= 2; ++n) {
        const QString en = data.value(QStringLiteral("tun%1").arg(n - 1)).value(QStringLiteral("en"));
        const QString why = w->comExclusion(n);
        QCheckBox *box = m_boxes[n + 1];
        box->setChecked(why.isEmpty() && (en == QLatin1String("T") || en == QLatin1String("1")));
        box->setEnabled(why.isEmpty());
        m_notes[n + 1]->setText(why);
        m_notes[n + 1]->setVisible(!why.isEmpty());
    }
    updateState();
}

void WizardPageViewConf::updateState()
{
    for (int i = 0; i < 4; ++i) {
        const bool on = m_boxes[i]->isChecked();
        m_ports[i]->setEnabled(on);
        m_settings[i]->setEnabled(on);
    }
    m_problem->setText(problem());
    emit completeChanged();
}

QString WizardPageViewConf::problem() const
{
    for (int i = 0; i < 4; ++i) {
        if (!m_boxes[i]->isChecked())
            continue;
        if (m_settings[i]->text().trimmed().isEmpty() ||
            !parseSerialSettings(m_settings[i]->text().trimmed()))
            return QStringLiteral("<span style='color: red;'>Nieprawidłowe ustawienia portu %1</span>")
                .arg(QLatin1String(kShort[i]));
        if (m_ports[i]->currentText().trimmed().isEmpty())
            return QStringLiteral("<span style='color: red;'>Nie wybrano portu dla %1</span>")
                .arg(QLatin1String(kShort[i]));
    }
    return QString();
}

bool WizardPageViewConf::isComplete() const
{
    return problem().isEmpty();
}

bool WizardPageViewConf::validatePage()
{
    if (!problem().isEmpty())
        return false;
    for (int i = 0; i < 4; ++i) {
        const bool on = m_boxes[i]->isChecked();
        const QString port = m_ports[i]->currentText().trimmed();
        setField(QString::fromLatin1(kSetFields[i]), on ? m_settings[i]->text().trimmed() : QString());
        setField(QString::fromLatin1(kPortFields[i]), on && port != kNewPort ? port : QString());
    }
    return true;
}
