// Serial port arrivals, removals and changes, as the system reports them
// for the "tty" subsystem: each is logged with the current port list and
// signalled, so that a window can refresh its port lists. Nothing else is
// changed. The events come from the udev daemon when one runs, else
// straight from the kernel's uevents (containers have no udev daemon).
#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;
struct udev;
struct udev_monitor;

class DevNotifyHandle : public QObject
{
    Q_OBJECT
public:
    // Event codes and the device type of the notifications.
    static constexpr quint32 DeviceArrival = 0x8000;
    static constexpr quint32 DeviceQueryRemoveFailed = 0x8002;
    static constexpr quint32 DeviceRemovePending = 0x8003;
    static constexpr quint32 DeviceRemoveComplete = 0x8004;
    static constexpr quint32 DevNodesChanged = 0x0007;
    static constexpr quint32 DevTypePort = 3;

    explicit DevNotifyHandle(QObject *parent = nullptr);
    // Unregisters.
    ~DevNotifyHandle() override;

    // Starts watching on behalf of the window with that native handle; false (and logged) on failure.
    // A second call while registered changes nothing and succeeds.
    bool RegisterToWindow(quintptr windowHandle);
    // Stops watching; false (and logged) when nothing was registered.
    bool Unregister();
    bool isRegistered() const { return m_monitor != nullptr; }
    // "udev" or "kernel" while registered, else empty.
    QString source() const { return m_source; }

    // One notification: logs the event, the port list and, for an arrival or removal of a port,
    // the port's name; then signals it.
    void handleDeviceChange(quint32 eventCode, quint32 deviceType, const QString &portName);

signals:
    // Every notification; portName is empty for a change of the device nodes in general.
    void deviceChanged(quint32 eventCode, const QString &portName);
    // The serial port list may have changed: a port chooser refreshes on this.
    void serialPortsChanged();

private:
    void readEvents();

    struct udev *m_udev = nullptr;
    struct udev_monitor *m_monitor = nullptr;
    QSocketNotifier *m_notifier = nullptr;
    QString m_source;
};
