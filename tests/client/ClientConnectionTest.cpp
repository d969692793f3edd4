#include "ClientConnection.h"
#include "FakeServer.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <gtest/gtest.h>

using namespace kelvra;
using namespace kelvra::clienttest;

namespace {

class clientConnection : public ::testing::Test {
protected:
    // Connected, and the server holds the peer socket (it has seen a record).
    void SetUp() override {
        QObject::connect(&Conn, &TClientConnection::PacketReceived,
                         [this](const TDataPacket& p) { Got.push_back(p); });
        Conn.ConnectToHost("127.0.0.1", Server.Port());
        ASSERT_TRUE(Conn.WaitForConnected(3000));
        Conn.Send(MakePacket(KMS_PING));
        ASSERT_TRUE(QTest::qWaitFor([this] { return Server.Received.size() == 1; }, 3000));
        Server.Received.clear();
    }
    bool WaitForGot(size_t n) {
        return QTest::qWaitFor([&] { return Got.size() >= n; }, 3000);
    }

    TFakeServer Server;
    TClientConnection Conn;
    std::vector<TDataPacket> Got;
};

TEST_F(clientConnection, SendsRecordsAsGiven) {
    TDataPacket p = MakePacket(KMS_LOGIN, "bob", "3");
    p.Version = 7;
    p.From = 12345;
    Conn.Send(p);
    Conn.SendRaw(EncodePacket(MakePacket(KMS_QUIT)));
    ASSERT_TRUE(QTest::qWaitFor([this] { return Server.Received.size() == 2; }, 3000));
    EXPECT_EQ(Server.Received[0], p);
    EXPECT_EQ(Server.Received[1], MakePacket(KMS_QUIT));
}

TEST_F(clientConnection, ReassemblesRecordsSplitAcrossReads) {
    const QByteArray a = EncodePacket(MakePacket(KMC_CHATDATA, "Lobby", "Nhello"));
    const QByteArray b = EncodePacket(MakePacket(KMC_PING));
    const QByteArray both = a + b;
    for (qsizetype i = 0; i < both.size(); ++i) {
        Server.SendRaw(both.mid(i, 1));
        QTest::qWait(1);
    }
    ASSERT_TRUE(WaitForGot(2));
    EXPECT_EQ(Got[0], MakePacket(KMC_CHATDATA, "Lobby", "Nhello"));
    EXPECT_EQ(Got[1], MakePacket(KMC_PING));
    EXPECT_EQ(Conn.SkippedBytes(), 0u);
}

TEST_F(clientConnection, SkipsGarbageBetweenRecordsAndSaysSo) {
    QSignalSpy garbage(&Conn, &TClientConnection::GarbageReceived);
    Server.SendRaw(EncodePacket(MakePacket(KMC_OKAY)) + "junk!" +
                   EncodePacket(MakePacket(KMC_JOINED, "Lobby")));
    ASSERT_TRUE(WaitForGot(2));
    EXPECT_EQ(Got[1], MakePacket(KMC_JOINED, "Lobby"));
    EXPECT_EQ(Conn.SkippedBytes(), 5u);
    ASSERT_TRUE(QTest::qWaitFor([&] { return garbage.count() == 1; }, 1000));
    EXPECT_EQ(garbage.at(0).at(0).toULongLong(), 5u);
}

TEST_F(clientConnection, UnfinishedRecordAtCloseCountsAsSkipped) {
    QSignalSpy garbage(&Conn, &TClientConnection::GarbageReceived);
    QSignalSpy gone(&Conn, &TClientConnection::Disconnected);
    Server.SendRaw(EncodePacket(MakePacket(KMC_OKAY)).left(10));
    Server.CloseClient();
    ASSERT_TRUE(QTest::qWaitFor([&] { return gone.count() == 1; }, 3000));
    EXPECT_EQ(garbage.count(), 1);
    EXPECT_EQ(Conn.SkippedBytes(), 10u);
    EXPECT_TRUE(Got.empty());
    EXPECT_FALSE(Conn.IsConnected());
}

TEST_F(clientConnection, AbortInsideAReceiverStopsTheRead) {
    QObject::connect(&Conn, &TClientConnection::PacketReceived,
                     [this](const TDataPacket&) { Conn.Abort(); });
    Server.SendRaw(EncodePacket(MakePacket(KMC_OKAY)) + EncodePacket(MakePacket(KMC_PING)));
    ASSERT_TRUE(WaitForGot(1));
    QTest::qWait(50);
    EXPECT_EQ(Got.size(), 1u);
    EXPECT_FALSE(Conn.IsConnected());
}

TEST(clientConnectionFailure, RefusedAndUnknownHosts) {
    quint16 freePort;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        freePort = probe.serverPort();
    }
    for (const auto& [host, expected] :
         {std::pair{QStringLiteral("127.0.0.1"), QAbstractSocket::ConnectionRefusedError},
          std::pair{QStringLiteral("no-such-host.invalid"), QAbstractSocket::HostNotFoundError}}) {
        TClientConnection conn;
        QSignalSpy failed(&conn, &TClientConnection::ConnectFailed);
        QSignalSpy connected(&conn, &TClientConnection::Connected);
        conn.ConnectToHost(host, freePort);
        EXPECT_FALSE(conn.WaitForConnected(15000)) << host.toStdString();
        ASSERT_EQ(failed.count(), 1) << host.toStdString();
        EXPECT_EQ(failed.at(0).at(0).value<QAbstractSocket::SocketError>(), expected);
        EXPECT_FALSE(failed.at(0).at(1).toString().isEmpty());
        EXPECT_EQ(connected.count(), 0);
    }
}

} // namespace
