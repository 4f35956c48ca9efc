// VSPInterface against a scripted control library: the calls it makes, the
// lists it builds from the driver's answers and the records it keeps.
#include "log/debug_class.h"
#include "platform/pairrecord.h"
#include "platform/registrystore.h"
#include "ports/vspinterface.h"
#include "tests/support/testenv.h"

#include <QFile>
#include <QLibrary>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <sys/inotify.h>
#include <unistd.h>

namespace
{

QByteArray u32(quint32 v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char((v >> (8 * i)) & 0xFF);
    return b;
}

QByteArray entry(const QString &name, quint32 instance, quint32 connectedTo)
{
    QByteArray text;
    for (QChar c : name)
        text += char(c.unicode() & 0xFF), text += char(c.unicode() >> 8);
    if (!name.isEmpty())
        text += QByteArray(2, '\0');
    while (text.size() % 4)
        text += '\0';
    return u32(quint32(16 + text.size())) + u32(name.isEmpty() ? 0 : 16) + u32(instance) + u32(connectedTo) +
           text;
}

const QString kPorts = PairRecord::portsKey();

// How many times the store's file was replaced (each change of the store renames a new file over
// it). The moves from the temporary name are watched too: the kernel merges identical events in a row.
int storeReplacements(int inotifyFd)
{
    int count = 0;
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = ::read(inotifyFd, buffer, sizeof buffer)) > 0)
        for (char *p = buffer; p < buffer + n;
             p += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(p)->len)
            if ((reinterpret_cast<inotify_event *>(p)->mask & IN_MOVED_TO) &&
                QByteArray(reinterpret_cast<inotify_event *>(p)->name) == "registry.dat")
                ++count;
    return count;
}

} // namespace

class TestVspInterface : public QObject
{
    Q_OBJECT

private:
    TestEnv *m_env = nullptr;
    QTemporaryDir m_logDir;
    QLibrary *m_fake = nullptr;
    void (*m_reset)() = nullptr;
    const char *(*m_log)() = nullptr;
    void (*m_setAnswer)(const void *, quint32) = nullptr;
    void (*m_fail)(int, quint32) = nullptr;

    QString fakeLog() const { return QString::fromLatin1(m_log()); }
    void answer(const QByteArray &bytes) { m_setAnswer(bytes.constData(), quint32(bytes.size())); }
    QString logText() const
    {
        CGlobalDebugFileHandler::instance()->flush();
        QFile f(CGlobalDebugFileHandler::instance()->logFileName());
        f.open(QIODevice::ReadOnly);
        return QString::fromUtf8(f.readAll());
    }
    RegistryStore::Value value(const QString &record, const QString &name)
    {
        RegistryStore::Value v;
        RegistryStore().value(kPorts + QLatin1Char('\\') + record, name, &v);
        return v;
    }

private slots:
    void initTestCase()
    {
        m_env = new TestEnv;
        CGlobalDebugFileHandler *log = CGlobalDebugFileHandler::instance();
        log->setLevel(16);
        log->setConsole(0);
        QVERIFY(log->start(m_logDir.path()));
    }
    void cleanupTestCase() { delete m_env; }

    void init()
    {
        if (m_reset)
            m_reset();
        RegistryStore().deleteTree(kPorts);
    }

    void missingLibraryDegradesEveryOperation()
    {
        qputenv("VELMORA_VSPDCTL",
                QFile::encodeName(m_env->root() + QStringLiteral("/nothing/libvspdctl.so")));
        VSPInterface vsp;
        QVERIFY(!vsp.initLibrary());
        QVERIFY(!vsp.isLoaded());
        QVERIFY(logText().contains(QStringLiteral("Could not load library ")));
        QVERIFY(!vsp.updatePortList());
        QVERIFY(!vsp.createPort(QString(), QStringLiteral("COM5"), 0, false));
        QVERIFY(!vsp.deletePort(QStringLiteral("COM5")));
        QVERIFY(!vsp.setStrict(QStringLiteral("COM5"), true));
        QVERIFY(!vsp.setWiring(QStringLiteral("COM5"), 0));
        QVERIFY(!vsp.findPeer(QStringLiteral("COM5"), nullptr));
        QVERIFY(vsp.portList().isEmpty());
        QVERIFY(logText().contains(QStringLiteral("VSPD createPort requested - invalid library handle")));
        QVERIFY(logText().contains(QStringLiteral("VSPD SetWiring requested - invalid library handle")));
        QVERIFY(RegistryStore().subKeys(kPorts).isEmpty());
    }

    void librarywithoutSetBreakIsRefused()
    {
        qputenv("VELMORA_VSPDCTL",
                QFile::encodeName(TestEnv::binary(QStringLiteral("libfakevspdctl_partial.so"))));
        VSPInterface vsp;
        QVERIFY(!vsp.initLibrary());
        QVERIFY(!vsp.isLoaded());
        QVERIFY(logText().contains(QStringLiteral("Could not find symbol 'SetBreak': ")));
        // The functions it did have are not published: another interface may be using the set.
        QVERIFY(!pfnSetStrictBaudrate && !pfnQueryBus && !pfnCreatePair && !pfnDeletePair);
    }

    void loadsTheScriptedLibrary()
    {
        const QString path = TestEnv::binary(QStringLiteral("libfakevspdctl.so"));
        qputenv("VELMORA_VSPDCTL", QFile::encodeName(path));
        m_fake = new QLibrary(path, this);
        QVERIFY(m_fake->load());
        m_reset = reinterpret_cast<void (*)()>(m_fake->resolve("FakeReset"));
        m_log = reinterpret_cast<const char *(*)()>(m_fake->resolve("FakeLog"));
        m_setAnswer = reinterpret_cast<void (*)(const void *, quint32)>(m_fake->resolve("FakeSetAnswer"));
        m_fail = reinterpret_cast<void (*)(int, quint32)>(m_fake->resolve("FakeFail"));
        QVERIFY(m_reset && m_log && m_setAnswer && m_fail);
        m_reset();
        VSPInterface vsp;
        QVERIFY(vsp.initLibrary());
        QVERIFY(vsp.isLoaded());
        // Loading lists the ports at once, with the request 8, 1.
        QCOMPARE(fakeLog(), QStringLiteral("QueryBus 0800000001000000 4096\n"));
    }

    void createPortWithEmptySecondName()
    {
        VSPInterface vsp;
        QVERIFY(vsp.initLibrary());
        m_reset();
        QVERIFY(vsp.createPort(QString(), QStringLiteral("com7"), 0xFFFFFFFFu, false));
        QCOMPARE(fakeLog(), QStringLiteral("CreatePair 'COM7' ''\n"
                                           "SetWiring com7 a0100000 4\n"
                                           "SetStrictBaudrate com7 0\n"));
        QCOMPARE(value("COM7", "Port1").toString(), QStringLiteral("COM7"));
        QCOMPARE(value("COM7", "Port1").type, RegistryStore::String);
        QCOMPARE(value("COM7", "Port2").toString(), QString());
        QCOMPARE(value("COM7", "Port2").type, RegistryStore::String);
        QCOMPARE(value("COM7", "StrictBaudrate").type, RegistryStore::DWord);
        QCOMPARE(value("COM7", "StrictBaudrate").toDWord(), 0u);
        QCOMPARE(value("COM7", "Wiring").type, RegistryStore::Binary);
        QCOMPARE(value("COM7", "Wiring").data, QByteArray::fromHex("a0100000"));
        QVERIFY(logText().contains(QStringLiteral(
            "Key SYSTEM\\CurrentControlSet\\services\\VSBC7\\Ports\\COM7 Value Wiring binary set")));
    }

    void binaryValuesNeedAWritableStore()
    {
        QVERIFY(
            WriteRegistryBinaryData(QStringLiteral("SYSTEM\\Test"), QStringLiteral("Bytes"), "\x01\x02", 2));
        RegistryStore::Value v;
        QCOMPARE(RegistryStore().value(QStringLiteral("SYSTEM\\Test"), QStringLiteral("Bytes"), &v), 0L);
        QCOMPARE(v.data, QByteArray("\x01\x02"));
        QFile store(RegistryStore().fileName());
        const QByteArray saved = [&] {
            store.open(QIODevice::ReadOnly);
            return store.readAll();
        }();
        store.close();
        QVERIFY(store.open(QIODevice::WriteOnly | QIODevice::Truncate));
        store.write("damaged");
        store.close();
        QVERIFY(
            !WriteRegistryBinaryData(QStringLiteral("SYSTEM\\Other"), QStringLiteral("Bytes"), "\x01", 1));
        QVERIFY(logText().contains(QStringLiteral("Could not acces key SYSTEM\\Other")));
        QVERIFY(store.open(QIODevice::WriteOnly | QIODevice::Truncate));
        store.write(saved);
        store.close();
    }

    void createPortWithTwoNames()
    {
        VSPInterface vsp;
        QVERIFY(vsp.initLibrary());
        m_reset();
        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        QVERIFY(watch >= 0);
        QVERIFY(::inotify_add_watch(watch, QFile::encodeName(m_env->systemDir()).constData(),
                                    IN_MOVED_FROM | IN_MOVED_TO) >= 0);
        QVERIFY(vsp.createPort(QStringLiteral("COM9"), QStringLiteral("COM8"), 0, true));
        // The whole record in one change: a driver starting meanwhile never sees half of it.
        QCOMPARE(storeReplacements(watch), 1);
        ::close(watch);
        PairRecord record;
        QCOMPARE(PairRecord::read(RegistryStore(), QStringLiteral("COM8COM9"), &record), 0L);
        QCOMPARE(record.port1, QStringLiteral("COM8"));
        QVERIFY(record.strict);
        QCOMPARE(fakeLog(),
                 QStringLiteral(
                     "CreatePair 'COM8' 'COM9'\nSetWiring COM8 00000000 4\nSetStrictBaudrate COM8 1\n"));
        QCOMPARE(RegistryStore().subKeys(kPorts), QStringList{QStringLiteral("COM8COM9")});
        QCOMPARE(value("COM8COM9", "Port2").toString(), QStringLiteral("COM9"));
        QCOMPARE(value("COM8COM9", "StrictBaudrate").toDWord(), 1u);
        QCOMPARE(value("COM8COM9", "Wiring").data, QByteArray(4, '\0'));
    }

    void failedCreateWritesNoRecord()
    {
        VSPInterface vsp;
        QVERIFY(vsp.initLibrary());
        m_reset();
        m_fail(2, 183);
        QVERIFY(!vsp.createPort(QString(), QStringLiteral("COM5"), 0, false));
        QCOMPARE(fakeLog(), QStringLiteral("CreatePair 'COM5' ''\n"));
        QVERIFY(RegistryStore().subKeys(kPorts).isEmpty());
        QVERIFY(logText().contains(QStringLiteral("VSPD createPort failed with result: 183")));
    }

    void portListMatchesPairsByInstance()
    {
        VSPInterface vsp;
        QVERIFY(vsp.initLibrary());
        answer(u32(0));
        QVERIFY(vsp.updatePortList());
        QVERIFY(vsp.portList().isEmpty());

        answer(entry("X", 1, 2) + entry("Y", 2, 1) + entry("Z", 5, 6) + u32(0));
        QVERIFY(vsp.updatePortList());
        QCOMPARE(vsp.portList().size(), 1);
        const VSPPortPair p = vsp.portList().first();
        QCOMPARE(p.instance, 1u);
        QCOMPARE(p.name, QStringLiteral("X"));
        QCOMPARE(p.peerInstance, 2u);
        QCOMPARE(p.peerName, QStringLiteral("Y"));
        QVERIFY(logText().contains(QStringLiteral("VSPD Matched pair: 'X'=1 -> 'Y'=2")));
        QVERIFY(logText().contains(QStringLiteral("VSPD Unmatched port: Z, instance = 5, connected to = 6")));

        // A nameless end and names beyond Latin-1 come through as the driver gives them.
        answer(entry(QStringLiteral("COM5"), 7, 8) + entry(QString(), 8, 7) +
               entry(QStringLiteral("Ż1"), 9, 10) + entry(QStringLiteral("Ż2"), 10, 9) + u32(0));
        QVERIFY(vsp.updatePortList());
        QCOMPARE(vsp.portList().size(), 2);
        QCOMPARE(vsp.portList()[0].peerName, QString());
        QCOMPARE(vsp.portList()[1].peerName, QStringLiteral("Ż2"));
    }

    void growsTheBufferUntilTheListFits()
    {
        VSPInterface vsp;
        QVERIFY(vsp.initLibrary());
        QByteArray list;
        for (quint32 i = 0; i < 100; ++i)
            list += entry(QStringLiteral("PORT_WITH_A_LONG_NAME_%1").arg(i), i * 2 + 1, i * 2 + 2) +
                    entry(QStringLiteral("PEER_WITH_A_LONG_NAME_%1").arg(i), i * 2 + 2, i * 2 + 1);
        list += u32(0);
        QVERIFY(list.size() > 8192 && list.size() <= 16384);
        answer(list);
        m_reset();
        answer(list);
        QVERIFY(vsp.updatePortList());
        QCOMPARE(fakeLog(), QStringLiteral("QueryBus 0800000001000000 4096\n"
                                           "QueryBus 0800000001000000 8192\n"
                                           "QueryBus 0800000001000000 16384\n"));
        QCOMPARE(vsp.portList().size(), 100);
        QCOMPARE(vsp.portList().last().peerName, QStringLiteral("PEER_WITH_A_LONG_NAME_99"));
    }

    void failedQueryKeepsTheOldList()
    {
        VSPInterface vsp;
        QVERIFY(vsp.initLibrary());
        answer(entry("A", 1, 2) + entry("B", 2, 1) + u32(0));
        QVERIFY(vsp.updatePortList());
        m_fail(1, 1167);
        QVERIFY(!vsp.updatePortList());
        QCOMPARE(vsp.portList().size(), 1);
        QVERIFY(logText().contains(QStringLiteral("VSPD QueryBus failed with result: 1167")));
    }

    void damagedAnswerEndsTheWalk()
    {
        VSPInterface vsp;
        QVERIFY(vsp.initLibrary());
        // An entry claiming more bytes than the buffer, a name offset past its entry, no closing zero.
        QByteArray bad = entry("A", 1, 2) + entry("B", 2, 1);
        QByteArray bogus = u32(4000) + u32(16) + u32(3) + u32(4);
        answer(bad + bogus);
        QVERIFY(vsp.updatePortList());
        QCOMPARE(vsp.portList().size(), 1);
        answer(u32(20) + u32(400) + u32(1) + u32(2) + u32(0) + u32(0));
        QVERIFY(vsp.updatePortList());
        QVERIFY(vsp.portList().isEmpty());
    }

    void deletePortRemovesTheRecordsOfTheNullPair()
    {
        VSPInterface vsp;
        QVERIFY(vsp.initLibrary());
        RegistryStore store;
        for (const char *r : {"NULL_COM7COM7", "COM7NULL_COM7", "COM7", "COM8"})
            store.setString(kPorts + QLatin1Char('\\') + QLatin1String(r), QStringLiteral("Port1"),
                            QStringLiteral("x"));
        answer(entry("COM7", 1, 2) + entry(QString(), 2, 1) + u32(0));
        m_reset();
        answer(entry("COM7", 1, 2) + entry(QString(), 2, 1) + u32(0));
        QVERIFY(vsp.deletePort(QStringLiteral("com7")));
        QCOMPARE(fakeLog(), QStringLiteral("QueryBus 0800000001000000 4096\nDeletePair COM7\n"));
        QCOMPARE(store.subKeys(kPorts), QStringList{QStringLiteral("COM8")});
        QVERIFY(logText().contains(QStringLiteral("VSPD deletePort succeeded")));
    }

    void deletePortOfUnlistedPortStillAsksTheDriver()
    {
        VSPInterface vsp;
        QVERIFY(vsp.initLibrary());
        RegistryStore store;
        store.setString(kPorts + QStringLiteral("\\COM3"), QStringLiteral("Port1"), QStringLiteral("COM3"));
        m_reset();
        QVERIFY(vsp.deletePort(QStringLiteral("COM3")));
        QVERIFY(fakeLog().endsWith(QStringLiteral("DeletePair COM3\n")));
        QCOMPARE(store.subKeys(kPorts), QStringList{QStringLiteral("COM3")});
        QVERIFY(logText().contains(QStringLiteral("VSPD deletePort succeeded, registry record not found")));

        // A refusal leaves the records alone.
        answer(entry("COM3", 1, 2) + entry("NULL_COM3", 2, 1) + u32(0));
        m_fail(3, 2);
        QVERIFY(!vsp.deletePort(QStringLiteral("COM3")));
        QCOMPARE(store.subKeys(kPorts), QStringList{QStringLiteral("COM3")});
        QVERIFY(logText().contains(QStringLiteral("VSPD deletePort failed with result: 2")));
    }

    void wiringAndStrictPassNamesUnchanged()
    {
        VSPInterface vsp;
        QVERIFY(vsp.initLibrary());
        m_reset();
        QVERIFY(vsp.setWiring(QStringLiteral("com7"), 0));
        QVERIFY(vsp.setWiring(QStringLiteral("com7"), 0x12345678u));
        QVERIFY(vsp.setWiring(QStringLiteral("com7"), 0xFFFFFFFFu));
        QVERIFY(vsp.setStrict(QStringLiteral("com7"), true));
        QCOMPARE(fakeLog(), QStringLiteral("SetWiring com7 00000000 4\nSetWiring com7 78563412 4\n"
                                           "SetWiring com7 a0100000 4\nSetStrictBaudrate com7 1\n"));
        QVERIFY(logText().contains(QStringLiteral("VSPD SetWiring requested for port com7 set to ffffffff")));
        QVERIFY(
            logText().contains(QStringLiteral("VSPD SetStrictBaudrate requested for port com7 set to 1")));
        // Only the low byte of the result counts.
        m_fail(5, 31);
        QVERIFY(!vsp.setWiring(QStringLiteral("com7"), 0));
        QVERIFY(RegistryStore().subKeys(kPorts).isEmpty());
    }

    void findPeerSearchesBothNames()
    {
        VSPInterface vsp;
        QVERIFY(vsp.initLibrary());
        answer(entry("COM5", 1, 2) + entry("null_com5", 2, 1) + entry("COM6", 3, 4) + entry(QString(), 4, 3) +
               u32(0));
        QVERIFY(vsp.updatePortList());
        QString peer;
        QVERIFY(vsp.findPeer(QStringLiteral("com5"), &peer));
        QCOMPARE(peer, QStringLiteral("NULL_COM5"));
        QVERIFY(vsp.findPeer(QStringLiteral("NULL_COM5"), &peer));
        QCOMPARE(peer, QStringLiteral("COM5"));
        QVERIFY(vsp.findPeer(QStringLiteral("COM6"), &peer));
        QCOMPARE(peer, QString());
        QVERIFY(vsp.findPeer(QStringLiteral("COM6"), nullptr));
        QVERIFY(!vsp.findPeer(QStringLiteral("COM1"), &peer));
    }

    void interfacesShareOneBinding()
    {
        VSPInterface first;
        QVERIFY(first.initLibrary());
        // Later interfaces use the functions bound for the process, whatever library they would load:
        // neither one that lacks a function nor a missing one replaces what the first one calls.
        struct RestoreLibrary {
            const QByteArray scripted = qgetenv("VELMORA_VSPDCTL");
            ~RestoreLibrary() { qputenv("VELMORA_VSPDCTL", scripted); }
        } restore;
        qputenv("VELMORA_VSPDCTL",
                QFile::encodeName(TestEnv::binary(QStringLiteral("libfakevspdctl_partial.so"))));
        VSPInterface second;
        QVERIFY(second.initLibrary());
        qputenv("VELMORA_VSPDCTL", QFile::encodeName(m_env->root() + QStringLiteral("/nothing.so")));
        VSPInterface third;
        QVERIFY(third.initLibrary());
        qputenv("VELMORA_VSPDCTL", restore.scripted);
        m_reset();

        // Two interfaces in two threads, a third thread making new ones: the library sees every
        // call, one at a time (the scripted library itself has no lock).
        QVector<QThread *> threads;
        threads.append(QThread::create([&first] {
            for (int i = 0; i < 200; ++i)
                first.setStrict(QStringLiteral("COMA"), i % 2);
        }));
        threads.append(QThread::create([&second] {
            for (int i = 0; i < 200; ++i)
                second.createPort(QString(), QStringLiteral("COMB%1").arg(i % 3), 0, false);
        }));
        threads.append(QThread::create([] {
            for (int i = 0; i < 50; ++i)
                VSPInterface().initLibrary();
        }));
        for (QThread *t : qAsConst(threads))
            t->start();
        for (QThread *t : qAsConst(threads)) {
            QVERIFY(t->wait(60000));
            delete t;
        }
        const QString log = fakeLog();
        QCOMPARE(log.count(QStringLiteral("SetStrictBaudrate COMA ")), 200);
        QCOMPARE(log.count(QStringLiteral("CreatePair 'COMB")), 200);
        QCOMPARE(log.count(QStringLiteral("QueryBus 0800000001000000 4096\n")), 50);
        QCOMPARE(log.count(QLatin1Char('\n')), 200 + 3 * 200 + 50);
    }

    void concurrentCallersAreSerialised()
    {
        VSPInterface vsp;
        QVERIFY(vsp.initLibrary());
        answer(entry("COM5", 1, 2) + entry("NULL_COM5", 2, 1) + u32(0));
        m_reset();
        answer(entry("COM5", 1, 2) + entry("NULL_COM5", 2, 1) + u32(0));
        QVector<QThread *> threads;
        for (int t = 0; t < 6; ++t) {
            threads.append(QThread::create([&vsp, t] {
                for (int i = 0; i < 100; ++i) {
                    vsp.updatePortList();
                    vsp.setStrict(QStringLiteral("COM%1").arg(t), i % 2);
                    vsp.findPeer(QStringLiteral("COM5"), nullptr);
                    (void)vsp.portList();
                }
            }));
            threads.last()->start();
        }
        for (QThread *t : threads) {
            QVERIFY(t->wait(30000));
            delete t;
        }
        QCOMPARE(fakeLog().count(QStringLiteral("QueryBus")), 600);
        QCOMPARE(fakeLog().count(QStringLiteral("SetStrictBaudrate")), 600);
        QCOMPARE(vsp.portList().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestVspInterface)
#include "tst_vspinterface.moc"
