#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

/// Topic filters and the file names of a lab recording: one set of files per bench and session.
namespace labnames {

/// A "#" reaches benches this many levels below where it stands, at most: MQTT has no filter for
/// "every topic ending in /meta", so each depth is subscribed to.
constexpr int kHashDepth = 8;

/// The topic holds the wildcards + or #.
bool isFilter(const QString &topic);
/// What is wrong with a filter to record from (empty: nothing).
QString filterProblem(const QString &filter, const QString &option);
/// The subscriptions that bring every bench's subtopic (e.g. "meta") under the filter.
QStringList subscriptions(const QString &filter, const QString &subtopic);

/// A bench's topic as a file name, reversibly: every byte of its UTF-8 other than the letters
/// A–Z and a–z, the digits, "-" and "." (a leading "." too) is written as %XX, so "lab/banco 1"
/// becomes "lab%2Fbanco%201". Never empty, never hidden, never holds "_".
QByteArray fileStem(const QString &benchTopic);
/// The topic back from fileStem().
QString topicOfStem(const QByteArray &stem);
/// The start of a session in a file name: "2026-12-08T10-00-00.123Z" (UTC), so that names sort
/// in time.
QByteArray startStamp(const QDateTime &start);

} // namespace labnames
