#include "ui/appsettingsdialog.h"

#include "config/tunnelsettings.h"
#include "ports/winelinks.h"
#include "ui/dialogbuttons.h"
#include "ui/messagebox.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

AppSettingsDialog::AppSettingsDialog(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(tr("Ustawienia aplikacji"));
    auto check = [this](const char *name, const QString &text) {
        auto *c = new QCheckBox(text, this);
        c->setObjectName(QLatin1String(name));
        return c;
    };
    m_autostarts = check("m_autostarts", tr("Uruchamiaj oznaczone konfiguracje na starcie aplikacji"));
    m_disableautorestarts =
        check("m_disableautorestarts", tr("Domyślnie zablokuj automatyczne restarty konfiguracji"));
    m_startminimized = check("m_startminimized", tr("Uruchamiaj aplikację zminimalizowaną"));
    m_taskdelay = new QSpinBox(this);
    m_taskdelay->setObjectName(QStringLiteral("m_taskdelay"));
    m_taskdelay->setRange(0, TunnelSettings::kMaxDelaySeconds);
    m_onlyVirtual = check("m_onlyVirtual", tr("Używaj do tunelowania tylko porty wirtualne"));
    m_autostartWithSystem = check("m_autostartWithSystem", tr("Uruchamiaj automatycznie na starcie systemu"));
    m_startwizard = check("m_startwizard", tr("Na starcie aplikacji uruchom kreatora konfiguracji"));
    m_winePrefix = new QLineEdit(this);
    m_winePrefix->setObjectName(QStringLiteral("m_winePrefix"));
    m_winePrefix->setPlaceholderText(tr("puste: bez łączy"));
    auto *choosePrefix = new QPushButton(tr("Wybierz..."), this);
    choosePrefix->setObjectName(QStringLiteral("buttonWinePrefix"));

    auto *top = new QVBoxLayout(this);
    top->addWidget(m_autostarts);
    top->addWidget(m_disableautorestarts);
    top->addWidget(m_startminimized);
    auto *delay = new QHBoxLayout;
    delay->addWidget(new QLabel(tr("Opóźnienie uruchomienia aplikacji jako zadania harmonogramu [s]"), this));
    delay->addWidget(m_taskdelay);
    top->addLayout(delay);
    top->addWidget(m_onlyVirtual);
    top->addWidget(m_autostartWithSystem);
    top->addWidget(m_startwizard);
    top->addWidget(new QLabel(tr("Prefiks Wine programu sprzedaży (porty COM jako dosdevices)"), this));
    auto *wine = new QHBoxLayout;
    wine->addWidget(m_winePrefix);
    wine->addWidget(choosePrefix);
    top->addLayout(wine);

    QHBoxLayout *buttons = DialogButtons::okCancel(this);
    top->addLayout(buttons);
    QMetaObject::connectSlotsByName(this);
    setSettings(AppSettings());
}

void AppSettingsDialog::setSettings(const AppSettings &s)
{
    m_autostarts->setChecked(s.autorun);
    m_disableautorestarts->setChecked(s.restarts_blocked);
    m_startminimized->setChecked(s.start_minimized);
    m_taskdelay->setValue(s.task_delay);
    m_onlyVirtual->setChecked(s.only_virtual);
    m_autostartWithSystem->setChecked(s.start_with_system);
    m_startwizard->setChecked(s.start_wizard);
    m_winePrefix->setText(s.wine_prefix);
}

AppSettings AppSettingsDialog::settings() const
{
    AppSettings s;
    s.autorun = m_autostarts->isChecked();
    s.restarts_blocked = m_disableautorestarts->isChecked();
    s.start_minimized = m_startminimized->isChecked();
    s.task_delay = m_taskdelay->value();
    s.only_virtual = m_onlyVirtual->isChecked();
    s.start_with_system = m_autostartWithSystem->isChecked();
    s.start_wizard = m_startwizard->isChecked();
    s.wine_prefix = m_winePrefix->text().trimmed();
    return s;
}

void AppSettingsDialog::on_buttonOk_clicked()
{
    // A folder that is not a Wine prefix would only make every save report a refusal.
    const QString prefix = m_winePrefix->text().trimmed();
    if (!prefix.isEmpty()) {
        const QString problem = WineLinks::prefixProblem(prefix);
        if (!problem.isEmpty()) {
            MessageBox::warning(this, tr("Ostrzeżenie"), tr("Nieprawidłowy prefiks Wine: %1").arg(problem));
            return;
        }
    }
    if (MessageBox::question(this, tr("Pytanie"), tr("Czy zapisać ustawienia aplikacji?\n")) ==
        QMessageBox::Yes)
        accept();
}

void AppSettingsDialog::on_buttonWinePrefix_clicked()
{
    QString start = m_winePrefix->text().trimmed();
    if (start.isEmpty())
        start = QDir::homePath() + QStringLiteral("/.wine");
    const QString chosen = QFileDialog::getExistingDirectory(this, tr("Prefiks Wine"), start);
    if (!chosen.isEmpty())
        m_winePrefix->setText(chosen);
}

void AppSettingsDialog::on_buttonCancel_clicked()
{
    reject();
}
