#include "grfvanto.h"

#include "acquisition.h"
#include "picturebox.h"
#include "plotting.h"
#include "textrules.h"
#include "displayfont.h"
#include "framepacer.h"
#include "platformerror.h"
#include "outersize.h"
#include "syserror.h"
#include "twips.h"
#include "widgets.h"

#include <QBuffer>
#include <QFileDialog>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QSaveFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cerrno>

namespace {

struct Segment
{
    QPointF from, to;
};
// Vertical axis, horizontal axis, top frame line, right frame line.
constexpr Segment kFrame[] = {{{500, 400}, {500, 5500}},
                              {{500, 5500}, {10800, 5500}},
                              {{500, 500}, {10500, 500}},
                              {{10500, 500}, {10500, 5500}}};

struct ImageTarget
{
    QString path;
    const char *format;
};

/// The file a typed name is saved to, and in which format: the extension decides, as every
/// program that later opens the file by its name will assume; a name without one gets ".png".
ImageTarget imageTarget(const QString &typed)
{
    const QString suffix = QFileInfo(typed).suffix().toLower();
    if (suffix.isEmpty())
        return {typed + (typed.endsWith(u'.') ? QStringLiteral("png") : QStringLiteral(".png")), "PNG"};
    if (suffix == u"png")
        return {typed, "PNG"};
    if (suffix == u"jpg" || suffix == u"jpeg")
        return {typed, "JPEG"};
    // Any other extension is refused, not guessed: PNG data under "x.bmp" would be mislabelled,
    // and adding ".png" would write "x.bmp.png", a name the user never typed.
    throw PlatformError(QStringLiteral("No se guardó la imagen: «%1» no termina en .png, .jpg ni .jpeg. "
                                       "Elija uno de esos formatos (un nombre sin extensión se guarda como PNG).")
                            .arg(QFileInfo(typed).fileName()));
}

/// Writes the bytes to path, replacing it only once everything is written; throws
/// PlatformError with the system's reason, in Spanish.
void writeImageFile(const QString &path, const QByteArray &bytes)
{
    auto fail = [&](int err) {
        throw PlatformError(QStringLiteral("No se guardó la imagen en %1: %2.")
                                .arg(QDir::toNativeSeparators(path),
                                     err ? syserror::reason(err) : QStringLiteral("falló la escritura")));
    };
    QSaveFile file(path); // unwritten or uncommitted, it leaves the old file as it was
    // Unbuffered, a failed write is seen at the call that failed, with its error number.
    errno = 0;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        fail(errno);
    for (qsizetype done = 0; done < bytes.size();) {
        errno = 0;
        const qint64 n = file.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0)
            fail(errno);
        done += n;
    }
    errno = 0;
    if (!file.commit())
        fail(errno);
}

QString askImagePath(QWidget *parent)
{
    const QString png = QStringLiteral("Imagen PNG (*.png)");
    const QString jpeg = QStringLiteral("Imagen JPEG (*.jpg *.jpeg)");
    QString chosenFilter = png;
    // The dialog would ask about the name as typed; guardarImagen asks about the file it writes.
    QString path = QFileDialog::getSaveFileName(parent, QStringLiteral("Guardar imagen"), QString(), png + QStringLiteral(";;") + jpeg,
                                                &chosenFilter, QFileDialog::DontConfirmOverwrite);
    // A name without an extension takes the one of the type chosen in the dialog.
    if (!path.isEmpty() && QFileInfo(path).suffix().isEmpty() && chosenFilter == jpeg)
        path += path.endsWith(u'.') ? QStringLiteral("jpg") : QStringLiteral(".jpg");
    return path;
}

bool askReplace(QWidget *parent, const QString &path)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Guardar imagen"),
                    QStringLiteral("Ya existe %1.\n¿Desea reemplazarlo?").arg(QDir::toNativeSeparators(path)),
                    QMessageBox::NoButton, parent);
    QPushButton *replace = box.addButton(QStringLiteral("Reemplazar"), QMessageBox::AcceptRole);
    box.setDefaultButton(box.addButton(QStringLiteral("Cancelar"), QMessageBox::RejectRole));
    box.exec();
    return box.clickedButton() == replace;
}

} // namespace

GRFVanto::GRFVanto(Acquisition &acquisition, QWidget &main, FailureReporter &reporter, QWidget *parent)
    : QWidget(parent), m_acq(acquisition), m_k(acquisition.kyrserie()), m_main(main), m_reporter(reporter)
{
    setObjectName(QStringLiteral("GRFVanto"));
    setWindowTitle(QStringLiteral("GRFVanto"));
    setAttribute(Qt::WA_DeleteOnClose); // closed from the title bar, it is discarded
    paceRepaints(this);
    resize(twips::px(11055), twips::px(7695));

    // Created in tab order.
    auto *salir = placeWidget<QPushButton>(this, "salir", QStringLiteral("Salir"), 480, 7080, 1335, 375);
    m_picture = new PictureBox(this);
    m_picture->setObjectName(QStringLiteral("Picture1"));
    m_picture->setFocusPolicy(Qt::StrongFocus); // it takes the focus in its turn, like any control
    m_picture->move(twips::px(120), twips::px(120));
    m_picture->setSizeTwips(10695, 6015);
    auto *graficar = placeWidget<QPushButton>(this, "Graficar", QStringLiteral("Graficar"), 480, 6360, 1335, 375);
    m_label1 = placeWidget<QLabel>(this, "Label1", QStringLiteral("0"), 9720, 6360, 735, 375);
    placeWidget<QLabel>(this, "Label2", QStringLiteral("Muestra en curso:"), 8160, 6360, 1335, 375);
    placeWidget<QLineEdit>(this, "muestras", QStringLiteral("1000"), 4440, 6600, 735, 375);
    placeWidget<QLabel>(this, "Label4", QStringLiteral("Número de muestras:"), 2760, 6720, 1575, 255);
    m_zoom = placeWidget<QLineEdit>(this, "Zoom", QStringLiteral("10"), 7200, 7200, 495, 405);
    placeWidget<QLabel>(this, "Label5", QStringLiteral("Zomm  X"), 6240, 7320, 855, 255);
    m_ecr = placeWidget<QLineEdit>(this, "ecr", QString(), 3720, 7200, 855, 375);
    m_label1->setFont(numberFont(m_label1->font()));
    m_ecr->setFont(numberFont(m_ecr->font()));
    m_label1Paced = new PacedText(m_label1);
    m_ecrPaced = new PacedText(m_ecr);
    salir->setFocus();

    m_timer = new QTimer(this);
    m_timer->setObjectName(QStringLiteral("Timer1"));
    m_timer->setInterval(10);
    m_timer->start();

    // The drawing surface's context menu: the one thing this window has beyond its controls.
    m_picture->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_picture, &QWidget::customContextMenuRequested, this, [this](const QPoint &at) {
        QMenu menu(this);
        QAction *save = menu.addAction(QStringLiteral("Guardar imagen…"));
        save->setObjectName(QStringLiteral("guardarImagen"));
        connectHandler(save, &QAction::triggered, this, m_reporter, [this] { guardarImagen(); });
        menu.exec(m_picture->mapToGlobal(at));
    });
    m_chooseImagePath = [this] { return askImagePath(this); };
    m_askReplace = [this](const QString &path) { return askReplace(this, path); };

    connectHandler(salir, &QPushButton::clicked, this, m_reporter, [this] { Salir_Click(); });
    connectHandler(graficar, &QPushButton::clicked, this, m_reporter, [this] { Graficar_Click(); });
    connectHandler(m_timer, &QTimer::timeout, this, m_reporter, [this] { Timer1_Timer(); });
    connect(m_zoom, &QLineEdit::textChanged, this, [this] { m_lastPass.reset(); });

    Form_Load();
}

void GRFVanto::guardarImagen()
{
    const QString typed = m_chooseImagePath ? m_chooseImagePath() : QString();
    if (typed.isEmpty())
        return;
    const ImageTarget target = imageTarget(typed);
    const QFileInfo info(target.path);
    if (!info.absoluteDir().exists())
        throw PlatformError(QStringLiteral("No se guardó la imagen: no existe la carpeta %1.").arg(info.absolutePath()));
    if (info.isDir())
        throw PlatformError(QStringLiteral("No se guardó la imagen: %1 es una carpeta.").arg(info.absoluteFilePath()));
    if (info.exists() && !(m_askReplace && m_askReplace(info.absoluteFilePath())))
        return;
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    // High JPEG quality: the plot is single-pixel points that the default quality smears.
    if (!m_picture->image().save(&buffer, target.format, qstrcmp(target.format, "JPEG") == 0 ? 95 : -1))
        throw PlatformError(QStringLiteral("No se guardó la imagen: no se pudo codificar como %1.").arg(QLatin1String(target.format)));
    writeImageFile(target.path, bytes);
}

void GRFVanto::Form_Load()
{
    m_timer->stop();
    // Left and Top place the outer corner; Width and Height are the outer size, frame included.
    move(twips::px(100), twips::px(100));
    keepOuterSize(this, QSize(twips::px(11750), twips::px(8100)));
    m_picture->setSizeTwips(11100, 6015);
    m_lastPass.reset();
}

void GRFVanto::Graficar_Click()
{
    m_lastPass.reset();
    m_picture->Cls();
    drawFrame();
    drawLabels();
    m_timer->start();
}

void GRFVanto::Salir_Click()
{
    hide();
    m_main.setVisible(true);
    m_timer->stop();
}

void GRFVanto::drawFrame()
{
    for (const auto &s : kFrame)
        m_picture->Line(s.from, s.to);
}

void GRFVanto::drawLabels()
{
    for (int v = 0; v <= 5000; v += 1000) {
        const QPointF at(50, 5400 - v);
        m_picture->Line(at, at); // leaves the current position where the label goes
        m_picture->Print(textrules::printedNumber(v));
    }
}

GRFVanto::PassInputs GRFVanto::passInputs() const
{
    const int counter = m_k.contador.value();
    return {m_k.contador.isSet(), counter, m_k.posgraf.value(), m_k.valores[counter]};
}

void GRFVanto::Timer1_Timer()
{
    // Nothing new since the last pass: it would change nothing on screen, so waiting for data
    // costs no more than the timer's tick.
    if (m_lastPass && *m_lastPass == passInputs())
        return;
    trazar();
    m_lastPass = passInputs();
}

void GRFVanto::trazar()
{
    // Reception pauses while the ring is read; afterwards it is as the user left it (a STOP
    // stays a STOP, a Continuar stays on), whether the port is open or not.
    const Acquisition::Hold paused = m_acq.holdReception();
    const int counter = m_k.contador.value();
    m_label1Paced->setText(m_k.contador.text());
    m_ecrPaced->setText(textrules::plainNumber(m_k.valores[counter]));
    m_timer->stop();

    // The zoom is read once per pass: nothing can change it while the pass runs.
    const double zoom = textrules::numericValue(m_zoom->text());
    const std::optional<int> erase = plotting::eraseSlot(zoom);
    const int cursor = m_k.posgraf.value();
    const QColor red = PictureBox::fromBgr(plotting::kPointColour);
    plotting::forEachSlot(cursor, counter, [&](int slot) {
        // The sweep reaching the erase slot clears the plot area, also when the pass runs past
        // it; the cursor's own slot was already reached by the previous pass.
        if (erase && slot == *erase && slot != cursor) {
            m_picture->FilledBox(plotting::kEraseFrom, plotting::kEraseTo, m_picture->backColor());
            drawLabels(); // the box overlaps the labels' right ends
        }
        if (const auto p = plotting::pointOf(slot, m_k.valores[slot], zoom))
            m_picture->PSet(float(p->x()), float(p->y()), red);
    });
    if (m_k.contador.isSet())
        m_k.posgraf.set(counter);
    m_timer->start();
}
