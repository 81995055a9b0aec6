#pragma once

#include "say.h"

#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <memory>

struct Options;
class Recorder;
class Run;
class SignalWatcher;

/// The recorder of the files the options name, with their sample count; nothing (and the
/// reason said) when a file exists or cannot be created.
std::unique_ptr<Recorder> openRecorder(const Options &o);

/// The logger's side of a run whose source is ready and whose recorder is in place: it ends
/// the run at the sample count, a signal, the end its source decides, or when no file is left
/// to write; then it says a summary. What feeds the run (a port, a remote bench) fills in the
/// hooks.
class LoggerRun
{
public:
    LoggerRun(const Options &o, Run &run);
    virtual ~LoggerRun() = default;
    LoggerRun(const LoggerRun &) = delete;
    LoggerRun &operator=(const LoggerRun &) = delete;

    /// Runs the event loop until the run has finished; returns the exit status (0 only when
    /// everything asked for was written).
    int exec(SignalWatcher &watcher);

protected:
    /// Connects what ends the run early (a lost device, a remote bench complete) to end().
    virtual void watch() = 0;
    /// Said when nothing at all was recorded: where nothing came from.
    virtual QString nothingCame() const = 0;
    /// Further sentences for the summary, and whether the run lacks something (then it fails).
    virtual QStringList moreSummary(bool *lacking) const
    {
        *lacking = false;
        return {};
    }
    /// Ends the run: the progress line is done with, and the run finishes.
    void end();

    const Options &m_o;
    Run &m_run;
    Recorder &m_r;

private:
    void showProgress();
    int summary(bool complete);

    QElapsedTimer m_clock;
    QTimer m_progress;
    bool m_terminal = false;
    quint64 m_lastSamples = 0;
};
