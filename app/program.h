#pragma once

#include "acquisition.h"
#include "failure.h"

#include <QString>
#include <memory>

class Publishing;
class Recorder;
class WindowRecording;
struct MqttOptions;
class frmdispVanto;

/// The whole windowed program: the acquisition, built once, the failure reporter and the
/// main window, wired so that "puertos" and "grafico" create their windows on first use and
/// every window is given the same acquisition.
class Program
{
public:
    /// reporter: where failures go (nullptr: a message box). settingsPath: the settings file.
    explicit Program(FailureReporter *reporter = nullptr, const QString &settingsPath = QString(),
                     const PortChoice &ports = {});
    ~Program();

    Acquisition &acquisition() { return m_acquisition; }
    Kyrserie &kyrserie() { return m_acquisition.kyrserie(); }
    FailureReporter &reporter() { return *m_reporter; }
    /// Records every decoded sample to csvPath and their bytes to rawPath (either may be
    /// empty). Throws PlatformError when a file exists or cannot be created.
    void record(const QByteArray &csvPath, const QByteArray &rawPath);
    /// Publishes every decoded sample to the broker the options name, under their topic or the
    /// default one for portName; problems go to the failure reporter. Call after record(); with
    /// the raw file recorded there (rawPath), re-sending reaches back to the start.
    void publish(const MqttOptions &options, const QString &portName, const QByteArray &rawPath = {});
    Publishing *publishing() const { return m_publishing.get(); }
    /// A clean end (salir, a signal): what waited is decoded and written, the recording is
    /// closed, and the broker told "fuera de línea" (waiting a bounded time). Done once.
    void end();
    /// The recording running or last run, if any.
    Recorder *recorder() const;
    WindowRecording &recording() { return *m_recording; }
    frmdispVanto &mainWindow() { return *m_main; }

private:
    std::unique_ptr<FailureReporter> m_ownReporter;
    FailureReporter *m_reporter;
    Acquisition m_acquisition;
    std::unique_ptr<frmdispVanto> m_main;
    std::unique_ptr<WindowRecording> m_recording;
    std::unique_ptr<Publishing> m_publishing;
    bool m_ended = false;
};
