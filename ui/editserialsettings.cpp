#include "ui/editserialsettings.h"

#include "log/debug_class.h"
#include "ui/dialogbuttons.h"
#include "ui/messagebox.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace
{
QComboBox *combo(QWidget *parent, const char *name, const QStringList &items)
{
    auto *c = new QComboBox(parent);
    c->setObjectName(QLatin1String(name));
    c->addItems(items);
    return c;
}
} // namespace

EditSerialSettings::EditSerialSettings(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(tr("Ustawienia portu szeregowego"));
    m_baud = combo(this, "comboBaud",
                   {QStringLiteral("115200"), QStringLiteral("57600"), QStringLiteral("38400"),
                    QStringLiteral("19200"), QStringLiteral("9600"), QStringLiteral("4800"),
                    QStringLiteral("2400"), QStringLiteral("1200")});
    m_baud->setEditable(true);
    m_baud->setInsertPolicy(QComboBox::NoInsert);
    m_baud->setValidator(new QIntValidator(kTypedBaudMin, kBaudMax, m_baud));
    m_bits = combo(this, "comboBits", {QStringLiteral("8"), QStringLiteral("7")});
    m_parity = combo(this, "comboParity", {tr("Brak (N)"), tr("Parzyste (E)"), tr("Nieparzyste (O)")});
    m_stop = combo(this, "comboStop", {QStringLiteral("1"), QStringLiteral("2")});
    m_flow = combo(this, "comboFlow", {tr("Sprzętowa (RTS/CTS)"), tr("Programowa (XON/XOFF)"), tr("Brak")});
    m_wiring =
        combo(this, "comboWiring",
              {tr("Pełna emulacja linii sterujących"), tr("Połączenie lini sterujących typu Loopback")});
    m_strict = combo(this, "comboStrict", {tr("Nie"), tr("Tak")});

    auto *form = new QFormLayout;
    form->addRow(tr("Prędkość [bit/s]"), m_baud);
    form->addRow(tr("Bity danych"), m_bits);
    form->addRow(tr("Parzystość"), m_parity);
    form->addRow(tr("Bity stopu"), m_stop);
    form->addRow(tr("Kontrola przepływu"), m_flow);
    auto *note = new QLabel(
        tr("Poniższe ustawienia dotyczą wyłącznie wirtualnych portów szeregowych instalowanych przez aplikację"),
        this);
    note->setObjectName(QStringLiteral("labelVirtualOnly"));
    note->setWordWrap(true);
    auto *options = new QFormLayout;
    options->addRow(tr("Linie sterujące"), m_wiring);
    options->addRow(tr("Emulacja prędkości"), m_strict);

    QHBoxLayout *buttons = DialogButtons::okCancel(this);

    auto *top = new QVBoxLayout(this);
    top->addLayout(form);
    top->addWidget(note);
    top->addLayout(options);
    top->addLayout(buttons);
    QMetaObject::connectSlotsByName(this);
}

void EditSerialSettings::setSettings(const QString &settings, bool realPort)
{
    const QStringList parts = settings.split(QLatin1Char('/'), Qt::KeepEmptyParts);
    const QStringList f = parts.first().split(QLatin1Char(','), Qt::KeepEmptyParts);
    if (f.size() != 5) {
        VLOG(4) << QStringLiteral("Invalid serial settings string [size] '%1'").arg(settings);
    } else {
        // Unlike the parser, a bad field does not stop the others from showing.
        bool ok = false;
        const long baud = f[0].toLong(&ok);
        if (ok)
            m_baud->setEditText(QString::number(baud));
        else
            VLOG(4) << QStringLiteral("Invalid serial settings string [baud] '%1'").arg(settings);
        const long bits = f[1].toLong(&ok);
        if (ok)
            m_bits->setCurrentIndex(bits == 8 ? 0 : 1);
        else
            VLOG(4) << QStringLiteral("Invalid serial settings string [bits] '%1'").arg(settings);
        const int parity =
            QStringList({QStringLiteral("N"), QStringLiteral("E"), QStringLiteral("O")}).indexOf(f[2]);
        if (parity >= 0)
            m_parity->setCurrentIndex(parity);
        else
            VLOG(4) << QStringLiteral("Invalid serial settings string [parity] '%1'").arg(settings);
        const long stop = f[3].toLong(&ok);
        if (ok)
            m_stop->setCurrentIndex(stop == 1 ? 0 : 1);
        else
            VLOG(4) << QStringLiteral("Invalid serial settings string [stop] '%1'").arg(settings);
        const int flow =
            QStringList({QStringLiteral("H"), QStringLiteral("S"), QStringLiteral("N")}).indexOf(f[4]);
        if (flow >= 0)
            m_flow->setCurrentIndex(flow);
        else
            VLOG(4) << QStringLiteral("Invalid serial settings string [flow] '%1'").arg(settings);
    }
    if (parts.size() > 1)
        m_wiring->setCurrentIndex(parts[1].toUpper() == QLatin1String("LB") ? 1 : 0);
    if (parts.size() > 2)
        m_strict->setCurrentIndex(parts[2].toUpper() == QLatin1String("ST") ? 1 : 0);
    m_realPort = realPort;
    m_wiring->setEnabled(!realPort);
    m_strict->setEnabled(!realPort);
}

QString EditSerialSettings::settings() const
{
    static const char *const parity[] = {"N,", "E,", "O,"};
    static const char *const flow[] = {"H", "S", "N"};
    QString s = m_baud->currentText().trimmed() + QLatin1Char(',') + m_bits->currentText() +
                QLatin1Char(',') + QLatin1String(parity[qBound(0, m_parity->currentIndex(), 2)]) +
                m_stop->currentText() + QLatin1Char(',') +
                QLatin1String(flow[qBound(0, m_flow->currentIndex(), 2)]);
    if (!m_realPort) {
        s += m_wiring->currentIndex() == 1 ? QStringLiteral("/LB") : QStringLiteral("/NO");
        s += m_strict->currentIndex() == 1 ? QStringLiteral("/ST") : QStringLiteral("/NS");
    }
    return s;
}

void EditSerialSettings::on_buttonOk_clicked()
{
    bool ok = false;
    const long baud = m_baud->currentText().trimmed().toLong(&ok);
    if (!ok || baud < kBaudMin || baud > kBaudMax) {
        MessageBox::warning(this, tr("Ostrzeżenie"),
                            tr("Nieprawidłowa prędkość transmisji. Musi być liczbą od 1200 do 10000000"));
        m_baud->setFocus();
        return;
    }
    accept();
}

void EditSerialSettings::on_buttonCancel_clicked()
{
    reject();
}
