#include "TestServer.h"

#include <cstdio>

#include <QCoreApplication>
#include <QThread>
#include <functional>
#include <ostream>

namespace kelvra::test {

TTestServer::TTestServer(const QByteArray& nick, const QByteArray& password, IServerView* view)
    : Connections(view ? *view : Recorder), Server(Connections, view ? *view : Recorder) {
    UseTestSendPath(Connections);
    Connections.SetEvents(&Server);
    Server.ServerNick = nick;
    Server.ServerPassword = password;
    Server.LogFile = Dir.filePath("klog.dat");
    Server.MailFile = Dir.filePath("kmail.dat");
    Connections.OpenListener("0", "127.0.0.1");
    ListenPort = Connections.ListenPort();
}

void UseTestSendPath(TConnectionManager& manager) {
    const QString asked = qEnvironmentVariable("KELVRA_TEST_SEND_PATH");
    if (asked.isEmpty())
        return;
    const QString note = manager.SetSendPath(ParseSendPath(asked));
    static bool told = false;
    if (!note.isEmpty() && !told) {
        told = true;
        std::fprintf(stderr, "note: %s\n", qPrintable(note));
    }
}

TTestServer::~TTestServer() {
    Connections.StopSockets();
    Connections.SetEvents(nullptr);
}

bool ServeEventsUntil(const std::function<bool()>& pred, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (!pred())
            QThread::usleep(200);
    }
    return true;
}

TTestClient::TTestClient() {
    QObject::connect(&Conn, &TClientConnection::PacketReceived,
                     [this](const TDataPacket& p) { Packets.push_back(p); });
}

TTestClient::~TTestClient() {
    Conn.Abort();
}

bool TTestClient::Connect(uint16_t port, int timeoutMs) {
    Conn.ConnectToHost(QStringLiteral("127.0.0.1"), port);
    return Conn.WaitForConnected(timeoutMs);
}

void TTestClient::Send(const TDataPacket& p) {
    Conn.Send(p);
}

void TTestClient::SendRaw(const QByteArray& bytes) {
    Conn.SendRaw(bytes);
}

void TTestClient::StopReading() {
    // Nothing takes the bytes out of the socket any more, so the kernel
    // buffers fill and the server has to queue.
    QObject::disconnect(Conn.Socket(), &QTcpSocket::readyRead, nullptr, nullptr);
    Conn.Socket()->setReadBufferSize(1);
}

bool TTestClient::WaitFor(size_t n, int timeoutMs) {
    return ServeEventsUntil([&] { return Packets.size() >= n; }, timeoutMs);
}

void TTestClient::Settle(int ms) {
    ServeEventsUntil([] { return false; }, ms);
}

bool TTestClient::Connected() const {
    return Conn.IsConnected();
}

bool TTestClient::WaitForDisconnect(int timeoutMs) {
    return ServeEventsUntil([this] { return !Connected(); }, timeoutMs);
}

bool TTestClient::LoginAs(const QByteArray& nick, int expectedUsers, const QByteArray& password) {
    Packets.clear();
    Send(KMS_LOGIN, nick, "0");
    Send(KMS_USER, nick, password);
    // KMC_OKAY, KMC_SERVERNICK, one KMC_ADDUSER per user record, KMC_PING
    // (chats announced too, when there are any).
    const bool ok = ServeEventsUntil(
        [&] {
            for (const TDataPacket& p : Packets)
                if (p.Code == KMC_PING)
                    return true;
            return false;
        },
        3000);
    if (!ok)
        return false;
    Send(KMS_PING);
    Settle(20);
    int users = 0;
    for (const TDataPacket& p : Packets)
        users += p.Code == KMC_ADDUSER;
    Packets.clear();
    return users == expectedUsers;
}

std::vector<TDataPacket> TTestClient::Take() {
    std::vector<TDataPacket> out;
    out.swap(Packets);
    return out;
}

std::vector<int32_t> TTestClient::Codes() const {
    std::vector<int32_t> out;
    for (const TDataPacket& p : Packets)
        out.push_back(p.Code);
    return out;
}

TDataPacket Rec(int32_t code, const QByteArray& p1, const QByteArray& p2, bool sw) {
    return MakePacket(code, p1, p2, sw);
}

} // namespace kelvra::test

void kelvra::PrintTo(const TDataPacket& p, std::ostream* os) {
    *os << "{" << PacketDisplayName(p.Code).constData() << " v" << p.Version << " from " << p.From
        << " '" << p.Param1.constData() << "' '" << p.Param2.constData() << "' "
        << (p.Switch ? "true" : "false") << "}";
}
