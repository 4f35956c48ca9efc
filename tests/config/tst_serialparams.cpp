#include "config/serialsettings.h"
#include "log/debug_class.h"
#include "runtime/tunnelcommengine.h"

#include <QtTest>

class TestSerialParams : public QObject
{
    Q_OBJECT
private slots:
    void validStrings_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("parity");
        QTest::addColumn<int>("stop");
        QTest::addColumn<int>("flow");
        QTest::addColumn<qulonglong>("wiring");
        QTest::addColumn<bool>("strict");
        const qulonglong untouched = 0x1234;
        QTest::newRow("plain") << "9600,8,N,1,N" << 9600 << 8 << 0 << 1 << 0 << untouched << true;
        QTest::newRow("loopback strict") << "9600,8,N,1,N/LB/ST" << 9600 << 8 << 0 << 1 << 0 << 0ULL << true;
        QTest::newRow("defaults") << "9600,8,N,1,N/NO/NS" << 9600 << 8 << 0 << 1 << 0 << 0xFFFFFFFFULL
                                  << false;
        QTest::newRow("containment") << "9600,8,N,1,N/xLBx/xSTx" << 9600 << 8 << 0 << 1 << 0 << 0ULL << true;
        QTest::newRow("lower case options")
            << "9600,8,N,1,N/lb/st" << 9600 << 8 << 0 << 1 << 0 << 0xFFFFFFFFULL << false;
        QTest::newRow("hardware R") << "115200,7,E,2,R" << 115200 << 7 << 2 << 2 << 1 << untouched << true;
        QTest::newRow("software odd") << "19200,8,O,1,S" << 19200 << 8 << 3 << 1 << 2 << untouched << true;
        QTest::newRow("baud 300") << "300,8,N,1,H" << 300 << 8 << 0 << 1 << 1 << untouched << true;
        QTest::newRow("odd rate") << "250000,8,N,1,N" << 250000 << 8 << 0 << 1 << 0 << untouched << true;
        QTest::newRow("empty wiring") << "9600,8,N,1,N/" << 9600 << 8 << 0 << 1 << 0 << 0xFFFFFFFFULL << true;
    }
    void validStrings()
    {
        QFETCH(QString, text);
        qint32 baud = 0;
        QSerialPort::DataBits bits = QSerialPort::UnknownDataBits;
        QSerialPort::Parity parity = QSerialPort::UnknownParity;
        QSerialPort::StopBits stop = QSerialPort::UnknownStopBits;
        QSerialPort::FlowControl flow = QSerialPort::UnknownFlowControl;
        unsigned long wiring = 0x1234;
        bool strict = true;
        QVERIFY(
            TunnelCommEngine::parseCommParams(text, &baud, &stop, &parity, &flow, &bits, &wiring, &strict));
        QTEST(int(baud), "baud");
        QTEST(int(bits), "bits");
        QTEST(int(parity), "parity");
        QTEST(int(stop), "stop");
        QTEST(int(flow), "flow");
        QTEST(qulonglong(wiring), "wiring");
        QTEST(strict, "strict");
        QVERIFY(TunnelCommEngine::parseCommParams(text));
    }

    void invalidStrings_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::newRow("four fields") << "9600,8,N,1"
                                     << "Invalid com port param string (count): ";
        QTest::newRow("six fields") << "9600,8,N,1,N,N"
                                    << "Invalid com port param string (count): ";
        QTest::newRow("empty") << ""
                               << "Invalid com port param string (count): ";
        QTest::newRow("baud text") << "fast,8,N,1,N"
                                   << "Invalid com port param baudrate: ";
        QTest::newRow("baud zero") << "0,8,N,1,N"
                                   << "Invalid com port param baudrate: ";
        QTest::newRow("baud negative") << "-9600,8,N,1,N"
                                       << "Invalid com port param baudrate: ";
        QTest::newRow("baud overflow") << "99999999999,8,N,1,N"
                                       << "Invalid com port param baudrate: ";
        QTest::newRow("6 bits") << "9600,6,N,1,N"
                                << "Invalid com port param bits [valid:7,8]: ";
        QTest::newRow("lower parity") << "9600,8,n,1,N"
                                      << "Invalid com port param parity [valid:N,E,O]: ";
        QTest::newRow("1.5 stop") << "9600,8,N,1.5,N"
                                  << "Invalid com port param stopbits [valid:1,2]: ";
        QTest::newRow("flow X") << "9600,8,N,1,X"
                                << "Invalid com port param flow control [valid:N,S,[H|R]]: ";
        QTest::newRow("flow lower") << "9600,8,N,1,h"
                                    << "Invalid com port param flow control [valid:N,S,[H|R]]: ";
    }
    void invalidStrings()
    {
        QFETCH(QString, text);
        QFETCH(QString, message);
        QTemporaryDir dir;
        CGlobalDebugFileHandler *log = CGlobalDebugFileHandler::instance();
        log->reset();
        log->setConsole(0);
        QVERIFY(log->start(dir.path()));
        QVERIFY(!TunnelCommEngine::parseCommParams(text));
        QFile file(log->logFileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString logged = QString::fromUtf8(file.readAll());
        log->reset();
        // The warning names the whole input string.
        QVERIFY2(logged.contains(QStringLiteral("[WARNING ]")), qPrintable(logged));
        QVERIFY2(logged.contains(QStringLiteral(":: ") + message + text + QLatin1Char('\n')),
                 qPrintable(logged));
        QVERIFY(logged.contains(QStringLiteral("TunnelCommEngine::parseCommParams(")));
    }

    void failingStringLeavesEarlierOutputs()
    {
        qint32 baud = 0;
        QSerialPort::DataBits bits = QSerialPort::UnknownDataBits;
        QSerialPort::StopBits stop = QSerialPort::UnknownStopBits;
        QVERIFY(!TunnelCommEngine::parseCommParams(QStringLiteral("4800,7,N,3,N"), &baud, &stop, nullptr,
                                                   nullptr, &bits));
        QCOMPARE(int(baud), 4800);
        QCOMPARE(bits, QSerialPort::Data7);
        QCOMPARE(stop, QSerialPort::UnknownStopBits);
    }

    void normalize_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("real");
        QTest::addColumn<QString>("expected");
        QTest::newRow("virtual keeps tail") << "9600,8,N,1,N/LB/ST" << false << "9600,8,N,1,N/LB/ST";
        QTest::newRow("real drops tail") << "9600,8,N,1,N/LB/ST" << true << "9600,8,N,1,N";
        QTest::newRow("virtual gets default") << "9600,8,N,1,N" << false << "9600,8,N,1,N/NO/NS";
        QTest::newRow("real plain") << "115200,8,N,1,N" << true << "115200,8,N,1,N";
        QTest::newRow("single slash virtual") << "9600,8,N,1,N/" << false << "9600,8,N,1,N/";
        QTest::newRow("single slash real") << "9600,8,N,1,N/" << true << "9600,8,N,1,N";
        QTest::newRow("empty virtual") << "" << false << "/NO/NS";
    }
    void normalize()
    {
        QFETCH(QString, text);
        QFETCH(bool, real);
        QTEST(normalizeSerialSettings(text, real), "expected");
    }
};

QTEST_GUILESS_MAIN(TestSerialParams)
#include "tst_serialparams.moc"
