#include "driver/driverpaths.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vspd
{

namespace
{

std::string env(const char *name)
{
    const char *v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string withoutTrailingSlash(std::string p)
{
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return p;
}

std::string absolute(const std::string &p)
{
    if (!p.empty() && p[0] == '/')
        return withoutTrailingSlash(p);
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd))
        return p;
    return withoutTrailingSlash(std::string(cwd) + "/" + p);
}

std::string homeFolder()
{
    std::string home = env("HOME");
    if (home.empty()) {
        if (const passwd *pw = ::getpwuid(::getuid()))
            home = pw->pw_dir;
    }
    return home;
}

} // namespace

bool makeFolders(const std::string &path, unsigned mode)
{
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            const std::string part = path.substr(0, pos);
            if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST)
                return false;
        }
    }
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string systemFolder()
{
    std::string folder = env("VELMORA_SYSTEM_DIR");
    if (folder.empty()) {
        const std::string system = "/var/lib/velmora";
        makeFolders(system, 0755);
        if (::access(system.c_str(), W_OK) == 0) {
            folder = system;
        } else {
            std::string state = env("XDG_STATE_HOME");
            if (state.empty())
                state = homeFolder() + "/.local/state";
            folder = state + "/velmora";
        }
    }
    folder = absolute(folder);
    makeFolders(folder, 0755);
    return folder;
}

std::string driverFolder()
{
    return systemFolder() + "/vspd";
}

std::string portsFolder()
{
    const std::string fromEnv = env("VELMORA_PORTS_DIR");
    if (!fromEnv.empty())
        return absolute(fromEnv);
    // A folder of its own: a port name can never shadow a kernel device.
    // Users who share the system-wide folder with a daemon run by root find
    // its ports there too.
    const std::string system = systemFolder();
    struct stat st;
    if (::geteuid() == 0 ||
        (system == "/var/lib/velmora" && ::stat("/dev/velmora", &st) == 0 && S_ISDIR(st.st_mode)))
        return "/dev/velmora";
    return system + "/ports";
}

std::string socketPath()
{
    return driverFolder() + "/control.sock";
}

std::string pidPath()
{
    return driverFolder() + "/vspd.pid";
}

} // namespace vspd
