#pragma once

#include "mqttbroker.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

/// The MQTT part of the command line, as given and then checked.
struct MqttOptions
{
    QString address;      ///< --mqtt HOST[:PUERTO] (empty: no broker)
    QString topic;        ///< --mqtt-tema (empty: the default for the port published)
    QString fromTopic;    ///< --desde-mqtt: the logger records this remote bench
    QString user;         ///< --mqtt-usuario
    QByteArray passwordFile; ///< --mqtt-clave-archivo
    QByteArray caFile;    ///< --mqtt-ca
    QString sessionText;  ///< --sesion, as given
    quint64 session = 0;  ///< --sesion: the remote bench's session to record (0: the live one)

    /// Filled by checkMqttOptions(): where the broker is and how to log in (password included).
    MqttBroker broker;
    /// Said on stderr before anything starts (a password file others may read).
    QStringList warnings;

    bool publishing() const { return !address.isEmpty() && fromTopic.isEmpty(); }
    bool receiving() const { return !fromTopic.isEmpty(); }
};

/// Whether this is one of the options below (the name without its value).
bool isMqttOption(const QByteArray &name);
/// Keeps the value of one of them; returns what is wrong with it, in Spanish, or an empty string.
QString setMqttOption(MqttOptions &m, const QByteArray &name, const QByteArray &value);

/// Checks the MQTT options together with whether the logger runs (noWindows) and whether a
/// port was named; reads the password file and fills broker. Returns what is wrong, in
/// Spanish, or an empty string.
QString checkMqttOptions(MqttOptions &m, bool noWindows, bool portNamed, bool lineSettingsGiven, bool reconnect);

/// What is wrong with a topic to publish on or to read from (empty: nothing).
QString topicProblem(const QString &topic, const QString &option);
