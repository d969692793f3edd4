#pragma once
// How a link's bytes cross the wire. The connection manager sees only the
// protocol's byte stream; plain TCP, TLS and WebSocket framing are front ends
// behind this one seam, chosen per listener when a connection is accepted.
#include <QString>
#include <QtGlobal>
#include <functional>
#include <memory>
#include <sys/uio.h>

namespace kelvra {

enum class TIoStatus {
    Ok,         // Bytes moved (Read: 0 never means closed)
    WouldBlock, // nothing now: wait for the descriptor (see WantsWrite)
    Closed,     // the peer ended the stream in order
    Failed,     // the stream is unusable: drop the link
};

struct TIoResult {
    TIoStatus Status = TIoStatus::Ok;
    qsizetype Bytes = 0;
    static TIoResult Moved(qsizetype n) { return {TIoStatus::Ok, n}; }
    static TIoResult Blocked() { return {TIoStatus::WouldBlock, 0}; }
    static TIoResult Ended() { return {TIoStatus::Closed, 0}; }
    static TIoResult Broken() { return {TIoStatus::Failed, 0}; }
};

class ILinkIo {
public:
    virtual ~ILinkIo() = default;

    // The descriptor whose readiness drives this link.
    virtual int Fd() const = 0;
    // Up to size protocol bytes into buffer.
    virtual TIoResult Read(char* buffer, qsizetype size) = 0;
    // Protocol bytes from a gather list, in order; Bytes says how many were
    // taken (the rest is offered again later). A front end that frames or
    // encrypts takes the whole list as one unit of work where it can. With
    // count 0 it only pushes out what it holds of its own (called when the
    // descriptor turned writable while WantsWrite said so).
    virtual TIoResult Write(const iovec* parts, int count) = 0;
    // The front end needs the descriptor writable to make progress of its own
    // (a handshake, its own buffered output), even with no protocol output.
    virtual bool WantsWrite() const { return false; }
    // The front end holds input already taken from the socket (decrypted,
    // unframed): read again without waiting for the descriptor.
    virtual bool HasPendingInput() const { return false; }
    // Still setting up (a handshake): protocol bytes cannot flow yet. The
    // record age limit applies to a link that stays here.
    virtual bool Handshaking() const { return false; }
    // Last words at an orderly close (a TLS close_notify); never blocks.
    virtual void Shutdown() {}
    // Write is nothing but a non-blocking sendmsg on Fd(): the send engine
    // may batch this link's writes with others'.
    virtual bool WritesDirectly() const { return false; }
    // Shown to the operator: "tcp", "tls", "ws", "wss".
    virtual QString Kind() const = 0;
    bool Encrypted() const {
        return Kind() == QLatin1String("tls") || Kind() == QLatin1String("wss");
    }
};

// Makes the front end for a freshly accepted descriptor (which it then owns);
// nullptr refuses the connection.
using TLinkIoFactory = std::function<std::unique_ptr<ILinkIo>(int fd)>;

// Plain TCP: recv and sendmsg on the descriptor.
class TPlainIo final : public ILinkIo {
public:
    explicit TPlainIo(int fd) : Descriptor(fd) {}
    ~TPlainIo() override;
    int Fd() const override { return Descriptor; }
    TIoResult Read(char* buffer, qsizetype size) override;
    TIoResult Write(const iovec* parts, int count) override;
    bool WritesDirectly() const override { return true; }
    QString Kind() const override { return QStringLiteral("tcp"); }

private:
    int Descriptor;
};

} // namespace kelvra
