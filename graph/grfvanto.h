#pragma once

#include "failure.h"
#include "kyrserie.h"

#include <QWidget>
#include <functional>
#include <optional>

class Acquisition;
class PacedText;
class PictureBox;
class QLabel;
class QLineEdit;
class QTimer;

/// The live graph window: a frame, two axes and value labels on Picture1, and a 10 ms timer
/// whose ticks plot the newly stored samples as red points. Created on first "grafico", then
/// shown and hidden; closing it from the title bar discards it.
class GRFVanto : public QWidget
{
    Q_OBJECT
public:
    /// main: the window that Salir shows again.
    GRFVanto(Acquisition &acquisition, QWidget &main, FailureReporter &reporter, QWidget *parent = nullptr);

    PictureBox *Picture1() const { return m_picture; }
    QTimer *Timer1() const { return m_timer; }
    QLineEdit *Zoom() const { return m_zoom; }
    QLineEdit *ecr() const { return m_ecr; }
    QLabel *Label1() const { return m_label1; }

    /// Where "Guardar imagen…" asks for the file name (a save dialog unless replaced; tests
    /// replace it). An empty name means the user cancelled.
    void setImagePathChooser(std::function<QString()> choose) { m_chooseImagePath = std::move(choose); }
    /// Where "Guardar imagen…" asks whether an existing file may be replaced (a question box
    /// unless replaced; tests replace it). Gets the path that would be written; true: replace.
    void setReplaceQuestion(std::function<bool(const QString &)> ask) { m_askReplace = std::move(ask); }
    /// Saves the drawing surface as drawn, in the format the chosen name says (.png, .jpg,
    /// .jpeg; ".png" is added to a name without one), after asking before replacing a file.
    void guardarImagen();

    void Form_Load();
    void Graficar_Click();
    void Salir_Click();
    void Timer1_Timer();

private:
    /// One plotting pass.
    void trazar();
    void drawFrame();
    void drawLabels();

    Acquisition &m_acq;
    /// What a pass draws from, besides the zoom. A pass from the same as the last one, at the
    /// same zoom, would draw the same point over itself and set the same texts.
    struct PassInputs
    {
        bool counted;
        int counter;
        int cursor;
        qint32 value;
        bool operator==(const PassInputs &) const = default;
    };
    PassInputs passInputs() const;

    Kyrserie &m_k;
    QWidget &m_main;
    FailureReporter &m_reporter;
    PictureBox *m_picture;
    QTimer *m_timer;
    QLineEdit *m_zoom;
    QLineEdit *m_ecr;
    QLabel *m_label1;
    PacedText *m_label1Paced; // counter and value change at every pass: laid out once per frame
    PacedText *m_ecrPaced;
    std::function<QString()> m_chooseImagePath;
    std::function<bool(const QString &)> m_askReplace;
    // None until a pass has drawn on the cleared surface at the zoom shown.
    std::optional<PassInputs> m_lastPass;
};
