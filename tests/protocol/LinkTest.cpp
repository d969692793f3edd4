// The socket layer around its front ends: several listeners, front ends that
// hold input of their own or never finish their handshake, links adopted from
// socket pairs, and write receipts.
#include "PairPeer.h"
#include "TestServer.h"

#include <gtest/gtest.h>

using namespace kelvra;
using namespace kelvra::test;

namespace {

struct TScript {
    QString Kind = QStringLiteral("test");
    qsizetype Slice = 5;      // protocol bytes handed out per Read
    bool Handshaking = false; // never finishes
    bool ShutDown = false;
};

// Takes whatever the socket holds at once and hands it out in small slices,
// so the manager must come back for the rest without the socket saying so.
class TScriptedIo : public ILinkIo {
public:
    TScriptedIo(int fd, TScript& script) : Plain(fd), S(script) {}
    int Fd() const override { return Plain.Fd(); }
    TIoResult Read(char* buffer, qsizetype size) override {
        char chunk[65536];
        const TIoResult r = Plain.Read(chunk, sizeof chunk);
        if (r.Status == TIoStatus::Ok)
            Held.append(chunk, r.Bytes);
        if (S.Handshaking || Held.isEmpty())
            return r.Status == TIoStatus::Ok ? TIoResult::Blocked() : r;
        const qsizetype n = std::min({size, S.Slice, Held.size()});
        memcpy(buffer, Held.constData(), static_cast<size_t>(n));
        Held.remove(0, n);
        return TIoResult::Moved(n);
    }
    TIoResult Write(const iovec* parts, int count) override { return Plain.Write(parts, count); }
    bool HasPendingInput() const override { return !Held.isEmpty(); }
    bool Handshaking() const override { return S.Handshaking; }
    void Shutdown() override { S.ShutDown = true; }
    QString Kind() const override { return S.Kind; }

private:
    TPlainIo Plain;
    TScript& S;
    QByteArray Held;
};

bool ShowsFailure(const TRecordingView& view, const char* words) {
    for (const QString& row : view.ClientFailures)
        if (row.contains(QLatin1String(words)))
            return true;
    return false;
}

TEST(LinkTest, ListenersHaveTheirOwnPortsAndFrontEnds) {
    TTestServer server;
    TScript script;
    ASSERT_EQ(
        server.Manager().OpenListener(
            "0", "127.0.0.1", [&](int fd) { return std::make_unique<TScriptedIo>(fd, script); }),
        TListenResult::Ok);
    ASSERT_EQ(server.Manager().OpenListener("0", "127.0.0.1", [](int) { return nullptr; }),
              TListenResult::Ok);
    ASSERT_EQ(server.Manager().ListenerCount(), 3);
    EXPECT_NE(server.Manager().ListenPort(1), server.Port());
    EXPECT_EQ(server.Manager().ListenPort(3), 0);

    TTestClient plain, sliced, refused;
    ASSERT_TRUE(plain.Connect(server.Port()));
    ASSERT_TRUE(sliced.Connect(server.Manager().ListenPort(1)));
    ASSERT_TRUE(plain.LoginAs("plain", 2));
    // Its records reach the server five bytes at a time.
    ASSERT_TRUE(sliced.LoginAs("sliced", 2));
    sliced.Send(KMS_SERVERNICK);
    ASSERT_TRUE(sliced.WaitFor(1));
    EXPECT_EQ(sliced.Received()[0], Rec(KMC_SERVERNICK, "Admin"));

    const TRegistry& users = server.Core().Registry();
    EXPECT_EQ(server.Manager().LinkKind(users.FindUserByNickname("plain")->Socket), "tcp");
    EXPECT_EQ(server.Manager().LinkKind(users.FindUserByNickname("sliced")->Socket), "test");
    EXPECT_EQ(server.Manager().LinkKind(9999), "");

    ASSERT_TRUE(refused.Connect(server.Manager().ListenPort(2)));
    EXPECT_TRUE(refused.WaitForDisconnect());
    EXPECT_EQ(server.Manager().ConnectionCount(), 2);
}

TEST(LinkTest, StalledHandshakeIsDroppedAtTheRecordTimeLimit) {
    TTestServer server;
    server.Manager().SetRecordTimeLimit(1);
    TScript script;
    script.Handshaking = true;
    TPairPeer peer;
    server.Manager().Adopt(std::make_unique<TScriptedIo>(peer.ServerFd, script));
    peer.Send(Rec(KMS_LOGIN, "early", "0")); // taken by the handshake, never a record
    ASSERT_TRUE(WaitUntil([&] { return server.Manager().ConnectionCount() == 0; }, 10000));
    EXPECT_TRUE(ShowsFailure(server.View(), "handshake not finished within 1 s"));
    EXPECT_TRUE(script.ShutDown);
    EXPECT_TRUE(server.Core().Registry().FindUserByNickname("early") == nullptr);
}

// Only what the socket layer tells about its links.
class TReceiptEvents : public IConnectionEvents {
public:
    void ConnectionAccepted(SocketHandle, uint32_t, uint16_t) override {}
    bool HasUser(SocketHandle) const override { return true; }
    void Dispatch(const TDataPacket&) override {}
    void ConnectionClosed(SocketHandle socket) override { Closed.push_back(socket); }
    void OutputWritten(SocketHandle socket, uint64_t offset) override {
        Receipts.push_back({socket, offset});
    }
    std::vector<std::pair<SocketHandle, uint64_t>> Receipts;
    std::vector<SocketHandle> Closed;
};

TEST(LinkTest, WriteReceiptsComeOnceTheSocketTookTheBytes) {
    TRecordingView view;
    TReceiptEvents events;
    TConnectionManager manager(view);
    UseTestSendPath(manager);
    manager.SetEvents(&events);
    TPairPeer reader(4096), leaver(4096);
    const SocketHandle a = manager.Adopt(std::make_unique<TPlainIo>(reader.ServerFd));
    const SocketHandle b = manager.Adopt(std::make_unique<TPlainIo>(leaver.ServerFd));

    const TDataPacket big = Rec(KMC_MESSAGE, "op", QByteArray(200 * 1024, 'm'));
    manager.SendPacket(a, Rec(KMC_PING));
    const uint64_t first = manager.QueuedOffset(a);
    manager.SendPacket(a, big);
    const uint64_t second = manager.QueuedOffset(a);
    EXPECT_EQ(second - first, static_cast<uint64_t>(EncodedSize(big)));
    manager.NotifyWhenWritten(a, second);
    manager.NotifyWhenWritten(a, first);
    manager.SendPacket(b, big);
    manager.NotifyWhenWritten(b, manager.QueuedOffset(b));

    // The small record went; the big one cannot while nobody reads.
    ASSERT_TRUE(WaitUntil([&] { return !events.Receipts.empty(); }));
    WaitUntil([] { return false; }, 60);
    ASSERT_EQ(events.Receipts.size(), 1u);
    EXPECT_EQ(events.Receipts[0], std::make_pair(a, first));

    leaver.Close();
    ASSERT_TRUE(WaitUntil([&] {
        reader.Drain();
        return events.Receipts.size() == 2 && events.Closed.size() == 1;
    }));
    EXPECT_EQ(events.Receipts[1], std::make_pair(a, second));
    EXPECT_EQ(events.Closed[0], b);
    reader.Drain();
    ASSERT_EQ(reader.Received.size(), 2u);
    EXPECT_EQ(reader.Received[1], big);
    // Asked for after the bytes went: told at the next pass.
    manager.NotifyWhenWritten(a, first);
    ASSERT_TRUE(WaitUntil([&] { return events.Receipts.size() == 3; }));
    manager.StopSockets();
}

TEST(LinkTest, SharedRecordsReachSlowMembersWholeAndInOrder) {
    TRecordingView view;
    TReceiptEvents events;
    TConnectionManager manager(view);
    UseTestSendPath(manager);
    manager.SetEvents(&events);
    // Small socket buffers: writes stop inside records, over many passes.
    std::vector<std::unique_ptr<TPairPeer>> peers;
    std::vector<SocketHandle> members;
    for (int i = 0; i < 3; ++i) {
        peers.push_back(std::make_unique<TPairPeer>(2048));
        members.push_back(manager.Adopt(std::make_unique<TPlainIo>(peers.back()->ServerFd)));
    }
    std::vector<std::vector<TDataPacket>> expected(members.size());
    for (int n = 0; n < 400; ++n) {
        // Relays of every size, each encoded once for all members, with
        // records of one member's own in between.
        const TPreparedPacket relay(
            Rec(KMC_CHATDATA, "Room",
                QByteArray(1 + (n * 397) % 9000, static_cast<char>('a' + n % 26))));
        for (size_t m = 0; m < members.size(); ++m) {
            manager.SendPrepared(members[m], relay);
            expected[m].push_back(relay.Packet);
            if ((n + static_cast<int>(m)) % 7 == 0) {
                const TDataPacket own = Rec(KMC_MESSAGE, "op", QByteArray::number(n));
                manager.SendPacket(members[m], own);
                expected[m].push_back(own);
            }
        }
    }
    EXPECT_EQ(manager.TotalQueuedBytes(), manager.QueuedBytes(members[0]) +
                                              manager.QueuedBytes(members[1]) +
                                              manager.QueuedBytes(members[2]));
    ASSERT_TRUE(WaitUntil(
        [&] {
            bool all = true;
            for (size_t m = 0; m < peers.size(); ++m) {
                peers[m]->Drain();
                all = all && peers[m]->Received.size() >= expected[m].size();
            }
            return all;
        },
        10000));
    for (size_t m = 0; m < peers.size(); ++m)
        EXPECT_EQ(peers[m]->Received, expected[m]) << "member " << m;
    EXPECT_EQ(manager.TotalQueuedBytes(), 0);
    EXPECT_TRUE(events.Closed.empty());
    manager.StopSockets();
}

} // namespace
