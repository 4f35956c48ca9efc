#include "platform/singleinstance.h"

#include <QDir>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

const char *const SingleInstance::kLockName = "Global\\{842701F9-152B-4C4D-B8F5-F57795613590}";

QString SingleInstance::lockFilePath()
{
    // VELMORA_SYSTEM_DIR keeps independent set-ups (and tests) on one machine apart.
    QString folder = qEnvironmentVariable("VELMORA_SYSTEM_DIR");
    if (folder.isEmpty())
        folder = QDir::tempPath();
    return folder + QStringLiteral("/velmora-{842701F9-152B-4C4D-B8F5-F57795613590}.lock");
}

SingleInstance::SingleInstance()
{
    const QByteArray path = QFile::encodeName(lockFilePath());
    m_fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (m_fd < 0) {
        // A lock file we may not open belongs to another user's running instance.
        m_error = errno == EACCES ? 183 : errno;
        m_anotherRunning = (errno == EACCES);
        return;
    }
    ::fchmod(m_fd, 0666);
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        m_error = errno == EWOULDBLOCK ? 183 : errno;
        m_anotherRunning = (errno == EWOULDBLOCK);
    }
}

SingleInstance::~SingleInstance()
{
    if (m_fd >= 0)
        ::close(m_fd);
}
