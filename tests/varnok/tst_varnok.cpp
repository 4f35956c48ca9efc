// The device library, loaded through TavrelCMLoader as the program loads it, against a scripted device on
// a pseudo-terminal: every command the wizard sends, the bytes on the line, timeouts, wrong and 7-bit
// lines, garbage, a vanished line, and bad input.
#include "tests/support/logcapture.h"
#include "tests/support/testenv.h"
#include "tests/varnok/ptydevice.h"
#include "wizard/tavrelcmloader.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>
#include <unistd.h>

namespace proto = varnok::protocol;

namespace
{

using Pairs = QList<QPair<QByteArray, QByteArray>>;

struct Step {
    const char *command;
    const char *params; // the library's parameter text
    const char *expect; // the values popped, "name=value" joined by ","
};

QString join(const Pairs &pairs)
{
    QStringList parts;
    for (const auto &p : pairs)
        parts << QString::fromUtf8(p.first + '=' + p.second);
    return parts.join(QLatin1Char(','));
}

} // namespace

class TestVarnok : public QObject
{
    Q_OBJECT

private:
    TavrelCMLoader m_lib;
    QTemporaryDir m_dir;

    std::string link(const char *name) const
    {
        return (m_dir.path() + QLatin1Char('/') + name).toStdString();
    }

    VNK_HANDLE openDevice(VNK_HANDLE *device, const std::string &line, std::int32_t timeoutSeconds)
    {
        *device = m_lib.VNK_CreateDeviceHandle(1);
        if (!*device)
            return nullptr;
        if (m_lib.VNK_SetDeviceParam(*device, 0x20001, line.c_str()) != 0)
            return nullptr;
        VNK_HANDLE open = m_lib.VNK_OpenDevice(*device);
        if (open && m_lib.VNK_SetDeviceParam(open, 0x2000A, &timeoutSeconds) != 0)
            return nullptr;
        return open;
    }

    VNK_HANDLE post(VNK_HANDLE open, const char *command, const char *params)
    {
        VNK_HANDLE r = m_lib.VNK_CreateRequestEx(open, command, params);
        if (r && m_lib.VNK_PostRequest(r, 0) != 0)
            return nullptr;
        return r;
    }

    // Waits the way the device worker does (200 ms at a time), within a bound that only catches hangs.
    bool finished(VNK_HANDLE r, int boundMs = 15000)
    {
        QElapsedTimer t;
        t.start();
        while (m_lib.VNK_WaitForRequestCompleted(r, 200) != 0)
            if (t.elapsed() > boundMs)
                return false;
        return true;
    }

    Pairs pop(VNK_HANDLE r)
    {
        Pairs out;
        QByteArray name(32, '\0'), value(65536, '\0');
        while (m_lib.VNK_PopResponseValue(r, name.data(), value.data(), 65535) == 0)
            out << qMakePair(QByteArray(name.constData()), QByteArray(value.constData()));
        return out;
    }

private slots:
    void initTestCase()
    {
        LogCapture log;
        qputenv("VELMORA_VARNOK", QFile::encodeName(TestEnv::binary(QStringLiteral("libvarnok.so"))));
        QCOMPARE(m_lib.Load(), 1);
        QVERIFY(log.contains(QStringLiteral("libvarnok.so version: 1.0.3")));
        QVERIFY(m_dir.isValid());
    }

    // Every command of the detection, read-out and configuration, in the wizard's forms: each answered
    // with the device's values (Windows-1250 text arriving as UTF-8), set values read back, the bytes
    // on the line exactly the frames of the protocol, one event per finished request, several requests
    // on the line at once matched to their answers by serial, and the debug file appended to.
    void everyCommandReadAndWritten()
    {
        PtyDevice device(link("tavrel"));
        const QString debugFile = m_dir.path() + QStringLiteral("/varnok.log");
        {
            QFile f(debugFile);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("earlier run\n");
        }
        VNK_HANDLE dev = m_lib.VNK_CreateDeviceHandle(1);
        QVERIFY(dev);
        QCOMPARE(m_lib.VNK_SetDebugLevel(dev, 14), 0u);
        QCOMPARE(m_lib.VNK_SetDebugFileName(dev, QFile::encodeName(debugFile + QLatin1Char('+')).constData()),
                 0u);
        const std::string line = link("tavrel") + ",115200,8,N,1,R";
        QCOMPARE(m_lib.VNK_SetDeviceParam(dev, 0x20001, line.c_str()), 0u);
        VNK_HANDLE open = m_lib.VNK_OpenDevice(dev);
        QVERIFY(open);
        QCOMPARE(m_lib.VNK_SetEventHandlingMode(open, 1), 0u);
        const int event = int(m_lib.VNK_GetEvent(open));
        QVERIFY(event >= 0);
        std::int32_t five = 5;
        QCOMPARE(m_lib.VNK_SetDeviceParam(open, 0x2000A, &five), 0u);

        const Step steps[] = {
            {"!sdev", "", "ds=0"},
            {"sid", "", "nm=Tavrel Żółw 01,sn=TVR00000042,fw=2.04"},
            {"comcfgget", "no,1", "no=1,sp=115200,da=8,pa=0,st=1,fl=1"},
            {"comcfgget", "no,2", "no=2,sp=9600,da=8,pa=0,st=1,fl=0"},
            {"pccfgget", "", "id=1,no=1"},
            {"trlogget", "", "id=0,no=0"},
            {"tcpipcfgget", "", "id=1,no=1,dh=1,ip=,ma=,ge="},
            {"tunnelget", "sp,0", "sp=0,en=0,da=1100,di=1101"},
            {"tunnelget", "sp,1", "sp=1,en=0,da=1102,di=1103"},
            {"comcfgset", "no,2\nsp,57600\nst,2\nda,7\npa,2\nfl,3", ""},
            {"tunnelset", "sp,1\nen,1\nda,1102\ndi,1103", ""},
            {"trlogset", "id,4\nno,7777", ""},
            {"tcpipcfgset", "id,1\nno,1\ndh,0\nip,10.10.10.10\nge,10.10.10.1\nma,255.255.255.0", ""},
            {"comcfgset", "no,1\nsp,9600\nst,1\nda,8\npa,0\nfl,1", ""},
            {"pccfgset", "id,4\nno,6666", ""},
            {"comcfgget", "no,2", "no=2,sp=57600,da=7,pa=2,st=2,fl=3"},
            {"comcfgget", "no,1", "no=1,sp=9600,da=8,pa=0,st=1,fl=1"},
            {"tunnelget", "sp,1", "sp=1,en=1,da=1102,di=1103"},
            {"trlogget", "", "id=4,no=7777"},
            {"tcpipcfgget", "", "id=1,no=1,dh=0,ip=10.10.10.10,ma=255.255.255.0,ge=10.10.10.1"},
            {"pccfgget", "", "id=4,no=6666"},
        };
        std::string expectedBytes;
        unsigned serial = 0;
        for (const Step &s : steps) {
            VNK_HANDLE r = post(open, s.command, s.params);
            QVERIFY2(r, s.command);
            QCOMPARE(m_lib.VNK_GetRequestCommandSerial(r), ++serial);
            QVERIFY2(finished(r), s.command);
            QCOMPARE(m_lib.VNK_GetRequestState(r), 0x19002u);
            QCOMPARE(m_lib.VNK_GetRequestStatus(r), 0u);
            QCOMPARE(join(pop(r)), QString::fromUtf8(s.expect));
            proto::Request wire;
            wire.seq = std::uint16_t(serial);
            wire.command = s.command;
            QVERIFY(proto::parseParamText(s.params, &wire.params));
            expectedBytes += proto::encodeRequest(wire);
        }
        // The first frame spelt out; the rest as the codec writes them, all byte for byte.
        QCOMPARE(QByteArray::fromStdString(device.received().substr(0, 20)),
                 QByteArray("\x02Q00010005!sdev3141\x03"));
        QCOMPARE(QByteArray::fromStdString(device.received()), QByteArray::fromStdString(expectedBytes));

        // A value out of range is the device's refusal, with its Polish text.
        VNK_HANDLE bad = post(open, "comcfgset", "no,3");
        QVERIFY(finished(bad));
        QCOMPARE(m_lib.VNK_GetRequestStatus(bad), 0x30003u);
        QCOMPARE(QString::fromUtf8(m_lib.VNK_GetErrorString(0x30003, "pl")),
                 QStringLiteral("Nieprawidłowa wartość parametru komendy."));
        ++serial;

        // One event count per finished request since the event was last reset.
        std::uint64_t events = 0;
        QCOMPARE(read(event, &events, sizeof events), ssize_t(sizeof events));
        QCOMPARE(events, std::uint64_t(serial));

        // Three on the line before the first answer; the device answers them last first.
        device.holdAnswers(3);
        VNK_HANDLE a = post(open, "!sdev", "");
        VNK_HANDLE b = post(open, "sid", "");
        VNK_HANDLE c = post(open, "tunnelget", "sp,0");
        QVERIFY(finished(a) && finished(b) && finished(c));
        QCOMPARE(join(pop(a)), QStringLiteral("ds=0"));
        QCOMPARE(join(pop(b)), QStringLiteral("nm=Tavrel Żółw 01,sn=TVR00000042,fw=2.04"));
        QCOMPARE(join(pop(c)), QStringLiteral("sp=0,en=0,da=1100,di=1101"));
        QCOMPARE(m_lib.VNK_GetRequestCount(open), 0u);
        unsigned ds = 99;
        QCOMPARE(m_lib.VNK_GetPrnDeviceStatus(open, &ds), 0u);
        QCOMPARE(ds, 0u);

        QCOMPARE(m_lib.VNK_CloseDevice(open), 0u);
        // Everything of the closed device is gone: its requests and its handle.
        QCOMPARE(m_lib.VNK_GetRequestState(a), 0x10002u);
        QCOMPARE(m_lib.VNK_CloseDevice(open), 0x10002u);
        QCOMPARE(m_lib.VNK_DestroyDeviceHandle(dev), 0u);

        QFile f(debugFile);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray log = f.readAll();
        QVERIFY(log.startsWith("earlier run\n"));
        QVERIFY(log.contains("request 1 posted: !sdev"));
        QVERIFY(log.contains("send <02>Q00010005!sdev3141<03>"));
        QVERIFY(log.contains("device closed"));
    }

    // A device on other line settings never answers: the request finishes with 0x10003 after the answer
    // timeout, not before. On the device's own 7-bit, even-parity, XON/XOFF line the protocol works, and
    // no byte on the line is 8-bit or a flow-control byte even for Polish text.
    void wrongLineSilentOddLineWorks()
    {
        PtyDevice device(link("odd"));
        device.setLine(9600, 7, 'E', 1, 'S');
        VNK_HANDLE dev = nullptr;
        VNK_HANDLE open = openDevice(&dev, link("odd") + ",115200,8,N,1,R", 1);
        QVERIFY(open);
        QElapsedTimer t;
        t.start();
        VNK_HANDLE r = post(open, "!sdev", "");
        QVERIFY(r);
        const unsigned early = m_lib.VNK_GetRequestState(r);
        QVERIFY(early == 0x19000u || early == 0x19001u);
        QCOMPARE(m_lib.VNK_WaitForRequestCompleted(r, 100), 0x1000Eu);
        QVERIFY(finished(r));
        QVERIFY2(t.elapsed() >= 900, "finished before the answer timeout");
        QCOMPARE(m_lib.VNK_GetRequestStatus(r), 0x10003u);
        QCOMPARE(QString::fromUtf8(m_lib.VNK_GetErrorString(0x10003, "pl")),
                 QStringLiteral("Urządzenie nie odpowiada."));
        QVERIFY(device.ignoredOnWrongLine() >= 1);
        QCOMPARE(m_lib.VNK_CloseDevice(open), 0u);
        QCOMPARE(m_lib.VNK_DestroyDeviceHandle(dev), 0u);

        open = openDevice(&dev, link("odd") + ",9600,7,E,1,S", 5);
        QVERIFY(open);
        r = post(open, "!sdev", "");
        QVERIFY(finished(r));
        QCOMPARE(m_lib.VNK_GetRequestStatus(r), 0u);
        QCOMPARE(join(pop(r)), QStringLiteral("ds=0"));
        const termios seen = device.lastSeenTermios();
        QVERIFY(!(seen.c_cflag & CSTOPB) && !(seen.c_cflag & CRTSCTS));
        QVERIFY((seen.c_iflag & IXON) && (seen.c_iflag & IXOFF));
        QCOMPARE(cfgetospeed(&seen), speed_t(B9600));

        // Polish text goes out as escaped Windows-1250; the device refuses the unknown parameter.
        r = post(open, "sid", "nm,Zażółć gęślą jaźń");
        QVERIFY(finished(r));
        QCOMPARE(m_lib.VNK_GetRequestStatus(r), 0x30004u);
        const auto requests = device.requests();
        QCOMPARE(requests.back().params.size(), std::size_t(1));
        QCOMPARE(QByteArray::fromStdString(requests.back().params[0].value),
                 QByteArray("Za\xBF\xF3\xB3\xE6 g\xEA\x9Cl\xB9 ja\x9F\xF1"));
        for (unsigned char ch : device.received())
            QVERIFY(ch < 0x80 && ch != 0x11 && ch != 0x13);
        QCOMPARE(m_lib.VNK_CloseDevice(open), 0u);
        QCOMPARE(m_lib.VNK_DestroyDeviceHandle(dev), 0u);
    }

    // Garbage before an answer is skipped; a spoilt answer is no answer, and the next request is
    // answered; a line that vanishes under a request finishes it with 0x10007, and once the port is
    // back under its name the library reopens it and a request waiting meanwhile is answered.
    void garbageAndVanishedLineRecover()
    {
        PtyDevice device(link("flaky"));
        VNK_HANDLE dev = nullptr;
        VNK_HANDLE open = openDevice(&dev, link("flaky") + ",115200,8,N,1,R", 3);
        QVERIFY(open);

        device.garbageBeforeNextAnswer(std::string("\x02Q12\x13\xFF noise \x02"
                                                   "A0001zz\x03\x11"));
        VNK_HANDLE r = post(open, "!sdev", "");
        QVERIFY(finished(r));
        QCOMPARE(m_lib.VNK_GetRequestStatus(r), 0u);
        QCOMPARE(join(pop(r)), QStringLiteral("ds=0"));

        device.garbageBeforeNextAnswer("", true);
        r = post(open, "sid", "");
        QVERIFY(finished(r));
        QCOMPARE(m_lib.VNK_GetRequestStatus(r), 0x10003u);
        r = post(open, "sid", "");
        QVERIFY(finished(r));
        QCOMPARE(m_lib.VNK_GetRequestStatus(r), 0u);

        // A device in its menu answers the status query and refuses the rest.
        device.setDeviceState("1");
        r = post(open, "!sdev", "");
        VNK_HANDLE refused = post(open, "sid", "");
        QVERIFY(finished(r) && finished(refused));
        QCOMPARE(join(pop(r)), QStringLiteral("ds=1"));
        QCOMPARE(m_lib.VNK_GetRequestStatus(refused), 0x30005u);
        device.setDeviceState("0");

        device.setSilent(true);
        r = post(open, "!sdev", "");
        QTRY_COMPARE_WITH_TIMEOUT(m_lib.VNK_GetRequestState(r), 0x19001u, 5000);
        device.vanish();
        QVERIFY(finished(r));
        QCOMPARE(m_lib.VNK_GetRequestStatus(r), 0x10007u);

        VNK_HANDLE waiting = post(open, "!sdev", "");
        QVERIFY(waiting);
        QTest::qWait(200);
        QCOMPARE(m_lib.VNK_GetRequestState(waiting), 0x19000u);
        device.setSilent(false);
        device.reappear();
        QVERIFY(finished(waiting));
        QCOMPARE(m_lib.VNK_GetRequestStatus(waiting), 0u);
        r = post(open, "pccfgget", "");
        QVERIFY(finished(r));
        QCOMPARE(join(pop(r)), QStringLiteral("id=1,no=1"));
        QCOMPARE(m_lib.VNK_CloseDevice(open), 0u);
        QCOMPARE(m_lib.VNK_DestroyDeviceHandle(dev), 0u);
    }

    // Null and stale handles, bad texts, wrong order of calls, small buffers and a close with requests
    // still on the line: every call answers with an error code, none crashes or hangs.
    void badInputIsRefused()
    {
        int dummy = 0;
        char name[32], value[8];
        VNK_HANDLE stale = reinterpret_cast<VNK_HANDLE>(std::uintptr_t(0x1234));
        for (VNK_HANDLE h : {VNK_HANDLE(nullptr), stale, VNK_HANDLE(&dummy)}) {
            QVERIFY(m_lib.VNK_DestroyDeviceHandle(h) != 0);
            QVERIFY(m_lib.VNK_DestroyRequest(h) != 0);
            QVERIFY(!m_lib.VNK_OpenDevice(h));
            QVERIFY(m_lib.VNK_CloseDevice(h) != 0);
            QVERIFY(!m_lib.VNK_CreateRequest(h, "!sdev"));
            QVERIFY(!m_lib.VNK_CreateRequestEx(h, "!sdev", ""));
            QVERIFY(m_lib.VNK_SetDeviceParam(h, 0x20001, "x,9600,8,N,1,N") != 0);
            QVERIFY(m_lib.VNK_SetDebugLevel(h, 2) != 0);
            QVERIFY(m_lib.VNK_SetDebugFileName(h, "x") != 0);
            QVERIFY(m_lib.VNK_PostRequest(h, 0) != 0);
            QVERIFY(m_lib.VNK_WaitForRequestCompleted(h, 10) != 0);
            QVERIFY(m_lib.VNK_GetRequestStatus(h) != 0);
            const unsigned state = m_lib.VNK_GetRequestState(h);
            QVERIFY(state != 0x19000u && state != 0x19001u);
            QCOMPARE(m_lib.VNK_GetRequestCommandSerial(h), 0u);
            QCOMPARE(m_lib.VNK_GetRequestAge(h), 0u);
            QCOMPARE(m_lib.VNK_GetRequestCount(h), 0u);
            QVERIFY(m_lib.VNK_PopResponseValue(h, name, value, 7) != 0);
            QVERIFY(m_lib.VNK_GetResponseValue(h, "ds", value, 7) != 0);
            QVERIFY(m_lib.VNK_PushRequestParam(h, "a", "b") != 0);
            QVERIFY(!m_lib.VNK_GetNextResponse(h));
            QCOMPARE(m_lib.VNK_GetEvent(h), intptr_t(-1));
            QVERIFY(m_lib.VNK_SetEventHandlingMode(h, 1) != 0);
            unsigned ds;
            QVERIFY(m_lib.VNK_GetPrnDeviceStatus(h, &ds) != 0);
        }
        QCOMPARE(m_lib.VNK_GetError(stale), 0x10002u);
        QCOMPARE(QByteArray(m_lib.VNK_GetErrorString(0x7777, "pl")), QByteArray());
        QVERIFY(!m_lib.VNK_CreateDeviceHandle(2));
        QCOMPARE(m_lib.VNK_GetError(nullptr), 0x10011u);

        VNK_HANDLE dev = m_lib.VNK_CreateDeviceHandle(1);
        QVERIFY(!m_lib.VNK_OpenDevice(dev));
        QCOMPARE(m_lib.VNK_GetError(dev), 0x10006u);
        for (const char *text :
             {"COM1,9600,8,N,1", "COM1,9601,8,N,1,N", ",9600,8,N,1,N", "COM1,9600,9,N,1,N",
              "COM1,9600,8,X,1,N", "COM1,9600,8,N,3,N", "COM1,9600,8,N,1,Q", "COM1,9600,8,N,1,N,"})
            QCOMPARE(m_lib.VNK_SetDeviceParam(dev, 0x20001, text), 0x10005u);
        QCOMPARE(m_lib.VNK_SetDeviceParam(dev, 0x20001, nullptr), 0x10001u);
        QCOMPARE(m_lib.VNK_SetDeviceParam(dev, 0x20099, "x"), 0x1000Bu);
        std::int32_t zero = 0;
        QCOMPARE(m_lib.VNK_SetDeviceParam(dev, 0x2000A, &zero), 0x10001u);
        const std::string nowhere = link("nowhere") + ",9600,8,N,1,N";
        QCOMPARE(m_lib.VNK_SetDeviceParam(dev, 0x20001, nowhere.c_str()), 0u);
        QVERIFY(!m_lib.VNK_OpenDevice(dev));
        QCOMPARE(m_lib.VNK_GetError(dev), 0x10004u);
        QCOMPARE(m_lib.VNK_DestroyDeviceHandle(dev), 0u);

        PtyDevice device(link("strict"));
        VNK_HANDLE open = openDevice(&dev, link("strict") + ",115200,8,N,1,R", 5);
        QVERIFY(open);
        QVERIFY(!m_lib.VNK_OpenDevice(dev)); // already open
        QVERIFY(!m_lib.VNK_CreateRequestEx(open, "a;b", ""));
        QCOMPARE(m_lib.VNK_GetError(open), 0x10001u);
        QVERIFY(!m_lib.VNK_CreateRequestEx(open, "sid", "noComma"));
        QCOMPARE(m_lib.VNK_GetError(open), 0x1000Cu);
        VNK_HANDLE r = m_lib.VNK_CreateRequestEx(open, "sid", nullptr);
        QCOMPARE(m_lib.VNK_GetRequestState(r), 0x18FFFu);
        QCOMPARE(m_lib.VNK_WaitForRequestCompleted(r, 10), 0x10008u);
        QCOMPARE(m_lib.VNK_PopResponseValue(r, name, value, 7), 0x1000Eu);
        QCOMPARE(m_lib.VNK_PostRequest(r, 0), 0u);
        QCOMPARE(m_lib.VNK_PostRequest(r, 0), 0x10008u);
        QVERIFY(finished(r));
        QCOMPARE(m_lib.VNK_PopResponseValue(r, name, value, 7), 0x10010u); // "nm" does not fit in 7 bytes
        QCOMPARE(m_lib.VNK_GetResponseValue(r, "fw", value, 7), 0u);
        QCOMPARE(QByteArray(value), QByteArray("2.04"));
        QCOMPARE(join(pop(r)), QStringLiteral("nm=Tavrel Żółw 01,sn=TVR00000042,fw=2.04"));
        QCOMPARE(m_lib.VNK_GetNextResponse(open), r);
        QVERIFY(!m_lib.VNK_GetNextResponse(open));

        VNK_HANDLE big = m_lib.VNK_CreateRequestEx(open, "sid", ("nm," + std::string(5000, 'x')).c_str());
        QCOMPARE(m_lib.VNK_PostRequest(big, 0), 0x10009u);
        QCOMPARE(m_lib.VNK_DestroyRequest(big), 0u);
        QCOMPARE(m_lib.VNK_DestroyRequest(big), 0x10002u);

        // Closing with requests on the line and waiting finishes and frees them all at once.
        device.setSilent(true);
        std::vector<VNK_HANDLE> pending;
        for (int i = 0; i < 20; ++i)
            pending.push_back(post(open, "!sdev", ""));
        QCOMPARE(m_lib.VNK_GetRequestCount(open), 20u);
        // A thread waiting on one of them is let go by the close, not left to its own timeout; a destroy of
        // the device racing the close does no harm.
        std::atomic<unsigned> waited{0xFFFFFFFF};
        std::thread waiter([&] { waited = m_lib.VNK_WaitForRequestCompleted(pending.back(), 60000); });
        QTest::qWait(50);
        QElapsedTimer t;
        t.start();
        std::thread destroyer([&] { m_lib.VNK_DestroyDeviceHandle(dev); });
        const unsigned closed = m_lib.VNK_CloseDevice(open);
        destroyer.join();
        waiter.join();
        QVERIFY(closed == 0u || closed == 0x10002u); // the destroy may have closed it first
        QCOMPARE(waited.load(), 0u);
        QVERIFY(t.elapsed() < 3000);
        for (VNK_HANDLE h : pending)
            QCOMPARE(m_lib.VNK_GetRequestState(h), 0x10002u);
        QCOMPARE(m_lib.VNK_DestroyDeviceHandle(dev), 0x10002u);
    }
};

QTEST_GUILESS_MAIN(TestVarnok)
#include "tst_varnok.moc"
