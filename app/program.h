#pragma once

#include "acquisition.h"
#include "failure.h"
#include "rotation.h"
#include "run.h"

#include <QString>
#include <memory>

class Publishing;
class Recorder;
class WindowRecording;
struct MqttOptions;
class frmdispVanto;

/// The whole windowed program: its run on a port, the failure reporter and the main window,
/// wired so that "puertos" and "grafico" create their windows on first use and every window
/// is given the same acquisition. "salir" and closing the main window finish the run.
class Program
{
public:
    /// reporter: where failures go (nullptr: a message box). settingsPath: the settings file.
    explicit Program(FailureReporter *reporter = nullptr, const QString &settingsPath = QString(),
                     const PortChoice &ports = {});
    ~Program();

    Run &run() { return m_run; }
    Acquisition &acquisition() { return *m_run.acquisition(); }
    Kyrserie &kyrserie() { return acquisition().kyrserie(); }
    FailureReporter &reporter() { return *m_reporter; }
    /// Records every decoded sample to csvPath and their bytes to rawPath (either may be
    /// empty). Throws PlatformError when a file exists or cannot be created.
    void record(const QByteArray &csvPath, const QByteArray &rawPath);
    /// Every recording of this run (the command line's, the menu's) goes on in parts so.
    void setRotation(Rotation rotation);
    /// Publishes every decoded sample to the broker the options name, under their topic or the
    /// default one for portName; problems go to the failure reporter. Call after record(); with
    /// the raw file recorded there (rawPath), re-sending reaches back to the start.
    void publish(const MqttOptions &options, const QString &portName, const QByteArray &rawPath = {});
    Publishing *publishing() const { return m_run.publishing(); }
    /// A clean end (salir, a signal): what waited is decoded and written, the recording is
    /// closed, and the broker told "fuera de línea"; the run's finished() follows.
    void finish() { m_run.finish(); }
    /// The recording running, if any.
    Recorder *recorder() const { return m_run.recorder(); }
    WindowRecording &recording() { return *m_recording; }
    frmdispVanto &mainWindow() { return *m_main; }

private:
    std::unique_ptr<FailureReporter> m_ownReporter;
    FailureReporter *m_reporter;
    Run m_run; // outlives the windows, which are given its acquisition
    std::unique_ptr<frmdispVanto> m_main;
    std::unique_ptr<WindowRecording> m_recording;
};
