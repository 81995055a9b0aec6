#include "windowrecording.h"

#include "failure.h"
#include "platformerror.h"
#include "recorder.h"
#include "run.h"
#include "textrules.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>

namespace {

const QString kTitle = QStringLiteral("Grabar muestras");
const QString kCsvOnly = QStringLiteral("Muestras en CSV (*.csv)");
const QString kCsvAndRaw = QStringLiteral("Muestras en CSV y bytes crudos al lado, en .bin (*.csv)");

/// The raw file that goes beside a CSV file: the same name with .bin.
QString rawBeside(const QString &csv)
{
    const QFileInfo f(csv);
    return f.dir().filePath((f.suffix().compare(QStringLiteral("csv"), Qt::CaseInsensitive) == 0 ? f.completeBaseName()
                                                                                                : f.fileName())
                            + QStringLiteral(".bin"));
}

/// The save dialog: CSV alone, or with the raw bytes beside it.
class RecordingDialog : public QFileDialog
{
public:
    RecordingDialog(QWidget *parent, const QString &folder, bool withRaw) : QFileDialog(parent, kTitle, folder)
    {
        setObjectName(QStringLiteral("dialogoGrabar"));
        setOption(QFileDialog::DontUseNativeDialog);
        setOption(QFileDialog::DontConfirmOverwrite); // never replaced: refused below instead
        setAcceptMode(QFileDialog::AcceptSave);
        setFileMode(QFileDialog::AnyFile);
        setDefaultSuffix(QStringLiteral("csv"));
        setNameFilters({kCsvOnly, kCsvAndRaw});
        selectNameFilter(withRaw ? kCsvAndRaw : kCsvOnly);
        connect(this, &QFileDialog::fileSelected, this, [this](const QString &file) { m_chosen = file; });
    }
    /// Asks for the file: true with csv (and raw, if asked for) when the user chose one.
    bool choose(QString *csv, QString *raw)
    {
        m_chosen.clear();
        if (exec() != QDialog::Accepted || m_chosen.isEmpty())
            return false;
        *csv = m_chosen;
        *raw = selectedNameFilter() == kCsvAndRaw ? rawBeside(m_chosen) : QString();
        return true;
    }

private:
    QString m_chosen;
};

} // namespace

WindowRecording::WindowRecording(Run &run, QMainWindow &main, FailureReporter &reporter)
    : m_run(run), m_main(main), m_reporter(reporter)
{
    // Anywhere on the window's background; the display keeps its own edit menu.
    QWidget *background = main.centralWidget();
    background->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(background, &QWidget::customContextMenuRequested, this, [this, background](const QPoint &at) {
        showMenu(background->mapToGlobal(at));
    });
}

Recorder *WindowRecording::recorder() const
{
    return m_run.recorder();
}

bool WindowRecording::isRecording() const
{
    return recorder() && recorder()->isRecording();
}

void WindowRecording::start(const QByteArray &csvPath, const QByteArray &rawPath)
{
    Recorder &recorder = m_run.record(std::make_unique<Recorder>(csvPath, rawPath, m_rotation));
    // The next recording is offered beside this one, however this one was started.
    m_lastFolder = QFileInfo(QFile::decodeName(csvPath.isEmpty() ? rawPath : csvPath)).absolutePath();
    m_lastWithRaw = !rawPath.isEmpty();
    connect(&recorder, &Recorder::failed, this, [this](const QString &message) {
        m_reporter.report(message + QStringLiteral(" La recepción sigue."));
    });
}

void WindowRecording::stop()
{
    m_run.stopRecording();
}

void WindowRecording::fillMenu(QMenu &menu)
{
    if (isRecording()) {
        // Each file that still records, with what it holds: one that failed is no longer named.
        const Recorder &r = *recorder();
        QStringList files;
        if (r.isRecordingCsv())
            files << QStringLiteral("%1: %2").arg(r.csvPath(), textrules::samplesText(r.csvRows()));
        if (r.isRecordingRaw())
            files << QStringLiteral("%1: %2").arg(r.rawPath(), textrules::samplesText(quint64(r.rawBytes() / 2)));
        QAction *info = menu.addAction(QStringLiteral("Grabando en ") + files.join(QStringLiteral("; ")));
        info->setObjectName(QStringLiteral("grabacionEnCurso"));
        info->setEnabled(false);
        menu.addSeparator();
    }
    QAction *record = menu.addAction(QStringLiteral("Grabar muestras…"));
    record->setObjectName(QStringLiteral("grabarMuestras"));
    record->setEnabled(!isRecording());
    QAction *stopIt = menu.addAction(QStringLiteral("Detener grabación"));
    stopIt->setObjectName(QStringLiteral("detenerGrabacion"));
    stopIt->setEnabled(isRecording());
}

void WindowRecording::showMenu(const QPoint &at)
{
    QMenu menu(&m_main);
    fillMenu(menu);
    const QAction *chosen = menu.exec(at);
    if (!chosen)
        return;
    if (chosen->objectName() == u"detenerGrabacion")
        stop();
    else if (chosen->objectName() == u"grabarMuestras")
        chooseAndStart();
}

void WindowRecording::chooseAndStart()
{
    RecordingDialog dialog(&m_main, m_lastFolder.isEmpty() ? QDir::homePath() : m_lastFolder, m_lastWithRaw);
    QString csv, raw;
    while (dialog.choose(&csv, &raw)) {
        if (QFileInfo(csv).suffix().compare(QStringLiteral("bin"), Qt::CaseInsensitive) == 0) {
            QMessageBox::warning(&m_main, kTitle, QStringLiteral("%1 es un nombre de archivo crudo: escriba el del archivo de "
                                                                "muestras, que termina en .csv.").arg(QFileInfo(csv).fileName()));
            continue;
        }
        // A recording is never written over: the user is asked for another name.
        const QString taken = QFileInfo::exists(csv) ? csv : !raw.isEmpty() && QFileInfo::exists(raw) ? raw : QString();
        if (!taken.isEmpty()) {
            QMessageBox::warning(&m_main, kTitle, QStringLiteral("Ya existe %1: una grabación nunca se sobrescribe. "
                                                                "Elija otro nombre.").arg(QDir::toNativeSeparators(taken)));
            continue;
        }
        try {
            start(QFile::encodeName(csv), QFile::encodeName(raw));
        } catch (const PlatformError &e) {
            m_reporter.report(e.message());
        }
        return;
    }
}
