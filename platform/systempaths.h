// Folders shared by the program, the port driver and the tools.
#pragma once

#include <QString>

class SystemPaths
{
public:
    // VELMORA_SYSTEM_DIR, else /var/lib/velmora when writable, else the
    // per-user state folder. Created on first use.
    static QString systemFolder();
    // Where the port driver exposes its ports: VELMORA_PORTS_DIR, else
    // /dev/velmora for root and for users of the system-wide folder
    // /var/lib/velmora while /dev/velmora exists (a daemon run by root
    // holds the ports), else "ports" under the system folder.
    static QString portsFolder();
    // Where devices that are not kernel serial ports (the device simulator)
    // publish their ports: VELMORA_DEVICE_PORTS_DIR, else "devices" under
    // the system folder. Each port is a link NAME to its terminal beside a
    // file NAME.info (lines pid=, target=, description=).
    static QString devicePortsFolder();
};
