#include "lab.h"

#include "commandline.h"
#include "labnames.h"
#include "mqttmessages.h"
#include "mqttsource.h"
#include "mqttwire.h"
#include "platformerror.h"
#include "recorder.h"
#include "run.h"
#include "say.h"
#include "signalwatcher.h"
#include "textrules.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

// The bench a message on one of its subtopics is about ("lab/b1/meta" → "lab/b1").
QString benchOf(const QString &topic, QLatin1StringView level)
{
    return topic.chopped(level.size() + 1);
}

} // namespace

LabRecorder::LabRecorder(Settings settings, QObject *parent)
    : QObject(parent), m_s(std::move(settings)), m_discovery(m_s.broker, uniqueClientId(QStringLiteral("lab")), this)
{
    // Benches are found by their meta; which of their sessions is live is each bench's own
    // run's business.
    for (const QString &t : labnames::subscriptions(m_s.filter, MqttTopics::kMetaLevel))
        m_discovery.subscribe(t);
    m_discovery.setRole(MqttClient::Role::Subscriber);
    connect(&m_discovery, &MqttClient::messageReceived, this, &LabRecorder::received);
    connect(&m_discovery, &MqttClient::failed, this, [](MqttClient::Failure, const QString &message) { say(message); });
    connect(&m_discovery, &MqttClient::closed, this, [this] {
        m_discoveryClosed = true;
        checkFinished();
    });
}

LabRecorder::~LabRecorder() = default;

void LabRecorder::start()
{
    m_discovery.start();
}

void LabRecorder::received(const QString &topic, const QByteArray &payload, bool)
{
    if (m_finishing)
        return;
    if (topic.endsWith(u'/' + MqttTopics::kMetaLevel))
        onMeta(benchOf(topic, MqttTopics::kMetaLevel), payload);
}

void LabRecorder::onMeta(const QString &bench, const QByteArray &)
{
    if (bench.isEmpty() || m_benches.count(bench))
        return; // "/meta": no topic a file could be named after, nor a bench could publish under
    if (m_benches.size() >= size_t(kMaxBenches)) {
        if (!std::exchange(m_tooManyTold, true))
            say(QStringLiteral("%1 no se graba: ya se graban %2 bancos, los que caben en este registrador. Los que "
                               "siguen se graban; reparta los bancos entre varios registradores (un filtro "
                               "cada uno).").arg(bench, QString::number(kMaxBenches)));
        return;
    }
    m_benches.insert(bench);
    standBy(bench, 0);
}

// A bench's next session is listened for before it starts: a run subscribed (and keeping its
// session at the broker) that follows the first live session after the one recorded, so that
// a bench that restarts loses nothing to the moment it takes to subscribe. It becomes that
// session's recording when its meta comes, before any sample is handed out.
void LabRecorder::standBy(const QString &bench, quint64 after)
{
    auto run = std::make_unique<Run>(m_s.broker, bench);
    Run *r = run.get();
    MqttSource *source = r->remote();
    source->setNewerThan(after);
    source->setPendingLimit(kPendingBytes);
    const QByteArray stem = labnames::fileStem(bench);
    // Named after where the next session's files go and the session it follows, so that a
    // recorder started again finds its queue.
    source->persistAs({m_s.folder + '/' + stem + "/.siguiente-" + QByteArray::number(after)});
    connect(source, &MqttSource::problem, r, [bench, source](const QString &message) {
        say(QStringLiteral("%1: %2").arg(source->session() ? QStringLiteral("%1 (sesión %2)").arg(bench, QString::number(source->session()))
                                                           : bench,
                                         message));
    });
    connect(source, &MqttSource::metaReceived, r, [this, r, bench] { promote(r, bench); }, Qt::SingleShotConnection);
    connect(r, &Run::finished, this, [this, r] { runFinished(r); });
    m_recordings.push_back({std::move(run), kNoRow});
    source->start();
}

// The session a standing-by run follows: its files, and the next one stands by.
void LabRecorder::promote(Run *r, const QString &bench)
{
    if (m_finishing)
        return;
    MqttSource *source = r->remote();
    const SessionMeta meta = source->meta();
    source->setSession(meta.session); // this session only, from now on
    auto it = std::find_if(m_recordings.begin(), m_recordings.end(), [r](const Recording &x) { return x.run.get() == r; });
    Row row;
    row.topic = bench;
    row.session = meta.session;
    const QByteArray stem = labnames::fileStem(bench);
    const QByteArray folder = m_s.folder + '/' + stem;
    std::unique_ptr<Recorder> recorder;
    try {
        if (!QDir().mkpath(QFile::decodeName(folder)))
            throw PlatformError(QStringLiteral("No se puede crear la carpeta %1.").arg(QFile::decodeName(folder)));
        // A recorder started again during a session finds its earlier files: the next name.
        QByteArray base = folder + '/' + stem + '_' + labnames::startStamp(meta.start);
        for (int n = 2; n < 1000; ++n) {
            const QByteArray csv = base + ".csv", raw = base + ".bin";
            const auto taken = [this](const QByteArray &path) {
                return QFileInfo::exists(QFile::decodeName(path))
                       || (m_s.rotation.enabled() && !Rotation::existingPart(path).isEmpty());
            };
            if (!taken(csv) && !taken(raw))
                break;
            base = folder + '/' + stem + '_' + labnames::startStamp(meta.start) + '_' + QByteArray::number(n);
        }
        recorder = std::make_unique<Recorder>(m_s.csv ? base + ".csv" : QByteArray(),
                                              m_s.raw ? base + ".bin" : QByteArray(), m_s.rotation);
    } catch (const PlatformError &e) {
        say(QStringLiteral("%1, sesión %2: no se graba. %3").arg(bench, QString::number(meta.session), e.message()));
        row.failed = row.over = true;
        row.state = QStringLiteral("no se pudo grabar");
        m_rows.push_back(row);
        r->finish();
        standBy(bench, meta.session);
        return;
    }
    Recorder &rec = r->record(std::move(recorder)); // attached now: before any sample is handed out
    // One pass of arg() wherever a topic is in: a topic may hold "%1".
    const QString who = QStringLiteral("%1 (sesión %2)").arg(bench, QString::number(meta.session));
    connect(source, &MqttSource::notice, r, [who](const QString &text) { say(who + QStringLiteral(" dice: ") + text); });
    connect(source, &MqttSource::samplesMissing, r, [who](quint64 first, quint64 count) {
        say(QStringLiteral("%1: faltan %2 muestras (%3 a %4) que no llegaron por la red: quedan como hueco.")
                .arg(who, QString::number(count), QString::number(first), QString::number(first + count - 1)));
    });
    connect(source, &MqttSource::sessionComplete, r, [this, r, who] {
        for (Recording &x : m_recordings)
            if (x.run.get() == r && x.row != kNoRow) {
                refresh(x);
                say(QStringLiteral("%1 terminó: %2 grabadas.").arg(who, textrules::samplesText(m_rows[x.row].samples)));
            }
        r->finish();
    });
    connect(&rec, &Recorder::failed, r, [who](const QString &message) { say(who + QStringLiteral(": ") + message); });
    connect(&rec, &Recorder::stopped, r, [this, r] {
        for (Recording &x : m_recordings)
            if (x.run.get() == r && x.row != kNoRow)
                m_rows[x.row].failed = true;
        r->finish();
    });
    row.state = QStringLiteral("grabando");
    m_rows.push_back(row);
    it->row = m_rows.size() - 1;
    refresh(*it);
    say(QStringLiteral("%1: se graba en %2.").arg(who, QFile::decodeName(folder)));
    standBy(bench, meta.session);
}

void LabRecorder::refresh(Recording &r)
{
    if (r.row == kNoRow)
        return;
    Row &row = m_rows[r.row];
    const MqttSource *source = r.run->remote();
    if (const Recorder *rec = r.run->recorder()) {
        row.samples = rec->samplesRecorded();
        QStringList files;
        if (rec->hasCsv())
            files << rec->csvPath();
        if (rec->hasRaw())
            files << rec->rawPath();
        row.files = files.join(QStringLiteral("; "));
        if (rec->failedToWrite())
            row.failed = true;
    }
    row.gaps = source->missing().size();
    row.gapSamples = 0;
    for (const SampleRange &g : source->missing())
        row.gapSamples += g.count;
    if (!row.over)
        row.state = source->sessionEnded() ? QStringLiteral("terminando") : QStringLiteral("grabando");
}

void LabRecorder::runFinished(Run *run)
{
    const auto it = std::find_if(m_recordings.begin(), m_recordings.end(), [run](const Recording &r) { return r.run.get() == run; });
    if (it == m_recordings.end())
        return;
    if (it->row == kNoRow) { // a standing-by run, at the end
        std::unique_ptr<Run> done = std::move(it->run);
        m_recordings.erase(it);
        done.release()->deleteLater();
        checkFinished();
        return;
    }
    refresh(*it);
    Row &row = m_rows[it->row];
    row.over = true;
    if (!run->recordingComplete())
        row.failed = true;
    const bool ended = run->remote()->sessionEnded();
    row.state = row.failed ? QStringLiteral("falló la grabación")
                : row.gaps ? QStringLiteral("con huecos")
                : ended    ? QStringLiteral("completa")
                           : QStringLiteral("detenida (el banco seguía)");
    // Not now: this is called from within the run's own signal.
    std::unique_ptr<Run> done = std::move(it->run);
    m_recordings.erase(it);
    done.release()->deleteLater();
    checkFinished();
}

void LabRecorder::finish()
{
    if (m_finishing)
        return;
    m_finishing = true;
    for (Recording &r : m_recordings)
        r.run->finish();
    m_discovery.disconnectFromBroker();
    checkFinished();
}

void LabRecorder::checkFinished()
{
    if (m_finishing && m_recordings.empty() && m_discoveryClosed)
        emit finished();
}

QString LabRecorder::progressLine()
{
    quint64 total = 0;
    int recording = 0, gaps = 0;
    for (Recording &r : m_recordings) {
        if (r.row == kNoRow)
            continue;
        refresh(r);
        ++recording;
        gaps += r.run->remote()->waitingForMissing() ? 1 : 0;
    }
    for (const Row &row : m_rows)
        total += row.samples;
    const quint64 rate = total - std::min(total, m_lastTotal);
    m_lastTotal = total;
    return QStringLiteral("%1 bancos grabando, %2 muestras/s en total, %3 con huecos abiertos")
        .arg(recording).arg(rate).arg(gaps);
}

QString LabRecorder::table()
{
    for (Recording &r : m_recordings)
        refresh(r);
    if (m_rows.empty())
        return QStringLiteral("Ningún banco grabado todavía bajo %1.\n").arg(m_s.filter);
    QString out = QStringLiteral("banco\tsesión\tmuestras\thuecos\testado\tarchivos\n");
    for (const Row &row : m_rows)
        out += QStringLiteral("%1\t%2\t%3\t%4\t%5\t%6\n")
                   .arg(row.topic, QString::number(row.session), QString::number(row.samples),
                        row.gaps ? QStringLiteral("%1 (%2 muestras)").arg(row.gaps).arg(row.gapSamples) : QStringLiteral("0"),
                        row.state, row.files.isEmpty() ? QStringLiteral("-") : row.files);
    return out;
}

bool LabRecorder::allComplete() const
{
    if (m_rows.empty())
        return false;
    return std::all_of(m_rows.begin(), m_rows.end(), [](const Row &r) { return !r.failed && !r.gaps && r.samples > 0; });
}

int runLabLogger(const Options &o, SignalWatcher &watcher)
{
    LabRecorder::Settings s;
    s.broker = o.mqtt.broker;
    s.filter = o.mqtt.fromTopic;
    s.folder = o.folder;
    s.csv = o.labCsv;
    s.raw = o.labRaw;
    s.rotation = o.rotation;
    LabRecorder lab(s);
    QElapsedTimer clock;
    clock.start();
    const bool terminal = ::isatty(STDERR_FILENO);
    QTimer progress;
    bool lineShown = false;
    if (terminal) {
        QObject::connect(&progress, &QTimer::timeout, &lab, [&] {
            std::fprintf(stderr, "\r%s   ", lab.progressLine().toLocal8Bit().constData());
            std::fflush(stderr);
            lineShown = true;
        });
        progress.start(1000);
    }
    const auto endLine = [&] {
        if (std::exchange(lineShown, false))
            std::fputc('\n', stderr);
    };
    QObject::connect(&watcher, &SignalWatcher::received, &lab, [&](int number) {
        endLine();
        if (number == SIGUSR1) {
            std::fputs(lab.table().toLocal8Bit().constData(), stderr);
            return;
        }
        progress.stop();
        lab.finish();
    });
    QObject::connect(&lab, &LabRecorder::finished, qApp, &QCoreApplication::quit);
    say(QStringLiteral("Se graban los bancos de %1 en %2 (SIGUSR1: tabla de lo grabado; Ctrl+C o SIGTERM: terminar).")
            .arg(o.mqtt.fromTopic, QFile::decodeName(o.folder)));
    lab.start();
    QCoreApplication::exec();
    endLine();
    std::fputs(lab.table().toLocal8Bit().constData(), stderr);
    const bool all = lab.allComplete();
    say(lab.sessionsRecorded() == 0
            ? QStringLiteral("No se grabó nada: no llegó ninguna sesión en vivo de %1 en %2 s.")
                  .arg(o.mqtt.fromTopic, QString::number(clock.elapsed() / 1000.0, 'f', 1))
        : all ? QStringLiteral("Todas las sesiones grabadas están completas (%1 s).").arg(clock.elapsed() / 1000.0, 0, 'f', 1)
              : QStringLiteral("No todas las sesiones están completas: ver la tabla."));
    return all ? 0 : 1;
}
