#include "simulator/ptyport.h"

#include "log/debug_class.h"

#include <QDir>
#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace
{

struct SpeedEntry {
    speed_t code;
    int baud;
};

const SpeedEntry kSpeeds[] = {{B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
                              {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},
                              {B1200, 1200},     {B1800, 1800},     {B2400, 2400},     {B4800, 4800},
                              {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
                              {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};

speed_t speedCode(int baud)
{
    for (const SpeedEntry &e : kSpeeds)
        if (e.baud == baud)
            return e.code;
    return B9600;
}

int speedBaud(speed_t code)
{
    for (const SpeedEntry &e : kSpeeds)
        if (e.code == code)
            return e.baud;
    return 0;
}

} // namespace

PtyPort::PtyPort(QObject *parent) : QObject(parent) {}

PtyPort::~PtyPort()
{
    unpublish();
    close();
}

bool PtyPort::open(const LineSettings &initial, QString *error)
{
    close();
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        *error = QStringLiteral("cannot create a pseudo-terminal: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
        if (master >= 0)
            ::close(master);
        return false;
    }
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) {
        *error = QStringLiteral("cannot name the pseudo-terminal: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
        ::close(master);
        return false;
    }
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave < 0) {
        *error = QStringLiteral("cannot open %1: %2")
                     .arg(QString::fromLocal8Bit(name), QString::fromLocal8Bit(std::strerror(errno)));
        ::close(master);
        return false;
    }
    // Raw with the device's own settings, as a port looks before a PC program sets it.
    termios t;
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, speedCode(initial.baud));
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= (initial.dataBits == 7 ? CS7 : CS8) | CLOCAL | CREAD;
    if (initial.parity != 'N')
        t.c_cflag |= PARENB | (initial.parity == 'O' ? PARODD : 0);
    if (initial.stopBits == 2)
        t.c_cflag |= CSTOPB;
    if (initial.flow == 'R')
        t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (initial.flow == 'S')
        t.c_iflag |= IXON | IXOFF;
    ::tcsetattr(slave, TCSANOW, &t);
    m_master = master;
    m_slave = slave;
    m_terminal = QString::fromLocal8Bit(name);
    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &PtyPort::readReady);
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &PtyPort::writeReady);
    return true;
}

void PtyPort::close()
{
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
    m_slave = m_master = -1;
    m_pending.clear();
}

bool PtyPort::peerSettings(LineSettings *out) const
{
    termios t;
    // On a master the terminal calls act on the other end: this reads what the PC program set.
    if (m_master < 0 || ::tcgetattr(m_master, &t) != 0)
        return false;
    out->baud = speedBaud(::cfgetospeed(&t));
    out->dataBits = (t.c_cflag & CSIZE) == CS7   ? 7
                    : (t.c_cflag & CSIZE) == CS8 ? 8
                                                 : 5 + int((t.c_cflag & CSIZE) >> 4);
    out->parity = !(t.c_cflag & PARENB) ? 'N' : (t.c_cflag & PARODD) ? 'O' : 'E';
    out->stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    out->flow = (t.c_cflag & CRTSCTS) ? 'R' : (t.c_iflag & (IXON | IXOFF)) ? 'S' : 'N';
    return true;
}

int PtyPort::unreadBytes() const
{
    int queued = 0;
    if (m_slave < 0 || ::ioctl(m_slave, FIONREAD, &queued) != 0)
        queued = 0;
    return m_pending.size() + queued;
}

bool PtyPort::carriesFraming()
{
    static const bool carries = [] {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0)
            return false;
        bool kept = false;
        char name[128];
        if (::grantpt(master) == 0 && ::unlockpt(master) == 0 &&
            ::ptsname_r(master, name, sizeof name) == 0) {
            const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
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
        ::close(master);
        return kept;
    }();
    return carries;
}

void PtyPort::write(const QByteArray &bytes)
{
    if (m_master < 0)
        return;
    m_pending.append(bytes);
    writeReady();
}

void PtyPort::writeReady()
{
    while (!m_pending.isEmpty()) {
        const ssize_t n = ::write(m_master, m_pending.constData(), size_t(m_pending.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        m_pending.remove(0, int(n));
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(!m_pending.isEmpty());
}

void PtyPort::readReady()
{
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        emit received(QByteArray(buf, int(n)));
        if (m_master < 0) // a receiver closed the port
            break;
    }
}

bool PtyPort::publish(const QString &folder, const QString &name, const QString &description, QString *error)
{
    unpublish();
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("cannot create the device ports folder %1").arg(folder);
        return false;
    }
    const QString link = folder + QLatin1Char('/') + name;
    const QByteArray linkPath = QFile::encodeName(link);
    // The description first, then the link in one step: a reader never sees a link without it.
    QFile info(link + QStringLiteral(".info.tmp"));
    if (!info.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("cannot write %1").arg(info.fileName());
        return false;
    }
    info.write(QStringLiteral("pid=%1\ntarget=%2\ndescription=%3\n")
                   .arg(::getpid())
                   .arg(m_terminal, description)
                   .toUtf8());
    info.close();
    if (::rename(QFile::encodeName(info.fileName()).constData(),
                 QFile::encodeName(link + QStringLiteral(".info")).constData()) != 0) {
        *error = QStringLiteral("cannot write %1.info").arg(link);
        return false;
    }
    const QByteArray tmp = linkPath + ".tmp";
    ::unlink(tmp.constData());
    if (::symlink(QFile::encodeName(m_terminal).constData(), tmp.constData()) != 0 ||
        ::rename(tmp.constData(), linkPath.constData()) != 0) {
        *error = QStringLiteral("cannot link %1: %2").arg(link, QString::fromLocal8Bit(std::strerror(errno)));
        ::unlink(tmp.constData());
        return false;
    }
    m_link = link;
    VLOG(4) << "device port " << name << " published as " << link << " -> " << m_terminal;
    return true;
}

void PtyPort::unpublish()
{
    if (m_link.isEmpty())
        return;
    ::unlink(QFile::encodeName(m_link).constData());
    ::unlink(QFile::encodeName(m_link + QStringLiteral(".info")).constData());
    m_link.clear();
}
