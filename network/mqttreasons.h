#pragma once

#include <QString>

// Why a connection to the broker failed, said in Spanish.
namespace mqttreasons {

/// A failed system call's reason, from its error number (files and sockets).
QString system(int errnum);
/// A failed host name lookup's reason, from getaddrinfo's code.
QString lookup(int gaiCode, const QString &host);
/// The broker's answer when it refuses a connection (CONNACK return code, MQTT 3.1.1).
QString refusal(int connackCode);
/// A broker certificate that did not verify (an X509_V_ERR_* code).
QString certificate(long verifyError, const QString &host);
/// A failure the client library reports with its own code (MOSQ_ERR_*).
QString library(int mosqErr, int errnum);

} // namespace mqttreasons
