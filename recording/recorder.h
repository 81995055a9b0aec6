#pragma once

#include "recordingfile.h"
#include "rotation.h"
#include "sampleconsumer.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

class Acquisition;

/// What the CSV header says of where the samples came from.
struct RecordingHeader
{
    QString device;        ///< "dispositivo: …"
    QString settings;      ///< "configuración: …", the line settings in force at the start
    QStringList more;      ///< further "clave: valor" lines (a remote bench's session, …)
};

/// Records a run: every decoded sample, in order, to a CSV file, and the bytes of those samples
/// as the port delivered them to a raw file. Each file is written from a buffer at least once
/// a second and at the end; a write that fails stops that file only (what reached it stays
/// readable) and is reported, while the other goes on. With a rotation, the recording goes on in
/// numbered parts, each a complete file with its own header; a part that is closed is never
/// touched again. Knows nothing of windows.
class Recorder : public QObject, public SampleConsumer
{
    Q_OBJECT
public:
    /// Creates the files (an empty path: that file is not recorded). A file that exists is never
    /// overwritten (nor, with a rotation, a part of an earlier recording by that name); a refusal
    /// leaves nothing behind. Throws PlatformError naming the file.
    Recorder(const QByteArray &csvPath, const QByteArray &rawPath, Rotation rotation = {}, QObject *parent = nullptr);
    ~Recorder() override;

    /// Takes the samples and bytes of this acquisition from the next sample on (bytes that
    /// already wait for decoding included); inicio and tiempo_s count from now, or from the
    /// port's opening when it is closed now.
    void attach(Acquisition &acquisition);
    /// Takes the samples of any source, numbered by their index (from 0); inicio is
    /// startUnixNanos, and tiempo_s counts from originNanos on the samples' clock (the same instant).
    void attach(SampleSource &source, qint64 startUnixNanos, qint64 originNanos, std::function<RecordingHeader()> header);
    /// The start moves (a remote bench told a later one), as long as no sample has come; the
    /// header's settings are asked for again.
    void restart(qint64 startUnixNanos, qint64 originNanos);
    /// Records the samples numbered 0 … samples−1 (from the first one recorded), in every file,
    /// then says limitReached (0: no limit).
    void setSampleLimit(quint64 samples) { m_limit = samples; }

    void sample(const Sample &s) override;
    void event(const StreamEvent &e) override;
    void bytesReceived(const char *data, qsizetype size, qint64 position) override;
    /// A line "# <when> (<where>): <what>" at this point of the CSV.
    void comment(const QDateTime &when, const QString &what);

    /// Writes what is buffered; false once a file has failed.
    bool flush();
    /// Writes everything, makes it durable and closes the files; true when every file holds
    /// everything it was given.
    bool finish();
    /// For a start that was refused: deletes the files, which hold nothing yet.
    void discardFiles();

    /// Some file still takes data.
    bool isRecording() const;
    bool isRecordingCsv() const { return m_csv && m_csv->isOpen(); }
    bool isRecordingRaw() const { return m_raw && m_raw->isOpen(); }
    bool failedToWrite() const;
    /// Samples taken (rows of the CSV, or samples of the raw file); fewer than the numbers used
    /// when a remote bench's samples went missing.
    quint64 samplesRecorded() const { return m_samples; }
    /// Sample rows in the CSV file as it is or will be once flushed.
    quint64 csvRows() const;
    /// Bytes in the raw file (its parts) as it is or will be once flushed.
    qint64 rawBytes() const { return m_rawDone + (m_raw ? m_raw->size() : 0); }
    qint64 bytesWritten() const
    {
        return m_csvDone + m_rawDone + (m_csv ? m_csv->written() : 0) + (m_raw ? m_raw->written() : 0);
    }
    bool hasCsv() const { return bool(m_csv); }
    bool hasRaw() const { return bool(m_raw); }
    /// The file, or with a rotation its first and last parts ("a … b (N partes)").
    QString csvPath() const;
    QString rawPath() const;
    /// The part being written (1 without a rotation).
    quint64 part() const { return m_part; }
    /// Where tiempo_s counts from, on the samples' clock.
    qint64 originNanos() const { return m_origin; }
    /// Stream position of the raw file's first byte.
    qint64 rawStartPosition() const { return m_rawStart; }

    static QByteArray csvColumns() { return QByteArrayLiteral("muestra,tiempo_s,valor\r\n"); }

signals:
    /// One file stopped because a write failed; the message names it, the reason, what it
    /// keeps, and whether the other file goes on.
    void failed(const QString &message);
    /// No file takes data any more.
    void stopped();
    /// The sample limit has been recorded.
    void limitReached();

private:
    void writeHeader();
    void tellWhatWasLeft();
    bool flushFile(RecordingFile &file);
    void reportFailure(const RecordingFile &file);
    void endRawAt(qint64 position);
    void reachLimit(qint64 position);
    void checkRotation(const Sample &s);
    void nextPart(const Sample &s);
    bool nextFile(std::unique_ptr<RecordingFile> &file, const QByteArray &base);
    qint64 partBytes(const Sample &last) const;
    qint64 rawOffsetOf(qint64 position) const;
    QString shownParts(const RecordingFile *file, const QByteArray &base, quint64 last) const;

    std::unique_ptr<RecordingFile> m_csv;
    std::unique_ptr<RecordingFile> m_raw;
    std::function<RecordingHeader()> m_header;
    QDateTime m_start;
    int m_startMicros = -1; // the microseconds within m_start's millisecond, when known
    qint64 m_origin = 0;    // tiempo_s counts from here, on the samples' clock
    bool m_originFixed = false;
    qint64 m_rawStart = 0;  // stream position of the raw file's first byte
    qint64 m_rawEnd = -1;   // stream position past its last byte, once the limit is reached
    qint64 m_lastSampleEnd = 0; // stream position past the last sample taken (its start before any)
    qint64 m_receivedEnd = 0;   // stream position past the last byte received
    quint64 m_samples = 0;
    quint64 m_limit = 0;
    bool m_limitReached = false;
    quint64 m_firstIndex = 0; // the source's index of the sample numbered 0
    quint64 m_lastNumber = 0; // the row number of the last sample recorded
    quint64 m_rowsWritten = 0;  // rows that reached the CSV file
    quint64 m_rowsBuffered = 0; // rows in its buffer
    bool m_headerWritten = false;
    bool m_finishing = false;
    QString m_settings; // in force where the stream is
    QTimer m_flushTimer;

    Rotation m_rotation;
    QByteArray m_csvBase, m_rawBase; // the names the parts are numbered after
    quint64 m_part = 1;
    quint64 m_csvLast = 1, m_rawLast = 1; // the number of each file's last part created
    qint64 m_partEnds = -1;   // on the samples' clock: the next part starts with a sample from here
    bool m_partFull = false;  // a file of this part reached the size: the next sample starts the next
    qint64 m_csvDone = 0, m_rawDone = 0; // bytes in the parts closed
    bool m_partRefused = false; // a part could not be created: that file stopped there
    // The newest stretch of consecutive stream positions in the raw file: where it starts in the
    // stream and in the file (written or buffered). The file is cut where a stream position is:
    // at the sample limit, and where a part's first sample starts (bytes come ahead of their
    // samples).
    qint64 m_tailPosition = -1;
    qint64 m_tailFileOffset = 0;
    qint64 m_rawPartStart = 0; // stream position of the raw part's first byte
};
