#include "SendEngine.h"

#include <cerrno>
#include <cstring>
#include <liburing.h>
#include <sys/socket.h>

namespace kelvra {

TSendPath ParseSendPath(const QString& text, bool* ok) {
    const QString t = text.trimmed().toLower();
    if (ok)
        *ok = true;
    if (t == QLatin1String("uring"))
        return TSendPath::Uring;
    if (t == QLatin1String("plain"))
        return TSendPath::Plain;
    if (ok)
        *ok = t.isEmpty() || t == QLatin1String("auto");
    return TSendPath::Auto;
}

QString SendPathName(TSendPath path) {
    switch (path) {
    case TSendPath::Uring:
        return QStringLiteral("uring");
    case TSendPath::Plain:
        return QStringLiteral("plain");
    case TSendPath::Auto:
        break;
    }
    return QStringLiteral("auto");
}

TSendEngine::TSendEngine()
    : Parts(static_cast<size_t>(kBatch) * kParts), Entries(static_cast<size_t>(kBatch)) {}

void TSendEngine::Add(int fd, int count, uint64_t tag) {
    Entries[static_cast<size_t>(Count)] = {fd, count, tag, TIoResult::Blocked()};
    ++Count;
}

void TSendEngine::Submit(const std::function<void(uint64_t, TIoResult)>& done) {
    if (Count == 0)
        return;
    Run();
    const int n = Count;
    Count = 0; // done may start the next batch
    for (int i = 0; i < n; ++i)
        done(Entries[static_cast<size_t>(i)].Tag, Entries[static_cast<size_t>(i)].Result);
}

TIoResult TSendEngine::SendNow(int fd, const iovec* parts, int count) {
    msghdr msg{};
    msg.msg_iov = const_cast<iovec*>(parts);
    msg.msg_iovlen = static_cast<size_t>(count);
    for (;;) {
        const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0)
            return TIoResult::Moved(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return TIoResult::Blocked();
        return TIoResult::Broken();
    }
}

namespace {

class TPlainEngine final : public TSendEngine {
public:
    TSendPath Path() const override { return TSendPath::Plain; }

private:
    void Run() override {
        for (int i = 0; i < Count; ++i) {
            TEntry& e = Entries[static_cast<size_t>(i)];
            e.Result = SendNow(e.Fd, PartsOf(i), e.Count);
            ++SendCalls;
        }
    }
};

class TRingEngine final : public TSendEngine {
public:
    ~TRingEngine() override {
        if (Ready)
            io_uring_queue_exit(&Ring);
    }
    // 0 or the negative errno of a ring the kernel refused.
    int Init() {
        const int r = io_uring_queue_init(kBatch, &Ring, 0);
        if (r < 0)
            return r;
        Ready = true;
        io_uring_probe* probe = io_uring_get_probe_ring(&Ring);
        const bool sendmsg = probe && io_uring_opcode_supported(probe, IORING_OP_SENDMSG);
        if (probe)
            io_uring_free_probe(probe);
        Messages.resize(static_cast<size_t>(kBatch));
        return sendmsg ? 0 : -EOPNOTSUPP;
    }
    TSendPath Path() const override { return Ready ? TSendPath::Uring : TSendPath::Plain; }

private:
    void Run() override {
        if (!Ready) {
            RunPlain(0);
            return;
        }
        for (int i = 0; i < Count; ++i) {
            TEntry& e = Entries[static_cast<size_t>(i)];
            msghdr& m = Messages[static_cast<size_t>(i)];
            m = msghdr{};
            m.msg_iov = const_cast<iovec*>(PartsOf(i));
            m.msg_iovlen = static_cast<size_t>(e.Count);
            // Until its completion says otherwise: a send whose outcome is
            // never learnt ends its link rather than risk sending twice.
            e.Result = TIoResult::Broken();
            io_uring_sqe* sqe = io_uring_get_sqe(&Ring);
            // MSG_DONTWAIT: a full socket completes at once with EAGAIN
            // instead of waiting inside the ring; the write notifier waits.
            io_uring_prep_sendmsg(sqe, e.Fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
            io_uring_sqe_set_data64(sqe, static_cast<uint64_t>(i));
        }
        int submitted = 0;
        for (int tries = 0; submitted < Count && tries < 8; ++tries) {
            const int r = io_uring_submit(&Ring);
            if (r > 0)
                submitted += r;
            else if (r < 0 && r != -EINTR && r != -EAGAIN && r != -EBUSY)
                break;
        }
        ++SendCalls;
        bool lost = false;
        for (int done = 0; done < submitted;) {
            io_uring_cqe* cqe = nullptr;
            const int r = io_uring_wait_cqe(&Ring, &cqe);
            if (r == -EINTR)
                continue;
            if (r < 0) {
                lost = true;
                break;
            }
            const auto i = static_cast<size_t>(io_uring_cqe_get_data64(cqe));
            const int res = cqe->res;
            io_uring_cqe_seen(&Ring, cqe);
            ++done;
            if (i >= Entries.size())
                continue;
            Entries[i].Result = res >= 0                          ? TIoResult::Moved(res)
                                : res == -EAGAIN || res == -EINTR ? TIoResult::Blocked()
                                                                  : TIoResult::Broken();
        }
        if (submitted < Count || lost) {
            // The kernel stopped taking submissions or answering them: drop
            // the ring (its untaken entries with it) and send the rest
            // directly from now on.
            io_uring_queue_exit(&Ring);
            Ready = false;
            RunPlain(submitted);
        }
    }
    void RunPlain(int from) {
        for (int i = from; i < Count; ++i) {
            TEntry& e = Entries[static_cast<size_t>(i)];
            e.Result = SendNow(e.Fd, PartsOf(i), e.Count);
            ++SendCalls;
        }
    }

    io_uring Ring{};
    bool Ready = false;
    std::vector<msghdr> Messages;
};

} // namespace

std::unique_ptr<TSendEngine> TSendEngine::Make(TSendPath path, QString* why) {
    if (path != TSendPath::Plain) {
        auto ring = std::make_unique<TRingEngine>();
        const int r = ring->Init();
        if (r == 0)
            return ring;
        if (why)
            *why = QStringLiteral("io_uring is not available (%1); sends go one per link")
                       .arg(QString::fromLocal8Bit(std::strerror(-r)));
    }
    return std::make_unique<TPlainEngine>();
}

} // namespace kelvra
