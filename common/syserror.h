#pragma once

#include <QByteArray>
#include <QString>

// What the system says when a call fails, said in Spanish, and paths as the system names them.
namespace syserror {

/// The reason for a failed system call, from its error number. Common reasons are worded in
/// Spanish; for the rest the system's own text follows, in parentheses, with the number.
QString reason(int errnum);

/// A path as bytes (the way the system names files; not necessarily valid UTF-8) shown in a
/// message: valid UTF-8 as it is, any other byte as \xNN.
QString shownPath(const QByteArray &native);

} // namespace syserror
