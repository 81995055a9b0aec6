#pragma once

#include "serialsettings.h"

#include <QByteArray>
#include <QString>
#include <optional>

// The settings file: five CR LF lines, the four pieces in double quotes and the port number in
// decimal. Reading and writing are pure functions over bytes; save and load add the disk.
namespace settingsfile {

/// Larger files are refused unread: a real one is a few dozen bytes.
inline constexpr qint64 kMaxSize = 64 * 1024;

/// The fixed location: c:\picproy\setup\serphcn.cmm on Windows, ~/picproy/setup/ elsewhere.
QString defaultPath();
QString fileName();

QByteArray serialize(const serialsettings::Pieces &p);

/// Reads the five fields. Refuses (and says why, in Spanish) a file with fewer than five
/// fields or whose fifth is not a whole number within 16 bits.
std::optional<serialsettings::Pieces> parse(const QByteArray &bytes, QString *why = nullptr);

/// Writes the file atomically: on failure the previous file stays as it was. Never creates the
/// folder. Throws PlatformError naming the path and the reason.
void save(const QString &path, const serialsettings::Pieces &p);

/// Reads and checks the whole file; throws PlatformError when it is missing, unreadable or
/// damaged.
serialsettings::Pieces load(const QString &path);

} // namespace settingsfile
