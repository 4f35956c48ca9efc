// What the editor dialogs offer as serial ports, and the one way they add a
// virtual port pair.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class QComboBox;
class QWidget;
class VSPInterface;

namespace DialogPorts
{
struct Port {
    QString name;
    bool driverPort = false; // one of the virtual ports the driver made for us
};

// Every port the user may pick, never the hidden ends of the driver's pairs.
QList<Port> serialPorts();
// The ports for a tunnel channel: only the driver's when onlyVirtual is set.
QStringList channelPorts(const QList<Port> &ports, bool onlyVirtual);
// The ports for a PPP line: never one of the driver's virtual ports.
QStringList realPorts(const QList<Port> &ports);

// Why a name cannot become a new virtual port (what the driver would refuse,
// a hidden end's name, a port that exists); empty when it can.
QString nameProblem(const QString &name, const QStringList &existing);

// Asks for a name, refuses a bad one with a box, creates the pair through the
// driver and confirms it is listed. Returns the port's name (as the driver
// spells it) only when the pair exists, else an empty text.
QString addVirtualPort(QWidget *parent, VSPInterface *vsp, const QStringList &existing);

// Adds the port to the combo unless it is there, and selects it.
void selectPort(QComboBox *combo, const QString &name);
} // namespace DialogPorts
