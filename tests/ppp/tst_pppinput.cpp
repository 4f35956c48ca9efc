// Hostile and malformed frames on a PPP configuration's serial line, fed
// through the adapter exactly as the engine feeds what it reads, over a real
// pseudo-terminal. The frames are the checked-in corpus (corpus/*.hex, line
// bytes as captured): among them empty frames whose check sequence passes
// (lwIP once trimmed a buffer that did not exist and the whole process died)
// and Configure-Requests whose rejected options are moved down over
// themselves. The session must drop or answer each of them, stay alive, and
// still come up with a real peer afterwards.
#include "runtime/lwipport.h"

#include "../net/packets.h"
#include "pppharness.h"
#include "tests/support/logcapture.h"

#include <QDir>
#include <QProcess>
#include <QtTest>

#include <fcntl.h>
#include <termios.h>

using namespace testpackets;

namespace
{

QByteArray readHexFrame(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QByteArray hex;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (!line.startsWith('#'))
            hex += line.trimmed();
    return QByteArray::fromHex(hex);
}

// The contents of the frames a session wrote (escapes undone, address and
// control field and check sequence removed), in order.
QList<QByteArray> unframe(const QByteArray &line)
{
    QList<QByteArray> frames;
    QByteArray cur;
    bool escaped = false;
    for (char c : line) {
        if (c == '\x7e') {
            if (cur.size() > 4 && cur.startsWith("\xff\x03"))
                frames << cur.mid(2, cur.size() - 4);
            cur.clear();
        } else if (c == '\x7d') {
            escaped = true;
        } else {
            cur += escaped ? char(c ^ 0x20) : c;
            escaped = false;
        }
    }
    return frames;
}

// Control packets (code, id, length, data) of one protocol with this code and id.
QList<QByteArray> controlPackets(const QByteArray &written, quint16 protocol, int code, int id)
{
    QList<QByteArray> found;
    for (const QByteArray &f : unframe(written)) {
        if (f.size() >= 6 && quint8(f[0]) == protocol >> 8 && quint8(f[1]) == (protocol & 0xff) &&
            quint8(f[2]) == code && quint8(f[3]) == id)
            found << f.mid(2);
    }
    return found;
}

const quint16 kLcp = 0xc021, kIpcp = 0x8021;
const int kConfRej = 4;

} // namespace

class TestPppInput : public QObject
{
    Q_OBJECT

private slots:
    void hostileFramesThenRealPeer()
    {
        const QDir corpusDir(QStringLiteral(PPP_CORPUS_DIR));
        const QStringList names = corpusDir.entryList({"*.hex"}, QDir::Files, QDir::Name);
        QVERIFY(names.contains("empty-frame-good-fcs.hex"));
        QVERIFY(names.contains("lcp-reject-overlap.hex"));
        QCOMPARE(readHexFrame(corpusDir.filePath("empty-frame-good-fcs.hex")),
                 QByteArray::fromHex("7e7d207d207e"));

        // The PC's end on the master side; the line's far end is the slave,
        // written by this test first and then opened by the peer process.
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(master >= 0);
        QVERIFY(::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const QString slavePath = QString::fromLocal8Bit(::ptsname(master));
        const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(slave >= 0);
        termios t;
        QVERIFY(::tcgetattr(slave, &t) == 0);
        ::cfmakeraw(&t);
        QVERIFY(::tcsetattr(slave, TCSANOW, &t) == 0);

        LogCapture log(6);
        PppTicker ticker;
        {
            PppEndpoint pc(master, ip(10, 10, 10, 20), ip(10, 10, 10, 10));
            QVERIFY(pc.open());
            auto feed = [&](const QString &name) {
                const QByteArray bytes = readHexFrame(corpusDir.filePath(name));
                QVERIFY2(!bytes.isEmpty(), qPrintable(name));
                QCOMPARE(::write(slave, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
            };
            for (const QString &name : names)
                feed(name);
            // Frames are taken in order: the answer to this one comes after
            // every frame of the corpus was through the stack.
            feed("lcp-reject-overlap.hex");
            QTRY_COMPARE_WITH_TIMEOUT(controlPackets(pc.written, kLcp, kConfRej, 0x42).size(), 2, 10000);

            QVERIFY2(pc.codes.isEmpty(), "the session must survive its line's garbage");
            // Only the unknown option comes back, intact after its move.
            QCOMPARE(controlPackets(pc.written, kLcp, kConfRej, 0x42).first(),
                     QByteArray::fromHex("0442000c5508a1a2a3a4a5a6"));
            // The unknown option and the option running past the end are
            // rejected; the nak of the small MRU gives way to the reject.
            QCOMPARE(controlPackets(pc.written, kLcp, kConfRej, 0x44).value(0),
                     QByteArray::fromHex("044400096003ff0720"));
#ifdef VELMORA_LWIP_DEBUG
            QCOMPARE(log.count("Dropping empty packet"), 2);
            QVERIFY(log.contains("packet too short"));
#endif

            // A real peer on the same line now: the link still comes up.
            ::tcflush(slave, TCIOFLUSH);
            QProcess peer;
            peer.start(QCoreApplication::applicationDirPath() + "/ppp_testpeer",
                       {"--tty", slavePath, "--address", "10.10.10.10", "--exit-after-end"});
            QVERIFY(peer.waitForStarted());
            QTRY_VERIFY_WITH_TIMEOUT(pc.up() || pc.ended(), 30000);
            QVERIFY2(pc.up(), qPrintable(log.text().right(3000)));
            QCOMPARE(PppEndpoint::dotted(pc.addrs.our_ipaddr), QStringLiteral("10.10.10.20"));
            QCOMPARE(PppEndpoint::dotted(pc.addrs.his_ipaddr), QStringLiteral("10.10.10.10"));

            // With the network up, IPCP takes a request whose reject moves an
            // option over itself: IPCP goes down, answers, and comes back up.
            const QByteArray before = pc.written;
            feed("ipcp-reject-overlap.hex");
            QTRY_COMPARE_WITH_TIMEOUT(pc.codes, QList<int>({0, PppErr::Connect, 0}), 20000);
            QCOMPARE(controlPackets(pc.written.mid(before.size()), kIpcp, kConfRej, 0x43).value(0),
                     QByteArray::fromHex("0443000c5508b1b2b3b4b5b6"));
            QCOMPARE(PppEndpoint::dotted(pc.addrs.his_ipaddr), QStringLiteral("10.10.10.10"));

            QCOMPARE(pc.close(), 0);
            QTRY_VERIFY_WITH_TIMEOUT(pc.ended(), 20000);
            QCOMPARE(pc.codes.last(), PppErr::User - PPP_TERMINATION_OFFSET);
            // The peer saw the end too and leaves by itself.
            QTRY_COMPARE_WITH_TIMEOUT(peer.state(), QProcess::NotRunning, 20000);
            QVERIFY(peer.readAllStandardOutput().contains("END"));
        }
        QTRY_COMPARE_WITH_TIMEOUT(pppSessionsInUse(), 0, 15000);
        ::close(slave);
        ::close(master);
    }
};

QTEST_GUILESS_MAIN(TestPppInput)
#include "tst_pppinput.moc"
