// System-wide single-instance lock. The kernel drops the lock when the
// process ends, so a crashed instance never blocks the next start.
#pragma once

#include <QString>

class SingleInstance
{
public:
    static const char *const kLockName;

    SingleInstance();
    ~SingleInstance();
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    // True when another process holds the lock.
    bool anotherInstanceRunning() const { return m_anotherRunning; }
    // 0, or 183 when another instance holds the lock (the number callers test), or errno.
    int errorCode() const { return m_error; }
    static QString lockFilePath();

private:
    int m_fd = -1;
    int m_error = 0;
    bool m_anotherRunning = false;
};
