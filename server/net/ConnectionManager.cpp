// The socket layer's links come and go here: listeners, accepting, adopting,
// ending and stopping. Reading is in ConnectionInput.cpp, writing in
// ConnectionOutput.cpp.
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

constexpr int kAcceptPerEvent = 128;
// Time spent ending links in one pass: each end tells every other user.
constexpr int64_t kEndSliceUs = 5000;

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
    : QObject(parent), Log(log),
      Poller([this](int fd) { OnReadReady(fd); }, [this](int fd) { OnWriteReady(fd); }),
      ReadBuffer(new char[kReadChunk]), Engine(TSendEngine::Make(TSendPath::Auto, &SendNote)) {
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
    GatherTimer = new QTimer(this);
    GatherTimer->setSingleShot(true);
    connect(GatherTimer, &QTimer::timeout, this, &TConnectionManager::Flush);
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

QString TConnectionManager::SetSendPath(TSendPath path) {
    SendNote.clear();
    Engine = TSendEngine::Make(path, &SendNote);
    return path == TSendPath::Uring ? SendNote : QString();
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
    const bool watched = Poller.Watch(fd, true, link.Io->WantsWrite());
    const int watchError = errno;
    if (watched)
        link.Poller = &Poller;
    Links.Insert(std::move(owned));
    Policy.SetOpenLinks(Links.Count());
    if (link.Io->Handshaking()) {
        Policy.StartAgeClock(link.Meter);
        JoinAgeList(link);
    }
    if (Events)
        Events->ConnectionAccepted(link.Handle(), ipv4, port);
    if (!watched) {
        // The system refused the watch (memory, its watch limit): it could
        // never be read.
        ReportErrno(watchError, "epoll_ctl");
        EndLink(link, QStringLiteral("Connection %1 dropped: its socket cannot be watched").arg(fd),
                false);
    }
    return link;
}

QString TConnectionManager::LinkKind(SocketHandle socket) const {
    const TLink* link = Links.Find(static_cast<int>(socket));
    return link ? link->Io->Kind() : QString();
}

void TConnectionManager::EndLink(TLink& link, const QString& reason, bool orderly) {
    if (link.Life == TLinkLife::Closing)
        return;
    link.Life = TLinkLife::Closing;
    link.CloseReason = reason;
    link.OrderlyClose = orderly;
    // Nothing more is read or written; its memory goes now, the descriptor
    // with its user record.
    link.Unwatch();
    SetWriteState(link, TWriteState::Idle);
    DropGroupShare(link);
    const qsizetype unsent = link.Out.Discard();
    Policy.NoteUnqueued(unsent);
    Released(unsent);
    link.Receipts.clear();
    link.Ready.clear();
    link.Decoder.Reset();
    ForgetPending(link);
    Ending.push_back({link.Fd(), link.Serial});
    ScheduleEnds();
}

void TConnectionManager::ScheduleEnds() {
    if (EndsScheduled)
        return;
    EndsScheduled = true;
    QMetaObject::invokeMethod(this, &TConnectionManager::ServeEnds, Qt::QueuedConnection);
}

void TConnectionManager::ServeEnds() {
    EndsScheduled = false;
    const int64_t start = Policy.Now();
    while (!Ending.empty()) {
        if (Policy.Now() - start > kEndSliceUs) {
            ScheduleEnds(); // the others are served first
            return;
        }
        const TLinkRef ref = Ending.front();
        Ending.pop_front();
        FinishLink(ref);
    }
}

void TConnectionManager::FinishLink(const TLinkRef& ref) {
    TLink* found = Links.Find(ref.Fd, ref.Serial);
    if (!found || found->Life != TLinkLife::Closing)
        return;
    std::unique_ptr<TLink> link = Links.Take(ref.Fd);
    Policy.SetOpenLinks(Links.Count());
    if (!link->CloseReason.isEmpty())
        Log.ReportClientFailure(link->CloseReason);
    // The user record ends before the descriptor can be handed out again.
    if (Events)
        Events->ConnectionClosed(link->Handle());
    if (link->OrderlyClose)
        link->Io->Shutdown();
    link.reset();
    if (!Dirty.empty())
        ScheduleFlush();
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
    TakeAllGroupShares();
    Links.ForEach([&](TLink& link) {
        if (link.Life != TLinkLife::Closing)
            WriteLink(link, unlimited);
    });
    Links.ForEach([this](TLink& link) {
        link.Unwatch();
        link.Io->Shutdown();
        const int fd = link.Fd();
        ::shutdown(fd, SHUT_WR);
        // Unread input would turn the close into a reset, which can destroy
        // the output the peer has not read yet.
        while (::recv(fd, ReadBuffer.get(), kReadChunk, MSG_DONTWAIT) > 0) {
        }
    });
    Links.Clear();
    Policy.SetOpenLinks(0);
    Policy.ResetTotals();
    Dirty.clear();
    GroupLogs.Clear();
    GroupTakers.clear();
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
    GatherTimer->stop();
    Listeners.clear();
}

bool TConnectionManager::Settled() const {
    return !TurnsScheduled && !FlushScheduled && !EndsScheduled && Dirty.empty() &&
           GroupLogs.Empty() && Ending.empty() && DueReceipts.empty();
}

} // namespace kelvra
