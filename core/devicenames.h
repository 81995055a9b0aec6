#pragma once

#include <QByteArray>
#include <QSerialPort>
#include <QString>
#include <memory>

class QTemporaryDir;

// Which device stands behind a port number, and why one cannot be opened, in Spanish. Paths
// are bytes, as the system names files: they need not be valid UTF-8.
namespace devicenames {

/// The device behind COMn when none was named: /dev/ttyS(n−1) on Linux, COMn on Windows.
QByteArray defaultDevice(int port);

/// A path as every other program reads it: a relative one against the working folder.
QByteArray absolute(const QByteArray &path, const QByteArray &workingFolder);

/// Why the device cannot be opened, found before trying (empty when nothing is wrong yet): a
/// missing device, a folder, not a device, no permission, a path too long for the lock file.
QString whyCannotOpen(const QByteArray &path);

/// Why the system refused to open a device that looked openable; systemText: Qt's own words.
QString whyOpenFailed(QSerialPort::SerialPortError error, const QByteArray &path, const QString &systemText);

/// Names Qt can open for a device: the path itself, or a link to it in a private folder when
/// the path is not valid UTF-8 (Qt would mangle it).
class OpenableNames
{
public:
    OpenableNames();
    ~OpenableNames();
    QString nameFor(const QByteArray &path, int port);

private:
    std::unique_ptr<QTemporaryDir> m_aliases;
};

} // namespace devicenames
