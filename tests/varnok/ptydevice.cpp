#include "tests/varnok/ptydevice.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace proto = varnok::protocol;

namespace
{

speed_t speedOf(unsigned baud)
{
    switch (baud) {
    case 1200:
        return B1200;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 57600:
        return B57600;
    default:
        return B115200;
    }
}

void setField(std::vector<proto::Field> *fields, const proto::Field &f)
{
    for (proto::Field &mine : *fields)
        if (mine.name == f.name) {
            mine.value = f.value;
            return;
        }
}

} // namespace

PtyDevice::PtyDevice(const std::string &linkPath) : m_link(linkPath)
{
    m_settings["sdev"] = {{"ds", "0"}};
    // The name as the device keeps it, in Windows-1250: "Tavrel Żółw 01".
    m_settings["sid"] = {{"nm", "Tavrel \xAF\xF3\xB3w 01"}, {"sn", "TVR00000042"}, {"fw", "2.04"}};
    m_settings["com1"] = {{"no", "1"}, {"sp", "115200"}, {"da", "8"}, {"pa", "0"}, {"st", "1"}, {"fl", "1"}};
    m_settings["com2"] = {{"no", "2"}, {"sp", "9600"}, {"da", "8"}, {"pa", "0"}, {"st", "1"}, {"fl", "0"}};
    m_settings["pc"] = {{"id", "1"}, {"no", "1"}};
    m_settings["trlog"] = {{"id", "0"}, {"no", "0"}};
    m_settings["tcpip"] = {{"id", "1"}, {"no", "1"}, {"dh", "1"}, {"ip", ""}, {"ma", ""}, {"ge", ""}};
    m_settings["tun0"] = {{"sp", "0"}, {"en", "0"}, {"da", "1100"}, {"di", "1101"}};
    m_settings["tun1"] = {{"sp", "1"}, {"en", "0"}, {"da", "1102"}, {"di", "1103"}};
    openTerminal();
    m_thread = std::thread([this] { run(); });
}

PtyDevice::~PtyDevice()
{
    m_stop = true;
    m_thread.join();
    std::lock_guard<std::mutex> g(m_lock);
    closeTerminal();
}

void PtyDevice::openTerminal()
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        perror("pty");
        abort();
    }
    char name[128];
    ptsname_r(m_master, name, sizeof name);
    unlink(m_link.c_str());
    if (symlink(name, m_link.c_str()) != 0) {
        perror("symlink");
        abort();
    }
    m_decoder.reset();
}

void PtyDevice::closeTerminal()
{
    if (m_master >= 0)
        close(m_master);
    m_master = -1;
    unlink(m_link.c_str());
}

void PtyDevice::setLine(unsigned baud, unsigned dataBits, char parity, unsigned stopBits, char flow)
{
    std::lock_guard<std::mutex> g(m_lock);
    m_speed = speedOf(baud);
    m_cflags = (dataBits == 7 ? CS7 : CS8) | (parity == 'N' ? 0 : PARENB) | (parity == 'O' ? PARODD : 0) |
               (stopBits == 2 ? CSTOPB : 0);
    m_rtscts = flow == 'R';
    m_xonxoff = flow == 'S';
}

void PtyDevice::setSilent(bool silent)
{
    std::lock_guard<std::mutex> g(m_lock);
    m_silent = silent;
}

void PtyDevice::holdAnswers(std::size_t count)
{
    std::lock_guard<std::mutex> g(m_lock);
    m_holdCount = count;
}

void PtyDevice::garbageBeforeNextAnswer(const std::string &bytes, bool spoilAnswer)
{
    std::lock_guard<std::mutex> g(m_lock);
    m_garbage = bytes;
    m_spoil = spoilAnswer;
}

void PtyDevice::vanish()
{
    std::lock_guard<std::mutex> g(m_lock);
    closeTerminal();
}

void PtyDevice::reappear()
{
    std::lock_guard<std::mutex> g(m_lock);
    if (m_master < 0)
        openTerminal();
}

void PtyDevice::setDeviceState(const std::string &ds)
{
    std::lock_guard<std::mutex> g(m_lock);
    m_settings["sdev"] = {{"ds", ds}};
}

std::string PtyDevice::received() const
{
    std::lock_guard<std::mutex> g(m_lock);
    return m_received;
}

std::vector<proto::Request> PtyDevice::requests() const
{
    std::lock_guard<std::mutex> g(m_lock);
    return m_requests;
}

termios PtyDevice::lastSeenTermios() const
{
    std::lock_guard<std::mutex> g(m_lock);
    return m_seen;
}

std::vector<proto::Field> PtyDevice::settings(const std::string &group) const
{
    std::lock_guard<std::mutex> g(m_lock);
    const auto it = m_settings.find(group);
    return it == m_settings.end() ? std::vector<proto::Field>() : it->second;
}

bool PtyDevice::lineMatches(const termios &t) const
{
    // A pseudo-terminal always reports 8 data bits without parity: only the rest can be compared.
    const tcflag_t mask = CSTOPB;
    return cfgetospeed(&t) == m_speed && (t.c_cflag & mask) == (m_cflags & mask) &&
           bool(t.c_cflag & CRTSCTS) == m_rtscts && bool(t.c_iflag & IXON) == m_xonxoff &&
           bool(t.c_iflag & IXOFF) == m_xonxoff;
}

void PtyDevice::send(const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size() && m_master >= 0) {
        const ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += std::size_t(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
    }
}

proto::Response PtyDevice::answer(const proto::Request &request)
{
    proto::Response r;
    r.seq = request.seq;
    r.status = proto::checkRequest(request);
    if (r.status != 0)
        return r;
    auto param = [&](const char *name) {
        std::string v;
        for (const proto::Field &f : request.params)
            if (f.name == name)
                v = f.value;
        return v;
    };
    const std::string &c = request.command;
    if (c != proto::command::kStatus && m_settings["sdev"][0].value != "0") {
        r.status =
            m_settings["sdev"][0].value == "1" ? proto::status::kDeviceBusy : proto::status::kNotAllowed;
        return r;
    }
    std::string group;
    if (c == proto::command::kStatus)
        group = "sdev";
    else if (c == proto::command::kIdentity)
        group = "sid";
    else if (c == proto::command::kComGet || c == proto::command::kComSet)
        group = "com" + param("no");
    else if (c == proto::command::kPcGet || c == proto::command::kPcSet)
        group = "pc";
    else if (c == proto::command::kTrLogGet || c == proto::command::kTrLogSet)
        group = "trlog";
    else if (c == proto::command::kTcpIpGet || c == proto::command::kTcpIpSet)
        group = "tcpip";
    else
        group = "tun" + param("sp");
    if (c.size() > 3 && c.compare(c.size() - 3, 3, "set") == 0) {
        for (const proto::Field &f : request.params)
            setField(&m_settings[group], f);
        return r;
    }
    r.fields = m_settings[group];
    return r;
}

void PtyDevice::run()
{
    while (!m_stop) {
        int fd;
        {
            std::lock_guard<std::mutex> g(m_lock);
            fd = m_master;
        }
        pollfd p{fd, POLLIN, 0};
        poll(&p, fd >= 0 ? 1 : 0, 20);
        // A master whose terminal nobody holds open reports a hang-up at once: no busy loop then.
        if (p.revents & POLLHUP)
            usleep(10000);
        std::lock_guard<std::mutex> g(m_lock);
        if (m_master < 0 || m_master != fd)
            continue;
        char buf[4096];
        const ssize_t n = read(m_master, buf, sizeof buf);
        if (n <= 0)
            continue;
        m_received.append(buf, std::size_t(n));
        m_decoder.feed(buf, std::size_t(n));
        proto::Frame frame;
        while (m_decoder.next(&frame)) {
            proto::Request request;
            if (!proto::parseRequest(frame, &request))
                continue;
            m_requests.push_back(request);
            tcgetattr(m_master, &m_seen);
            if (!lineMatches(m_seen)) {
                ++m_ignored; // a real device hears only noise on a wrong line
                continue;
            }
            if (m_silent)
                continue;
            std::string bytes = proto::encodeResponse(answer(request));
            if (m_spoil) {
                bytes[bytes.size() - 2] = bytes[bytes.size() - 2] == '0' ? '1' : '0';
                m_spoil = false;
            }
            bytes = m_garbage + bytes;
            m_garbage.clear();
            if (m_holdCount > 0) {
                m_held.push_back(bytes);
                if (m_held.size() < m_holdCount)
                    continue;
                for (auto it = m_held.rbegin(); it != m_held.rend(); ++it)
                    send(*it);
                m_held.clear();
                m_holdCount = 0;
                continue;
            }
            send(bytes);
        }
    }
}
