#include "program.h"

#include "frmcomm1.h"
#include "frmdispvanto.h"
#include "grfvanto.h"
#include "messageboxreporter.h"
#include "recorder.h"
#include "settingsfile.h"
#include "windowrecording.h"

#include <QFile>

Program::Program(FailureReporter *reporter, const QString &settingsPath, const PortChoice &ports)
    : m_ownReporter(reporter ? nullptr : new MessageBoxReporter),
      m_reporter(reporter ? reporter : m_ownReporter.get()), m_acquisition(ports),
      m_main(std::make_unique<frmdispVanto>(m_acquisition, *m_reporter)),
      m_recording(std::make_unique<WindowRecording>(m_acquisition, *m_main, *m_reporter))
{
    const QByteArray path = settingsPath.isEmpty() ? settingsfile::defaultPath() : QFile::encodeName(settingsPath);
    frmdispVanto *main = m_main.get();
    main->setPuertosFactory([this, main, path]() -> QWidget * {
        auto *window = new frmcomm1(m_acquisition, *main, *m_reporter, path);
        // It opens beside the main window, not over it.
        window->move(main->frameGeometry().topRight() + QPoint(10, 0));
        return window;
    });
    main->setGraficoFactory([this, main]() -> QWidget * {
        return new GRFVanto(m_acquisition, *main, *m_reporter);
    });
}

Program::~Program()
{
    // A recording ends as cleanly as at a signal: what waited is decoded and written first.
    if (m_recording->isRecording())
        m_acquisition.finish();
    m_recording.reset();
}

void Program::record(const QByteArray &csvPath, const QByteArray &rawPath)
{
    m_recording->start(csvPath, rawPath);
}

Recorder *Program::recorder() const
{
    return m_recording->recorder();
}
