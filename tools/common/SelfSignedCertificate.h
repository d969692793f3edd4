#pragma once
// A throwaway self-signed certificate and its key, made at run time (tests,
// benchmarks) and written as PEM files: no key is ever shipped or committed.
#include <QFile>
#include <QString>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace kelvra {

struct TCertificateFiles {
    QString CertificatePath;
    QString KeyPath;
};

// An EC P-256 key and a certificate for commonName, valid for a day, as
// <folder>/<name>.crt and <folder>/<name>.key. False when OpenSSL refuses.
inline bool MakeSelfSignedCertificate(const QString& folder, const QString& name,
                                      const QString& commonName, TCertificateFiles& out) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    bool ok = key && cert;
    if (ok) {
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -60);
        X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
        X509_set_pubkey(cert, key);
        X509_NAME* subject = X509_get_subject_name(cert);
        const QByteArray cn = commonName.toUtf8();
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(cn.constData()), -1, -1,
                                   0);
        X509_set_issuer_name(cert, subject);
        ok = X509_sign(cert, key, EVP_sha256()) > 0;
    }
    out.CertificatePath = folder + QLatin1Char('/') + name + QStringLiteral(".crt");
    out.KeyPath = folder + QLatin1Char('/') + name + QStringLiteral(".key");
    if (ok) {
        BIO* c = BIO_new_file(QFile::encodeName(out.CertificatePath).constData(), "w");
        BIO* k = BIO_new_file(QFile::encodeName(out.KeyPath).constData(), "w");
        ok = c && k && PEM_write_bio_X509(c, cert) == 1 &&
             PEM_write_bio_PrivateKey(k, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
        BIO_free(c);
        BIO_free(k);
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    return ok;
}

} // namespace kelvra
