// Device notifications from the system: uevents the kernel sends for a
// terminal (asked for by writing to its uevent file, which needs root) come
// through as arrival, removal and change notifications with their log lines.
#include "ports/devnotifyhandle.h"
#include "tests/ports/loglines.h"

#include <QFile>
#include <QSignalSpy>
#include <QtTest>

#include <unistd.h>

class TestDevNotify : public QObject
{
    Q_OBJECT

    static bool trigger(const QString &uevent, const char *action)
    {
        QFile file(uevent);
        return file.open(QIODevice::WriteOnly) && file.write(action) == qint64(qstrlen(action));
    }

private slots:
    void uEventsBecomeNotifications()
    {
        QString tty;
        for (const char *name : {"ttyS0", "tty0", "tty1"}) {
            const QString path = QStringLiteral("/sys/class/tty/%1/uevent").arg(QLatin1String(name));
            if (QFile::exists(path)) {
                tty = QLatin1String(name);
                break;
            }
        }
        if (tty.isEmpty())
            QSKIP("no terminal under /sys/class/tty");
        const QString uevent = QStringLiteral("/sys/class/tty/%1/uevent").arg(tty);
        if (::geteuid() != 0 || ::access(QFile::encodeName(uevent).constData(), W_OK) != 0)
            QSKIP("needs root: writing a terminal's uevent file asks the kernel for a uevent");

        LogLines log;
        {
            DevNotifyHandle handle;
            QVERIFY(handle.RegisterToWindow(0x4a2b));
            QVERIFY(handle.isRegistered());
            QVERIFY(handle.RegisterToWindow(0x4a2b)); // once is enough
            QVERIFY(handle.source() == QLatin1String("udev") || handle.source() == QLatin1String("kernel"));
            QSignalSpy changed(&handle, &DevNotifyHandle::deviceChanged);
            QSignalSpy refresh(&handle, &DevNotifyHandle::serialPortsChanged);

            // The port comes back last, whatever else a running udev daemon makes of these.
            QVERIFY(trigger(uevent, "change"));
            QVERIFY(trigger(uevent, "remove"));
            QVERIFY(trigger(uevent, "add"));
            auto seen = [&](quint32 code) {
                for (const QList<QVariant> &args : qAsConst(changed))
                    if (args.at(0).toUInt() == code &&
                        (code == DevNotifyHandle::DevNodesChanged || args.at(1).toString() == tty))
                        return true;
                return false;
            };
            QTRY_VERIFY_WITH_TIMEOUT(seen(DevNotifyHandle::DevNodesChanged) &&
                                         seen(DevNotifyHandle::DeviceRemoveComplete) &&
                                         seen(DevNotifyHandle::DeviceArrival),
                                     20000);
            QVERIFY(refresh.size() >= 3);

            const QString text = log.text();
            QVERIFY(text.contains("RegisterDeviceNotification for handle 0x4a2b succeeded"));
            QVERIFY(text.contains(handle.source() == QLatin1String("udev") ? "from the udev daemon"
                                                                           : "from the kernel's uevents"));
            QVERIFY(text.contains("Received WM_DEVICECHANGE: 0x0007"));
            QVERIFY(text.contains("Received WM_DEVICECHANGE: 0x8004"));
            QVERIFY(text.contains("Received WM_DEVICECHANGE: 0x8000"));
            QVERIFY(text.contains("Received WM_DEVICECHANGE for type: 0x0003"));
            QVERIFY(text.contains("Received WM_DEVICECHANGE for PORT name: " + tty));

            QVERIFY(handle.Unregister());
            QVERIFY(!handle.isRegistered());
            const int before = changed.size();
            QVERIFY(trigger(uevent, "change"));
            QTest::qWait(300);
            QCOMPARE(changed.size(), before);         // no longer watching
            QVERIFY(handle.RegisterToWindow(0x4a2b)); // the destructor unregisters this one
        }
        QVERIFY(!log.text().contains("UnregisterDeviceNotification failed"));
    }
};

QTEST_GUILESS_MAIN(TestDevNotify)
#include "tst_devnotify.moc"
