// The device protocol codec: frames spelt out byte for byte, a stream of good frames mixed with
// garbage and spoilt frames cut into every piece size, the value escape, Windows-1250 and the command
// table's refusals.
#include "varnok/protocol/deviceprotocol.h"

#include <QtTest>

namespace proto = varnok::protocol;

class TestDeviceProtocol : public QObject
{
    Q_OBJECT

private slots:
    void framesSurviveGarbageInAnyPieces()
    {
        QCOMPARE(proto::crc16("123456789"), std::uint16_t(0x29B1));
        proto::Request sdev{1, "!sdev", {}};
        QCOMPARE(proto::encodeRequest(sdev), std::string("\x02Q00010005!sdev3141\x03"));
        proto::Response ready{1, 0, {{"ds", "0"}}};
        QCOMPARE(proto::encodeResponse(ready), std::string("\x02"
                                                           "A0001000D00000000;ds=0BF05\x03"));

        // A value with every byte the frame may not carry as it is.
        std::string raw;
        for (int b = 0; b < 256; ++b)
            raw.push_back(char(b));
        proto::Request set{0xFFFF, "comcfgset", {{"no", "1"}, {"nm", raw}, {"x_1", "a=b;c\\"}}};
        const std::string frame = proto::encodeRequest(set);
        QVERIFY(!frame.empty());
        for (std::size_t i = 1; i + 1 < frame.size(); ++i)
            QVERIFY(frame[i] >= 0x20 && frame[i] <= 0x7E);

        std::string spoilt = proto::encodeResponse(ready);
        spoilt[12] = '1'; // checksum no longer matches
        std::string cut = proto::encodeRequest(sdev).substr(0, 9);
        const std::string stream = std::string("\x11\x13junk\x03") + frame + spoilt + cut + frame +
                                   "\x02"
                                   "A" +
                                   proto::encodeResponse(ready) + std::string(5000, 'z') + "\x02" +
                                   std::string(5000, 'y') + frame;
        for (std::size_t piece :
             {std::size_t(1), std::size_t(2), std::size_t(7), std::size_t(4096), stream.size()}) {
            proto::FrameDecoder d;
            for (std::size_t at = 0; at < stream.size(); at += piece)
                d.feed(stream.data() + at, std::min(piece, stream.size() - at));
            QCOMPARE(d.pending(), std::size_t(4));
            proto::Frame f;
            proto::Request req;
            proto::Response resp;
            QVERIFY(d.next(&f) && proto::parseRequest(f, &req));
            QCOMPARE(req.seq, std::uint16_t(0xFFFF));
            QCOMPARE(req.command, set.command);
            QVERIFY(req.params == set.params);
            QVERIFY(d.next(&f) && proto::parseRequest(f, &req));
            QVERIFY(d.next(&f) && proto::parseResponse(f, &resp));
            QVERIFY(resp.fields == ready.fields && resp.status == 0 && resp.seq == 1);
            QVERIFY(!proto::parseRequest(f, &req)); // an answer is no request
            QVERIFY(d.next(&f) && proto::parseRequest(f, &req));
            QVERIFY(!d.next(&f));
            QCOMPARE(d.rejectedFrames(), std::uint64_t(4)); // spoilt, cut, lone "A", the endless y run
        }

        // Over-long payloads are not written; broken escapes are not read.
        QVERIFY(proto::encodeRequest({1, "sid", {{"nm", std::string(3994, 'x')}}}).empty());
        QVERIFY(proto::encodeRequest({1, "bad;cmd", {}}).empty());
        std::string out;
        QVERIFY(!proto::unescapeValue("ab\\4", &out));
        QVERIFY(!proto::unescapeValue("ab\\4g", &out));
        QVERIFY(proto::unescapeValue("\\B9\\5C", &out) && out == "\xB9\\");

        // Windows-1250: Polish letters both ways; every byte survives a round trip.
        QCOMPARE(
            proto::cp1250ToUtf8("\xA5\xC6\xCA\xA3\xD1\xD3\x8C\x8F\xAF\xB9\xE6\xEA\xB3\xF1\xF3\x9C\x9F\xBF"),
            std::string("ĄĆĘŁŃÓŚŹŻąćęłńóśźż"));
        bool exact = false;
        QCOMPARE(proto::utf8ToCp1250(proto::cp1250ToUtf8(raw), &exact), raw);
        QVERIFY(exact);
        QCOMPARE(proto::utf8ToCp1250("a€ж\xC3", &exact), std::string("a\x80??"));
        QVERIFY(!exact);

        // The parameter text and the command table.
        std::vector<proto::Field> fields;
        QVERIFY(proto::parseParamText("no,1\nnm,a,b", &fields));
        QCOMPARE(fields.size(), std::size_t(2));
        QCOMPARE(fields[1].value, std::string("a,b"));
        QCOMPARE(proto::paramText(fields), std::string("no,1\nnm,a,b"));
        QVERIFY(!proto::parseParamText("no1", &fields));
        QVERIFY(!proto::parseParamText("n o,1", &fields));
        using R = proto::Request;
        QCOMPARE(proto::checkRequest(R{1, "nosuch", {}}), proto::status::kUnknownCommand);
        QCOMPARE(proto::checkRequest(R{1, "!sdev", {{"x", "1"}}}), proto::status::kUnknownParam);
        QCOMPARE(proto::checkRequest(R{1, "comcfgget", {}}), proto::status::kMissingParam);
        QCOMPARE(proto::checkRequest(R{1, "comcfgset", {{"no", "1"}, {"sp", "9601"}}}),
                 proto::status::kBadParamValue);
        QCOMPARE(proto::checkRequest(R{1, "comcfgset", {{"no", "1"}, {"sp", "09600"}}}),
                 proto::status::kBadParamValue);
        QCOMPARE(proto::checkRequest(R{1, "pccfgset", {{"id", "4"}}}), proto::status::kMissingParam);
        QCOMPARE(proto::checkRequest(R{1, "pccfgset", {{"id", "4"}, {"no", "6666"}}}), proto::status::kOk);
        QCOMPARE(proto::checkRequest(R{1, "tcpipcfgset", {{"id", "3"}, {"ma", "255.0.255.0"}}}),
                 proto::status::kBadParamValue);
        QCOMPARE(proto::checkRequest(R{1,
                                       "tcpipcfgset",
                                       {{"id", "1"},
                                        {"no", "2"},
                                        {"dh", "0"},
                                        {"ip", "10.10.10.10"},
                                        {"ge", "10.10.10.1"},
                                        {"ma", "255.255.255.0"}}}),
                 proto::status::kOk);
        QCOMPARE(proto::checkRequest(R{1, "tunnelset", {{"sp", "1"}, {"en", "1"}, {"da", "0"}}}),
                 proto::status::kBadParamValue);
        QCOMPARE(QString::fromUtf8(proto::statusText(proto::status::kNoAnswer)),
                 QStringLiteral("Urządzenie nie odpowiada."));
        QVERIFY(!proto::statusText(0x12345));
    }
};

QTEST_GUILESS_MAIN(TestDeviceProtocol)
#include "tst_deviceprotocol.moc"
