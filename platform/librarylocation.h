// Where a library the program loads by name at run time is looked for: the
// file named by its environment variable, else the library beside the
// program, else the bare name for the system's loader path.
//
// A privileged process (one started with file capabilities or set-user-ID,
// which the kernel marks with AT_SECURE) ignores the variable: whoever runs
// it must not choose the code it runs with privileges it does not hold. The
// dynamic loader applies the same rule to LD_LIBRARY_PATH and LD_PRELOAD.
#pragma once

#include <QString>

class LibraryLocation
{
public:
    // baseName without "lib" and ".so" (for example "vspdctl").
    static QString find(const char *environmentVariable, const QString &baseName);
    // True when the process runs with more privileges than its user has
    // (AT_SECURE: file capabilities, set-user-ID or set-group-ID).
    static bool privileged();
};
