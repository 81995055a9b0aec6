#include "tlscontext.h"
#include "mqttreasons.h"

#include <QFile>
#include <arpa/inet.h>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

namespace {

int contextIndex()
{
    static int index = -1;
    static std::once_flag once;
    std::call_once(once, [] { index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr); });
    return index;
}

bool isAddress(const QString &host)
{
    const QByteArray h = host.toLatin1();
    unsigned char buffer[16];
    return inet_pton(AF_INET, h.constData(), buffer) == 1 || inet_pton(AF_INET6, h.constData(), buffer) == 1;
}

} // namespace

TlsContext::TlsContext(const QString &caFile, const QString &host)
{
    const QByteArray path = QFile::encodeName(caFile);
    if (FILE *f = std::fopen(path.constData(), "rb")) {
        std::fclose(f);
    } else {
        m_error = QStringLiteral("no se puede leer el archivo de --mqtt-ca %1: %2").arg(caFile, mqttreasons::system(errno));
        return;
    }
    m_ctx = SSL_CTX_new(TLS_client_method());
    if (!m_ctx) {
        m_error = QStringLiteral("no se pudo preparar TLS (biblioteca OpenSSL)");
        return;
    }
    SSL_CTX_set_min_proto_version(m_ctx, TLS1_2_VERSION);
    SSL_CTX_set_ex_data(m_ctx, contextIndex(), this);
    if (SSL_CTX_load_verify_locations(m_ctx, path.constData(), nullptr) != 1) {
        m_error = QStringLiteral("el archivo de --mqtt-ca %1 no contiene ningún certificado válido").arg(caFile);
        return;
    }
    SSL_CTX_set_verify(m_ctx, SSL_VERIFY_PEER, &TlsContext::verify);
    X509_VERIFY_PARAM *param = SSL_CTX_get0_param(m_ctx);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const QByteArray name = host.toUtf8();
    const int set = isAddress(host) ? X509_VERIFY_PARAM_set1_ip_asc(param, name.constData())
                                    : X509_VERIFY_PARAM_set1_host(param, name.constData(), name.size());
    if (set != 1)
        m_error = QStringLiteral("no se puede comprobar el certificado para el nombre «%1»").arg(host);
}

TlsContext::~TlsContext()
{
    if (m_ctx)
        SSL_CTX_free(m_ctx); // the client library holds its own reference while it uses it
}

int TlsContext::verify(int ok, X509_STORE_CTX *store)
{
    if (!ok) {
        auto *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        auto *self = ssl ? static_cast<TlsContext *>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), contextIndex())) : nullptr;
        if (self && self->m_verifyError.load() == 0)
            self->m_verifyError.store(X509_STORE_CTX_get_error(store));
    }
    return ok;
}
