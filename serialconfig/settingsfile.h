#pragma once

#include "serialsettings.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <optional>

// The settings file: five CR LF lines, the four pieces in double quotes and the port number in
// decimal. Reading and writing are pure functions over bytes; save and load add the disk.
// Paths are bytes, as the system names files: a home folder need not be valid UTF-8.
namespace settingsfile {

/// The loader reads at most this much: five fields of any sane length fit many times over,
/// and what follows the fifth field is never looked at.
inline constexpr qsizetype kReadPrefix = 64 * 1024;

/// The fixed location: c:\picproy\setup\serphcn.cmm on Windows, $HOME/picproy/setup/ elsewhere.
QByteArray defaultPath();
QString fileName();

QByteArray serialize(const serialsettings::Pieces &p);

/// Reads the five fields. Refuses (and says why, in Spanish) fewer than five fields, a fifth
/// that is not a whole number within 16 bits, non-text bytes or a stray quote within the five
/// fields, and a quoted field whose closing quote is missing on its line. complete: bytes holds
/// the whole file (otherwise a field that runs to the end of bytes may have been cut).
std::optional<serialsettings::Pieces> parse(const QByteArray &bytes, QString *why = nullptr, bool complete = true);

/// Writes the file atomically: every write is checked before the new file replaces the old
/// one, so on failure the previous file stays as it was. Never creates the folder. Throws
/// PlatformError naming the path and the reason.
void save(const QByteArray &path, const serialsettings::Pieces &p);
inline void save(const QString &path, const serialsettings::Pieces &p) { save(QFile::encodeName(path), p); }

/// Reads and checks the file; refuses anything that is not a regular file before opening it,
/// and never blocks. Throws PlatformError when it is missing, unreadable or damaged.
serialsettings::Pieces load(const QByteArray &path);
inline serialsettings::Pieces load(const QString &path) { return load(QFile::encodeName(path)); }

} // namespace settingsfile
