// VSPInterface, the port enumeration and the cleanup tool against the real
// port driver: the pair the tunnel engine creates, its record, its return
// after the daemon was killed, and its removal by sorvik.
#include "platform/pairrecord.h"
#include "platform/registrystore.h"
#include "ports/serialportenumerator.h"
#include "ports/vspinterface.h"
#include "tests/driver/ptyhelpers.h"
#include "tests/support/testenv.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <thread>

using namespace ptytest;

namespace
{
const QString kPorts = PairRecord::portsKey();
}

class TestVspInterfaceDriver : public QObject
{
    Q_OBJECT

    TestEnv *m_env = nullptr;
    VSPInterface *m_vsp = nullptr;

    QString port(const QString &name) const { return m_env->portsDir() + QLatin1Char('/') + name; }
    qint64 pid() const { return daemonPid(m_env->systemDir()); }
    RegistryStore::Value value(const QString &record, const QString &name) const
    {
        RegistryStore::Value v;
        RegistryStore().value(kPorts + QLatin1Char('\\') + record, name, &v);
        return v;
    }
    bool flows(const QString &from, const QString &to, int n)
    {
        const int a = openRaw(port(from));
        const int b = openRaw(port(to));
        const QByteArray data = randomBytes(n, quint32(n));
        QByteArray got;
        std::thread reader([&] { got = readUpTo(b, n, 3000); });
        const bool wrote = writeAll(a, data);
        reader.join();
        ::close(a);
        ::close(b);
        return wrote && got == data;
    }
    // sorvik with the given control library (empty: the real one beside it).
    int sorvik(const QString &library, QByteArray *out, QByteArray *err, const QString &program = QString(),
               bool deleteAllFails = false)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("VELMORA_VSPDCTL"));
        if (!library.isEmpty())
            env.insert(QStringLiteral("VELMORA_VSPDCTL"), library);
        if (deleteAllFails)
            env.insert(QStringLiteral("FAKE_DELETEALL_FAILS"), QStringLiteral("1"));
        p.setProcessEnvironment(env);
        p.start(program.isEmpty() ? TestEnv::binary(QStringLiteral("sorvik")) : program, QStringList());
        if (!p.waitForFinished(20000))
            return -1;
        *out = p.readAllStandardOutput();
        *err = p.readAllStandardError();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    }

private slots:
    void initTestCase()
    {
        m_env = new TestEnv;
        qputenv("VELMORA_VSPDCTL", QFile::encodeName(TestEnv::binary(QStringLiteral("libvspdctl.so"))));
        m_vsp = new VSPInterface;
        QVERIFY(m_vsp->initLibrary()); // lists the ports, which starts the daemon
        QVERIFY(pid() > 0);
        QVERIFY(m_vsp->portList().isEmpty());
    }

    void cleanupTestCase()
    {
        delete m_vsp;
        if (const qint64 p = pid()) {
            ::kill(pid_t(p), SIGTERM);
            waitGone(p, 5000);
        }
        delete m_env;
    }

    void theEnginesPairWithItsRecord()
    {
        QVERIFY(m_vsp->createPort(QString(), QStringLiteral("COM5"), 0xFFFFFFFFu, false));
        QVERIFY(QFileInfo(port("COM5")).isSymLink());
        QVERIFY(QFileInfo(port("NULL_COM5")).isSymLink());
        QVERIFY(m_vsp->updatePortList());
        QCOMPARE(m_vsp->portList().size(), 1);
        QCOMPARE(m_vsp->portList().first().name, QStringLiteral("COM5"));
        QString peer;
        QVERIFY(m_vsp->findPeer(QStringLiteral("com5"), &peer));
        QCOMPARE(peer, QStringLiteral("NULL_COM5"));

        QCOMPARE(RegistryStore().subKeys(kPorts), QStringList{QStringLiteral("COM5")});
        QCOMPARE(value("COM5", "Port1").toString(), QStringLiteral("COM5"));
        QCOMPARE(value("COM5", "Port2").type, RegistryStore::String);
        QCOMPARE(value("COM5", "Port2").toString(), QString());
        QCOMPARE(value("COM5", "StrictBaudrate").type, RegistryStore::DWord);
        QCOMPARE(value("COM5", "StrictBaudrate").toDWord(), 0u);
        QCOMPARE(value("COM5", "Wiring").type, RegistryStore::Binary);
        QCOMPARE(value("COM5", "Wiring").data, QByteArray::fromHex("a0100000"));

        // The terminal behind each end, named in any case; an unknown name clears the path.
        QString live;
        QVERIFY(m_vsp->livePortPath(QStringLiteral("null_com5"), &live));
        QCOMPARE(live, QFileInfo(port("NULL_COM5")).symLinkTarget());
        QVERIFY(live.startsWith(QStringLiteral("/dev/pts/")));
        QVERIFY(!m_vsp->livePortPath(QStringLiteral("COM55"), &live));
        QVERIFY(live.isEmpty());

        QVERIFY(!m_vsp->createPort(QString(), QStringLiteral("com5"), 0, false)); // it exists
        QVERIFY(flows("COM5", "NULL_COM5", 65536));
        QVERIFY(flows("NULL_COM5", "COM5", 65536));
    }

    void theEnumerationShowsTheDriversPorts()
    {
        QStringList names;
        for (const SerialPortEnumerator::PortInfo &p : SerialPortEnumerator::driverPorts()) {
            names << p.name;
            QVERIFY(p.driverPort);
        }
        QCOMPARE(names, (QStringList{"COM5", "NULL_COM5"}));
        QVERIFY(SerialPortEnumerator::isPresent(QStringLiteral("com5")));
        QCOMPARE(SerialPortEnumerator::devicePath(QStringLiteral("COM5")), port("COM5"));
        QCOMPARE(SerialPortEnumerator::devicePath(QStringLiteral("null_com5")), port("NULL_COM5"));
        QCOMPARE(SerialPortEnumerator::devicePath(QStringLiteral("ttyS0")), QStringLiteral("/dev/ttyS0"));
        QCOMPARE(SerialPortEnumerator::devicePath(QStringLiteral("/dev/ttyUSB0")),
                 QStringLiteral("/dev/ttyUSB0"));
    }

    void aKilledDaemonComesBackWithThePairs()
    {
        QVERIFY(m_vsp->createPort(QStringLiteral("COM9"), QStringLiteral("COM8"), 0, true));
        const qint64 old = pid();
        QCOMPARE(::kill(pid_t(old), SIGKILL), 0);
        QVERIFY(waitGone(old, 5000));

        // Asking for an end's terminal brings the driver back with the recorded pairs.
        QString live;
        QVERIFY(m_vsp->livePortPath(QStringLiteral("COM9"), &live));
        QVERIFY(pid() != old && processAlive(pid()));
        QCOMPARE(live, QFileInfo(port("COM9")).symLinkTarget());
        QVERIFY(m_vsp->updatePortList());
        QCOMPARE(m_vsp->portList().size(), 2);
        QString peer;
        QVERIFY(m_vsp->findPeer(QStringLiteral("COM5"), &peer));
        QCOMPARE(peer, QStringLiteral("NULL_COM5"));
        QVERIFY(m_vsp->findPeer(QStringLiteral("COM8"), &peer));
        QCOMPARE(peer, QStringLiteral("COM9"));
        // The links were replaced: they lead to the new daemon's terminals.
        QVERIFY(flows("COM5", "NULL_COM5", 4096));
        QVERIFY(flows("COM9", "COM8", 4096));
        QCOMPARE(value("COM8COM9", "StrictBaudrate").toDWord(), 1u);
    }

    void deletePortRemovesThePairAndItsRecord()
    {
        QVERIFY(m_vsp->deletePort(QStringLiteral("com9")));
        QVERIFY(!QFileInfo(port("COM8")).isSymLink());
        QCOMPARE(RegistryStore().subKeys(kPorts), QStringList{QStringLiteral("COM5")});
        QVERIFY(!m_vsp->deletePort(QStringLiteral("COM9")));
    }

    void aStaleLinkIsNeverADriverPort()
    {
        const QString oldTerminal = QFileInfo(port("COM5")).symLinkTarget();
        const qint64 old = pid();
        QCOMPARE(::kill(pid_t(old), SIGKILL), 0);
        QVERIFY(waitGone(old, 5000));
        // The killed driver's link now leads to the terminal of a program of somebody else.
        QCOMPARE(QFileInfo(port("COM5")).symLinkTarget(), oldTerminal);
        const int foreign = terminalAt(oldTerminal);
        if (foreign < 0)
            QSKIP("another program took the terminal number meanwhile");

        // Looking at the ports starts the driver again; whatever is listed is its own terminal.
        const QString path = SerialPortEnumerator::devicePath(QStringLiteral("com5"));
        QVERIFY(QFileInfo(path).symLinkTarget() != oldTerminal);
        QVERIFY(pid() != old && processAlive(pid()));
        QStringList names;
        for (const SerialPortEnumerator::PortInfo &p : SerialPortEnumerator::availablePorts()) {
            if (!p.driverPort)
                continue;
            names << p.name;
            QString live;
            QVERIFY(m_vsp->livePortPath(p.name, &live));
            QCOMPARE(QFileInfo(p.systemLocation).symLinkTarget(), live);
            QVERIFY(live != oldTerminal);
        }
        QCOMPARE(names, (QStringList{"COM5", "NULL_COM5"}));
        QVERIFY(flows("COM5", "NULL_COM5", 4096));
        QVERIFY(!readable(foreign, 100));

        // A link the driver does not report is no port, and its name maps to no link.
        QVERIFY(QFile::link(oldTerminal, port("COM6")));
        QVERIFY(!SerialPortEnumerator::isPresent(QStringLiteral("COM6")));
        QCOMPARE(SerialPortEnumerator::devicePath(QStringLiteral("COM6")), QStringLiteral("/dev/COM6"));
        QVERIFY(QFile::remove(port("COM6")));
        ::close(foreign);
    }

    void enginesCanCallFromTheirThreads()
    {
        QVector<QThread *> threads;
        QAtomicInt failures;
        for (int t = 0; t < 4; ++t) {
            threads.append(QThread::create([this, t, &failures] {
                const QString name = QStringLiteral("COM%1").arg(20 + t);
                for (int i = 0; i < 5; ++i) {
                    bool ok = m_vsp->createPort(QString(), name, 0xFFFFFFFFu, false);
                    ok = ok && m_vsp->setWiring(name, 0) && m_vsp->setStrict(name, true);
                    ok = ok && m_vsp->updatePortList() && m_vsp->findPeer(name, nullptr);
                    ok = ok && m_vsp->deletePort(name);
                    if (!ok)
                        failures.fetchAndAddOrdered(1);
                }
            }));
            threads.last()->start();
        }
        for (QThread *t : threads) {
            QVERIFY(t->wait(60000));
            delete t;
        }
        QCOMPARE(failures.loadRelaxed(), 0);
        QCOMPARE(RegistryStore().subKeys(kPorts), QStringList{QStringLiteral("COM5")});
    }

    void sorvikWithoutItsLibraryLeavesEverything()
    {
        // The tool alone in a folder: nothing to load beside it.
        QTemporaryDir alone;
        const QString copy = alone.path() + QStringLiteral("/sorvik");
        QVERIFY(QFile::copy(TestEnv::binary(QStringLiteral("sorvik")), copy));
        QByteArray out, err;
        QCOMPARE(sorvik(QString(), &out, &err, copy), 1);
        QVERIFY(err.startsWith("Could not load serial port library: "));
        QCOMPARE(err.count('\n'), 1);
        QCOMPARE(RegistryStore().subKeys(kPorts), QStringList{QStringLiteral("COM5")});
        QVERIFY(QFileInfo(port("COM5")).isSymLink());

        QCOMPARE(sorvik(TestEnv::binary(QStringLiteral("libfakevspdctl_partial.so")), &out, &err), 2);
        QCOMPARE(err, QByteArray("Could not load symbol DeleteAll: 127\n"));
        QCOMPARE(sorvik(TestEnv::binary(QStringLiteral("libfakevspdctl.so")), &out, &err, QString(), true),
                 3);
        QCOMPARE(err, QByteArray("Could not delete serial ports - DeleteAll failed\n"));
        QCOMPARE(RegistryStore().subKeys(kPorts), QStringList{QStringLiteral("COM5")});
    }

    void sorvikCountsKeysItCannotRemove()
    {
        RegistryStore store;
        store.createKey(kPorts + QStringLiteral("\\A"));
        store.createKey(kPorts + QStringLiteral("\\B\\Child"));
        store.createKey(kPorts + QStringLiteral("\\C"));
        QByteArray out, err;
        // The scripted library deletes nothing itself, so every record is the tool's to remove.
        QCOMPARE(sorvik(TestEnv::binary(QStringLiteral("libfakevspdctl.so")), &out, &err), 6);
        QCOMPARE(QString::fromUtf8(out),
                 QStringLiteral("Removing: COM5\nRemoving: A\nRemoving: B\nRemoving: C\n"));
        QCOMPARE(err, QByteArray("Could not remove key: B\nSome keys could not be removed\n"));
        QCOMPARE(store.subKeys(kPorts), QStringList{QStringLiteral("B")});
        store.deleteTree(kPorts + QStringLiteral("\\B"));
        QCOMPARE(sorvik(TestEnv::binary(QStringLiteral("libfakevspdctl.so")), &out, &err), 0);
        QVERIFY(out.isEmpty() && err.isEmpty());
    }

    void sorvikRemovesEveryPairAndRecord()
    {
        QVERIFY(m_vsp->createPort(QStringLiteral("COM7"), QStringLiteral("COM6"), 0, false));
        RegistryStore().setString(kPorts + QStringLiteral("\\ORPHAN"), QStringLiteral("Port1"),
                                  QStringLiteral("X"));
        QByteArray out, err;
        QCOMPARE(sorvik(QString(), &out, &err), 0);
        QVERIFY2(err.isEmpty(), err.constData());
        QCOMPARE(out, QByteArray("Removing: ORPHAN\n")); // the driver dropped the records of its own pairs
        QVERIFY(RegistryStore().subKeys(kPorts).isEmpty());
        QVERIFY(m_vsp->updatePortList());
        QVERIFY(m_vsp->portList().isEmpty());
        QVERIFY(QDir(m_env->portsDir())
                    .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                    .isEmpty());
    }

    void sorvikNeedsThePortsKey()
    {
        RegistryStore().deleteTree(kPorts);
        QByteArray out, err;
        QCOMPARE(sorvik(TestEnv::binary(QStringLiteral("libfakevspdctl.so")), &out, &err), 4);
        QCOMPARE(err, QByteArray("Could not open registry key\n"));
    }
};

QTEST_GUILESS_MAIN(TestVspInterfaceDriver)
#include "tst_vspinterface_driver.moc"
