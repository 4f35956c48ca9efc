#include "platform/singleinstance.h"

#include <QCryptographicHash>
#include <QDir>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

const char *const SingleInstance::kLockName = "Global\\{842701F9-152B-4C4D-B8F5-F57795613590}";

QByteArray SingleInstance::socketName()
{
    QByteArray name(kLockName);
    const QString folder = qEnvironmentVariable("VELMORA_SYSTEM_DIR");
    if (!folder.isEmpty()) {
        // The folder need not exist yet; its absolute, cleaned path names the set-up.
        const QByteArray path = QFile::encodeName(QDir::cleanPath(QDir(folder).absolutePath()));
        name += '@' + QCryptographicHash::hash(path, QCryptographicHash::Sha256).toHex().left(16);
    }
    return name;
}

SingleInstance::SingleInstance()
{
    const QByteArray name = socketName();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // Abstract namespace: the path starts with a zero byte and is not terminated.
    const size_t length = qMin(size_t(name.size()), sizeof(address.sun_path) - 1);
    std::memcpy(address.sun_path + 1, name.constData(), length);
    const socklen_t size = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + length);

    // Close-on-exec: a helper the program starts (the port driver) must not inherit the lock.
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        m_error = errno;
        return;
    }
    if (::bind(m_fd, reinterpret_cast<sockaddr *>(&address), size) != 0) {
        const int error = errno;
        ::close(m_fd);
        m_fd = -1;
        m_anotherRunning = (error == EADDRINUSE);
        m_error = m_anotherRunning ? 183 : error;
    }
}

SingleInstance::~SingleInstance()
{
    if (m_fd >= 0)
        ::close(m_fd);
}
