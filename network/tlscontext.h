#pragma once

#include <QString>

#include <atomic>

typedef struct ssl_ctx_st SSL_CTX;

/// A TLS client context that trusts only the certificates of one CA file and accepts only a
/// broker certificate issued for the host name (or address) we connect to. Remembers why the
/// last certificate was refused, so that the failure can be told precisely.
class TlsContext
{
public:
    TlsContext(const QString &caFile, const QString &host);
    ~TlsContext();
    TlsContext(const TlsContext &) = delete;
    TlsContext &operator=(const TlsContext &) = delete;

    /// Empty when usable; otherwise what is wrong with the CA file, in Spanish.
    QString error() const { return m_error; }
    SSL_CTX *context() const { return m_ctx; }
    /// X509_V_OK (0) unless a handshake since clearVerifyError() refused the broker's certificate.
    long verifyError() const { return m_verifyError.load(); }
    void clearVerifyError() { m_verifyError.store(0); }

private:
    static int verify(int ok, struct x509_store_ctx_st *store);

    SSL_CTX *m_ctx = nullptr;
    QString m_error;
    std::atomic<long> m_verifyError{0};
};
