#pragma once
// The socket layer: the listening sockets and every client link, driven by
// descriptor readiness on the one thread. Reads are reassembled into records and
// handed to the server core; sends are queued per link and written together
// once per pass of the event loop. What a link may cost is decided by its
// policy (LinkPolicy.h); how its bytes cross the wire by its front end
// (LinkIo.h).
#include "DataPacket.h"
#include "Link.h"
#include "LinkIo.h"
#include "LinkPolicy.h"
#include "LinkPoller.h"
#include "ListenSocket.h"
#include "SendEngine.h"
#include "Transport.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QSocketNotifier;
class QTimer;

namespace kelvra {

class TConnectionManager : public QObject, public ITransport {
    Q_OBJECT
public:
    // A client whose unsent output would grow past this is dropped.
    static constexpr qsizetype kMaxQueuedBytes = TLinkPolicy::kMaxQueuedPerLink;
    // What a connection that has not logged on may keep unsent while not reading.
    static constexpr qsizetype kUnloggedOutputShare = TLinkPolicy::kUnloggedShare;
    static constexpr qsizetype kDefaultPendingInputBudget = TLinkLimits::kDefaultPendingInputBudget;
    static constexpr int kDefaultRecordTimeLimitSeconds =
        TLinkLimits::kDefaultRecordTimeLimitSeconds;
    static constexpr qsizetype kDefaultReadRatePerConnection = TLinkLimits::kDefaultReadRate;
    static constexpr qsizetype kDefaultFanOutPerSecond = TLinkLimits::kDefaultFanOutRate;
    static constexpr qsizetype kDefaultOutputBudget = TLinkLimits::kDefaultOutputBudget;

    explicit TConnectionManager(ITrafficLog& log, QObject* parent = nullptr);
    ~TConnectionManager() override;

    void SetEvents(IConnectionEvents* events) { Events = events; }
    // Told how many bytes of buffers were given back (the heap trimmer).
    void SetReleaseHook(std::function<void(qsizetype)> hook) { ReleaseHook = std::move(hook); }
    // The monotonic microsecond clock the limits run on (tests move it).
    void SetClock(TLinkPolicy::TClock clock) { Policy.SetClock(std::move(clock)); }

    // Looks up this host's official name and first IPv4 address, for the caption.
    void StartSockets();
    QString HostName() const { return Host; }
    QString HostAddress() const { return HostIPv4; }

    using ListenResult = TListenResult;
    static std::optional<uint16_t> ParsePort(const QString& port) { return ParsePortText(port); }
    // The system's text for the last failed bind.
    QString BindErrorText() const { return BindError; }
    // Opens one more listener. port: a TCP service name or a decimal number;
    // bindAddress: "<Any Connection>" or a dotted IPv4 address; factory makes
    // the front end of each accepted connection (empty: plain TCP).
    ListenResult OpenListener(const QString& port, const QString& bindAddress,
                              TLinkIoFactory factory = {});
    bool IsListening() const { return !Listeners.empty(); }
    int ListenerCount() const { return static_cast<int>(Listeners.size()); }
    // The port of a listener, in the order they were opened; 0 when there is none.
    uint16_t ListenPort(int listener = 0) const;

    // Serves a link made elsewhere (a socket pair, a front end under test) as
    // if it had been accepted; returns its handle.
    SocketHandle Adopt(std::unique_ptr<ILinkIo> io, uint32_t ipv4 = 0x7F000001u, uint16_t port = 0);

    // Flushes what can be sent, then closes every client link and the listeners.
    void StopSockets();

    // ITransport
    void SendPrepared(SocketHandle socket, const TPreparedPacket& packet) override;
    bool SendEncoded(SocketHandle socket, const std::vector<QByteArray>& blocks) override;
    void StopReading(SocketHandle socket) override;
    qsizetype SendRoom(SocketHandle socket) const override;
    uint64_t QueuedOffset(SocketHandle socket) const override;
    void NotifyWhenWritten(SocketHandle socket, uint64_t offset) override;
    qsizetype SendToGroup(uint64_t group, const TPreparedPacket& packet, SocketHandle except,
                          bool mayWait = false) override;
    void JoinGroup(uint64_t group, SocketHandle socket) override;
    void LeaveGroup(uint64_t group, SocketHandle socket) override;

    // Drops a connection now, as if the peer had closed it.
    void Disconnect(SocketHandle socket);

    int ConnectionCount() const { return Links.Count(); }
    // The front end of a connection for the operator ("tcp", "tls", ...);
    // empty when there is no such connection.
    QString LinkKind(SocketHandle socket) const;

    // Limits; a value of 0 or less restores the default.
    void SetPendingInputBudget(qsizetype bytes);
    void SetRecordTimeLimit(int seconds);
    void SetReadRatePerConnection(qsizetype bytesPerSecond);
    void SetFanOutPerSecond(qsizetype bytesPerSecond);
    void SetOutputBudget(qsizetype bytes);
    qsizetype PendingInputBudget() const { return Policy.Limits().PendingInputBudget; }
    int RecordTimeLimit() const { return Policy.Limits().RecordTimeLimitSeconds; }
    qsizetype ReadRatePerConnection() const { return Policy.Limits().ReadRate; }
    qsizetype FanOutPerSecond() const { return Policy.Limits().FanOutRate; }
    // The budget in force: the one set, or the default for the connections open.
    qsizetype OutputBudget() const { return Policy.OutputBudget(); }

    // Bytes of incomplete records held now, for all connections.
    qsizetype PendingInputBytes() const { return Policy.PendingTotal(); }
    // How often a connection's reading was paused for its read rate or fan-out.
    quint64 ThrottleCount() const { return Throttles; }
    quint64 FanOutPauseCount() const { return FanOutPauses; }
    qsizetype QueuedBytes(SocketHandle socket) const;
    // Unsent output of all connections together.
    qsizetype TotalQueuedBytes() const { return Policy.QueuedTotal(); }
    // Nothing waits for a later pass of the event loop (no turn, end, flush or
    // receipt is due): for tests and fuzzing that step the loop themselves.
    bool Settled() const;

    static QStringList LocalIPv4Addresses() { return kelvra::LocalIPv4Addresses(); }

    // How plain links' writes reach the kernel (set at start; Auto by
    // default). Returns why the ring was not used where it was asked for,
    // empty when the path is as asked.
    QString SetSendPath(TSendPath path);
    // What is in use: Uring or Plain; and why not the ring, where it was not
    // taken (empty otherwise).
    TSendPath SendPathInUse() const { return Engine->Path(); }
    QString SendPathNote() const { return SendNote; }
    // System calls made for batched sends (a submission counts once).
    uint64_t SendCalls() const { return Engine->Calls(); }

public slots:
    // Writes queued bytes as far as the sockets take them, within one pass's share.
    void Flush();

private:
    struct TListener;
    enum class TInput { Ok, Gone, OverBudget };
    // One read of a link takes at most this much.
    static constexpr qsizetype kReadChunk = 64 * 1024;

    void OnAcceptReady(TListener& listener);
    TLink& AddLink(std::unique_ptr<ILinkIo> io, uint32_t ipv4, uint16_t port);

    // Input (ConnectionInput.cpp).
    void OnReadReady(int fd);
    void Serve(TLink& link);
    TInput TakeInput(TLink& link);
    bool AccountPending(TLink& link);
    void ForgetPending(TLink& link);
    void JoinAgeList(TLink& link);
    void LeaveAgeList(TLink& link);
    void CheckAges();
    // Hands the link's decoded records to the server; false when the link
    // closed meanwhile.
    bool DispatchReady(TLink& link);
    // After a turn: idle, queued for the next pass, paused, or backlogged.
    void Settle(TLink& link);
    void Pause(TLink& link, int64_t waitUs);
    // A link that has not logged on and does not take its output is not
    // read either: its answers would only pile up.
    bool OutputBacklogged(const TLink& link) const;
    void WakePaused();
    void QueueTurn(TLink& link);
    void ServeTurns();

    // Output (ConnectionOutput.cpp).
    void ScheduleFlush();
    // Queues encoded bytes for the link: the per-connection limit, the output
    // budget and the sender's fan-out as for any record.
    void QueueBytes(SocketHandle socket, const QByteArray& bytes);
    void MarkDirty(TLink& link);
    // Past the per-connection limit: the link is dropped, with a row saying so.
    void EndOverLimit(TLink& link);
    // Writes at most `budget` bytes (less what it wrote); the link may end.
    void WriteLink(TLink& link, qsizetype& budget);
    // What the link may write now within `budget`; -1 when it is not to be
    // written at all (its state is settled then).
    qsizetype WriteAllowance(TLink& link, qsizetype budget);
    // After writing: the link's next write state and what depends on it.
    void AfterWrite(TLink& link, qsizetype written, bool blocked, qsizetype budget);
    // Writes the links through the send engine, in batches, as far as
    // `budget` goes.
    void WriteBatched(const std::vector<TLink*>& links, qsizetype& budget);
    void SetWriteState(TLink& link, TWriteState state);
    // Bytes the socket holds that the peer has not taken yet.
    static qsizetype SocketQueued(const TLink& link);
    void UpdateWriteInterest(TLink& link);
    void OnWriteReady(int fd);
    void CollectReceipts(TLink& link);
    void DeliverReceipts();
    // Past the output budget: writes what the sockets take now, then drops
    // the links holding the most unsent data.
    void ReclaimOutput(qsizetype adding);
    void CheckOutputShares();
    // Held links whose peer took some output go back to the flush.
    void RetryHeld();
    void Released(qsizetype bytes) {
        if (ReleaseHook && bytes > 0)
            ReleaseHook(bytes);
    }

    // Groups (ConnectionGroups.cpp).
    // The link takes its share of this pass's group records into its queue;
    // false when that ended it (over the per-connection limit).
    bool TakeGroupShare(TLink& link);
    // Every link takes its share and the logs start again: at the end of a
    // pass, and before anything looks at all queues.
    void TakeAllGroupShares();
    // The link takes no more of this pass's group records; what it had not
    // taken is given back to the output budget.
    void DropGroupShare(TLink& link);
    // The link's place in the log with that index; nullptr when it has none.
    static TGroupCursor* CursorIn(TLink& link, uint32_t index);
    qsizetype Unsent(const TLink& link) const {
        return link.Out.Pending() + (link.Groups.empty() ? 0 : GroupLogs.Pending(link.Groups));
    }

    // Ending links: marked now, ended a few per pass (each end tells every
    // other user, so a mass close must not hold everybody up at once).
    void EndLink(TLink& link, const QString& reason, bool orderly);
    void ScheduleEnds();
    void ServeEnds();
    void FinishLink(const TLinkRef& ref);
    void ReportErrno(int err, const char* function);

    ITrafficLog& Log;
    IConnectionEvents* Events = nullptr;
    std::function<void(qsizetype)> ReleaseHook;
    TLinkPolicy Policy;
    std::vector<std::unique_ptr<TListener>> Listeners;
    TLinkPoller Poller; // every link's descriptor
    TLinkTable Links;
    uint64_t NextSerial = 1;
    QString Host;
    QString HostIPv4;
    QString BindError;
    std::unique_ptr<char[]> ReadBuffer;

    // The link whose records are being handled and what they queued so far.
    struct TSender {
        TLinkRef Link;
        qsizetype Bytes = 0;
    } Sender;

    std::vector<int> AgeLinks; // links holding input or a handshake
    QTimer* AgeTimer = nullptr;
    std::vector<std::pair<TLinkRef, int64_t>> PausedLinks; // with their wake time
    QTimer* PauseTimer = nullptr;
    quint64 Throttles = 0;
    quint64 FanOutPauses = 0;
    std::vector<TLinkRef> Turns;
    bool TurnsScheduled = false;

    std::vector<int> Dirty;
    bool FlushScheduled = false;
    std::unique_ptr<TSendEngine> Engine;
    QString SendNote;
    int WaitingLinks = 0; // Waiting or Held
    QTimer* ShareTimer = nullptr;
    // Held links with when and how often they are looked at again.
    struct THeld {
        TLinkRef Link;
        int64_t DueUs = 0;
        int IntervalMs = 0;
    };
    std::vector<THeld> HeldLinks;
    QTimer* HeldTimer = nullptr;
    QTimer* GatherTimer = nullptr; // links left to gather group records
    std::vector<std::pair<TLinkRef, uint64_t>> DueReceipts;
    TGroupLogs GroupLogs;
    std::vector<TLinkRef> GroupTakers;      // links with a place in this pass's logs
    std::vector<SocketHandle> GroupMembers; // scratch
    std::deque<TLinkRef> Ending;
    bool EndsScheduled = false;
};

} // namespace kelvra
