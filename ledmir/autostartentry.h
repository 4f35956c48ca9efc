// The XDG autostart entry behind the start-with-system bridge: its text and
// its atomic write and removal. Plain C++ and POSIX; strings are UTF-8.
#pragma once

#include <cstdint>
#include <string>

namespace ledmir
{

struct AutostartEntry {
    std::string name;    // file base name and the entry's Name
    std::string program; // absolute path of the program to start
    std::string workDir; // working folder (Path); empty: none
    std::string author;  // X-Author; empty: none
    int32_t delaySeconds = 0;
};

struct Outcome {
    int32_t code = 0;  // ledmir::ResultCode or errno
    int32_t stage = 0; // ledmir::Stage
    bool ok() const { return code == 0; }
};

// The entry's argument list quoted for the Exec key (the Desktop Entry
// quoting rules, before the string escapes of escapeValue).
std::string quoteExecArgument(const std::string &argument);
// A value escaped for a string key (backslash, newline, tab, carriage return).
std::string escapeValue(const std::string &value);
// The Exec value, escaped, for program and delay.
std::string execValue(const std::string &program, int32_t delaySeconds);
// The whole file.
std::string desktopEntryText(const AutostartEntry &entry);

// ${XDG_CONFIG_HOME:-$HOME/.config}/autostart (a relative XDG_CONFIG_HOME is
// ignored, as the base directory rules say). Empty when neither is usable.
std::string autostartFolder();

// Checks the entry's fields (stage 1).
Outcome checkEntry(const AutostartEntry &entry);
// Writes <folder>/<name>.desktop through a temporary file in the same folder
// renamed over it once complete and synced; creates the folder when missing.
Outcome writeEntry(const std::string &folder, const AutostartEntry &entry);
// Deletes <folder>/<name>.desktop; a missing entry is no failure.
Outcome removeEntry(const std::string &folder, const std::string &name);

} // namespace ledmir
