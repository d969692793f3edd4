#include "WebTls.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

namespace kelvra {

namespace {

int NoPassphrase(char*, int, int, void*) {
    return 0;
}

struct TBioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct TKeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

// The key as Qt takes it. OpenSSL finds it in any PEM file (beside the
// certificate too) and writes it out again as PKCS#8, which Qt reads for the
// usual algorithms; any other goes over as OpenSSL's own handle.
QSslKey ReadKey(const QByteArray& pem) {
    std::unique_ptr<BIO, TBioFree> in(
        BIO_new_mem_buf(pem.constData(), static_cast<int>(pem.size())));
    if (!in)
        return {};
    std::unique_ptr<EVP_PKEY, TKeyFree> key(
        PEM_read_bio_PrivateKey(in.get(), nullptr, NoPassphrase, nullptr));
    if (!key)
        return {};
    QSsl::KeyAlgorithm algorithm;
    switch (EVP_PKEY_get_base_id(key.get())) {
    case EVP_PKEY_RSA:
        algorithm = QSsl::Rsa;
        break;
    case EVP_PKEY_EC:
        algorithm = QSsl::Ec;
        break;
    case EVP_PKEY_DSA:
        algorithm = QSsl::Dsa;
        break;
    default:
        return QSslKey(static_cast<Qt::HANDLE>(key.release()), QSsl::PrivateKey);
    }
    std::unique_ptr<BIO, TBioFree> out(BIO_new(BIO_s_mem()));
    if (!out ||
        PEM_write_bio_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return {};
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    return QSslKey(QByteArray(data, static_cast<qsizetype>(size)), algorithm);
}

bool ReadFile(const QString& path, QByteArray& bytes, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    bytes = file.readAll();
    return true;
}

} // namespace

bool LoadWebTls(const QString& certificateFile, const QString& keyFile, QSslConfiguration& out,
                QString* error) {
    QString ignored;
    if (!error)
        error = &ignored;
    if (!QSslSocket::supportsSsl()) {
        *error = QStringLiteral("Qt has no TLS backend here (%1)")
                     .arg(QSslSocket::activeBackend().isEmpty() ? QStringLiteral("none")
                                                                : QSslSocket::activeBackend());
        return false;
    }
    QByteArray certBytes, keyBytes;
    const QString keyPath = keyFile.isEmpty() ? certificateFile : keyFile;
    if (!ReadFile(certificateFile, certBytes, error) || !ReadFile(keyPath, keyBytes, error))
        return false;
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certBytes, QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull()) {
        *error = QStringLiteral("no usable certificate in PEM form in %1").arg(certificateFile);
        return false;
    }
    const QSslKey key = ReadKey(keyBytes);
    if (key.isNull()) {
        *error = QStringLiteral("no usable private key in PEM form in %1").arg(keyPath);
        return false;
    }
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificateChain(chain);
    config.setPrivateKey(key);
    config.setProtocol(QSsl::TlsV1_2OrLater);
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    // A browser that offers HTTP/2 learns that this port speaks HTTP/1.1 only.
    config.setAllowedNextProtocols({QByteArrayLiteral("http/1.1")});
    out = config;
    return true;
}

} // namespace kelvra
