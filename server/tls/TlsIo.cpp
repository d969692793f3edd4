#include "TlsIo.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvra {

namespace {

// SSL_get_error reads the thread's error queue: whatever another caller left
// there would turn a plain "would block" into a failure.
void ClearStaleErrors() {
    if (ERR_peek_error() != 0)
        ERR_clear_error();
}

// Records OpenSSL wrote during one call, for every connection of the thread:
// each call's output is sent or held before the next call begins.
std::vector<char>& Staging() {
    static thread_local std::vector<char> bytes;
    return bytes;
}

int LinkBioWrite(BIO*, const char* data, int size) {
    std::vector<char>& out = Staging();
    out.insert(out.end(), data, data + size);
    return size;
}

int LinkBioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

const BIO_METHOD* LinkBioMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kelvra link");
        BIO_meth_set_write(m, LinkBioWrite);
        BIO_meth_set_read(m, TTlsIo::BioRead);
        BIO_meth_set_ctrl(m, TTlsIo::BioCtrl);
        BIO_meth_set_create(m, LinkBioCreate);
        return m;
    }();
    return method;
}

// Sends from the front of bytes; false when the peer is gone.
bool SendSome(int fd, const char* bytes, qsizetype size, qsizetype& sent) {
    sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(fd, bytes + sent, static_cast<size_t>(size - sent), MSG_NOSIGNAL);
        if (n >= 0) {
            sent += n;
            continue;
        }
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    return true;
}

} // namespace

int TTlsIo::BioRead(BIO* bio, char* data, int size) {
    TTlsIo* io = static_cast<TTlsIo*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t n = ::recv(io->Descriptor, data, static_cast<size_t>(size), 0);
        if (n == 0)
            io->PeerClosed = true;
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            BIO_set_retry_read(bio);
        return -1;
    }
}

long TTlsIo::BioCtrl(BIO* bio, int cmd, long, void*) {
    // The end of the stream as the peer left it, so that a close without
    // close_notify counts as an ordinary close.
    if (cmd == BIO_CTRL_EOF)
        return static_cast<TTlsIo*>(BIO_get_data(bio))->PeerClosed ? 1 : 0;
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

TTlsIo::TTlsIo(int fd, SSL_CTX* context) : Descriptor(fd) {
    ClearStaleErrors();
    Ssl = context ? SSL_new(context) : nullptr;
    BIO* bio = Ssl ? BIO_new(LinkBioMethod()) : nullptr;
    if (!bio) {
        SSL_free(Ssl);
        Ssl = nullptr;
    } else {
        BIO_set_data(bio, this);
        SSL_set_bio(Ssl, bio, bio);
        SSL_set_accept_state(Ssl);
    }
    ERR_clear_error();
}

TTlsIo::~TTlsIo() {
    SSL_free(Ssl);
    if (Descriptor >= 0)
        ::close(Descriptor);
}

TIoStatus TTlsIo::Classify(int ret) {
    switch (SSL_get_error(Ssl, ret)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        return TIoStatus::WouldBlock;
    case SSL_ERROR_ZERO_RETURN:
        return TIoStatus::Closed;
    default:
        // A peer that went away in the middle (a port probe) just closed.
        if (PeerClosed) {
            ERR_clear_error();
            return TIoStatus::Closed;
        }
        // Not TLS (plain speech on this port), a broken record, a reset.
        ERR_clear_error();
        return TIoStatus::Failed;
    }
}

bool TTlsIo::SendHeld() {
    qsizetype sent = 0;
    const bool alive = SendSome(Descriptor, HeldBytes.data() + HeldAt, Held(), sent);
    HeldAt += sent;
    if (HeldAt == static_cast<qsizetype>(HeldBytes.size())) {
        std::vector<char>().swap(HeldBytes); // nothing kept while idle
        HeldAt = 0;
    }
    return alive;
}

bool TTlsIo::SendOutput() {
    std::vector<char>& out = Staging();
    if (out.empty())
        return true;
    bool alive = true;
    if (HeldBytes.empty()) {
        qsizetype sent = 0;
        alive = SendSome(Descriptor, out.data(), static_cast<qsizetype>(out.size()), sent);
        if (alive && sent < static_cast<qsizetype>(out.size()))
            HeldBytes.assign(out.begin() + sent, out.end());
    } else {
        HeldBytes.insert(HeldBytes.end(), out.begin(), out.end());
        alive = SendHeld();
    }
    out.clear();
    return alive;
}

TIoResult TTlsIo::Progress() {
    if (!Ssl)
        return TIoResult::Broken();
    const int ret = SSL_do_handshake(Ssl);
    // The server's flight, or the alert that tells the peer why it failed.
    const bool alive = SendOutput();
    if (ret == 1 && alive) {
        // Finished outside a read, the handshake may have taken the peer's
        // first records in with it: a read must follow without waiting.
        InputLeft = true;
        Established = true;
        return TIoResult::Moved(0);
    }
    return {alive ? Classify(ret) : TIoStatus::Failed, 0};
}

TIoResult TTlsIo::Read(char* buffer, qsizetype size) {
    ClearStaleErrors();
    if (!Established) {
        const TIoResult step = Progress();
        InputLeft = false;
        if (step.Status != TIoStatus::Ok)
            return step;
    }
    InputLeft = false;
    // Every record already received, without another receive that would
    // only say "nothing more".
    qsizetype got = 0;
    TIoStatus status = TIoStatus::Ok;
    do {
        size_t n = 0;
        const int ret = SSL_read_ex(Ssl, buffer + got, static_cast<size_t>(size - got), &n);
        if (ret != 1) {
            status = Classify(ret);
            break;
        }
        got += static_cast<qsizetype>(n);
    } while (got < size && SSL_has_pending(Ssl));
    // A read may make OpenSSL answer (a key update, an alert).
    if (!SendOutput() && got == 0)
        return TIoResult::Broken();
    if (status != TIoStatus::Ok)
        // What came first is handed over; the end or the failure shows again
        // at the next call.
        return got > 0 ? TIoResult::Moved(got) : TIoResult{status, 0};
    InputLeft = got == size && SSL_has_pending(Ssl);
    return TIoResult::Moved(got);
}

TIoResult TTlsIo::Write(const iovec* parts, int count) {
    ClearStaleErrors();
    if (!HeldBytes.empty()) {
        if (!SendHeld())
            return TIoResult::Broken();
        if (!HeldBytes.empty())
            return TIoResult::Blocked();
    }
    if (!Established) {
        const TIoResult step = Progress();
        if (step.Status != TIoStatus::Ok)
            return {step.Status == TIoStatus::WouldBlock ? TIoStatus::WouldBlock
                                                         : TIoStatus::Failed,
                    0};
    }
    qsizetype take = 0;
    for (int i = 0; i < count && take < kMaxWrite; ++i)
        take += std::min<qsizetype>(static_cast<qsizetype>(parts[i].iov_len), kMaxWrite - take);
    if (take == 0)
        return TIoResult::Moved(0);

    // One buffer for one SSL_write: a single part is used where it lies,
    // several are gathered into a buffer shared by every connection.
    const char* data = static_cast<const char*>(parts[0].iov_base);
    if (static_cast<qsizetype>(parts[0].iov_len) < take) {
        static thread_local std::vector<char> gather;
        if (gather.size() < static_cast<size_t>(take))
            gather.resize(static_cast<size_t>(take));
        qsizetype at = 0;
        for (int i = 0; at < take; ++i) {
            const qsizetype n =
                std::min<qsizetype>(static_cast<qsizetype>(parts[i].iov_len), take - at);
            std::memcpy(gather.data() + at, parts[i].iov_base, static_cast<size_t>(n));
            at += n;
        }
        data = gather.data();
    }
    // The records go to the shared buffer, which never refuses: the write is
    // done in one call, and never has to be offered again.
    size_t written = 0;
    const int ret = SSL_write_ex(Ssl, data, static_cast<size_t>(take), &written);
    const bool alive = SendOutput();
    if (ret != 1 || !alive) {
        ERR_clear_error();
        return TIoResult::Broken();
    }
    return TIoResult::Moved(take);
}

void TTlsIo::Shutdown() {
    if (!Ssl || !Established || ShutdownSent)
        return;
    ShutdownSent = true;
    ClearStaleErrors();
    // The alert goes behind everything held, or not at all.
    if (!HeldBytes.empty())
        SendHeld();
    if (HeldBytes.empty()) {
        SSL_shutdown(Ssl);
        SendOutput();
    }
    ERR_clear_error();
}

} // namespace kelvra
