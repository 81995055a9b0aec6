#pragma once

#include "failure.h"
#include "kyrserie.h"
#include "serialsettings.h"

#include <QMap>
#include <QWidget>

class Acquisition;
class frmdispVanto;
class QPushButton;
class QRadioButton;

/// The configuration window: five option groups, apply ("Confserie"), save, load and close.
/// It is created once and afterwards only shown and hidden; closing it from the title bar
/// hides it too, so its selections stay.
class frmcomm1 : public QWidget
{
    Q_OBJECT
public:
    /// main: the window whose label and frame Cerrar writes.
    frmcomm1(Acquisition &acquisition, frmdispVanto &main, FailureReporter &reporter,
             const QByteArray &settingsPath, QWidget *parent = nullptr);

    QString velocidad() const { return m_velocidad; }
    QRadioButton *optionButton(const char *name) const;

    void Configserie_Click();
    void cerrar_Click();
    void guardar1_Click();
    void Cargar_Click();

    void br300_Click() { choose("br300"); }
    void br1200_Click() { choose("br1200"); }
    void br2400_Click() { choose("br2400"); }
    void br4800_Click() { choose("br4800"); }
    void br9600_Click() { choose("br9600"); }
    void pnopar_Click() { choose("pnopar"); }
    void pimpar_Click() { choose("pimpar"); }
    void ppar_Click() { choose("ppar"); }
    void bd7_Click() { choose("bd7"); }
    void bd8_Click() { choose("bd8"); }
    void bs1_Click() { choose("bs1"); }
    void bs2_Click() { choose("bs2"); }
    void pto3f8_Click() { choose("pto3f8"); }
    void pto2f8_Click() { choose("pto2f8"); }

private:
    /// Stores the button's piece; a port button also switches the control's port at once.
    void choose(const char *name);
    serialsettings::Pieces pieces() const;
    void setPieces(const serialsettings::Pieces &p);

    Acquisition &m_acq;
    Kyrserie &m_k;
    frmdispVanto &m_main;
    FailureReporter &m_reporter;
    QByteArray m_settingsPath; // as the system names it
    QString m_velocidad;
    QMap<QByteArray, QRadioButton *> m_buttons;
    QPushButton *m_guardar1;
};
