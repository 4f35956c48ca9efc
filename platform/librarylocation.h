// Where a library the program loads by name at run time is looked for: the
// file named by its environment variable, else the library beside the
// program, else the bare name for the system's loader path.
#pragma once

#include <QString>

class LibraryLocation
{
public:
    // baseName without "lib" and ".so" (for example "vspdctl").
    static QString find(const char *environmentVariable, const QString &baseName);
};
