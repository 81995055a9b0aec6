#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

/// Where the broker is and how to prove who we are. The password is held only here and handed
/// to the client library; nothing prints or logs it.
struct MqttBroker
{
    static constexpr quint16 kPlainPort = 1883;
    static constexpr quint16 kTlsPort = 8883;

    QString host = QStringLiteral("localhost");
    quint16 port = 0;    ///< 0: the usual port (1883, or 8883 with TLS)
    QString user;        ///< empty: connect without a user name
    QByteArray password; ///< read from a file (readPasswordFile), never from the command line
    QString caFile;      ///< non-empty: TLS, the broker's certificate and host name verified against it

    bool tls() const { return !caFile.isEmpty(); }
    quint16 effectivePort() const { return port ? port : tls() ? kTlsPort : kPlainPort; }
    /// "host:port", as every message names the broker.
    QString name() const;
};

/// Reads "HOST[:PUERTO]" into host and port; returns an empty string or what is wrong, in Spanish.
QString parseBrokerAddress(const QString &text, MqttBroker &broker);

/// A password read from a file: the first line, without its line end.
struct PasswordFile
{
    QByteArray password;
    QString error;   ///< non-empty: the file could not be used (names it and says why)
    QString warning; ///< non-empty: the file is usable but others may read it
};

/// Reads the password file; never puts the password into a message. Only a regular file is
/// read: a FIFO or a device is refused at once, without waiting for a writer.
PasswordFile readPasswordFile(const QString &path);

/// The topic a bench publishes under unless told otherwise: dispvanto/<host name>/<COM1|COM2>.
QString defaultTopic(const QString &portName);

/// The topics under one base topic.
struct MqttTopics
{
    /// The last level of the state and meta topics (for subscribing under a filter).
    static constexpr QLatin1StringView kStateLevel{"estado"};
    static constexpr QLatin1StringView kMetaLevel{"meta"};

    explicit MqttTopics(const QString &base);
    QString samples; ///< binary batches, QoS 1
    QString state;   ///< retained: "en línea", "dispositivo perdido", "fuera de línea"
    QString meta;    ///< retained JSON
    QString summary; ///< JSON once a second
    QString request; ///< re-sending requests from subscribers
    QString view;    ///< what a browser draws (viewfeed.h), QoS 0
};

/// A client identifier no other client of this broker uses: role, host name, process, and a
/// counter within the process.
QString uniqueClientId(const QString &role);

/// The client identifier of a recorder that keeps its session on the broker: the same each time
/// this recording reconnects, another for any other recording of this or another machine.
/// outputFiles are the paths it records into (empty ones are skipped), as given. 23 characters
/// at most, letters and digits only: what every broker must accept.
QString recorderClientId(const QString &topic, const QList<QByteArray> &outputFiles);
