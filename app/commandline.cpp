#include "commandline.h"

#include "labnames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>

#ifndef DISPVANTO_VERSION
#define DISPVANTO_VERSION "0"
#endif

namespace {

/// The arguments one after the other; an option's value follows it or comes after "=".
class ArgReader
{
public:
    ArgReader(const QList<QByteArray> &args, Options &o) : m_args(args), m_o(o) {}

    /// Moves to the next option; false at the end.
    bool next()
    {
        if (++m_i >= m_args.size())
            return false;
        m_name = m_args[m_i];
        m_hasValue = m_name.startsWith("--") && m_name.contains('=');
        if (m_hasValue) {
            m_value = m_name.mid(m_name.indexOf('=') + 1);
            m_name = m_name.left(m_name.indexOf('='));
        }
        return true;
    }
    const QByteArray &name() const { return m_name; }
    QString shownName() const { return QString::fromLocal8Bit(m_name); }
    std::optional<QByteArray> value()
    {
        if (m_hasValue)
            return m_value;
        if (m_i + 1 < m_args.size())
            return m_args[++m_i];
        m_o.error = QStringLiteral("Falta el valor de la opción %1.").arg(shownName());
        return std::nullopt;
    }
    void flag(bool &f)
    {
        if (m_hasValue)
            m_o.error = QStringLiteral("La opción %1 no lleva valor.").arg(shownName());
        f = true;
    }

private:
    const QList<QByteArray> &m_args;
    Options &m_o;
    qsizetype m_i = -1;
    QByteArray m_name;
    QByteArray m_value;
    bool m_hasValue = false;
};

void fileOption(ArgReader &r, QByteArray &path, Options &o)
{
    if (const auto v = r.value()) {
        if (v->isEmpty() || v->endsWith('/'))
            o.error = QStringLiteral("La opción %1 necesita un nombre de archivo%2.")
                          .arg(r.shownName(),
                               v->isEmpty() ? QString() : QStringLiteral(", no una carpeta: «%1»").arg(QString::fromLocal8Bit(*v)));
        path = *v;
    }
}

void countOption(ArgReader &r, Options &o)
{
    if (const auto v = r.value()) {
        bool ok = false;
        o.sampleLimit = v->toULongLong(&ok);
        if (!ok || o.sampleLimit == 0)
            o.error = QStringLiteral("--muestras necesita un número entero positivo, no «%1».").arg(QString::fromLocal8Bit(*v));
    }
}

void rotationOption(ArgReader &r, Options &o)
{
    if (const auto v = r.value()) {
        if (const auto rotation = Rotation::parse(QString::fromLocal8Bit(*v)))
            o.rotation = *rotation;
        else
            o.error = QStringLiteral("--rotar necesita un periodo (30s, 15min, 1h, 1d; de 1 s a 366 d) o un tamaño "
                                     "(500kB, 200MB, 2GB; de 1 kB a 1000 GB), no «%1».")
                          .arg(QString::fromLocal8Bit(*v));
    }
}

void formatsOption(ArgReader &r, Options &o)
{
    if (const auto v = r.value()) {
        o.formatsGiven = true;
        const QByteArray f = v->toLower();
        o.labCsv = f == "csv" || f == "csv,crudo" || f == "crudo,csv";
        o.labRaw = f == "crudo" || f == "csv,crudo" || f == "crudo,csv";
        if (!o.labCsv && !o.labRaw)
            o.error = QStringLiteral("--formatos necesita csv, crudo o csv,crudo, no «%1».").arg(QString::fromLocal8Bit(*v));
    }
}

/// A filter's folder must be there and writable: a typing error stops the program at once.
QString folderProblem(const QByteArray &folder)
{
    const QString shown = QFile::decodeName(folder);
    const QFileInfo info(shown);
    if (!info.exists())
        return QStringLiteral("--carpeta: la carpeta %1 no existe.").arg(shown);
    if (!info.isDir())
        return QStringLiteral("--carpeta: %1 no es una carpeta.").arg(shown);
    if (!info.isWritable())
        return QStringLiteral("--carpeta: no se puede escribir en %1 (permiso denegado).").arg(shown);
    return {};
}

/// One option into o; an error in o.error.
void readOption(ArgReader &r, Options &o)
{
    const QByteArray &a = r.name();
    if (a == "-h" || a == "--help" || a == "--ayuda")
        r.flag(o.help);
    else if (a == "-v" || a == "--version")
        r.flag(o.version);
    else if (a == "--listar-puertos")
        r.flag(o.listPorts);
    else if (a == "--reconectar")
        r.flag(o.ports.reconnect);
    else if (a == "--sin-ventanas")
        r.flag(o.noWindows);
    else if (a == "--registro" || a == "--crudo")
        fileOption(r, a == "--registro" ? o.csvFile : o.rawFile, o);
    else if (a == "--config") {
        if (const auto v = r.value())
            o.lineSettings = QString::fromLocal8Bit(*v);
    } else if (a == "--muestras")
        countOption(r, o);
    else if (a == "--rotar")
        rotationOption(r, o);
    else if (a == "--carpeta") {
        if (const auto v = r.value())
            o.folder = *v;
        if (o.folder.isEmpty() && o.error.isEmpty())
            o.error = QStringLiteral("La opción --carpeta necesita una carpeta.");
    } else if (a == "--formatos")
        formatsOption(r, o);
    else if (isMqttOption(a)) {
        if (const auto v = r.value())
            o.error = setMqttOption(o.mqtt, a, *v);
    } else if (a == "--com1" || a == "--com2") {
        (a == "--com1" ? o.ports.com1 : o.ports.com2) = r.value();
        (a == "--com1" ? o.com1Named : o.com2Named) = true;
    } else
        o.error = QStringLiteral("Opción desconocida: %1. Use --help para ver las opciones.").arg(r.shownName());
}

/// A filter in --desde-mqtt: every bench under it, into a folder.
QString labProblem(const Options &o)
{
    const bool filter = labnames::isFilter(o.mqtt.fromTopic);
    if (!filter)
        return !o.folder.isEmpty() || o.formatsGiven
                   ? QStringLiteral("--carpeta y --formatos solo valen con --desde-mqtt y un filtro (p. ej. lab/+).")
                   : QString();
    if (const QString why = labnames::filterProblem(o.mqtt.fromTopic, QStringLiteral("--desde-mqtt")); !why.isEmpty())
        return why;
    if (!o.csvFile.isEmpty() || !o.rawFile.isEmpty())
        return QStringLiteral("Con un filtro (--desde-mqtt %1) cada banco se graba en sus propios archivos bajo "
                              "--carpeta: no lleva --registro ni --crudo (elija con --formatos csv, crudo o csv,crudo).")
            .arg(o.mqtt.fromTopic);
    if (o.folder.isEmpty())
        return QStringLiteral("--desde-mqtt con un filtro (%1) necesita --carpeta CARPETA: allí va cada banco, en una "
                              "carpeta suya.").arg(o.mqtt.fromTopic);
    if (o.sampleLimit)
        return QStringLiteral("--muestras no vale con un filtro: cada banco graba sus sesiones enteras, hasta una señal.");
    if (!o.mqtt.sessionText.isEmpty())
        return QStringLiteral("--sesion no vale con un filtro: se graba cada sesión en vivo de cada banco.");
    return folderProblem(o.folder);
}

/// What the options mean together.
void checkTogether(Options &o)
{
    if (o.help || o.version || o.listPorts)
        return;
    if (o.error = labProblem(o); !o.error.isEmpty())
        return;
    const bool lab = labnames::isFilter(o.mqtt.fromTopic);
    if (!o.noWindows && (!o.lineSettings.isEmpty() || o.sampleLimit))
        o.error = QStringLiteral("--config y --muestras solo valen con --sin-ventanas.");
    else if (o.noWindows && !lab && o.rotation.enabled() && o.csvFile.isEmpty() && o.rawFile.isEmpty())
        o.error = QStringLiteral("--rotar necesita --registro o --crudo: sin ventanas no hay otra grabación.");
    else if (!o.csvFile.isEmpty() && o.csvFile == o.rawFile)
        o.error = QStringLiteral("--registro y --crudo deben ser archivos distintos.");
    else
        o.error = checkMqttOptions(o.mqtt, o.noWindows, o.com1Named || o.com2Named, !o.lineSettings.isEmpty(),
                                   o.ports.reconnect);
}

} // namespace

Options parseCommandLine(const QList<QByteArray> &args, const std::function<QByteArray(const char *)> &environment)
{
    Options o;
    ArgReader reader(args, o);
    while (o.error.isEmpty() && reader.next())
        readOption(reader, o);
    if (!o.error.isEmpty())
        return o;
    checkTogether(o);
    if (!o.ports.com1 && !environment("DISPVANTO_COM1").isEmpty())
        o.ports.com1 = environment("DISPVANTO_COM1");
    if (!o.ports.com2 && !environment("DISPVANTO_COM2").isEmpty())
        o.ports.com2 = environment("DISPVANTO_COM2");
    return o;
}

QString versionText()
{
    return QStringLiteral("dispvanto " DISPVANTO_VERSION "\n");
}

QString helpText()
{
    return QStringLiteral(
        "Uso: dispvanto [opciones]\n"
        "Adquisición de datos de la placa conversora por puerto serie: muestra la muestra más\n"
        "reciente en cifras grandes y traza las últimas 1000 en un gráfico en vivo.\n"
        "\n"
        "Opciones:\n"
        "  --com1 DISPOSITIVO   dispositivo para COM1 (por omisión /dev/ttyS0), p. ej. /dev/ttyUSB0\n"
        "  --com2 DISPOSITIVO   dispositivo para COM2 (por omisión /dev/ttyS1)\n"
        "  --reconectar         si el dispositivo se pierde, volver a abrirlo en cuanto reaparezca\n"
        "  --registro ARCHIVO   grabar cada muestra decodificada en ARCHIVO (CSV: muestra,tiempo_s,valor)\n"
        "  --crudo ARCHIVO      grabar los bytes de esas muestras tal como llegan del puerto en ARCHIVO\n"
        "  --sin-ventanas       registrador sin ventanas ni pantalla: abre el puerto, graba (o solo publica,\n"
        "                       con --mqtt) y termina\n"
        "                       con --muestras o con una señal (Ctrl+C, SIGTERM, SIGHUP)\n"
        "  --config CADENA      con --sin-ventanas: configuración de la línea, p. ej. 9600,N,8,1\n"
        "                       (sin ella, la del archivo de configuración)\n"
        "  --muestras N         con --sin-ventanas: terminar tras grabar N muestras (en cada archivo)\n"
        "  --rotar CADA         seguir cada grabación en partes numeradas (ensayo-000001.csv, …): una nueva\n"
        "                       cada periodo (30s, 15min, 1h, 1d) o al llegar un archivo a un tamaño\n"
        "                       (500kB, 200MB, 2GB); cada parte es un archivo completo con su cabecera\n"
        "\n"
        "Varios bancos (MQTT):\n"
        "  --mqtt HOST[:PUERTO] publicar cada muestra en el broker MQTT (puerto 1883, o 8883 con --mqtt-ca)\n"
        "  --mqtt-tema TEMA     tema bajo el que se publica (por omisión dispvanto/<máquina>/<COM1|COM2>):\n"
        "                       TEMA/muestras, TEMA/estado, TEMA/meta, TEMA/resumen, TEMA/pedido\n"
        "  --mqtt-usuario NOMBRE  usuario para el broker\n"
        "  --mqtt-clave-archivo ARCHIVO  leer la clave del usuario de la primera línea de ARCHIVO\n"
        "                       (nunca en la línea de órdenes; el archivo debe ser legible solo por usted)\n"
        "  --mqtt-ca ARCHIVO    conexión cifrada (TLS): el certificado del broker debe estar firmado por la\n"
        "                       autoridad de ARCHIVO y ser para el nombre de HOST\n"
        "  --desde-mqtt TEMA    con --sin-ventanas y --mqtt: grabar el banco remoto que publica en TEMA, en\n"
        "                       vez de un puerto; con --muestras N, termina cuando han llegado las muestras\n"
        "                       0 a N-1 de su sesión; sigue la sesión en vivo (o la siguiente que empiece)\n"
        "  --sesion S           con --desde-mqtt: grabar la sesión S del banco remoto y ninguna otra\n"
        "  --desde-mqtt FILTRO  con un filtro (lab/+, lab/#): grabar cada banco que publique bajo él, cada\n"
        "                       sesión en sus propios archivos, hasta una señal; SIGUSR1 muestra la tabla\n"
        "  --carpeta CARPETA    con un filtro: carpeta de los archivos, CARPETA/<banco>/<banco>_<inicio>.csv\n"
        "                       y .bin (el tema del banco con %XX en lugar de / y otros caracteres)\n"
        "  --formatos LISTA     con un filtro: csv, crudo o csv,crudo (por omisión) por banco\n"
        "\n"
        "  --listar-puertos     mostrar los puertos serie del sistema y terminar\n"
        "  -v, --version        mostrar la versión y terminar\n"
        "  -h, --help           mostrar esta ayuda y terminar\n"
        "\n"
        "Un archivo de grabación que ya existe nunca se sobrescribe.\n"
        "\n"
        "Variables de entorno:\n"
        "  DISPVANTO_COM1, DISPVANTO_COM2   dispositivos de COM1 y COM2 cuando no se dan --com1 y --com2\n");
}

QString portListing()
{
    // Stable names: each link in /dev/serial/by-id names one adapter whatever its order of arrival.
    QMultiMap<QString, QString> stable;
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo &link : byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
        stable.insert(link.canonicalFilePath(), link.absoluteFilePath());

    QString out;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &p : ports) {
        out += p.systemLocation() + u'\n';
        auto field = [&](const QString &name, const QString &value) {
            if (!value.isEmpty())
                out += QStringLiteral("    %1: %2\n").arg(name, value);
        };
        field(QStringLiteral("descripción"), p.description());
        field(QStringLiteral("fabricante"), p.manufacturer());
        field(QStringLiteral("número de serie"), p.serialNumber());
        if (p.hasVendorIdentifier() && p.hasProductIdentifier())
            field(QStringLiteral("VID:PID"), QStringLiteral("%1:%2")
                                                 .arg(p.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                                                 .arg(p.productIdentifier(), 4, 16, QLatin1Char('0')));
        for (const QString &name : stable.values(QFileInfo(p.systemLocation()).canonicalFilePath()))
            field(QStringLiteral("nombre estable"), name);
    }
    if (ports.isEmpty())
        out = QStringLiteral("No se encontró ningún puerto serie.\n");
    return out;
}
