#include "ledmir/autostartentry.h"

#include "ledmir/ledmir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ledmir
{
namespace
{

bool hasControl(const std::string &text)
{
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F)
            return true;
    return false;
}

bool isReservedInExec(char c)
{
    return std::strchr(" \t\n\"'\\><~|&;$*?#()`", c) != nullptr;
}

// mkdir -p; new folders private to the user, as the base directory rules want.
int makeFolders(const std::string &folder)
{
    struct stat st;
    if (::stat(folder.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (errno != ENOENT)
        return errno;
    const std::string::size_type slash = folder.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        const int rc = makeFolders(folder.substr(0, slash));
        if (rc != 0)
            return rc;
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return errno;
    return 0;
}

int writeAll(int fd, const std::string &data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        done += std::size_t(n);
    }
    return 0;
}

Outcome failed(int32_t code, int32_t stage)
{
    Outcome o;
    o.code = code;
    o.stage = stage;
    return o;
}

} // namespace

std::string quoteExecArgument(const std::string &argument)
{
    std::string out;
    bool quote = argument.empty();
    for (char c : argument)
        quote = quote || isReservedInExec(c);
    if (quote)
        out += '"';
    for (char c : argument) {
        if (c == '%') { // a literal percent sign, not a field code
            out += "%%";
            continue;
        }
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\'))
            out += '\\';
        out += c;
    }
    if (quote)
        out += '"';
    return out;
}

std::string escapeValue(const std::string &value)
{
    std::string out;
    for (char c : value) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    if (!out.empty() && out[0] == ' ') // leading spaces would be taken as padding
        out.replace(0, 1, "\\s");
    return out;
}

// The delay is applied by the entry itself: a shell sleeps, then replaces
// itself by the program. X-GNOME-Autostart-Delay alone would be ignored by
// KDE, Xfce, LXQt and systemd's autostart generator, and writing it beside
// the sleep would double the delay under GNOME, so the sleep is the only
// delay. The program travels as the shell's $0, never inside the script, so
// no path can change what the shell runs.
std::string execValue(const std::string &program, int32_t delaySeconds)
{
    std::string exec;
    if (delaySeconds > 0) {
        exec = "/bin/sh -c " + quoteExecArgument("sleep " + std::to_string(delaySeconds) + "; exec \"$0\"") +
               ' ' + quoteExecArgument(program);
    } else {
        exec = quoteExecArgument(program);
    }
    return escapeValue(exec);
}

std::string desktopEntryText(const AutostartEntry &entry)
{
    std::string text = "[Desktop Entry]\n"
                       "Type=Application\n";
    text += "Name=" + escapeValue(entry.name) + '\n';
    text += "Exec=" + execValue(entry.program, entry.delaySeconds) + '\n';
    if (!entry.workDir.empty())
        text += "Path=" + escapeValue(entry.workDir) + '\n';
    if (!entry.author.empty())
        text += "X-Author=" + escapeValue(entry.author) + '\n';
    text += "X-Velmora-Delay=" + std::to_string(entry.delaySeconds) + '\n';
    text += "Terminal=false\n";
    return text;
}

std::string autostartFolder()
{
    const char *config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/')
        return std::string(config) + "/autostart";
    const char *home = std::getenv("HOME");
    if (home && home[0] == '/')
        return std::string(home) + "/.config/autostart";
    return std::string();
}

Outcome checkEntry(const AutostartEntry &entry)
{
    const std::string &name = entry.name;
    if (name.empty() || name.find('/') != std::string::npos || hasControl(name) || name == "." ||
        name == "..")
        return failed(BadName, StageArguments);
    if (entry.program.empty() || entry.program[0] != '/' || hasControl(entry.program))
        return failed(BadProgramPath, StageArguments);
    if (!entry.workDir.empty() && (entry.workDir[0] != '/' || hasControl(entry.workDir)))
        return failed(BadWorkDir, StageArguments);
    if (entry.delaySeconds < 0)
        return failed(BadDelay, StageArguments);
    return Outcome();
}

Outcome writeEntry(const std::string &folder, const AutostartEntry &entry)
{
    const Outcome check = checkEntry(entry);
    if (!check.ok())
        return check;
    if (folder.empty() || folder[0] != '/')
        return failed(NoConfigHome, StageFolder);
    const int folderRc = makeFolders(folder);
    if (folderRc != 0)
        return failed(folderRc, StageFolder);

    const std::string path = folder + '/' + entry.name + ".desktop";
    std::string temp = folder + "/." + entry.name + ".desktop.XXXXXX";
    const int fd = ::mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0)
        return failed(errno, StageWrite);
    int rc = writeAll(fd, desktopEntryText(entry));
    if (rc == 0 && ::fchmod(fd, 0644) != 0)
        rc = errno;
    if (rc == 0 && ::fsync(fd) != 0)
        rc = errno;
    if (::close(fd) != 0 && rc == 0)
        rc = errno;
    if (rc != 0) {
        ::unlink(temp.c_str());
        return failed(rc, StageWrite);
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        rc = errno;
        ::unlink(temp.c_str());
        return failed(rc, StageCommit);
    }
    // The rename itself reaches the disk with the folder; a file system
    // that cannot sync folders still has the entry in place.
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return Outcome();
}

Outcome removeEntry(const std::string &folder, const std::string &name)
{
    AutostartEntry probe;
    probe.name = name;
    probe.program = "/";
    const Outcome check = checkEntry(probe);
    if (!check.ok())
        return check;
    if (folder.empty() || folder[0] != '/')
        return failed(NoConfigHome, StageFolder);
    const std::string path = folder + '/' + name + ".desktop";
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return failed(errno, StageCommit);
    return Outcome();
}

} // namespace ledmir
