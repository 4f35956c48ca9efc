// The folders of the port driver, by the same rules as the rest of the
// program: the system folder (VELMORA_SYSTEM_DIR, else /var/lib/velmora when
// writable, else the per-user state folder), the driver's own folder "vspd"
// in it (control socket, pid file, log), and the ports folder
// (VELMORA_PORTS_DIR, else /dev/velmora for root and for users of the
// system-wide folder /var/lib/velmora while /dev/velmora exists, else "ports"
// in the system folder).
// Plain C++ so that the control library needs nothing but libc.
#pragma once

#include <string>

namespace vspd
{

std::string systemFolder();
std::string driverFolder();
std::string portsFolder();
std::string socketPath();
std::string pidPath();
bool makeFolders(const std::string &path, unsigned mode);

} // namespace vspd
