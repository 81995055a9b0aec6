#pragma once

#include "sampleconsumer.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

class Acquisition;

/// Records a run: every decoded sample, in order, to a CSV file, and every byte as the port
/// delivered it to a raw file. Writing is buffered and flushed at least once a second and at
/// the end; a write that fails stops the recording (what was written stays readable) and is
/// reported, while reception goes on. Knows nothing of windows.
class Recorder : public QObject, public SampleConsumer
{
    Q_OBJECT
public:
    /// Creates the files (an empty path: that file is not recorded). A file that exists is never
    /// overwritten: throws PlatformError naming it, before anything is created.
    Recorder(const QByteArray &csvPath, const QByteArray &rawPath, QObject *parent = nullptr);
    ~Recorder() override;

    /// Takes the samples and the bytes of this acquisition from now on; times count from now.
    void attach(Acquisition &acquisition);
    /// Records at most this many samples, then says limitReached (0: no limit).
    void setSampleLimit(quint64 samples) { m_limit = samples; }

    void sample(const Sample &s) override;
    void event(const StreamEvent &e) override;
    void bytesReceived(const char *data, qsizetype size, qint64 position) override;

    /// Writes what is buffered; false once recording has failed.
    bool flush();
    /// Flushes and closes the files; returns whether everything was written.
    bool finish();

    bool failedToWrite() const { return m_failed; }
    quint64 samplesRecorded() const { return m_samples; }
    qint64 bytesWritten() const { return m_csvWritten + m_rawWritten; }
    QString csvPath() const;
    QString rawPath() const;

    static QByteArray csvColumns() { return QByteArrayLiteral("muestra,tiempo_s,valor\r\n"); }

signals:
    /// Recording stopped because a write failed; the message names the file and the reason.
    void failed(const QString &message);
    /// The sample limit has been recorded.
    void limitReached();

private:
    struct Output
    {
        QByteArray path;
        int fd = -1;
        QByteArray buffer;
    };
    void writeHeader();
    void comment(const QDateTime &when, const QString &what);
    bool writeOut(Output &out, qint64 &written);
    void fail(const Output &out, int err);
    void closeAll();

    Acquisition *m_acquisition = nullptr;
    qint64 m_origin = 0; // the acquisition's clock at the start: tiempo_s counts from here
    QDateTime m_start;
    Output m_csv;
    Output m_raw;
    qint64 m_csvWritten = 0;
    qint64 m_rawWritten = 0;
    quint64 m_samples = 0;
    quint64 m_limit = 0;
    bool m_headerWritten = false;
    bool m_failed = false;
    QString m_settings; // in force where the stream is
    QTimer m_flushTimer;
};
