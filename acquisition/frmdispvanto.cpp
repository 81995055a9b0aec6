#include "frmdispvanto.h"

#include "displaybox.h"
#include "displayfont.h"
#include "textrules.h"
#include "framepacer.h"
#include "twips.h"
#include "widgets.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>

namespace {

void showWindow(QWidget *w)
{
    // A minimized window comes back as it was (a maximized one stays maximized).
    w->setWindowState(w->windowState() & ~Qt::WindowMinimized);
    w->show();
    w->raise();
    w->activateWindow();
}

} // namespace

frmdispVanto::frmdispVanto(Acquisition &acquisition, FailureReporter &reporter, QWidget *parent)
    : QMainWindow(parent), m_acq(acquisition), m_k(acquisition.kyrserie()), m_reporter(reporter),
      m_exit([] { QCoreApplication::exit(0); })
{
    setObjectName(QStringLiteral("frmdispVanto"));
    setWindowTitle(QStringLiteral("dispVanto"));
    paceRepaints(this);

    auto *client = new QWidget(this);
    client->setFixedSize(twips::px(7575), twips::px(5295));
    setCentralWidget(client);

    // The frame is drawn first so that the display box stands in front of it.
    m_framdis = placeWidget<QFrame>(client, "Framdis", 720, 120, 5415, 2535);
    m_framdis->setFrameShape(QFrame::Box);
    m_text1 = placeWidget<DisplayBox>(client, "Text1", 960, 360, 5055, 1875);
    m_text1->setFont(displayFont());
    m_text1->setAlignment(Qt::AlignCenter);
    m_settings = placeWidget<QLabel>(client, "settings", 360, 3000, 3375, 255);
    placeWidget<QLabel>(client, "Label1", QStringLiteral("Configuracion puerto"), 480, 3480, 2175, 375);
    auto *borrar = placeWidget<QPushButton>(client, "borrar", QStringLiteral("B"), 3240, 3480, 375, 375);
    auto *stop = placeWidget<QPushButton>(client, "STOP", QStringLiteral("STOP"), 3120, 4200, 1095, 495);
    auto *continuar = placeWidget<QPushButton>(client, "continuar", QStringLiteral("Continuar"), 840, 4200, 1095, 495);

    // Tab order by tab index: Text1, settings, Label1, Framdis, borrar, STOP, continuar.
    QWidget::setTabOrder(m_text1, borrar);
    QWidget::setTabOrder(borrar, stop);
    QWidget::setTabOrder(stop, continuar);
    m_text1->setFocus();

    auto *config = menuBar()->addMenu(QStringLiteral("configurar"));
    config->setObjectName(QStringLiteral("config"));
    auto *puertos = config->addAction(QStringLiteral("puertos"));
    puertos->setObjectName(QStringLiteral("puertos"));
    auto *salir = config->addAction(QStringLiteral("salir"));
    salir->setObjectName(QStringLiteral("salir"));
    auto *mnugrf = menuBar()->addMenu(QStringLiteral("GRFVantoo"));
    mnugrf->setObjectName(QStringLiteral("mnugrf"));
    auto *mnugrafico = mnugrf->addAction(QStringLiteral("grafico"));
    mnugrafico->setObjectName(QStringLiteral("mnugrafico"));

    connectHandler(continuar, &QPushButton::clicked, this, m_reporter, [this] { continuar_Click(); });
    connectHandler(stop, &QPushButton::clicked, this, m_reporter, [this] { STOP_Click(); });
    connectHandler(borrar, &QPushButton::clicked, this, m_reporter, [this] { borrar_Click(); });
    connectHandler(puertos, &QAction::triggered, this, m_reporter, [this] { puertos_Click(); });
    connectHandler(salir, &QAction::triggered, this, m_reporter, [this] { Salir_Click(); });
    connectHandler(mnugrafico, &QAction::triggered, this, m_reporter, [this] { mnugrafico_Click(); });
    connectHandler(&m_acq, &Acquisition::delivered, this, m_reporter, [this] { showDisplay(); });
    connect(&m_acq, &Acquisition::discarded, this, &frmdispVanto::tellDiscard);
    connect(&m_acq, &Acquisition::delivered, this, [this] {
        if (m_discards.isOpen() && m_acq.waiting() == 0)
            m_discards.end(); // decoding caught up: the flood is over
    });
    connect(&m_acq, &Acquisition::portOpenChanged, this, [this] {
        if (m_portStateShown)
            showPortState();
    });
    connect(&m_acq, &Acquisition::failed, this, [this](const QString &message) { m_reporter.report(message); });

    // The client area sits at (165, 555) twips from the screen's top-left corner.
    move(twips::px(165), twips::px(555) - menuBar()->sizeHint().height());
}

frmdispVanto::~frmdispVanto()
{
    delete m_puertos.data();
    delete m_grafico.data();
}

void frmdispVanto::continuar_Click()
{
    m_acq.resume();
}

void frmdispVanto::STOP_Click()
{
    m_acq.stop();
}

void frmdispVanto::showPortState()
{
    m_portStateShown = true;
    const PortStatus port = m_acq.status();
    setTextIfChanged(m_settings, port.open ? port.settings + QStringLiteral("Puerto Abierto")
                                           : m_k.cadenaconf + QStringLiteral("Puerto Cerrado"));
}

void frmdispVanto::borrar_Click()
{
    m_text1->setText(QString());
}

void frmdispVanto::puertos_Click()
{
    if (!m_puertos && m_makePuertos)
        m_puertos = m_makePuertos();
    if (m_puertos)
        showWindow(m_puertos);
}

void frmdispVanto::mnugrafico_Click()
{
    if (!m_grafico && m_makeGrafico)
        m_grafico = m_makeGrafico();
    if (m_grafico)
        showWindow(m_grafico);
}

void frmdispVanto::Salir_Click()
{
    m_exit();
}

// One warning line per episode, kept up to date, rather than one per gap of a long flood.
void frmdispVanto::tellDiscard(const StreamEvent &gap)
{
    m_discards.add(gap);
    m_reporter.reportOngoing(QStringLiteral("descarte %1").arg(m_discards.number()),
                             m_discards.text(m_acq.waitLimit()));
}

void frmdispVanto::showDisplay()
{
    // The display shows the newest sample; it is written once per delivered batch, since no
    // handler can run between two samples of one batch to see the difference. It is written
    // at once, not at the next frame: what reads it (a test, a screen reader) sees the sample
    // within a millisecond of its arrival.
    const quint64 decoded = m_acq.decoder().samplesDecoded();
    if (decoded == m_shownSamples)
        return;
    m_shownSamples = decoded;
    // Text1 is made a DisplayBox above: only the digits that changed are repainted.
    static_cast<DisplayBox *>(m_text1)->showText(textrules::signedNumber(m_k.valores[m_k.contador.value()]));
}

void frmdispVanto::closeEvent(QCloseEvent *event)
{
    // Closing the main window ends the program, like "salir".
    event->accept();
    Salir_Click();
}
