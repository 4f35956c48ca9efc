// System-wide single-instance lock: an abstract-namespace Unix socket bound
// under the lock's name. Nothing lives on disk, so no leftover file of another
// user or missing folder can block or bypass it, and the kernel releases the
// name when the process ends, so a crashed instance never blocks the next start.
//
// One instance per machine, whichever user runs it: two instances would fight
// over the same ports. Abstract names belong to a network namespace, so a
// process in another namespace does not see the lock.
#pragma once

#include <QByteArray>

class SingleInstance
{
public:
    // The name every instance of one set-up binds.
    static const char *const kLockName;

    SingleInstance();
    ~SingleInstance();
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    // True when another process holds the lock.
    bool anotherInstanceRunning() const { return m_anotherRunning; }
    // 0, or 183 when another instance holds the lock (the number callers test), or errno.
    int errorCode() const { return m_error; }

    // The abstract socket name (without its leading zero byte). An explicit
    // VELMORA_SYSTEM_DIR marks an independent set-up (tests run several side
    // by side): the name then carries a digest of that folder's path.
    static QByteArray socketName();

private:
    int m_fd = -1;
    int m_error = 0;
    bool m_anotherRunning = false;
};
