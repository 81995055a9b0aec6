#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <csignal>

class QSocketNotifier;

/// SIGINT, SIGTERM and SIGHUP as a Qt signal: the handler only writes the signal's number to
/// a socket pair, and the event loop reads it, so no work is done inside the handler. The
/// handlers found at the start are put back at the end.
class SignalWatcher : public QObject
{
    Q_OBJECT
public:
    /// withReport: SIGUSR1 too (a request for a report, not an end).
    explicit SignalWatcher(bool withReport = false, QObject *parent = nullptr);
    ~SignalWatcher() override;

    /// Empty when the signals are watched; otherwise why not, in Spanish (the program then
    /// ends at a signal as any program does, without writing out what it holds).
    QString error() const { return m_error; }

signals:
    void received(int signalNumber);

private:
    QSocketNotifier *m_notifier = nullptr;
    QString m_error;
    std::array<struct sigaction, 4> m_previous{};
    size_t m_watched = 3;
    bool m_installed = false;
};
