#include "ui/dialogports.h"

#include "log/debug_class.h"
#include "ports/serialportenumerator.h"
#include "ports/vspinterface.h"
#include "ui/messagebox.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QInputDialog>

namespace
{
const QLatin1String kHiddenPrefix("NULL_");
// The driver's limit for a name (it becomes a file name in its ports folder).
constexpr int kMaxNameLength = 64;

QString tr(const char *text)
{
    return QCoreApplication::translate("DialogPorts", text);
}
} // namespace

QList<DialogPorts::Port> DialogPorts::serialPorts()
{
    QList<Port> out;
    for (const SerialPortEnumerator::PortInfo &info : SerialPortEnumerator::availablePorts()) {
        if (info.name.startsWith(kHiddenPrefix, Qt::CaseInsensitive))
            continue;
        out.append(Port{info.name, info.driverPort});
    }
    return out;
}

QStringList DialogPorts::channelPorts(const QList<Port> &ports, bool onlyVirtual)
{
    QStringList out;
    for (const Port &p : ports)
        if (!onlyVirtual || p.driverPort)
            out.append(p.name);
    return out;
}

QStringList DialogPorts::realPorts(const QList<Port> &ports)
{
    QStringList out;
    for (const Port &p : ports)
        if (!p.driverPort)
            out.append(p.name);
    return out;
}

QString DialogPorts::nameProblem(const QString &name, const QStringList &existing)
{
    if (name.trimmed().isEmpty())
        return tr("Nie podano nazwy portu COM");
    bool unsafe = name != name.trimmed() || name.size() > kMaxNameLength || name.contains(QLatin1Char('/')) ||
                  name.contains(QLatin1String("..")) || name == QLatin1String(".");
    for (const QChar c : name)
        unsafe = unsafe || c.unicode() < 0x20 || c.unicode() == 0x7F || c.unicode() > 0xFF;
    if (unsafe)
        return tr("Nazwa portu COM '%1' jest niedozwolona. Nazwa może mieć do 64 znaków, bez spacji na początku i końcu, bez znaków sterujących, znaku '/' oraz '..', np. COM5")
            .arg(name);
    if (name.startsWith(kHiddenPrefix, Qt::CaseInsensitive))
        return tr("Nazwa portu COM '%1' jest niedozwolona: nazwy zaczynające się od NULL_ należą do ukrytych końców portów wirtualnych")
            .arg(name);
    for (const QString &e : existing)
        if (VSPInterface::samePortName(e, name))
            return tr("Port COM %1 już istnieje").arg(e);
    return QString();
}

QString DialogPorts::addVirtualPort(QWidget *parent, VSPInterface *vsp, const QStringList &existing)
{
    bool ok = false;
    const QString name =
        QInputDialog::getText(parent, tr("Dodawanie portu COM"), tr("Podaj nazwę nowego portu COM"),
                              QLineEdit::Normal, QString(), &ok);
    if (!ok)
        return QString();
    const QString problem = nameProblem(name, existing);
    if (!problem.isEmpty()) {
        MessageBox::warning(parent, tr("Ostrzeżenie"), problem);
        return QString();
    }
    // The driver upper-cases names; the combo shows the name it will list.
    const QString created = name.toUpper();
    bool listed = false;
    if (vsp && vsp->createPort(QString(), created, 0xFFFFFFFFu, false) && vsp->updatePortList())
        listed = vsp->findPeer(created, nullptr);
    if (!listed) {
        VLOG(-10) << QStringLiteral("Virtual port %1 was not created").arg(created);
        MessageBox::critical(
            parent, tr("Błąd"),
            tr("Nie udało się utworzyć wirtualnego portu COM %1. Sterownik portów wirtualnych jest niedostępny lub odmówił utworzenia pary portów.")
                .arg(created));
        return QString();
    }
    return created;
}

void DialogPorts::selectPort(QComboBox *combo, const QString &name)
{
    if (name.isEmpty())
        return;
    int i = combo->findText(name);
    if (i < 0) {
        combo->addItem(name);
        i = combo->count() - 1;
    }
    combo->setCurrentIndex(i);
}
