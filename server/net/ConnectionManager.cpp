#include "ConnectionManager.h"

#include "SocketErrors.h"
#include "TextUtil.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QSocketNotifier>
#include <QTimer>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvra {

namespace {

// One read per connection and pass of the event loop, and at most so many of
// its records handled in that pass: a busy client gets its turn like everyone
// else, and the others wait for one short turn of it at most. What a read
// brings beyond that is handled in the following passes.
constexpr qsizetype kReadChunk = 64 * 1024;
constexpr size_t kRecordsPerPass = 64;
constexpr int kAcceptPerEvent = 128;
// After this many bytes of output buffers were freed, the heap is handed back
// to the system once things calm down: bursts (a login announcing thousands of
// users) would otherwise leave the freed memory resident between the
// long-lived records that were allocated meanwhile.
constexpr qsizetype kTrimAfterReleased = 8 * 1024 * 1024;
// ... once no buffer has been freed for this long, so a busy server is not
// slowed down by it.
constexpr int kTrimQuietMs = 100;

int64_t MonotonicUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Often enough that a connection goes within an eighth of the limit after it.
int AgeCheckIntervalMs(int limitSeconds) {
    return std::clamp(limitSeconds * 1000 / 8, 50, 1000);
}

} // namespace

// A connection's unsent output: a plain growable byte buffer, appended with
// one memcpy per record and consumed from the front as the socket takes it.
class TOutBuffer {
public:
    TOutBuffer() = default;
    TOutBuffer(const TOutBuffer&) = delete;
    TOutBuffer& operator=(const TOutBuffer&) = delete;
    ~TOutBuffer() { std::free(Data); }

    qsizetype Pending() const { return Size - Offset; }
    const char* Front() const { return Data + Offset; }
    qsizetype Capacity() const { return Cap; }
    void Consume(qsizetype n) { Offset += n; }
    bool Append(const char* bytes, qsizetype n) {
        if (Size + n > Cap) {
            if (Offset > 0 && Pending() + n <= Cap) {
                std::memmove(Data, Data + Offset, static_cast<size_t>(Pending()));
            } else {
                qsizetype cap = Cap < 256 ? 256 : Cap;
                while (cap < Pending() + n)
                    cap *= 2;
                char* grown = static_cast<char*>(std::malloc(static_cast<size_t>(cap)));
                if (!grown)
                    return false;
                if (Data)
                    std::memcpy(grown, Data + Offset, static_cast<size_t>(Pending()));
                std::free(Data);
                Data = grown;
                Cap = cap;
            }
            Size = Pending();
            Offset = 0;
        }
        std::memcpy(Data + Size, bytes, static_cast<size_t>(n));
        Size += n;
        return true;
    }
    // Gives the memory back: an idle connection holds nothing for past bursts.
    void Release() {
        std::free(Data);
        Data = nullptr;
        Size = Offset = Cap = 0;
    }

private:
    char* Data = nullptr;
    qsizetype Size = 0;
    qsizetype Offset = 0;
    qsizetype Cap = 0;
};

struct TConnectionManager::TLink {
    int Fd = -1;
    std::unique_ptr<QSocketNotifier> Read;
    std::unique_ptr<QSocketNotifier> Write;
    TStreamDecoder Decoder;
    TOutBuffer Out;
    bool Dirty = false;
    bool Overflowed = false;
    bool Broken = false;       // a send failed: output is discarded from now on
    bool Reading = true;       // records are read and dispatched
    bool Dispatching = false;  // its records are being handled now
    bool ReadDeferred = false; // a read event came meanwhile (see OnReadReady)
    uint64_t Serial = 0;       // tells this link from a later one on the same descriptor
    // Incomplete input: what of it is counted in the total, where the link
    // sits in the list the age check walks, and when its record began.
    qsizetype Accounted = 0;
    int PendingSlot = -1;
    uint32_t PendingSince = 0;
    qsizetype LastReadBytes = 0;
    uint32_t LastReadAt = 0;
    bool Backlog = false;            // records of a read wait for the next pass
    bool ContinuationQueued = false; // ... and that pass is asked for
    // Read rate: a token bucket of bytes, one second's worth deep.
    bool Throttled = false;
    int64_t Tokens = 0;
    int64_t TokensAt = 0; // us
    int64_t WakeAt = 0;   // us

    qsizetype Queued() const { return Out.Pending(); }
};

TConnectionManager::TLink* TConnectionManager::TLinkTable::Find(int fd) const {
    return fd >= 0 && static_cast<size_t>(fd) < Slots.size() ? Slots[static_cast<size_t>(fd)].get()
                                                             : nullptr;
}

void TConnectionManager::TLinkTable::Insert(int fd, std::unique_ptr<TLink> link) {
    if (static_cast<size_t>(fd) >= Slots.size())
        Slots.resize(static_cast<size_t>(fd) + 1);
    if (!Slots[static_cast<size_t>(fd)])
        ++Live;
    Slots[static_cast<size_t>(fd)] = std::move(link);
}

std::unique_ptr<TConnectionManager::TLink> TConnectionManager::TLinkTable::Take(int fd) {
    if (!Find(fd))
        return nullptr;
    --Live;
    return std::move(Slots[static_cast<size_t>(fd)]);
}

void TConnectionManager::TLinkTable::Clear() {
    Slots.clear();
    Live = 0;
}

TConnectionManager::TConnectionManager(ITrafficLog& log, QObject* parent)
    : QObject(parent), Log(log), TrimTimer(new QTimer(this)), ReadBuffer(new char[kReadChunk]) {
    TrimTimer->setSingleShot(true);
    connect(TrimTimer, &QTimer::timeout, this, &TConnectionManager::TrimHeap);
    AgeTimer = new QTimer(this);
    connect(AgeTimer, &QTimer::timeout, this, &TConnectionManager::CheckRecordAges);
    ThrottleTimer = new QTimer(this);
    ThrottleTimer->setSingleShot(true);
    ThrottleTimer->setTimerType(Qt::PreciseTimer);
    connect(ThrottleTimer, &QTimer::timeout, this, &TConnectionManager::WakeThrottled);
}

void TConnectionManager::SetPendingInputBudget(qsizetype bytes) {
    PendingBudget = bytes > 0 ? bytes : kDefaultPendingInputBudget;
}

void TConnectionManager::SetRecordTimeLimit(int seconds) {
    RecordLimitSeconds = seconds > 0 ? seconds : kDefaultRecordTimeLimitSeconds;
    if (AgeTimer->isActive())
        AgeTimer->start(AgeCheckIntervalMs(RecordLimitSeconds));
}

void TConnectionManager::SetReadRatePerConnection(qsizetype bytesPerSecond) {
    ReadRate = bytesPerSecond > 0 ? bytesPerSecond : kDefaultReadRatePerConnection;
}

TConnectionManager::~TConnectionManager() {
    StopSockets();
}

void TConnectionManager::StartSockets() {
    Host.clear();
    HostIPv4.clear();
    char name[1024];
    if (gethostname(name, sizeof name) != 0)
        return;
    name[sizeof name - 1] = 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* result = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &result) != 0 || !result) {
        return;
    }
    Host = QString::fromLocal8Bit(result->ai_canonname ? result->ai_canonname : name);
    for (addrinfo* ai = result; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET) {
            char dotted[INET_ADDRSTRLEN];
            const auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
            if (inet_ntop(AF_INET, &sin->sin_addr, dotted, sizeof dotted))
                HostIPv4 = QString::fromLatin1(dotted);
            break;
        }
    }
    freeaddrinfo(result);
}

QStringList TConnectionManager::LocalIPv4Addresses() {
    QStringList out;
    for (const QHostAddress& a : QNetworkInterface::allAddresses())
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !out.contains(a.toString()))
            out << a.toString();
    return out;
}

void TConnectionManager::ReportErrno(int err, const char* function) {
    Log.ReportSocketError(SocketErrorFromErrno(err), QString::fromLatin1(function));
}

TConnectionManager::ListenResult TConnectionManager::OpenListener(const QString& port,
                                                                  const QString& bindAddress) {
    if (port.isEmpty())
        return ListenResult::NoPort;

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (bindAddress == QLatin1String("<Any Connection>")) {
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (inet_pton(AF_INET, bindAddress.toLatin1().constData(), &addr.sin_addr) != 1) {
        return ListenResult::AddressNotLocal;
    }
    const std::optional<uint16_t> number = ParsePort(port);
    if (!number)
        return ListenResult::BadPort;
    addr.sin_port = htons(*number);

    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        ReportErrno(errno, "Socket");
        return ListenResult::SocketFailed;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int err = errno;
        ::close(fd);
        BindError = QString::fromLocal8Bit(strerror(err));
        if (err == EADDRINUSE)
            return ListenResult::PortInUse;
        if (err == EADDRNOTAVAIL)
            return ListenResult::AddressNotLocal;
        return ListenResult::BindFailed;
    }
    // A larger backlog than the classic 5: hundreds of clients may connect at once.
    if (listen(fd, 1024) != 0 || !SetNonBlocking(fd)) {
        ReportErrno(errno, "Listen");
        ::close(fd);
        return ListenResult::ListenFailed;
    }
    ListenFd = fd;
    AcceptNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(AcceptNotifier, &QSocketNotifier::activated, this, &TConnectionManager::OnAcceptReady);
    AcceptPause = new QTimer(this);
    AcceptPause->setSingleShot(true);
    connect(AcceptPause, &QTimer::timeout, this, [this] {
        if (AcceptNotifier)
            AcceptNotifier->setEnabled(true);
    });
    return ListenResult::Ok;
}

std::optional<uint16_t> TConnectionManager::ParsePort(const QString& port) {
    const QByteArray service = port.left(31).toLatin1();
    if (service.isEmpty())
        return std::nullopt;
    if (servent* se = getservbyname(service.constData(), "tcp"))
        return ntohs(static_cast<uint16_t>(se->s_port));
    const std::optional<int32_t> number = StrToInt(service);
    if (!number || *number < 0 || *number > 65535)
        return std::nullopt;
    return static_cast<uint16_t>(*number);
}

uint16_t TConnectionManager::ListenPort() const {
    if (ListenFd < 0)
        return 0;
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(ListenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

void TConnectionManager::OnAcceptReady() {
    for (int i = 0; i < kAcceptPerEvent; ++i) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int fd = accept4(ListenFd, reinterpret_cast<sockaddr*>(&peer), &len,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNABORTED)
                return;
            ReportErrno(err, "Accept");
            // Out of descriptors or memory: the listener stays readable, so
            // pause accepting instead of spinning on the same failure.
            AcceptNotifier->setEnabled(false);
            AcceptPause->start(250);
            return;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto link = std::make_unique<TLink>();
        link->Fd = fd;
        link->Serial = NextSerial++;
        link->Tokens = ReadRate;
        link->TokensAt = MonotonicUs();
        link->Read = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        connect(link->Read.get(), &QSocketNotifier::activated, this,
                [this, fd] { OnReadReady(fd); });
        Links.Insert(fd, std::move(link));
        if (Events)
            Events->ConnectionAccepted(static_cast<SocketHandle>(fd), ntohl(peer.sin_addr.s_addr),
                                       ntohs(peer.sin_port));
    }
}

void TConnectionManager::OnReadReady(int fd) {
    // Each read is decoded before any of its records is handled, so a handler
    // that enters an event loop (a modal box) cannot pull the decoder, the
    // read buffer or the link away from under the decoding. A read event for
    // a link whose records are being handled waits until they are done.
    TLink* link = Links.Find(fd);
    if (!link)
        return;
    if (link->Dispatching) {
        link->ReadDeferred = true;
        link->Read->setEnabled(false); // level-triggered: would fire again at once
        return;
    }
    const bool hadBacklog = link->Backlog;
    std::vector<TDataPacket> records;
    if (!TakeInput(*link, records))
        return;
    for (TDataPacket& packet : records)
        packet.From = static_cast<int32_t>(fd);
    if (!link->Backlog && !link->Reading)
        link->Decoder.Reset(); // no longer read: its incomplete record goes
    if (!link->Backlog && !AccountPending(*link)) {
        // Its incomplete record goes now; what it completed before is handled.
        const QString reason =
            QStringLiteral("Connection %1 dropped: incomplete records over the budget of %2 bytes")
                .arg(fd)
                .arg(PendingBudget);
        link->Decoder.Reset();
        ForgetPending(*link);
        link->Reading = false;
        if (!records.empty() && !DispatchRecords(fd, link->Serial, records))
            return;
        DropForInput(fd, reason);
        return;
    }
    if (link->Backlog) {
        link->Read->setEnabled(false);
        QueueContinuation(*link);
    }
    if (!records.empty() && !DispatchRecords(fd, link->Serial, records))
        return;
    if (hadBacklog && !link->Backlog)
        ResumeReading(*link);
    if (!Dirty.empty() || !Overflowed.empty())
        ScheduleFlush();
}

bool TConnectionManager::TakeInput(TLink& link, std::vector<TDataPacket>& records) {
    if (link.Backlog) {
        link.Backlog = link.Decoder.Decode(nullptr, 0, records, kRecordsPerPass);
        return true;
    }
    if (link.Throttled)
        return true; // its timer resumes it
    const int fd = link.Fd;
    const int64_t nowUs = MonotonicUs();
    // A long pause fills the bucket; the cap also keeps the product in range.
    const int64_t elapsedUs = std::min<int64_t>(nowUs - link.TokensAt, 2'000'000);
    link.Tokens = std::min<int64_t>(ReadRate, link.Tokens + elapsedUs * ReadRate / 1'000'000);
    link.TokensAt = nowUs;
    ssize_t n = 0;
    do {
        n = ::recv(fd, ReadBuffer.get(), kReadChunk, 0);
    } while (n < 0 && errno == EINTR);
    if (n == 0) {
        CloseLink(fd, true);
        return false;
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return true;
        CloseLink(fd, true);
        return false;
    }
    link.LastReadBytes = n;
    link.LastReadAt = TickCount();
    link.Tokens -= n;
    if (link.Tokens < 0)
        Throttle(link);
    // Data on a connection whose record has ended is discarded. The
    // records of one read are all handled, even after a quit among them.
    if (!link.Reading || !Events || !Events->HasUser(static_cast<SocketHandle>(fd))) {
        link.Reading = false;
        link.Decoder.Reset();
        return true;
    }
    link.Backlog = link.Decoder.Decode(ReadBuffer.get(), n, records, kRecordsPerPass);
    return true;
}

bool TConnectionManager::AccountPending(TLink& link) {
    const qsizetype now = link.Decoder.PendingBytes();
    if (now == 0) {
        ForgetPending(link);
        return true;
    }
    if (link.PendingSlot < 0) {
        link.PendingSlot = static_cast<int>(PendingLinks.size());
        PendingLinks.push_back(link.Fd);
        link.PendingSince = link.LastReadAt;
        if (!AgeTimer->isActive())
            AgeTimer->start(AgeCheckIntervalMs(RecordLimitSeconds));
    } else if (now <= link.LastReadBytes) {
        // All of it came with the last read: the record began then. Otherwise
        // it began earlier, and the clock stays where it was.
        link.PendingSince = link.LastReadAt;
    }
    const qsizetype before = link.Accounted;
    TotalPending += now - before;
    link.Accounted = now;
    if (now < before)
        NoteReleased(before - now);
    return now <= before || TotalPending <= PendingBudget;
}

void TConnectionManager::ForgetPending(TLink& link) {
    TotalPending -= link.Accounted;
    NoteReleased(link.Accounted);
    link.Accounted = 0;
    const int slot = link.PendingSlot;
    if (slot < 0)
        return;
    link.PendingSlot = -1;
    const int last = PendingLinks.back();
    PendingLinks.pop_back();
    if (static_cast<size_t>(slot) < PendingLinks.size()) {
        PendingLinks[static_cast<size_t>(slot)] = last;
        Links.Find(last)->PendingSlot = slot;
    }
    if (PendingLinks.empty())
        AgeTimer->stop();
}

void TConnectionManager::CheckRecordAges() {
    const uint32_t now = TickCount();
    const uint32_t limitMs = static_cast<uint32_t>(RecordLimitSeconds) * 1000u;
    std::vector<int> old;
    for (int fd : PendingLinks)
        if (now - Links.Find(fd)->PendingSince > limitMs)
            old.push_back(fd);
    for (int fd : old)
        DropForInput(fd, QStringLiteral("Connection %1 dropped: incomplete record older than %2 s")
                             .arg(fd)
                             .arg(RecordLimitSeconds));
}

void TConnectionManager::DropForInput(int fd, const QString& reason) {
    Log.ReportClientFailure(reason);
    CloseLink(fd, true);
}

void TConnectionManager::Throttle(TLink& link) {
    link.Throttled = true;
    ++Throttles;
    link.WakeAt = link.TokensAt + (-link.Tokens) * 1'000'000 / ReadRate + 1;
    link.Read->setEnabled(false);
    ThrottledLinks.emplace_back(link.Fd, link.Serial);
    const int waitMs = static_cast<int>((link.WakeAt - link.TokensAt + 999) / 1000);
    if (!ThrottleTimer->isActive() || ThrottleTimer->remainingTime() > waitMs)
        ThrottleTimer->start(waitMs);
}

void TConnectionManager::WakeThrottled() {
    const int64_t now = MonotonicUs();
    int64_t next = 0;
    std::vector<std::pair<int, uint64_t>> due;
    auto keep = ThrottledLinks.begin();
    for (const auto& entry : ThrottledLinks) {
        TLink* link = Links.Find(entry.first);
        if (!link || link->Serial != entry.second || !link->Throttled)
            continue;
        if (link->WakeAt <= now) {
            due.push_back(entry);
            continue;
        }
        next = next == 0 ? link->WakeAt : std::min(next, link->WakeAt);
        *keep++ = entry;
    }
    ThrottledLinks.erase(keep, ThrottledLinks.end());
    if (next != 0)
        ThrottleTimer->start(static_cast<int>((next - now + 999) / 1000));
    for (const auto& [fd, serial] : due)
        if (TLink* link = Links.Find(fd); link && link->Serial == serial) {
            link->Throttled = false;
            ResumeReading(*link);
        }
}

void TConnectionManager::ResumeReading(TLink& link) {
    if (link.Dispatching) {
        link.ReadDeferred = true; // the end of the dispatch comes back here
        return;
    }
    if (link.Backlog) {
        QueueContinuation(link);
        return;
    }
    if (!link.Throttled && link.Read)
        link.Read->setEnabled(true);
}

void TConnectionManager::QueueContinuation(TLink& link) {
    if (link.ContinuationQueued)
        return;
    link.ContinuationQueued = true;
    Continuations.emplace_back(link.Fd, link.Serial);
    if (!ContinuationScheduled) {
        ContinuationScheduled = true;
        QMetaObject::invokeMethod(this, &TConnectionManager::ServeContinuations,
                                  Qt::QueuedConnection);
    }
}

void TConnectionManager::ServeContinuations() {
    ContinuationScheduled = false;
    std::vector<std::pair<int, uint64_t>> due;
    due.swap(Continuations);
    for (const auto& [fd, serial] : due) {
        TLink* link = Links.Find(fd);
        if (!link || link->Serial != serial)
            continue;
        link->ContinuationQueued = false;
        OnReadReady(fd);
    }
}

bool TConnectionManager::DispatchRecords(int fd, uint64_t serial,
                                         std::vector<TDataPacket>& records) {
    auto current = [&]() -> TLink* {
        TLink* link = Links.Find(fd);
        return link && link->Serial == serial ? link : nullptr;
    };
    TLink* link = current();
    link->Dispatching = true;
    const bool logging = Log.LogsTraffic();
    for (TDataPacket& packet : records) {
        if (logging)
            Log.LogPacket(packet, false);
        Events->Dispatch(packet);
        // Closed meanwhile: the rest belongs to nobody (a new connection may
        // already have the descriptor).
        if (!(link = current()))
            return false;
    }
    link->Dispatching = false;
    if (link->ReadDeferred) {
        link->ReadDeferred = false;
        ResumeReading(*link);
    }
    return true;
}

void TConnectionManager::SendPrepared(SocketHandle socket, const TPreparedPacket& packet) {
    if (TLink* found = Links.Find(static_cast<int>(socket))) {
        TLink& link = *found;
        if (!link.Broken && !link.Overflowed) {
            if (link.Queued() + packet.Bytes.size() > kMaxQueuedBytes) {
                link.Overflowed = true;
                Overflowed.push_back(link.Fd);
            } else {
                if (!link.Out.Append(packet.Bytes.constData(), packet.Bytes.size())) {
                    link.Overflowed = true; // out of memory for this client
                    Overflowed.push_back(link.Fd);
                } else if (!link.Dirty) {
                    link.Dirty = true;
                    Dirty.push_back(link.Fd);
                }
            }
        }
    }
    // The record is logged whether or not it could be written.
    if (Log.LogsTraffic())
        Log.LogPacket(packet.Packet, true);
    ScheduleFlush();
}

void TConnectionManager::ScheduleFlush() {
    if (FlushScheduled)
        return;
    FlushScheduled = true;
    QMetaObject::invokeMethod(this, &TConnectionManager::Flush, Qt::QueuedConnection);
}

bool TConnectionManager::WriteSome(TLink& link) {
    while (link.Queued() > 0) {
        const ssize_t n =
            ::send(link.Fd, link.Out.Front(), static_cast<size_t>(link.Queued()), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return false;
            // The peer is gone; its close is noticed by the read side.
            link.Broken = true;
            break;
        }
        link.Out.Consume(n);
    }
    NoteReleased(link.Out.Capacity());
    link.Out.Release();
    return true;
}

void TConnectionManager::NoteReleased(qsizetype bytes) {
    ReleasedSinceTrim += bytes;
    LastReleaseAt = TickCount();
    if (ReleasedSinceTrim >= kTrimAfterReleased && !TrimTimer->isActive())
        TrimTimer->start(kTrimQuietMs);
}

void TConnectionManager::TrimHeap() {
    const uint32_t quietFor = TickCount() - LastReleaseAt;
    if (quietFor < static_cast<uint32_t>(kTrimQuietMs)) {
        TrimTimer->start(kTrimQuietMs - static_cast<int>(quietFor));
        return;
    }
    ReleasedSinceTrim = 0;
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

void TConnectionManager::Flush() {
    FlushScheduled = false;
    DropOverflowed();
    std::vector<int> dirty;
    dirty.swap(Dirty);
    for (int fd : dirty) {
        TLink* found = Links.Find(fd);
        if (!found)
            continue;
        TLink& link = *found;
        link.Dirty = false;
        if (link.Write && link.Write->isEnabled())
            continue; // waiting for the socket to take more
        if (!WriteSome(link)) {
            if (!link.Write) {
                link.Write = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
                connect(link.Write.get(), &QSocketNotifier::activated, this,
                        [this, fd] { OnWriteReady(fd); });
            }
            link.Write->setEnabled(true);
        }
    }
}

void TConnectionManager::OnWriteReady(int fd) {
    TLink* found = Links.Find(fd);
    if (!found)
        return;
    TLink& link = *found;
    if (WriteSome(link))
        link.Write->setEnabled(false);
}

void TConnectionManager::DropOverflowed() {
    // Ending a user sends notices to others, which may overflow them in turn.
    while (!Overflowed.empty()) {
        std::vector<int> drop;
        drop.swap(Overflowed);
        for (int fd : drop)
            CloseLink(fd, true);
    }
}

void TConnectionManager::CloseLink(int fd, bool tellServer) {
    if (TLink* found = Links.Find(fd))
        ForgetPending(*found);
    std::unique_ptr<TLink> link = Links.Take(fd);
    if (!link)
        return;
    link->Read.reset();
    link->Write.reset();
    if (tellServer && Events)
        Events->ConnectionClosed(static_cast<SocketHandle>(fd));
    ::close(fd);
    if (!Dirty.empty() || !Overflowed.empty())
        ScheduleFlush();
}

void TConnectionManager::StopReading(SocketHandle socket) {
    if (TLink* link = Links.Find(static_cast<int>(socket))) {
        link->Reading = false;
        // Records of a read already taken are still handled; an incomplete
        // one will never be.
        if (!link->Backlog) {
            link->Decoder.Reset();
            ForgetPending(*link);
        }
    }
}

void TConnectionManager::Disconnect(SocketHandle socket) {
    CloseLink(static_cast<int>(socket), true);
}

qsizetype TConnectionManager::SendRoom(SocketHandle socket) const {
    const TLink* link = Links.Find(static_cast<int>(socket));
    if (!link || link->Broken || link->Overflowed)
        return 0;
    return std::max<qsizetype>(0, kMaxQueuedBytes - link->Queued());
}

qsizetype TConnectionManager::QueuedBytes(SocketHandle socket) const {
    const TLink* link = Links.Find(static_cast<int>(socket));
    return link ? link->Queued() : 0;
}

void TConnectionManager::StopSockets() {
    // Last words first: what is queued (the shutdown notice) goes out as far
    // as the sockets take it.
    Links.ForEach([this](TLink& link) {
        if (!link.Broken)
            WriteSome(link);
    });
    Dirty.clear();
    Overflowed.clear();
    Links.ForEach([this](TLink& link) {
        const int fd = link.Fd;
        link.Read.reset();
        link.Write.reset();
        ::shutdown(fd, SHUT_WR);
        // Unread input would turn the close into a reset, which can destroy
        // the output the peer has not read yet.
        while (::recv(fd, ReadBuffer.get(), kReadChunk, MSG_DONTWAIT) > 0) {
        }
        ::close(fd);
    });
    Links.Clear();
    PendingLinks.clear();
    TotalPending = 0;
    AgeTimer->stop();
    ThrottledLinks.clear();
    Continuations.clear();
    delete AcceptNotifier;
    AcceptNotifier = nullptr;
    if (ListenFd >= 0) {
        ::close(ListenFd);
        ListenFd = -1;
    }
}

} // namespace kelvra
