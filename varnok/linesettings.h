// The line settings text of the device library, "PORT,baud,bits,parity,stop,flow", and the port it
// names. Inside the library only.
#pragma once

#include <string>

namespace varnok
{

struct LineSettings {
    std::string port;
    unsigned baud = 9600;
    unsigned dataBits = 8;
    char parity = 'N'; // N, E, O
    unsigned stopBits = 1;
    char flow = 'N'; // R (RTS/CTS; H is taken alike), S (XON/XOFF), N
};

// Exactly six comma-separated fields: a port name (not empty), a standard baud rate (50..4000000),
// data bits 5..8, parity N/E/O, stop bits 1/2, flow R/H/S/N. False leaves *line untouched.
bool parseLineSettings(const std::string &text, LineSettings *line);

// Raw mode with these settings on a terminal; false when the terminal refuses them. *exact tells
// whether the terminal kept all of them (a pseudo-terminal, for one, keeps its character size).
bool applyLineSettings(int fd, const LineSettings &line, bool *exact);

// The device path of a port name, resolved as every port name of the program is.
std::string portDevicePath(const std::string &portName);

} // namespace varnok
