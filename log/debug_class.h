// Process-wide logging facility: one file per run, optional copies to
// standard error and to a UDP listener, filtered by level and by system.
#pragma once

#include <QBitArray>
#include <QFile>
#include <QHash>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <atomic>

class CGlobalDebugFileHandler
{
public:
    static CGlobalDebugFileHandler *instance();

    void setFileNames(const QString &baseName, const QString &componentTag);
    void setNoFile();
    bool start(const QString &folder);
    void setLevel(int level);
    int level() const { return m_level.load(std::memory_order_relaxed); }
    void setConsole(int on);
    void SetLogSystems(const QString &systems);
    void registerLogSystems(const QMap<QString, QString> &fileToSystem);
    // An address that does not parse sends to 127.0.0.1; IPv6 addresses
    // (with a scope such as %eth0) are sent to as they are.
    void setUdpTarget(const QString &address, quint16 port);
    bool openLogFile();
    QString logFileName() const;
    void flush();
    static bool isLevelEnabled(int level);
    void write(quint64 threadId, int level, const char *sourceFile, const char *function, int line,
               const QString &text);

    static QString levelTag(int level);
    static quint64 currentThreadId();
    // Back to the state before main configured it; lets tests start from scratch.
    void reset();

private:
    CGlobalDebugFileHandler();
    ~CGlobalDebugFileHandler();
    // Both with the write lock held. writeFileAndUdp returns true when this
    // line is the first the log file refused (a full or failing disk).
    bool writeFileAndUdp(const QString &line);
    bool writeToFile(const QByteArray &bytes);
    void sendDatagram(const QString &stampedLine);
    QString systemMask() const;

    QMutex m_writeLock;
    QFile m_logFile;
    QString m_logFolder;
    QString m_baseName = QStringLiteral("logfile");
    QString m_componentTag;
    std::atomic<int> m_level{99};
    std::atomic<bool> m_consoleOff{false};
    bool m_noFile = false;
    int m_udpSocket = -1;
    QByteArray m_udpTo; // the destination as a socket address (IPv4 or IPv6)
    quint16 m_udpPort = 0;
    // A log file that stops taking lines is said once on standard error and
    // in the UDP copy; the lines lost meanwhile are counted and noted in the
    // file when it takes lines again.
    bool m_fileFailing = false;
    bool m_fileFailureSaid = false;
    qint64 m_lostLines = 0;
    // A failure notice written before the UDP copy was switched on, sent
    // when it is; the next line written is kept when the flag is set.
    bool m_keepNextLineForUdp = false;
    QString m_pendingUdpNotice;
    std::atomic<bool> m_enabled{false};
    QMutex m_consoleLock;
    QBitArray m_systemBits;
    QHash<QString, int> m_fileIndex;
    QHash<QString, int> m_systemIndex;
};

// One log statement: texts and numbers are streamed into the caller's own
// buffer and handed to the facility as one line when the statement ends.
class LogStatement
{
public:
    LogStatement(int level, const char *file, int line, const char *function)
        : m_level(level), m_line(line), m_file(file), m_function(function)
    {
    }
    ~LogStatement();
    LogStatement(const LogStatement &) = delete;
    LogStatement &operator=(const LogStatement &) = delete;

    LogStatement &operator<<(const QString &s)
    {
        m_text += s;
        return *this;
    }
    LogStatement &operator<<(const char *s)
    {
        m_text += QString::fromUtf8(s);
        return *this;
    }
    LogStatement &operator<<(const QByteArray &s)
    {
        m_text += QString::fromUtf8(s);
        return *this;
    }
    LogStatement &operator<<(QChar c)
    {
        m_text += c;
        return *this;
    }
    LogStatement &operator<<(char c)
    {
        m_text += QLatin1Char(c);
        return *this;
    }
    LogStatement &operator<<(bool b)
    {
        m_text += b ? QLatin1String("true") : QLatin1String("false");
        return *this;
    }
    LogStatement &operator<<(int v) { return num(qlonglong(v)); }
    LogStatement &operator<<(unsigned v) { return num(qulonglong(v)); }
    LogStatement &operator<<(long v) { return num(qlonglong(v)); }
    LogStatement &operator<<(unsigned long v) { return num(qulonglong(v)); }
    LogStatement &operator<<(long long v) { return num(qlonglong(v)); }
    LogStatement &operator<<(unsigned long long v) { return num(qulonglong(v)); }
    LogStatement &operator<<(short v) { return num(qlonglong(v)); }
    LogStatement &operator<<(unsigned short v) { return num(qulonglong(v)); }
    LogStatement &operator<<(double v)
    {
        m_text += QString::number(v);
        return *this;
    }

private:
    LogStatement &num(qlonglong v)
    {
        m_text += QString::number(v);
        return *this;
    }
    LogStatement &num(qulonglong v)
    {
        m_text += QString::number(v);
        return *this;
    }

    int m_level;
    int m_line;
    const char *m_file;
    const char *m_function;
    QString m_text;
};

// Statements whose level is filtered out cost one comparison: nothing is streamed.
// Written as a loop that runs at most once so it nests safely under an unbraced if/else.
#define VLOG(level)                                                                                          \
    for (bool vlogOnce_ = (level) < 0 || CGlobalDebugFileHandler::isLevelEnabled(level); vlogOnce_;          \
         vlogOnce_ = false)                                                                                  \
    LogStatement((level), __FILE__, __LINE__, Q_FUNC_INFO)

extern "C" void zzprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
