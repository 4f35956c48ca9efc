#include "ports/devnotifyhandle.h"

#include "log/debug_class.h"
#include "ports/serialportenumerator.h"

#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <libudev.h>

namespace
{
QString hex4(quint64 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

// The udev daemon announces itself through its control socket; without it
// nobody forwards events on the "udev" group and only the kernel's own are there.
bool udevDaemonRuns()
{
    return QFileInfo::exists(QStringLiteral("/run/udev/control"));
}
} // namespace

DevNotifyHandle::DevNotifyHandle(QObject *parent) : QObject(parent) {}

DevNotifyHandle::~DevNotifyHandle()
{
    if (m_monitor)
        Unregister();
}

bool DevNotifyHandle::RegisterToWindow(quintptr windowHandle)
{
    if (m_monitor)
        return true;
    const QString source = udevDaemonRuns() ? QStringLiteral("udev") : QStringLiteral("kernel");
    errno = 0;
    struct udev *u = udev_new();
    struct udev_monitor *monitor =
        u ? udev_monitor_new_from_netlink(u, source.toLatin1().constData()) : nullptr;
    int error = errno;
    bool ok = monitor && udev_monitor_filter_add_match_subsystem_devtype(monitor, "tty", nullptr) >= 0;
    if (ok) {
        const int result = udev_monitor_enable_receiving(monitor);
        ok = result >= 0;
        if (!ok)
            error = -result;
    }
    if (!ok) {
        if (monitor)
            udev_monitor_unref(monitor);
        if (u)
            udev_unref(u);
        VLOG(-10) << QStringLiteral("RegisterDeviceNotification failed: 0x%1").arg(hex4(quint32(error)));
        return false;
    }
    m_udev = u;
    m_monitor = monitor;
    m_source = source;
    m_notifier = new QSocketNotifier(udev_monitor_get_fd(monitor), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &DevNotifyHandle::readEvents);
    VLOG(-10)
        << QStringLiteral("RegisterDeviceNotification for handle 0x%1 succeeded").arg(hex4(windowHandle));
    VLOG(4) << (source == QLatin1String("udev")
                    ? QStringLiteral("Device notifications come from the udev daemon")
                    : QStringLiteral(
                          "Device notifications come from the kernel's uevents (no udev daemon runs)"));
    return true;
}

bool DevNotifyHandle::Unregister()
{
    if (!m_monitor) {
        VLOG(-10) << QStringLiteral("UnregisterDeviceNotification failed: 0x%1").arg(hex4(EBADF));
        return false;
    }
    delete m_notifier; // before its socket is closed
    m_notifier = nullptr;
    udev_monitor_unref(m_monitor);
    udev_unref(m_udev);
    m_monitor = nullptr;
    m_udev = nullptr;
    m_source.clear();
    return true;
}

void DevNotifyHandle::readEvents()
{
    // The socket is non-blocking: take every event that is there.
    while (m_monitor) {
        struct udev_device *device = udev_monitor_receive_device(m_monitor);
        if (!device)
            return;
        const char *subsystem = udev_device_get_subsystem(device);
        const char *action = udev_device_get_action(device);
        const char *sysname = udev_device_get_sysname(device);
        if (subsystem && qstrcmp(subsystem, "tty") == 0 && action) {
            const QString name = QString::fromLocal8Bit(sysname ? sysname : "");
            if (qstrcmp(action, "add") == 0)
                handleDeviceChange(DeviceArrival, DevTypePort, name);
            else if (qstrcmp(action, "remove") == 0)
                handleDeviceChange(DeviceRemoveComplete, DevTypePort, name);
            else // change, move, bind and the like: the nodes changed, no port came or went
                handleDeviceChange(DevNodesChanged, 0, QString());
        }
        udev_device_unref(device);
    }
}

void DevNotifyHandle::handleDeviceChange(quint32 eventCode, quint32 deviceType, const QString &portName)
{
    VLOG(4) << QStringLiteral("Received WM_DEVICECHANGE: 0x%1").arg(hex4(eventCode));
    QString ports;
    for (const SerialPortEnumerator::PortInfo &p : SerialPortEnumerator::availablePorts())
        ports += QLatin1Char('\n') +
                 QStringLiteral("Port=%1, Loc=%2, Pi=%3").arg(p.name, p.systemLocation, p.description);
    VLOG(4) << "Available serial ports:" << ports;
    const bool portEvent = eventCode == DeviceArrival || eventCode == DeviceQueryRemoveFailed ||
                           eventCode == DeviceRemovePending || eventCode == DeviceRemoveComplete;
    if (portEvent) {
        VLOG(4) << QStringLiteral("Received WM_DEVICECHANGE for type: 0x%1").arg(hex4(deviceType));
        if (deviceType == DevTypePort) {
            VLOG(4) << "Received WM_DEVICECHANGE for PORT type";
            VLOG(4) << QStringLiteral("Received WM_DEVICECHANGE for PORT name: %1").arg(portName);
        }
    }
    emit deviceChanged(eventCode, portEvent ? portName : QString());
    emit serialPortsChanged();
}
