// The device library against the real simulator process (tavrel-devsim), the port named as the wizard
// names it (resolved through the device ports folder): the detection's wrong and right line settings,
// the read-out, the writes with the restart they cause, the link-port change and reopening with the new
// settings, the PC-interface switch; and a USB-linked device whose port vanishes during its restart and
// comes back on a new terminal under the same name.
#include "tests/support/devsimprocess.h"
#include "tests/support/testenv.h"
#include "wizard/tavrelcmloader.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QtTest>

namespace
{

using Sim = DevSimProcess;

using Pairs = QStringList;

QString joined(const Pairs &v)
{
    return v.join(QLatin1Char(','));
}

} // namespace

class TestVarnokDevsim : public QObject
{
    Q_OBJECT

private:
    TestEnv m_env;
    TavrelCMLoader m_lib;

    VNK_HANDLE open(VNK_HANDLE *dev, const QString &line, std::int32_t timeoutSeconds)
    {
        *dev = m_lib.VNK_CreateDeviceHandle(1);
        if (m_lib.VNK_SetDeviceParam(*dev, 0x20001, line.toUtf8().constData()) != 0)
            return nullptr;
        VNK_HANDLE o = m_lib.VNK_OpenDevice(*dev);
        if (o)
            m_lib.VNK_SetDeviceParam(o, 0x2000A, &timeoutSeconds);
        return o;
    }
    void close(VNK_HANDLE dev, VNK_HANDLE o)
    {
        m_lib.VNK_CloseDevice(o);
        m_lib.VNK_DestroyDeviceHandle(dev);
    }
    // Posts, waits (bounded), returns the status and the values as "name=value".
    quint32 ask(VNK_HANDLE o, const char *command, const char *params, Pairs *values = nullptr)
    {
        VNK_HANDLE r = m_lib.VNK_CreateRequestEx(o, command, params);
        if (!r || m_lib.VNK_PostRequest(r, 0) != 0)
            return 0xFFFFFFFF;
        QElapsedTimer t;
        t.start();
        while (m_lib.VNK_WaitForRequestCompleted(r, 200) != 0)
            if (t.elapsed() > 20000)
                return 0xFFFFFFFE;
        QByteArray name(32, '\0'), value(65536, '\0');
        if (values) {
            values->clear();
            while (m_lib.VNK_PopResponseValue(r, name.data(), value.data(), 65535) == 0)
                *values << QString::fromUtf8(name.constData()) + QLatin1Char('=') +
                               QString::fromUtf8(value.constData());
        }
        return m_lib.VNK_GetRequestStatus(r);
    }
    // Asks the status query until the device answers, as the wizard waits for a restart.
    bool backAgain(VNK_HANDLE o, int boundMs)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < boundMs)
            if (ask(o, "!sdev", "") == 0)
                return true;
        return false;
    }

private slots:
    void initTestCase()
    {
        // No port driver: the name resolves through the device ports folder alone, and no daemon starts.
        qputenv("VELMORA_VSPDCTL", "/nonexistent/libvspdctl.so");
        qputenv("VELMORA_VARNOK", QFile::encodeName(TestEnv::binary(QStringLiteral("libvarnok.so"))));
        QCOMPARE(m_lib.Load(), 1);
    }

    void detectReadWriteAndSwitch()
    {
        Sim sim;
        QVERIFY(sim.start(QStringLiteral("[device]\nname=Tavrel Mira Żółw\nlink=COM1\nrestart_ms=3000\n"
                                         "[com1]\nsp=9600\nda=8\npa=0\nst=2\nfl=3\n"),
                          QStringLiteral("ttyVNKTEST1")));
        QCOMPARE(sim.port, QStringLiteral("ttyVNKTEST1"));

        // A combination the device is not set to: silence, then the answer timeout.
        VNK_HANDLE dev = nullptr;
        VNK_HANDLE o = open(&dev, QStringLiteral("ttyVNKTEST1,115200,8,N,1,R"), 1);
        QVERIFY(o);
        QCOMPARE(ask(o, "!sdev", ""), 0x10003u);
        close(dev, o);

        o = open(&dev, QStringLiteral("ttyVNKTEST1,9600,8,N,2,S"), 2);
        QVERIFY(o);
        Pairs v;
        QCOMPARE(ask(o, "!sdev", "", &v), 0u);
        QCOMPARE(v, Pairs{"ds=0"});
        QCOMPARE(ask(o, "sid", "", &v), 0u);
        // Fields in the documented order.
        QCOMPARE(v.value(0), QStringLiteral("nm=Tavrel Mira Żółw"));
        QCOMPARE(v.size(), 3);
        QVERIFY(v.value(1).startsWith(QLatin1String("sn=")) && v.value(2).startsWith(QLatin1String("fw=")));
        QCOMPARE(ask(o, "comcfgget", "no,1", &v), 0u);
        QCOMPARE(joined(v), QStringLiteral("no=1,sp=9600,da=8,pa=0,st=2,fl=3"));
        QCOMPARE(ask(o, "pccfgget", "", &v), 0u);
        QCOMPARE(joined(v), QStringLiteral("id=1,no=1"));
        for (const auto &r : {std::make_pair("comcfgget", "no,2"), std::make_pair("trlogget", ""),
                              std::make_pair("tcpipcfgget", ""), std::make_pair("tunnelget", "sp,0"),
                              std::make_pair("tunnelget", "sp,1")})
            QCOMPARE(ask(o, r.first, r.second, &v), 0u);

        // The writes, as the wizard queues them for an RS232 link on COM1; the TCP/IP write restarts it.
        QCOMPARE(ask(o, "comcfgset", "no,2\nsp,115200\nst,1\nda,8\npa,0\nfl,1"), 0u);
        QCOMPARE(ask(o, "tunnelset", "sp,1\nen,1\nda,1102\ndi,1103"), 0u);
        QCOMPARE(ask(o, "trlogset", "id,4\nno,7777"), 0u);
        QCOMPARE(ask(o, "tcpipcfgset", "id,1\nno,1\ndh,0\nip,10.10.10.10\nge,10.10.10.1\nma,255.255.255.0"),
                 0u);
        QCOMPARE(ask(o, "!sdev", ""), 0x10003u); // silent while it restarts
        QVERIFY(backAgain(o, 15000));
        QCOMPARE(ask(o, "tcpipcfgget", "", &v), 0u);
        QCOMPARE(joined(v), QStringLiteral("id=1,no=1,dh=0,ip=10.10.10.10,ma=255.255.255.0,ge=10.10.10.1"));

        // The link-port change: answered on the old line, then only the new one is answered.
        QCOMPARE(ask(o, "comcfgset", "no,1\nsp,115200\nst,1\nda,8\npa,0\nfl,1"), 0u);
        QCOMPARE(ask(o, "!sdev", ""), 0x10003u);
        close(dev, o);
        o = open(&dev, QStringLiteral("ttyVNKTEST1,115200,8,N,1,R"), 2);
        QVERIFY(o);
        QCOMPARE(ask(o, "comcfgget", "no,2", &v), 0u);
        QCOMPARE(joined(v), QStringLiteral("no=2,sp=115200,da=8,pa=0,st=1,fl=1"));

        // The PC interface switch waits for the menu step; after it the serial line no longer answers.
        QCOMPARE(ask(o, "pccfgset", "id,4\nno,6666"), 0u);
        QCOMPARE(ask(o, "pccfgget", "", &v), 0u);
        QCOMPARE(joined(v), QStringLiteral("id=1,no=1"));
        QCOMPARE(sim.command(QStringLiteral("menu tcpip")).last(), QStringLiteral("OK"));
        QVERIFY(sim.command(QStringLiteral("get pc")).contains(QStringLiteral("pc.id=4")));
        QCOMPARE(ask(o, "!sdev", ""), 0x10003u);
        close(dev, o);
    }

    void usbPortComesBackUnderItsName()
    {
        Sim sim;
        QVERIFY(sim.start(QStringLiteral("[device]\nlink=USB\nrestart_ms=3000\n"),
                          QStringLiteral("ttyVNKTEST2")));
        VNK_HANDLE dev = nullptr;
        VNK_HANDLE o = open(&dev, QStringLiteral("ttyVNKTEST2,115200,8,N,1,R"), 1);
        QVERIFY(o);
        Pairs v;
        QCOMPARE(ask(o, "pccfgget", "", &v), 0u);
        QCOMPARE(v.first(), QStringLiteral("id=2"));
        QCOMPARE(ask(o, "tcpipcfgset", "id,2\ndh,0\nip,10.10.10.10\nge,10.10.10.1\nma,255.255.255.0"), 0u);
        QVERIFY(sim.waitFor(QStringLiteral("port-gone"), 5000));
        // Requests while the port is gone finish unanswered; the library reopens the name once it is back.
        const quint32 whileGone = ask(o, "!sdev", "");
        QVERIFY2(whileGone == 0x10003u || whileGone == 0x10007u, qPrintable(QString::number(whileGone, 16)));
        QVERIFY(sim.waitFor(QStringLiteral("running"), 10000));
        QVERIFY(backAgain(o, 15000));
        QCOMPARE(ask(o, "tcpipcfgget", "", &v), 0u);
        QVERIFY(v.contains(QStringLiteral("ip=10.10.10.10")));
        close(dev, o);
    }
};

QTEST_GUILESS_MAIN(TestVarnokDevsim)
#include "tst_varnok_devsim.moc"
