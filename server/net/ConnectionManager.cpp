// Accepting links, reading them and handing their records to the server.
// The output side is in ConnectionOutput.cpp.
#include "ConnectionManager.h"

#include "SocketErrors.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvra {

namespace {

// One read per link and pass of the event loop, and at most so many of its
// records handled in that pass: a busy client gets its turn like everyone
// else, and the others wait for one short turn of it at most. What a read
// brings beyond that is handled in the following passes.
constexpr qsizetype kReadChunk = 64 * 1024;
constexpr size_t kRecordsPerPass = 64;
constexpr int kAcceptPerEvent = 128;

} // namespace

struct TConnectionManager::TListener {
    int Fd = -1;
    TLinkIoFactory Factory;
    std::unique_ptr<QSocketNotifier> Notifier;
    std::unique_ptr<QTimer> Pause; // after a failed accept
    ~TListener() {
        Notifier.reset();
        if (Fd >= 0)
            ::close(Fd);
    }
};

TConnectionManager::TConnectionManager(ITrafficLog& log, QObject* parent)
    : QObject(parent), Log(log), ReadBuffer(new char[kReadChunk]) {
    AgeTimer = new QTimer(this);
    connect(AgeTimer, &QTimer::timeout, this, &TConnectionManager::CheckAges);
    PauseTimer = new QTimer(this);
    PauseTimer->setSingleShot(true);
    PauseTimer->setTimerType(Qt::PreciseTimer);
    connect(PauseTimer, &QTimer::timeout, this, &TConnectionManager::WakePaused);
    ShareTimer = new QTimer(this);
    connect(ShareTimer, &QTimer::timeout, this, &TConnectionManager::CheckOutputShares);
    HeldTimer = new QTimer(this);
    HeldTimer->setSingleShot(true);
    connect(HeldTimer, &QTimer::timeout, this, &TConnectionManager::RetryHeld);
}

TConnectionManager::~TConnectionManager() {
    StopSockets();
}

void TConnectionManager::SetPendingInputBudget(qsizetype bytes) {
    TLinkLimits l = Policy.Limits();
    l.PendingInputBudget = bytes;
    Policy.SetLimits(l);
}

void TConnectionManager::SetRecordTimeLimit(int seconds) {
    TLinkLimits l = Policy.Limits();
    l.RecordTimeLimitSeconds = seconds;
    Policy.SetLimits(l);
    if (AgeTimer->isActive())
        AgeTimer->start(Policy.AgeCheckIntervalMs());
}

void TConnectionManager::SetReadRatePerConnection(qsizetype bytesPerSecond) {
    TLinkLimits l = Policy.Limits();
    l.ReadRate = bytesPerSecond;
    Policy.SetLimits(l);
}

void TConnectionManager::SetFanOutPerSecond(qsizetype bytesPerSecond) {
    TLinkLimits l = Policy.Limits();
    l.FanOutRate = bytesPerSecond;
    Policy.SetLimits(l);
}

void TConnectionManager::SetOutputBudget(qsizetype bytes) {
    TLinkLimits l = Policy.Limits();
    l.OutputBudget = bytes;
    Policy.SetLimits(l);
}

void TConnectionManager::StartSockets() {
    LookUpHost(Host, HostIPv4);
}

void TConnectionManager::ReportErrno(int err, const char* function) {
    Log.ReportSocketError(SocketErrorFromErrno(err), QString::fromLatin1(function));
}

TConnectionManager::ListenResult TConnectionManager::OpenListener(const QString& port,
                                                                  const QString& bindAddress,
                                                                  TLinkIoFactory factory) {
    int fd = -1;
    const ListenResult result = OpenListenSocket(
        port, bindAddress, fd, BindError, [this](int err, const char* f) { ReportErrno(err, f); });
    if (result != ListenResult::Ok)
        return result;
    auto listener = std::make_unique<TListener>();
    TListener& l = *listener;
    l.Fd = fd;
    l.Factory = std::move(factory);
    l.Notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(l.Notifier.get(), &QSocketNotifier::activated, this, [this, &l] { OnAcceptReady(l); });
    l.Pause = std::make_unique<QTimer>();
    l.Pause->setSingleShot(true);
    connect(l.Pause.get(), &QTimer::timeout, this, [&l] { l.Notifier->setEnabled(true); });
    Listeners.push_back(std::move(listener));
    return ListenResult::Ok;
}

uint16_t TConnectionManager::ListenPort(int listener) const {
    if (listener < 0 || listener >= ListenerCount())
        return 0;
    return BoundPort(Listeners[static_cast<size_t>(listener)]->Fd);
}

void TConnectionManager::OnAcceptReady(TListener& listener) {
    for (int i = 0; i < kAcceptPerEvent; ++i) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int fd = accept4(listener.Fd, reinterpret_cast<sockaddr*>(&peer), &len,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNABORTED)
                return;
            ReportErrno(err, "Accept");
            // Out of descriptors or memory: the listener stays readable, so
            // pause accepting instead of spinning on the same failure.
            listener.Notifier->setEnabled(false);
            listener.Pause->start(250);
            return;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::unique_ptr<ILinkIo> io =
            listener.Factory ? listener.Factory(fd) : std::make_unique<TPlainIo>(fd);
        if (!io) {
            ::close(fd); // the front end refused it
            continue;
        }
        AddLink(std::move(io), ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port));
    }
}

SocketHandle TConnectionManager::Adopt(std::unique_ptr<ILinkIo> io, uint32_t ipv4, uint16_t port) {
    return AddLink(std::move(io), ipv4, port).Handle();
}

TLink& TConnectionManager::AddLink(std::unique_ptr<ILinkIo> io, uint32_t ipv4, uint16_t port) {
    auto owned = std::make_unique<TLink>(std::move(io), NextSerial++);
    TLink& link = *owned;
    const int fd = link.Fd();
    Policy.Open(link.Meter);
    link.ReadNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(link.ReadNotifier.get(), &QSocketNotifier::activated, this,
            [this, fd] { OnReadReady(fd); });
    Links.Insert(std::move(owned));
    if (link.Io->Handshaking()) {
        Policy.StartAgeClock(link.Meter);
        JoinAgeList(link);
    }
    UpdateWriteInterest(link);
    if (Events)
        Events->ConnectionAccepted(link.Handle(), ipv4, port);
    return link;
}

QString TConnectionManager::LinkKind(SocketHandle socket) const {
    const TLink* link = Links.Find(static_cast<int>(socket));
    return link ? link->Io->Kind() : QString();
}

void TConnectionManager::OnReadReady(int fd) {
    TLink* link = Links.Find(fd);
    if (!link)
        return;
    // Level-triggered: a link that is handled otherwise (its records being
    // handled inside a modal loop, a turn queued, a pause) would fire again
    // at once. Settle turns it back on.
    if (link->Read != TReadState::Idle) {
        link->EnableRead(false);
        return;
    }
    Serve(*link);
}

void TConnectionManager::Serve(TLink& link) {
    // Each read is decoded before any of its records is handled, so a handler
    // that enters an event loop (a modal box) cannot pull the decoder, the
    // read buffer or the link away from under the decoding.
    const TLinkRef ref{link.Fd(), link.Serial};
    link.Read = TReadState::Idle;
    const TInput input = link.Ready.empty() ? TakeInput(link) : TInput::Ok;
    if (input == TInput::Gone)
        return;
    if (!DispatchReady(link))
        return;
    TLink* still = Links.Find(ref.Fd, ref.Serial);
    if (!still)
        return;
    if (input == TInput::OverBudget) {
        EndLink(*still,
                QStringLiteral("Connection %1 dropped: incomplete records over the budget of %2 "
                               "bytes")
                    .arg(ref.Fd)
                    .arg(Policy.Limits().PendingInputBudget),
                true);
        return;
    }
    Settle(*still);
    if (still->Write == TWriteState::Held) {
        // Held for its share: it may have logged on now.
        SetWriteState(*still, TWriteState::Queued);
        Dirty.push_back(ref.Fd);
    }
    if (!Dirty.empty())
        ScheduleFlush();
}

TConnectionManager::TInput TConnectionManager::TakeInput(TLink& link) {
    const auto stamp = [&link](size_t from) {
        for (size_t i = from; i < link.Ready.size(); ++i)
            link.Ready[i].From = static_cast<int32_t>(link.Fd());
    };
    if (link.Decoder.HasBacklog()) {
        // Whole records of an earlier read: handled even when the link no
        // longer counts, as the rest of that read.
        link.Decoder.Decode(nullptr, 0, link.Ready, kRecordsPerPass);
        stamp(0);
    } else {
        const TIoResult r = link.Io->Read(ReadBuffer.get(), kReadChunk);
        if (r.Status == TIoStatus::Closed || r.Status == TIoStatus::Failed) {
            // Plain speech on an encrypted port and the like: say why it went.
            const QString reason =
                r.Status == TIoStatus::Failed && link.Io->Handshaking()
                    ? QStringLiteral("Connection %1 dropped: its %2 handshake failed")
                          .arg(link.Fd())
                          .arg(link.Io->Kind().toUpper())
                    : QString();
            EndLink(link, reason, r.Status == TIoStatus::Closed);
            return TInput::Gone;
        }
        // A front end that must write to go on (a handshake's answer the
        // socket could not take) is woken by the descriptor turning writable;
        // output queued during a handshake goes once it is done.
        if (link.Io->WantsWrite())
            UpdateWriteInterest(link);
        if (link.Write == TWriteState::Idle && link.Out.Pending() > 0 && !link.Io->Handshaking())
            MarkDirty(link);
        link.LastReadBytes = r.Bytes;
        if (r.Bytes > 0) {
            Policy.ChargeRead(link.Meter, r.Bytes);
            // Data on a link whose record has ended is discarded. The records
            // of one read are all handled, even after a quit among them.
            if (link.Life == TLinkLife::Open && (!Events || !Events->HasUser(link.Handle())))
                link.Life = TLinkLife::Discarding;
            if (link.Life == TLinkLife::Open) {
                link.Decoder.Decode(ReadBuffer.get(), r.Bytes, link.Ready, kRecordsPerPass);
                stamp(0);
            }
        }
    }
    if (link.Decoder.HasBacklog())
        return TInput::Ok;
    if (link.Life != TLinkLife::Open) {
        link.Decoder.Reset(); // never read again: its incomplete record goes
        ForgetPending(link);
        return TInput::Ok;
    }
    if (AccountPending(link))
        return TInput::Ok;
    // Its incomplete record goes now; what it completed before is handled.
    link.Decoder.Reset();
    ForgetPending(link);
    link.Life = TLinkLife::Discarding;
    return TInput::OverBudget;
}

bool TConnectionManager::AccountPending(TLink& link) {
    bool fits = true;
    if (link.Io->Handshaking())
        Policy.StartAgeClock(link.Meter);
    else
        fits = Policy.CountPending(link.Meter, link.Decoder.PendingBytes(), link.LastReadBytes);
    if (link.Meter.PendingSince >= 0)
        JoinAgeList(link);
    else
        LeaveAgeList(link);
    return fits;
}

void TConnectionManager::ForgetPending(TLink& link) {
    const qsizetype counted = link.Meter.PendingCounted;
    Policy.ForgetPending(link.Meter);
    Released(counted);
    LeaveAgeList(link);
}

void TConnectionManager::JoinAgeList(TLink& link) {
    if (link.AgeSlot >= 0)
        return;
    link.AgeSlot = static_cast<int>(AgeLinks.size());
    AgeLinks.push_back(link.Fd());
    if (!AgeTimer->isActive())
        AgeTimer->start(Policy.AgeCheckIntervalMs());
}

void TConnectionManager::LeaveAgeList(TLink& link) {
    const int slot = link.AgeSlot;
    if (slot < 0)
        return;
    link.AgeSlot = -1;
    const int last = AgeLinks.back();
    AgeLinks.pop_back();
    if (static_cast<size_t>(slot) < AgeLinks.size()) {
        AgeLinks[static_cast<size_t>(slot)] = last;
        Links.Find(last)->AgeSlot = slot;
    }
    if (AgeLinks.empty())
        AgeTimer->stop();
}

void TConnectionManager::CheckAges() {
    std::vector<int> old;
    for (int fd : AgeLinks)
        if (Policy.TooOld(Links.Find(fd)->Meter))
            old.push_back(fd);
    const int limit = Policy.Limits().RecordTimeLimitSeconds;
    for (int fd : old) {
        TLink& link = *Links.Find(fd);
        const QString what = link.Io->Handshaking()
                                 ? QStringLiteral("handshake not finished within %2 s")
                                 : QStringLiteral("incomplete record older than %2 s");
        EndLink(link, QStringLiteral("Connection %1 dropped: ").arg(fd) + what.arg(limit), true);
    }
}

bool TConnectionManager::DispatchReady(TLink& link) {
    if (link.Ready.empty())
        return true;
    const TLinkRef ref{link.Fd(), link.Serial};
    std::vector<TDataPacket> records;
    records.swap(link.Ready);
    link.Read = TReadState::Dispatching;
    const TSender outer = Sender;
    const bool logging = Log.LogsTraffic();
    for (size_t i = 0; i < records.size(); ++i) {
        Sender = {ref, 0};
        if (logging)
            Log.LogPacket(records[i], false);
        if (Events)
            Events->Dispatch(records[i]);
        // Closed meanwhile: the rest belongs to nobody (a new link may
        // already have the descriptor).
        TLink* current = Links.Find(ref.Fd, ref.Serial);
        if (!current) {
            Sender = outer;
            return false;
        }
        Policy.ChargeFanOut(current->Meter, Sender.Bytes);
        // A sender past its fan-out waits with the rest, so that the members
        // can take what it made them.
        if (i + 1 < records.size() && current->Life != TLinkLife::Closing &&
            current->Meter.FanOutTokens < 0) {
            current->Ready.assign(std::make_move_iterator(records.begin() + i + 1),
                                  std::make_move_iterator(records.end()));
            break;
        }
    }
    Sender = outer;
    Links.Find(ref.Fd)->Read = TReadState::Idle;
    return true;
}

void TConnectionManager::Settle(TLink& link) {
    if (link.Life == TLinkLife::Closing || link.Read != TReadState::Idle)
        return;
    if (const int64_t waitUs = Policy.PauseUs(link.Meter); waitUs > 0) {
        Pause(link, waitUs);
        return;
    }
    if (OutputBacklogged(link)) {
        link.Read = TReadState::Backlogged; // WriteLink resumes it
        link.EnableRead(false);
        return;
    }
    if (!link.Ready.empty() || link.Decoder.HasBacklog() || link.Io->HasPendingInput()) {
        QueueTurn(link);
        return;
    }
    link.EnableRead(true);
}

bool TConnectionManager::OutputBacklogged(const TLink& link) const {
    return (link.Write == TWriteState::Held || link.Out.Pending() > kUnloggedOutputShare) &&
           Events && !Events->IsLoggedOn(link.Handle());
}

void TConnectionManager::Pause(TLink& link, int64_t waitUs) {
    link.Read = TReadState::Paused;
    link.EnableRead(false);
    ++Throttles;
    if (link.Meter.FanOutTokens < 0)
        ++FanOutPauses;
    const int64_t wakeAt = Policy.Now() + waitUs;
    PausedLinks.push_back({{link.Fd(), link.Serial}, wakeAt});
    const int waitMs = static_cast<int>((waitUs + 999) / 1000);
    if (!PauseTimer->isActive() || PauseTimer->remainingTime() > waitMs)
        PauseTimer->start(waitMs);
}

void TConnectionManager::WakePaused() {
    const int64_t now = Policy.Now();
    int64_t next = 0;
    std::vector<TLinkRef> due;
    auto keep = PausedLinks.begin();
    for (const auto& entry : PausedLinks) {
        const TLink* link = Links.Find(entry.first.Fd, entry.first.Serial);
        if (!link || link->Read != TReadState::Paused)
            continue;
        if (entry.second <= now) {
            due.push_back(entry.first);
            continue;
        }
        next = next == 0 ? entry.second : std::min(next, entry.second);
        *keep++ = entry;
    }
    PausedLinks.erase(keep, PausedLinks.end());
    if (next != 0)
        PauseTimer->start(static_cast<int>((next - now + 999) / 1000));
    for (const TLinkRef& ref : due)
        if (TLink* link = Links.Find(ref.Fd, ref.Serial);
            link && link->Read == TReadState::Paused) {
            link->Read = TReadState::Idle;
            Settle(*link);
        }
}

void TConnectionManager::QueueTurn(TLink& link) {
    link.Read = TReadState::Queued;
    link.EnableRead(false);
    Turns.push_back({link.Fd(), link.Serial});
    if (!TurnsScheduled) {
        TurnsScheduled = true;
        QMetaObject::invokeMethod(this, &TConnectionManager::ServeTurns, Qt::QueuedConnection);
    }
}

void TConnectionManager::ServeTurns() {
    TurnsScheduled = false;
    std::vector<TLinkRef> due;
    due.swap(Turns);
    for (const TLinkRef& ref : due)
        if (TLink* link = Links.Find(ref.Fd, ref.Serial); link && link->Read == TReadState::Queued)
            Serve(*link);
}

void TConnectionManager::StopReading(SocketHandle socket) {
    TLink* link = Links.Find(static_cast<int>(socket));
    if (!link || link->Life != TLinkLife::Open)
        return;
    link->Life = TLinkLife::Discarding;
    // Records of a read already taken are still handled; an incomplete one
    // will never be.
    if (!link->Decoder.HasBacklog()) {
        link->Decoder.Reset();
        ForgetPending(*link);
    }
}

void TConnectionManager::Disconnect(SocketHandle socket) {
    TLink* link = Links.Find(static_cast<int>(socket));
    if (!link)
        return;
    const TLinkRef ref{link->Fd(), link->Serial};
    EndLink(*link, QString(), true);
    FinishLink(ref);
}

void TConnectionManager::StopSockets() {
    // Last words first: what is queued (the shutdown notice) goes out as far
    // as the sockets take it.
    qsizetype unlimited = kMaxQueuedBytes * 1024;
    Links.ForEach([&](TLink& link) {
        if (link.Life != TLinkLife::Closing)
            WriteLink(link, unlimited);
    });
    Links.ForEach([this](TLink& link) {
        link.ReadNotifier.reset();
        link.WriteNotifier.reset();
        link.Io->Shutdown();
        const int fd = link.Fd();
        ::shutdown(fd, SHUT_WR);
        // Unread input would turn the close into a reset, which can destroy
        // the output the peer has not read yet.
        while (::recv(fd, ReadBuffer.get(), 64 * 1024, MSG_DONTWAIT) > 0) {
        }
    });
    Links.Clear();
    Policy.ResetTotals();
    Dirty.clear();
    AgeLinks.clear();
    AgeTimer->stop();
    PausedLinks.clear();
    Turns.clear();
    Ending.clear();
    DueReceipts.clear();
    WaitingLinks = 0;
    ShareTimer->stop();
    HeldLinks.clear();
    HeldTimer->stop();
    Listeners.clear();
}

bool TConnectionManager::Settled() const {
    return !TurnsScheduled && !FlushScheduled && !EndsScheduled && Dirty.empty() &&
           Ending.empty() && DueReceipts.empty();
}

} // namespace kelvra
