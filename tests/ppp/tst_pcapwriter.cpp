#include "runtime/pcapwriter.h"

#include "../net/packets.h"
#include "tests/support/logcapture.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

using testpackets::udpPacket;

static quint32 le32(const QByteArray &d, int off)
{
    return qFromLittleEndian<quint32>(reinterpret_cast<const uchar *>(d.constData()) + off);
}

class TestPcapWriter : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void headerAndRecordLayout()
    {
        LogCapture log;
        const QString name = dir.filePath("layout.pcap");
        const QByteArray packet = udpPacket(0x0A0A0A14, 0x0A0A0A0A, 1000, 2000, QByteArray(32, 'x'));
        QCOMPARE(packet.size(), 60);
        {
            PCAPWriter w(name);
            w.appendPCAP(&packet, Q_INT64_C(1700000000123));
            // Complete after every record, before the writer is gone.
            QFile f(name);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.size(), qint64(24 + 16 + 60));
        }
        QFile f(name);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray d = f.readAll();
        QCOMPARE(d.left(4), QByteArray::fromHex("d4c3b2a1"));
        QCOMPARE(d.mid(4, 4), QByteArray::fromHex("02000400"));
        QCOMPARE(le32(d, 8), 0u);
        QCOMPARE(le32(d, 12), 0u);
        QCOMPARE(le32(d, 16), 65535u);
        QCOMPARE(le32(d, 20), 228u);
        QCOMPARE(le32(d, 24), 1700000000u);
        QCOMPARE(le32(d, 28), 123000u);
        QCOMPARE(le32(d, 32), 60u);
        QCOMPARE(le32(d, 36), 60u);
        QCOMPARE(d.mid(40), packet);
        QVERIFY(log.contains("Created PCAP log file:" + name));
        QVERIFY(log.contains("Dump to PCAP file: 60 bytes packet"));
    }

    void reopeningTruncatesAndClockIsWholeMilliseconds()
    {
        const QString name = dir.filePath("again.pcap");
        const QByteArray packet = udpPacket(1, 2, 3, 4, "abc");
        {
            PCAPWriter w(name);
            w.appendPCAP(&packet);
            w.appendPCAP(&packet);
        }
        {
            PCAPWriter w(name);
            w.appendPCAP(&packet);
        }
        QFile f(name);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray d = f.readAll();
        QCOMPARE(d.size(), 24 + 16 + packet.size());
        QCOMPARE(le32(d, 28) % 1000, 0u);
        QVERIFY(le32(d, 28) < 1000000u);
    }

    void missingFolderMakesAppendsNoOps()
    {
        LogCapture log;
        const QString name = dir.filePath("no/such/folder/x.pcap");
        {
            PCAPWriter w(name);
            const QByteArray packet = udpPacket(1, 2, 3, 4, "abc");
            w.appendPCAP(&packet);
            w.appendPCAP(nullptr);
        }
        QVERIFY(!QFile::exists(name));
        QVERIFY(log.contains("Could not create PCAP log file:" + name));
        QVERIFY(!log.contains("Dump to PCAP file"));
    }

    void captureToolReadsRawIPv4()
    {
        const QString tshark = QStandardPaths::findExecutable("tshark");
        if (tshark.isEmpty())
            QSKIP("tshark is not installed");
        const QString name = dir.filePath("tools.pcap");
        {
            PCAPWriter w(name);
            const QByteArray a = udpPacket(0x0A0A0A14, 0x0A0A0A0A, 40000, 6666, "hello");
            const QByteArray b = udpPacket(0x0A0A0A0A, 0x0A0A0A14, 6666, 40000, QByteArray(1400, 'z'));
            w.appendPCAP(&a);
            w.appendPCAP(&b);
        }
        QProcess p;
        p.start(tshark, {"-n", "-r", name, "-T", "fields", "-E", "separator=,", "-e", "frame.len", "-e",
                         "ip.src", "-e", "ip.dst", "-e", "udp.dstport", "-e", "ip.checksum.status"});
        QVERIFY(p.waitForFinished(60000));
        const QString out = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
        QCOMPARE(p.exitCode(), 0);
        const QStringList lines = out.split('\n');
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[0].startsWith("33,10.10.10.20,10.10.10.10,6666"), qPrintable(out));
        QVERIFY2(lines[1].startsWith("1428,10.10.10.10,10.10.10.20,40000"), qPrintable(out));

        // The link type is what tools call raw IPv4.
        p.start(tshark, {"-n", "-r", name, "-T", "fields", "-e", "frame.encap_type"});
        QVERIFY(p.waitForFinished(60000));
        QVERIFY(!p.readAllStandardOutput().trimmed().isEmpty());
        QProcess cap;
        cap.start("capinfos", {"-E", name});
        if (cap.waitForFinished(30000) && cap.exitCode() == 0)
            QVERIFY2(cap.readAllStandardOutput().contains("IPv4"), "capinfos does not see raw IPv4");
    }
};

QTEST_GUILESS_MAIN(TestPcapWriter)
#include "tst_pcapwriter.moc"
