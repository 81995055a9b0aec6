#pragma once

#include "say.h"

#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <memory>

struct Options;
class Recorder;

/// The recorder of the files the options name, with their sample count; nothing (and the
/// reason said) when a file exists or cannot be created.
std::unique_ptr<Recorder> openRecorder(const Options &o);

/// One run of the logger once its source is ready: until the sample count, a signal, the end
/// its source decides, or no file left to write; then what is pending is written and a
/// summary said. What feeds the recorder (a port, a remote bench) fills in the hooks.
class LoggerRun
{
public:
    LoggerRun(const Options &o, Recorder &r) : m_o(o), m_r(r) {}
    virtual ~LoggerRun() = default;
    LoggerRun(const LoggerRun &) = delete;
    LoggerRun &operator=(const LoggerRun &) = delete;

    /// Runs the event loop until the end; returns the exit status (0 only when everything asked
    /// for was written).
    int exec();

protected:
    /// Connects what ends the run early (a lost device, a remote bench complete).
    virtual void watch() = 0;
    /// After the loop: everything the source still holds goes to the recorder.
    virtual void drain() = 0;
    /// After the files are closed: the network's last words (bounded).
    virtual void wrapUp() {}
    /// Said when nothing at all was recorded: where nothing came from.
    virtual QString nothingCame() const = 0;
    /// Further sentences for the summary, and whether the run lacks something (then it fails).
    virtual QStringList moreSummary(bool *lacking) const
    {
        *lacking = false;
        return {};
    }

    const Options &m_o;
    Recorder &m_r;

private:
    void showProgress();
    int summary(bool complete);

    QElapsedTimer m_clock;
    quint64 m_lastSamples = 0;
};
