#include "loggerrun.h"

#include "commandline.h"
#include "platformerror.h"
#include "recorder.h"
#include "run.h"
#include "signalwatcher.h"
#include "textrules.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <unistd.h>

std::unique_ptr<Recorder> openRecorder(const Options &o)
{
    try {
        auto recorder = std::make_unique<Recorder>(o.csvFile, o.rawFile, o.rotation);
        recorder->setSampleLimit(o.sampleLimit);
        return recorder;
    } catch (const PlatformError &e) {
        say(e.message());
        return nullptr;
    }
}

LoggerRun::LoggerRun(const Options &o, Run &run) : m_o(o), m_run(run), m_r(*run.recorder()) {}

int LoggerRun::exec(SignalWatcher &watcher)
{
    QObject::connect(&m_r, &Recorder::limitReached, &m_run, [this] { end(); });
    QObject::connect(&m_r, &Recorder::failed, &m_run, [](const QString &message) { say(message); });
    QObject::connect(&m_r, &Recorder::stopped, &m_run, [this] {
        say(QStringLiteral("No queda ningún archivo en el que grabar: el registro termina."));
        end();
    });
    // Watched by the caller from the very start: a signal that came meanwhile is read now.
    QObject::connect(&watcher, &SignalWatcher::received, &m_run, [this] { end(); });
    QObject::connect(&m_run, &Run::finished, qApp, &QCoreApplication::quit);
    watch();
    m_clock.start();
    m_terminal = ::isatty(STDERR_FILENO);
    if (m_terminal) {
        QObject::connect(&m_progress, &QTimer::timeout, &m_run, [this] { showProgress(); });
        m_progress.start(1000);
    }
    QCoreApplication::exec();
    return summary(m_run.recordingComplete());
}

void LoggerRun::end()
{
    if (m_run.isFinishing())
        return;
    if (m_progress.isActive()) {
        m_progress.stop();
        std::fputc('\n', stderr);
    }
    m_run.finish();
}

void LoggerRun::showProgress()
{
    const quint64 n = m_r.samplesRecorded();
    std::fprintf(stderr, "\r%llu muestras, %llu muestras/s, %lld bytes escritos   ",
                 static_cast<unsigned long long>(n), static_cast<unsigned long long>(n - m_lastSamples),
                 static_cast<long long>(m_r.bytesWritten()));
    std::fflush(stderr);
    m_lastSamples = n;
}

// Says what each file holds, and whether that is all that was asked; the exit status.
int LoggerRun::summary(bool complete)
{
    using textrules::samplesText;
    QStringList parts;
    if (m_r.hasCsv())
        parts << QStringLiteral("%1 grabadas en %2").arg(samplesText(m_r.csvRows()), m_r.csvPath());
    if (m_r.hasRaw())
        parts << QStringLiteral("%1 bytes (%2) grabados en %3")
                     .arg(m_r.rawBytes()).arg(samplesText(quint64(m_r.rawBytes() / 2)), m_r.rawPath());
    if (parts.isEmpty()) // publishing only
        parts << QStringLiteral("%1 recibidas").arg(samplesText(m_r.samplesRecorded()));
    QString text = parts.join(QStringLiteral("; "))
                   + QStringLiteral(", en %1 s.").arg(m_clock.elapsed() / 1000.0, 0, 'f', 1);
    const quint64 got = m_r.samplesRecorded();
    bool lacking = false;
    const QStringList more = moreSummary(&lacking);
    if (got == 0 && m_r.rawBytes() == 0)
        text += u' ' + nothingCame();
    else if (!complete)
        text += QStringLiteral(" No se grabó todo lo pedido: la grabación se detuvo (ver arriba).");
    else if (m_o.sampleLimit && got < m_o.sampleLimit)
        text += QStringLiteral(" No se grabó todo lo pedido: llegaron %1 de las %2 pedidas.").arg(got).arg(m_o.sampleLimit);
    for (const QString &sentence : more)
        text += u' ' + sentence;
    say(text);
    const bool all = complete && !lacking && got + m_r.rawBytes() > 0 && (!m_o.sampleLimit || got >= m_o.sampleLimit);
    return all ? 0 : 1;
}
