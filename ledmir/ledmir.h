// The start-with-system bridge: libledmir.so, loaded by name at run time by
// the programs that register or remove the program's start with the user's
// session. One function, resolved by name:
//
//   bool CreateTaskDefinition(name, programPath, workDir, author, remove,
//                             delaySeconds, &resultCode, &stage)
//
// Register (remove false) writes the XDG autostart entry
// ${XDG_CONFIG_HOME:-$HOME/.config}/autostart/<name>.desktop that starts
// programPath in workDir delaySeconds after the session starts, replacing an
// entry of that name atomically. Remove (remove true) deletes that entry; an
// entry that is not there counts as removed. The strings are UTF-32 wide
// strings, written to the entry as UTF-8.
//
// Result true: done, resultCode and stage are 0. Result false: resultCode
// and stage say what failed and where (values below).
#pragma once

#include <cstdint>
#include <string>

// The exported function's type, for resolving it by name.
typedef bool (*CreateTaskDefinitionFn)(const std::wstring &name, const std::wstring &programPath,
                                       const std::wstring &workDir, const std::wstring &author, bool remove,
                                       int32_t delaySeconds, int32_t *resultCode, int32_t *stage);

namespace ledmir
{

// The exported symbol's name.
constexpr const char *kCreateTaskDefinition = "CreateTaskDefinition";

// Result codes. A failed system call reports its errno (always below 0x10000);
// an argument the bridge refuses reports one of these.
enum ResultCode : int32_t {
    Ok = 0,
    BadName = 0x20000001,        // empty, contains '/', a control character or is "." / ".."
    BadProgramPath = 0x20000002, // empty or not absolute, or contains a control character
    BadDelay = 0x20000003,       // negative delay
    BadWorkDir = 0x20000004,     // not absolute (an empty one is allowed: no working folder)
    BadText = 0x20000005,        // a string is not valid Unicode (surrogate, beyond U+10FFFF, NUL)
    NoConfigHome = 0x20000006,   // neither an absolute XDG_CONFIG_HOME nor HOME is set
    Internal = 0x20000007,       // out of memory or another unexpected failure
};

// Stage numbers: the step that failed.
enum Stage : int32_t {
    StageNone = 0,      // success
    StageArguments = 1, // checking and converting the arguments
    StageFolder = 2,    // finding or creating the autostart folder
    StageWrite = 3,     // writing the temporary entry file (create, write, sync)
    StageCommit = 4,    // renaming it over the entry, or deleting the entry
};

} // namespace ledmir
