// Port names resolve through the program's one port enumeration (absolute paths, the port driver's
// ports, the system's ports), so the library opens what the rest of the program shows under a name.
#include "varnok/linesettings.h"

#include "ports/serialportenumerator.h"

#include <QFile>

namespace varnok
{

std::string portDevicePath(const std::string &portName)
{
    const QString path = SerialPortEnumerator::devicePath(QString::fromLocal8Bit(portName.c_str()));
    return QFile::encodeName(path).toStdString();
}

} // namespace varnok
