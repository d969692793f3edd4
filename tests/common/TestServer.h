#pragma once
// A real server on 127.0.0.1 inside the test process, and loopback clients
// (the client library's connection) that collect what the server sends them. Server and clients
// share the test's event loop, so waiting on a client also serves the server.
#include "ClientConnection.h"
#include "ConnectionManager.h"
#include "PacketCodes.h"
#include "Server.h"
#include "WireCodec.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <memory>
#include <vector>

namespace kelvra::test {

// Records what the server shows the operator.
class TRecordingView : public TQuietView {
public:
    bool LogsTraffic() const override { return true; }
    void LogPacket(const TDataPacket& p, bool outgoing) override {
        (outgoing ? Outgoing : Incoming).push_back(p);
    }
    void ReportSocketError(int code, const QString& function) override {
        SocketErrors.push_back({code, function});
    }
    void ReportClientFailure(const QString& text) override { ClientFailures.push_back(text); }
    void AddUserRow(const TConnection& c, const QDateTime&) override {
        UserRows.push_back(c.Nickname);
    }
    void RemoveUserRow(SocketHandle) override { ++RemovedUserRows; }
    void SetUserPing(SocketHandle, int32_t ms) override { Pings.push_back(ms); }
    void SetUserName(SocketHandle, const QByteArray& name) override { UserNames.push_back(name); }
    void BanHitsChanged(const TBan&) override { ++BanHitUpdates; }
    void AddMailRow(const TMailItem&) override { ++MailRows; }
    void RemoveMailRow(const TMailItem&) override { --MailRows; }

    std::vector<TDataPacket> Incoming, Outgoing;
    std::vector<std::pair<int, QString>> SocketErrors;
    std::vector<QString> ClientFailures;
    std::vector<QByteArray> UserRows, UserNames;
    std::vector<int32_t> Pings;
    int RemovedUserRows = 0;
    int BanHitUpdates = 0;
    int MailRows = 0;
};

class TTestServer {
public:
    explicit TTestServer(const QByteArray& nick = "Admin", const QByteArray& password = {},
                         IServerView* view = nullptr);
    // A server whose rows and logs go to the given view (the console's windows).
    explicit TTestServer(IServerView& view) : TTestServer("Admin", {}, &view) {}
    ~TTestServer();

    TServer& Core() { return Server; }
    TConnectionManager& Manager() { return Connections; }
    TRecordingView& View() { return Recorder; }
    uint16_t Port() const { return ListenPort; }
    QString Folder() const { return Dir.path(); }

private:
    QTemporaryDir Dir;
    TRecordingView Recorder;
    TConnectionManager Connections;
    TServer Server;
    uint16_t ListenPort = 0;
};

class TTestClient {
public:
    TTestClient();
    ~TTestClient();
    bool Connect(uint16_t port, int timeoutMs = 3000);

    void Send(const TDataPacket& p);
    void Send(int32_t code, const QByteArray& p1 = {}, const QByteArray& p2 = {}, bool sw = false) {
        Send(MakePacket(code, p1, p2, sw));
    }
    void SendRaw(const QByteArray& bytes);
    // Stops reading from the socket (a client that never reads).
    void StopReading();

    // Serves the event loop until at least n records arrived (false on timeout).
    bool WaitFor(size_t n, int timeoutMs = 3000);
    // Serves the event loop for a while (to see that nothing more arrives).
    void Settle(int ms = 60);
    bool WaitForDisconnect(int timeoutMs = 3000);
    // Logs in with KMS_LOGIN and KMS_USER and waits for the whole answer; the
    // received records are then cleared.
    bool LoginAs(const QByteArray& nick, int expectedUsers, const QByteArray& password = {});

    std::vector<TDataPacket> Take();
    const std::vector<TDataPacket>& Received() const { return Packets; }
    std::vector<int32_t> Codes() const;
    QTcpSocket& Socket() { return *Conn.Socket(); }
    bool Connected() const;

private:
    TClientConnection Conn;
    std::vector<TDataPacket> Packets;
};

// Serves the event loop until pred() holds (false on timeout).
// The send path the test run asks for (KELVRA_TEST_SEND_PATH: auto, uring or
// plain), so the same tests cover every path.
void UseTestSendPath(TConnectionManager& manager);

template <class Pred> bool WaitUntil(Pred pred, int timeoutMs = 3000);

bool ServeEventsUntil(const std::function<bool()>& pred, int timeoutMs);
template <class Pred> bool WaitUntil(Pred pred, int timeoutMs) {
    return ServeEventsUntil(std::function<bool()>(pred), timeoutMs);
}

// A record as the server writes it, for comparisons.
TDataPacket Rec(int32_t code, const QByteArray& p1 = {}, const QByteArray& p2 = {},
                bool sw = false);

} // namespace kelvra::test

namespace kelvra {
// Readable failures for records.
void PrintTo(const TDataPacket& p, std::ostream* os);
} // namespace kelvra
