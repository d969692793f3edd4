#include "TlsIo.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace kelvra {

namespace {

// SSL_get_error reads the thread's error queue: whatever another caller left
// there would turn a plain "would block" into a failure.
void ClearStaleErrors() {
    if (ERR_peek_error() != 0)
        ERR_clear_error();
}

} // namespace

TTlsIo::TTlsIo(int fd, SSL_CTX* context) : Descriptor(fd) {
    ClearStaleErrors();
    Ssl = context ? SSL_new(context) : nullptr;
    if (Ssl && SSL_set_fd(Ssl, fd) != 1) {
        SSL_free(Ssl);
        Ssl = nullptr;
    }
    if (Ssl)
        SSL_set_accept_state(Ssl);
    ERR_clear_error();
}

TTlsIo::~TTlsIo() {
    SSL_free(Ssl);
    if (Descriptor >= 0)
        ::close(Descriptor);
}

TIoStatus TTlsIo::Classify(int ret, bool* wantsWrite) {
    const int error = SSL_get_error(Ssl, ret);
    if (wantsWrite)
        *wantsWrite = error == SSL_ERROR_WANT_WRITE;
    switch (error) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        return TIoStatus::WouldBlock;
    case SSL_ERROR_ZERO_RETURN:
        return TIoStatus::Closed;
    default:
        // Not TLS (plain speech on this port), a broken record, a reset.
        ERR_clear_error();
        return TIoStatus::Failed;
    }
}

TIoResult TTlsIo::Progress() {
    if (!Ssl)
        return TIoResult::Broken();
    const int ret = SSL_do_handshake(Ssl);
    if (ret == 1) {
        // Finished outside a read (the descriptor turned writable), the
        // handshake may have taken the peer's first records in with it: a
        // read must follow without waiting for the descriptor.
        if (!Established)
            InputLeft = true;
        Established = true;
        ProgressWantsWrite = false;
        return TIoResult::Moved(0);
    }
    const TIoStatus status = Classify(ret, &ProgressWantsWrite);
    return {status == TIoStatus::Closed ? TIoStatus::Failed : status, 0};
}

TIoResult TTlsIo::Read(char* buffer, qsizetype size) {
    ClearStaleErrors();
    InputLeft = false;
    if (!Established || ProgressWantsWrite) {
        const TIoResult step = Progress();
        InputLeft = false;
        if (step.Status != TIoStatus::Ok)
            return step;
    }
    if (HeldSize > 0 && FlushHeld().Status == TIoStatus::Failed)
        return TIoResult::Broken();
    // Every record already received, without another receive that would
    // only say "nothing more".
    qsizetype got = 0;
    do {
        size_t n = 0;
        const int ret = SSL_read_ex(Ssl, buffer + got, static_cast<size_t>(size - got), &n);
        if (ret != 1) {
            const TIoStatus status = Classify(ret, &ProgressWantsWrite);
            // What came first is handed over; the end or the failure shows
            // again at the next call.
            return got > 0 ? TIoResult::Moved(got) : TIoResult{status, 0};
        }
        got += static_cast<qsizetype>(n);
    } while (got < size && SSL_has_pending(Ssl));
    InputLeft = got == size && SSL_has_pending(Ssl);
    return TIoResult::Moved(got);
}

TIoResult TTlsIo::Write(const iovec* parts, int count) {
    ClearStaleErrors();
    if (!Established || ProgressWantsWrite) {
        const TIoResult step = Progress();
        if (step.Status != TIoStatus::Ok)
            return {step.Status == TIoStatus::WouldBlock ? TIoStatus::WouldBlock
                                                         : TIoStatus::Failed,
                    0};
    }
    if (HeldSize > 0) {
        const TIoResult flushed = FlushHeld();
        if (flushed.Status != TIoStatus::Ok)
            return flushed;
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
    qsizetype done = 0;
    while (done < take) {
        size_t n = 0;
        const int ret = SSL_write_ex(Ssl, data + done, static_cast<size_t>(take - done), &n);
        if (ret == 1) {
            done += static_cast<qsizetype>(n);
            continue;
        }
        if (Classify(ret) != TIoStatus::WouldBlock)
            return done > 0 ? TIoResult::Moved(done) : TIoResult::Broken();
        // OpenSSL has begun a record from these bytes: the retry must offer
        // the same bytes again, so they stay here until the socket takes them.
        Hold(data + done, take - done);
        break;
    }
    return TIoResult::Moved(take);
}

void TTlsIo::Hold(const char* data, qsizetype size) {
    HeldData.reset(new char[static_cast<size_t>(size)]);
    std::memcpy(HeldData.get(), data, static_cast<size_t>(size));
    HeldSize = size;
    HeldAt = 0;
}

TIoResult TTlsIo::FlushHeld() {
    while (HeldAt < HeldSize) {
        size_t n = 0;
        const int ret =
            SSL_write_ex(Ssl, HeldData.get() + HeldAt, static_cast<size_t>(HeldSize - HeldAt), &n);
        if (ret != 1)
            return Classify(ret) == TIoStatus::WouldBlock ? TIoResult::Blocked()
                                                          : TIoResult::Broken();
        HeldAt += static_cast<qsizetype>(n);
    }
    HeldData.reset();
    HeldSize = HeldAt = 0;
    return TIoResult::Moved(0);
}

void TTlsIo::Shutdown() {
    if (!Ssl || !Established || ShutdownSent)
        return;
    ShutdownSent = true;
    ClearStaleErrors();
    // Output still held goes first where the socket takes it; the alert
    // waits behind it otherwise and is then simply not sent.
    if (HeldSize == 0 || FlushHeld().Status == TIoStatus::Ok)
        SSL_shutdown(Ssl);
    ERR_clear_error();
}

} // namespace kelvra
