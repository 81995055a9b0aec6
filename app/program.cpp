#include "program.h"

#include "frmcomm1.h"
#include "frmdispvanto.h"
#include "grfvanto.h"
#include "recorder.h"
#include "settingsfile.h"

#include <QFile>

Program::Program(FailureReporter *reporter, const QString &settingsPath)
    : m_ownReporter(reporter ? nullptr : new MessageBoxReporter),
      m_reporter(reporter ? reporter : m_ownReporter.get()),
      m_main(std::make_unique<frmdispVanto>(m_kyrserie, *m_reporter))
{
    const QByteArray path = settingsPath.isEmpty() ? settingsfile::defaultPath() : QFile::encodeName(settingsPath);
    frmdispVanto *main = m_main.get();
    main->setPuertosFactory([this, main, path]() -> QWidget * {
        auto *window = new frmcomm1(m_kyrserie, *main, *m_reporter, path);
        // It opens beside the main window, not over it.
        window->move(main->frameGeometry().topRight() + QPoint(10, 0));
        return window;
    });
    main->setGraficoFactory([this, main]() -> QWidget * {
        return new GRFVanto(m_kyrserie, *main, *m_reporter);
    });
}

Program::~Program()
{
    m_recorder.reset();
}

void Program::record(const QByteArray &csvPath, const QByteArray &rawPath)
{
    m_recorder = std::make_unique<Recorder>(csvPath, rawPath);
    m_recorder->attach(*m_main->MSComm1(), m_main->decoder());
    QObject::connect(m_recorder.get(), &Recorder::failed, m_main.get(),
                     [this](const QString &message) { m_reporter->report(message); });
}
