#include "wizard/wizardpagelaststep.h"

#include "config/serialsettings.h"
#include "config/tunnelsettings.h"
#include "log/debug_class.h"
#include "ui/applicationcontext.h"
#include "ui/messagebox.h"
#include "ui/tunnellistmodel.h"
#include "wizard/tunnelwizard.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

WizardPageLastStep::WizardPageLastStep(QWidget *parent) : QWizardPage(parent)
{
    setTitle(tr("Zmiana interfejsu PC"));
    m_text = new QLabel(this);
    m_text->setObjectName(QStringLiteral("text"));
    m_text->setWordWrap(true);
    m_text->setTextFormat(Qt::RichText);
    m_startOnClose = new QCheckBox(tr("Uruchom utworzoną konfigurację po zamknięciu kreatora"), this);
    m_startOnClose->setObjectName(QStringLiteral("startonclose"));
    m_uuid = new QLineEdit(this);
    m_uuid->hide();
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_text);
    layout->addStretch();
    layout->addWidget(m_startOnClose);
    registerField(QStringLiteral("startonclose"), m_startOnClose);
    registerField(QStringLiteral("uuid"), m_uuid);
    setFinalPage(true);
}

TunnelSettings WizardPageLastStep::buildConfiguration() const
{
    auto *w = qobject_cast<TunnelWizard *>(wizard());
    TunnelSettings c;
    c.uuid = QUuid::createUuid();
    c.description = field(QStringLiteral("tunnel_name")).toString();
    c.mode = TunnelSettings::PPP;
    c.autostart = 0;
    c.autorestart = 1;
    c.restart_limit = 5;
    c.restart_delay = 5;

    const QString set[4] = {
        field(QStringLiteral("tun_pc_set")).toString(), field(QStringLiteral("tun_mon_set")).toString(),
        field(QStringLiteral("tun_com1_set")).toString(), field(QStringLiteral("tun_com2_set")).toString()};
    QString port[4] = {
        field(QStringLiteral("tun_pc_port")).toString(), field(QStringLiteral("tun_mon_port")).toString(),
        field(QStringLiteral("tun_com1_port")).toString(), field(QStringLiteral("tun_com2_port")).toString()};
    // Channels without a chosen port get the lowest free COM names; the pair is created when the
    // configuration starts.
    int missing = 0;
    for (int i = 0; i < 4; ++i)
        missing += (!set[i].isEmpty() && port[i].isEmpty()) ? 1 : 0;
    QStringList used = w->usedPortNames();
    for (const QString &p : port)
        if (!p.isEmpty())
            used << p;
    const QStringList fresh = TunnelWizard::freeComNames(used, missing);
    int next = 0;
    for (int i = 0; i < 4; ++i)
        if (!set[i].isEmpty() && port[i].isEmpty())
            port[i] = fresh.value(next++);

    const QString ip = field(QStringLiteral("ip_device")).toString();
    c.data_settings = normalizeSerialSettings(set[0], false);
    c.data_com = port[0];
    c.data_ip = ip + QStringLiteral(":6666");
    if (!set[1].isEmpty()) {
        c.tm_settings = normalizeSerialSettings(set[1], false);
        c.tm_com = port[1];
        c.tm_ip = ip + QStringLiteral(":7777");
    }
    for (int n = 0; n < 2; ++n) {
        if (set[2 + n].isEmpty())
            continue;
        c.proxy_settings.append(normalizeSerialSettings(set[2 + n], false));
        c.proxy_com.append(port[2 + n]);
        c.proxy_data.append(ip + QStringLiteral(":%1").arg(1100 + 2 * n));
        c.proxy_ctrl.append(ip + QStringLiteral(":%1").arg(1101 + 2 * n));
    }
    c.tunnel_remoteip = ip;
    c.tunnel_localip = field(QStringLiteral("ip_pc")).toString();
    const QString current = w->comm()->currentConfig();
    c.tunnel_com = current.section(QLatin1Char(','), 0, 0);
    c.tunnel_settings = normalizeSerialSettings(current.section(QLatin1Char(','), 1), true);
    return c;
}

void WizardPageLastStep::initializePage()
{
    auto *w = qobject_cast<TunnelWizard *>(wizard());
    QString text = TunnelWizard::resourceText(QStringLiteral("files/finalstep.txt"));
    text.replace(QStringLiteral("$$COM$$"), w->linkName());
    m_text->setText(text);
    m_startOnClose->setChecked(true);
    // The configuration exists once: a second visit of this page never builds another (leaving
    // the page backwards reset its fields).
    if (!m_created.isNull()) {
        setField(QStringLiteral("uuid"), m_created.toString());
        return;
    }
    TunnelSettings c = buildConfiguration();
    VLOG(4) << "Wizard created configuration: " << c.dump();
    m_created = c.uuid;
    setField(QStringLiteral("uuid"), c.uuid.toString());
    const TunnelWizard::Services &s = w->services();
    if (s.model)
        s.model->append(c);
    else if (s.configurations)
        s.configurations->append(c);
    const bool saved = s.app && s.app->saveSettings();
    if (s.unsavedIndicator)
        s.unsavedIndicator(!saved);
    if (!saved) {
        VLOG(-10) << "Wizard could not save the configuration file";
        MessageBox::critical(this, tr("Błąd"), tr("Nie można zapisać ustawień. Błąd zapisu."));
    }
}
