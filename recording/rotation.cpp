#include "rotation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

// The stem and the extension (with its dot) of the file name at the end of path; a name that
// starts with its only dot (".datos") has no extension.
std::pair<QByteArray, QByteArray> splitName(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    const qsizetype dot = path.lastIndexOf('.');
    if (dot <= slash + 1)
        return {path, {}};
    return {path.left(dot), path.mid(dot)};
}

} // namespace

std::optional<Rotation> Rotation::parse(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,9})(s|min|h|d|kB|MB|GB)$"));
    const QRegularExpressionMatch m = form.match(text.trimmed());
    if (!m.hasMatch())
        return std::nullopt;
    const qint64 n = m.captured(1).toLongLong();
    const QString unit = m.captured(2);
    constexpr qint64 second = 1000000000;
    Rotation r;
    if (unit == u"s" || unit == u"min" || unit == u"h" || unit == u"d") {
        const qint64 seconds = n * (unit == u"s" ? 1 : unit == u"min" ? 60 : unit == u"h" ? 3600 : 86400);
        if (n < 1 || seconds > 366 * 86400)
            return std::nullopt;
        r.periodNanos = seconds * second;
    } else {
        const qint64 bytes = n * (unit == u"kB" ? 1000 : unit == u"MB" ? 1000000 : 1000000000);
        if (bytes < 1000 || bytes > qint64(1000) * 1000000000)
            return std::nullopt;
        r.bytes = bytes;
    }
    return r;
}

QByteArray Rotation::partPath(const QByteArray &path, quint64 n)
{
    const auto [stem, extension] = splitName(path);
    return stem + '-' + QByteArray::number(n).rightJustified(6, '0') + extension;
}

QByteArray Rotation::existingPart(const QByteArray &path)
{
    const auto [stem, extension] = splitName(path);
    const QFileInfo info(QFile::decodeName(stem));
    const QString prefix = info.fileName() + u'-', suffix = QFile::decodeName(extension);
    const QRegularExpression part(QStringLiteral("^%1[0-9]{6,}%2$")
                                      .arg(QRegularExpression::escape(prefix), QRegularExpression::escape(suffix)));
    const QDir folder = info.dir();
    // Every name, not a name filter: a name with [ ] or * would be read as a pattern.
    for (const QString &name : folder.entryList(QDir::AllEntries | QDir::System | QDir::Hidden))
        if (part.match(name).hasMatch())
            return QFile::encodeName(folder.filePath(name));
    return {};
}
