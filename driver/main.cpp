// vspd: the virtual serial port pair daemon. See docs/vspd.md.
#include "driver/driverpaths.h"
#include "driver/vspdaemon.h"
#include "log/debug_class.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Detaches from the caller: the parent returns once the daemon can take
// requests (0) or has given up (1), so whoever started it knows at once.
int detach(int *readyFd)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return 1;
    const pid_t pid = ::fork();
    if (pid < 0)
        return 1;
    if (pid > 0) {
        ::close(pipeFds[1]);
        char ready = 0;
        ssize_t n;
        do
            n = ::read(pipeFds[0], &ready, 1);
        while (n < 0 && errno == EINTR);
        return n == 1 && ready == '1' ? 0 : 1;
    }
    ::close(pipeFds[0]);
    ::setsid();
    const int null = ::open("/dev/null", O_RDWR);
    const std::string folder = vspd::driverFolder();
    vspd::makeFolders(folder, 0700);
    const std::string logName = folder + "/vspd.log";
    struct stat st;
    if (::stat(logName.c_str(), &st) == 0 && st.st_size > 1024 * 1024)
        ::rename(logName.c_str(), (logName + ".1").c_str());
    const int log = ::open(logName.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (null >= 0)
        ::dup2(null, STDIN_FILENO);
    if (log >= 0) {
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        ::close(log);
    }
    if (null > STDERR_FILENO)
        ::close(null);
    *readyFd = pipeFds[1];
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    // Descriptors a starting program left open (sockets, terminals) must not live on in the daemon.
    ::close_range(3, ~0u, 0);
    bool background = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--background") == 0) {
            background = true;
        } else {
            std::fprintf(stderr,
                         "usage: vspd [--background]\n"
                         "Holds the virtual serial port pairs of the system folder %s,\n"
                         "ports in %s\n",
                         vspd::systemFolder().c_str(), vspd::portsFolder().c_str());
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
        }
    }
    // Six descriptors a pair: take all the descriptors the system lets us have.
    rlimit files;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    int readyFd = -1;
    if (background) {
        const int rc = detach(&readyFd);
        if (rc >= 0)
            return rc;
    }
    CGlobalDebugFileHandler *log = CGlobalDebugFileHandler::instance();
    log->setNoFile();
    const char *level = std::getenv("VSPD_DEBUG_LEVEL");
    log->setLevel(level ? std::atoi(level) : 4);
    log->start(QString());
    VspDaemon daemon;
    return daemon.run(readyFd);
}
