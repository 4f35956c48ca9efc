#include "driver/vspdaemon.h"

#include "driver/driverpaths.h"
#include "driver/vspdprotocol.h"
#include "log/debug_class.h"
#include "platform/pairrecord.h"
#include "platform/registrystore.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

const char kNullPrefix[] = "NULL_";

enum DaemonKind : uint64_t {
    KindListen = 1,
    KindSignal = 2,
    KindInotify = 3,
    KindClient = 4,
    KindRecount = 5,
    KindClientTimer = 6
};

int64_t monotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

uint64_t daemonKey(DaemonKind kind, int fd)
{
    return (uint64_t(1) << 63) | (uint64_t(kind) << 32) | uint32_t(fd);
}

std::string upper(const std::string &name)
{
    return vspd::upperName(name);
}

// The link of a port is named as programs spell the port's name in a path:
// the 8-bit (Latin-1) name in UTF-8, the encoding of file names here.
std::string fileName(const std::string &name)
{
    std::string utf8;
    for (char c : name) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            utf8 += c;
        } else {
            utf8 += char(0xC0 | (b >> 6));
            utf8 += char(0x80 | (b & 0x3F));
        }
    }
    return utf8;
}

QString latin1(const std::string &s)
{
    return QString::fromLatin1(s.data(), int(s.size()));
}

std::string fromLatin1(const QString &s)
{
    return s.toLatin1().toStdString();
}

gid_t dialoutGroup()
{
    const group *g = ::getgrnam("dialout");
    return g ? g->gr_gid : 0;
}

// The folder belongs to whoever runs the daemon; for root, to root and the dialout group.
bool restrictFolder(const std::string &path)
{
    if (::geteuid() == 0)
        return ::chown(path.c_str(), 0, dialoutGroup()) == 0 && ::chmod(path.c_str(), 0750) == 0;
    return ::chmod(path.c_str(), 0700) == 0;
}

} // namespace

VspDaemon::VspDaemon() = default;

VspDaemon::~VspDaemon()
{
    shutdown();
}

int VspDaemon::run(int readyFd)
{
    if (!takeFolder())
        return 1;
    // Until they go, the links a killed daemon left lead programs that open a port to whatever terminal
    // got its number since: they go first, once the lock shows that no other daemon owns them.
    removeStaleLinks();
    if (!listenOnSocket())
        return 1;
    m_epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    m_inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    m_signalFd = ::signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    m_recountFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    m_clientTimerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_epollFd < 0 || m_inotifyFd < 0 || m_signalFd < 0 || m_recountFd < 0 || m_clientTimerFd < 0) {
        VLOG(-100) << "vspd cannot set up its event loop: " << std::strerror(errno);
        return 1;
    }
    const std::pair<int, DaemonKind> sources[] = {{m_listenFd, KindListen},
                                                  {m_signalFd, KindSignal},
                                                  {m_inotifyFd, KindInotify},
                                                  {m_recountFd, KindRecount},
                                                  {m_clientTimerFd, KindClientTimer}};
    for (const auto &s : sources) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = daemonKey(s.second, s.first);
        ::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, s.first, &ev);
    }
    m_registry.reset(new RegistryStore(QString::fromStdString(vspd::systemFolder())));
    m_registry->createKey(PairRecord::portsKey());
    // Without its folder, socket or pid file nobody can find this daemon, and a
    // second one would start beside it: it ends instead (the records stay).
    m_folderWatch =
        ::inotify_add_watch(m_inotifyFd, m_driverFolder.c_str(), IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF);
    restoreRecordedPairs();
    VLOG(4) << "vspd " << ::getpid() << " serving " << QString::fromStdString(m_driverFolder) << ", ports in "
            << QString::fromStdString(m_portsFolder);
    if (readyFd >= 0) {
        const char ready = '1';
        (void)::write(readyFd, &ready, 1);
        ::close(readyFd);
    }
    loop();
    VLOG(4) << "vspd " << ::getpid() << " ends";
    shutdown();
    return 0;
}

bool VspDaemon::takeFolder()
{
    m_driverFolder = vspd::driverFolder();
    m_portsFolder = vspd::portsFolder();
    m_socketPath = vspd::socketPath();
    if (!vspd::makeFolders(m_driverFolder, 0700) || !restrictFolder(m_driverFolder)) {
        std::fprintf(stderr, "vspd: cannot prepare the folder %s: %s\n", m_driverFolder.c_str(),
                     std::strerror(errno));
        return false;
    }
    if (!vspd::makeFolders(m_portsFolder, 0700) || !restrictFolder(m_portsFolder)) {
        std::fprintf(stderr, "vspd: cannot prepare the ports folder %s: %s\n", m_portsFolder.c_str(),
                     std::strerror(errno));
        return false;
    }
    const std::string pidFile = vspd::pidPath();
    m_lockFd = ::open(pidFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_lockFd < 0) {
        std::fprintf(stderr, "vspd: cannot open %s: %s\n", pidFile.c_str(), std::strerror(errno));
        return false;
    }
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        char pid[32] = {0};
        (void)::pread(m_lockFd, pid, sizeof pid - 1, 0);
        pid[std::strcspn(pid, "\n")] = '\0';
        std::fprintf(stderr, "vspd: another daemon (pid %s) already serves %s\n", pid,
                     m_driverFolder.c_str());
        ::close(m_lockFd);
        m_lockFd = -1;
        return false;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(m_lockFd, 0) != 0 || ::pwrite(m_lockFd, pid.data(), pid.size(), 0) != ssize_t(pid.size()))
        VLOG(-10) << "vspd cannot write its pid file: " << std::strerror(errno);
    return true;
}

bool VspDaemon::listenOnSocket()
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (m_socketPath.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "vspd: the socket path %s is too long (at most %zu bytes)\n",
                     m_socketPath.c_str(), sizeof addr.sun_path - 1);
        return false;
    }
    std::memcpy(addr.sun_path, m_socketPath.c_str(), m_socketPath.size() + 1);
    ::unlink(m_socketPath.c_str()); // left by a daemon that was killed; we hold the lock now
    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const mode_t oldMask = ::umask(0077);
    const bool bound =
        m_listenFd >= 0 && ::bind(m_listenFd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    ::umask(oldMask);
    bool ok = bound;
    if (ok && ::geteuid() == 0)
        ok =
            ::chown(m_socketPath.c_str(), 0, dialoutGroup()) == 0 && ::chmod(m_socketPath.c_str(), 0660) == 0;
    else if (ok)
        ok = ::chmod(m_socketPath.c_str(), 0600) == 0;
    if (!ok || ::listen(m_listenFd, 64) != 0) {
        std::fprintf(stderr, "vspd: cannot listen on %s: %s\n", m_socketPath.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

// Links a daemon that was killed left behind lead to terminal numbers that any
// program may hold by now. None of them is ours (we hold the lock and have no
// pairs yet), so they go before a port of ours could be reached through one.
void VspDaemon::removeStaleLinks()
{
    DIR *folder = ::opendir(m_portsFolder.c_str());
    if (!folder) {
        VLOG(-10) << "vspd cannot read its ports folder " << QString::fromStdString(m_portsFolder) << ": "
                  << std::strerror(errno);
        return;
    }
    const int folderFd = ::dirfd(folder);
    int removed = 0;
    while (const dirent *entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        struct stat st;
        char target[256] = {0};
        if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode) ||
            ::readlinkat(folderFd, name.c_str(), target, sizeof target - 1) <= 0)
            continue;
        // Only links to pseudo-terminals are of the kind we make (and half-made ones of ours).
        if ((std::strncmp(target, "/dev/pts/", 9) == 0 || name.compare(0, 6, ".vspd-") == 0) &&
            ::unlinkat(folderFd, name.c_str(), 0) == 0)
            ++removed;
    }
    ::closedir(folder);
    if (removed > 0)
        VLOG(4) << "vspd removed " << removed << " links a previous daemon left in "
                << QString::fromStdString(m_portsFolder);
}

void VspDaemon::restoreRecordedPairs()
{
    const QStringList records = m_registry->subKeys(PairRecord::portsKey());
    for (const QString &record : records) {
        PairRecord pair;
        if (PairRecord::read(*m_registry, record, &pair) != RegistryStore::Success) {
            VLOG(-10) << "vspd skips the record " << record << ": it has no Port1";
            continue;
        }
        std::string error;
        const uint32_t rc = createPair(fromLatin1(pair.port1), fromLatin1(pair.port2), true, pair.strict,
                                       pair.wiring, &error);
        if (rc != vspd::ErrSuccess)
            VLOG(-10) << "vspd cannot recreate the pair of record " << record << ": "
                      << QString::fromStdString(error);
        else
            VLOG(4) << "vspd recreated the pair of record " << record;
    }
}

void VspDaemon::loop()
{
    epoll_event events[64];
    while (m_running) {
        const int n = ::epoll_wait(m_epollFd, events, 64, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            VLOG(-100) << "vspd epoll_wait failed: " << std::strerror(errno);
            return;
        }
        // Opens and closes first, so bytes read below meet the current state of their ends.
        for (int i = 0; i < n; ++i)
            if (events[i].data.u64 == daemonKey(KindInotify, m_inotifyFd))
                drainInotify();
        for (int i = 0; i < n && m_running; ++i) {
            const uint64_t k = events[i].data.u64;
            if (k >> 63) {
                const int fd = int(uint32_t(k));
                switch (DaemonKind((k >> 32) & 0xFF)) {
                case KindListen:
                    acceptClients();
                    break;
                case KindSignal: {
                    signalfd_siginfo info;
                    while (::read(m_signalFd, &info, sizeof info) == sizeof info) {
                        VLOG(4) << "vspd received signal " << int(info.ssi_signo);
                        m_running = false;
                    }
                    break;
                }
                case KindInotify:
                    break;
                case KindRecount:
                    recountTimer();
                    break;
                case KindClientTimer:
                    clientTimer();
                    break;
                case KindClient:
                    serveClient(fd, events[i].events);
                    break;
                }
                continue;
            }
            const auto it = m_pairs.find(uint32_t(k >> 32));
            if (it == m_pairs.end())
                continue; // deleted by an earlier event of this round
            PairRelay &pair = *it->second;
            const int index = int(k & 0xFF);
            if (((k >> 8) & 0xFF) == PairRelay::KindTimer) {
                pair.timer(index);
                continue;
            }
            if (events[i].events & EPOLLOUT)
                pair.writable(index);
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
                pair.readable(index);
        }
    }
}

void VspDaemon::shutdown()
{
    // Links go, records stay: the next daemon recreates the pairs.
    while (!m_pairs.empty()) {
        PairRelay &pair = *m_pairs.begin()->second;
        for (int i = 0; i < 2; ++i)
            unlinkPort(pair.end(i).name, pair.end(i).pts);
        m_pairs.erase(m_pairs.begin());
    }
    m_watches.clear();
    while (!m_clients.empty())
        closeClient(m_clients.begin()->first);
    for (int *fd : {&m_listenFd, &m_signalFd, &m_inotifyFd, &m_recountFd, &m_clientTimerFd, &m_epollFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    if (m_lockFd >= 0) {
        ::unlink(m_socketPath.c_str());
        if (::ftruncate(m_lockFd, 0) != 0)
            VLOG(-10) << "vspd cannot clear its pid file";
        ::close(m_lockFd);
        m_lockFd = -1;
    }
}

void VspDaemon::acceptClients()
{
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        // A flood of idle connections must neither exhaust our descriptors nor lock out later callers.
        if (m_clients.size() >= kMaxClients && !makeRoomForClient()) {
            ::close(fd);
            continue;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = daemonKey(KindClient, fd);
        ::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &ev);
        Client &c = m_clients[fd];
        c.since = monotonicMs();
        if (m_clients.size() == 1)
            armClientTimer();
    }
}

// Sends the oldest client that is still sending its request away; false when
// every client has its answer on the way.
bool VspDaemon::makeRoomForClient()
{
    int oldest = -1;
    int64_t since = 0;
    for (const auto &c : m_clients) {
        if (!c.second.out.empty())
            continue;
        if (oldest < 0 || c.second.since < since) {
            oldest = c.first;
            since = c.second.since;
        }
    }
    if (oldest < 0)
        return false;
    closeClient(oldest);
    return true;
}

// Wakes up when the oldest client's deadline is due.
void VspDaemon::armClientTimer()
{
    itimerspec at{};
    if (!m_clients.empty()) {
        int64_t oldest = m_clients.begin()->second.since;
        for (const auto &c : m_clients)
            oldest = std::min(oldest, c.second.since);
        const int64_t due = std::max<int64_t>(oldest + kClientDeadlineMs - monotonicMs(), 1);
        at.it_value.tv_sec = due / 1000;
        at.it_value.tv_nsec = (due % 1000) * 1000000;
    }
    ::timerfd_settime(m_clientTimerFd, 0, &at, nullptr);
}

void VspDaemon::clientTimer()
{
    uint64_t expirations;
    while (::read(m_clientTimerFd, &expirations, sizeof expirations) > 0) {
    }
    const int64_t now = monotonicMs();
    std::vector<int> late;
    for (const auto &c : m_clients)
        if (now - c.second.since >= kClientDeadlineMs)
            late.push_back(c.first);
    for (int fd : late)
        closeClient(fd);
    if (!late.empty())
        VLOG(6) << "vspd closed " << int(late.size()) << " connections that did not finish in time";
    armClientTimer();
}

void VspDaemon::closeClient(int fd)
{
    ::epoll_ctl(m_epollFd, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    m_clients.erase(fd);
}

void VspDaemon::serveClient(int fd, uint32_t events)
{
    auto it = m_clients.find(fd);
    if (it == m_clients.end())
        return;
    Client &c = it->second;
    if (c.out.empty()) {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                c.in.insert(c.in.end(), buf, buf + n);
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                closeClient(fd);
                return;
            }
            if (errno == EAGAIN)
                break;
        }
        if (c.in.size() < 4)
            return;
        vspd::Reader header(c.in.data(), 4);
        uint32_t length = 0;
        header.u32(&length);
        if (length < 8 || length > vspd::kMaxMessage || c.in.size() > length) {
            closeClient(fd);
            return;
        }
        if (c.in.size() < length)
            return;
        c.out = execute(c.in.data(), c.in.size());
        epoll_event ev{};
        ev.events = EPOLLOUT;
        ev.data.u64 = daemonKey(KindClient, fd);
        ::epoll_ctl(m_epollFd, EPOLL_CTL_MOD, fd, &ev);
    } else if (!(events & EPOLLOUT)) {
        return;
    }
    while (c.sent < c.out.size()) {
        const ssize_t n = ::write(fd, c.out.data() + c.sent, c.out.size() - c.sent);
        if (n > 0) {
            c.sent += size_t(n);
            continue;
        }
        if (n < 0 && errno == EAGAIN)
            return;
        break;
    }
    closeClient(fd);
}

std::vector<char> VspDaemon::execute(const char *request, size_t size)
{
    vspd::Reader r(request + 4, size - 4);
    uint32_t op = 0;
    r.u32(&op);
    std::string name, second, error;
    uint32_t number = 0;
    uint32_t rc = vspd::ErrSuccess;
    switch (op) {
    case vspd::OpPing:
        break;
    case vspd::OpCreatePair:
        if (!r.str(&name) || !r.str(&second) || !r.atEnd()) {
            rc = vspd::ErrInvalidParameter;
            break;
        }
        rc = createPair(name, second, false, false, 0, &error);
        if (rc != vspd::ErrSuccess)
            VLOG(-10) << "vspd refused to create '" << latin1(name) << "','" << latin1(second)
                      << "': " << QString::fromStdString(error);
        break;
    case vspd::OpDeletePair:
    case vspd::OpSetStrict:
    case vspd::OpSetWiring:
    case vspd::OpSetBreak: {
        if (!r.str(&name) || (op != vspd::OpDeletePair && !r.u32(&number)) || !r.atEnd()) {
            rc = vspd::ErrInvalidParameter;
            break;
        }
        PairRelay *pair = findPair(name);
        if (!pair) {
            rc = vspd::ErrFileNotFound;
            break;
        }
        const QString record = recordKey(*pair);
        if (op == vspd::OpDeletePair) {
            VLOG(4) << "vspd deletes the pair of " << latin1(name);
            m_registry->deleteTree(PairRecord::keyOf(record));
            deletePair(pair->id());
        } else if (op == vspd::OpSetStrict) {
            pair->setStrict(number != 0);
            PairRecord::updateStrict(*m_registry, record, number != 0);
        } else if (op == vspd::OpSetWiring) {
            pair->setWiring(number);
            PairRecord::updateWiring(*m_registry, record, number);
        }
        // A break has no way through a pseudo-terminal; the port only has to exist.
        break;
    }
    case vspd::OpDeleteAll: {
        VLOG(4) << "vspd deletes all " << int(m_pairs.size()) << " pairs";
        QStringList records;
        while (!m_pairs.empty()) {
            PairRelay &pair = *m_pairs.begin()->second;
            records.append(PairRecord::keyOf(recordKey(pair)));
            deletePair(pair.id());
        }
        if (!records.isEmpty())
            m_registry->deleteTrees(records);
        break;
    }
    case vspd::OpPortPath: {
        if (!r.str(&name) || !r.atEnd()) {
            rc = vspd::ErrInvalidParameter;
            break;
        }
        const PairRelay *pair = findPair(name);
        if (!pair) {
            rc = vspd::ErrFileNotFound;
            break;
        }
        vspd::Writer w(vspd::ErrSuccess);
        w.str(pair->end(pair->endNamed(upper(name))).pts);
        return w.bytes();
    }
    case vspd::OpListPorts: {
        vspd::Writer w(vspd::ErrSuccess);
        w.u32(uint32_t(m_pairs.size() * 2));
        for (const auto &p : m_pairs)
            for (int i = 0; i < 2; ++i)
                w.u32(p.second->end(i).instance)
                    .u32(p.second->end(1 - i).instance)
                    .str(p.second->end(i).name);
        return w.bytes();
    }
    default:
        rc = vspd::ErrInvalidParameter;
        break;
    }
    vspd::Writer w(rc);
    return w.bytes();
}

uint32_t VspDaemon::createPair(const std::string &first, const std::string &second, bool fromRecord,
                               bool strict, uint32_t wiring, std::string *error)
{
    if (!vspd::validPortName(first) || (!second.empty() && !vspd::validPortName(second))) {
        *error = "a port name must be 1 to 64 characters without '/', '..' or control characters";
        return vspd::ErrInvalidName;
    }
    const std::string name0 = first;
    const std::string name1 = second.empty() ? kNullPrefix + first : second;
    if (upper(name0) == upper(name1)) {
        *error = "both ends cannot have the same name";
        return vspd::ErrInvalidParameter;
    }
    if (nameInUse(upper(name0)) || nameInUse(upper(name1))) {
        *error = "a port of that name exists";
        return vspd::ErrAlreadyExists;
    }
    const uint32_t id = m_nextPairId++;
    std::unique_ptr<PairRelay> pair(new PairRelay(id, m_epollFd, m_inotifyFd));
    pair->first = first;
    pair->second = second;
    pair->refreshOpeners = [this] { drainInotify(); };
    const uint32_t instance0 = m_nextInstance++;
    const uint32_t instance1 = m_nextInstance++;
    if (!pair->open(name0, instance0, name1, instance1, error))
        return vspd::ErrNotEnoughMemory;
    if (!linkPort(name0, pair->end(0).pts, error))
        return vspd::ErrAlreadyExists;
    if (!linkPort(name1, pair->end(1).pts, error)) {
        unlinkPort(name0, pair->end(0).pts);
        return vspd::ErrAlreadyExists;
    }
    pair->setStrict(strict);
    pair->setWiring(wiring);
    for (int i = 0; i < 2; ++i)
        m_watches[pair->end(i).watch] = {id, i};
    if (!fromRecord)
        recordOf(*pair).write(*m_registry);
    VLOG(4) << "vspd pair " << latin1(name0) << " (" << QString::fromStdString(pair->end(0).pts) << ") <-> "
            << latin1(name1) << " (" << QString::fromStdString(pair->end(1).pts) << ")";
    // The ends were watched before anybody could open them: their users are counted from the
    // events alone, without reading every process's descriptors for each new pair.
    m_pairs[id] = std::move(pair);
    return vspd::ErrSuccess;
}

void VspDaemon::deletePair(uint32_t id)
{
    auto it = m_pairs.find(id);
    if (it == m_pairs.end())
        return;
    for (int i = 0; i < 2; ++i) {
        unlinkPort(it->second->end(i).name, it->second->end(i).pts);
        m_watches.erase(it->second->end(i).watch);
    }
    m_pairs.erase(it);
}

PairRelay *VspDaemon::findPair(const std::string &name)
{
    const std::string u = upper(name);
    for (auto &p : m_pairs)
        if (p.second->endNamed(u) >= 0)
            return p.second.get();
    return nullptr;
}

bool VspDaemon::nameInUse(const std::string &upperName) const
{
    for (const auto &p : m_pairs)
        if (p.second->endNamed(upperName) >= 0)
            return true;
    return false;
}

QString VspDaemon::recordKey(const PairRelay &pair) const
{
    return recordOf(pair).subkey();
}

PairRecord VspDaemon::recordOf(const PairRelay &pair) const
{
    PairRecord record;
    record.port1 = latin1(upper(pair.first));
    record.port2 = latin1(upper(pair.second));
    record.strict = pair.strict();
    record.wiring = pair.wiring();
    return record;
}

bool VspDaemon::linkPort(const std::string &name, const std::string &pts, std::string *error)
{
    const std::string path = m_portsFolder + "/" + fileName(name);
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        // Only a link to a pseudo-terminal is ours to replace (left by a daemon that was killed).
        char target[256] = {0};
        const bool ours = S_ISLNK(st.st_mode) && ::readlink(path.c_str(), target, sizeof target - 1) > 0 &&
                          std::strncmp(target, "/dev/pts/", 9) == 0;
        if (!ours) {
            *error = path + " exists and is not a port of this driver";
            return false;
        }
    }
    const std::string temp = m_portsFolder + "/.vspd-" + std::to_string(::getpid()) + "-" + fileName(name);
    ::unlink(temp.c_str());
    if (::symlink(pts.c_str(), temp.c_str()) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

void VspDaemon::unlinkPort(const std::string &name, const std::string &pts)
{
    const std::string path = m_portsFolder + "/" + fileName(name);
    char target[256] = {0};
    if (::readlink(path.c_str(), target, sizeof target - 1) > 0 && pts == target)
        ::unlink(path.c_str());
}

// An open event proves a user at once. A close is checked against the
// descriptors of the processes: events of one kind that are not read yet are
// merged by the kernel, and a descriptor may be shared by several processes,
// so counting events alone could keep a closed end "open" for ever. The check
// runs a moment after the close, because the kernel reports an open just
// before the new descriptor appears in its process; bytes that reach a closed
// end meanwhile are flushed when the check finds it closed.
void VspDaemon::drainInotify()
{
    alignas(inotify_event) char buf[8192];
    bool closes = false, overflow = false;
    for (;;) {
        const ssize_t n = ::read(m_inotifyFd, buf, sizeof buf);
        if (n <= 0)
            break;
        for (ssize_t pos = 0; pos < n;) {
            const inotify_event *ev = reinterpret_cast<const inotify_event *>(buf + pos);
            pos += ssize_t(sizeof(inotify_event) + ev->len);
            if (ev->mask & IN_Q_OVERFLOW) {
                overflow = true;
                continue;
            }
            if (ev->wd == m_folderWatch) {
                const std::string name = ev->len ? ev->name : "";
                if ((ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) || name == "control.sock" ||
                    name == "vspd.pid") {
                    VLOG(-10) << "vspd ends: " << QString::fromStdString(m_driverFolder + "/" + name)
                              << " was removed";
                    m_running = false;
                }
                continue;
            }
            const auto it = m_watches.find(ev->wd);
            if (it == m_watches.end())
                continue;
            const auto pair = m_pairs.find(it->second.first);
            if (pair == m_pairs.end())
                continue;
            const int e = it->second.second;
            PairRelay::End &end = pair->second->end(e);
            if ((ev->mask & IN_OPEN) && end.ownOpens > 0) {
                --end.ownOpens; // our own descriptor
            } else if (ev->mask & IN_OPEN) {
                pair->second->setOpeners(e, end.openers + 1);
                m_lastOpen = monotonicMs();
            }
            if (ev->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE))
                closes = true;
        }
    }
    if (overflow)
        recountOpeners(true);
    else if (closes)
        armRecount();
}

void VspDaemon::armRecount()
{
    itimerspec at{};
    at.it_value.tv_nsec = kRecountDelayMs * 1000000;
    ::timerfd_settime(m_recountFd, 0, &at, nullptr);
}

void VspDaemon::recountTimer()
{
    uint64_t expirations;
    while (::read(m_recountFd, &expirations, sizeof expirations) > 0) {
    }
    drainInotify();
    if (monotonicMs() - m_lastOpen < kRecountDelayMs)
        armRecount(); // an open is still settling: look again shortly
    else
        recountOpeners(false);
}

// How many descriptors of other processes lead to each of our terminals.
void VspDaemon::recountOpeners(bool all)
{
    std::map<std::string, int> counts;
    DIR *proc = ::opendir("/proc");
    const std::string self = std::to_string(::getpid());
    while (dirent *p = proc ? ::readdir(proc) : nullptr) {
        if (p->d_name[0] < '0' || p->d_name[0] > '9' || self == p->d_name)
            continue;
        const std::string base = std::string("/proc/") + p->d_name;
        DIR *fds = ::opendir((base + "/fd").c_str());
        while (dirent *f = fds ? ::readdir(fds) : nullptr) {
            char target[64] = {0};
            if (::readlink((base + "/fd/" + f->d_name).c_str(), target, sizeof target - 1) <= 0 ||
                std::strncmp(target, "/dev/pts/", 9) != 0)
                continue;
            // A path-only descriptor (O_PATH) reads nothing and never raised an open event.
            char info[256] = {0};
            const int fd = ::open((base + "/fdinfo/" + f->d_name).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                (void)::read(fd, info, sizeof info - 1);
                ::close(fd);
            }
            const char *flags = std::strstr(info, "flags:");
            if (flags && (std::strtoul(flags + 6, nullptr, 8) & O_PATH))
                continue;
            ++counts[target];
        }
        if (fds)
            ::closedir(fds);
    }
    if (proc)
        ::closedir(proc);
    for (auto &p : m_pairs) {
        for (int i = 0; i < 2; ++i) {
            PairRelay::End &end = p.second->end(i);
            // Both ways: an open before our watch was added raised no event, and a
            // descriptor shared by several processes closes without one per user.
            const int found = counts[end.pts];
            if (all)
                end.ownOpens = 0; // lost with the other events, or counted here all the same
            if (found != end.openers)
                p.second->setOpeners(i, found);
        }
    }
    if (all)
        VLOG(-10) << "vspd lost open/close events and counted the users of its ports again";
}
