// Device notifications: the log lines of each kind, and uevents the kernel
// sends for a terminal (asked for by writing to its uevent file, which needs
// root) coming through as change, removal and arrival notifications.
#include "ports/devnotifyhandle.h"
#include "ports/serialportenumerator.h"
#include "tests/support/logcapture.h"

#include <QSignalSpy>
#include <QtTest>

#include <unistd.h>

class TestDevNotify : public QObject
{
    Q_OBJECT

private slots:
    void notificationsAreLoggedAndSignalled()
    {
        LogCapture log;
        DevNotifyHandle handle;
        QSignalSpy refresh(&handle, &DevNotifyHandle::serialPortsChanged);
        handle.handleDeviceChange(DevNotifyHandle::DevNodesChanged, 0, QString());
        QVERIFY(log.text().contains("Received WM_DEVICECHANGE: 0x0007"));
        QVERIFY(!log.text().contains("for type")); // the event and the port list only
        for (const SerialPortEnumerator::PortInfo &p : SerialPortEnumerator::availablePorts())
            QVERIFY(log.text().contains(
                QString("\nPort=%1, Loc=%2, Pi=%3").arg(p.name, p.systemLocation, p.description)));
        handle.handleDeviceChange(DevNotifyHandle::DeviceRemoveComplete, 5, "ttyUSB0");
        QVERIFY(log.text().contains("for type: 0x0005") && !log.text().contains("PORT name"));
        QCOMPARE(log.text().count("Available serial ports:"), 2);
        QCOMPARE(refresh.size(), 2);
        QVERIFY(!handle.Unregister());
        QVERIFY(log.text().contains("UnregisterDeviceNotification failed: 0x0009"));
    }

    void uEventsBecomeNotifications()
    {
        const QString tty = QFile::exists("/sys/class/tty/ttyS0/uevent") ? "ttyS0" : "tty0";
        const QByteArray uevent = QFile::encodeName("/sys/class/tty/" + tty + "/uevent");
        if (::access(uevent.constData(), W_OK) != 0)
            QSKIP("needs root: writing a terminal's uevent file asks the kernel for a uevent");
        auto trigger = [&](const char *action) {
            QFile file(QFile::decodeName(uevent));
            return file.open(QIODevice::WriteOnly) && file.write(action) > 0;
        };
        LogCapture log;
        DevNotifyHandle handle;
        QVERIFY(handle.RegisterToWindow(0x4a2b) && handle.RegisterToWindow(0x4a2b));
        QSignalSpy changed(&handle, &DevNotifyHandle::deviceChanged);
        // The port comes back last, whatever a running udev daemon makes of these.
        QVERIFY(trigger("change") && trigger("remove") && trigger("add"));
        auto seen = [&](quint32 code, const QString &name) {
            for (const QList<QVariant> &args : qAsConst(changed))
                if (args.at(0).toUInt() == code && args.at(1).toString() == name)
                    return true;
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(seen(0x0007, QString()) && seen(0x8004, tty) && seen(0x8000, tty), 20000);
        const QString text = log.text();
        QCOMPARE(text.count("RegisterDeviceNotification for handle 0x4a2b succeeded"), 1);
        QVERIFY(
            text.contains(handle.source() == "udev" ? "from the udev daemon" : "from the kernel's uevents"));
        QVERIFY(text.contains("Received WM_DEVICECHANGE: 0x8000") &&
                text.contains("Received WM_DEVICECHANGE: 0x8004"));
        QVERIFY(text.contains("Received WM_DEVICECHANGE for type: 0x0003") &&
                text.contains("Received WM_DEVICECHANGE for PORT type"));
        QVERIFY(text.contains("Received WM_DEVICECHANGE for PORT name: " + tty));
        QVERIFY(handle.Unregister() && !handle.isRegistered());
        changed.clear();
        QVERIFY(trigger("change"));
        QTest::qWait(200);
        QVERIFY(changed.isEmpty()); // no longer watching
    }
};

QTEST_GUILESS_MAIN(TestDevNotify)
#include "tst_devnotify.moc"
