// The web port: the page, and WebSocket users as ordinary users of the server.
#include "WebFront.h"
#include "TestServer.h"

#include <QTcpSocket>
#include <QWebSocket>
#include <gtest/gtest.h>

namespace kelvra::test {
namespace {

struct WebFrontTest : ::testing::Test {
    TTestServer Server;
    TWebFront Front{Server.Manager()};
    void SetUp() override {
        ASSERT_EQ(Front.Listen(QStringLiteral("0"), QStringLiteral("127.0.0.1")),
                  TListenResult::Ok);
    }
    QUrl WsUrl() const { return QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(Front.Port())); }

    // The raw answer to one request.
    QByteArray Fetch(const QByteArray& request) {
        QTcpSocket s;
        s.connectToHost(QStringLiteral("127.0.0.1"), Front.Port());
        QByteArray got;
        QObject::connect(&s, &QTcpSocket::readyRead, [&] { got += s.readAll(); });
        s.write(request);
        WaitUntil([&] { return s.state() == QAbstractSocket::UnconnectedState; });
        return got;
    }
};

TEST_F(WebFrontTest, ServesOnlyThePagesAssets) {
    const QByteArray page = Fetch("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(page.startsWith("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8"));
    EXPECT_TRUE(page.contains("<title>Kelvra Chat</title>"));
    EXPECT_TRUE(page.contains("Cache-Control: no-cache"));
    EXPECT_TRUE(Fetch("GET /codec.js?v=1 HTTP/1.1\r\n\r\n").contains("text/javascript"));
    for (const char* path :
         {"/../CMakeLists.txt", "/%2e%2e/etc/passwd", "//etc/passwd", "/web/app.js"})
        EXPECT_TRUE(
            Fetch(QByteArray("GET ") + path + " HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 404"))
            << path;
    EXPECT_TRUE(Fetch("POST / HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 405"));
    EXPECT_TRUE(Fetch("hello\r\n\r\n").startsWith("HTTP/1.1 400"));
    EXPECT_TRUE(Fetch("GET /ws HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 426"));
    EXPECT_TRUE(Fetch("GET / HTTP/1.1\r\nX: " + QByteArray(9000, 'a')).startsWith("HTTP/1.1 431"));
}

TEST_F(WebFrontTest, WebUserChatsWithTcpUserInAnyPieces) {
    TTestClient tcp;
    ASSERT_TRUE(tcp.Connect(Server.Port()));
    ASSERT_TRUE(tcp.LoginAs("bob", 1));

    QWebSocket web;
    TStreamDecoder decoder;
    std::vector<TDataPacket> got;
    QObject::connect(&web, &QWebSocket::binaryMessageReceived, [&](const QByteArray& m) {
        decoder.Decode(m.constData(), m.size(), got, 1000);
    });
    web.open(WsUrl());
    ASSERT_TRUE(WaitUntil([&] { return web.state() == QAbstractSocket::ConnectedState; }));
    // One record split over two messages, the next one whole in the second.
    const QByteArray login = EncodePacket(MakePacket(KMS_LOGIN, "ann", "2"));
    web.sendBinaryMessage(login.left(5));
    web.sendBinaryMessage(login.mid(5) + EncodePacket(MakePacket(KMS_USER, "ann", "")));
    ASSERT_TRUE(tcp.WaitFor(1));
    EXPECT_EQ(tcp.Take()[0], Rec(KMC_ADDUSER, "ann", "2"));
    ASSERT_TRUE(WaitUntil([&] { return !got.empty(); }));
    EXPECT_EQ(got[0].Code, KMC_OKAY);
    tcp.Send(KMS_MESSAGE, "ann", "hi there");
    ASSERT_TRUE(WaitUntil([&] { return got.back().Code == KMC_MESSAGE; }));
    EXPECT_EQ(got.back(), Rec(KMC_MESSAGE, "bob", "hi there"));

    web.close();
    ASSERT_TRUE(tcp.WaitFor(1));
    EXPECT_EQ(tcp.Take()[0], Rec(KMC_DELUSER, "ann"));
}

TEST_F(WebFrontTest, DropsForeignOriginsTextAndUnfinishedRequests) {
    EXPECT_TRUE(TWebFront::OriginAllowed("http://chat:8080", "chat:8080", false, {}));
    EXPECT_FALSE(TWebFront::OriginAllowed("https://chat:8080", "chat:8080", false, {}));
    EXPECT_FALSE(TWebFront::OriginAllowed("http://evil", "chat:8080", false, {}));
    EXPECT_TRUE(TWebFront::OriginAllowed("http://evil", "chat", false, {QStringLiteral("*")}));
    EXPECT_TRUE(TWebFront::OriginAllowed("", "chat", false, {}));

    QWebSocket foreign(QStringLiteral("http://elsewhere.example"));
    foreign.open(WsUrl());
    EXPECT_TRUE(WaitUntil([&] { return foreign.state() == QAbstractSocket::UnconnectedState; }));

    // A request that never ends is counted, and does not hold up a user.
    QTcpSocket slow;
    slow.connectToHost(QStringLiteral("127.0.0.1"), Front.Port());
    slow.write("GET / HTTP/1.1\r\n");
    ASSERT_TRUE(WaitUntil([&] { return Front.UnfinishedCount() == 1; }));
    QWebSocket text;
    text.open(WsUrl());
    ASSERT_TRUE(WaitUntil([&] { return text.state() == QAbstractSocket::ConnectedState; }));
    EXPECT_EQ(Server.Manager().ConnectionCount(), 1);
    text.sendTextMessage(QStringLiteral("hello"));
    EXPECT_TRUE(WaitUntil([&] { return text.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_TRUE(WaitUntil([&] { return Server.Manager().ConnectionCount() == 0; }));
}

} // namespace
} // namespace kelvra::test
