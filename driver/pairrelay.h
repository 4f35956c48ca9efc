// One virtual port pair: two pseudo-terminals whose masters the daemon holds
// and relays to each other, each slave exposed as a port.
//
// The daemon keeps a slave descriptor of each end open itself. A pty master
// whose slave nobody holds reports a hang-up on every poll, which would spin
// the event loop while a port is closed; with our own slave open the master
// stays quiet. Whether an outside process has an end open is counted from
// inotify open/close events on the slave device (the daemon feeds them in):
// an end nobody has open is a cable with nothing plugged in, so what the
// other end writes is read and dropped, and what was already queued for the
// closed end is flushed when its last user closes it.
//
// Each direction has one bounded buffer; reading from the sender stops while
// it is full, so a slow reader slows the writer down instead of losing bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class PairRelay
{
public:
    enum Kind : uint32_t { KindMaster = 1, KindTimer = 2 };

    struct End {
        std::string name;
        uint32_t instance = 0;
        int master = -1;
        int slave = -1; // our own, never read or written
        int watch = -1; // inotify watch on the slave device
        std::string pts;
        int openers = 0;  // outside open file descriptions of the slave
        int ownOpens = 0; // open events of our own descriptor not yet seen
        uint32_t epollMask = 0;
    };

    static constexpr size_t kBufferSize = 64 * 1024;
    static constexpr size_t kStrictBufferSize = 1024;

    PairRelay(uint32_t id, int epollFd, int inotifyFd);
    ~PairRelay();
    PairRelay(const PairRelay &) = delete;
    PairRelay &operator=(const PairRelay &) = delete;

    // Creates both pseudo-terminals; false with a message when the system refuses.
    bool open(const std::string &name0, uint32_t instance0, const std::string &name1, uint32_t instance1,
              std::string *error);

    uint32_t id() const { return m_id; }
    End &end(int i) { return m_end[i]; }
    const End &end(int i) const { return m_end[i]; }
    // The end whose name is upperName in vspd::upperName's upper case, else -1.
    int endNamed(const std::string &upperName) const;

    bool strict() const { return m_strict; }
    void setStrict(bool on);
    uint32_t wiring() const { return m_wiring; }
    void setWiring(uint32_t mask) { m_wiring = mask; }
    // The names the pair was created with (the second may be empty); they name its record.
    std::string first, second;

    void readable(int e); // end e's master has bytes from its user
    void writable(int e); // end e's master can take bytes again
    void timer(int dir);  // direction dir may send again
    void setOpeners(int e, int openers);

    // Called before dropping bytes for an end that looks closed: lets the
    // daemon pick up an open that raced with the bytes.
    std::function<void()> refreshOpeners;

    static uint64_t key(uint32_t id, Kind kind, int index)
    {
        return (uint64_t(id) << 32) | (kind << 8) | uint32_t(index);
    }

private:
    struct Direction {
        char *data = nullptr;
        size_t head = 0, size = 0; // plain linear buffer: bytes [head, head+size)
        int timer = -1;
        bool waiting = false; // paced: the timer is armed
        int64_t anchor = 0;   // paced: when byte number 0 of this run was due
        uint64_t sent = 0;    // paced: bytes sent since the anchor
        uint32_t rate = 0;    // paced: bytes per second the anchor belongs to
        bool idle = true;     // paced: the buffer ran empty since the last byte
    };

    size_t capacity() const { return m_strict ? kStrictBufferSize : kBufferSize; }
    void flush(int dir);
    size_t pacedAllowance(int dir, int64_t now);
    void updateInterest(int e);
    uint32_t sendingRate(int dir) const;

    uint32_t m_id;
    int m_epoll;
    int m_inotify;
    End m_end[2];
    Direction m_dir[2]; // m_dir[i] carries bytes from end i to end 1-i
    bool m_strict = false;
    uint32_t m_wiring = 0;
};
