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
#include <vector>

class QSocketNotifier;
class QTimer;

namespace kelvra {

class TConnectionManager : public QObject, public ITransport {
    Q_OBJECT
public:
    // A client whose unsent output grows past this is dropped.
    static constexpr qsizetype kMaxQueuedBytes = 4 * 1024 * 1024;

    explicit TConnectionManager(ITrafficLog& log, QObject* parent = nullptr);
    ~TConnectionManager() override;

    void SetEvents(IConnectionEvents* events) { Events = events; }

    // Looks up this host's official name and first IPv4 address, for the caption.
    void StartSockets();
    QString HostName() const { return Host; }
    QString HostAddress() const { return HostIPv4; }

    enum class ListenResult { Ok, NoPort, BadPort, SocketFailed, BindFailed, ListenFailed };
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
    std::unique_ptr<char[]> ReadBuffer;
    uint64_t NextSerial = 1;
};

} // namespace kelvra
