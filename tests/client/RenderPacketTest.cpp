#include "ClientSession.h"
#include "PacketCodes.h"

#include <gtest/gtest.h>

using namespace kelvra;

namespace {

struct TRenderCase {
    TDataPacket Packet;
    const char* Line;
};

TEST(clientRenderPacket, EveryServerRecord) {
    const TRenderCase cases[] = {
        {MakePacket(KMC_STATUS, "Invalid Chat Name"), "Server status: Invalid Chat Name"},
        {MakePacket(KMC_ADDCHAT, "Lobby"), "Room available: Lobby"},
        {MakePacket(KMC_ADDCHAT, "Vault", {}, true), "Room available: Vault (secure)"},
        {MakePacket(KMC_ADDUSER, "bob", "3"), "User online: bob (icon 3)"},
        {MakePacket(KMC_ADDUSER, "", "0"), "User online: (no nickname) (icon 0)"},
        {MakePacket(KMC_DELCHAT, "Lobby"), "Room closed: Lobby"},
        {MakePacket(KMC_DELUSER, "bob"), "User offline: bob"},
        {MakePacket(KMC_SERVERNICK, "Admin"), "Server nickname: Admin"},
        {MakePacket(KMC_BADNICK), "Login refused: nickname is empty"},
        {MakePacket(KMC_NICKINUSE), "Login refused: nickname is already in use"},
        {MakePacket(KMC_BANNED), "Login refused: you are banned from this server"},
        {MakePacket(KMC_BADPASS), "Login refused: wrong server password"},
        {MakePacket(KMC_OKAY), "Login accepted"},
        {MakePacket(KMC_KICK), "You were kicked by the operator"},
        {MakePacket(KMC_MESSAGE, "bob", "hi"), "Private message from bob: hi"},
        {MakePacket(KMC_MESSAGE, "Anonymous", "boo", true),
         "Private message from Anonymous [anonymous]: boo"},
        {MakePacket(KMC_MESSAGE, "Admin", "Talking to yourself?"),
         "Notice from Admin: Talking to yourself?"},
        {MakePacket(KMC_JOINED, "Lobby"), "You joined room Lobby"},
        {MakePacket(KMC_CHATDATA, "Lobby", "N<bob> hello"), "[Lobby] <bob> hello"},
        {MakePacket(KMC_CHATDATA, "Lobby", "Nhello"), "[Lobby] hello"},
        {MakePacket(KMC_CHATDATA, "Lobby", "Ebob waves"), "[Lobby] * bob waves"},
        {MakePacket(KMC_CHATDATA, "Lobby", "Ewaves"), "[Lobby] * waves"},
        {MakePacket(KMC_CHATDATA, "Lobby", "Sbob has joined the chat"),
         "[Lobby] -- bob has joined the chat"},
        {MakePacket(KMC_CHATDATA, "Lobby", "Xodd"), "[Lobby] Xodd"},
        {MakePacket(KMC_CHATDATA, "Lobby", ""), "[Lobby] "},
        {MakePacket(KMC_INVITE, "bob", "Lobby"), "Invitation from bob: Lobby"},
        {MakePacket(KMC_INVITE, "bob"), "Invitation from bob"},
        {MakePacket(KMC_BYE, "Lobby"), "The operator closed room Lobby; leaving it"},
        {MakePacket(KMC_PING), ""},
        {MakePacket(42, "a"), "Unexpected record: 42 Param1=\"a\" Param2=\"\" Switch=false"},
        {MakePacket(KMS_LOGIN, "x"),
         "Unexpected record: KMS_LOGIN Param1=\"x\" Param2=\"\" Switch=false"},
    };
    TRenderOptions plain;
    plain.ServerNick = "Admin";
    TRenderOptions colored = plain;
    colored.Color = true;
    colored.KnownUser = [](const QString& nick) { return nick == "bob"; };
    for (const TRenderCase& c : cases) {
        EXPECT_EQ(RenderPacket(c.Packet, plain).toStdString(), c.Line) << c.Line;
        // Colours add nothing but colour.
        EXPECT_EQ(StripColors(RenderPacket(c.Packet, colored)).toStdString(), c.Line) << c.Line;
    }
}

TEST(clientRenderPacket, OnlyAWrittenNicknameIsColoredAsOne) {
    TRenderOptions o;
    o.Color = true;
    o.KnownUser = [](const QString& nick) { return nick == "bob"; };
    const auto chat = [&o](const char* text) {
        return RenderPacket(MakePacket(KMC_CHATDATA, "L", text), o).toStdString();
    };
    const std::string bob = RenderPacket(MakePacket(KMC_DELUSER, "bob"), o)
                                .mid(QStringLiteral("User offline: ").size())
                                .toStdString();
    ASSERT_NE(bob, "bob");
    EXPECT_EQ(chat("N<bob> hi"), "[L] <" + bob + "> hi");
    EXPECT_EQ(chat("Ebob waves"), "[L] * " + bob + " waves");
    // Text that does not follow the habit stays as it came, uncoloured.
    for (const auto& [text, line] :
         {std::pair{"N<b>bold</b>", "[L] <b>bold</b>"}, std::pair{"N<> hi", "[L] <> hi"},
          std::pair{"N<<bob> hi", "[L] <<bob> hi"}, std::pair{"Nbob: hi", "[L] bob: hi"},
          std::pair{"Ecarol waves", "[L] * carol waves"}})
        EXPECT_EQ(chat(text), line) << text;
}

TEST(clientRenderPacket, PrivateChatRefusalPointsAtThePassFlag) {
    TRenderOptions o;
    o.ServerNick = "Admin";
    EXPECT_EQ(RenderPacket(MakePacket(KMC_MESSAGE, "Admin", "This is a private chat"), o),
              "Notice from Admin: This is a private chat (use /join --pass ROOM to enter it)");
}

TEST(clientChatText, NicknameInFrontOfTextAndEmote) {
    EXPECT_EQ(ChatTextFor("alice", "hello", false), QByteArray("<alice> hello"));
    EXPECT_EQ(ChatTextFor("alice", "waves", true), QByteArray("alice waves"));
    EXPECT_EQ(
        ChatTextFor(QString::fromUtf8("Ren\xc3\xa9"), QString::fromUtf8("\xe2\x98\x83"), false),
        QByteArray("<Ren\xe9> ?"));
}

TEST(clientRenderPacket, ServerNoticeNeedsTheServerNick) {
    // Until the server nickname is known, and for anonymous mail, it is an ordinary message.
    EXPECT_EQ(RenderPacket(MakePacket(KMC_MESSAGE, "Admin", "x")).toStdString(),
              "Private message from Admin: x");
    TRenderOptions o;
    o.ServerNick = "Admin";
    EXPECT_EQ(RenderPacket(MakePacket(KMC_MESSAGE, "Admin", "x", true), o).toStdString(),
              "Private message from Admin [anonymous]: x");
}

TEST(clientRenderPacket, ControlBytesCannotReachTheTerminal) {
    const TDataPacket p =
        MakePacket(KMC_CHATDATA, "Lob\x1b[2Jby", QByteArray("Nline1\nline2\x81", 13));
    EXPECT_EQ(RenderPacket(p).toStdString(), "[Lob\\x1b[2Jby] line1\\x0aline2\\x81");
    // Single-byte texts in code page 1252: 0xE9 is e-acute, 0x80 the euro sign.
    EXPECT_EQ(RenderPacket(MakePacket(KMC_MESSAGE, "Ren\xe9", "5\x80")),
              QString::fromUtf8("Private message from René: 5€"));
}

TEST(clientDescribePacket, EveryFieldEscaped) {
    TDataPacket p = MakePacket(KMC_CHATDATA, "a \"b\"", QByteArray("c\\\0", 3), true);
    EXPECT_EQ(DescribePacket(p).toStdString(),
              "KMC_CHATDATA Param1=\"a \\\"b\\\"\" Param2=\"c\\\\\\x00\" Switch=true");
    p = MakePacket(KMS_SERVERNICK);
    p.Version = 2;
    p.From = -1;
    EXPECT_EQ(DescribePacket(p).toStdString(),
              "KMS_SERVERNICK Param1=\"\" Param2=\"\" Switch=false Version=2 From=-1");
}

} // namespace
