#pragma once

#include "platformerror.h"

#include <QHash>
#include <QObject>
#include <QStringList>

/// Where failures go, and the one information box that asks the user to acknowledge.
/// Windows get it by reference so that tests can put a recorder in its place.
class FailureReporter
{
public:
    virtual ~FailureReporter() = default;
    /// Tells the user that something failed; does not wait.
    virtual void report(const QString &message) = 0;
    /// Tells how something that goes on stands now. The first message of a topic is reported
    /// as any other; a later one takes its place where the user still sees it, and adds nothing
    /// once the user has dismissed it: told once, kept up to date. Each episode has a topic.
    virtual void reportOngoing(const QString &topic, const QString &message) = 0;
    /// A modal information box with a single OK button; returns once it is dismissed.
    virtual void information(const QString &text) = 0;
};

/// Keeps what would have been shown, for tests.
class RecordingReporter final : public FailureReporter
{
public:
    void report(const QString &message) override { failures.append(message); }
    void reportOngoing(const QString &topic, const QString &message) override
    {
        if (const auto at = m_ongoing.constFind(topic); at != m_ongoing.constEnd()) {
            failures[*at] = message;
            return;
        }
        m_ongoing.insert(topic, failures.size());
        failures.append(message);
    }
    void information(const QString &text) override { informations.append(text); }
    QStringList failures;
    QStringList informations;

private:
    QHash<QString, qsizetype> m_ongoing; // topic: its line in failures
};

/// Wraps a handler so that a PlatformError it throws ends that handler only and reaches the
/// reporter; no exception ever crosses the event loop.
template <typename Handler>
auto guarded(FailureReporter &reporter, Handler handler)
{
    return [&reporter, handler]() {
        try {
            handler();
        } catch (const PlatformError &e) {
            reporter.report(e.message());
        }
    };
}

/// Connects a signal to a guarded handler.
template <typename Sender, typename Signal, typename Handler>
QMetaObject::Connection connectHandler(const Sender *sender, Signal signal, const QObject *context,
                                       FailureReporter &reporter, Handler handler)
{
    return QObject::connect(sender, signal, context, guarded(reporter, handler));
}
