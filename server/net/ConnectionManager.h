#pragma once
// The socket layer: the listening socket and every client socket, driven by
// socket notifiers on the one thread. Reads are reassembled into records and
// handed to the server core; sends are queued per connection and written
// together once per pass of the event loop.
#include "DataPacket.h"
#include "Transport.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <vector>

class QSocketNotifier;
class QTimer;

namespace kelvra {

class TConnectionManager : public QObject, public ITransport {
    Q_OBJECT
public:
    // A client whose unsent output grows past this is dropped.
    static constexpr qsizetype kMaxQueuedBytes = 4 * 1024 * 1024;
    // Bytes of incomplete records held for all connections together; the
    // connection whose input would take the total past it is dropped.
    static constexpr qsizetype kDefaultPendingInputBudget = 64 * 1024 * 1024;
    // A connection whose incomplete record began longer ago than this is dropped.
    static constexpr int kDefaultRecordTimeLimitSeconds = 30;
    // Past this many bytes per second a connection's socket is read more slowly.
    static constexpr qsizetype kDefaultReadRatePerConnection = 8 * 1024 * 1024;

    explicit TConnectionManager(ITrafficLog& log, QObject* parent = nullptr);
    ~TConnectionManager() override;

    void SetEvents(IConnectionEvents* events) { Events = events; }

    // Looks up this host's official name and first IPv4 address, for the caption.
    void StartSockets();
    QString HostName() const { return Host; }
    QString HostAddress() const { return HostIPv4; }

    enum class ListenResult {
        Ok,
        NoPort,
        BadPort,         // neither a TCP service name nor 0..65535
        AddressNotLocal, // not an IPv4 address of this machine
        PortInUse,       // another socket listens on it
        SocketFailed,
        BindFailed, // any other refusal; BindErrorText() says why
        ListenFailed,
    };
    // A TCP service name or a decimal number from 0 to 65535; nullopt otherwise.
    static std::optional<uint16_t> ParsePort(const QString& port);
    // The system's text for the last failed bind.
    QString BindErrorText() const { return BindError; }
    // port: a TCP service name or a decimal number; bindAddress: "<Any Connection>"
    // or a dotted IPv4 address.
    ListenResult OpenListener(const QString& port, const QString& bindAddress);
    bool IsListening() const { return ListenFd >= 0; }
    uint16_t ListenPort() const;

    // Flushes what can be sent, then closes every client socket and the listener.
    void StopSockets();

    // ITransport
    void SendPrepared(SocketHandle socket, const TPreparedPacket& packet) override;

    void StopReading(SocketHandle socket) override;
    qsizetype SendRoom(SocketHandle socket) const override;
    // Drops a connection now, as if the peer had closed it.
    void Disconnect(SocketHandle socket);

    int ConnectionCount() const { return Links.Count(); }

    // Limits of incoming data; a value of 0 or less restores the default.
    void SetPendingInputBudget(qsizetype bytes);
    void SetRecordTimeLimit(int seconds);
    void SetReadRatePerConnection(qsizetype bytesPerSecond);
    qsizetype PendingInputBudget() const { return PendingBudget; }
    int RecordTimeLimit() const { return RecordLimitSeconds; }
    qsizetype ReadRatePerConnection() const { return ReadRate; }
    // Bytes of incomplete records held now, for all connections.
    qsizetype PendingInputBytes() const { return TotalPending; }
    // How often a connection's reading was paused for its read rate.
    quint64 ThrottleCount() const { return Throttles; }
    qsizetype QueuedBytes(SocketHandle socket) const;

    // The machine's own IPv4 addresses in dotted form.
    static QStringList LocalIPv4Addresses();

public slots:
    // Writes every queued byte that the sockets take now.
    void Flush();

private:
    struct TLink;
    // Links by descriptor: descriptors are small integers, so a plain array
    // indexed by them is the cheapest lookup there is.
    class TLinkTable {
    public:
        TLink* Find(int fd) const;
        void Insert(int fd, std::unique_ptr<TLink> link);
        std::unique_ptr<TLink> Take(int fd);
        void Clear();
        int Count() const { return Live; }
        template <class F> void ForEach(F&& f) {
            for (auto& slot : Slots)
                if (slot)
                    f(*slot);
        }

    private:
        std::vector<std::unique_ptr<TLink>> Slots;
        int Live = 0;
    };

    void OnAcceptReady();
    void OnReadReady(int fd);
    // Reads once (or takes what an earlier read left), within the link's rate;
    // false when the link is gone.
    bool TakeInput(TLink& link, std::vector<TDataPacket>& records);
    // Counts the link's incomplete record against the budget and the clock;
    // false when it takes the total past the budget.
    bool AccountPending(TLink& link);
    void ForgetPending(TLink& link);
    void Throttle(TLink& link);
    void ResumeReading(TLink& link);
    void QueueContinuation(TLink& link);
    void ServeContinuations();
    void WakeThrottled();
    void CheckRecordAges();
    void DropForInput(int fd, const QString& reason);
    void OnWriteReady(int fd);
    // Hands one read's records to the server; false when the link closed meanwhile.
    bool DispatchRecords(int fd, uint64_t serial, std::vector<TDataPacket>& records);
    void ScheduleFlush();
    bool WriteSome(TLink& link);
    void CloseLink(int fd, bool tellServer);
    void DropOverflowed();
    void ReportErrno(int err, const char* function);
    void NoteReleased(qsizetype bytes);
    void TrimHeap();

    ITrafficLog& Log;
    IConnectionEvents* Events = nullptr;
    int ListenFd = -1;
    QSocketNotifier* AcceptNotifier = nullptr;
    QTimer* AcceptPause = nullptr;
    QTimer* TrimTimer = nullptr;
    qsizetype ReleasedSinceTrim = 0;
    uint32_t LastReleaseAt = 0;
    TLinkTable Links;
    std::vector<int> Dirty;
    std::vector<int> Overflowed;
    bool FlushScheduled = false;
    QString Host;
    QString HostIPv4;
    QString BindError;
    std::unique_ptr<char[]> ReadBuffer;
    uint64_t NextSerial = 1;

    qsizetype PendingBudget = kDefaultPendingInputBudget;
    int RecordLimitSeconds = kDefaultRecordTimeLimitSeconds;
    qsizetype ReadRate = kDefaultReadRatePerConnection;
    qsizetype TotalPending = 0;
    // Links holding an incomplete record: the only ones the age check walks.
    std::vector<int> PendingLinks;
    QTimer* AgeTimer = nullptr;
    // Links paused for their read rate, with the serial of the link.
    std::vector<std::pair<int, uint64_t>> ThrottledLinks;
    QTimer* ThrottleTimer = nullptr;
    quint64 Throttles = 0;
    // Links with records decoded but not yet handled, served in the next pass.
    std::vector<std::pair<int, uint64_t>> Continuations;
    bool ContinuationScheduled = false;
};

} // namespace kelvra
