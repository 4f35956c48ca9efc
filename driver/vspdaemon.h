// The port driver daemon: holds the virtual port pairs, answers the control
// library on a Unix socket, exposes each port as a link in the ports folder,
// keeps every pair recorded in the registry store and recreates the recorded
// pairs when it starts. One thread, one epoll loop; nothing in it blocks.
#pragma once

#include "driver/pairrelay.h"
#include "platform/pairrecord.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class VspDaemon
{
public:
    VspDaemon();
    ~VspDaemon();
    VspDaemon(const VspDaemon &) = delete;
    VspDaemon &operator=(const VspDaemon &) = delete;

    // Takes the driver folder, listens and recreates the recorded pairs.
    // readyFd (if >= 0) receives one byte "1" once clients can connect.
    // Returns the exit code: 0 after SIGTERM, 1 when it cannot start.
    int run(int readyFd);

private:
    struct Client {
        std::vector<char> in;
        std::vector<char> out;
        size_t sent = 0;
        int64_t since = 0; // monotonic ms of the accept; the request and its answer end by a deadline
    };

    bool takeFolder();
    bool listenOnSocket();
    void removeStaleLinks();
    void restoreRecordedPairs();
    void loop();
    void shutdown();

    void acceptClients();
    void serveClient(int fd, uint32_t events);
    void closeClient(int fd);
    bool makeRoomForClient();
    void armClientTimer();
    void clientTimer();
    std::vector<char> execute(const char *request, size_t size);

    uint32_t createPair(const std::string &first, const std::string &second, bool fromRecord, bool strict,
                        uint32_t wiring, std::string *error);
    void deletePair(uint32_t id);
    PairRelay *findPair(const std::string &name);
    bool nameInUse(const std::string &upperName) const;
    bool linkPort(const std::string &name, const std::string &pts, std::string *error);
    void unlinkPort(const std::string &name, const std::string &pts);
    // The pair's record in the registry store, and its subkey there.
    PairRecord recordOf(const PairRelay &pair) const;
    QString recordKey(const PairRelay &pair) const;

    void drainInotify();
    void recountOpeners(bool all);
    void armRecount();
    void recountTimer();

    static constexpr int kRecountDelayMs = 10;
    static constexpr int64_t kClientDeadlineMs = 5000;
    static constexpr size_t kMaxClients = 256;

    std::string m_driverFolder;
    std::string m_portsFolder;
    std::string m_socketPath;
    int m_lockFd = -1;
    int m_listenFd = -1;
    int m_epollFd = -1;
    int m_signalFd = -1;
    int m_inotifyFd = -1;
    int m_recountFd = -1;
    int m_clientTimerFd = -1;
    int m_folderWatch = -1;
    int64_t m_lastOpen = 0; // monotonic ms of the last open event
    bool m_running = true;
    uint32_t m_nextPairId = 1;
    uint32_t m_nextInstance = 1;
    std::map<uint32_t, std::unique_ptr<PairRelay>> m_pairs;
    std::map<int, std::pair<uint32_t, int>> m_watches; // inotify watch -> pair id, end
    std::map<int, Client> m_clients;
    std::unique_ptr<RegistryStore> m_registry;
};
