#include "mqttreasons.h"

#include <mosquitto.h>
#include <openssl/x509_vfy.h>

#include <cerrno>
#include <cstring>
#include <netdb.h>

namespace mqttreasons {

QString system(int errnum)
{
    switch (errnum) {
    case ENOENT: return QStringLiteral("no existe");
    case EACCES:
    case EPERM: return QStringLiteral("no hay permiso");
    case EISDIR: return QStringLiteral("es una carpeta");
    case ECONNREFUSED: return QStringLiteral("conexión rechazada: no hay ningún broker escuchando en ese puerto");
    case ETIMEDOUT: return QStringLiteral("no responde (tiempo de espera agotado)");
    case EHOSTUNREACH: return QStringLiteral("no hay ruta hasta la máquina del broker");
    case ENETUNREACH: return QStringLiteral("la red no está disponible");
    case ECONNRESET: return QStringLiteral("el broker cortó la conexión");
    case EPIPE: return QStringLiteral("la conexión está cerrada");
    case EPROTO: return QStringLiteral("error de protocolo en la conexión");
    case EADDRNOTAVAIL: return QStringLiteral("la dirección no está disponible en esta máquina");
    case ENOMEM: return QStringLiteral("no queda memoria");
    case EMFILE:
    case ENFILE: return QStringLiteral("hay demasiados archivos abiertos");
    default:
        return QStringLiteral("error del sistema %1 (%2)").arg(errnum).arg(QString::fromLocal8Bit(std::strerror(errnum)));
    }
}

QString lookup(int gaiCode, const QString &host)
{
    switch (gaiCode) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
        return QStringLiteral("no se conoce ninguna máquina llamada «%1»").arg(host);
    case EAI_AGAIN: return QStringLiteral("no se pudo consultar el nombre «%1» (servidor de nombres no disponible)").arg(host);
    case EAI_SYSTEM: return system(errno);
    default:
        return QStringLiteral("no se pudo resolver el nombre «%1» (%2)").arg(host, QString::fromLocal8Bit(gai_strerror(gaiCode)));
    }
}

QString refusal(int connackCode)
{
    switch (connackCode) {
    case 1: return QStringLiteral("el broker no admite la versión del protocolo MQTT");
    case 2: return QStringLiteral("el broker rechazó el identificador de cliente");
    case 3: return QStringLiteral("el broker no está disponible");
    case 4: return QStringLiteral("usuario o contraseña rechazados por el broker");
    case 5: return QStringLiteral("el broker no autoriza la conexión: usuario o contraseña rechazados");
    default: return QStringLiteral("el broker rechazó la conexión (código %1)").arg(connackCode);
    }
}

QString certificate(long verifyError, const QString &host)
{
    switch (verifyError) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        return QStringLiteral("el certificado del broker no está firmado por la autoridad del archivo de --mqtt-ca");
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return QStringLiteral("el certificado del broker no es para «%1» (es de otra máquina)").arg(host);
    case X509_V_ERR_CERT_HAS_EXPIRED: return QStringLiteral("el certificado del broker ha caducado");
    case X509_V_ERR_CERT_NOT_YET_VALID: return QStringLiteral("el certificado del broker aún no es válido (¿reloj desajustado?)");
    default:
        return QStringLiteral("el certificado del broker no es válido (%1)")
            .arg(QString::fromLatin1(X509_verify_cert_error_string(verifyError)));
    }
}

QString library(int mosqErr, int errnum)
{
    switch (mosqErr) {
    case MOSQ_ERR_ERRNO: return system(errnum);
    case MOSQ_ERR_CONN_LOST: return QStringLiteral("se perdió la conexión");
    case MOSQ_ERR_NO_CONN: return QStringLiteral("no hay conexión");
    case MOSQ_ERR_KEEPALIVE: return QStringLiteral("el broker dejó de responder");
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_MALFORMED_PACKET: return QStringLiteral("el broker respondió algo que no es MQTT");
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE: return QStringLiteral("falló el acuerdo TLS con el broker");
    case MOSQ_ERR_NOMEM: return QStringLiteral("no queda memoria");
    case MOSQ_ERR_INVAL: return QStringLiteral("valor no válido (p. ej., un tema con + o # donde no caben)");
    case MOSQ_ERR_MALFORMED_UTF8: return QStringLiteral("el texto no es UTF-8 válido");
    case MOSQ_ERR_PAYLOAD_SIZE:
    case MOSQ_ERR_OVERSIZE_PACKET: return QStringLiteral("el mensaje es demasiado grande");
    case MOSQ_ERR_NOT_SUPPORTED: return QStringLiteral("la biblioteca MQTT no lo admite");
    default:
        return QStringLiteral("error de la biblioteca MQTT %1 (%2)").arg(mosqErr).arg(QString::fromUtf8(mosquitto_strerror(mosqErr)));
    }
}

} // namespace mqttreasons
