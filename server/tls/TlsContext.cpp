#include "TlsContext.h"

#include <QFile>
#include <QFileInfo>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>

namespace kelvra {

namespace {

// A key protected by a passphrase is refused: asking for it on the terminal
// would hang a service.
int NoPassphrase(char*, int, int, void*) {
    return 0;
}

// The whole file, or a sentence saying why it cannot be read.
bool ReadWhole(const QString& what, const QString& path, QByteArray& bytes, QString* error) {
    QFile file(path);
    if (path.isEmpty()) {
        *error = QStringLiteral("no TLS %1 file given").arg(what);
        return false;
    }
    if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the TLS %1 file %2: %3")
                     .arg(what, path,
                          QFileInfo(path).isDir() ? QStringLiteral("it is a folder")
                                                  : file.errorString());
        return false;
    }
    bytes = file.readAll();
    return true;
}

struct TBioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct TKeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

} // namespace

TTlsContext::~TTlsContext() {
    SSL_CTX_free(Ctx);
}

TTlsContext& TTlsContext::operator=(TTlsContext&& other) noexcept {
    if (this != &other) {
        SSL_CTX_free(Ctx);
        Ctx = other.Ctx;
        other.Ctx = nullptr;
    }
    return *this;
}

QString TTlsContext::LastOpenSslError() {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0)
        return QStringLiteral("unknown reason");
    const char* reason = ERR_reason_error_string(code);
    return reason ? QString::fromLatin1(reason) : QStringLiteral("error %1").arg(code, 0, 16);
}

bool TTlsContext::Load(const QString& certificateFile, const QString& keyFile, TTlsContext& out,
                       QString* error) {
    QString ignored;
    if (!error)
        error = &ignored;
    const QString keyPath = keyFile.isEmpty() ? certificateFile : keyFile;
    QByteArray certBytes, keyBytes;
    if (!ReadWhole(QStringLiteral("certificate"), certificateFile, certBytes, error) ||
        !ReadWhole(QStringLiteral("key"), keyPath, keyBytes, error))
        return false;

    ERR_clear_error();
    TTlsContext made;
    made.Ctx = SSL_CTX_new(TLS_server_method());
    if (!made.Ctx) {
        *error = QStringLiteral("cannot make a TLS context: ") + LastOpenSslError();
        return false;
    }
    SSL_CTX* ctx = made.Ctx;
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
    // A peer that closes without close_notify is an ordinary close, as on the
    // plain port. No renegotiation: a write never has to wait for a read.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF |
                                 SSL_OP_NO_COMPRESSION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                                 SSL_OP_PRIORITIZE_CHACHA);
    // Buffers go back while a connection is idle.
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
    // Resumption by tickets only: a session cache would grow with every login.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 1);
    // One receive takes what has arrived, not one record header at a time.
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_ciphersuites(
        ctx, "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
    SSL_CTX_set_default_passwd_cb(ctx, NoPassphrase);

    const QByteArray certPath = QFile::encodeName(certificateFile);
    if (SSL_CTX_use_certificate_chain_file(ctx, certPath.constData()) != 1) {
        *error = QStringLiteral("no usable certificate in PEM form in %1 (%2)")
                     .arg(certificateFile, LastOpenSslError());
        return false;
    }
    std::unique_ptr<BIO, TBioFree> keyBio(
        BIO_new_mem_buf(keyBytes.constData(), static_cast<int>(keyBytes.size())));
    std::unique_ptr<EVP_PKEY, TKeyFree> key(
        keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, NoPassphrase, nullptr) : nullptr);
    if (!key) {
        *error = QStringLiteral("no usable private key in PEM form in %1 (%2; a key protected by "
                                "a passphrase cannot be used)")
                     .arg(keyPath, LastOpenSslError());
        return false;
    }
    X509* leaf = SSL_CTX_get0_certificate(ctx);
    if (!leaf || X509_check_private_key(leaf, key.get()) != 1) {
        ERR_clear_error();
        *error = QStringLiteral("the TLS key in %1 does not belong to the certificate in %2")
                     .arg(keyPath, certificateFile);
        return false;
    }
    if (SSL_CTX_use_PrivateKey(ctx, key.get()) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
        *error =
            QStringLiteral("cannot use the TLS key in %1: %2").arg(keyPath, LastOpenSslError());
        return false;
    }
    ERR_clear_error();
    out = std::move(made);
    return true;
}

} // namespace kelvra
