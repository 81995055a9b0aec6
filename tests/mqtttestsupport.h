#pragma once

#include "mqttbroker.h"
#include "publishercontext.h"
#include "sampleconsumer.h"

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>

#include <vector>

/// Throwaway certificates made with openssl: a CA, a server certificate from it for
/// 127.0.0.1/localhost, one from it for another host name, and an unrelated CA.
struct TestCertificates
{
    /// Makes them in folder; an empty string on success, else what failed.
    QString make(const QString &folder);
    QString ca, caKey, serverCert, serverKey, otherHostCert, otherHostKey, otherCa;
};

/// The peak resident memory of a process, in kB (VmHWM); -1 when unknown.
qint64 peakMemoryKb(qint64 pid);

/// A loopback TCP port held while the object lives: bound with SO_REUSEADDR and not listening.
/// The system gives it to no one else meanwhile (neither to a bind to port 0 nor to an outgoing
/// connection), yet a Mosquitto, which binds its listener with SO_REUSEADDR too, may listen on
/// it, stop and listen on it again. A port found free and let go could be taken before the
/// broker binds it.
class ReservedPort
{
public:
    ReservedPort();
    ~ReservedPort();
    ReservedPort(const ReservedPort &) = delete;
    ReservedPort &operator=(const ReservedPort &) = delete;
    quint16 port() const { return m_port; }

private:
    int m_fd = -1;
    quint16 m_port = 0;
};

/// A Mosquitto broker of the test's own: a child process on a reserved loopback port, with a
/// password file, persistence in the test's folder and, if asked, TLS. Never the system's.
class TestBroker
{
public:
    static inline const QString kUser = QStringLiteral("banco");
    static inline const QByteArray kPassword = QByteArrayLiteral("clave-de-prueba");

    struct Options
    {
        const TestCertificates *tls = nullptr; ///< TLS with these certificates
        bool otherHostCertificate = false;     ///< serve the certificate made for another host
        int maxQueuedMessages = 0;             ///< per client beyond those in flight (0: broker default)
        int maxInflightMessages = 0;
        QByteArray more; ///< further lines of its configuration (a bridge)
    };

    TestBroker(const QString &folder, Options options);
    ~TestBroker();

    /// Starts it and waits until it accepts connections; on failure, says why (with its log).
    QString start();
    /// SIGTERM and waits for it to end (it saves its persistence).
    void stop();
    /// SIGKILL and waits for it to end (it saves nothing).
    void kill();
    /// SIGSTOP: it stalls with every connection open, as a hung broker does; thaw() is SIGCONT.
    void freeze();
    void thaw();
    quint16 port() const { return m_port.port(); }
    /// Settings for a client with the right user and password (and the right CA with TLS).
    MqttBroker settings() const;
    QString log() const;
    /// Where it saves what it keeps (every second, and at a clean end).
    QString databasePath() const { return m_folder + QStringLiteral("/datos/mosquitto.db"); }

private:
    QString m_folder;
    Options m_options;
    ReservedPort m_port;
    QProcess m_process;
};

/// Whether something accepts TCP connections on the loopback port.
bool accepting(quint16 port);
/// Writes a password file readable by its owner only; returns its path.
QString writePasswordFile(const QString &folder, const QByteArray &password);

/// Made-up samples, handed out as an acquisition would: blocks of a few samples sharing an
/// arrival time, on a timer. Optionally writes every byte to a raw file, as the recorder does.
class TestFeed : public QObject, public SampleSource
{
    Q_OBJECT
public:
    static constexpr qint64 kUnixBase = 1'700'000'000'123'456'789; ///< Unix ns of arrival time 0
    static quint16 valueAt(quint64 index) { return quint16((index * 40503u + (index >> 7)) & 0xffff); }
    static qint64 arrivalOfBlock(quint64 block) { return qint64(block) * 1'000'000 + 777; }

    TestFeed(int samplesPerBlock, int blocksPerTick, int tickMs);
    /// Hands out samples until total (0: until stop()).
    void start(quint64 total = 0);
    void stop() { m_timer.stop(); }
    /// Hands out the next blocks at once.
    void step(int blocks);
    void setRawFile(const QString &path);
    quint64 emitted() const { return m_next; }
    /// A context whose clock maps to Unix time by a fixed offset, as the core's does.
    PublisherContext context() const;

signals:
    void done();

private:
    int m_perBlock;
    int m_blocksPerTick;
    quint64 m_total = 0;
    quint64 m_next = 0;
    quint64 m_block = 0;
    int m_rawFd = -1;
    QString m_rawPath;
    QTimer m_timer;
};

/// Keeps everything a source hands out, for comparison.
class Collector : public SampleConsumer
{
public:
    void sample(const Sample &s) override { samples.push_back(s); }
    void bytesReceived(const char *data, qsizetype size, qint64 position) override;

    /// Empty when the samples are exactly first … first+count−1 of a TestFeed, each once, in order,
    /// with the feed's values (and, when perBlock > 0, the arrival times of a feed with blocks of
    /// that size); else the first difference.
    QString checkAgainstFeed(quint64 first, quint64 count, int perBlock) const;
    /// The samples' values, in order.
    QList<int> values() const;

    std::vector<Sample> samples;
    QByteArray bytes;        ///< every block handed out, in order
    qint64 nextPosition = -1;
    bool bytesContiguous = true;
};
