#include "wizard/wizardpagetunnelname.h"

#include "wizard/tunnelwizard.h"

#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

WizardPageTunnelName::WizardPageTunnelName(bool registersField, QWidget *parent) : QWizardPage(parent)
{
    setTitle(tr("Informacje uzupełniające"));
    m_link = new QLabel(this);
    m_link->setObjectName(QStringLiteral("link"));
    m_name = new QLineEdit(this);
    m_name->setObjectName(QStringLiteral("tunnel_name"));
    m_problem = new QLabel(this);
    m_problem->setObjectName(QStringLiteral("problem"));
    m_field = new QLineEdit(this);
    m_field->hide();
    auto *form = new QFormLayout;
    form->addRow(tr("Nazwa połączenia"), m_name);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_link);
    layout->addLayout(form);
    layout->addWidget(m_problem);
    layout->addStretch();
    if (registersField)
        registerField(QStringLiteral("tunnel_name"), m_field);
    connect(m_name, &QLineEdit::textChanged, this, [this] {
        m_problem->setText(problem());
        emit completeChanged();
    });
}

void WizardPageTunnelName::initializePage()
{
    QString link;
    qobject_cast<TunnelWizard *>(wizard())->connectionType(&link);
    m_link->setText(tr("Sposób podłączenia urządzenia:") + QLatin1Char(' ') + link);
    m_problem->setText(problem());
}

QString WizardPageTunnelName::problem() const
{
    const QString name = m_name->text().trimmed();
    if (name.isEmpty())
        return QStringLiteral("<span style='color: red;'>Nazwa konfiguracji jest wymagana</span>");
    auto *w = qobject_cast<TunnelWizard *>(wizard());
    if (w && w->services().configurations)
        for (const TunnelSettings &c : *w->services().configurations)
            if (c.description.compare(name, Qt::CaseInsensitive) == 0)
                return QStringLiteral(
                    "<span style='color: red;'>Taka nazwa konfiguracji jest już używana</span>");
    return QString();
}

bool WizardPageTunnelName::isComplete() const
{
    return problem().isEmpty();
}

bool WizardPageTunnelName::validatePage()
{
    if (!problem().isEmpty())
        return false;
    setField(QStringLiteral("tunnel_name"), m_name->text().trimmed());
    return true;
}
