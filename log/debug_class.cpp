#include "log/debug_class.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{
// Created before main runs, like every other process-wide object of the program.
[[maybe_unused]] CGlobalDebugFileHandler *g_handler = CGlobalDebugFileHandler::instance();

QString timestampText()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("[yyyyMMdd hhmmss.zzz] "));
}
} // namespace

CGlobalDebugFileHandler *CGlobalDebugFileHandler::instance()
{
    // Never destroyed: worker threads may still log while static objects are torn down.
    static CGlobalDebugFileHandler *handler = new CGlobalDebugFileHandler;
    return handler;
}

CGlobalDebugFileHandler::CGlobalDebugFileHandler() {}

CGlobalDebugFileHandler::~CGlobalDebugFileHandler()
{
    if (m_udpSocket >= 0)
        ::close(m_udpSocket);
}

quint64 CGlobalDebugFileHandler::currentThreadId()
{
    return quint64(::syscall(SYS_gettid));
}

QString CGlobalDebugFileHandler::levelTag(int level)
{
    if (level >= 16)
        return QStringLiteral("[PARANOID]");
    if (level >= 6)
        return QStringLiteral("[DEBUG   ]");
    if (level >= 4)
        return QStringLiteral("[INFO    ]");
    if (level >= -10)
        return QStringLiteral("[WARNING ]");
    if (level >= -50)
        return QStringLiteral("[ERROR   ]");
    if (level >= -100)
        return QStringLiteral("[CRITICAL]");
    return QStringLiteral("[UNKNOWN!]");
}

void CGlobalDebugFileHandler::setFileNames(const QString &baseName, const QString &componentTag)
{
    QMutexLocker lock(&m_writeLock);
    m_baseName = baseName;
    m_componentTag = componentTag;
}

void CGlobalDebugFileHandler::setNoFile()
{
    QMutexLocker lock(&m_writeLock);
    m_noFile = true;
}

bool CGlobalDebugFileHandler::start(const QString &folder)
{
    m_enabled = true;
    {
        QMutexLocker lock(&m_writeLock);
        m_logFolder = folder;
    }
    const QString banner =
        QStringLiteral("-------------------------------NEW RUN-------------------------------------");
    if (m_noFile) {
        QMutexLocker lock(&m_writeLock);
        writeFileAndUdp(banner);
        return true;
    }
    if (!openLogFile())
        return false;
    bool failedNow;
    QString fileError;
    {
        QMutexLocker lock(&m_writeLock);
        failedNow = !writeToFile(banner.toUtf8() + '\n') && !m_fileFailureSaid;
        if (failedNow) {
            m_fileFailureSaid = true;
            m_keepNextLineForUdp = true;
            fileError = m_logFile.errorString();
        }
    }
    if (failedNow)
        VLOG(-10) << "Log file " << logFileName() << " cannot be written (" << fileError
                  << "); the program goes on, its log lines are lost until the file takes them again";
    return true;
}

bool CGlobalDebugFileHandler::openLogFile()
{
    QString name;
    bool ok;
    {
        QMutexLocker lock(&m_writeLock);
        if (m_logFile.isOpen())
            m_logFile.close();
        name = QStringLiteral("%1/%2-%3_%4.log")
                   .arg(m_logFolder, m_baseName,
                        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-ddThh-mm-ss")))
                   .arg(qint64(::getpid()));
        m_logFile.setFileName(name);
        // Unbuffered: every line is written at once anyway, and a write the
        // disk refuses fails right there instead of lingering in a buffer.
        ok = m_logFile.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
        m_fileFailing = false;
        m_lostLines = 0;
        if (!ok)
            m_keepNextLineForUdp = true;
    }
    if (!ok) {
        VLOG(-100) << "Could not open log file name:" << name;
        return false;
    }
    VLOG(4) << "Openned log file :" << name;
    return true;
}

QString CGlobalDebugFileHandler::logFileName() const
{
    return m_logFile.fileName();
}

void CGlobalDebugFileHandler::flush()
{
    QMutexLocker lock(&m_writeLock);
    if (m_logFile.isOpen())
        m_logFile.flush();
}

void CGlobalDebugFileHandler::setLevel(int level)
{
    m_level.store(level, std::memory_order_relaxed);
}

void CGlobalDebugFileHandler::setConsole(int on)
{
    m_consoleOff = (on == 0);
}

bool CGlobalDebugFileHandler::isLevelEnabled(int level)
{
    return level <= instance()->m_level.load(std::memory_order_relaxed);
}

void CGlobalDebugFileHandler::registerLogSystems(const QMap<QString, QString> &fileToSystem)
{
    m_enabled = true;
    {
        QMutexLocker lock(&m_writeLock);
        m_fileIndex.clear();
        m_systemIndex.clear();
        int i = 1;
        for (auto it = fileToSystem.constBegin(); it != fileToSystem.constEnd(); ++it, ++i) {
            m_fileIndex.insert(it.key(), i);
            m_systemIndex.insert(it.value(), i);
        }
        m_systemBits = QBitArray(m_systemIndex.size() + 1);
    }
    SetLogSystems(QStringLiteral("all"));
}

QString CGlobalDebugFileHandler::systemMask() const
{
    QString mask;
    for (int i = 0; i < m_systemBits.size(); ++i)
        mask += m_systemBits.testBit(i) ? QLatin1Char('1') : QLatin1Char('0');
    return mask;
}

void CGlobalDebugFileHandler::SetLogSystems(const QString &systems)
{
    VLOG(4) << "Seting debugging to : '" << systems << "'";
    QString mask;
    {
        QMutexLocker lock(&m_writeLock);
        const QStringList parts = systems.split(QLatin1Char(','), Qt::SkipEmptyParts);
        for (QString part : parts) {
            bool on = true;
            if (part.startsWith(QLatin1Char('-'))) {
                on = false;
                part.remove(0, 1);
            } else if (part.startsWith(QLatin1Char('+'))) {
                part.remove(0, 1);
            }
            if (part == QLatin1String("all")) {
                m_systemBits.fill(on);
            } else {
                auto it = m_systemIndex.constFind(part);
                if (it != m_systemIndex.constEnd())
                    m_systemBits.setBit(it.value(), on);
            }
        }
        mask = systemMask();
    }
    VLOG(4) << "Seting debugging mask to : '" << mask << "'";
}

void CGlobalDebugFileHandler::setUdpTarget(const QString &address, quint16 port)
{
    QHostAddress parsed(address);
    if (parsed.isNull())
        parsed = QHostAddress(QHostAddress::LocalHost);
    QByteArray to;
    int family;
    if (parsed.protocol() == QAbstractSocket::IPv6Protocol) {
        sockaddr_in6 a6{};
        a6.sin6_family = AF_INET6;
        a6.sin6_port = htons(port);
        const Q_IPV6ADDR bytes = parsed.toIPv6Address();
        std::memcpy(&a6.sin6_addr, bytes.c, sizeof(bytes.c));
        // A scope is an interface name or number (link-local addresses need it).
        const QString scope = parsed.scopeId();
        bool numeric = false;
        a6.sin6_scope_id = scope.toUInt(&numeric);
        if (!numeric && !scope.isEmpty())
            a6.sin6_scope_id = ::if_nametoindex(scope.toLocal8Bit().constData());
        to = QByteArray(reinterpret_cast<const char *>(&a6), sizeof(a6));
        family = AF_INET6;
    } else {
        sockaddr_in a4{};
        a4.sin_family = AF_INET;
        a4.sin_port = htons(port);
        a4.sin_addr.s_addr = htonl(parsed.toIPv4Address());
        to = QByteArray(reinterpret_cast<const char *>(&a4), sizeof(a4));
        family = AF_INET;
    }
    // A plain socket rather than QUdpSocket: datagrams are sent from every
    // thread that logs, and a QObject socket belongs to one thread. The
    // kernel binds it to a free local port on the first send.
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    QMutexLocker lock(&m_writeLock);
    if (m_udpSocket >= 0)
        ::close(m_udpSocket);
    m_udpSocket = fd;
    m_udpTo = to;
    m_udpPort = port;
    if (!m_pendingUdpNotice.isEmpty()) {
        sendDatagram(timestampText() + m_pendingUdpNotice);
        m_pendingUdpNotice.clear();
    }
}

bool CGlobalDebugFileHandler::writeToFile(const QByteArray &bytes)
{
    if (m_fileFailing) {
        // The gap is noted before the first line the file takes again.
        const QString note =
            QStringLiteral(
                "%1 #%2# <debug_class.cpp|%3@%4> :: Log file takes lines again, %5 lines were lost")
                .arg(levelTag(-10), QString::number(currentThreadId(), 16), QString::number(__LINE__),
                     QString::fromUtf8(Q_FUNC_INFO), QString::number(m_lostLines));
        const QByteArray noteBytes = (timestampText() + note + QLatin1Char('\n')).toUtf8();
        if (m_logFile.write(noteBytes) != noteBytes.size()) {
            ++m_lostLines;
            return false;
        }
        m_fileFailing = false;
        m_lostLines = 0;
    }
    if (m_logFile.write(bytes) == bytes.size())
        return true;
    m_fileFailing = true;
    ++m_lostLines;
    return false;
}

void CGlobalDebugFileHandler::sendDatagram(const QString &stampedLine)
{
    if (m_udpSocket < 0)
        return;
    const QByteArray datagram = (QStringLiteral("[%1-PID=%2]").arg(m_componentTag).arg(qint64(::getpid())) +
                                 stampedLine + QLatin1Char('\n'))
                                    .toUtf8();
    ::sendto(m_udpSocket, datagram.constData(), size_t(datagram.size()), MSG_DONTWAIT,
             reinterpret_cast<const sockaddr *>(m_udpTo.constData()), socklen_t(m_udpTo.size()));
}

bool CGlobalDebugFileHandler::writeFileAndUdp(const QString &line)
{
    const QString stamp = timestampText();
    bool failedNow = false;
    if (m_logFile.isOpen() && !m_noFile) {
        if (!writeToFile((stamp + line + QLatin1Char('\n')).toUtf8()) && !m_fileFailureSaid) {
            m_fileFailureSaid = true;
            failedNow = true;
        }
    }
    sendDatagram(stamp + line);
    return failedNow;
}

void CGlobalDebugFileHandler::write(quint64 threadId, int level, const char *sourceFile, const char *function,
                                    int line, const QString &text)
{
    if (!m_enabled)
        return;
    QString formatted;
    bool fileFailedNow = false;
    QString fileName;
    QString fileError;
    {
        QMutexLocker lock(&m_writeLock);
        const char *slash = std::strrchr(sourceFile, '/');
        const QString source = QString::fromUtf8(slash ? slash + 1 : sourceFile);
        if (level >= 0) {
            if (level > m_level.load(std::memory_order_relaxed))
                return;
            auto it = m_fileIndex.constFind(source);
            if (it != m_fileIndex.constEnd() && !m_systemBits.testBit(it.value()))
                return;
        }
        formatted = QStringLiteral("%1 #%2# <%3|%4@%5> :: %6")
                        .arg(levelTag(level), QString::number(threadId, 16), source, QString::number(line),
                             QString::fromUtf8(function), text);
        if (m_keepNextLineForUdp) {
            m_keepNextLineForUdp = false;
            if (m_udpSocket < 0)
                m_pendingUdpNotice = formatted;
        }
        fileFailedNow = writeFileAndUdp(formatted);
        if (fileFailedNow)
            m_keepNextLineForUdp = true;
        fileName = m_logFile.fileName();
        fileError = m_logFile.errorString();
    }
    if (!m_consoleOff || level < 0) {
        QMutexLocker lock(&m_consoleLock);
        const QByteArray bytes = formatted.toLocal8Bit() + '\n';
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
        std::fflush(stderr);
    }
    // Said once, at a negative level: it reaches standard error whatever the
    // console setting, and the UDP copy (now or when it is switched on).
    if (fileFailedNow)
        VLOG(-10) << "Log file " << fileName << " cannot be written (" << fileError
                  << "); the program goes on, its log lines are lost until the file takes them again";
}

void CGlobalDebugFileHandler::reset()
{
    QMutexLocker lock(&m_writeLock);
    if (m_logFile.isOpen())
        m_logFile.close();
    m_logFile.setFileName(QString());
    m_logFolder.clear();
    m_baseName = QStringLiteral("logfile");
    m_componentTag.clear();
    m_level = 99;
    m_consoleOff = false;
    m_noFile = false;
    if (m_udpSocket >= 0)
        ::close(m_udpSocket);
    m_udpSocket = -1;
    m_udpTo.clear();
    m_udpPort = 0;
    m_fileFailing = false;
    m_fileFailureSaid = false;
    m_lostLines = 0;
    m_keepNextLineForUdp = false;
    m_pendingUdpNotice.clear();
    m_enabled = false;
    m_systemBits.clear();
    m_fileIndex.clear();
    m_systemIndex.clear();
}

LogStatement::~LogStatement()
{
    CGlobalDebugFileHandler::instance()->write(CGlobalDebugFileHandler::currentThreadId(), m_level, m_file,
                                               m_function, m_line, m_text);
}

extern "C" void zzprintf(const char *format, ...)
{
    char buffer[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    const QString text = QString::fromLocal8Bit(buffer).trimmed();
    if (CGlobalDebugFileHandler::isLevelEnabled(6))
        CGlobalDebugFileHandler::instance()->write(CGlobalDebugFileHandler::currentThreadId(), 6, "main",
                                                   __PRETTY_FUNCTION__, __LINE__, text);
}
