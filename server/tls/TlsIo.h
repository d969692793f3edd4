#pragma once
// TLS on an accepted descriptor: OpenSSL driven non-blockingly from the event
// loop, server side. The connection manager sees the protocol's plain byte
// stream; the handshake, the records and the close_notify stay in here.
#include "LinkIo.h"

#include <memory>

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
    // The whole list goes into one write of TLS records (several records only
    // past 16 KiB): one encryption per flush, not per protocol record. What the
    // socket cannot take yet is held here and counts as taken.
    TIoResult Write(const iovec* parts, int count) override;
    bool WantsWrite() const override { return ProgressWantsWrite || HeldSize > 0; }
    bool HasPendingInput() const override { return InputLeft; }
    bool Handshaking() const override { return !Established; }
    void Shutdown() override;
    QString Kind() const override { return QStringLiteral("tls"); }

    // Bytes taken by Write that wait for the socket.
    qsizetype Held() const { return HeldSize - HeldAt; }
    // The most one Write takes: it bounds what is held beyond the manager's queue.
    static constexpr qsizetype kMaxWrite = 256 * 1024;

private:
    // Drives the handshake (or a message OpenSSL must send on its own); Ok
    // once nothing of that kind is left.
    TIoResult Progress();
    TIoResult FlushHeld();
    // Turns a failed call's code into a status; wantsWrite tells whether
    // OpenSSL waits for the descriptor to become writable.
    TIoStatus Classify(int ret, bool* wantsWrite = nullptr);
    void Hold(const char* data, qsizetype size);

    int Descriptor;
    SSL* Ssl = nullptr;
    bool Established = false;
    // The handshake, or a message OpenSSL sends on its own, waits for the
    // descriptor to become writable.
    bool ProgressWantsWrite = false;
    bool InputLeft = false;
    bool ShutdownSent = false;
    std::unique_ptr<char[]> HeldData;
    qsizetype HeldSize = 0;
    qsizetype HeldAt = 0;
};

} // namespace kelvra
