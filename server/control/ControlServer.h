#pragma once
// The listening end of the control socket: a Unix domain socket readable and
// writable by its owner only, served on the server's one thread without ever
// blocking it. Each line a client sends is one request; the handler turns it
// into one response line. A local client cannot stall the server: requests
// are bounded in size and time, connections in number, and a client that does
// not read its responses is not given more work.
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <unordered_map>

class QSocketNotifier;

namespace kelvra {

class TControlServer : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxConnections = 16;
    // From the first byte of a request to its newline.
    static constexpr int kRequestTimeoutMs = 10 * 1000;
    // A connection that sends nothing for this long is closed.
    static constexpr int kIdleTimeoutMs = 10 * 60 * 1000;
    // A client that takes none of its pending response for this long is dropped.
    static constexpr int kWriteStallMs = 30 * 1000;
    // While more output than this waits, no further request is taken.
    static constexpr qsizetype kOutputHighWater = 1024 * 1024;
    // Requests of one connection handled in one pass of the event loop.
    static constexpr int kRequestsPerPass = 16;

    // One request line in (without its newline), one response line out.
    using THandler = std::function<QByteArray(const QByteArray& request)>;

    explicit TControlServer(THandler handler, QObject* parent = nullptr);
    ~TControlServer() override;

    // Creates the socket at path (and its folder, mode 0700, when missing). A
    // socket file left by a crashed server is replaced; one that a running
    // server answers on, or a file that is not a socket, is an error.
    bool Listen(const QString& path, QString* error);
    // Closes every connection and removes the socket file if it is still ours.
    void Close();
    bool IsListening() const { return ListenFd >= 0; }
    QString Path() const { return SocketPath; }
    int ConnectionCount() const { return static_cast<int>(Peers.size()); }

private:
    struct TPeer;
    enum class TWait { None, Idle, Request, Output };

    void OnAccept();
    void OnReadable(int fd);
    void OnWritable(int fd);
    void Serve(TPeer& peer);
    void Queue(TPeer& peer, const QByteArray& line);
    // Writes what the socket takes; false when the peer was dropped.
    bool Flush(TPeer& peer, bool* progress = nullptr);
    // Reading, the write notifier and the timer after every change.
    void Rearm(TPeer& peer, bool outputProgress);
    void OnTimeout(int fd, uint64_t serial);
    void Drop(int fd);
    TPeer* Find(int fd, uint64_t serial) const;

    THandler Handler;
    int ListenFd = -1;
    QString SocketPath;
    uint64_t SocketDevice = 0, SocketInode = 0; // to remove only our own file
    QSocketNotifier* AcceptNotifier = nullptr;
    std::unordered_map<int, std::unique_ptr<TPeer>> Peers;
    uint64_t NextSerial = 1;
};

} // namespace kelvra
