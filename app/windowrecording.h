#pragma once

#include "rotation.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class FailureReporter;
class QMainWindow;
class QMenu;
class QPoint;
class Recorder;
class Run;

/// The windowed program's recording, as the user sees it: started with --registro/--crudo or
/// from the main window's background menu ("Grabar muestras…", "Detener grabación"), stopped
/// there, or at the run's end. At most one runs at a time; the run holds it, and it records
/// what the logger would, into the same files.
class WindowRecording : public QObject
{
    Q_OBJECT
public:
    WindowRecording(Run &run, QMainWindow &main, FailureReporter &reporter);

    /// Starts recording from the next sample (either path may be empty). Throws PlatformError
    /// when a file exists or cannot be created; a recording already running goes on then.
    void start(const QByteArray &csvPath, const QByteArray &rawPath);
    /// Recordings started from now on (by the command line or the menu) go on in parts so.
    void setRotation(Rotation rotation) { m_rotation = rotation; }
    /// Ends the recording, writing everything out.
    void stop();
    Recorder *recorder() const;
    bool isRecording() const;

    /// The background menu, filled for now: what is recorded, start or stop.
    void fillMenu(QMenu &menu);

private:
    void showMenu(const QPoint &at);
    void chooseAndStart();

    Run &m_run;
    QMainWindow &m_main;
    FailureReporter &m_reporter;
    QString m_lastFolder; // of the last recording started in this run, by the menu or the command line
    bool m_lastWithRaw = false; // the file type chosen last
    Rotation m_rotation;
};
