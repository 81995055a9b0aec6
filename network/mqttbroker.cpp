#include "mqttbroker.h"
#include "mqttreasons.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSysInfo>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QString MqttBroker::name() const
{
    const QString shownHost = host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("%1:%2").arg(shownHost).arg(effectivePort());
}

QString parseBrokerAddress(const QString &text, MqttBroker &broker)
{
    QString host = text.trimmed();
    QString portText;
    bool portGiven = false; // a ':' after the host: a port must follow
    if (host.startsWith(QLatin1Char('['))) { // [IPv6]:port
        const qsizetype close = host.indexOf(QLatin1Char(']'));
        if (close < 0)
            return QStringLiteral("falta el ']' en la dirección del broker «%1»").arg(text);
        portText = host.mid(close + 1);
        host = host.mid(1, close - 1);
        if (!portText.isEmpty() && !portText.startsWith(QLatin1Char(':')))
            return QStringLiteral("dirección del broker no válida: «%1»").arg(text);
        portGiven = !portText.isEmpty();
        portText = portText.mid(1);
    } else if (host.count(QLatin1Char(':')) == 1) {
        portGiven = true;
        portText = host.section(QLatin1Char(':'), 1);
        host = host.section(QLatin1Char(':'), 0, 0);
    }
    if (host.isEmpty())
        return QStringLiteral("falta el nombre del broker en «%1»").arg(text);
    if (portGiven && portText.isEmpty())
        return QStringLiteral("falta el puerto tras los dos puntos en «%1» (sin «:», se usa el puerto habitual)").arg(text);
    quint16 port = 0;
    if (portGiven) {
        bool ok = false;
        const uint value = portText.toUInt(&ok);
        if (!ok || value == 0 || value > 65535)
            return QStringLiteral("puerto del broker no válido: «%1» (debe ir de 1 a 65535)").arg(portText);
        port = static_cast<quint16>(value);
    }
    broker.host = host;
    broker.port = port;
    return {};
}

namespace {

QString kindOfFile(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("es una carpeta");
    if (S_ISFIFO(mode))
        return QStringLiteral("es una tubería con nombre (FIFO)");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("es un dispositivo");
    if (S_ISSOCK(mode))
        return QStringLiteral("es un socket");
    return QStringLiteral("no es un archivo normal");
}

} // namespace

PasswordFile readPasswordFile(const QString &path)
{
    PasswordFile out;
    const QByteArray native = QFile::encodeName(path);
    const auto unreadable = [&](int errnum) {
        out.error = QStringLiteral("no se puede leer el archivo de la clave del broker %1: %2")
                        .arg(path, mqttreasons::system(errnum));
        return out;
    };
    const auto notRegular = [&](mode_t mode) {
        out.error = QStringLiteral("el archivo de la clave del broker %1 %2: solo se lee un archivo normal")
                        .arg(path, kindOfFile(mode));
        return out;
    };
    // Looked at before it is opened: opening a FIFO waits for a writer, for ever, and opening a
    // serial device may reset what hangs on it. A file swapped in between meets O_NONBLOCK and
    // the second look.
    struct stat st {};
    if (::stat(native.constData(), &st) != 0)
        return unreadable(errno);
    if (!S_ISREG(st.st_mode))
        return notRegular(st.st_mode);
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return unreadable(errno);
    QByteArray content;
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular) {
        char buffer[4096];
        ssize_t got;
        // A password is short: one block is enough, and a huge file is not a password file.
        while ((got = ::read(fd, buffer, sizeof buffer)) > 0 && content.size() < 65536)
            content.append(buffer, got);
    }
    ::close(fd);
    if (!regular)
        return notRegular(st.st_mode);
    const qsizetype end = content.indexOf('\n');
    out.password = end < 0 ? content : content.left(end);
    if (out.password.endsWith('\r'))
        out.password.chop(1);
    if (out.password.isEmpty())
        out.error = QStringLiteral("el archivo de la clave del broker %1 está vacío").arg(path);
    else if (st.st_mode & (S_IRWXG | S_IRWXO))
        out.warning = QStringLiteral("otros usuarios pueden leer el archivo de la clave del broker %1; "
                                     "protéjalo con: chmod 600 %1").arg(path);
    return out;
}

QString defaultTopic(const QString &portName)
{
    QString host = QSysInfo::machineHostName();
    // A topic level must not hold the wildcards or the separator.
    for (QChar &c : host)
        if (c == QLatin1Char('/') || c == QLatin1Char('+') || c == QLatin1Char('#'))
            c = QLatin1Char('_');
    return QStringLiteral("dispvanto/%1/%2").arg(host, portName);
}

MqttTopics::MqttTopics(const QString &base)
    : samples(base + QStringLiteral("/muestras")),
      state(base + u'/' + kStateLevel),
      meta(base + u'/' + kMetaLevel),
      summary(base + QStringLiteral("/resumen")),
      request(base + QStringLiteral("/pedido")),
      view(base + QStringLiteral("/vista"))
{
}

QString uniqueClientId(const QString &role)
{
    static std::atomic<int> counter{0};
    return QStringLiteral("dispvanto-%1-%2-%3-%4")
        .arg(role, QSysInfo::machineHostName())
        .arg(QCoreApplication::applicationPid())
        .arg(++counter);
}

QString recorderClientId(const QString &topic, const QList<QByteArray> &outputFiles)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const auto add = [&hash](const QByteArray &part) {
        hash.addData(part);
        hash.addData(QByteArrayView("", 1)); // a separator no part holds
    };
    // The host: another machine may record the same topic into the same paths.
    add(QSysInfo::machineHostName().toUtf8());
    // The topic: a later recording into the same paths of another bench must not find this
    // one's queue.
    add(topic.toUtf8());
    // The output files, absolute: no two recordings running on one machine write the same
    // file, so two recorders of one topic never share a session; the working folder does not
    // change while one runs, so its reconnections always find theirs.
    for (const QByteArray &file : outputFiles)
        if (!file.isEmpty())
            add(QFile::encodeName(QDir::cleanPath(QDir::current().absoluteFilePath(QFile::decodeName(file)))));
    // "dvrec" and 72 bits of the hash: 23 characters.
    return QStringLiteral("dvrec") + QString::fromLatin1(hash.result().left(9).toHex());
}
