// The registry store: typed values, enumeration, deletion rules, and safety
// against torn writes and concurrent writers.
#include "platform/registrystore.h"
#include "tests/support/testenv.h"

#include <QFile>
#include <QProcess>
#include <QThread>
#include <QtTest>

class TestRegistryStore : public QObject
{
    Q_OBJECT

private slots:
    void typedValuesRoundTrip()
    {
        TestEnv env;
        RegistryStore store;
        QCOMPARE(store.fileName(), env.systemDir() + QStringLiteral("/registry.dat"));
        const QString key = QStringLiteral("SYSTEM\\A\\B");
        QCOMPARE(store.setString(key, "Text", QStringLiteral("zażółć \\ % x\ny")), 0L);
        QCOMPARE(store.setDWord(key, "Number", 0xA0B0C0D0u), 0L);
        QCOMPARE(store.setBinary(key, "Bytes", QByteArray::fromHex("a0100000")), 0L);
        QCOMPARE(store.setBinary(key, "Empty", QByteArray()), 0L);
        QVERIFY(store.keyExists("system\\a")); // parents exist, names ignore case

        RegistryStore again(env.systemDir());
        RegistryStore::Value v;
        QCOMPARE(again.value("system\\a\\b", "text", &v), 0L);
        QCOMPARE(v.type, RegistryStore::String);
        QCOMPARE(v.toString(), QStringLiteral("zażółć \\ % x\ny"));
        QCOMPARE(again.value(key, "Number", &v), 0L);
        QCOMPARE(v.type, RegistryStore::DWord);
        QCOMPARE(v.data, QByteArray::fromHex("d0c0b0a0"));
        QCOMPARE(v.toDWord(), 0xA0B0C0D0u);
        QCOMPARE(again.value(key, "Bytes", &v), 0L);
        QCOMPARE(v.type, RegistryStore::Binary);
        QCOMPARE(v.data, QByteArray::fromHex("a0100000"));
        QCOMPARE(again.value(key, "Empty", &v), 0L);
        QCOMPARE(v.data, QByteArray());
        QCOMPARE(again.value(key, "Missing", &v), 2L);
        QCOMPARE(again.value("SYSTEM\\Nope", "Text", &v), 2L);
        QCOMPARE(again.deleteValue(key, "TEXT"), 0L);
        QCOMPARE(again.value(key, "Text", &v), 2L);
    }

    void enumerationAndDeletionRules()
    {
        TestEnv env;
        RegistryStore store;
        const QString ports = QStringLiteral("SYSTEM\\Ports");
        QCOMPARE(store.createKey(ports), 0L);
        QString name;
        QCOMPARE(store.enumKey(ports, 0, &name), 259L);
        for (const char *k : {"COM5", "COM8COM9", "Nested\\Child"})
            QCOMPARE(store.createKey(ports + QLatin1Char('\\') + QLatin1String(k)), 0L);
        QCOMPARE(store.subKeys(ports), (QStringList{"COM5", "COM8COM9", "Nested"}));
        QCOMPARE(store.enumKey(ports, 2, &name), 0L);
        QCOMPARE(name, QStringLiteral("Nested"));
        QCOMPARE(store.enumKey(ports, 3, &name), 259L);
        QCOMPARE(store.enumKey("SYSTEM\\Missing", 0, &name), 2L);

        QCOMPARE(store.deleteKey(ports + "\\Nested"), 5L); // it has a subkey
        QCOMPARE(store.deleteKey(ports + "\\com5"), 0L);
        QCOMPARE(store.deleteKey(ports + "\\COM5"), 2L);
        QCOMPARE(store.deleteTree(ports + "\\Nested"), 0L);
        QCOMPARE(store.deleteTree(ports + "\\Nested"), 0L); // already gone: no error
        QCOMPARE(store.subKeys(ports), QStringList{"COM8COM9"});

        // Several values, and several trees, in one change.
        QCOMPARE(store.setValues(
                     ports + "\\X",
                     {qMakePair(QStringLiteral("A"), RegistryStore::Value{RegistryStore::String, "1"}),
                      qMakePair(QStringLiteral("a"), RegistryStore::Value{RegistryStore::String, "2"})}),
                 0L);
        RegistryStore::Value v;
        QCOMPARE(store.value(ports + "\\X", "A", &v), 0L);
        QCOMPARE(v.toString(), QStringLiteral("2"));
        // Values of a key that must exist: a missing key is not created.
        const RegistryStore::Value one{RegistryStore::DWord, QByteArray::fromHex("01000000")};
        QCOMPARE(store.setExistingValues(ports + "\\Gone", {qMakePair(QStringLiteral("N"), one)}), 2L);
        QVERIFY(!store.keyExists(ports + "\\Gone"));
        QCOMPARE(store.setExistingValues(ports + "\\x", {qMakePair(QStringLiteral("N"), one)}), 0L);
        QCOMPARE(store.value(ports + "\\X", "N", &v), 0L);
        QCOMPARE(v.toDWord(), 1u);
        QCOMPARE(store.deleteTrees({ports + "\\X", ports + "\\COM8COM9"}), 0L);
        QVERIFY(store.subKeys(ports).isEmpty());
    }

    void aDamagedFileIsReportedAndNeverOverwritten()
    {
        TestEnv env;
        RegistryStore store;
        QCOMPARE(store.setDWord("K", "V", 1), 0L);
        // A write that died before its rename leaves only a stray temporary file.
        QFile stray(store.fileName() + ".new");
        QVERIFY(stray.open(QIODevice::WriteOnly));
        stray.write("garbage");
        stray.close();
        RegistryStore::Value v;
        QCOMPARE(store.value("K", "V", &v), 0L);
        QCOMPARE(v.toDWord(), 1u);

        QFile file(store.fileName());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("something else entirely\n");
        file.close();
        QCOMPARE(store.value("K", "V", &v), 1009L);
        QCOMPARE(store.setDWord("K", "V", 2), 1009L);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("something else entirely\n"));
    }

    void concurrentWritersLoseNothing()
    {
        TestEnv env;
        QVector<QThread *> threads;
        for (int t = 0; t < 4; ++t) {
            threads.append(QThread::create([t] {
                RegistryStore store;
                for (int i = 0; i < 40; ++i)
                    store.setDWord(QStringLiteral("Root\\T%1_%2").arg(t).arg(i), "N", quint32(i));
            }));
            threads.last()->start();
        }
        for (QThread *t : threads) {
            QVERIFY(t->wait(60000));
            delete t;
        }
        RegistryStore store;
        QCOMPARE(store.subKeys("Root").size(), 160);
        RegistryStore::Value v;
        QCOMPARE(store.value("Root\\T3_39", "N", &v), 0L);
        QCOMPARE(v.toDWord(), 39u);
    }
};

QTEST_GUILESS_MAIN(TestRegistryStore)
#include "tst_registrystore.moc"
