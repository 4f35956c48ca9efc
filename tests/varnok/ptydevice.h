// A scripted Tavrel device on a pseudo-terminal for the device library's tests: it keeps a small set of
// settings that the get and set commands read and write, answers only when the line settings the PC
// side set match its own, and can hold its answers, stay silent, send garbage or a spoilt frame, and
// vanish and come back under the same name (a link to the terminal).
#pragma once

#include "varnok/protocol/deviceprotocol.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <termios.h>
#include <thread>
#include <vector>

class PtyDevice
{
public:
    // The device appears as the link `linkPath` to its terminal.
    explicit PtyDevice(const std::string &linkPath);
    ~PtyDevice();
    PtyDevice(const PtyDevice &) = delete;
    PtyDevice &operator=(const PtyDevice &) = delete;

    // The device's own line; a request on a line set otherwise is not answered.
    void setLine(unsigned baud, unsigned dataBits, char parity, unsigned stopBits, char flow);
    void setSilent(bool silent);
    // Held answers go out, in reverse order, once `count` are held.
    void holdAnswers(std::size_t count);
    // Bytes written before the next answer, and whether that answer's checksum is spoilt.
    void garbageBeforeNextAnswer(const std::string &bytes, bool spoilAnswer = false);
    // The terminal goes away (its link too); reappear() makes a new one under the same link.
    void vanish();
    void reappear();
    void setDeviceState(const std::string &ds);

    std::string received() const;
    std::vector<varnok::protocol::Request> requests() const;
    std::size_t ignoredOnWrongLine() const { return m_ignored; }
    termios lastSeenTermios() const;
    // The device's settings as a get command would answer them (by the read-out's names).
    std::vector<varnok::protocol::Field> settings(const std::string &group) const;

private:
    void openTerminal();
    void closeTerminal();
    void run();
    bool lineMatches(const termios &t) const;
    varnok::protocol::Response answer(const varnok::protocol::Request &request);
    void send(const std::string &bytes);

    std::string m_link;
    mutable std::mutex m_lock;
    int m_master = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    varnok::protocol::FrameDecoder m_decoder;
    std::string m_received;
    std::vector<varnok::protocol::Request> m_requests;
    std::vector<std::string> m_held;
    std::size_t m_holdCount = 0;
    std::string m_garbage;
    bool m_spoil = false;
    bool m_silent = false;
    std::atomic<std::size_t> m_ignored{0};
    termios m_seen{};
    speed_t m_speed = B115200;
    tcflag_t m_cflags = CS8;
    bool m_rtscts = true;
    bool m_xonxoff = false;
    std::map<std::string, std::vector<varnok::protocol::Field>> m_settings;
};
