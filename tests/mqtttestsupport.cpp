#include "mqtttestsupport.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <QtEndian>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QString run(const QString &program, const QStringList &args, const QString &folder)
{
    QProcess p;
    p.setWorkingDirectory(folder);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QStringLiteral("%1 %2 falló: %3").arg(program, args.join(u' '), QString::fromLocal8Bit(p.readAll()));
    return {};
}

QString makeCa(const QString &folder, const QString &name, const QString &cn)
{
    return run(QStringLiteral("openssl"),
               {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
                "-subj", "/CN=" + cn, "-keyout", name + ".key", "-out", name + ".pem"},
               folder);
}

QString makeServer(const QString &folder, const QString &name, const QString &ca, const QString &altNames)
{
    QFile ext(folder + "/" + name + ".ext");
    if (!ext.open(QIODevice::WriteOnly) || ext.write("subjectAltName=" + altNames.toUtf8() + "\n") < 0)
        return QStringLiteral("no se pudo escribir %1").arg(ext.fileName());
    ext.close();
    if (QString e = run(QStringLiteral("openssl"),
                        {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-subj",
                         "/CN=servidor", "-keyout", name + ".key", "-out", name + ".csr"},
                        folder);
        !e.isEmpty())
        return e;
    return run(QStringLiteral("openssl"),
               {"x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key", "-CAcreateserial",
                "-days", "2", "-extfile", name + ".ext", "-out", name + ".pem"},
               folder);
}

} // namespace

QString TestCertificates::make(const QString &folder)
{
    for (const QString &e : {makeCa(folder, "ca", "ca de prueba"), makeCa(folder, "otraca", "otra ca"),
                             makeServer(folder, "servidor", "ca", "IP:127.0.0.1,DNS:localhost"),
                             makeServer(folder, "otrohost", "ca", "DNS:otro.example")})
        if (!e.isEmpty())
            return e;
    ca = folder + "/ca.pem";
    otherCa = folder + "/otraca.pem";
    serverCert = folder + "/servidor.pem";
    serverKey = folder + "/servidor.key";
    otherHostCert = folder + "/otrohost.pem";
    otherHostKey = folder + "/otrohost.key";
    return {};
}

qint64 peakMemoryKb(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).simplified().split(' ').value(0).toLongLong();
    return -1;
}

ReservedPort::ReservedPort() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const int on = 1;
    if (m_fd >= 0 && ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0
        && ::bind(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0
        && ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        m_port = ntohs(a.sin_port);
}

ReservedPort::~ReservedPort()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool accepting(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

QString writePasswordFile(const QString &folder, const QByteArray &password)
{
    const QString path = folder + "/clave";
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        f.write(password + "\n");
    }
    return path;
}

TestBroker::TestBroker(const QString &folder, Options options)
    : m_folder(folder), m_options(options)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(m_folder + "/broker.log", QIODevice::Append);
}

TestBroker::~TestBroker()
{
    kill();
}

QString TestBroker::start()
{
    if (port() == 0)
        return QStringLiteral("no se pudo reservar un puerto local para mosquitto");
    QDir(m_folder).mkpath("datos");
    if (QString e = run(QStringLiteral("mosquitto_passwd"), {"-c", "-b", "passwd", kUser, QString::fromUtf8(kPassword)},
                        m_folder);
        !e.isEmpty())
        return e;
    const passwd *me = ::getpwuid(::getuid());
    QByteArray conf = QStringLiteral("listener %1 127.0.0.1\nallow_anonymous false\npassword_file %2/passwd\n"
                                     "persistence true\npersistence_location %2/datos/\nautosave_interval 1\nuser %3\n")
                          .arg(port())
                          .arg(m_folder, me ? QString::fromLocal8Bit(me->pw_name) : QStringLiteral("root"))
                          .toUtf8();
    if (const TestCertificates *tls = m_options.tls) {
        const bool other = m_options.otherHostCertificate;
        conf += QStringLiteral("cafile %1\ncertfile %2\nkeyfile %3\n")
                    .arg(tls->ca, other ? tls->otherHostCert : tls->serverCert, other ? tls->otherHostKey : tls->serverKey)
                    .toUtf8();
    }
    if (m_options.maxQueuedMessages)
        conf += "max_queued_messages " + QByteArray::number(m_options.maxQueuedMessages) + "\n";
    if (m_options.maxInflightMessages)
        conf += "max_inflight_messages " + QByteArray::number(m_options.maxInflightMessages) + "\n";
    conf += m_options.more;
    QFile f(m_folder + "/mosquitto.conf");
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(conf) != conf.size())
        return QStringLiteral("no se pudo escribir %1").arg(f.fileName());
    f.close();
    m_process.start(QStringLiteral("mosquitto"), {"-c", f.fileName()});
    if (!m_process.waitForStarted(10000))
        return QStringLiteral("mosquitto no arrancó: %1").arg(m_process.errorString());
    QDeadlineTimer deadline(15000);
    while (!accepting(port())) {
        if (m_process.state() != QProcess::Running || deadline.hasExpired())
            return QStringLiteral("mosquitto no acepta conexiones en %1:\n%2").arg(port()).arg(log());
        QTest::qWait(20);
    }
    return {};
}

void TestBroker::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(15000))
        kill();
}

void TestBroker::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(15000);
}

void TestBroker::freeze()
{
    if (m_process.state() != QProcess::NotRunning)
        ::kill(pid_t(m_process.processId()), SIGSTOP);
}

void TestBroker::thaw()
{
    if (m_process.state() != QProcess::NotRunning)
        ::kill(pid_t(m_process.processId()), SIGCONT);
}

MqttBroker TestBroker::settings() const
{
    MqttBroker b;
    b.host = QStringLiteral("127.0.0.1");
    b.port = port();
    b.user = kUser;
    b.password = kPassword;
    if (m_options.tls)
        b.caFile = m_options.tls->ca;
    return b;
}

QString TestBroker::log() const
{
    QFile f(m_folder + "/broker.log");
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

TestFeed::TestFeed(int samplesPerBlock, int blocksPerTick, int tickMs)
    : m_perBlock(samplesPerBlock), m_blocksPerTick(blocksPerTick)
{
    m_timer.setInterval(tickMs);
    connect(&m_timer, &QTimer::timeout, this, [this] { step(m_blocksPerTick); });
}

void TestFeed::start(quint64 total)
{
    m_total = total;
    m_timer.start();
}

void TestFeed::step(int blocks)
{
    for (int b = 0; b < blocks; ++b) {
        quint64 n = quint64(m_perBlock);
        if (m_total)
            n = qMin(n, m_total - m_next);
        if (n == 0) {
            m_timer.stop();
            emit done();
            return;
        }
        QByteArray bytes(qsizetype(2 * n), Qt::Uninitialized);
        for (quint64 i = 0; i < n; ++i)
            qToLittleEndian<quint16>(valueAt(m_next + i), bytes.data() + 2 * i);
        if (m_rawFd >= 0 && ::write(m_rawFd, bytes.constData(), size_t(bytes.size())) != bytes.size())
            qWarning("no se pudo escribir el archivo crudo de prueba");
        emitBytes(bytes.constData(), bytes.size(), qint64(2 * m_next));
        const qint64 arrival = arrivalOfBlock(m_block++);
        for (quint64 i = 0; i < n; ++i, ++m_next)
            emitSample({m_next, valueAt(m_next), arrival, qint64(2 * (m_next + 1))});
    }
    if (m_total && m_next >= m_total) {
        m_timer.stop();
        emit done();
    }
}

void TestFeed::setRawFile(const QString &path)
{
    m_rawPath = path;
    m_rawFd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

PublisherContext TestFeed::context() const
{
    PublisherContext c;
    c.programVersion = QStringLiteral("9.9.9");
    c.portName = QStringLiteral("COM1");
    c.device = QStringLiteral("/dev/ttyPRUEBA0");
    c.settings = QStringLiteral("115200,N,8,1");
    c.unixNanos = [](qint64 t) { return kUnixBase + t; };
    if (!m_rawPath.isEmpty())
        c.readRaw = rawFileReader(m_rawPath);
    return c;
}

void Collector::bytesReceived(const char *data, qsizetype size, qint64 position)
{
    if (nextPosition >= 0 && position != nextPosition)
        bytesContiguous = false;
    nextPosition = position + size;
    bytes.append(data, size);
}

QString Collector::checkAgainstFeed(quint64 first, quint64 count, int perBlock) const
{
    if (samples.size() != count)
        return QStringLiteral("%1 muestras en vez de %2").arg(samples.size()).arg(count);
    for (quint64 i = 0; i < count; ++i) {
        const Sample &s = samples[i];
        const quint64 index = first + i;
        if (s.index != index || s.value != TestFeed::valueAt(index))
            return QStringLiteral("muestra %1: índice %2 valor %3 (se esperaba %4)")
                .arg(i).arg(s.index).arg(s.value).arg(TestFeed::valueAt(index));
        if (s.streamEnd != qint64(2 * (index + 1)))
            return QStringLiteral("muestra %1: fin de flujo %2").arg(index).arg(s.streamEnd);
        if (perBlock > 0 && s.arrivalNanos != TestFeed::arrivalOfBlock(index / quint64(perBlock)))
            return QStringLiteral("muestra %1: llegada %2 (se esperaba %3)")
                .arg(index).arg(s.arrivalNanos).arg(TestFeed::arrivalOfBlock(index / quint64(perBlock)));
    }
    return {};
}

QList<int> Collector::values() const
{
    QList<int> out;
    for (const Sample &s : samples)
        out << s.value;
    return out;
}
