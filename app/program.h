#pragma once

#include "acquisition.h"
#include "failure.h"

#include <QString>
#include <memory>

class Recorder;
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
    /// Records every decoded sample to csvPath and every received byte to rawPath (either may
    /// be empty). Throws PlatformError when a file exists or cannot be created.
    void record(const QByteArray &csvPath, const QByteArray &rawPath);
    Recorder *recorder() const { return m_recorder.get(); }
    frmdispVanto &mainWindow() { return *m_main; }

private:
    std::unique_ptr<FailureReporter> m_ownReporter;
    FailureReporter *m_reporter;
    Acquisition m_acquisition;
    std::unique_ptr<frmdispVanto> m_main;
    std::unique_ptr<Recorder> m_recorder;
};
