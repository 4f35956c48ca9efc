#include "wizard/wizardpagetunneling.h"

#include "wizard/tunnelwizard.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace
{
const char *const kSetFields[4] = {"tun_pc_set", "tun_mon_set", "tun_com1_set", "tun_com2_set"};
}

WizardPageTunneling::WizardPageTunneling(QWidget *parent) : QWizardPage(parent)
{
    setTitle(tr("Ustawienia tunelowania"));
    setSubTitle(tr("Wybierz kanały urządzenia, które mają być dostępne przez porty szeregowe komputera."));
    m_link = new QLabel(this);
    m_link->setObjectName(QStringLiteral("link"));
    const QString names[4] = {tr("Interfejs PC"), tr("Monitor transakcji"), tr("Port COM1"), tr("Port COM2")};
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_link);
    for (int i = 0; i < 4; ++i) {
        m_boxes[i] = new QCheckBox(names[i], this);
        m_boxes[i]->setObjectName(QString::fromLatin1(kSetFields[i]));
        m_notes[i] = new QLabel(this);
        m_notes[i]->setObjectName(QString::fromLatin1(kSetFields[i]) + QStringLiteral("_note"));
        m_notes[i]->setWordWrap(true);
        m_notes[i]->setIndent(20);
        m_fields[i] = new QLineEdit(this);
        m_fields[i]->hide();
        registerField(QString::fromLatin1(kSetFields[i]), m_fields[i]);
        layout->addWidget(m_boxes[i]);
        layout->addWidget(m_notes[i]);
    }
    layout->addStretch();
    m_boxes[0]->setChecked(true);
    m_boxes[0]->setEnabled(false);
    m_notes[0]->setText(tr("Tunelowanie interfejsu PC jest obowiązkowe"));
}

void WizardPageTunneling::initializePage()
{
    auto *w = qobject_cast<TunnelWizard *>(wizard());
    QString link;
    w->connectionType(&link);
    m_link->setText(tr("Sposób podłączenia urządzenia:") + QLatin1Char(' ') + link);
    for (int n = 1; n <= 2; ++n) {
        const QString why = w->comExclusion(n);
        m_boxes[n + 1]->setEnabled(why.isEmpty());
        if (!why.isEmpty())
            m_boxes[n + 1]->setChecked(false);
        m_notes[n + 1]->setText(why);
        m_notes[n + 1]->setVisible(!why.isEmpty());
    }
}

bool WizardPageTunneling::validatePage()
{
    auto *w = qobject_cast<TunnelWizard *>(wizard());
    QString s = QStringLiteral("115200,8,N,1,R");
    if (w->connectionType() != 0)
        s = w->comm()->currentConfig().section(QLatin1Char(','), 1);
    for (int i = 0; i < 4; ++i)
        setField(QString::fromLatin1(kSetFields[i]),
                 (i == 0 || (m_boxes[i]->isChecked() && m_boxes[i]->isEnabled())) ? s : QString());
    return true;
}
