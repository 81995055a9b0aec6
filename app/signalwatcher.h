#pragma once

#include <QObject>

class QSocketNotifier;

/// SIGINT, SIGTERM and SIGHUP as a Qt signal: the handler only writes the signal's number to
/// a socket pair, and the event loop reads it, so no work is done inside the handler.
class SignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

signals:
    void received(int signalNumber);

private:
    QSocketNotifier *m_notifier = nullptr;
};
