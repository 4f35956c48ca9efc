// The start-with-system settings that taskinstall switches on in the main
// program's configuration.ini, edited as bytes (the file is Windows-1250 and
// everything but the edited lines stays as it was).
#pragma once

#include <QByteArray>
#include <QString>

namespace taskinstall
{

// The content with startzsystemem=1, opoznieniezadania=90 and
// startujzminimalizowany=0 in its [aplikacja] section: key lines of that
// section (exact key, any spacing around it) are rewritten in place, keys
// it lacks are added after its last line, and a file without the section
// gains an empty line and the section at its end. Lines keep their own
// line ends; added lines take the file's first line end ("\n" if none).
QByteArray withStartSettings(const QByteArray &content);

// Replaces the file at path (a symbolic link: its target) with content
// through a temporary file in the same folder, written, synced and then
// renamed over it, keeping its permissions. False with a message in error;
// the file is then unchanged.
bool replaceFile(const QByteArray &path, const QByteArray &content, QString *error);

} // namespace taskinstall
