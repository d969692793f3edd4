// The lists a newcomer is sent come from cached encodings, and the notices a
// leaving user's chats send to everybody go out as one block per connection:
// every connection must get exactly the bytes the record-by-record path gives
// it, whatever renames, leaves and chat changes came in between.
#include "PacketCodes.h"
#include "Server.h"
#include "ServerView.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <map>

using namespace kelvra;

namespace {

class TStreamTransport : public ITransport {
public:
    explicit TStreamTransport(bool blocks) : TakesBlocks(blocks) {}
    void SendPrepared(SocketHandle socket, const TPreparedPacket& packet) override {
        Streams[socket] += packet.Bytes;
    }
    bool SendEncoded(SocketHandle socket, const std::vector<QByteArray>& blocks) override {
        if (!TakesBlocks)
            return false;
        ++BlockSends;
        for (const QByteArray& block : blocks)
            Streams[socket] += block;
        return true;
    }
    const bool TakesBlocks;
    int BlockSends = 0;
    std::map<SocketHandle, QByteArray> Streams;
};

// The same steps against two servers: one whose transport takes blocks, one
// whose transport wants every record alone.
struct TPair {
    TStreamTransport Cached{true};
    TStreamTransport Plain{false};
    TQuietView View;
    TServer A{Cached, View};
    TServer B{Plain, View};

    template <class F> void Both(F step) {
        step(A);
        step(B);
    }
    void Accept(SocketHandle s) {
        Both([&](TServer& x) { x.ConnectionAccepted(s, 0x7f000001, 40000); });
    }
    void Login(SocketHandle s, const QByteArray& nick, int icon = 0) {
        Both([&](TServer& x) {
            TDataPacket p = MakePacket(KMS_LOGIN, nick, QByteArray::number(icon));
            p.From = static_cast<int32_t>(s);
            x.Dispatch(p);
        });
    }
    void Create(SocketHandle s, const QByteArray& chat) {
        Both([&](TServer& x) { x.CreateChat(x.Registry().FindUserBySocket(s), chat, false); });
    }
    void Join(SocketHandle s, const QByteArray& chat) {
        Both([&](TServer& x) {
            x.JoinChat(x.Registry().FindUserBySocket(s), x.Registry().FindChatByName(chat), true);
        });
    }
    void Close(SocketHandle s) {
        Both([&](TServer& x) { x.ConnectionClosed(s); });
    }
    void ExpectSameStreams() {
        ASSERT_EQ(Cached.Streams.size(), Plain.Streams.size());
        for (const auto& [socket, bytes] : Plain.Streams)
            ASSERT_EQ(Cached.Streams[socket], bytes) << "connection " << socket;
        EXPECT_EQ(A.RecordsSent(), B.RecordsSent());
    }
};

TEST(NewcomerListsTest, CachedListsMatchRecordByRecord) {
    TPair pair;
    // Enough users for several blocks of the user list; some stay without a
    // nickname (announced anonymously) while others log in around them.
    constexpr SocketHandle kUsers = 1200;
    for (SocketHandle s = 1; s <= kUsers; ++s) {
        pair.Accept(s);
        if (s % 7 != 0)
            pair.Login(s, "user" + QByteArray::number(s), static_cast<int>(s % 5));
        if (s % 250 == 0)
            pair.Create(s, "room" + QByteArray::number(s));
    }
    // A rename early in the list, a leave in the middle, a chat that ends (its
    // only member leaves), a late login of an anonymous one, then newcomers.
    pair.Login(3, "renamed", 4);
    pair.Close(700);
    pair.Close(500);
    pair.Login(14, "late");
    pair.Create(20, "fresh");
    for (SocketHandle s = kUsers + 1; s <= kUsers + 3; ++s) {
        pair.Accept(s);
        pair.Login(s, "new" + QByteArray::number(s), 1);
    }
    pair.Close(1);
    pair.Accept(kUsers + 10);
    pair.Login(kUsers + 10, "last");

    EXPECT_GT(pair.Cached.BlockSends, 0);
    pair.ExpectSameStreams();
}

TEST(NewcomerListsTest, LeavingUsersChatsEndInTheSameOrder) {
    // Once within one pass, once a share per pass.
    for (const qint64 perPass : {qint64{50'000}, qint64{40}}) {
        TPair pair;
        pair.A.LeaveSendsPerPass = pair.B.LeaveSendsPerPass = perPass;
        for (SocketHandle s = 1; s <= 30; ++s) {
            pair.Accept(s);
            pair.Login(s, "u" + QByteArray::number(s));
        }
        // Chats that end with the user between chats it only leaves, and a
        // stacked entry.
        for (const char* chat : {"a", "b", "c", "d", "e"})
            pair.Create(5, chat);
        pair.Join(8, "b");
        pair.Join(5, "b");
        pair.Join(9, "d");
        pair.Close(5);
        for (int i = 0; i < 20; ++i)
            QCoreApplication::processEvents();
        pair.Login(9, "again");
        pair.Close(8);
        pair.ExpectSameStreams();
    }
}

} // namespace
