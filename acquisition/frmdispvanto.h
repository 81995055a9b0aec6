#pragma once

#include "acquisition.h"
#include "discardepisode.h"
#include "failure.h"

#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <memory>

class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QAction;

/// The main window: the large display of the newest sample, STOP / Continuar, the "B" button
/// and the menu. The acquisition it shows is given to it, as to the other windows.
class frmdispVanto : public QMainWindow
{
    Q_OBJECT
public:
    using WindowFactory = std::function<QWidget *()>;

    frmdispVanto(Acquisition &acquisition, FailureReporter &reporter, QWidget *parent = nullptr);
    ~frmdispVanto() override;

    QLineEdit *Text1() const { return m_text1; }
    QLabel *settings() const { return m_settings; }
    QFrame *Framdis() const { return m_framdis; }

    /// How "puertos" and "grafico" create their windows the first time (and again after a
    /// window was discarded). The windows are kept and only shown afterwards.
    void setPuertosFactory(WindowFactory make) { m_makePuertos = std::move(make); }
    void setGraficoFactory(WindowFactory make) { m_makeGrafico = std::move(make); }
    QWidget *puertosWindow() const { return m_puertos; }
    QWidget *graficoWindow() const { return m_grafico; }
    /// What "salir" does; ends the application unless replaced (tests replace it).
    void setExitFunction(std::function<void()> exit) { m_exit = std::move(exit); }

    void continuar_Click();
    void STOP_Click();
    void borrar_Click();
    void puertos_Click();
    void mnugrafico_Click();
    void Salir_Click();

    /// Writes the port label: the settings in force and "Puerto Abierto" while the port is
    /// open, the chosen settings and "Puerto Cerrado" while it is closed. Once written, the
    /// label follows the port (a lost device, a reopened one) by itself.
    void showPortState();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void showDisplay();
    void tellDiscard(const StreamEvent &gap);

    Acquisition &m_acq;
    Kyrserie &m_k;
    FailureReporter &m_reporter;
    quint64 m_shownSamples = 0;
    bool m_portStateShown = false;
    DiscardEpisode m_discards;
    QLineEdit *m_text1;
    QLabel *m_settings;
    QFrame *m_framdis;
    WindowFactory m_makePuertos;
    WindowFactory m_makeGrafico;
    QPointer<QWidget> m_puertos;
    QPointer<QWidget> m_grafico;
    std::function<void()> m_exit;
};
