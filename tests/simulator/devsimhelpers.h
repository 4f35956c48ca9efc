// Helpers of the simulator tests: the simulator as a real process, a
// client on its port speaking the device protocol, its control socket.
#pragma once

#include "tests/support/testenv.h"
#include "varnok/protocol/deviceprotocol.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QStringList>
#include <QTcpServer>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace devsim
{

namespace vp = varnok::protocol;

// The simulator, ended by its pid.
class SimProcess
{
public:
    ~SimProcess() { stop(); }

    // Starts it and waits for "ready"; false when it does not come.
    bool start(const QStringList &args)
    {
        m_process.setProgram(TestEnv::binary(QStringLiteral("tavrel-devsim")));
        m_process.setArguments(args);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start();
        if (!m_process.waitForStarted(10000))
            return false;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 20000) {
            m_process.waitForReadyRead(200);
            while (m_process.canReadLine()) {
                const QString line = QString::fromLocal8Bit(m_process.readLine()).trimmed();
                m_lines << line;
                if (line == QLatin1String("ready"))
                    return true;
            }
            if (m_process.state() != QProcess::Running)
                return false;
        }
        return false;
    }
    qint64 pid() const { return m_process.processId(); }
    // The value after "KEY " of the first start-up line beginning with it.
    QString lineValue(const QString &key) const
    {
        for (const QString &l : m_lines)
            if (l.startsWith(key + QLatin1Char(' ')))
                return l.mid(key.size() + 1);
        return QString();
    }
    QString errors() { return QString::fromLocal8Bit(m_process.readAllStandardError()); }
    void kill(int sig)
    {
        if (m_process.state() == QProcess::Running)
            ::kill(pid_t(m_process.processId()), sig);
        m_process.waitForFinished(10000);
    }
    void stop()
    {
        if (m_process.state() == QProcess::Running)
            kill(SIGTERM);
    }
    // Ends it by SIGTERM; true when it exited normally with 0 (under the sanitizers: no error, no leak).
    bool stopCleanly()
    {
        stop();
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }

private:
    QProcess m_process;
    QStringList m_lines;
};

class ControlClient
{
public:
    bool connectTo(const QString &path)
    {
        m_socket.connectToServer(path);
        return m_socket.waitForConnected(5000);
    }
    // The answer lines up to and including "OK" or "ERR ...".
    QStringList command(const QString &line)
    {
        m_socket.write((line + QLatin1Char('\n')).toUtf8());
        m_socket.flush();
        QStringList out;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000) {
            if (!m_socket.canReadLine() && !m_socket.waitForReadyRead(200))
                continue;
            while (m_socket.canReadLine()) {
                const QString l = QString::fromUtf8(m_socket.readLine()).trimmed();
                out << l;
                if (l == QLatin1String("OK") || l.startsWith(QLatin1String("ERR")))
                    return out;
            }
        }
        out << QStringLiteral("ERR no answer");
        return out;
    }
    // "KEY rest" of an answer line starting with KEY.
    QString value(const QString &line, const QString &key)
    {
        for (const QString &l : command(line))
            if (l.startsWith(key + QLatin1Char(' ')) || l.startsWith(key + QLatin1Char('=')))
                return l.mid(key.size() + 1);
        return QString();
    }

private:
    QLocalSocket m_socket;
};

struct Line {
    int baud = 115200;
    int dataBits = 8;
    char parity = 'N';
    int stopBits = 1;
    char flow = 'R';
};

inline speed_t speedCode(int baud)
{
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    default:
        return B115200;
    }
}

// Whether pseudo-terminals keep 7 data bits and parity here (newer kernels force 8N).
inline bool ptyCarriesFraming()
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    bool kept = false;
    if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0) {
        const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t;
        if (slave >= 0 && ::tcgetattr(slave, &t) == 0) {
            ::cfmakeraw(&t);
            t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB;
            ::tcsetattr(slave, TCSANOW, &t);
            kept = ::tcgetattr(slave, &t) == 0 && (t.c_cflag & CSIZE) == CS7 && (t.c_cflag & PARENB);
        }
        if (slave >= 0)
            ::close(slave);
    }
    if (master >= 0)
        ::close(master);
    return kept;
}

// A PC program's end of a device port: its own terminal settings, whole
// frames out, answers decoded by the protocol's decoder.
class PortClient
{
public:
    ~PortClient() { close(); }
    bool open(const QString &path, const Line &line)
    {
        close();
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0)
            return false;
        return setLine(line);
    }
    bool setLine(const Line &line)
    {
        termios t;
        if (::tcgetattr(m_fd, &t) != 0)
            return false;
        ::cfmakeraw(&t);
        ::cfsetspeed(&t, speedCode(line.baud));
        t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        t.c_cflag |= (line.dataBits == 7 ? CS7 : CS8) | CLOCAL | CREAD;
        if (line.parity != 'N')
            t.c_cflag |= PARENB | (line.parity == 'O' ? PARODD : 0);
        if (line.stopBits == 2)
            t.c_cflag |= CSTOPB;
        if (line.flow == 'R')
            t.c_cflag |= CRTSCTS;
        t.c_iflag &= ~(IXON | IXOFF | IXANY);
        if (line.flow == 'S')
            t.c_iflag |= IXON | IXOFF;
        return ::tcsetattr(m_fd, TCSANOW, &t) == 0;
    }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        m_decoder.reset();
    }
    int fd() const { return m_fd; }

    bool send(const QString &command, const std::vector<vp::Field> &params = {})
    {
        vp::Request r;
        r.seq = ++m_seq;
        r.command = command.toStdString();
        r.params = params;
        const std::string bytes = vp::encodeRequest(r);
        return !bytes.empty() && ::write(m_fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    }
    quint16 lastSeq() const { return m_seq; }

    // The next answer within ms; false when none came (or the line broke: *lineLost).
    bool answer(vp::Response *out, int ms, bool *lineLost = nullptr)
    {
        if (lineLost)
            *lineLost = false;
        QElapsedTimer t;
        t.start();
        vp::Frame frame;
        while (!m_decoder.next(&frame)) {
            const int left = ms - int(t.elapsed());
            if (left <= 0)
                return false;
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0)
                continue;
            char buf[4096];
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (n <= 0) {
                if (lineLost)
                    *lineLost = true;
                return false;
            }
            m_decoder.feed(buf, size_t(n));
        }
        return vp::parseResponse(frame, out);
    }
    // One request and its answer, which must carry the request's serial.
    bool ask(const QString &command, const std::vector<vp::Field> &params, vp::Response *out, int ms = 3000)
    {
        return send(command, params) && answer(out, ms) && out->seq == m_seq;
    }
    quint64 rejectedFrames() const { return m_decoder.rejectedFrames(); }

private:
    int m_fd = -1;
    quint16 m_seq = 0;
    vp::FrameDecoder m_decoder;
};

inline QString field(const vp::Response &r, const char *name)
{
    const vp::Field *f = vp::findField(r.fields, name);
    return f ? QString::fromStdString(vp::cp1250ToUtf8(f->value)) : QStringLiteral("<none>");
}

// A port on 127.0.0.1 nobody listens on now.
inline quint16 freePort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

// Waits until cond() holds or ms passed.
template <typename F> bool waitFor(F cond, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms)
            return false;
        QThread::msleep(20);
    }
    return true;
}

} // namespace devsim
