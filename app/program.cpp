#include "program.h"

#include "frmcomm1.h"
#include "frmdispvanto.h"
#include "grfvanto.h"
#include "messageboxreporter.h"
#include "settingsfile.h"
#include "windowrecording.h"

#include <QFile>
#include <QScreen>

Program::Program(FailureReporter *reporter, const QString &settingsPath, const PortChoice &ports)
    : m_ownReporter(reporter ? nullptr : new MessageBoxReporter),
      m_reporter(reporter ? reporter : m_ownReporter.get()), m_run(ports),
      m_main(std::make_unique<frmdispVanto>(acquisition(), *m_reporter)),
      m_recording(std::make_unique<WindowRecording>(m_run, *m_main, *m_reporter))
{
    const QByteArray path = settingsPath.isEmpty() ? settingsfile::defaultPath() : QFile::encodeName(settingsPath);
    frmdispVanto *main = m_main.get();
    main->setExitFunction([this] { finish(); });
    main->setPuertosFactory([this, main, path]() -> QWidget * {
        auto *window = new frmcomm1(acquisition(), *main, *m_reporter, path);
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
        return new GRFVanto(acquisition(), *main, *m_reporter);
    });
}

Program::~Program() = default;

void Program::publish(const MqttOptions &options, const QString &portName, const QByteArray &rawPath)
{
    m_run.publish(options, portName, rawPath, [this](const QString &message) { m_reporter->report(message); });
}

void Program::setRotation(Rotation rotation)
{
    m_recording->setRotation(rotation);
}

void Program::record(const QByteArray &csvPath, const QByteArray &rawPath)
{
    m_recording->start(csvPath, rawPath);
}
