#pragma once
// The server's TLS settings in one OpenSSL context: the certificate chain and
// key read from files, TLS 1.2 and 1.3 only. Connections take a reference of
// their own, so a context replaced by a reload lives on in them.
#include <QString>

typedef struct ssl_ctx_st SSL_CTX;

namespace kelvra {

class TTlsContext {
public:
    TTlsContext() = default;
    ~TTlsContext();
    TTlsContext(TTlsContext&& other) noexcept : Ctx(other.Ctx) { other.Ctx = nullptr; }
    TTlsContext& operator=(TTlsContext&& other) noexcept;
    TTlsContext(const TTlsContext&) = delete;
    TTlsContext& operator=(const TTlsContext&) = delete;

    // Reads the PEM certificate chain and the PEM key (a key file left empty
    // means the key is in the certificate file) and checks that they belong
    // together. False with a sentence for the operator in error.
    static bool Load(const QString& certificateFile, const QString& keyFile, TTlsContext& out,
                     QString* error);

    SSL_CTX* Get() const { return Ctx; }
    bool IsValid() const { return Ctx != nullptr; }

    // The first line of OpenSSL's error queue, which is then cleared.
    static QString LastOpenSslError();

private:
    SSL_CTX* Ctx = nullptr;
};

} // namespace kelvra
