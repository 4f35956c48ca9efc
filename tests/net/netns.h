// A network namespace of one test: created with "ip netns add", entered by
// the calling thread (sockets it opens afterwards live there), left and
// deleted when the object goes, also when the test fails half-way.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

class NetNamespace
{
public:
    NetNamespace()
    {
        static int counter = 0;
        m_name = QStringLiteral("velmora-t%1-%2").arg(::getpid()).arg(++counter);
        if (::geteuid() != 0) {
            m_skipReason =
                QStringLiteral("needs root: CAP_NET_ADMIN and CAP_SYS_ADMIN for a private network namespace");
            return;
        }
        QString err;
        if (!run({"netns", "add", m_name}, &err)) {
            m_skipReason = QStringLiteral("cannot create a network namespace: ") + err.trimmed();
            return;
        }
        m_created = true;
        run({"-n", m_name, "link", "set", "lo", "up"});
    }
    ~NetNamespace()
    {
        leave();
        if (m_created)
            run({"netns", "delete", m_name});
    }
    NetNamespace(const NetNamespace &) = delete;
    NetNamespace &operator=(const NetNamespace &) = delete;

    bool ok() const { return m_created; }
    QString skipReason() const { return m_skipReason; }
    QString name() const { return m_name; }

    // Moves the calling thread into the namespace.
    bool enter()
    {
        if (!m_created || m_saved >= 0)
            return m_saved >= 0;
        m_saved = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const int fd = ::open(("/run/netns/" + m_name).toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
        const bool entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0)
            ::close(fd);
        if (!entered) {
            ::close(m_saved);
            m_saved = -1;
        }
        return entered;
    }
    void leave()
    {
        if (m_saved >= 0) {
            ::setns(m_saved, CLONE_NEWNET);
            ::close(m_saved);
            m_saved = -1;
        }
    }

    // "ip -n NAME <args>"; false with the error output when it fails.
    bool ip(const QStringList &args, QString *out = nullptr) const
    {
        return run(QStringList{"-n", m_name} + args, out);
    }

    static bool run(const QStringList &args, QString *out = nullptr)
    {
        QProcess p;
        p.start(QStringLiteral("ip"), args);
        if (!p.waitForFinished(20000)) {
            p.kill();
            p.waitForFinished(2000);
            if (out)
                *out = QStringLiteral("ip did not finish");
            return false;
        }
        if (out)
            *out = QString::fromLocal8Bit(p.readAllStandardOutput() + p.readAllStandardError());
        return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

private:
    QString m_name;
    QString m_skipReason;
    bool m_created = false;
    int m_saved = -1;
};
