#include "mqttoptions.h"

#include "labnames.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <unistd.h>

QString topicProblem(const QString &topic, const QString &option)
{
    if (topic.isEmpty())
        return QStringLiteral("%1 necesita un tema, p. ej. lab/banco3.").arg(option);
    if (topic.contains(u'+') || topic.contains(u'#'))
        return QStringLiteral("%1 «%2» no vale: un tema no puede llevar los comodines + ni #.").arg(option, topic);
    if (topic.contains(QChar(0)))
        return QStringLiteral("%1 no vale: el tema lleva un carácter nulo.").arg(option);
    if (topic.startsWith(u'$'))
        return QStringLiteral("%1 «%2» no vale: los temas que empiezan por $ son del broker.").arg(option, topic);
    if (topic.toUtf8().size() > 60000) // the protocol's limit is 65535 bytes, with the subtopics
        return QStringLiteral("%1 no vale: el tema es demasiado largo.").arg(option);
    return {};
}

bool isMqttOption(const QByteArray &name)
{
    return name == "--mqtt" || name == "--mqtt-tema" || name == "--mqtt-usuario" || name == "--desde-mqtt"
           || name == "--mqtt-clave-archivo" || name == "--mqtt-ca" || name == "--sesion";
}

QString setMqttOption(MqttOptions &m, const QByteArray &name, const QByteArray &value)
{
    const bool file = name == "--mqtt-clave-archivo" || name == "--mqtt-ca";
    if (value.isEmpty())
        return QStringLiteral("La opción %1 necesita %2.")
            .arg(QString::fromLatin1(name), file ? QStringLiteral("un nombre de archivo") : QStringLiteral("un valor"));
    if (file) { // paths stay bytes, as the system names files
        (name == "--mqtt-ca" ? m.caFile : m.passwordFile) = value;
        return {};
    }
    if (name == "--sesion") {
        m.sessionText = QString::fromLocal8Bit(value);
        return {};
    }
    // Topics and user names travel as UTF-8: any other byte would be changed into U+FFFD, and
    // another topic read or written than the one given.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(value);
    if (utf8.hasError() && name != "--mqtt")
        return QStringLiteral("La opción %1 no vale: «%2» no es texto UTF-8 válido (MQTT solo admite UTF-8).")
            .arg(QString::fromLatin1(name), text);
    (name == "--mqtt" ? m.address : name == "--mqtt-tema" ? m.topic : name == "--mqtt-usuario" ? m.user : m.fromTopic) =
        text;
    return {};
}

namespace {

// A file the program will need later is checked now, so a typing error stops it at once.
QString readableFile(const QByteArray &path, const QString &option)
{
    const QString shown = QFile::decodeName(path);
    const QFileInfo info(shown);
    if (!info.exists())
        return QStringLiteral("%1: el archivo %2 no existe.").arg(option, shown);
    if (!info.isFile())
        return QStringLiteral("%1: %2 no es un archivo normal.").arg(option, shown);
    if (::access(path.constData(), R_OK) != 0)
        return QStringLiteral("%1: no se puede leer el archivo %2 (permiso denegado).").arg(option, shown);
    return {};
}

} // namespace

QString checkMqttOptions(MqttOptions &m, bool noWindows, bool portNamed, bool lineSettingsGiven, bool reconnect)
{
    if (!m.sessionText.isEmpty() && m.fromTopic.isEmpty())
        return QStringLiteral("--sesion solo vale con --desde-mqtt: elige la sesión del banco remoto que se graba.");
    if (m.address.isEmpty()) {
        if (!m.fromTopic.isEmpty())
            return QStringLiteral("--desde-mqtt necesita --mqtt HOST[:PUERTO]: el broker del que leer.");
        if (!m.topic.isEmpty() || !m.user.isEmpty() || !m.passwordFile.isEmpty() || !m.caFile.isEmpty())
            return QStringLiteral("--mqtt-tema, --mqtt-usuario, --mqtt-clave-archivo y --mqtt-ca solo valen con "
                                  "--mqtt HOST[:PUERTO].");
        return {};
    }
    if (const QString why = parseBrokerAddress(m.address, m.broker); !why.isEmpty())
        return QStringLiteral("--mqtt: %1.").arg(why);
    if (!m.fromTopic.isEmpty()) {
        if (!noWindows)
            return QStringLiteral("--desde-mqtt solo vale con --sin-ventanas: graba un banco remoto sin ventanas.");
        if (portNamed || lineSettingsGiven || reconnect)
            return QStringLiteral("--desde-mqtt lee del broker, no de un puerto: no lleva --com1, --com2, --config "
                                  "ni --reconectar.");
        if (!m.topic.isEmpty())
            return QStringLiteral("--desde-mqtt ya nombra el tema del banco remoto: no lleva --mqtt-tema.");
        if (const QString why = labnames::isFilter(m.fromTopic) ? QString() // checked as a filter
                                                                : topicProblem(m.fromTopic, QStringLiteral("--desde-mqtt"));
            !why.isEmpty())
            return why;
        if (!m.sessionText.isEmpty()) {
            bool ok = false;
            m.session = m.sessionText.toULongLong(&ok);
            if (!ok || m.session == 0 || m.session >= (quint64(1) << 63))
                return QStringLiteral("--sesion «%1» no vale: es el número de una sesión del banco (el «sesión:» de "
                                      "una grabación, o «sesion» en TEMA/meta).").arg(m.sessionText);
        }
    } else if (!m.topic.isEmpty()) {
        if (const QString why = topicProblem(m.topic, QStringLiteral("--mqtt-tema")); !why.isEmpty())
            return why;
    }
    if (!m.passwordFile.isEmpty() && m.user.isEmpty())
        return QStringLiteral("--mqtt-clave-archivo necesita --mqtt-usuario: el broker pide la clave de un usuario.");
    if (!m.caFile.isEmpty()) {
        if (const QString why = readableFile(m.caFile, QStringLiteral("--mqtt-ca")); !why.isEmpty())
            return why;
        // An empty file, a key or anything else would only fail at each connection, for ever.
        QFile ca(QFile::decodeName(m.caFile));
        if (!ca.open(QIODevice::ReadOnly) || !ca.read(1 << 20).contains("-----BEGIN CERTIFICATE-----"))
            return QStringLiteral("--mqtt-ca: el archivo %1 no contiene ningún certificado (se espera uno en PEM, "
                                  "que empieza por «-----BEGIN CERTIFICATE-----»).").arg(QFile::decodeName(m.caFile));
        m.broker.caFile = QFile::decodeName(m.caFile);
    }
    m.broker.user = m.user;
    if (!m.passwordFile.isEmpty()) {
        const PasswordFile p = readPasswordFile(QFile::decodeName(m.passwordFile));
        if (!p.error.isEmpty())
            return QStringLiteral("--mqtt-clave-archivo: %1.").arg(p.error);
        if (!p.warning.isEmpty())
            m.warnings << QStringLiteral("Aviso: %1.").arg(p.warning);
        m.broker.password = p.password;
    }
    return {};
}
