#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

class Acquisition;
class FailureReporter;
class QMainWindow;
class QMenu;
class QPoint;
class Recorder;

/// The windowed program's recording: started with --registro/--crudo or from the main window's
/// background menu ("Grabar muestras…", "Detener grabación"), stopped there, or at the end. At
/// most one runs at a time; it records what the logger would, into the same files.
class WindowRecording : public QObject
{
    Q_OBJECT
public:
    WindowRecording(Acquisition &acquisition, QMainWindow &main, FailureReporter &reporter);
    ~WindowRecording() override;

    /// Starts recording from the next sample (either path may be empty). Throws PlatformError
    /// when a file exists or cannot be created; a recording already running goes on then.
    void start(const QByteArray &csvPath, const QByteArray &rawPath);
    /// Ends the recording, writing everything out.
    void stop();
    Recorder *recorder() const { return m_recorder.get(); }
    bool isRecording() const;

    /// The background menu, filled for now: what is recorded, start or stop.
    void fillMenu(QMenu &menu);

private:
    void showMenu(const QPoint &at);
    void chooseAndStart();

    Acquisition &m_acquisition;
    QMainWindow &m_main;
    FailureReporter &m_reporter;
    std::unique_ptr<Recorder> m_recorder;
    QString m_lastFolder; // of the last recording started in this run, by the menu or the command line
    bool m_lastWithRaw = false; // the file type chosen last
};
