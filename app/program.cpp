#include "program.h"

#include "frmcomm1.h"
#include "frmdispvanto.h"
#include "grfvanto.h"
#include "messageboxreporter.h"
#include "publishing.h"
#include "recorder.h"
#include "settingsfile.h"
#include "windowrecording.h"

#include <QFile>
#include <QScreen>

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
        // It opens beside the main window, not over it, and on the screen whatever the main
        // window's size.
        const QRect screen = main->screen()->availableGeometry();
        QPoint at = main->frameGeometry().topRight() + QPoint(10, 0);
        at.setX(qBound(screen.left(), at.x(), screen.right() - window->frameGeometry().width()));
        at.setY(qBound(screen.top(), at.y(), screen.bottom() - window->frameGeometry().height()));
        window->move(at);
        return window;
    });
    main->setGraficoFactory([this, main]() -> QWidget * {
        return new GRFVanto(m_acquisition, *main, *m_reporter);
    });
}

Program::~Program()
{
    end();
    m_publishing.reset();
    m_recording.reset();
}

void Program::end()
{
    if (m_ended)
        return;
    m_ended = true;
    // As at a signal: what waited is decoded and written first, then the network's last words.
    if (m_recording->isRecording() || m_publishing)
        m_acquisition.finish();
    m_recording->stop();
    if (m_publishing)
        m_publishing->finish();
}

void Program::publish(const MqttOptions &options, const QString &portName, const QByteArray &rawPath)
{
    const Recorder *local = recorder();
    const bool raw = local && local->hasRaw();
    m_publishing = std::make_unique<Publishing>(
        options, portName, m_acquisition, [this] { return recorder(); }, raw ? rawPath : QByteArray(),
        raw ? local->rawStartPosition() : 0, [this](const QString &message) { m_reporter->report(message); },
        local ? local->originNanos() : -1);
}

void Program::record(const QByteArray &csvPath, const QByteArray &rawPath)
{
    m_recording->start(csvPath, rawPath);
}

Recorder *Program::recorder() const
{
    return m_recording->recorder();
}
