// The paced serial output both engines use, on a real pseudo-terminal: the
// far end stops reading and the port is closed and opened again while a
// chunk is held, and every byte still arrives once, in order, never more
// than one chunk of at most 64 bytes handed to the port at a time. And the
// port settings as the terminal really has them.
#include "runtime/serialportsetup.h"
#include "runtime/serialpump.h"

#include <QSerialPort>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace
{

// The far end of a pseudo-terminal, read whenever it is not paused.
class FarEnd
{
public:
    FarEnd()
    {
        m_fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_fd < 0 || ::grantpt(m_fd) != 0 || ::unlockpt(m_fd) != 0)
            return;
        m_path = QString::fromLocal8Bit(::ptsname(m_fd));
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read);
        QObject::connect(m_notifier, &QSocketNotifier::activated, [this]() { drain(); });
    }
    ~FarEnd()
    {
        delete m_notifier;
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool ok() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }
    void setReading(bool on) { m_notifier->setEnabled(on); }

    QByteArray received;

private:
    void drain()
    {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n > 0) {
                received.append(buf, int(n));
                continue;
            }
            // EIO: the terminal's side is closed for the moment; its reopen
            // makes it readable again.
            if (n < 0 && errno == EIO)
                m_notifier->setEnabled(false);
            return;
        }
    }

    int m_fd = -1;
    QString m_path;
    QSocketNotifier *m_notifier = nullptr;
};

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + (i >> 9)) & 0xff);
    return bytes;
}

} // namespace

class TestSerialPump : public QObject
{
    Q_OBJECT

private slots:
    void stallAndReopenStayByteExact()
    {
        FarEnd far;
        QVERIFY(far.ok());
        QSerialPort port;
        port.setPortName(far.path());
        QVERIFY(port.open(QIODevice::ReadWrite));

        ChunkPump pump;
        pump.setDevice(&port);
        int handovers = 0;
        qint64 confirmed = 0;
        bool tooBig = false;
        const auto handOver = [&]() {
            const qint64 n = pump.writeNext();
            if (n == 0)
                return;
            ++handovers;
            // One chunk of at most 64 bytes is all the port ever holds.
            if (n < 0 || n > ChunkPump::kChunkSize || port.bytesToWrite() > ChunkPump::kChunkSize)
                tooBig = true;
        };
        QObject::connect(&port, &QSerialPort::bytesWritten, [&](qint64 n) {
            confirmed += n;
            if (pump.confirm(n))
                handOver();
        });

        // Far more than the terminal buffers, so the writer is held back.
        const QByteArray payload = pattern(1024 * 1024);
        // The far end does not read yet: the terminal fills up and the pump
        // stalls with one chunk held.
        far.setReading(false);
        QVERIFY(pump.append(payload.left(1000)));
        handOver();
        QVERIFY(!pump.append(payload.mid(1000)));
        QCOMPARE(pump.inFlight(), ChunkPump::kChunkSize);
        QElapsedTimer waited;
        waited.start();
        for (int last = -1; pump.size() != last && waited.elapsed() < 20000;) {
            last = pump.size();
            QTest::qWait(300);
        }
        QVERIFY(pump.size() > 0);
        QVERIFY(pump.inFlight() > 0 && pump.inFlight() <= ChunkPump::kChunkSize);

        // The port goes and comes back while the chunk is held: what the
        // close dropped goes again, nothing that was written does.
        const int held = pump.size();
        pump.settleBeforeClose();
        // Written by the port, its notification not come yet: confirmed here.
        confirmed += held - pump.size();
        port.close();
        QCOMPARE(pump.writeNext(), qint64(0)); // a closed port takes nothing
        QVERIFY(port.open(QIODevice::ReadWrite));
        handOver();
        far.setReading(true);

        QTRY_VERIFY_WITH_TIMEOUT(pump.isEmpty(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(far.received.size() >= payload.size(), 10000);
        QTest::qWait(100);
        int same = 0;
        while (same < payload.size() && same < far.received.size() && payload[same] == far.received[same])
            ++same;
        QVERIFY2(far.received == payload,
                 qPrintable(QStringLiteral("%1 bytes received, %2 sent, first difference at %3")
                                .arg(far.received.size())
                                .arg(payload.size())
                                .arg(same)));
        QCOMPARE(confirmed, qint64(payload.size()));
        QVERIFY(!tooBig);
        QVERIFY(handovers >= payload.size() / ChunkPump::kChunkSize);
        QCOMPARE(pump.inFlight(), 0);
        QCOMPARE(pump.writeNext(), qint64(0));

        // A partly confirmed chunk keeps its rest outstanding; clear drops all.
        pump.append(QByteArray(100, 'x'));
        pump.setDevice(nullptr);
        QCOMPARE(pump.writeNext(), qint64(0));
        pump.clear();
        QVERIFY(pump.isEmpty());
        QCOMPARE(pump.inFlight(), 0);
    }

    // Chunks handed straight to the terminal: a turn ends at its budget
    // with the rest left for a continuation; a terminal that fills up
    // refuses a chunk (or takes it in part), the port object holds what it
    // did not take, and the port is reopened with that held; every byte
    // arrives once, in order, never more than one chunk of at most 64 bytes
    // held by the port.
    void directPumpKeepsOrderThroughStallAndReopen()
    {
        FarEnd far;
        QVERIFY(far.ok());
        QSerialPort port;
        port.setPortName(far.path());
        QVERIFY(port.open(QIODevice::ReadWrite));
        ChunkPump pump;
        pump.setDevice(&port);
        pump.setDescriptor([&port]() { return port.isOpen() ? qintptr(port.handle()) : qintptr(-1); }, false);

        qint64 direct = 0, viaPort = 0;
        bool tooBig = false;
        const auto counted = [&](qint64 n) {
            direct += n;
            if (n <= 0 || n > ChunkPump::kChunkSize)
                tooBig = true;
        };
        // The budget ends exactly with the queue: nothing is left, no
        // continuation is due. One byte more is left for one.
        QVERIFY(pump.append(pattern(4 * ChunkPump::kChunkSize)));
        QCOMPARE(int(pump.pump(4, counted)), int(ChunkPump::Pumped::Idle));
        QVERIFY(pump.isEmpty());
        QVERIFY(pump.append(pattern(4 * ChunkPump::kChunkSize + 1)));
        QCOMPARE(int(pump.pump(4, counted)), int(ChunkPump::Pumped::MoreDue));
        QCOMPARE(pump.size(), 1);
        QCOMPARE(int(pump.pump(4, counted)), int(ChunkPump::Pumped::Idle));
        QCOMPARE(direct, qint64(8 * ChunkPump::kChunkSize + 1));
        QTRY_COMPARE_WITH_TIMEOUT(far.received.size(), int(direct), 10000);
        QCOMPARE(far.received, pattern(4 * ChunkPump::kChunkSize) + pattern(4 * ChunkPump::kChunkSize + 1));
        QCOMPARE(port.bytesToWrite(), qint64(0));
        far.received.clear();
        direct = 0;

        // The way the engine drives it: a turn at a time, confirmations of
        // the port object start the next turn from the event loop.
        int turns = 0;
        std::function<void()> turn = [&]() {
            ++turns;
            if (pump.pump(ChunkPump::kChunksPerTurn, counted) == ChunkPump::Pumped::MoreDue)
                QMetaObject::invokeMethod(&port, turn, Qt::QueuedConnection);
            if (port.bytesToWrite() > ChunkPump::kChunkSize)
                tooBig = true;
        };
        QObject::connect(&port, &QSerialPort::bytesWritten, [&](qint64 n) {
            viaPort += n;
            if (pump.confirm(n))
                QMetaObject::invokeMethod(&port, turn, Qt::QueuedConnection);
        });

        const QByteArray payload = pattern(1024 * 1024);
        far.setReading(false);
        QVERIFY(pump.append(payload));
        turn();
        QElapsedTimer waited;
        waited.start();
        for (int last = -1; pump.size() != last && waited.elapsed() < 20000;) {
            last = pump.size();
            QTest::qWait(300);
        }
        // Stalled on a full terminal with the rest of a chunk in the port.
        QVERIFY(pump.size() > 0);
        QVERIFY(pump.inFlight() > 0 && pump.inFlight() <= ChunkPump::kChunkSize);
        QVERIFY(direct > 0);

        const int held = pump.size();
        pump.settleBeforeClose();
        viaPort += held - pump.size();
        port.close();
        QCOMPARE(int(pump.pump(ChunkPump::kChunksPerTurn, counted)), int(ChunkPump::Pumped::Waiting));
        QVERIFY(port.open(QIODevice::ReadWrite));
        turn();
        far.setReading(true);

        QTRY_VERIFY_WITH_TIMEOUT(pump.isEmpty(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(far.received.size() >= payload.size(), 10000);
        QTest::qWait(100);
        QCOMPARE(far.received.size(), payload.size());
        QVERIFY(far.received == payload);
        QCOMPARE(direct + viaPort, qint64(payload.size()));
        QVERIFY(viaPort > 0);
        QVERIFY(!tooBig);
        QVERIFY(turns > payload.size() / (ChunkPump::kChunksPerTurn * ChunkPump::kChunkSize));
        QCOMPARE(port.bytesToWrite(), qint64(0));
    }

    // To a connection the pump hands chunks straight to the socket and keeps
    // it corked while a backlog waits, so the kernel cuts full segments
    // rather than sending a lone chunk whenever the peer has acknowledged
    // everything. A receiver that stops reading makes the kernel refuse
    // part of a chunk (the rest goes through the socket object); once all
    // is confirmed the cork must be off, or a following short message would
    // wait in the kernel for its 200 ms limit.
    void socketBacklogCorkedThenReleased()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        // Segments as on a real link (loopback's are 64 KiB, where the pump
        // must not cork: its send buffer does not hold two of them).
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int segment = 1460;
        QCOMPARE(::setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment), 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(server.serverPort());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        QTcpSocket socket;
        QVERIFY(socket.setSocketDescriptor(fd));
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket *peer = server.nextPendingConnection();
        peer->setReadBufferSize(4096); // the receiver stops reading while paused
        const int small = 4096;
        ::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        ::setsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        const auto corked = [&socket]() {
            int value = -1;
            socklen_t length = sizeof value;
            ::getsockopt(int(socket.socketDescriptor()), IPPROTO_TCP, TCP_CORK, &value, &length);
            return value;
        };

        ChunkPump pump;
        pump.setDevice(&socket);
        pump.setDescriptor([&socket]() { return socket.socketDescriptor(); }, true);
        QByteArray received;
        bool reading = false;
        QObject::connect(peer, &QTcpSocket::readyRead, [&]() {
            if (reading)
                received += peer->readAll();
        });
        int corkedWhileBacklog = 0;
        std::function<void()> turn = [&]() {
            if (pump.pump(ChunkPump::kChunksPerTurn) == ChunkPump::Pumped::MoreDue)
                QMetaObject::invokeMethod(&socket, turn, Qt::QueuedConnection);
            if (!pump.isEmpty() && corked() == 1)
                ++corkedWhileBacklog;
        };
        QObject::connect(&socket, &QTcpSocket::bytesWritten, [&](qint64 n) {
            if (pump.confirm(n))
                QMetaObject::invokeMethod(&socket, turn, Qt::QueuedConnection);
        });

        const QByteArray payload = pattern(2 * 1024 * 1024);
        QVERIFY(pump.append(payload));
        turn();
        QTest::qWait(300);
        // Stalled: the kernel is full, a backlog waits, the socket corked.
        QVERIFY(pump.size() > 0);
        QCOMPARE(corked(), 1);
        reading = true;
        received += peer->readAll();
        QTRY_VERIFY_WITH_TIMEOUT(received.size() >= payload.size(), 30000);
        QVERIFY(pump.isEmpty());
        QVERIFY(received == payload);
        QVERIFY(corkedWhileBacklog > 0);
        QCOMPARE(corked(), 0);

        // A lone short message: never corked, so it leaves at once.
        received.clear();
        QVERIFY(pump.append("status?"));
        turn();
        QCOMPARE(corked(), 0);
        QTRY_COMPARE(received, QByteArray("status?"));

        // A send buffer smaller than two of loopback's segments: never
        // corked (a corked partial segment that cannot grow would wait
        // 200 ms each time, 1 MiB took half a minute), the backlog flows.
        QTcpSocket plain;
        plain.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QVERIFY(plain.waitForConnected(5000));
        ::setsockopt(int(plain.socketDescriptor()), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket *plainPeer = server.nextPendingConnection();
        QByteArray plainReceived;
        QObject::connect(plainPeer, &QTcpSocket::readyRead, [&]() { plainReceived += plainPeer->readAll(); });
        ChunkPump direct;
        direct.setDevice(&plain);
        direct.setDescriptor([&plain]() { return plain.socketDescriptor(); }, true);
        std::function<void()> directTurn = [&]() {
            if (direct.pump(ChunkPump::kChunksPerTurn) == ChunkPump::Pumped::MoreDue)
                QMetaObject::invokeMethod(&plain, directTurn, Qt::QueuedConnection);
            int value = -1;
            socklen_t length = sizeof value;
            ::getsockopt(int(plain.socketDescriptor()), IPPROTO_TCP, TCP_CORK, &value, &length);
            if (value != 0)
                ++corkedWhileBacklog;
        };
        QObject::connect(&plain, &QTcpSocket::bytesWritten, [&](qint64 n) {
            if (direct.confirm(n))
                QMetaObject::invokeMethod(&plain, directTurn, Qt::QueuedConnection);
        });
        corkedWhileBacklog = 0;
        const QByteArray second = pattern(1024 * 1024);
        QVERIFY(direct.append(second));
        directTurn();
        QTRY_COMPARE_WITH_TIMEOUT(plainReceived.size(), second.size(), 10000);
        QVERIFY(plainReceived == second);
        QCOMPARE(corkedWhileBacklog, 0);
    }

    // A pseudo-terminal refuses 7 data bits: that setting is refused, and
    // the ones after it still reach the terminal.
    void settingsReachTheTerminal()
    {
        FarEnd far;
        QVERIFY(far.ok());
        QSerialPort port;
        port.setPortName(far.path());
        QVERIFY(port.open(QIODevice::ReadWrite));
        SerialPortSettings wanted;
        wanted.baudRate = 19200;
        wanted.stopBits = QSerialPort::TwoStop;
        wanted.flowControl = QSerialPort::SoftwareControl;
        QVERIFY2(applySerialSettings(&port, wanted, VLOG_SITE), qPrintable(port.errorString()));
        termios tio{};
        QCOMPARE(::tcgetattr(int(port.handle()), &tio), 0);
        QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
        QVERIFY(tio.c_cflag & CSTOPB);
        QVERIFY((tio.c_iflag & IXON) && (tio.c_iflag & IXOFF));
        QCOMPARE(port.baudRate(), 19200);

        SerialPortSettings refused;
        refused.dataBits = QSerialPort::Data7;
        refused.stopBits = QSerialPort::OneStop;
        QVERIFY(!applySerialSettings(&port, refused, VLOG_SITE));
        QCOMPARE(::tcgetattr(int(port.handle()), &tio), 0);
        QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
        QVERIFY(!(tio.c_cflag & CSTOPB));
        QVERIFY(!(tio.c_iflag & IXON));
        QCOMPARE(port.baudRate(), 9600);
    }
};

QTEST_GUILESS_MAIN(TestSerialPump)
#include "tst_serialpump.moc"
