// libvspdctl.so: the control library of the virtual serial port driver.
// C functions with the Windows BOOL convention (non-zero = success); after a
// failure errno holds the reason, the Windows number for the cases callers
// test (2 unknown port, 87 bad argument, 122 buffer too small, 123 bad name,
// 183 name exists, 1053 driver did not start). Each call is one request on
// the daemon's socket; when no daemon answers, the library starts one and
// waits for it a bounded time.
#include "driver/driverpaths.h"
#include "driver/vspdprotocol.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#define VSPDCTL_EXPORT extern "C" __attribute__((visibility("default")))

typedef int BOOL;

extern char **environ;

namespace
{

using Clock = std::chrono::steady_clock;
constexpr auto kStartTimeout = std::chrono::seconds(5);
constexpr int kAnswerTimeoutMs = 10000;

BOOL fail(int error)
{
    errno = error;
    return 0;
}

int connectOnce(const std::string &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// The daemon program: VELMORA_VSPD when set (not in a privileged process,
// whose user must not choose what it starts), else "vspd" beside this library.
std::string daemonProgram()
{
    if (const char *fromEnv = ::secure_getenv("VELMORA_VSPD"))
        if (*fromEnv)
            return fromEnv;
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void *>(&daemonProgram), &info) && info.dli_fname) {
        std::string self = info.dli_fname;
        const size_t slash = self.rfind('/');
        return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/vspd";
    }
    return "vspd";
}

// Starts the daemon and waits until it accepts connections or the time is up.
int startDaemonAndConnect(const std::string &socketPath)
{
    const std::string program = daemonProgram();
    if (::access(program.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "vspdctl: the port driver daemon %s cannot be started: %s\n", program.c_str(),
                     std::strerror(errno));
        errno = vspd::ErrFileNotFound;
        return -1;
    }
    char arg0[] = "vspd";
    char arg1[] = "--background";
    char *argv[] = {arg0, arg1, nullptr};
    pid_t pid = -1;
    // A clean start whatever the caller blocked or ignored; the child detaches itself.
    posix_spawnattr_t attr;
    ::posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD})
        sigaddset(&defaults, sig);
    ::posix_spawnattr_setsigmask(&attr, &none);
    ::posix_spawnattr_setsigdefault(&attr, &defaults);
    ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int spawned = ::posix_spawn(&pid, program.c_str(), nullptr, &attr, argv, environ);
    ::posix_spawnattr_destroy(&attr);
    if (spawned != 0) {
        errno = spawned;
        std::fprintf(stderr, "vspdctl: cannot start %s: %s\n", program.c_str(), std::strerror(errno));
        errno = vspd::ErrServiceNotActive;
        return -1;
    }
    auto deadline = Clock::now() + kStartTimeout;
    bool reaped = false;
    while (Clock::now() < deadline) {
        if (!reaped) {
            int status = 0;
            reaped = ::waitpid(pid, &status, WNOHANG) == pid;
            // It gave up (or lost the race to a daemon starting beside it): a short while more for the
            // latter.
            if (reaped && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
                deadline = std::min(deadline, Clock::now() + std::chrono::milliseconds(500));
        }
        const int fd = connectOnce(socketPath);
        if (fd >= 0) {
            if (!reaped)
                ::waitpid(pid, nullptr, 0); // it has handed over to the daemon; ends at once
            return fd;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!reaped && ::waitpid(pid, nullptr, WNOHANG) != pid)
        ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
    std::fprintf(
        stderr, "vspdctl: the port driver daemon did not answer on %s within %d s (its log: %s/vspd.log)\n",
        socketPath.c_str(), int(std::chrono::seconds(kStartTimeout).count()), vspd::driverFolder().c_str());
    errno = vspd::ErrServiceRequestTimeout;
    return -1;
}

bool sendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool receiveAll(int fd, char *data, size_t size)
{
    while (size > 0) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kAnswerTimeoutMs) <= 0)
            return false;
        const ssize_t n = ::recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// One request and its answer; false with errno set when the daemon refused
// or could not be reached. *answer receives the fields after the error number.
bool call(vspd::Writer &request, std::string *answer = nullptr)
{
    const std::string socketPath = vspd::socketPath();
    int fd = connectOnce(socketPath);
    if (fd < 0 && errno != ENOENT && errno != ECONNREFUSED) {
        // A daemon runs but this user may not talk to it: starting another would not help.
        std::fprintf(stderr, "vspdctl: cannot reach the port driver daemon on %s: %s\n", socketPath.c_str(),
                     std::strerror(errno));
        errno = errno == EACCES || errno == EPERM ? vspd::ErrAccessDenied : vspd::ErrServiceNotActive;
        return false;
    }
    if (fd < 0) {
        fd = startDaemonAndConnect(socketPath);
        if (fd < 0)
            return false;
    }
    const std::vector<char> &bytes = request.bytes();
    char head[8];
    bool ok = sendAll(fd, bytes.data(), bytes.size()) && receiveAll(fd, head, 8);
    uint32_t length = 0, error = 0;
    std::string rest;
    if (ok) {
        vspd::Reader r(head, 8);
        r.u32(&length);
        r.u32(&error);
        ok = length >= 8 && length <= vspd::kMaxMessage;
    }
    if (ok) {
        rest.resize(length - 8);
        ok = receiveAll(fd, &rest[0], rest.size());
    }
    ::close(fd);
    if (!ok) {
        errno = vspd::ErrServiceNotActive;
        return false;
    }
    if (error != vspd::ErrSuccess) {
        errno = int(error);
        return false;
    }
    if (answer)
        *answer = rest;
    errno = 0;
    return true;
}

bool checkName(const char *name)
{
    if (!name) {
        errno = vspd::ErrInvalidParameter;
        return false;
    }
    if (!vspd::validPortName(name)) {
        errno = vspd::ErrInvalidName;
        return false;
    }
    return true;
}

BOOL portRequest(vspd::Operation op, const char *port, uint32_t number)
{
    if (!checkName(port))
        return 0;
    vspd::Writer w(op);
    w.str(port).u32(number);
    return call(w) ? 1 : 0;
}

void putU32(unsigned char *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>((v >> (8 * i)) & 0xFF);
}

} // namespace

VSPDCTL_EXPORT BOOL SetStrictBaudrate(const char *port, uint32_t strict)
{
    return portRequest(vspd::OpSetStrict, port, strict != 0 ? 1 : 0);
}

VSPDCTL_EXPORT BOOL QueryBus(const void *request, uint32_t requestSize, void *buffer, uint32_t bufferSize)
{
    if (!request || requestSize != 8 || (!buffer && bufferSize != 0))
        return fail(vspd::ErrInvalidParameter);
    vspd::Reader req(static_cast<const char *>(request), 8);
    uint32_t size = 0, kind = 0;
    req.u32(&size);
    req.u32(&kind);
    if (size != 8 || kind != 1)
        return fail(vspd::ErrInvalidParameter);
    vspd::Writer w(vspd::OpListPorts);
    std::string answer;
    if (!call(w, &answer))
        return 0;
    struct Port {
        uint32_t instance, peer;
        std::string name;
    };
    std::vector<Port> ports;
    vspd::Reader r(answer.data(), answer.size());
    uint32_t count = 0;
    if (!r.u32(&count))
        return fail(vspd::ErrInvalidParameter);
    size_t needed = 4; // the closing zero length
    for (uint32_t i = 0; i < count; ++i) {
        Port p;
        if (!r.u32(&p.instance) || !r.u32(&p.peer) || !r.str(&p.name))
            return fail(vspd::ErrInvalidParameter);
        needed += (16 + (p.name.size() + 1) * 2 + 3) & ~size_t(3);
        ports.push_back(p);
    }
    if (bufferSize < needed)
        return fail(vspd::ErrInsufficientBuffer);
    unsigned char *out = static_cast<unsigned char *>(buffer);
    std::memset(out, 0, needed);
    for (const Port &p : ports) {
        const uint32_t length = uint32_t((16 + (p.name.size() + 1) * 2 + 3) & ~size_t(3));
        putU32(out, length);
        putU32(out + 4, p.name.empty() ? 0 : 16);
        putU32(out + 8, p.instance);
        putU32(out + 12, p.peer);
        for (size_t c = 0; c < p.name.size(); ++c) // Latin-1 is the first block of UTF-16
            out[16 + 2 * c] = static_cast<unsigned char>(p.name[c]);
        out += length;
    }
    errno = 0;
    return 1;
}

VSPDCTL_EXPORT BOOL CreatePair(const char *first, const char *second)
{
    if (!checkName(first) || !second || (*second && !checkName(second)))
        return second ? 0 : fail(vspd::ErrInvalidParameter);
    vspd::Writer w(vspd::OpCreatePair);
    w.str(first).str(second);
    return call(w) ? 1 : 0;
}

VSPDCTL_EXPORT BOOL DeletePair(const char *port)
{
    if (!checkName(port))
        return 0;
    vspd::Writer w(vspd::OpDeletePair);
    w.str(port);
    return call(w) ? 1 : 0;
}

VSPDCTL_EXPORT BOOL SetBreak(const char *port, BOOL on)
{
    return portRequest(vspd::OpSetBreak, port, on ? 1 : 0);
}

VSPDCTL_EXPORT BOOL SetWiring(const char *port, const void *mask, uint32_t maskSize)
{
    if (!mask || maskSize != 4)
        return fail(vspd::ErrInvalidParameter);
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= uint32_t(static_cast<const unsigned char *>(mask)[i]) << (8 * i);
    return portRequest(vspd::OpSetWiring, port, value);
}

// The device path of the terminal behind an end of a live pair, NUL-terminated
// in buffer: what a caller opens instead of following the end's link, which a
// daemon that died leaves behind. errno 2 when no pair of the running daemon
// has an end of that name, 122 when the buffer is too small.
VSPDCTL_EXPORT BOOL PortDevicePath(const char *port, char *buffer, uint32_t size)
{
    if (!checkName(port))
        return 0;
    if (!buffer && size != 0)
        return fail(vspd::ErrInvalidParameter);
    vspd::Writer w(vspd::OpPortPath);
    w.str(port);
    std::string answer, path;
    if (!call(w, &answer))
        return 0;
    vspd::Reader r(answer.data(), answer.size());
    if (!r.str(&path) || !r.atEnd() || path.empty())
        return fail(vspd::ErrInvalidParameter);
    if (size < path.size() + 1)
        return fail(vspd::ErrInsufficientBuffer);
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    errno = 0;
    return 1;
}

VSPDCTL_EXPORT BOOL DeleteAll(void)
{
    vspd::Writer w(vspd::OpDeleteAll);
    return call(w) ? 1 : 0;
}
