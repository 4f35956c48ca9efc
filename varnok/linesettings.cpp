#include "varnok/linesettings.h"

#include <cstdlib>
#include <termios.h>
#include <vector>

namespace varnok
{

namespace
{

struct Speed {
    unsigned baud;
    speed_t code;
};

const Speed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool speedCode(unsigned baud, speed_t *code)
{
    for (const Speed &s : kSpeeds)
        if (s.baud == baud) {
            *code = s.code;
            return true;
        }
    return false;
}

bool number(const std::string &s, unsigned *value)
{
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = unsigned(std::strtoul(s.c_str(), nullptr, 10));
    return true;
}

} // namespace

bool parseLineSettings(const std::string &text, LineSettings *line)
{
    std::vector<std::string> f;
    std::string::size_type start = 0;
    for (;;) {
        const auto comma = text.find(',', start);
        f.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (f.size() != 6 || f[0].empty())
        return false;
    LineSettings l;
    speed_t code;
    l.port = f[0];
    if (!number(f[1], &l.baud) || !speedCode(l.baud, &code))
        return false;
    if (!number(f[2], &l.dataBits) || l.dataBits < 5 || l.dataBits > 8)
        return false;
    if (f[3].size() != 1 || (f[3][0] != 'N' && f[3][0] != 'E' && f[3][0] != 'O'))
        return false;
    l.parity = f[3][0];
    if (!number(f[4], &l.stopBits) || (l.stopBits != 1 && l.stopBits != 2))
        return false;
    if (f[5].size() != 1 || (f[5][0] != 'R' && f[5][0] != 'H' && f[5][0] != 'S' && f[5][0] != 'N'))
        return false;
    l.flow = f[5][0] == 'H' ? 'R' : f[5][0];
    *line = l;
    return true;
}

bool applyLineSettings(int fd, const LineSettings &line, bool *exact)
{
    termios t{};
    speed_t code;
    if (!speedCode(line.baud, &code) || tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    switch (line.dataBits) {
    case 5:
        t.c_cflag |= CS5;
        break;
    case 6:
        t.c_cflag |= CS6;
        break;
    case 7:
        t.c_cflag |= CS7;
        break;
    default:
        t.c_cflag |= CS8;
        break;
    }
    if (line.parity == 'E')
        t.c_cflag |= PARENB;
    else if (line.parity == 'O')
        t.c_cflag |= PARENB | PARODD;
    if (line.stopBits == 2)
        t.c_cflag |= CSTOPB;
    t.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    if (line.flow == 'R')
        t.c_cflag |= CRTSCTS;
    else if (line.flow == 'S')
        t.c_iflag |= IXON | IXOFF;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, code) != 0 || cfsetospeed(&t, code) != 0)
        return false;
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        return false;
    termios kept{};
    if (tcgetattr(fd, &kept) != 0)
        return false;
    const tcflag_t cmask = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
    *exact = (kept.c_cflag & cmask) == (t.c_cflag & cmask) &&
             (kept.c_iflag & (IXON | IXOFF)) == (t.c_iflag & (IXON | IXOFF)) && cfgetospeed(&kept) == code;
    return true;
}

} // namespace varnok
