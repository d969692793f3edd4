#pragma once
// TLS on an accepted descriptor: OpenSSL driven non-blockingly from the event
// loop, server side. The connection manager sees the protocol's plain byte
// stream; the handshake, the records and the close_notify stay in here.
//
// OpenSSL reads from the descriptor itself but writes its records into one
// buffer shared by every connection, which goes out with one send per call:
// a flush of many records costs one system call, and what the socket cannot
// take is held here as ciphertext, so OpenSSL never has to retry a write.
#include "LinkIo.h"

#include <vector>

typedef struct bio_st BIO;
typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace kelvra {

class TTlsIo final : public ILinkIo {
public:
    // Takes the descriptor (closed with this object) and a reference of its
    // own to the context. Valid() is false when OpenSSL cannot make the session.
    TTlsIo(int fd, SSL_CTX* context);
    ~TTlsIo() override;
    TTlsIo(const TTlsIo&) = delete;
    TTlsIo& operator=(const TTlsIo&) = delete;

    bool Valid() const { return Ssl != nullptr; }

    int Fd() const override { return Descriptor; }
    TIoResult Read(char* buffer, qsizetype size) override;
    // The whole list is encrypted in one go (one TLS record per 16 KiB) and
    // sent with one call: one encryption per flush, not per protocol record.
    // What the socket cannot take yet is held here and counts as taken; no
    // more is taken until it is out.
    TIoResult Write(const iovec* parts, int count) override;
    bool WantsWrite() const override { return !HeldBytes.empty(); }
    bool HasPendingInput() const override { return InputLeft; }
    bool Handshaking() const override { return !Established; }
    void Shutdown() override;
    QString Kind() const override { return QStringLiteral("tls"); }

    // Encrypted bytes that wait for the socket.
    qsizetype Held() const { return static_cast<qsizetype>(HeldBytes.size()) - HeldAt; }
    // The most one Write takes: it bounds what is held beyond the manager's queue.
    static constexpr qsizetype kMaxWrite = 256 * 1024;

    // OpenSSL's reads from the descriptor, and what it asks about them.
    static int BioRead(BIO* bio, char* data, int size);
    static long BioCtrl(BIO* bio, int cmd, long num, void* ptr);

private:
    // Drives the handshake; Ok once it is done.
    TIoResult Progress();
    // Sends what OpenSSL produced during the last call, behind anything held.
    bool SendOutput();
    bool SendHeld();
    TIoStatus Classify(int ret);

    int Descriptor;
    SSL* Ssl = nullptr;
    bool Established = false;
    bool InputLeft = false;
    bool ShutdownSent = false;
    bool PeerClosed = false; // a receive saw the end of the stream
    std::vector<char> HeldBytes;
    qsizetype HeldAt = 0;
};

} // namespace kelvra
