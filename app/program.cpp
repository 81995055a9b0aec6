#include "program.h"

#include "frmcomm1.h"
#include "frmdispvanto.h"
#include "grfvanto.h"
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

Program::~Program() = default;
